// The mini VFS: a file-table name becomes the file number DFS routes.
#include <cstddef>

#include "api/dfs_internal.h"
#include "common/le_bytes.h"

namespace dorv::dfs {

dfs_file_number_t file_number_of(const file_table_entry_t* entry) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(entry);
    const uint32_t file_number = le::load32(bytes + offsetof(file_table_entry_t, file_number));
    const uint32_t index = le::load16(bytes + offsetof(file_table_entry_t, storage_index));
    const uint32_t selector = le::load8(bytes + offsetof(file_table_entry_t, storage_selector));
    // Selector 1 is a second name for AFS; higher index bits never reach the
    // store bits.
    const uint32_t store = selector == 1 ? 0 : selector << kStoreShift;
    return (file_number & kTopBits) | (index & kIndexBits) | store;
}

}  // namespace dorv::dfs

DORV_C_BEGIN

int pathToFileNumber(const char* name, dfs_file_number_t* out) {
    if (out == nullptr || name == nullptr) return 1;
    const file_table_entry_t* entry = get_file_entry_by_file_name(name);
    if (entry == nullptr) return 2;
    *out = dorv::dfs::file_number_of(entry);
    return 0;
}

int readVfs(const char* name, uint32_t offset, uint8_t* buffer, uint32_t length) {
    if (name == nullptr) return 2;
    const file_table_entry_t* entry = get_file_entry_by_file_name(name);
    if (entry == nullptr) return 2;
    // The count of bytes read is not handed back.
    uint32_t count = length;
    return dfs_read(dorv::dfs::file_number_of(entry), offset, &count, buffer) == 0 ? 0 : 6;
}

int mini_vfs_init(uint8_t* image, uint32_t size) { return dfs_init(image, size) == 0 ? 0 : 1; }

DORV_C_END
