// ---------------------------------------------------------------------------
// The ftbl.bin file table: selects one SKU's table inside the caller's buffer
// (no copy: the selection points into that buffer) and answers lookups.
// ---------------------------------------------------------------------------
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "dorv/fcs.h"
#include "dorv/file_table.h"
#include "dorv/image_editor.h"
#include "fcs/fcs_internal.h"
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
    const std::size_t n = name_match_length(name);
    for (int32_t i = 0; i < count; ++i) {
        const file_table_entry_t* entry = g_table_buf + i;
        if (name_field_matches(entry->name, name, n)) return entry;
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

// ---------------------------------------------------------------------------
// FCS handle API: a configuration table opened from an FCS buffer into a flat
// file tree behind a handle, edited there and written back into a new buffer.
//
// Buffer layout (little-endian): uint32 entry count N, N 12-byte record
// headers, then the payloads. Files are known by number only; their names come
// from the selected file table. No exception leaves these functions: anything
// thrown below them (in practice only allocation failures) answers
// FCS_OUT_OF_MEMORY.
// ---------------------------------------------------------------------------

struct fcs_handle_t {
    std::shared_ptr<image_editor::Directory> root;
    std::shared_ptr<image_editor::FileIterator> iterator;
};

namespace dorv::fcs {
namespace {

constexpr uint32_t kCountSize = 4;
constexpr uint32_t kRecordHeaderSize = sizeof(_cfg_file_entry_t);
constexpr uint32_t kMaxRecordLength = 0xFFFF;  // record lengths travel as uint16

// Offsets inside a record header.
constexpr std::size_t kOffsetField = 4;
constexpr std::size_t kLengthField = 8;

// Runs a body that may throw and turns anything thrown into FCS_OUT_OF_MEMORY.
template <typename Body>
fcs_status_t guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return FCS_OUT_OF_MEMORY;
    }
}

std::shared_ptr<image_editor::IFile> find_child(const fcs_handle_t& handle, const char* name) {
    std::shared_ptr<image_editor::IFile> node;
    if (!handle.root->getFile(name, &node)) return nullptr;
    return node;
}

// After every change to the tree the listing starts again from the first file.
// The change is made by then and must not be reported as failed, so if the
// restart itself runs out of memory the listing is left without a position:
// getNextFile answers FCS_NO_MORE_FILES until getFirstFileInRoot restarts it.
void restart_listing(fcs_handle_t& handle) noexcept {
    try {
        (void)handle.iterator->firstFile();
    } catch (...) {
        handle.iterator->current = nullptr;
    }
}

fcs_status_t copy_listed_name(const std::string& name, char* out) {
    if (name.empty()) return FCS_NO_MORE_FILES;
    std::memcpy(out, name.c_str(), name.size() + 1);
    return FCS_OK;
}

fcs_status_t load_records(fcs_handle_t* handle, const uint8_t* buffer, uint32_t size) {
    if (size < kCountSize) return FCS_INVALID_BUFFER;
    const uint32_t count = le::load32(buffer);
    if (!le::fits(size, kCountSize, uint64_t{count} * kRecordHeaderSize)) return FCS_INVALID_BUFFER;

    std::vector<uint8_t> record;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* header = buffer + kCountSize + std::size_t{i} * kRecordHeaderSize;
        const uint32_t offset = le::load32(header + kOffsetField);
        const uint16_t length = le::load16(header + kLengthField);
        // The payload range is checked even for records that are skipped below.
        if (length != 0 && !le::fits(size, offset, length)) return FCS_INVALID_BUFFER;

        const file_table_entry_t* entry = find_entry_by_number(le::load32(header));
        if (entry == nullptr) continue;
        const uint32_t record_length = kRecordHeaderSize + length;
        if (record_length > kMaxRecordLength) return FCS_INVALID_BUFFER;

        record.assign(header, header + kRecordHeaderSize);
        if (length != 0) record.insert(record.end(), buffer + offset, buffer + offset + length);
        const std::string name(name_field_view(entry->name));
        const fcs_status_t status = addNewFile(handle, "", name.c_str(), record.data(),
                                               static_cast<uint16_t>(record_length), false);
        if (status == FCS_OUT_OF_MEMORY) return FCS_OUT_OF_MEMORY;
        if (status != FCS_OK) return FCS_INVALID_BUFFER;
    }
    return FCS_OK;
}

fcs_status_t add_file(fcs_handle_t& handle, const char* name, uint8_t* record, uint16_t length,
                      bool size_check) {
    uint32_t number = le::load32(record);
    if (number == 0) {
        const file_table_entry_t* named = find_entry_by_name(name);
        if (named == nullptr) return FCS_NAME_NOT_IN_TABLE;
        number = entry_file_number(named);
        le::store32(record, number);  // the caller's record keeps the number
    }
    const file_table_entry_t* entry = find_entry_by_number(number);
    if (entry == nullptr) return FCS_FILE_NOT_IN_TABLE;
    if (size_check && uint64_t{length} > uint64_t{entry_max_data_size(entry)} + kRecordHeaderSize) {
        return FCS_FILE_TOO_LARGE;
    }
    // A node keeps at most 48 bytes of its name, so two longer names that
    // share those bytes would become two nodes of one name: a table that
    // flushes but can never be opened again. Test the name as it is kept.
    const std::string kept(name, kept_name_length(name));
    if (find_child(handle, kept.c_str()) != nullptr) return FCS_FILE_EXISTS;

    auto node = std::make_shared<image_editor::File>(record, length, name);
    if (!handle.root->addFile(name, std::move(node))) return FCS_OPERATION_FAILED;
    restart_listing(handle);
    return FCS_OK;
}

fcs_status_t get_file_data(const fcs_handle_t& handle, const char* name, uint8_t* out,
                           uint32_t* length) {
    const auto node = find_child(handle, name);
    if (node == nullptr) return FCS_OPERATION_FAILED;
    const auto needed = static_cast<uint32_t>(node->record.size());
    if (*length < needed) {
        *length = needed;
        return FCS_BUFFER_TOO_SMALL;
    }
    if (needed != 0) std::memcpy(out, node->record.data(), needed);
    *length = needed;
    return FCS_OK;
}

fcs_status_t get_file_attributes(const fcs_handle_t& handle, const char* name,
                                 fcs_file_info_t* info) {
    const auto node = find_child(handle, name);
    if (node == nullptr) return FCS_OPERATION_FAILED;
    if (node->record.size() < kRecordHeaderSize) return FCS_FILE_NOT_IN_TABLE;
    std::memcpy(&info->header, node->record.data(), kRecordHeaderSize);
    const file_table_entry_t* entry = find_entry_by_name(name);
    if (entry == nullptr) return FCS_FILE_NOT_IN_TABLE;
    info->attributes = entry_attributes(entry);
    info->max_data_size = entry_max_data_size(entry);
    return FCS_OK;
}

fcs_status_t flush_tree(const fcs_handle_t& handle, uint32_t* out, uint32_t* size) {
    std::vector<_cfg_file_entry_t> entries;
    std::vector<uint8_t> data;
    handle.root->serialize(entries, data);

    uint32_t needed = 0;
    if (!flushed_size(entries.size(), data.size(), &needed)) return FCS_OUT_OF_MEMORY;
    if (*size < needed) {
        *size = needed;
        return FCS_BUFFER_TOO_SMALL;
    }
    if (out == nullptr) return FCS_INVALID_ARGUMENT;

    // flushed_size bounds every offset below by `needed`, so none of them wraps.
    auto* bytes = reinterpret_cast<uint8_t*>(out);
    const auto count = static_cast<uint32_t>(entries.size());
    const uint32_t data_start = kCountSize + count * kRecordHeaderSize;
    le::store32(bytes, count);
    uint8_t* header = bytes + kCountSize;
    for (const _cfg_file_entry_t& entry : entries) {
        // The tree's entries carry the record header bytes as stored; only the
        // offset changes, from the data area's start to the buffer's.
        std::memcpy(header, &entry, kRecordHeaderSize);
        le::store32(header + kOffsetField, le::load32(header + kOffsetField) + data_start);
        header += kRecordHeaderSize;
    }
    if (!data.empty()) std::memcpy(bytes + data_start, data.data(), data.size());
    *size = needed;
    return FCS_OK;
}

}  // namespace

fcs_status_t load_buffer(fcs_handle_t* handle, const uint8_t* buffer, uint32_t size) noexcept {
    if (handle == nullptr || buffer == nullptr) return FCS_INVALID_BUFFER;
    return guarded([&] { return load_records(handle, buffer, size); });
}

bool flushed_size(uint64_t entries, uint64_t data_bytes, uint32_t* needed) {
    // Payloads in a loaded buffer may overlap, so the data a tree holds is not
    // bounded by the buffer it came from; the sum must not wrap.
    constexpr uint64_t kLimit = UINT32_MAX;
    if (entries > (kLimit - kCountSize) / kRecordHeaderSize) return false;
    const uint64_t fixed = kCountSize + entries * kRecordHeaderSize;
    if (data_bytes > kLimit - fixed) return false;
    *needed = static_cast<uint32_t>(fixed + data_bytes);
    return true;
}

}  // namespace dorv::fcs

using dorv::fcs::guarded;

DORV_C_BEGIN

fcs_status_t createHandle(fcs_handle_t** slot) {
    if (slot == nullptr) return FCS_INVALID_ARGUMENT;
    auto* handle = new (std::nothrow) fcs_handle_t;
    if (handle == nullptr) return FCS_OUT_OF_MEMORY;
    *slot = handle;  // the slot holds the handle before the tree exists
    try {
        handle->root = std::make_shared<image_editor::Directory>();
        handle->iterator = std::make_shared<image_editor::FileIterator>(handle->root);
    } catch (...) {
        delete handle;
        *slot = nullptr;
        return FCS_OUT_OF_MEMORY;
    }
    return FCS_OK;
}

fcs_status_t closeHandle(fcs_handle_t** slot) {
    if (slot == nullptr) return FCS_INVALID_ARGUMENT;
    fcs_handle_t* handle = *slot;
    if (handle == nullptr) return FCS_INVALID_HANDLE;
    handle->iterator.reset();
    handle->root.reset();
    delete handle;
    *slot = nullptr;
    return FCS_OK;
}

fcs_status_t createHandleFromStructure(fcs_handle_t** slot, const uint8_t* buffer, uint32_t size) {
    if (slot == nullptr || buffer == nullptr) return FCS_INVALID_ARGUMENT;
    const fcs_status_t created = createHandle(slot);
    if (created != FCS_OK) return created;
    const fcs_status_t loaded = dorv::fcs::load_buffer(*slot, buffer, size);
    if (loaded == FCS_OK) return FCS_OK;
    closeHandle(slot);
    return loaded == FCS_OUT_OF_MEMORY ? FCS_OUT_OF_MEMORY : FCS_INVALID_BUFFER;
}

bool loadDataFromFcsBuffer(fcs_handle_t* handle, const uint8_t* buffer, uint32_t size) {
    return dorv::fcs::load_buffer(handle, buffer, size) == FCS_OK;
}

fcs_status_t addNewFile(fcs_handle_t* handle, const char* path, const char* name, uint8_t* record,
                        uint16_t length, bool size_check) {
    if (handle == nullptr) return FCS_INVALID_HANDLE;
    if (length < sizeof(_cfg_file_entry_t)) return FCS_BUFFER_TOO_SMALL;
    // The path is required but not used: every file goes directly under the root.
    if (record == nullptr || path == nullptr || name == nullptr) return FCS_INVALID_ARGUMENT;
    return guarded([&] { return dorv::fcs::add_file(*handle, name, record, length, size_check); });
}

fcs_status_t deleteFile(fcs_handle_t* handle, const char* name) {
    if (handle == nullptr) return FCS_INVALID_HANDLE;
    if (name == nullptr) return FCS_INVALID_ARGUMENT;
    return guarded([&] {
        if (!handle->root->deleteFile(name)) return FCS_OPERATION_FAILED;
        dorv::fcs::restart_listing(*handle);
        return FCS_OK;
    });
}

fcs_status_t getFirstFileInRoot(fcs_handle_t* handle, char* out) {
    if (handle == nullptr) return FCS_INVALID_HANDLE;
    if (out == nullptr) return FCS_INVALID_ARGUMENT;
    return guarded([&] { return dorv::fcs::copy_listed_name(handle->iterator->firstFile(), out); });
}

fcs_status_t getNextFile(fcs_handle_t* handle, char* out) {
    if (handle == nullptr) return FCS_INVALID_HANDLE;
    if (out == nullptr) return FCS_INVALID_ARGUMENT;
    // Without a place to stand (never listed, empty tree) the iterator answers
    // an empty name, which is the end of the listing.
    return guarded([&] { return dorv::fcs::copy_listed_name(handle->iterator->nextFile(), out); });
}

fcs_status_t getFileData(fcs_handle_t* handle, const char* name, uint8_t* out, uint32_t* length) {
    if (handle == nullptr) return FCS_INVALID_HANDLE;
    if (out == nullptr || length == nullptr || name == nullptr) return FCS_INVALID_ARGUMENT;
    return guarded([&] { return dorv::fcs::get_file_data(*handle, name, out, length); });
}

fcs_status_t getFileAttributes(fcs_handle_t* handle, const char* name, fcs_file_info_t* info) {
    if (handle == nullptr) return FCS_INVALID_HANDLE;
    if (info == nullptr || name == nullptr) return FCS_INVALID_ARGUMENT;
    return guarded([&] { return dorv::fcs::get_file_attributes(*handle, name, info); });
}

fcs_status_t flush(fcs_handle_t* handle, uint32_t* out, uint32_t* size) {
    if (handle == nullptr) return FCS_INVALID_HANDLE;
    if (size == nullptr) return FCS_INVALID_ARGUMENT;
    return guarded([&] { return dorv::fcs::flush_tree(*handle, out, size); });
}

DORV_C_END
