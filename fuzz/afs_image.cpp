// Mounts fuzzed AFS images the way the storage front end does (and
// read-only), with a cache geometry the input picks (line sizes 64 to 4096);
// a mounted image has every file sized and read, one file written, an idle
// reclaim step run, the cache geometry changed between these when the input
// asks, and is mounted again: after a write that succeeded the image must
// mount and read its bytes back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "afs/afs_state.h"
#include "dorv/afs.h"
#include "fuzz/afs_image_input.h"

namespace {

using dorv::fuzz::AfsFuzzGeometry;

constexpr uint32_t kMount = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_MOUNT_FTL | AFS_INIT_BIND_DEVICE;

struct Volume {
    std::vector<uint8_t> image;
    std::vector<uint8_t> bounce = std::vector<uint8_t>(4096);
    afs_context_t ctx{};
    ~Volume() { afs_free_context(&ctx); }
    uint32_t mount(uint32_t flags, AfsFuzzGeometry g) {
        afs_free_context(&ctx);
        std::memset(static_cast<void*>(&ctx), 0, sizeof ctx);
        ctx.bounce_buffer = bounce.data();
        return afs_init(&ctx, image.data(), g.line_size, g.lines, 1024, 0, static_cast<uint32_t>(image.size()),
                        flags, 0, 0);
    }
    bool recache(AfsFuzzGeometry g) { return afs_setcache(&ctx, g.line_size, g.lines) == 0; }
};

void read_every_file(Volume& v) {
    std::vector<uint8_t> buffer;
    for (int32_t id = 0; id < v.ctx.files; ++id) {
        uint32_t size = 0;
        if (afs_getfilesize(&v.ctx, id, &size) != 0) continue;
        buffer.resize(static_cast<size_t>(size) + 1);
        int32_t length = static_cast<int32_t>(buffer.size());
        if (afs_readfile(&v.ctx, id, 0, &length, buffer.data()) == 0 && static_cast<uint32_t>(length) > size + 1) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < dorv::fuzz::kAfsFuzzHeadBytes) return 0;
    dorv::afs::reset_module_state();
    const uint8_t options = data[0];
    const AfsFuzzGeometry first = dorv::fuzz::afs_fuzz_geometry(data[1]);
    const AfsFuzzGeometry second = dorv::fuzz::afs_fuzz_geometry(data[2]);
    Volume v;
    v.image = dorv::fuzz::afs_fuzz_image(data + dorv::fuzz::kAfsFuzzHeadBytes, size - dorv::fuzz::kAfsFuzzHeadBytes);
    const bool read_only = (options & dorv::fuzz::kAfsFuzzReadOnly) != 0;
    if (v.mount(kMount | (read_only ? AFS_INIT_READ_ONLY : 0), first) != 0) return 0;
    read_every_file(v);
    if (read_only) return 0;

    if ((options & dorv::fuzz::kAfsFuzzRecacheBeforeWrite) != 0 && !v.recache(second)) return 0;
    const int32_t file = ((options >> 1) & 7) * 37 % v.ctx.files;
    std::vector<uint8_t> bytes(300 + options);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + options);
    const uint32_t written = afs_writefile(&v.ctx, file, options & 0x30, static_cast<uint32_t>(bytes.size()),
                                           bytes.data(), AFS_WRITE_TRUNCATE);
    if ((options & dorv::fuzz::kAfsFuzzRecacheAfterWrite) != 0) (void)v.recache(first);
    (void)afs_idle_reclaim(&v.ctx);
    // After a write that succeeded the image must mount again, in the other
    // geometry, and read the written bytes back; after a refused one it may
    // not mount.
    const uint32_t remounted = v.mount(kMount, second);
    if (remounted != 0) {
        if (written == 0) std::abort();
        return 0;
    }
    read_every_file(v);
    if (written == 0) {
        std::vector<uint8_t> back(bytes.size() + (options & 0x30) + 1);
        int32_t length = static_cast<int32_t>(back.size());
        if (afs_readfile(&v.ctx, file, 0, &length, back.data()) != 0 ||
            static_cast<size_t>(length) != bytes.size() + (options & 0x30) ||
            std::memcmp(back.data() + (options & 0x30), bytes.data(), bytes.size()) != 0) {
            std::abort();
        }
    }
    return 0;
}
