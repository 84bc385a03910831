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

#include "common/le_bytes.h"
#include "dorv/kelpqs.h"

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
    take(dorv::le::load16(data + 1), input.tarvo);
    take(dorv::le::load16(data + 3), input.ombl);
    take(size - at, input.ftbl);
    return input;
}

// The inverse, for seeds: lengths above 16 bits or SKU ids above 8 bits do
// not fit and give an empty input.
inline std::vector<uint8_t> joinStartUpInput(const StartUpInput& input) {
    if (input.tarvo.size() > 0xFFFF || input.ombl.size() > 0xFFFF || input.sku > 0xFF) return {};
    std::vector<uint8_t> out(kStartUpHeadSize);
    out[0] = static_cast<uint8_t>(input.sku);
    dorv::le::store16(out.data() + 1, static_cast<uint16_t>(input.tarvo.size()));
    dorv::le::store16(out.data() + 3, static_cast<uint16_t>(input.ombl.size()));
    out.insert(out.end(), input.tarvo.begin(), input.tarvo.end());
    out.insert(out.end(), input.ombl.begin(), input.ombl.end());
    out.insert(out.end(), input.ftbl.begin(), input.ftbl.end());
    return out;
}

// The start-up record over the input's buffers, an empty one given as (null,
// 0). It points into `input`, which must outlive its use.
inline DorvInitTables startUpRecord(StartUpInput& input) {
    auto bufferOf = [](std::vector<uint8_t>& bytes) {
        return _commonDorvTable{bytes.empty() ? nullptr : bytes.data(),
                                static_cast<uint32_t>(bytes.size())};
    };
    DorvInitTables record{};
    record.tarvoCfg = bufferOf(input.tarvo);
    record.omblCfg = bufferOf(input.ombl);
    record.ftblBin = bufferOf(input.ftbl);
    record.skuId = input.sku;
    return record;
}

}  // namespace dorv::fuzz

#endif
