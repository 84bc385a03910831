// Internal view of the EFS layout loaded from the file table. Not exported.
#ifndef DORV_EFS_EFS_LAYOUT_H
#define DORV_EFS_EFS_LAYOUT_H

#include <cstdint>

#include "dorv/efs.h"

namespace dorv::efs {

// Restores the load-time layout: default geometry, nothing loaded, and
// EFS_files released.
void reset_layout();

// Number of records in the current EFS_files array (0 when there is none).
// It can differ from g_efs_files_num: a row refused after its geometry was
// taken leaves the earlier array in place.
uint32_t layout_record_count();

// The layout record of one file index, or null when the index lies outside
// the array or at or above g_efs_files_num. EFS code indexes EFS_files only
// through this.
const efs_file_layout_t* layout_record(uint32_t file_index);

}  // namespace dorv::efs

#endif
