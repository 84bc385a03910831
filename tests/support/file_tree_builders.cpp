#include "support/file_tree_builders.h"

#include <algorithm>
#include <stdexcept>

#include "common/le_bytes.h"

namespace dorv::test {

void putRecordHeader(std::vector<uint8_t>& out, std::size_t at, uint32_t file_number,
                     uint32_t data_offset, uint16_t data_length, uint8_t flags, uint8_t reserved) {
    if (at > out.size() || out.size() - at < 12) throw std::out_of_range("no room for a header");
    uint8_t* header = out.data() + at;
    le::store32(header, file_number);
    le::store32(header + 4, data_offset);
    le::store16(header + 8, data_length);
    header[10] = flags;
    header[11] = reserved;
}

std::vector<uint8_t> makeRecord(uint32_t file_number, const std::vector<uint8_t>& payload,
                                uint8_t flags, uint8_t reserved, uint16_t claimed_length,
                                uint32_t data_offset) {
    std::vector<uint8_t> record(12 + payload.size());
    putRecordHeader(record, 0, file_number, data_offset, claimed_length, flags, reserved);
    std::copy(payload.begin(), payload.end(), record.begin() + 12);
    return record;
}

std::shared_ptr<image_editor::File> makeFile(const std::string& name, uint32_t file_number) {
    return makeFile(name, std::vector<uint8_t>(name.begin(), name.end()), file_number);
}

std::shared_ptr<image_editor::File> makeFile(const std::string& name,
                                             const std::vector<uint8_t>& payload,
                                             uint32_t file_number) {
    const std::vector<uint8_t> record = makeRecord(file_number, payload);
    return std::make_shared<image_editor::File>(record.data(),
                                                static_cast<uint32_t>(record.size()), name.c_str());
}

std::shared_ptr<image_editor::Directory> makeDir(const std::string& name) {
    auto dir = std::make_shared<image_editor::Directory>();
    if (name.size() > image_editor::IFile::kNameSize) throw std::invalid_argument("name too long");
    std::copy(name.begin(), name.end(), dir->name);
    return dir;
}

void addLinked(image_editor::Directory& dir,
               std::initializer_list<std::shared_ptr<image_editor::IFile>> nodes) {
    for (const auto& node : nodes) {
        node->parent = &dir;
        if (!dir.addFile("", node)) throw std::logic_error("addFile refused a node");
    }
}

}  // namespace dorv::test
