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

// True when the field matches the name whose name_match_length is `n`. Names
// of one table mostly share a long prefix and differ in length or in their
// last character, so the last two bytes compared (the terminator's place and
// the character before it) are tried first; the first differing byte then
// ends the compare.
inline bool name_field_matches(const char* field, const char* name, std::size_t n) {
    if (field[n - 1] != name[n - 1]) return false;
    if (n >= 2 && field[n - 2] != name[n - 2]) return false;
    return std::memcmp(field, name, n) == 0;
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
