// The input of the EFS image fuzz target: one byte that selects a layout,
// then the image bytes; or, with that byte's top bit set, an operation list
// (fuzz/efs_operations.h; the seeds ops_* were written by hand). Shared with
// the test that builds the image seeds.
#ifndef DORV_FUZZ_EFS_IMAGE_INPUT_H
#define DORV_FUZZ_EFS_IMAGE_INPUT_H

#include <cstdint>
#include <vector>

#include "support/ftbl_builder.h"

namespace dorv::fuzz {

// Small layouts: records sharing a block, a file spanning blocks, a record
// at the last offset, B = 3, and a single spare.
inline std::vector<test::EfsLayoutRow> efs_fuzz_layouts() {
    using test::EfsLayoutRow;
    return {
        EfsLayoutRow{.sku_id = 1, .bm_num = 2, .valid_block_num = 4, .non_valid_block_num = 3, .files_num = 4,
                     .files = {{0, 0, 0, 100}, {1, 0, 200, 300}, {2, 1, 4000, 5000}, {3, 3, 4072, 0}}},
        EfsLayoutRow{.sku_id = 2, .bm_num = 3, .valid_block_num = 2, .non_valid_block_num = 1, .files_num = 2,
                     .layout_id = 9, .files = {{0, 0, 10, 64}, {1, 1, 0, 4072}}},
        EfsLayoutRow{.sku_id = 3, .bm_num = 2, .valid_block_num = 3, .non_valid_block_num = 2, .files_num = 3,
                     .files = {{0, 2, 0, 16}, {2, 0, 64, 128}}},
    };
}

}  // namespace dorv::fuzz

#endif
