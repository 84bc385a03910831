// The EFS layout section of the file table: reads one SKU's row into the
// layout globals and builds the per-file layout array EFS_files.
#include <algorithm>
#include <cstdlib>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "efs/efs_layout.h"

namespace {

namespace le = dorv::le;

constexpr uint32_t kFtblMagic = 0x4C425446;  // "FTBL"
constexpr uint32_t kEfstMagic = 0x54534645;  // "EFST"
constexpr uint64_t kFtblHeaderSize = 16;
constexpr uint64_t kSectionHeaderSize = 16;
constexpr uint64_t kRowSize = 40;
constexpr uint64_t kFileEntrySize = 60;

// The BM header keeps B, V and S in one byte each, and the block maps keep
// physical data block numbers (below V + S) in one byte.
constexpr uint32_t kMaxBlockCount = 255;
constexpr uint32_t kMaxDataBlocks = 256;
// File indexes in the file lists are 16-bit, so no larger array can be used.
constexpr uint32_t kMaxFilesNum = 65536;

constexpr uint32_t kDefaultBmNum = 2;
constexpr uint32_t kDefaultValidBlockNum = 7;
constexpr uint32_t kDefaultNonValidBlockNum = 3;
constexpr uint32_t kDefaultFilesNum = 16;
constexpr uint32_t kDefaultWearLevelingThreshold = 100;

// Records in the EFS_files array.
uint32_t s_layout_record_count = 0;

struct LayoutRow {
    uint32_t file_list_offset;
    uint32_t file_list_count;
    uint32_t file_list_size;
    uint32_t bm_num;
    uint32_t valid_block_num;
    uint32_t non_valid_block_num;
    uint32_t files_num;
    uint32_t wear_leveling_threshold;
    uint32_t layout_id;
};

LayoutRow read_row(const uint8_t* row) {
    return LayoutRow{le::load32(row + 4),  le::load32(row + 8),  le::load32(row + 12),
                     le::load32(row + 16), le::load32(row + 20), le::load32(row + 24),
                     le::load32(row + 28), le::load32(row + 32), le::load32(row + 36)};
}

// Geometry that no EFS image can have is refused before anything is taken.
bool geometry_is_usable(const LayoutRow& row) {
    return row.bm_num <= kMaxBlockCount && row.valid_block_num <= kMaxBlockCount &&
           row.non_valid_block_num <= kMaxBlockCount &&
           row.valid_block_num + row.non_valid_block_num <= kMaxDataBlocks &&
           row.files_num <= kMaxFilesNum;
}

// The row of sku_id, null when the section has none, or *refused set when a
// row that has to be read does not lie in the buffer.
const uint8_t* find_row(const uint8_t* buffer, uint32_t buffer_size, uint64_t section,
                        uint32_t sku_id, bool* refused) {
    const uint32_t row_count = le::load32(buffer + section + 12);
    for (uint32_t i = 0; i < row_count; ++i) {
        const uint64_t at = section + kSectionHeaderSize + kRowSize * i;
        if (!le::fits(buffer_size, at, kRowSize)) {
            *refused = true;
            return nullptr;
        }
        if (le::load32(buffer + at) == sku_id) return buffer + at;
    }
    return nullptr;
}

// The file list must lie wholly in the buffer and name only existing records.
bool file_list_is_valid(const uint8_t* buffer, uint32_t buffer_size, const LayoutRow& row) {
    if (!le::fits(buffer_size, row.file_list_offset, kFileEntrySize * row.file_list_count)) {
        return false;
    }
    for (uint32_t j = 0; j < row.file_list_count; ++j) {
        const uint8_t* entry = buffer + row.file_list_offset + kFileEntrySize * j;
        if (le::load16(entry) >= row.files_num) return false;
    }
    return true;
}

void release_layout_records() {
    std::free(EFS_files);
    EFS_files = nullptr;
    s_layout_record_count = 0;
}

}  // namespace

DORV_C_BEGIN

uint32_t g_efs_bm_num = kDefaultBmNum;
uint32_t g_efs_valid_block_num = kDefaultValidBlockNum;
uint32_t g_efs_non_valid_block_num = kDefaultNonValidBlockNum;
uint32_t g_efs_files_num = kDefaultFilesNum;
uint32_t g_efs_wear_leveling_threshold = kDefaultWearLevelingThreshold;
uint8_t g_efs_layout_id = 0;
uint8_t g_efs_sku_id = 0;
uint8_t g_efs_autogen_data_loaded = 0;
efs_file_layout_t* EFS_files = nullptr;

DORV_C_END

namespace {

int load_row(const uint8_t* buffer, int sku_id, uint32_t buffer_size) {
    // A buffer shorter than its header cannot reach its section either.
    if (buffer == nullptr || buffer_size < kFtblHeaderSize) return 1;
    if (le::load32(buffer) != kFtblMagic) return 1;
    const uint64_t section = kFtblHeaderSize * (static_cast<uint64_t>(le::load32(buffer + 12)) + 1);
    if (buffer_size < section) return 1;
    // No room for the magic is no section at all.
    if (!le::fits(buffer_size, section, 4) || le::load32(buffer + section) != kEfstMagic) return 0;
    if (!le::fits(buffer_size, section, kSectionHeaderSize)) return 1;

    bool refused = false;
    const uint8_t* row_bytes =
        find_row(buffer, buffer_size, section, static_cast<uint32_t>(sku_id), &refused);
    if (refused) return 1;
    if (row_bytes == nullptr) return 0;

    const LayoutRow row = read_row(row_bytes);
    if (row.file_list_size > kFileEntrySize * row.file_list_count) return 1;
    if (!geometry_is_usable(row)) return 1;

    g_efs_bm_num = row.bm_num;
    g_efs_files_num = row.files_num;
    g_efs_valid_block_num = row.valid_block_num;
    g_efs_non_valid_block_num = row.non_valid_block_num;
    g_efs_wear_leveling_threshold = row.wear_leveling_threshold;
    g_efs_layout_id = static_cast<uint8_t>(row.layout_id);

    // From here a refused row leaves its geometry set and the earlier array,
    // SKU id and loaded flag in place; the file count becomes the array's, so
    // that the exported count never runs past the exported array. A list may
    // start at the very end of the buffer when it is empty.
    if (!file_list_is_valid(buffer, buffer_size, row)) {
        g_efs_files_num = s_layout_record_count;
        return 1;
    }

    // calloc gives the zero fill; one record at least, so that an empty
    // layout still has an array and a null pointer always means no memory.
    auto* records = static_cast<efs_file_layout_t*>(
        std::calloc(std::max<uint32_t>(row.files_num, 1), sizeof(efs_file_layout_t)));
    release_layout_records();
    EFS_files = records;
    if (records == nullptr) {
        g_efs_files_num = 0;
        g_efs_autogen_data_loaded = 0;
        return 12;
    }
    s_layout_record_count = row.files_num;

    for (uint32_t j = 0; j < row.file_list_count; ++j) {
        const uint8_t* entry = buffer + row.file_list_offset + kFileEntrySize * j;
        efs_file_layout_t& record = records[le::load16(entry)];
        record.first_block = static_cast<uint8_t>(le::load16(entry + 50));
        record.offset = le::load16(entry + 52);
        record.max_size = le::load16(entry + 54);
        record.flags = EFS_FILE_CONFIGURED;
        record.reserved[0] = 0;
        record.reserved[1] = 0;
    }

    g_efs_sku_id = static_cast<uint8_t>(sku_id);
    g_efs_autogen_data_loaded = 1;
    return 0;
}

}  // namespace

DORV_C_BEGIN

int load_autogen_data(const uint8_t* buffer, int sku_id, uint32_t buffer_size) {
    const int rc = load_row(buffer, sku_id, buffer_size);
    // A mount's tables are sized for the geometry and places it was made
    // for: a load that changes them unmounts.
    dorv::efs::unmount_if_layout_changed();
    return rc;
}

DORV_C_END

namespace dorv::efs {

void reset_layout() {
    release_layout_records();
    g_efs_bm_num = kDefaultBmNum;
    g_efs_valid_block_num = kDefaultValidBlockNum;
    g_efs_non_valid_block_num = kDefaultNonValidBlockNum;
    g_efs_files_num = kDefaultFilesNum;
    g_efs_wear_leveling_threshold = kDefaultWearLevelingThreshold;
    g_efs_layout_id = 0;
    g_efs_sku_id = 0;
    g_efs_autogen_data_loaded = 0;
}

uint32_t layout_record_count() { return s_layout_record_count; }

const efs_file_layout_t* layout_record(uint32_t file_index) {
    if (EFS_files == nullptr || file_index >= s_layout_record_count ||
        file_index >= g_efs_files_num) {
        return nullptr;
    }
    return &EFS_files[file_index];
}

}  // namespace dorv::efs
