#include "support/afs_volume.h"

#include <cstring>

namespace dorv::test {

uint32_t AfsVolume::mount(uint32_t flags, uint32_t files, uint32_t line_size, uint32_t lines) {
    afs_free_context(&ctx);
    std::memset(static_cast<void*>(&ctx), 0, sizeof ctx);
    ctx.bounce_buffer = bounce.data();
    return afs_init(&ctx, image.data(), line_size, lines, files, 0, static_cast<uint32_t>(image.size()), flags, 0,
                    0);
}

std::optional<std::vector<uint8_t>> AfsVolume::read(int32_t id, uint32_t* status) {
    uint32_t size = 0;
    uint32_t st = afs_getfilesize(&ctx, id, &size);
    if (status != nullptr) *status = st;
    if (st != STORAGE_OK) return std::nullopt;
    // One byte more than the size shows a chain longer than the size says.
    std::vector<uint8_t> bytes(size + 1);
    int32_t length = static_cast<int32_t>(bytes.size());
    st = afs_readfile(&ctx, id, 0, &length, bytes.data());
    if (status != nullptr) *status = st;
    if (st != STORAGE_OK) return std::nullopt;
    bytes.resize(static_cast<size_t>(length));
    return bytes;
}

uint32_t AfsVolume::full_reclaim() {
    for (int round = 0; round < 600; ++round) {
        const uint32_t status = afs_force_full_reclaim(&ctx);
        if (status != STORAGE_AGAIN) return status;
    }
    return STORAGE_AGAIN;
}

std::vector<uint8_t> afs_pattern(uint32_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}

}  // namespace dorv::test
