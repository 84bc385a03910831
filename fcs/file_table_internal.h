// Scans of the selected file table, shared by the file-table lookups and the
// FCS handle code. Not exported.
#ifndef DORV_FCS_FILE_TABLE_INTERNAL_H
#define DORV_FCS_FILE_TABLE_INTERNAL_H

#include <cstdint>
#include <cstring>
#include <string_view>

#include "dorv/file_table.h"

namespace dorv::fcs {

// Number of bytes a 48-byte name field must share with a NUL-terminated name
// to match it as a bounded string comparison (bytewise, up to and including a
// NUL in both, or in all 48 bytes): the name and its terminator, or the first
// 48 bytes of a longer name. The name is never read past its terminator.
inline std::size_t name_match_length(const char* name) {
    std::size_t length = 0;
    while (length < FILE_TABLE_NAME_SIZE && name[length] != '\0') ++length;
    return length < FILE_TABLE_NAME_SIZE ? length + 1 : length;
}

// True when the first n bytes of a and b are equal. Names of one table mostly
// share a long prefix and differ in length or in their last characters, so
// the last eight bytes (the terminator's place and the characters before it)
// are compared first in one word; the first differing byte of the rest then
// ends the compare.
inline bool same_bytes_tail_first(const char* a, const char* b, std::size_t n) {
    if (n >= sizeof(uint64_t)) {
        uint64_t ta = 0, tb = 0;
        std::memcpy(&ta, a + n - sizeof ta, sizeof ta);
        std::memcpy(&tb, b + n - sizeof tb, sizeof tb);
        if (ta != tb) return false;
        n -= sizeof ta;
    }
    return std::memcmp(a, b, n) == 0;
}

// True when the field matches the name whose name_match_length is `n`.
inline bool name_field_matches(const char* field, const char* name, std::size_t n) {
    return same_bytes_tail_first(field, name, n);
}

// A 48-byte name field up to its terminator. A name that fills the field has
// none, so the field is never read past its end.
inline std::string_view name_field_view(const char* field) {
    const void* end = std::memchr(field, '\0', FILE_TABLE_NAME_SIZE);
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - field)
                       : std::size_t{FILE_TABLE_NAME_SIZE};
    return std::string_view(field, length);
}

// Length of a NUL-terminated name as a 48-byte field keeps it: at most 48,
// and the name is never read past its terminator.
inline std::size_t kept_name_length(const char* name) {
    std::size_t length = 0;
    while (length < FILE_TABLE_NAME_SIZE && name[length] != '\0') ++length;
    return length;
}

// Fields of an entry of the selected table, read little-endian from its bytes.
uint32_t entry_file_number(const file_table_entry_t* entry);
file_attributes_t entry_attributes(const file_table_entry_t* entry);
uint32_t entry_max_data_size(const file_table_entry_t* entry);

// First entry of the selected table by the matching rules, or null (also for
// a null name and when no table is selected).
const file_table_entry_t* find_entry_by_name(const char* name);
const file_table_entry_t* find_entry_by_number(uint32_t file_number);

// Restores the load-time selection: no table, no entries, SKU 0xFFFFFFFF.
void reset_file_table();

}  // namespace dorv::fcs

#endif
