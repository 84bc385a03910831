// FCS handle API: configuration tables in the FCS buffer format, opened into
// an in-memory file tree behind an opaque handle.
#ifndef DORV_FCS_H
#define DORV_FCS_H

#include <stdbool.h>
#include <stdint.h>

#include "dorv/cfg_types.h"
#include "dorv/export.h"

typedef int fcs_status_t;

enum {
    FCS_OK = 0,
    FCS_INVALID_ARGUMENT = 1,
    FCS_NAME_NOT_IN_TABLE = 2,
    FCS_NO_MORE_FILES = 3,
    FCS_OPERATION_FAILED = 4,
    FCS_BUFFER_TOO_SMALL = 5,
    FCS_INVALID_HANDLE = 6,
    FCS_FILE_NOT_IN_TABLE = 8,
    FCS_OUT_OF_MEMORY = 9,
    FCS_INVALID_BUFFER = 10,
    FCS_FILE_EXISTS = 11,
    FCS_FILE_TOO_LARGE = 12,
};

typedef struct fcs_handle_t fcs_handle_t;  // opaque

DORV_C_BEGIN

// A new handle with an empty tree, stored in *slot: 0, 1 (null slot), 9.
DORV_API fcs_status_t createHandle(fcs_handle_t** slot);
// A new handle whose tree holds the records of an FCS buffer that the
// selected file table knows (others are skipped): 0, 1, 9, or 10 when the
// buffer is refused (the slot is then null).
DORV_API fcs_status_t createHandleFromStructure(fcs_handle_t** slot, const uint8_t* buffer,
                                                uint32_t size);
// Adds the records of an FCS buffer to the handle's tree; false when the
// buffer is refused (records added before the refusal stay).
DORV_API bool loadDataFromFcsBuffer(fcs_handle_t* handle, const uint8_t* buffer, uint32_t size);
// Frees the handle and its tree and empties the slot: 0, 1, 6 (empty slot).
DORV_API fcs_status_t closeHandle(fcs_handle_t** slot);
// Adds a copy of a record (12-byte header, then the payload; length in all)
// under `name` at the root; `path` must not be null but is not used. With
// size_check a payload over the file's maximum data size answers 12. The
// record's file number is written back when it arrives as 0. 0, 1, 2, 4, 5,
// 6, 8, 9, 11, 12.
DORV_API fcs_status_t addNewFile(fcs_handle_t* handle, const char* path, const char* name,
                                 uint8_t* record, uint16_t length, bool size_check);
// Removes the named file: 0, 1, 4 (no such file), 6.
DORV_API fcs_status_t deleteFile(fcs_handle_t* handle, const char* name);
// The first and the next name of the listing, in name order, copied with its
// terminator into `out` (which must hold the longest name): 0, 1, 3 at the
// end, 6.
DORV_API fcs_status_t getFirstFileInRoot(fcs_handle_t* handle, char* out);
DORV_API fcs_status_t getNextFile(fcs_handle_t* handle, char* out);
// Copies the named file's whole record (header, then payload) into `out`;
// *length: in, room in `out`; out, the record length. 0, 1, 4, 5 (too
// small: *length says how much is needed), 6.
DORV_API fcs_status_t getFileData(fcs_handle_t* handle, const char* name, uint8_t* out,
                                  uint32_t* length);
// The named file's record header and its file-table attributes and maximum
// data size: 0, 1, 4, 6, 8 (the name is not in the file table).
DORV_API fcs_status_t getFileAttributes(fcs_handle_t* handle, const char* name,
                                        fcs_file_info_t* info);
// Writes the tree as an FCS buffer; *size: in, room in `out`; out, the size
// needed. 0, 1, 5 (too small, `out` untouched and may be null), 6, 9.
DORV_API fcs_status_t flush(fcs_handle_t* handle, uint32_t* out, uint32_t* size);

DORV_C_END

#endif
