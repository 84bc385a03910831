// Module-wide state of the EFS, declared together. The exported parts
// (efs_image, efs_size, efs_ctx, the layout globals) are declared in
// dorv/efs.h; the rest is here.
#ifndef DORV_EFS_EFS_STATE_H
#define DORV_EFS_EFS_STATE_H

#include <cstdint>

#include "common/flash_medium.h"
#include "dorv/efs.h"

namespace dorv::efs {

struct EfsState {
    // Medium under the emulated flash.
    flash::MediumSlot medium;
    // True when efs_image is a buffer this library allocated (create).
    bool image_owned = false;
    // Length of the caller's buffer (the size the loaded layout needed when
    // an unsized adoption or the library's own allocation made it); the
    // flash layer never reaches past min(efs_size, image_limit).
    uint32_t image_limit = UINT32_MAX;
    // Layout of the current mount (see remember_mounted_layout).
    uint32_t mounted_bm = 0;
    uint32_t mounted_valid = 0;
    uint32_t mounted_spare = 0;
    uint32_t mounted_files = 0;
    // Every BM header carries the layout id, and a mount only takes headers
    // of its own: another id is another layout.
    uint8_t mounted_layout_id = 0;
    efs_file_layout_t* mounted_places = nullptr;  // copy of the configured places
    // The four mount tables of efs_ctx once more, at aligned places: efs_ctx
    // is packed, and the leak checker does not look for pointers at
    // unaligned addresses. A mount outlives the host's last call
    // (kelPqsNvarTerm(false) leaves it until the next start-up), so without
    // these its tables would read as lost at exit. Set where the tables are
    // allocated, cleared where they are released; never used to reach them.
    struct MountTables {
        uint32_t* erase_counts = nullptr;
        uint8_t* valid_map = nullptr;
        uint8_t* spare_map = nullptr;
        uint8_t* spare_status = nullptr;
    } mount_tables;
};

EfsState& state();

// Records the mount tables efs_ctx now points to in EfsState::mount_tables;
// run wherever they are allocated.
void keep_mount_tables();

// Releases the mount tables and clears efs_ctx (unmounted), all but the
// retry count a mount set.
void release_mount_tables();

// Back to the state at load: unmounted, retry count 0, no image (one the library owns is
// released), plain-memory medium. The layout globals are reset separately
// (reset_layout).
void reset_efs_state();

}  // namespace dorv::efs

#endif
