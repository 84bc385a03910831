// EFS flash file system: layout globals set from the file table's EFS
// section, the emulated flash over the EFS image, its checksums, mount state,
// block manager, data blocks, format and mount.
#ifndef DORV_EFS_H
#define DORV_EFS_H

#include <stdint.h>

#include "dorv/export.h"

#define EFS_FILE_CONFIGURED 0x01u

// Every EFS block, block-manager or data, is 4096 bytes.
#define EFS_BLOCK_SIZE 4096u
// A data block: 16-byte header, 4076-byte payload, 4-byte footer (CRC-32 of
// the payload).
#define EFS_BLOCK_HEADER_SIZE 16u
#define EFS_PAYLOAD_SIZE 4076u
#define EFS_FOOTER_OFFSET 4092u
// Data bytes a file record can hold in one block after its 4-byte header.
#define EFS_FILE_DATA_MAX 4072u
// Tries of every verified read, blank check and read-back compare once mounted.
#define EFS_RETRY_COUNT 7u

// State of the BM block after the current one (next_bm_state).
#define EFS_BM_STATE_UNKNOWN 0u
#define EFS_BM_STATE_ERASED 1u
#define EFS_BM_STATE_DIRTY 2u

// Status of a spare slot (spare_status).
#define EFS_SPARE_UNSCANNED 0u
#define EFS_SPARE_DIRTY 1u
#define EFS_SPARE_FREE 2u

#pragma pack(push, 1)
// Place of one file index in the EFS (8 bytes; other code indexes the array).
typedef struct efs_file_layout_t {
    uint8_t first_block;
    uint16_t offset;
    uint16_t max_size;
    uint8_t flags;
    uint8_t reserved[2];
} efs_file_layout_t;

// Header of a block-manager block, as stored at its offset 0.
typedef struct efs_bm_header_t {
    uint16_t version;      // 1
    uint16_t sku_id;       // g_efs_sku_id, high byte 0
    uint32_t generation;   // 1 after format, one more per switch
    uint8_t bm_count;      // B
    uint8_t valid_count;   // V
    uint8_t spare_count;   // S
    uint8_t layout_id;     // g_efs_layout_id
    uint32_t crc32;        // EFS CRC-32 of bytes 0-11
} efs_bm_header_t;

// Header of a data block, as stored at its offset 0.
typedef struct efs_data_block_header_t {
    uint32_t erase_count;
    uint8_t reserved[8];   // zero
    uint32_t crc32;        // EFS CRC-32 of bytes 0-11
} efs_data_block_header_t;

// Mount state of the one EFS: fields follow one another without gaps.
typedef struct efs_context_t {
    uint8_t mounted;
    uint8_t block_buf[4096];    // target of verified block and record reads
    uint8_t verify_buf[4096];   // target of blank checks and read-back compares
    uint32_t retry_count;
    uint8_t force_bm_switch;    // 1: the next commit moves to the next BM block
    uint32_t current_bm;
    uint32_t generation;
    uint8_t next_bm_state;      // EFS_BM_STATE_*
    uint32_t* erase_counts;     // V + S, by physical data block
    uint32_t bme_offset;        // offset of the newest BME in the current BM block
    uint8_t* valid_map;         // V bytes: logical -> physical data block
    uint8_t* spare_map;         // S bytes: spare slot -> physical data block
    uint32_t reserved_a;
    uint32_t reserved_b;
    uint32_t bme_crc;
    uint32_t free_count;        // spare slots that are EFS_SPARE_FREE
    uint8_t* spare_status;      // S bytes: EFS_SPARE_*
    uint8_t status_scanned;     // 1: erase_counts, spare_status, free_count valid
} efs_context_t;
#pragma pack(pop)

// A block-manager entry in memory; the maps belong to whoever builds it.
// On flash it is valid map (V bytes), spare map (S bytes), reserved_a,
// reserved_b and crc32, V + S + 12 bytes.
typedef struct efs_bme_t {
    uint8_t* valid_map;
    uint8_t* spare_map;
    uint32_t reserved_a;
    uint32_t reserved_b;
    uint32_t crc32;
} efs_bme_t;

#ifdef __cplusplus
static_assert(sizeof(efs_file_layout_t) == 8, "EFS file layout record is 8 bytes");
static_assert(sizeof(efs_bm_header_t) == 16, "BM header is 16 bytes");
static_assert(sizeof(efs_data_block_header_t) == 16, "data block header is 16 bytes");
static_assert(sizeof(efs_context_t) == 1 + 4096 + 4096 + 4 + 1 + 4 + 4 + 1 + 4 * sizeof(void*) +
                                           4 * 5 + 1,
              "mount state is packed");
#endif

DORV_C_BEGIN

/* Layout of the EFS, from the file table */

DORV_API extern uint32_t g_efs_bm_num;
DORV_API extern uint32_t g_efs_valid_block_num;
DORV_API extern uint32_t g_efs_non_valid_block_num;
DORV_API extern uint32_t g_efs_files_num;
DORV_API extern uint32_t g_efs_wear_leveling_threshold;
DORV_API extern uint8_t g_efs_layout_id;
DORV_API extern uint8_t g_efs_sku_id;
DORV_API extern uint8_t g_efs_autogen_data_loaded;
DORV_API extern efs_file_layout_t* EFS_files;

// Reads the EFS layout row of one SKU from an ftbl buffer: 0 loaded (or no
// layout for this SKU), 1 section rejected, 12 out of memory. A load that
// changes the geometry or a file place of a mounted EFS unmounts it.
DORV_API int load_autogen_data(const uint8_t* buffer, int sku_id, uint32_t buffer_size);

/* Emulated flash over the EFS image */

// The image (null until allocated or adopted) and its size in bytes,
// (V + B + S) * 4096.
DORV_API extern uint8_t* efs_image;
DORV_API extern uint32_t efs_size;

// 0, or 22 for an empty request, a range not wholly inside the image or no
// image. An erase also needs address and length to be multiples of 4096.
DORV_API int EFS_physical_read(uint32_t address, uint32_t length, uint8_t* destination);
DORV_API int EFS_physical_write(uint32_t address, uint32_t length, const uint8_t* source);
DORV_API int EFS_physical_erase(uint32_t address, uint32_t length);
// Sets efs_size from the layout. Without create: 1 when there is no image.
// With create: a fresh all-0xFF image of the library's own (12 when it
// cannot be allocated); a caller's image is never released, and a mount over
// the image replaced is released (unmounted).
DORV_API int EFS_physical_init(uint8_t create);

/* Checksums */

// CRC-32, reflected polynomial 0xEDB88320, the seed as start value and no
// final inversion; CRC-16, polynomial 0x1021 MSB first, seeded by the
// caller, no final XOR. Both return the seed for length 0.
DORV_API extern const uint32_t gCrc32_table[256];
DORV_API extern const uint16_t gCrc16_table[256];
DORV_API uint32_t EFS_crc32(uint32_t seed, const uint8_t* data, uint32_t length);
DORV_API uint32_t EFS_crc16(uint32_t seed, const uint8_t* data, uint32_t length);

/* Mount state and verified writes */

DORV_API extern efs_context_t efs_ctx;

// Blank check (when asked), one write, read-back compare: 0, 22 (length 0
// or above 4096, null data, range outside the image; while mounted, a range
// in a BM block or in a data block that holds files) or 41. While mounted, a
// spare it writes is no longer counted free.
DORV_API int EFS_write_with_read_check(uint32_t address, uint32_t length, const uint8_t* data,
                                       uint8_t blank_check);

/* Block manager */

// Commits an entry: appended to the current BM block, or moved to the next
// one when the block is full or must not be appended to. 0, 1 (not mounted),
// 5, 12, 22, 41.
DORV_API int EFS_commit_BME(efs_bme_t* entry, uint32_t reserved_a, uint32_t reserved_b);
// Moves to the next BM block with an entry whose CRC is set: 0, 1, 5, 12, 22, 41.
DORV_API int EFS_switch_BM(efs_bme_t* entry);
// Kills the header of BM block bm_index, then erases the block: 0, 22 (no
// such block, the current one while mounted, or past the image's limit), or
// a code passed up.
DORV_API int EFS_erase_next_BM(uint32_t bm_index);
// Reads BM block bm_index and records in next_bm_state whether it reads
// erased: 0, 22 (no such block, or the current one while mounted), or a code
// passed up.
DORV_API int EFS_check_next_BM_state(uint32_t bm_index);
// Erases every BM block (the current one last) and unmounts: 0, 1 (no
// image), 22 (a BM block past the image's limit: nothing erased), or a code
// passed up. The retry count of the mount stays.
DORV_API int EFS_erase(void);
// Writes "RDFS" over the first four bytes of the image and unmounts.
DORV_API int EFS_write_RTFD_marker(void);

/* Data blocks and copy-on-write */

// Reads every data block's header and footer into the erase counts and the
// spare statuses; a single spare with a bad header is erased again with the
// average count. 0, 1 (not mounted), 41 (a mapped block or two spares bad),
// or a code passed up.
DORV_API int EFS_scan_for_Data_Blocks_status_and_EC(void);
// Erase and write a physical data block; while mounted, a block the valid
// map names (it holds files) is refused with 22, and so is a block that runs
// past the image's limit.
DORV_API int EFS_erase_data_block(uint32_t physical_block, uint32_t erase_count);
// Erases the used spare with the lowest erase count, which becomes free: 0,
// 1 (not mounted), 28 (no used spare), or a code passed up.
DORV_API int EFS_erase_dirty_block(void);
// Copy-on-write of a logical block into the free spare with the lowest erase
// count, in `entry`'s maps (the caller commits). A spare whose payload or
// footer area does not read erased answers 41 with nothing written (its slot
// is marked used).
DORV_API int EFS_bme_swap_and_write_new_block(efs_bme_t* entry, uint32_t logical_block,
                                              const uint8_t* payload);
// Writes the footer, the CRC-32 of the 4076 payload bytes given, into a
// physical data block after a blank check: 0, 22 (null payload, no such
// block, one the mounted valid map names, or a footer outside the image), or
// 41.
DORV_API int EFS_write_data_footer(uint32_t physical_block, const uint8_t* payload);
// Writes the payload and its footer into a physical block; a payload or
// footer area that does not read erased answers 41 with nothing written.
DORV_API int EFS_write_data_block(uint32_t physical_block, const uint8_t* payload);
// The free spare slot a write would take: 0, 1 (not mounted), 22 (null
// slot), 28 (no spare known to be free).
DORV_API int EFS_select_free_page_for_write(int* slot);

/* Format and mount */

// Writes an empty file system over the image and unmounts: 0, or a code
// passed up. Refused before its first store, leaving the image and any mount
// as they were: 1 (no layout or image), 12, 22 (the layout needs more than the
// image's limit), 41 (no BM block), 99 (a file placed in a logical block past
// payload offset 4072).
DORV_API int EFS_do_format(void);
// Mounts the image; a non-zero low byte of create allocates and formats a
// fresh image first. 22 when the loaded layout needs more than the image was
// adopted with (adopt it again under that layout).
DORV_API int EFS_init(int create);
// Adopts the caller's image (at least EFS_get_efs_size() bytes) and mounts it.
DORV_API int EFS_init_tools(uint8_t* image);
// (V + B + S) * 4096 for the loaded layout.
DORV_API uint32_t EFS_get_efs_size(void);

/* Wear levelling and idle reclaim */

// Moves the least-erased mapped block onto the most-erased spare once their
// erase counts lie the layout's threshold apart; a and b become the reserved
// words of the entry it commits. 0 (moved, or nothing to move), 1 (not
// mounted), 5 (the commit cannot land: nothing moved), 12, 41, or a code
// passed up.
DORV_API int EFS_wear_leveling(uint32_t a, uint32_t b);
// One step of maintenance: pre-erases the next BM block when the current one
// is nearly full, else scans, levels wear and erases one used spare.
// 0, 1 (not mounted), or a code passed up.
DORV_API int EFS_idle_reclaim(void);

/* File operations; a file is named by its index into EFS_files */

// Reads up to *length bytes from `offset` of the file into `buffer`; *length
// becomes the bytes delivered (0 on every failure). 0, 1, 2, 22, 34, 41.
DORV_API int EFS_read(uint32_t file_index, uint32_t offset, uint32_t* length, uint8_t* buffer);
// Replaces the whole file by `size` bytes of `data` (offset must be 0).
// 0, 1, 5 (the commit cannot land: nothing copied), 12, 22, 28, 34, 41, or a
// code passed up. Past the argument checks the status scan and wear
// levelling run first and stay done, also when the write then refuses; only
// a write needing more blocks than the layout has spares (28) is refused
// before them, with nothing stored.
DORV_API int EFS_write(uint32_t file_index, uint32_t offset, uint32_t size, const uint8_t* data);
// Empties the file. 0, 1, 2, 5, 12, 22, 28, 41, or a code passed up. Runs the
// same maintenance first as a write (a layout without spares answers 28
// before it), and erases a used spare while none is free; an empty file then
// answers 2, whatever the spares.
DORV_API int EFS_delete(uint32_t file_index);
// The file's length, written only on success. 0, 1, 2, 22, 41.
DORV_API int EFS_get_file_size(uint32_t file_index, uint32_t* size);
// 1 when the EFS is mounted, else 0.
DORV_API int EFS_is_initialized(void);

DORV_C_END

#endif
