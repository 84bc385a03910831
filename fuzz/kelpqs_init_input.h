// The input layout of the start-up fuzz target, shared with the test that
// writes its seeds: byte 0 is the SKU id, bytes 1-2 and 3-4 the tarvo.cfg and
// ombl.cfg lengths (little-endian, cut to what is left), then tarvo.cfg,
// ombl.cfg, and the rest of the input is ftbl.bin.
#ifndef DORV_FUZZ_KELPQS_INIT_INPUT_H
#define DORV_FUZZ_KELPQS_INIT_INPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dorv::fuzz {

struct StartUpInput {
    uint32_t sku = 0;
    std::vector<uint8_t> tarvo;
    std::vector<uint8_t> ombl;
    std::vector<uint8_t> ftbl;
};

constexpr std::size_t kStartUpHeadSize = 5;

inline StartUpInput splitStartUpInput(const uint8_t* data, std::size_t size) {
    StartUpInput input;
    if (size < kStartUpHeadSize) return input;
    input.sku = data[0];
    std::size_t at = kStartUpHeadSize;
    auto take = [&](std::size_t wanted, std::vector<uint8_t>& out) {
        const std::size_t n = std::min(wanted, size - at);
        out.assign(data + at, data + at + n);
        at += n;
    };
    take(static_cast<std::size_t>(data[1] | (data[2] << 8)), input.tarvo);
    take(static_cast<std::size_t>(data[3] | (data[4] << 8)), input.ombl);
    take(size - at, input.ftbl);
    return input;
}

// The inverse, for seeds: lengths above 16 bits or SKU ids above 8 bits do
// not fit and give an empty input.
inline std::vector<uint8_t> joinStartUpInput(const StartUpInput& input) {
    if (input.tarvo.size() > 0xFFFF || input.ombl.size() > 0xFFFF || input.sku > 0xFF) return {};
    std::vector<uint8_t> out = {static_cast<uint8_t>(input.sku),
                                static_cast<uint8_t>(input.tarvo.size()),
                                static_cast<uint8_t>(input.tarvo.size() >> 8),
                                static_cast<uint8_t>(input.ombl.size()),
                                static_cast<uint8_t>(input.ombl.size() >> 8)};
    out.insert(out.end(), input.tarvo.begin(), input.tarvo.end());
    out.insert(out.end(), input.ombl.begin(), input.ombl.end());
    out.insert(out.end(), input.ftbl.begin(), input.ftbl.end());
    return out;
}

}  // namespace dorv::fuzz

#endif
