// Module-wide state of the EFS (except the layout globals, which live with
// their loader).
#include "efs/efs_state.h"

#include <cstdlib>
#include <cstring>

#include "efs/efs_internal.h"

DORV_C_BEGIN

uint8_t* efs_image = nullptr;
uint32_t efs_size = 0;
efs_context_t efs_ctx = {};

DORV_C_END

namespace dorv::efs {

EfsState& state() {
    static EfsState s;
    return s;
}

void keep_mount_tables() {
    state().mount_tables = {efs_ctx.erase_counts, efs_ctx.valid_map, efs_ctx.spare_map, efs_ctx.spare_status};
}

void release_mount_tables() {
    std::free(efs_ctx.erase_counts);
    std::free(efs_ctx.valid_map);
    std::free(efs_ctx.spare_map);
    std::free(efs_ctx.spare_status);
    // The retry count a mount set stays until the next mount: the verified
    // calls go on working on the image after an unmount.
    const uint32_t retries = efs_ctx.retry_count;
    std::memset(&efs_ctx, 0, sizeof efs_ctx);
    efs_ctx.retry_count = retries;
    EfsState& s = state();
    s.mount_tables = {};
    std::free(s.mounted_places);
    s.mounted_places = nullptr;
    s.mounted_bm = s.mounted_valid = s.mounted_spare = s.mounted_files = 0;
    s.mounted_layout_id = 0;
}

void reset_efs_state() {
    release_mount_tables();
    efs_ctx.retry_count = 0;  // as before the first mount
    EfsState& s = state();
    if (s.image_owned) std::free(efs_image);
    efs_image = nullptr;
    efs_size = 0;
    s.image_owned = false;
    s.image_limit = UINT32_MAX;
    s.medium.set(nullptr);
}

}  // namespace dorv::efs
