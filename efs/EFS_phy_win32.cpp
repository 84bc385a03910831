// The emulated flash under the EFS: read, write and erase over the image
// buffer, through the medium seam, with every range checked against the image.
#include <algorithm>
#include <cstdlib>

#include "dorv/efs.h"
#include "efs/efs_format.h"
#include "efs/efs_internal.h"
#include "efs/efs_state.h"

namespace {

using dorv::efs::state;

// The bytes the layer may touch: the layout's size, cut to the caller's
// buffer length when a sized mount gave one.
uint32_t reachable_size() { return std::min(efs_size, state().image_limit); }

bool in_image(uint32_t address, uint32_t length) {
    const uint32_t size = reachable_size();
    return efs_image != nullptr && length != 0 && address < size && length <= size - address;
}

}  // namespace

bool dorv::efs::image_reaches(uint64_t bytes) { return efs_image != nullptr && bytes <= reachable_size(); }

bool dorv::efs::block_reachable(uint32_t address) {
    return image_reaches(static_cast<uint64_t>(address) + dorv::efs::fmt::kBlockSize);
}

DORV_C_BEGIN

int EFS_physical_read(uint32_t address, uint32_t length, uint8_t* destination) {
    if (destination == nullptr || !in_image(address, length)) return 22;
    state().medium.get().read(efs_image, address, destination, length);
    return 0;
}

int EFS_physical_write(uint32_t address, uint32_t length, const uint8_t* source) {
    if (source == nullptr || !in_image(address, length)) return 22;
    state().medium.get().write(efs_image, address, source, length);
    return 0;
}

int EFS_physical_erase(uint32_t address, uint32_t length) {
    if (!in_image(address, length)) return 22;
    if (address % dorv::efs::fmt::kBlockSize != 0 || length % dorv::efs::fmt::kBlockSize != 0) {
        return 22;
    }
    state().medium.get().erase(efs_image, address, length);
    return 0;
}

int EFS_physical_init(uint8_t create) {
    // The layout loader keeps B, V and S below 256, so this cannot wrap.
    const uint64_t size = (static_cast<uint64_t>(g_efs_valid_block_num) + g_efs_bm_num +
                           g_efs_non_valid_block_num) *
                          dorv::efs::fmt::kBlockSize;
    efs_size = static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
    if (create == 0) return efs_image == nullptr ? 1 : 0;

    // A mount over the image that goes away would go on describing it.
    if (efs_ctx.mounted != 0) dorv::efs::release_mount_tables();
    // Only an image this layer allocated is released; a caller's stays theirs.
    auto& s = state();
    if (s.image_owned) std::free(efs_image);
    efs_image = nullptr;
    s.image_owned = false;
    s.image_limit = UINT32_MAX;
    // One byte at least, so that a null pointer always means no memory.
    auto* image = static_cast<uint8_t*>(std::malloc(std::max<uint32_t>(efs_size, 1)));
    if (image == nullptr) return 12;
    s.medium.get().erase(image, 0, efs_size);
    efs_image = image;
    s.image_owned = true;
    // A later layout may need more blocks than this image has: its size
    // stays the limit, as a caller's does.
    s.image_limit = efs_size;
    return 0;
}

DORV_C_END
