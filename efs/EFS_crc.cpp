// The two EFS checksums. CRC-32 runs sixteen bytes per step through sliced
// tables; CRC-16 eight bytes per step. Both finish byte by byte, and every
// multi-byte load is assembled from bytes, so the result does not depend on
// the host's byte order or alignment rules.
#include <array>

#include "common/le_bytes.h"
#include "dorv/efs.h"

namespace {

constexpr int kCrc32Slices = 16;
constexpr int kCrc16Slices = 8;

using Crc32Tables = std::array<std::array<uint32_t, 256>, kCrc32Slices>;
using Crc16Tables = std::array<std::array<uint16_t, 256>, kCrc16Slices>;

// Slice k holds the CRC of byte b followed by k zero bytes.
constexpr Crc32Tables make_crc32_tables() {
    Crc32Tables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) != 0 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][b] = c;
    }
    for (int k = 1; k < kCrc32Slices; ++k) {
        for (uint32_t b = 0; b < 256; ++b) {
            const uint32_t prev = t[k - 1][b];
            t[k][b] = (prev >> 8) ^ t[0][prev & 0xFFu];
        }
    }
    return t;
}

constexpr Crc16Tables make_crc16_tables() {
    Crc16Tables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b << 8;
        for (int bit = 0; bit < 8; ++bit) c = (c & 0x8000u) != 0 ? (c << 1) ^ 0x1021u : c << 1;
        t[0][b] = static_cast<uint16_t>(c);
    }
    for (int k = 1; k < kCrc16Slices; ++k) {
        for (uint32_t b = 0; b < 256; ++b) {
            const uint32_t prev = t[k - 1][b];
            t[k][b] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
        }
    }
    return t;
}

constexpr Crc32Tables kCrc32 = make_crc32_tables();
constexpr Crc16Tables kCrc16 = make_crc16_tables();

}  // namespace

DORV_C_BEGIN

// The byte-wise tables are exported; they are the first slices.
const uint32_t gCrc32_table[256] = {
#define DORV_ROW(i) kCrc32[0][i], kCrc32[0][i + 1], kCrc32[0][i + 2], kCrc32[0][i + 3]
#define DORV_ROW16(i) DORV_ROW(i), DORV_ROW(i + 4), DORV_ROW(i + 8), DORV_ROW(i + 12)
    DORV_ROW16(0),   DORV_ROW16(16),  DORV_ROW16(32),  DORV_ROW16(48),
    DORV_ROW16(64),  DORV_ROW16(80),  DORV_ROW16(96),  DORV_ROW16(112),
    DORV_ROW16(128), DORV_ROW16(144), DORV_ROW16(160), DORV_ROW16(176),
    DORV_ROW16(192), DORV_ROW16(208), DORV_ROW16(224), DORV_ROW16(240)};
#undef DORV_ROW
#define DORV_ROW(i) kCrc16[0][i], kCrc16[0][i + 1], kCrc16[0][i + 2], kCrc16[0][i + 3]
const uint16_t gCrc16_table[256] = {
    DORV_ROW16(0),   DORV_ROW16(16),  DORV_ROW16(32),  DORV_ROW16(48),
    DORV_ROW16(64),  DORV_ROW16(80),  DORV_ROW16(96),  DORV_ROW16(112),
    DORV_ROW16(128), DORV_ROW16(144), DORV_ROW16(160), DORV_ROW16(176),
    DORV_ROW16(192), DORV_ROW16(208), DORV_ROW16(224), DORV_ROW16(240)};
#undef DORV_ROW
#undef DORV_ROW16

uint32_t EFS_crc32(uint32_t seed, const uint8_t* data, uint32_t length) {
    uint32_t crc = seed;
    if (data == nullptr) return crc;
    const auto& t = kCrc32;
    while (length >= 16) {
        const uint32_t a = dorv::le::load32(data) ^ crc;
        const uint32_t b = dorv::le::load32(data + 4);
        const uint32_t c = dorv::le::load32(data + 8);
        const uint32_t d = dorv::le::load32(data + 12);
        crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
              t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
              t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
              t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
        data += 16;
        length -= 16;
    }
    while (length-- != 0) crc = (crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF];
    return crc;
}

uint32_t EFS_crc16(uint32_t seed, const uint8_t* data, uint32_t length) {
    if (length == 0 || data == nullptr) return seed;
    uint32_t crc = seed & 0xFFFF;
    const auto& t = kCrc16;
    while (length >= 8) {
        crc = t[7][(crc >> 8) ^ data[0]] ^ t[6][(crc & 0xFF) ^ data[1]] ^ t[5][data[2]] ^
              t[4][data[3]] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
        data += 8;
        length -= 8;
    }
    while (length-- != 0) crc = ((crc << 8) ^ t[0][((crc >> 8) ^ *data++) & 0xFF]) & 0xFFFF;
    return crc;
}

DORV_C_END
