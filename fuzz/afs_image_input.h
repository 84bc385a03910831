// The input of the AFS image fuzz target: one option byte, then the image.
// Shared with the test that builds its seeds.
#ifndef DORV_FUZZ_AFS_IMAGE_INPUT_H
#define DORV_FUZZ_AFS_IMAGE_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace dorv::fuzz {

// Option byte: bit 0 mounts read-only, bits 1-3 pick the file written.
inline constexpr uint8_t kAfsFuzzReadOnly = 0x01;

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
