#include "dorv/memory_utils.h"

#include <cstdlib>
#include <cstring>

namespace {

// A copy that refuses to write past the destination; it is the only place
// that can report BYTECOPY_COPY_FAILED.
bool bounded_copy(void* destination, size_t destination_size, const void* source, size_t count) {
    if (destination == nullptr || source == nullptr || count > destination_size) {
        return false;
    }
    // Overlapping ranges are not for a caller to pass, but copying them must
    // still be defined: each byte lands as it was before the copy.
    if (count != 0) {
        std::memmove(destination, source, count);
    }
    return true;
}

}  // namespace

DORV_C_BEGIN

void* LtAllocateMemory(size_t size) { return std::malloc(size); }

void* LtAllocateZeroMemory(size_t size) { return std::calloc(1, size); }

void LtFreeMemory(void* block) { std::free(block); }

// A null buffer is left alone: there are no bytes to set.
void* LtSetMemory(void* buffer, int fill, size_t size) {
    if (buffer != nullptr && size != 0) {
        std::memset(buffer, static_cast<unsigned char>(fill), size);
    }
    return buffer;
}

// A null block holds no bytes and sorts before any block that has them; two
// null blocks are equal.
int64_t LtCompareMemory(const void* first, const void* second, size_t size) {
    if (size != 0 && (first == nullptr || second == nullptr)) {
        return first == second ? 0 : (first == nullptr ? -1 : 1);
    }
    const auto* a = static_cast<const unsigned char*>(first);
    const auto* b = static_cast<const unsigned char*>(second);
    for (size_t i = 0; i < size; ++i) {
        if (a[i] != b[i]) {
            return static_cast<int64_t>(a[i]) - static_cast<int64_t>(b[i]);
        }
    }
    return 0;
}

uint32_t ByteCopy(void* destination, size_t destination_size, const void* source, size_t count) {
    if (destination == nullptr || source == nullptr) {
        return BYTECOPY_NULL_POINTER;
    }
    if (count > destination_size) {
        return BYTECOPY_TOO_LARGE;
    }
    if (!bounded_copy(destination, destination_size, source, count)) {
        return BYTECOPY_COPY_FAILED;
    }
    return BYTECOPY_OK;
}

DORV_C_END
