// Letting go of the EFS image that a mount adopted from its caller.
#include "efs/efs_internal.h"
#include "efs/efs_state.h"

void efs_release_image() {
    dorv::efs::release_mount_tables();
    dorv::efs::EfsState& s = dorv::efs::state();
    if (!s.image_owned) {
        efs_image = nullptr;
        efs_size = 0;
        s.image_limit = UINT32_MAX;
    }
}
