// The ftbl.bin file table: selects one SKU's table inside the caller's buffer
// and answers lookups by name and by number.
#ifndef DORV_FILE_TABLE_H
#define DORV_FILE_TABLE_H

#include <stdbool.h>
#include <stdint.h>

#include "dorv/cfg_types.h"
#include "dorv/export.h"

#define FILE_TABLE_NAME_SIZE 48

#pragma pack(push, 1)
// One 68-byte entry of a SKU's file table, as stored in ftbl.bin.
typedef struct file_table_entry_t {
    char name[FILE_TABLE_NAME_SIZE];  // NUL-padded; 48 characters leave no terminator
    uint32_t file_number;
    file_attributes_t attributes;
    uint8_t unused_54[4];
    uint16_t storage_index;
    uint8_t unused_60[3];
    uint8_t storage_selector;
    uint32_t max_data_size;
} file_table_entry_t;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(file_table_entry_t) == 68, "file table entry is 68 bytes");
#endif

DORV_C_BEGIN

// The selected table: a pointer into the buffer given to load_file_table.
DORV_API extern const file_table_entry_t* g_table_buf;
DORV_API extern int32_t g_table_num_files;
DORV_API extern uint32_t g_dfs_sku;

// Selects the table of `sku` in an ftbl.bin buffer (the selection points
// into it) and loads the SKU's EFS layout: 0, or 1 when the buffer or the
// layout section is refused. A SKU no descriptor names keeps the earlier
// selection and is no error.
DORV_API int load_file_table(const uint8_t* buffer, uint32_t sku, uint32_t size);
// The first entry of the selected table whose name matches (over at most 48
// bytes), or null.
DORV_API const file_table_entry_t* get_file_entry_by_file_name(const char* name);
// The file number of the named entry: 0, or -1 when no entry matches or out
// is null.
DORV_API int get_fileno_by_file_name(const char* name, fileno_t* out);
// The first entry of the selected table with that file number, or null.
DORV_API const file_table_entry_t* get_file_entry_by_fileno(const fileno_t* fileno);
// Copies all 48 bytes of the entry's name field into `out` (no terminator
// added): 0, or -1 when no entry has that number or a pointer is null.
DORV_API int get_file_name_by_fileno(const fileno_t* fileno, char* out);
// The named entry's attributes and maximum data size: 0, or -1 when no entry
// matches or a pointer is null.
DORV_API int get_file_attributes_by_file_name(const char* name, file_attributes_t* attributes,
                                              uint32_t* max_data_size);
// True for any non-null record header; it checks nothing else.
DORV_API bool validateAttributs(_cfg_file_entry_t* entry);

DORV_C_END

#endif
