// The input of the AFS image fuzz target: an option byte, two cache geometry
// bytes, then the image. Shared with the test that builds its seeds.
#ifndef DORV_FUZZ_AFS_IMAGE_INPUT_H
#define DORV_FUZZ_AFS_IMAGE_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dorv::fuzz {

// Option byte: bit 0 mounts read-only, bits 1-3 pick the file written, bits
// 4-5 its offset; bit 6 changes the cache to the second geometry before the
// write, bit 7 back to the first before the idle reclaim.
inline constexpr uint8_t kAfsFuzzReadOnly = 0x01;
inline constexpr uint8_t kAfsFuzzRecacheBeforeWrite = 0x40;
inline constexpr uint8_t kAfsFuzzRecacheAfterWrite = 0x80;
// Bytes before the image: the option byte and the two geometries.
inline constexpr size_t kAfsFuzzHeadBytes = 3;

// A cache geometry byte: bits 0-5 the line size in 64-byte pages less one
// (64 to 4096 bytes), bits 6-7 the line count (2, 10, 42 or 64).
struct AfsFuzzGeometry {
    uint32_t line_size;
    uint32_t lines;
};
inline AfsFuzzGeometry afs_fuzz_geometry(uint8_t byte) {
    constexpr uint32_t kLines[4] = {2, 10, 42, 64};
    return {64u * ((byte & 0x3Fu) + 1), kLines[byte >> 6]};
}
// The geometry byte of a line size (a multiple of 64 up to 4096) and a line
// count of the table above.
inline constexpr uint8_t afs_fuzz_geometry_byte(uint32_t line_size, uint32_t lines_index) {
    return static_cast<uint8_t>((line_size / 64 - 1) | (lines_index << 6));
}

// The partition: the input's image bytes, padded with erased bytes to the
// smallest partition the mount admits and cut to whole erase units.
inline std::vector<uint8_t> afs_fuzz_image(const uint8_t* data, size_t size) {
    std::vector<uint8_t> image(data, data + size);
    if (image.size() < 0x8000) image.resize(0x8000, 0xFF);
    image.resize(image.size() / 8192 * 8192);
    return image;
}

}  // namespace dorv::fuzz

#endif
