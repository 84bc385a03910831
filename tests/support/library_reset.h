// Puts the library API, the DFS context, the file-table selection and the EFS layout back into
// their state at load. Header-only, so that fuzz targets can use it too.
#ifndef DORV_TESTS_SUPPORT_LIBRARY_RESET_H
#define DORV_TESTS_SUPPORT_LIBRARY_RESET_H

#include "afs/afs_state.h"
#include "api/dfs_internal.h"
#include "api/kelpqs_internal.h"
#include "efs/efs_layout.h"
#include "efs/efs_state.h"
#include "fcs/file_table_internal.h"

namespace dorv::test {

// DFS (its AFS context released), the AFS module and the EFS as at load.
inline void resetFlashLayers() {
    dorv::dfs::release_context();
    dorv::afs::reset_module_state();
    dorv::efs::reset_efs_state();
}

inline void resetLibraryState() {
    kelPqsResetState();
    resetFlashLayers();
    dorv::fcs::reset_file_table();
    dorv::efs::reset_layout();
}

}  // namespace dorv::test

#endif
