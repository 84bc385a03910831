#include "support/ftbl_builder.h"

#include <algorithm>

namespace dorv::test {

namespace {

void put_name(std::vector<uint8_t>& buffer, size_t offset, const std::string& name) {
    for (size_t i = 0; i < 48 && i < name.size(); ++i) {
        buffer.at(offset + i) = static_cast<uint8_t>(name[i]);
    }
}

}  // namespace

void put_le16(std::vector<uint8_t>& buffer, size_t offset, uint16_t value) {
    buffer.at(offset) = static_cast<uint8_t>(value);
    buffer.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void put_le32(std::vector<uint8_t>& buffer, size_t offset, uint32_t value) {
    put_le16(buffer, offset, static_cast<uint16_t>(value));
    put_le16(buffer, offset + 2, static_cast<uint16_t>(value >> 16));
}

FtblBuilder& FtblBuilder::add_sku(uint32_t sku_id, std::vector<FtblEntry> entries) {
    skus_.push_back({sku_id, std::move(entries)});
    return *this;
}

FtblBuilder& FtblBuilder::add_efs_row(EfsLayoutRow row) {
    rows_.push_back(std::move(row));
    return *this;
}

FtblBuilder& FtblBuilder::without_efs_section() {
    efs_section_ = false;
    return *this;
}

FtblBuilder& FtblBuilder::min_size(size_t size) {
    min_size_ = size;
    return *this;
}

FtblBuilder& FtblBuilder::tables_at_end() {
    tables_at_end_ = true;
    return *this;
}

// Header, descriptors, EFS section header, rows, file lists, then the tables.
FtblLayout FtblBuilder::layout() const {
    FtblLayout out;
    out.efs_section = static_cast<uint32_t>(16 * (skus_.size() + 1));
    uint32_t at = out.efs_section + 16;
    for (size_t i = 0; i < rows_.size(); ++i) {
        out.row_offsets.push_back(at);
        at += kEfsRowSize;
    }
    for (const EfsLayoutRow& row : rows_) {
        out.file_list_offsets.push_back(at);
        at += static_cast<uint32_t>(kEfsFileEntrySize * row.files.size());
    }
    uint32_t tables = 0;
    for (const Sku& sku : skus_) {
        tables += static_cast<uint32_t>(kFtblEntrySize * sku.entries.size());
    }
    out.size = static_cast<uint32_t>(std::max<size_t>(min_size_, at + tables));
    if (tables_at_end_) at = out.size - tables;
    for (const Sku& sku : skus_) {
        out.table_offsets.push_back(at);
        at += static_cast<uint32_t>(kFtblEntrySize * sku.entries.size());
    }
    return out;
}

std::vector<uint8_t> FtblBuilder::build() const {
    const FtblLayout at = layout();
    std::vector<uint8_t> buffer(at.size, 0);

    put_le32(buffer, 0, 0x4C425446);  // "FTBL"
    put_le32(buffer, 12, static_cast<uint32_t>(skus_.size()));
    for (size_t i = 0; i < skus_.size(); ++i) {
        const size_t descriptor = 16 + 16 * i;
        put_le32(buffer, descriptor, skus_[i].id);
        put_le32(buffer, descriptor + 4, at.table_offsets[i]);
        put_le32(buffer, descriptor + 8, static_cast<uint32_t>(skus_[i].entries.size()));
        for (size_t j = 0; j < skus_[i].entries.size(); ++j) {
            const FtblEntry& entry = skus_[i].entries[j];
            const size_t e = at.table_offsets[i] + kFtblEntrySize * j;
            put_name(buffer, e, entry.name);
            put_le32(buffer, e + 48, entry.file_number);
            put_le16(buffer, e + 52, entry.attributes);
            put_le16(buffer, e + 58, entry.storage_index);
            buffer.at(e + 63) = entry.storage_selector;
            put_le32(buffer, e + 64, entry.max_data_size);
        }
    }

    if (!efs_section_) return buffer;
    put_le32(buffer, at.efs_section, 0x54534645);  // "EFST"
    put_le32(buffer, at.efs_section + 12, static_cast<uint32_t>(rows_.size()));
    for (size_t i = 0; i < rows_.size(); ++i) {
        const EfsLayoutRow& row = rows_[i];
        const size_t r = at.row_offsets[i];
        const auto count = static_cast<uint32_t>(row.files.size());
        put_le32(buffer, r, row.sku_id);
        put_le32(buffer, r + 4, at.file_list_offsets[i]);
        put_le32(buffer, r + 8, count);
        put_le32(buffer, r + 12, kEfsFileEntrySize * count);
        put_le32(buffer, r + 16, row.bm_num);
        put_le32(buffer, r + 20, row.valid_block_num);
        put_le32(buffer, r + 24, row.non_valid_block_num);
        put_le32(buffer, r + 28, row.files_num);
        put_le32(buffer, r + 32, row.wear_leveling_threshold);
        put_le32(buffer, r + 36, row.layout_id);
        for (size_t j = 0; j < row.files.size(); ++j) {
            const EfsLayoutFile& file = row.files[j];
            const size_t f = at.file_list_offsets[i] + kEfsFileEntrySize * j;
            put_le16(buffer, f, file.file_index);
            put_le16(buffer, f + 50, file.block);
            put_le16(buffer, f + 52, file.offset);
            put_le16(buffer, f + 54, file.max_size);
        }
    }
    return buffer;
}

}  // namespace dorv::test
