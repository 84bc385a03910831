// The input of the AFS translation-layer fuzz target, shared with the test
// that builds its seeds: two geometry bytes, an operation count, three bytes
// per operation, then the partition image.
#ifndef DORV_FUZZ_AFS_FTL_INPUT_H
#define DORV_FUZZ_AFS_FTL_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dorv::fuzz {

enum AfsFtlOp : uint8_t {
    kWriteMeta,
    kWriteData,  // allocate (flushing and asking again once), then write
    kTrimMeta,
    kTrimData,
    kReadAny,
    kReadRun,
    kIdleReclaim,
    kFullReclaim,
    kDirtyErase,
    kWrapper,
    kRemount,
    kCacheChange,
    kCacheFlush,
    kOpCount
};

struct AfsFtlStep {
    uint8_t op;
    uint16_t arg;
};

struct AfsFtlInput {
    uint32_t meta_pages = 0;  // data_start / 64
    uint32_t data_units = 0;  // as asked; the target cuts it to the image
    uint32_t line_pages = 1;  // pages per cache line: 1 or 2
    std::vector<AfsFtlStep> steps;
    std::vector<uint8_t> image;
};

inline bool decode_afs_ftl(const uint8_t* data, std::size_t size, AfsFtlInput& in) {
    if (size < 3) return false;
    in.meta_pages = 8u + data[0] % 248u;
    in.data_units = data[1] % 8u;
    in.line_pages = 1u + (data[1] >> 7);
    const std::size_t count = data[2];
    if (size - 3 < count * 3) return false;
    in.steps.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* s = data + 3 + 3 * i;
        in.steps.push_back({static_cast<uint8_t>(s[0] % kOpCount), static_cast<uint16_t>(s[1] | (s[2] << 8))});
    }
    in.image.assign(data + 3 + 3 * count, data + size);
    return true;
}

inline std::vector<uint8_t> encode_afs_ftl(const AfsFtlInput& in) {
    std::vector<uint8_t> out{static_cast<uint8_t>(in.meta_pages - 8), static_cast<uint8_t>(in.data_units | (in.line_pages - 1) << 7),
                             static_cast<uint8_t>(in.steps.size())};
    for (const AfsFtlStep& s : in.steps) {
        out.push_back(s.op);
        out.push_back(static_cast<uint8_t>(s.arg));
        out.push_back(static_cast<uint8_t>(s.arg >> 8));
    }
    out.insert(out.end(), in.image.begin(), in.image.end());
    return out;
}

}  // namespace dorv::fuzz

#endif
