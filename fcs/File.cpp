#include <cstring>
#include <stdexcept>

#include "common/le_bytes.h"
#include "dorv/image_editor.h"
#include "fcs/file_tree_internal.h"

namespace dorv::tree {

void adoptRecord(image_editor::IFile& node, const uint8_t* record, uint32_t length) {
    if (length < kRecordHeaderSize || record == nullptr) {
        throw std::invalid_argument("file record shorter than its 12-byte header");
    }
    node.record.assign(record, record + length);
    // The payload length always follows the record the node really holds,
    // whatever the caller's header said.
    le::store16(node.record.data() + 8, static_cast<uint16_t>(length - kRecordHeaderSize));
    node.header = reinterpret_cast<_cfg_file_entry_t*>(node.record.data());
}

image_editor::Directory* asDirectory(image_editor::IFile* node) {
    if (node == nullptr || !node->isDirectory()) return nullptr;
    return dynamic_cast<image_editor::Directory*>(node);
}

}  // namespace dorv::tree

namespace image_editor {

IFile::~IFile() = default;

std::string IFile::getFullPath() {
    const std::string_view own = dorv::tree::nameOf(this);
    if (parentPath.empty()) return std::string(own);
    std::string path;
    path.reserve(parentPath.size() + 1 + own.size());
    path.append(parentPath).append(1, '/').append(own);
    return path;
}

bool fileCompare(std::shared_ptr<IFile> a, std::shared_ptr<IFile> b) {
    // string_view compares its characters as unsigned bytes, and a proper
    // prefix sorts first: exactly the order the children are kept in.
    return dorv::tree::nameOf(a) < dorv::tree::nameOf(b);
}

File::File(const uint8_t* record, uint32_t length, const char* name) {
    if (name != nullptr) {
        // A name of 48 bytes or more fills the field with no terminator.
        std::memcpy(this->name, name, dorv::fcs::kept_name_length(name));
    }
    dorv::tree::adoptRecord(*this, record, length);
}

File::~File() = default;

bool File::isDirectory() { return false; }

uint32_t File::getSize() { return static_cast<uint32_t>(record.size()); }

bool File::addFile(const std::string&, std::shared_ptr<IFile>) { return false; }

bool File::deleteFile(const std::string&) { return false; }

bool File::getFile(const std::string&, std::shared_ptr<IFile>*) { return false; }

void File::serialize(std::vector<_cfg_file_entry_t>& entries, std::vector<uint8_t>& data) {
    using dorv::tree::kRecordHeaderSize;
    if (record.size() < kRecordHeaderSize) return;  // only a hand-emptied record
    uint8_t* bytes = record.data();
    dorv::le::store32(bytes + 4, static_cast<uint32_t>(data.size()));

    _cfg_file_entry_t entry{};
    entry.file_number = dorv::le::load32(bytes);
    entry.data_offset = dorv::le::load32(bytes + 4);
    entry.data_length = dorv::le::load16(bytes + 8);
    entry.flags = bytes[10];
    entry.reserved = bytes[11];
    entries.push_back(entry);

    // The header's length is public and could have been changed by hand:
    // never read past the record.
    std::size_t payload = entry.data_length;
    const std::size_t held = record.size() - kRecordHeaderSize;
    if (payload > held) payload = held;
    data.insert(data.end(), bytes + kRecordHeaderSize, bytes + kRecordHeaderSize + payload);
}

}  // namespace image_editor
