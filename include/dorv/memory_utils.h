// Heap and byte helpers exported for the host tool.
#ifndef DORV_MEMORY_UTILS_H
#define DORV_MEMORY_UTILS_H

#include <stddef.h>
#include <stdint.h>

#include "dorv/export.h"

// ByteCopy status codes.
#define BYTECOPY_OK 0u
#define BYTECOPY_NULL_POINTER 3u
#define BYTECOPY_TOO_LARGE 40u
#define BYTECOPY_COPY_FAILED 43u

DORV_C_BEGIN

// malloc, calloc and free of the C library.
DORV_API void* LtAllocateMemory(size_t size);
DORV_API void* LtAllocateZeroMemory(size_t size);
DORV_API void LtFreeMemory(void* block);
// Fills size bytes with the low byte of fill and returns buffer; a null
// buffer is left alone.
DORV_API void* LtSetMemory(void* buffer, int fill, size_t size);
// Difference of the first unequal bytes (unsigned), 0 when equal; a null
// block (size not 0) sorts before any other and two null blocks are equal.
DORV_API int64_t LtCompareMemory(const void* first, const void* second, size_t size);
// Copies count bytes into a destination of destination_size bytes; the two
// regions must not overlap. BYTECOPY_OK, BYTECOPY_NULL_POINTER, or
// BYTECOPY_TOO_LARGE when count exceeds destination_size.
DORV_API uint32_t ByteCopy(void* destination, size_t destination_size, const void* source,
                           size_t count);

DORV_C_END

#endif
