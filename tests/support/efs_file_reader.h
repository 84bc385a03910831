// Reads whole EFS files through the library's file operations, for tests
// that compare them with what they expect. No gtest here.
#ifndef DORV_TESTS_SUPPORT_EFS_FILE_READER_H
#define DORV_TESTS_SUPPORT_EFS_FILE_READER_H

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace dorv::test {

// Contents of the files of a layout by index; nullopt is an empty file.
using EfsContents = std::map<uint32_t, std::optional<std::vector<uint8_t>>>;

struct EfsFileRead {
    int rc = 0;  // 0, or the first failing call's status (2 for an empty file)
    std::optional<std::vector<uint8_t>> data;
};

// Sizes the file, then reads it asking for more bytes than it holds (the
// read must stop at its length); the size query and the read must agree.
EfsFileRead efs_read_whole(uint32_t file_index);

}  // namespace dorv::test

#endif
