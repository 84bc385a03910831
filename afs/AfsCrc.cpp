// CRC-16 (0x1021, MSB first, start 0xFFFF), its 14-bit variant and CRC-8
// (0x07, start 1). crc16 runs over every page read and written, so it uses
// sixteen slicing tables built at compile time; all are plain C++.
#include <array>
#include <cstdint>

#include "dorv/afs.h"

namespace {

constexpr uint16_t step16(uint16_t r) {
    for (int bit = 0; bit < 8; ++bit) r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
    return r;
}

constexpr int kSliceCount = 16;
using Slices = std::array<std::array<uint16_t, 256>, kSliceCount>;

constexpr Slices make_slices() {
    Slices t{};
    for (uint32_t i = 0; i < 256; ++i) t[0][i] = step16(static_cast<uint16_t>(i << 8));
    for (int k = 1; k < kSliceCount; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint16_t prev = t[k - 1][i];
            t[k][i] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
        }
    }
    return t;
}

constexpr Slices kSlices = make_slices();
constexpr const std::array<uint16_t, 256>& crc16_table = kSlices[0];

inline uint16_t byte16(uint16_t r, uint8_t b) {
    return static_cast<uint16_t>((r << 8) ^ crc16_table[((r >> 8) ^ b) & 0xFF]);
}

constexpr uint8_t crc8_entry(uint8_t b) {
    for (int bit = 0; bit < 8; ++bit) b = static_cast<uint8_t>((b & 0x80) ? (b << 1) ^ 0x07 : b << 1);
    return b;
}

}  // namespace

DORV_C_BEGIN

DORV_API extern const uint8_t gCrc8_low[16] = {
    crc8_entry(0x0), crc8_entry(0x1), crc8_entry(0x2), crc8_entry(0x3), crc8_entry(0x4), crc8_entry(0x5),
    crc8_entry(0x6), crc8_entry(0x7), crc8_entry(0x8), crc8_entry(0x9), crc8_entry(0xA), crc8_entry(0xB),
    crc8_entry(0xC), crc8_entry(0xD), crc8_entry(0xE), crc8_entry(0xF)};
DORV_API extern const uint8_t gCrc8_high[16] = {
    crc8_entry(0x00), crc8_entry(0x10), crc8_entry(0x20), crc8_entry(0x30), crc8_entry(0x40), crc8_entry(0x50),
    crc8_entry(0x60), crc8_entry(0x70), crc8_entry(0x80), crc8_entry(0x90), crc8_entry(0xA0), crc8_entry(0xB0),
    crc8_entry(0xC0), crc8_entry(0xD0), crc8_entry(0xE0), crc8_entry(0xF0)};

DORV_API uint16_t crc16(const uint8_t* data, int32_t length, const uint16_t* seed) {
    uint16_t r = 0xFFFF;
    uint32_t n = (data != nullptr && length > 0) ? static_cast<uint32_t>(length) : 0;
    const uint8_t* p = data;
    // Sixteen bytes per step: the running value folds into the first two
    // bytes, every byte looks up the table of its distance from the end.
    while (n >= 16) {
        r = static_cast<uint16_t>(kSlices[15][(p[0] ^ (r >> 8)) & 0xFF] ^ kSlices[14][(p[1] ^ r) & 0xFF] ^
                                  kSlices[13][p[2]] ^ kSlices[12][p[3]] ^ kSlices[11][p[4]] ^
                                  kSlices[10][p[5]] ^ kSlices[9][p[6]] ^ kSlices[8][p[7]] ^
                                  kSlices[7][p[8]] ^ kSlices[6][p[9]] ^ kSlices[5][p[10]] ^
                                  kSlices[4][p[11]] ^ kSlices[3][p[12]] ^ kSlices[2][p[13]] ^
                                  kSlices[1][p[14]] ^ kSlices[0][p[15]]);
        p += 16;
        n -= 16;
    }
    while (n-- > 0) r = byte16(r, *p++);
    const uint16_t s = seed != nullptr ? *seed : 0;
    r = byte16(r, static_cast<uint8_t>(s));
    return byte16(r, static_cast<uint8_t>(s >> 8));
}

DORV_API uint16_t crc14(const uint8_t* data, int32_t length) {
    uint16_t r = 0x3FFF;
    if (data == nullptr) return r;
    for (int32_t i = 0; i < length; ++i) r = static_cast<uint16_t>(byte16(r, data[i]) & 0x3FFF);
    return r;
}

DORV_API uint8_t crc8(const uint8_t* data, uint32_t length) {
    uint8_t r = 0x01;
    if (data == nullptr) return r;
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t x = static_cast<uint8_t>(r ^ data[i]);
        r = static_cast<uint8_t>(gCrc8_high[x >> 4] ^ gCrc8_low[x & 0x0F]);
    }
    return r;
}

DORV_C_END
