// The input of the EFS image fuzz target: one byte that selects a layout,
// then the image bytes; or, with that byte's top bit set, an operation list
// (fuzz/efs_operations.h). Shared with the test that builds the image seeds
// (formatted_*, switched_*); the seeds ops_* were written by hand.
//
// An operation list, after that first byte:
//   byte 0   the layout loaded first: efs_fuzz_layouts(), one more whose
//            files run past its last logical block, then each of them again
//            with another layout id; index modulo 8
//   byte 1   bit 0: mounts adopt the caller's buffer unsized, by
//            EFS_init_tools (else sized); bit 1: the caller's buffer has room
//            for the largest layout (else it is the first layout's size);
//            bit 2: the buffer has half a block of erased bytes more
//   then up to 48 operations, each a byte (modulo 16) and its arguments;
//   past the end of the input every byte reads 0:
//   0  write         file index, size (2 bytes, high first), fill
//   1  delete        file index
//   2  idle step     -
//   3  wear levelling -
//   4  format        -
//   5  load layout   layout index, as byte 0
//   6  mount         - (adopting the caller's buffer as byte 1 says)
//   7  commit        map change (kind, a, b: kept / a and b swapped / a set to b)
//   8  switch BM     map change, CRC choice (odd: the entry's own CRC, else
//                    the next byte is the CRC)
//   9  swap, commit  map change, logical block, payload fill
//   10 data block    physical block, kind (erase / payload and footer /
//                    footer), payload fill, erase count (erase only)
//   11 BM block      BM index, erase (odd) or check
//   12 adopt         - (EFS_init_tools under the loaded layout, whose size
//                    becomes the image's limit; sized when the buffer is
//                    shorter than that)
//   13 EFS_init      create (odd); after a mount that answers 0, a write as 0
//   14 unmount       kind (bit 0: marker, else EFS_erase; bit 1: first a
//                    verified write while still mounted), then a verified
//                    write into blank space: first block to look from, fill
//   15 physical init create (odd); after a create, the verified write as 14
// Seeds that each cover one rule of the operation mode:
//   ops_verified_after_erase      EFS_erase after a mount, then a verified
//                                 write into the erased BM block
//   ops_mount_past_limit          adopted under a 6-block layout, a 9-block
//                                 layout loaded and mounted in place
//   ops_format_past_limit         the same adoption, then a format under the
//                                 9-block layout
//   ops_physical_init_unmounts    EFS_physical_init(1) under a mount
//   ops_write_past_last_block     a wear move due, then a write whose blocks
//                                 run past the last logical block
//   ops_delete_past_last_block    the same, then a delete of a file placed
//                                 past it
//   ops_block_erase_past_limit    a data-block erase of the block a sized
//                                 mount's limit ends inside
//   ops_verified_write_mounted    a verified write into a mounted BM block's
//                                 erased slots
//   ops_write_over_size_limit     a wear move due, then a write longer than
//                                 the file may be
//   ops_delete_empty_file         a wear move due, then a delete of a file
//                                 already empty
//   ops_spare_written_mounted     a file written, the free spare the next
//                                 write would take written by the host, the
//                                 next file write
//   ops_write_more_blocks_than_spares  a wear move due, then a write that
//                                 needs more blocks than the layout has spares
//   ops_payload_over_written_footer  a spare's footer written by the host,
//                                 then its payload and footer
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
