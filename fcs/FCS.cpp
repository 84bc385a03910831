// ---------------------------------------------------------------------------
// The ftbl.bin file table: selects one SKU's table inside the caller's buffer
// (no copy: the selection points into that buffer) and answers lookups.
// ---------------------------------------------------------------------------
#include <cstring>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "dorv/file_table.h"
#include "fcs/file_table_internal.h"

namespace {

constexpr uint32_t kFtblMagic = 0x4C425446;  // "FTBL"
constexpr uint32_t kMinFtblSize = 1024;
constexpr uint32_t kMaxSkuCount = 10;
constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kSkuDescriptorSize = 16;
constexpr uint64_t kEntrySize = sizeof(file_table_entry_t);

constexpr size_t kFileNumberOffset = 48;
constexpr size_t kAttributesOffset = 52;
constexpr size_t kMaxDataSizeOffset = 64;

const uint8_t* entry_bytes(const file_table_entry_t* entry) {
    return reinterpret_cast<const uint8_t*>(entry);
}

// Entries of the selected table; a count of 0 or less is an empty table.
int32_t selected_count() { return g_table_buf == nullptr ? 0 : g_table_num_files; }

}  // namespace

DORV_C_BEGIN

const file_table_entry_t* g_table_buf = nullptr;
int32_t g_table_num_files = 0;
uint32_t g_dfs_sku = 0xFFFFFFFFu;

DORV_C_END

namespace dorv::fcs {

uint32_t entry_file_number(const file_table_entry_t* entry) {
    return le::load32(entry_bytes(entry) + kFileNumberOffset);
}

file_attributes_t entry_attributes(const file_table_entry_t* entry) {
    return le::load16(entry_bytes(entry) + kAttributesOffset);
}

uint32_t entry_max_data_size(const file_table_entry_t* entry) {
    return le::load32(entry_bytes(entry) + kMaxDataSizeOffset);
}

const file_table_entry_t* find_entry_by_name(const char* name) {
    if (name == nullptr) return nullptr;
    const int32_t count = selected_count();
    for (int32_t i = 0; i < count; ++i) {
        const file_table_entry_t* entry = g_table_buf + i;
        if (name_field_matches(entry->name, name)) return entry;
    }
    return nullptr;
}

const file_table_entry_t* find_entry_by_number(uint32_t file_number) {
    const int32_t count = selected_count();
    for (int32_t i = 0; i < count; ++i) {
        const file_table_entry_t* entry = g_table_buf + i;
        if (entry_file_number(entry) == file_number) return entry;
    }
    return nullptr;
}

void reset_file_table() {
    g_table_buf = nullptr;
    g_table_num_files = 0;
    g_dfs_sku = 0xFFFFFFFFu;
}

}  // namespace dorv::fcs

DORV_C_BEGIN

int load_file_table(const uint8_t* buffer, uint32_t sku, uint32_t size) {
    namespace le = dorv::le;
    if (buffer == nullptr || size < kMinFtblSize) return 1;
    if (le::load32(buffer) != kFtblMagic) return 1;
    const uint32_t sku_count = le::load32(buffer + 12);
    if (sku_count > kMaxSkuCount) return 1;

    // At most 10 descriptors end by byte 176, well inside an accepted buffer.
    for (uint32_t i = 0; i < sku_count; ++i) {
        const uint8_t* descriptor = buffer + kHeaderSize + kSkuDescriptorSize * i;
        if (le::load32(descriptor) != sku) continue;
        const uint32_t table_offset = le::load32(descriptor + 4);
        const int32_t file_count = static_cast<int32_t>(le::load32(descriptor + 8));
        // A count of 2^31 or more reads as 0 or less: an empty table with
        // nothing to bound. Every other table must lie wholly in the buffer,
        // since the lookups read all of its entries.
        const uint64_t table_size =
            file_count > 0 ? kEntrySize * static_cast<uint64_t>(file_count) : 0;
        if (!le::fits(size, table_offset, table_size)) return 1;
        g_dfs_sku = sku;
        g_table_buf = reinterpret_cast<const file_table_entry_t*>(buffer + table_offset);
        g_table_num_files = file_count;
        break;
    }

    return load_autogen_data(buffer, static_cast<int>(sku), size) == 0 ? 0 : 1;
}

const file_table_entry_t* get_file_entry_by_file_name(const char* name) {
    return dorv::fcs::find_entry_by_name(name);
}

int get_fileno_by_file_name(const char* name, fileno_t* out) {
    if (out == nullptr) return -1;
    const file_table_entry_t* entry = dorv::fcs::find_entry_by_name(name);
    if (entry == nullptr) return -1;
    out->file_number = dorv::fcs::entry_file_number(entry);
    return 0;
}

const file_table_entry_t* get_file_entry_by_fileno(const fileno_t* fileno) {
    if (fileno == nullptr) return nullptr;
    return dorv::fcs::find_entry_by_number(fileno->file_number);
}

int get_file_name_by_fileno(const fileno_t* fileno, char* out) {
    if (out == nullptr) return -1;
    const file_table_entry_t* entry = get_file_entry_by_fileno(fileno);
    if (entry == nullptr) return -1;
    // The whole field as it stands: NUL padding included, no terminator added.
    std::memcpy(out, entry->name, FILE_TABLE_NAME_SIZE);
    return 0;
}

int get_file_attributes_by_file_name(const char* name, file_attributes_t* attributes,
                                     uint32_t* max_data_size) {
    if (attributes == nullptr || max_data_size == nullptr) return -1;
    const file_table_entry_t* entry = dorv::fcs::find_entry_by_name(name);
    if (entry == nullptr) return -1;
    *attributes = dorv::fcs::entry_attributes(entry);
    *max_data_size = dorv::fcs::entry_max_data_size(entry);
    return 0;
}

bool validateAttributs(_cfg_file_entry_t* entry) { return entry != nullptr; }

DORV_C_END
