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

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/le_bytes.h"
#include "dorv/fcs.h"
#include "dorv/image_editor.h"
#include "fcs/fcs_internal.h"
#include "fcs/file_table_internal.h"

struct fcs_handle_t {
    std::shared_ptr<image_editor::Directory> root;
    std::shared_ptr<image_editor::FileIterator> iterator;
};

namespace dorv::fcs {
namespace {

constexpr uint32_t kCountSize = 4;
constexpr uint32_t kHeaderSize = sizeof(_cfg_file_entry_t);
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

// A 48-byte name field of the file table, up to its terminator. A name that
// fills the field has none, so the field is never read past its end.
std::string table_name(const char* field) {
    const void* nul = std::memchr(field, '\0', FILE_TABLE_NAME_SIZE);
    const std::size_t length = nul == nullptr ? std::size_t{FILE_TABLE_NAME_SIZE}
                                              : static_cast<std::size_t>(
                                                    static_cast<const char*>(nul) - field);
    return std::string(field, length);
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

// True when the iterator stands on a child of a directory, so that it can step on.
bool listing_has_position(const image_editor::FileIterator& iterator) {
    return iterator.current != nullptr && iterator.index >= 0 &&
           static_cast<std::size_t>(iterator.index) < iterator.current->children.size();
}

fcs_status_t copy_listed_name(const std::string& name, char* out) {
    if (name.empty()) return FCS_NO_MORE_FILES;
    std::memcpy(out, name.c_str(), name.size() + 1);
    return FCS_OK;
}

fcs_status_t load_records(fcs_handle_t* handle, const uint8_t* buffer, uint32_t size) {
    if (size < kCountSize) return FCS_INVALID_BUFFER;
    const uint32_t count = le::load32(buffer);
    if (!le::fits(size, kCountSize, uint64_t{count} * kHeaderSize)) return FCS_INVALID_BUFFER;

    std::vector<uint8_t> record;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* header = buffer + kCountSize + std::size_t{i} * kHeaderSize;
        const uint32_t offset = le::load32(header + kOffsetField);
        const uint16_t length = le::load16(header + kLengthField);
        // The payload range is checked even for records that are skipped below.
        if (length != 0 && !le::fits(size, offset, length)) return FCS_INVALID_BUFFER;

        const file_table_entry_t* entry = find_entry_by_number(le::load32(header));
        if (entry == nullptr) continue;
        const uint32_t record_length = kHeaderSize + length;
        if (record_length > kMaxRecordLength) return FCS_INVALID_BUFFER;

        record.assign(header, header + kHeaderSize);
        if (length != 0) record.insert(record.end(), buffer + offset, buffer + offset + length);
        const std::string name = table_name(entry->name);
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
    if (size_check && uint64_t{length} > uint64_t{entry_max_data_size(entry)} + kHeaderSize) {
        return FCS_FILE_TOO_LARGE;
    }
    if (find_child(handle, name) != nullptr) return FCS_FILE_EXISTS;

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
    if (node->record.size() < kHeaderSize) return FCS_FILE_NOT_IN_TABLE;
    std::memcpy(&info->header, node->record.data(), kHeaderSize);
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
    const uint32_t data_start = kCountSize + count * kHeaderSize;
    le::store32(bytes, count);
    uint8_t* header = bytes + kCountSize;
    for (const _cfg_file_entry_t& entry : entries) {
        // The tree's entries carry the record header bytes as stored; only the
        // offset changes, from the data area's start to the buffer's.
        std::memcpy(header, &entry, kHeaderSize);
        le::store32(header + kOffsetField, le::load32(header + kOffsetField) + data_start);
        header += kHeaderSize;
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
    if (entries > (kLimit - kCountSize) / kHeaderSize) return false;
    const uint64_t fixed = kCountSize + entries * kHeaderSize;
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

fcs_status_t createHandleFromStructure(fcs_handle_t** slot, const uint8_t* buffer,
                                       uint32_t size) {
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
    // Without a started walk (empty tree, or never listed) there is nothing to step on.
    if (!dorv::fcs::listing_has_position(*handle->iterator)) return FCS_NO_MORE_FILES;
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
