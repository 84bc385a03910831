// Opens arbitrary bytes as an FCS buffer over a fixed file table, then lists,
// fetches and flushes whatever opens. A flushed buffer must open again and
// flush to the same bytes; anything else aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dorv/fcs.h"
#include "dorv/file_table.h"
#include "support/fcs_fuzz_table.h"
#include "support/ftbl_builder.cpp"  // test-side builder, compiled into this target only

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::vector<uint8_t> flush_all(fcs_handle_t* handle) {
    uint32_t size = 0;
    check(flush(handle, nullptr, &size) == FCS_BUFFER_TOO_SMALL);
    std::vector<uint32_t> words(size / 4 + 1);
    check(flush(handle, words.data(), &size) == FCS_OK);
    std::vector<uint8_t> bytes(size);
    std::memcpy(bytes.data(), words.data(), size);
    return bytes;
}

void list_and_fetch(fcs_handle_t* handle) {
    char name[64];
    std::vector<uint8_t> record(65535);
    for (int s = getFirstFileInRoot(handle, name); s == FCS_OK; s = getNextFile(handle, name)) {
        check(std::strlen(name) <= 48);
        uint32_t length = static_cast<uint32_t>(record.size());
        check(getFileData(handle, name, record.data(), &length) == FCS_OK);
        check(length >= 12);
        fcs_file_info_t info;
        const fcs_status_t status = getFileAttributes(handle, name, &info);
        check(status == FCS_OK || status == FCS_FILE_NOT_IN_TABLE);
        check(std::memcmp(&info.header, record.data(), 12) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> table = dorv::test::fcs_fuzz_table();
    static const bool loaded = load_file_table(table.data(), dorv::test::kFcsFuzzSku,
                                               static_cast<uint32_t>(table.size())) == 0;
    check(loaded);
    if (size > UINT32_MAX) return 0;

    fcs_handle_t* handle = nullptr;
    if (createHandleFromStructure(&handle, data, static_cast<uint32_t>(size)) != FCS_OK) {
        check(handle == nullptr);
        return 0;
    }
    list_and_fetch(handle);
    const std::vector<uint8_t> first = flush_all(handle);
    check(closeHandle(&handle) == FCS_OK && handle == nullptr);

    check(createHandleFromStructure(&handle, first.data(), static_cast<uint32_t>(first.size())) ==
          FCS_OK);
    list_and_fetch(handle);
    check(flush_all(handle) == first);
    check(closeHandle(&handle) == FCS_OK);
    return 0;
}
