// Builders for file-tree tests: records, file nodes and named directories.
#ifndef DORV_TESTS_SUPPORT_FILE_TREE_BUILDERS_H
#define DORV_TESTS_SUPPORT_FILE_TREE_BUILDERS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dorv/image_editor.h"

namespace dorv::test {

// Writes a 12-byte record header (little-endian) at `at` of `out`.
void putRecordHeader(std::vector<uint8_t>& out, std::size_t at, uint32_t file_number,
                     uint32_t data_offset, uint16_t data_length, uint8_t flags, uint8_t reserved);

// A 12-byte header followed by `payload`. The header's data_length is
// `claimed_length`, so tests can show that nodes rewrite it.
std::vector<uint8_t> makeRecord(uint32_t file_number, const std::vector<uint8_t>& payload,
                                uint8_t flags = 0, uint8_t reserved = 0,
                                uint16_t claimed_length = 0xBEEF,
                                uint32_t data_offset = 0xA5A5A5A5u);

// A file node whose payload is `payload` (default: the name's bytes).
std::shared_ptr<image_editor::File> makeFile(const std::string& name, uint32_t file_number = 1);
std::shared_ptr<image_editor::File> makeFile(const std::string& name,
                                             const std::vector<uint8_t>& payload,
                                             uint32_t file_number = 1);

// A directory; a name is set by hand, as no operation of the tree names one.
std::shared_ptr<image_editor::Directory> makeDir(const std::string& name = "");

// Adds each node to `dir` in the given order and links its parent.
void addLinked(image_editor::Directory& dir,
               std::initializer_list<std::shared_ptr<image_editor::IFile>> nodes);

}  // namespace dorv::test

#endif
