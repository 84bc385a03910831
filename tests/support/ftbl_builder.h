// Test-side builder of ftbl.bin buffers: header, SKU descriptors, the EFS
// layout section with its rows and file lists, and the SKUs' 68-byte entries,
// written byte by byte in little-endian order without any library code.
#ifndef DORV_TESTS_SUPPORT_FTBL_BUILDER_H
#define DORV_TESTS_SUPPORT_FTBL_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dorv::test {

struct FtblEntry {
    std::string name = {};  // the first 48 bytes are stored, NUL-padded
    uint32_t file_number = 0;
    uint16_t attributes = 0;
    uint16_t storage_index = 0;
    uint8_t storage_selector = 0;
    uint32_t max_data_size = 0;
};

struct EfsLayoutFile {
    uint16_t file_index = 0;
    uint16_t block = 0;
    uint16_t offset = 0;
    uint16_t max_size = 0;
};

// One row of the EFS layout section; the geometry defaults are the library's.
struct EfsLayoutRow {
    uint32_t sku_id = 0;
    uint32_t bm_num = 2;
    uint32_t valid_block_num = 7;
    uint32_t non_valid_block_num = 3;
    uint32_t files_num = 16;
    uint32_t wear_leveling_threshold = 100;
    uint32_t layout_id = 0;
    std::vector<EfsLayoutFile> files = {};
};

// Where build() puts each part, for tests that patch fields afterwards.
struct FtblLayout {
    uint32_t efs_section = 0;                 // the "EFST" header, at 16 * (SKUs + 1)
    std::vector<uint32_t> row_offsets;        // per EFS row, in add order
    std::vector<uint32_t> file_list_offsets;  // per EFS row
    std::vector<uint32_t> table_offsets;      // per SKU, in add order
    uint32_t size = 0;                        // size of the built buffer
};

class FtblBuilder {
public:
    FtblBuilder& add_sku(uint32_t sku_id, std::vector<FtblEntry> entries);
    FtblBuilder& add_efs_row(EfsLayoutRow row);
    // Leaves the EFS layout section out; its 16 header bytes stay zero.
    FtblBuilder& without_efs_section();
    // Smallest size of the buffer (default 1024); the content is never cut.
    FtblBuilder& min_size(size_t size);
    // Places the SKU tables last, so that the last entry ends the buffer.
    FtblBuilder& tables_at_end();

    FtblLayout layout() const;
    std::vector<uint8_t> build() const;

private:
    struct Sku {
        uint32_t id;
        std::vector<FtblEntry> entries;
    };
    std::vector<Sku> skus_;
    std::vector<EfsLayoutRow> rows_;
    bool efs_section_ = true;
    bool tables_at_end_ = false;
    size_t min_size_ = 1024;
};

void put_le16(std::vector<uint8_t>& buffer, size_t offset, uint16_t value);
void put_le32(std::vector<uint8_t>& buffer, size_t offset, uint32_t value);

// Sizes of the records, as the format lays them out.
constexpr uint32_t kFtblEntrySize = 68;
constexpr uint32_t kEfsRowSize = 40;
constexpr uint32_t kEfsFileEntrySize = 60;

}  // namespace dorv::test

#endif
