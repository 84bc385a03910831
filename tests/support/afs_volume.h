// A test-side AFS partition: an image buffer, a bounce buffer and a context,
// with the mount flags the tests use and whole-file helpers.
#ifndef DORV_TESTS_SUPPORT_AFS_VOLUME_H
#define DORV_TESTS_SUPPORT_AFS_VOLUME_H

#include <cstdint>
#include <optional>
#include <vector>

#include "dorv/afs.h"

namespace dorv::test {

// The storage front end's mount: size table, translation layer, bind image.
inline constexpr uint32_t kAfsMountFlags = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_MOUNT_FTL |
                                           AFS_INIT_BIND_DEVICE;
// A host tool's creation: the same, plus header creation and format.
inline constexpr uint32_t kAfsCreateFlags = kAfsMountFlags | AFS_INIT_CREATE | AFS_INIT_FORMAT;

class AfsVolume {
public:
    explicit AfsVolume(uint32_t size, uint8_t fill = 0xFF) : image(size, fill), bounce(4096) {}
    AfsVolume(const AfsVolume&) = delete;
    AfsVolume& operator=(const AfsVolume&) = delete;
    ~AfsVolume() { afs_free_context(&ctx); }

    // Frees the previous mount's allocations and mounts again.
    uint32_t mount(uint32_t flags = kAfsMountFlags, uint32_t files = 1024, uint32_t line_size = 64,
                   uint32_t lines = 10);
    uint32_t create(uint32_t files = 1024, uint32_t lines = 10) {
        return mount(kAfsCreateFlags, files, 64, lines);
    }

    // Whole content of a file, nullopt when it does not exist (or a failure,
    // which is reported through `status`).
    std::optional<std::vector<uint8_t>> read(int32_t id, uint32_t* status = nullptr);
    uint32_t write(int32_t id, uint32_t offset, const std::vector<uint8_t>& data, bool truncate = false) {
        return afs_writefile(&ctx, id, offset, static_cast<uint32_t>(data.size()), data.data(),
                             truncate ? AFS_WRITE_TRUNCATE : 0);
    }
    // Forced full reclaim until it reports the sweep done.
    uint32_t full_reclaim();

    std::vector<uint8_t> image;
    std::vector<uint8_t> bounce;
    afs_context_t ctx{};
};

// Deterministic content for file tests.
std::vector<uint8_t> afs_pattern(uint32_t length, uint32_t seed);

}  // namespace dorv::test

#endif
