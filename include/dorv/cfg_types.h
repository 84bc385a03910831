// Types shared by the file table, the FCS buffers and the library API.
#ifndef DORV_CFG_TYPES_H
#define DORV_CFG_TYPES_H

#include <stdint.h>

// A file number of the file table, passed by pointer to the lookups.
typedef struct fileno_t {
    uint32_t file_number;
} fileno_t;

// The file table's 16-bit attribute word.
typedef uint16_t file_attributes_t;

// Attribute bits that steer deployed values on flash. A deployed file with a
// trailer ends in bytes that are not part of its value (40 of them, or 56
// with the long trailer); it is read without them and never written back. A
// file that must not be loaded from flash keeps its table value at start-up.
#define FILE_ATTR_HAS_TRAILER 0x01u
#define FILE_ATTR_NO_VFS_LOAD 0x02u
#define FILE_ATTR_LONG_TRAILER 0x40u

#define CFG_ENTRY_VALID 0x01u

#pragma pack(push, 1)
// Header of every file record and of every FCS buffer entry (little-endian).
typedef struct _cfg_file_entry_t {
    uint32_t file_number;
    uint32_t data_offset;
    uint16_t data_length;
    uint8_t flags;
    uint8_t reserved;
} _cfg_file_entry_t;

// What getFileAttributes reports of one file.
typedef struct fcs_file_info_t {
    _cfg_file_entry_t header;
    uint16_t attributes;
    uint32_t max_data_size;
} fcs_file_info_t;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(_cfg_file_entry_t) == 12, "record header is 12 bytes");
static_assert(sizeof(fcs_file_info_t) == 18, "file info is 18 bytes");
#endif

#endif
