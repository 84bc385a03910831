// Internal helpers of the AFS flash translation layer shared by its sources
// and the partition layer.
#ifndef DORV_AFS_AFS_FTL_H
#define DORV_AFS_AFS_FTL_H

#include <cstdint>

#include "dorv/afs.h"

namespace dorv::afs {

// Frees the translation layer's state with its unit records and page map and
// sets ctx->ftl_state to null. A null context or state is ignored.
void ftl_free_state(afs_context_t* ctx);

}  // namespace dorv::afs

#endif
