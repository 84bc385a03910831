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

DORV_API fcs_status_t createHandle(fcs_handle_t** slot);
DORV_API fcs_status_t createHandleFromStructure(fcs_handle_t** slot, const uint8_t* buffer,
                                                uint32_t size);
DORV_API bool loadDataFromFcsBuffer(fcs_handle_t* handle, const uint8_t* buffer, uint32_t size);
DORV_API fcs_status_t closeHandle(fcs_handle_t** slot);
// The record's file number is written back when it arrives as 0.
DORV_API fcs_status_t addNewFile(fcs_handle_t* handle, const char* path, const char* name,
                                 uint8_t* record, uint16_t length, bool size_check);
DORV_API fcs_status_t deleteFile(fcs_handle_t* handle, const char* name);
DORV_API fcs_status_t getFirstFileInRoot(fcs_handle_t* handle, char* out);
DORV_API fcs_status_t getNextFile(fcs_handle_t* handle, char* out);
DORV_API fcs_status_t getFileData(fcs_handle_t* handle, const char* name, uint8_t* out,
                                  uint32_t* length);
DORV_API fcs_status_t getFileAttributes(fcs_handle_t* handle, const char* name,
                                        fcs_file_info_t* info);
DORV_API fcs_status_t flush(fcs_handle_t* handle, uint32_t* out, uint32_t* size);

DORV_C_END

#endif
