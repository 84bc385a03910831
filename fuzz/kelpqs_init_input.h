// The input layout of the start-up fuzz target, shared with the test that
// writes its seeds: byte 0 is the SKU id; bytes 1-2, 3-4, 5-6 and 7-8 the
// lengths of tarvo.cfg, ombl.cfg, the PQS image and the EFS image
// (little-endian, cut to what is left); then those four buffers, and the rest
// of the input is ftbl.bin. Images are carried without their trailing 0xFF
// bytes: an image of non-zero length is padded with 0xFF (erased flash) up to
// the next whole erase unit, a PQS image to at least the smallest partition.
#ifndef DORV_FUZZ_KELPQS_INIT_INPUT_H
#define DORV_FUZZ_KELPQS_INIT_INPUT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/le_bytes.h"
#include "dorv/kelpqs.h"

namespace dorv::fuzz {

struct StartUpInput {
    uint32_t sku = 0;
    std::vector<uint8_t> tarvo;
    std::vector<uint8_t> ombl;
    std::vector<uint8_t> ftbl;
    std::vector<uint8_t> pqs;  // as carried; padded by startUpRecord
    std::vector<uint8_t> efs;
};

constexpr std::size_t kStartUpHeadSize = 9;
constexpr std::size_t kPqsUnit = 8192;
constexpr std::size_t kPqsMinSize = 0x8000;
constexpr std::size_t kEfsUnit = 4096;

// Drops trailing 0xFF bytes (the padding puts them back).
inline std::vector<uint8_t> trimErased(std::vector<uint8_t> image) {
    while (!image.empty() && image.back() == 0xFF) image.pop_back();
    return image;
}

inline void padErased(std::vector<uint8_t>& image, std::size_t unit, std::size_t minimum) {
    if (image.empty()) return;
    const std::size_t size = std::max(minimum, (image.size() + unit - 1) / unit * unit);
    image.resize(size, 0xFF);
}

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
    take(dorv::le::load16(data + 1), input.tarvo);
    take(dorv::le::load16(data + 3), input.ombl);
    take(dorv::le::load16(data + 5), input.pqs);
    take(dorv::le::load16(data + 7), input.efs);
    take(size - at, input.ftbl);
    return input;
}

// The inverse, for seeds: lengths above 16 bits or SKU ids above 8 bits do
// not fit and give an empty input.
inline std::vector<uint8_t> joinStartUpInput(const StartUpInput& input) {
    if (input.tarvo.size() > 0xFFFF || input.ombl.size() > 0xFFFF || input.pqs.size() > 0xFFFF ||
        input.efs.size() > 0xFFFF || input.sku > 0xFF) {
        return {};
    }
    const std::vector<uint8_t>* parts[] = {&input.tarvo, &input.ombl, &input.pqs, &input.efs, &input.ftbl};
    size_t total = kStartUpHeadSize;
    for (const auto* part : parts) total += part->size();
    // Sized once and filled in place: appending to the short head with insert()
    // makes g++ 12 at -O3 report a false out-of-bounds move (-Warray-bounds).
    std::vector<uint8_t> out(total);
    out[0] = static_cast<uint8_t>(input.sku);
    dorv::le::store16(out.data() + 1, static_cast<uint16_t>(input.tarvo.size()));
    dorv::le::store16(out.data() + 3, static_cast<uint16_t>(input.ombl.size()));
    dorv::le::store16(out.data() + 5, static_cast<uint16_t>(input.pqs.size()));
    dorv::le::store16(out.data() + 7, static_cast<uint16_t>(input.efs.size()));
    auto at = out.begin() + kStartUpHeadSize;
    for (const auto* part : parts) at = std::copy(part->begin(), part->end(), at);
    return out;
}

// The start-up record over the input's buffers (the images padded first), an
// empty one given as (null, 0). It points into `input`, which must outlive
// its use.
inline DorvInitTables startUpRecord(StartUpInput& input) {
    padErased(input.pqs, kPqsUnit, kPqsMinSize);
    padErased(input.efs, kEfsUnit, 0);
    auto bufferOf = [](std::vector<uint8_t>& bytes) {
        return _commonDorvTable{bytes.empty() ? nullptr : bytes.data(),
                                static_cast<uint32_t>(bytes.size())};
    };
    DorvInitTables record{};
    record.tarvoCfg = bufferOf(input.tarvo);
    record.omblCfg = bufferOf(input.ombl);
    record.ftblBin = bufferOf(input.ftbl);
    record.skuId = input.sku;
    record.pqsImage = bufferOf(input.pqs);
    record.efsImage = bufferOf(input.efs);
    return record;
}

}  // namespace dorv::fuzz

#endif
