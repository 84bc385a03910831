// EFS flash file system: layout globals set from the file table's EFS section.
#ifndef DORV_EFS_H
#define DORV_EFS_H

#include <stdint.h>

#include "dorv/export.h"

#define EFS_FILE_CONFIGURED 0x01u

#pragma pack(push, 1)
// Place of one file index in the EFS (8 bytes; other code indexes the array).
typedef struct efs_file_layout_t {
    uint8_t first_block;
    uint16_t offset;
    uint16_t max_size;
    uint8_t flags;
    uint8_t reserved[2];
} efs_file_layout_t;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(efs_file_layout_t) == 8, "EFS file layout record is 8 bytes");
#endif

DORV_C_BEGIN

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
// layout for this SKU), 1 section rejected, 12 out of memory.
DORV_API int load_autogen_data(const uint8_t* buffer, int sku_id, uint32_t buffer_size);

DORV_C_END

#endif
