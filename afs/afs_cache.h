// Internal helpers of the AFS line cache for the partition and file layers.
#ifndef DORV_AFS_AFS_CACHE_H
#define DORV_AFS_AFS_CACHE_H

#include <cstdint>

#include "dorv/afs.h"

namespace dorv::afs {

// Marks every 64-byte page of one line slot that [pointer, pointer + length)
// touches as changed (cache_line_written marks only the page of its pointer).
// The range is cut at the end of the slot; a pointer outside every slot is
// ignored.
void cache_range_written(afs_context_t* ctx, const uint8_t* pointer, uint32_t length);

}  // namespace dorv::afs

#endif
