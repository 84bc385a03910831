// Status reporting of the library API: every report is one call of the
// caller's callback with (level, catalogue key, key text, message).
#include <cstdint>
#include <string>

#include "api/kelpqs_internal.h"
#include "dorv/memory_utils.h"

void kelPqsLogMessage(ErrorLevel level, ImageToolsErrorName key, const char* message) {
    DorvStatusCallback callback = s_dorvStatusCallback;
    if (callback == nullptr) {
        return;
    }
    // Key 0 marks reports without a catalogue entry of their own: they carry
    // an empty key text rather than the catalogue's "No Error".
    std::string keyText;
    try {
        if (key != kelkey::kNone) {
            keyText = ZanErrors::getErrorNameString(key);
        }
    } catch (...) {
        keyText.clear();  // out of memory: report without the text
    }
    try {
        callback(level, key, keyText.c_str(), message != nullptr ? message : "");
    } catch (...) {
        // A host callback that throws must not unwind through the library.
    }
}

void kelPqsReportError(ImageToolsErrorName key) { kelPqsLogMessage(ERROR_LEVEL_ERROR, key, ""); }

void kelPqsAssert(const char* message) { kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kNone, message); }

namespace {

// Reports `prefix` followed by `value` in signed decimal. The message is built
// in a fixed buffer so that reporting never needs the heap.
void reportWithNumber(ImageToolsErrorName key, const char* prefix, int64_t value) {
    char message[64];
    std::size_t at = 0;
    while (prefix[at] != '\0' && at < sizeof message - 22) {
        message[at] = prefix[at];
        ++at;
    }
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        message[at++] = '-';
        magnitude = 0 - magnitude;
    }
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n > 0) {
        message[at++] = digits[--n];
    }
    message[at] = '\0';
    kelPqsLogMessage(ERROR_LEVEL_ERROR, key, message);
}

}  // namespace

void setLibError(ImageToolsErrorName key, int code) {
    reportWithNumber(key, " Library status code: ", code);
}

int kelPqsMemCpy(void* dst, uint64_t dstSize, const void* src, uint64_t count) {
    if (count == 0) {
        return 0;
    }
    // Sizes arrive 64-bit wide; on a 32-bit build no object can be as large as
    // SIZE_MAX, so clamping the destination keeps ByteCopy's verdict exact and
    // a count that does not fit stays larger than the destination.
    const uint64_t largest = SIZE_MAX - 1;
    const std::size_t size = static_cast<std::size_t>(dstSize < largest ? dstSize : largest);
    const std::size_t n = static_cast<std::size_t>(count <= size ? count : uint64_t{size} + 1);
    const uint32_t code = ByteCopy(dst, size, src, n);
    if (code != BYTECOPY_OK) {
        reportWithNumber(kelkey::kOutOfMemory, "Memory copy failed with error ", code);
        return static_cast<int>(code);
    }
    return 0;
}
