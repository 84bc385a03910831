// Helpers shared by the file tree's node classes and its iterator; not part
// of the exported interface.
#ifndef DORV_FCS_FILE_TREE_INTERNAL_H
#define DORV_FCS_FILE_TREE_INTERNAL_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>

#include "dorv/image_editor.h"
#include "fcs/file_table_internal.h"

namespace dorv::tree {

// Bytes of a record header in front of the payload.
constexpr uint32_t kRecordHeaderSize = 12;

// Gives a node its own copy of a record and points `header` at it; the copy's
// data_length becomes length - 12, cut to 16 bits. Throws std::invalid_argument
// for a record shorter than its header, which no node may hold.
void adoptRecord(image_editor::IFile& node, const uint8_t* record, uint32_t length);

// The node as a Directory, when it says it is one and really is one.
image_editor::Directory* asDirectory(image_editor::IFile* node);

// Node names are read and kept by the file table's 48-byte name helpers.
static_assert(image_editor::IFile::kNameSize == FILE_TABLE_NAME_SIZE);

// A node's name for ordering; a null node reads as an empty name.
inline std::string_view nameOf(const image_editor::IFile* node) {
    return node != nullptr ? dorv::fcs::name_field_view(node->name) : std::string_view();
}

inline std::string_view nameOf(const std::shared_ptr<image_editor::IFile>& node) {
    return nameOf(node.get());
}

// The first child whose name does not sort before `name`, in children kept in
// name order: where a run of equal names begins.
template <class Children>
auto firstNotBefore(Children& children, std::string_view name) {
    return std::lower_bound(children.begin(), children.end(), name,
                            [](const std::shared_ptr<image_editor::IFile>& child,
                               std::string_view key) { return nameOf(child) < key; });
}

}  // namespace dorv::tree

#endif
