// Internals shared by the EFS sources. Nothing here is exported.
#ifndef DORV_EFS_EFS_INTERNAL_H
#define DORV_EFS_EFS_INTERNAL_H

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "dorv/efs.h"

DORV_C_BEGIN

// Reads physical data block p into efs_ctx.block_buf (16 header bytes, or the
// whole block) and checks the header CRC, and with check_footer (only with
// whole_block) the footer: 0, 22 (device) or 41.
int EFS_read_and_verify_data_block_header_and_footer(uint32_t physical_block,
                                                     uint8_t check_footer, uint8_t whole_block);

// Reads the file record of logical block l at payload offset o into
// efs_ctx.block_buf (header at 0, data from 4) and checks its CRC-16: 0, 2
// (empty) or 41; 22 for an offset above 4072.
int EFS_read_and_verify_file(uint8_t logical_block, uint16_t payload_offset,
                             uint8_t use_stored_length, uint16_t expected_length);

DORV_C_END

// The 16-byte form of the verified write, for BM and data block headers.
int EFS_write_with_read_check(uint32_t address, const uint8_t (&header)[16], uint8_t blank_check);

// Mounts a caller's image of `length` bytes without creating: 22 when the
// image is null or shorter than EFS_get_efs_size(), else as EFS_init(0).
// The flash layer then never reaches past `length`.
int efs_mount_image(uint8_t* image, uint32_t length);

// Unmounts and lets go of a caller's image (one the library allocated stays),
// so that no later call reaches a buffer its owner may have released.
void efs_release_image();

namespace dorv::efs {

// Scratch memory from the C allocator (the EFS reports a failed allocation
// as a null, never as an exception), released with free.
struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

// B, V, S of the loaded layout, and R = V + S + 12, the size of one BME.
uint32_t bm_blocks();
uint32_t valid_blocks();
uint32_t spare_blocks();
uint32_t data_blocks();
uint32_t bme_size();

// Image address of byte `offset` of physical data block p, computed without
// wrapping; false when p is not below V + S or the address leaves 32 bits.
bool data_block_address(uint32_t physical_block, uint32_t offset, uint32_t* address);

// True when there is an image and its first `bytes` bytes lie inside what
// the flash layer may reach (the layout's size, cut to the image's limit):
// an operation that must complete checks this before its first store.
bool image_reaches(uint64_t bytes);
// The same for the whole 4096-byte block that starts at `address`: a call
// that stores more than once into a block checks it before the first.
bool block_reachable(uint32_t address);

// True when all `length` bytes are 0xFF (erased flash).
bool reads_erased(const uint8_t* bytes, uint32_t length);

// The retry count verified operations use: efs_ctx.retry_count.
uint32_t retries();

// Reads `length` (at most 4096) bytes at `address` until they read erased:
// 0, 41 when they never do (or the retry count is 0), or a read's code.
int check_blank(uint32_t address, uint32_t length);

// Blank check, one write, read-back compare of `length` (at most 4096) bytes
// at `address`; what EFS_write_with_read_check does after its argument checks.
// `stored`, when given, tells whether the write reached the flash.
int write_verified(uint32_t address, uint32_t length, const uint8_t* data, bool blank_check,
                   bool* stored = nullptr);

// Kills a block's header CRC (4 zero bytes at its offset 12, plain write) and
// erases the block at `address`.
int kill_and_erase_block(uint32_t address);

// Reads the whole BM block i until it reads all 0xFF: sets next_bm_state to
// ERASED (blank) or DIRTY; a read failure returns its code and leaves it.
int probe_next_bm(uint32_t bm_index);

// 5 when the next commit would have to move to the next BM block and no move
// is possible (one BM block, or the generation at its last value), else 0.
// A writer checks it before its first store, so that it does not copy
// blocks for a commit that cannot land.
int commit_refusal();

// True when the valid map (V bytes) and the spare map (S bytes) together
// name every physical data block 0 .. V + S - 1 exactly once.
bool maps_name_each_block_once(const uint8_t* valid_map, const uint8_t* spare_map);

// A valid BM header of the loaded layout with the given generation.
void build_bm_header(uint32_t generation, uint8_t (&out)[16]);

// Serialises entry E into the R bytes at `out` (valid map, spare map,
// reserved_a, reserved_b, crc32 as E holds them).
void serialise_bme(const efs_bme_t& entry, uint8_t* out);

// While mounted, the blocks the committed valid map names hold the files: a
// call from outside must not erase or write over them (the library's own
// callers only ever pass spares, and format runs unmounted).
bool holds_files(uint32_t physical_block);

// While mounted, a spare about to be written from outside the copy-on-write
// writers is no longer free (a swap would find it not blank): its slot
// becomes used, to be erased before reuse.
void note_spare_written(uint32_t physical_block);

// The spare slot with the wanted status whose block has the smallest erase
// count (ties to the lower slot, a count of 0xFFFFFFFF never chosen), or -1.
int select_spare(uint8_t status);

// Runs the status scan unless it has run since the mount or the last failed
// erase.
int scan_if_needed();

// Copy-on-write swap without the argument checks of the exported form.
int swap_and_write_new_block(efs_bme_t* entry, uint32_t logical_block, const uint8_t* payload);

// The format of EFS_do_format. It refuses (1, 12, 22, 41, 99) before its
// first store, leaving the image and any mount as they were; otherwise it
// unmounts first when asked (mount with create formats the image it is
// about to mount and asks not to).
int format_image(bool unmount);

// The layout a mount was made for, so that a layout load can tell whether it
// changes anything the mount depends on; a changing load unmounts.
void remember_mounted_layout();
void unmount_if_layout_changed();

}  // namespace dorv::efs

#endif
