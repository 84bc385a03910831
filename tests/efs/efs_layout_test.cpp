#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "dorv/efs.h"
#include "dorv/file_table.h"
#include "efs/efs_layout.h"
#include "support/file_table_state.h"
#include "support/ftbl_builder.h"

namespace {

using dorv::efs::layout_record;
using dorv::efs::layout_record_count;
using dorv::test::EfsLayoutRow;
using dorv::test::FtblBuilder;
using dorv::test::put_le32;
using Record = std::array<uint8_t, 8>;

// The 8 bytes an EFS_files record should hold.
Record record(uint8_t block, uint16_t offset, uint16_t max_size, uint8_t flags = 1) {
    return {block,
            static_cast<uint8_t>(offset),
            static_cast<uint8_t>(offset >> 8),
            static_cast<uint8_t>(max_size),
            static_cast<uint8_t>(max_size >> 8),
            flags,
            0,
            0};
}

Record stored(uint32_t index) {
    Record out{};
    std::memcpy(out.data(), &EFS_files[index], sizeof out);
    return out;
}

struct Geometry {
    uint32_t bm, valid, spare, files, threshold;
    uint8_t layout_id, sku_id, loaded;
    bool operator==(const Geometry&) const = default;
};

Geometry geometry() {
    return {g_efs_bm_num,        g_efs_valid_block_num, g_efs_non_valid_block_num,
            g_efs_files_num,     g_efs_wear_leveling_threshold, g_efs_layout_id,
            g_efs_sku_id,        g_efs_autogen_data_loaded};
}

const Geometry kDefaults{2, 7, 3, 16, 100, 0, 0, 0};

// A copy of exactly `size` bytes, so that the sanitizers see any read past it.
std::vector<uint8_t> first_bytes(const std::vector<uint8_t>& buffer, size_t size) {
    return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size)};
}

class EfsLayout : public dorv::test::FileTableStateTest {
protected:
    static int load(const std::vector<uint8_t>& buffer, int sku) {
        return load_autogen_data(buffer.data(), sku, static_cast<uint32_t>(buffer.size()));
    }
    // Loads a small layout for SKU 1 so that later refusals can show that
    // they kept it.
    void load_earlier_layout() {
        earlier_ = FtblBuilder()
                       .add_efs_row({.sku_id = 1, .files_num = 2, .files = {{1, 4, 8, 16}}})
                       .build();
        ASSERT_EQ(load(earlier_, 1), 0);
        earlier_records_ = EFS_files;
    }
    std::vector<uint8_t> earlier_;
    efs_file_layout_t* earlier_records_ = nullptr;
};

TEST_F(EfsLayout, SmokeLoadsTheSkuRowIntoTheGlobalsAndRecords) {
    const auto buffer = FtblBuilder()
                            .add_sku(0x101, {{"/home/a", 1}})
                            .add_efs_row({.sku_id = 0x7, .bm_num = 9})
                            .add_efs_row({.sku_id = 0x101,
                                          .bm_num = 3,
                                          .valid_block_num = 20,
                                          .non_valid_block_num = 5,
                                          .files_num = 4,
                                          .wear_leveling_threshold = 50,
                                          .layout_id = 0x1A2,
                                          .files = {{0, 0x0102, 16, 100}, {2, 3, 4072, 0x1234}}})
                            .build();
    ASSERT_EQ(load_file_table(buffer.data(), 0x101, static_cast<uint32_t>(buffer.size())), 0);
    EXPECT_EQ(geometry(), (Geometry{3, 20, 5, 4, 50, 0xA2, 0x01, 1}));
    ASSERT_NE(EFS_files, nullptr);
    ASSERT_EQ(layout_record_count(), 4u);
    EXPECT_EQ(stored(0), record(0x02, 16, 100));  // low byte of the block
    EXPECT_EQ(stored(1), record(0, 0, 0, 0));
    EXPECT_EQ(stored(2), record(3, 4072, 0x1234));
    EXPECT_EQ(stored(3), record(0, 0, 0, 0));
    EXPECT_EQ(layout_record(2), &EFS_files[2]);
    EXPECT_EQ(layout_record(4), nullptr);
}

TEST_F(EfsLayout, NoSectionNoRowsOrNoRowForTheSkuChangeNothing) {
    EXPECT_EQ(geometry(), kDefaults);
    EXPECT_EQ(EFS_files, nullptr);

    const auto no_section =
        FtblBuilder().add_sku(1, {{"/home/a", 1}}).without_efs_section().build();
    EXPECT_EQ(load_file_table(no_section.data(), 1, static_cast<uint32_t>(no_section.size())), 0);
    EXPECT_NE(g_table_buf, nullptr);
    EXPECT_EQ(geometry(), kDefaults);
    EXPECT_EQ(load(FtblBuilder().build(), 1), 0);  // a section with no rows

    load_earlier_layout();
    const Geometry loaded = geometry();
    EXPECT_EQ(load(no_section, 1), 0);
    EXPECT_EQ(load(FtblBuilder().add_efs_row({.sku_id = 2, .bm_num = 4}).build(), 1), 0);
    EXPECT_EQ(geometry(), loaded);
    EXPECT_EQ(EFS_files, earlier_records_);
}

TEST_F(EfsLayout, TheFirstRowForTheFullSkuIdWins) {
    const auto buffer = FtblBuilder()
                            .add_efs_row({.sku_id = 0x101, .bm_num = 3})
                            .add_efs_row({.sku_id = 0x101, .bm_num = 4})
                            .add_efs_row({.sku_id = 0x001, .bm_num = 5})
                            .build();
    ASSERT_EQ(load(buffer, 0x101), 0);
    EXPECT_EQ(g_efs_bm_num, 3u);
    EXPECT_EQ(g_efs_sku_id, 0x01);
    ASSERT_EQ(load(buffer, 0x001), 0);
    EXPECT_EQ(g_efs_bm_num, 5u);
    ASSERT_EQ(load(buffer, 0x201), 0);  // same low byte, another SKU
    EXPECT_EQ(g_efs_bm_num, 5u);
}

TEST_F(EfsLayout, HeaderMagicAndSectionBoundsAreChecked) {
    const auto buffer = FtblBuilder().add_sku(1, {}).add_efs_row({.sku_id = 1}).build();
    const uint32_t section = 32;

    auto no_magic = buffer;
    no_magic[0] = 'X';
    EXPECT_EQ(load(no_magic, 1), 1);
    EXPECT_EQ(load_autogen_data(nullptr, 1, 1024), 1);
    for (size_t size : {0, 4, 15, 31}) EXPECT_EQ(load(first_bytes(buffer, size), 1), 1) << size;
    auto many_skus = buffer;
    put_le32(many_skus, 12, 0xFFFFFFFFu);  // 16 x (N + 1) needs 64 bits
    EXPECT_EQ(load(many_skus, 1), 1);
    EXPECT_EQ(geometry(), kDefaults);

    // A section that starts at or within 4 bytes of the end is no section.
    EXPECT_EQ(load(first_bytes(buffer, section), 1), 0);
    EXPECT_EQ(load(first_bytes(buffer, section + 3), 1), 0);
    // A magic with a cut header, or rows that run past the end, are refused.
    EXPECT_EQ(load(first_bytes(buffer, section + 15), 1), 1);
    EXPECT_EQ(load(first_bytes(buffer, section + 16 + 39), 1), 1);
    EXPECT_EQ(geometry(), kDefaults);
    EXPECT_EQ(load(first_bytes(buffer, section + 16 + 40), 1), 0);
    EXPECT_EQ(g_efs_autogen_data_loaded, 1);
}

TEST_F(EfsLayout, RowsAreReadOnlyAsFarAsTheMatchAndMustLieInTheBuffer) {
    FtblBuilder builder;
    builder.add_efs_row({.sku_id = 1, .bm_num = 6});
    auto buffer = builder.build();
    put_le32(buffer, builder.layout().efs_section + 12, 0x10000000);
    EXPECT_EQ(load(buffer, 2), 1);  // the walk for SKU 2 runs out of the buffer
    EXPECT_EQ(geometry(), kDefaults);
    ASSERT_EQ(load(buffer, 1), 0);
    EXPECT_EQ(g_efs_bm_num, 6u);
}

TEST_F(EfsLayout, FileListSizeCountAndOffsetRules) {
    FtblBuilder builder;
    builder.add_efs_row({.sku_id = 1,
                         .files_num = 3,
                         .files = {{2, 1, 10, 20}, {0, 2, 30, 40}, {2, 5, 50, 60}}});
    auto buffer = builder.build();
    const uint32_t row = builder.layout().row_offsets[0];

    put_le32(buffer, row + 12, 181);  // one byte more than 60 x 3
    EXPECT_EQ(load(buffer, 1), 1);
    EXPECT_EQ(geometry(), kDefaults);

    put_le32(buffer, row + 12, 180);
    ASSERT_EQ(load(buffer, 1), 0);
    EXPECT_EQ(stored(0), record(2, 30, 40));
    EXPECT_EQ(stored(1), record(0, 0, 0, 0));
    EXPECT_EQ(stored(2), record(5, 50, 60));  // the later entry replaces the earlier

    // No entries: every index present, none configured; an empty list may
    // start at the very end of the buffer.
    put_le32(buffer, row + 8, 0);
    put_le32(buffer, row + 12, 0);
    put_le32(buffer, row + 4, static_cast<uint32_t>(buffer.size()));
    ASSERT_EQ(load(buffer, 1), 0);
    ASSERT_EQ(layout_record_count(), 3u);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(stored(i), record(0, 0, 0, 0)) << i;
}

TEST_F(EfsLayout, AListOffsetPastTheEndKeepsTheRowGeometryButNotTheRecords) {
    load_earlier_layout();
    FtblBuilder builder;
    builder.add_efs_row({.sku_id = 9, .bm_num = 4, .files_num = 40, .layout_id = 3});
    auto buffer = builder.build();
    put_le32(buffer, builder.layout().row_offsets[0] + 4, static_cast<uint32_t>(buffer.size() + 1));
    EXPECT_EQ(load(buffer, 9), 1);
    // The exported count stays that of the exported array (two records), so
    // code that indexes EFS_files by it stays inside.
    EXPECT_EQ(geometry(), (Geometry{4, 7, 3, 2, 100, 3, 1, 1}));
    EXPECT_EQ(EFS_files, earlier_records_);
    uint32_t configured = 0;
    for (uint32_t i = 0; i < g_efs_files_num; ++i) configured += EFS_files[i].flags;
    EXPECT_EQ(configured, 1u);
    EXPECT_EQ(layout_record_count(), 2u);
    EXPECT_NE(layout_record(1), nullptr);
    EXPECT_EQ(layout_record(2), nullptr);
    EXPECT_EQ(layout_record(39), nullptr);
    // With no earlier array there is nothing to count.
    dorv::efs::reset_layout();
    EXPECT_EQ(load(buffer, 9), 1);
    EXPECT_EQ(EFS_files, nullptr);
    EXPECT_EQ(g_efs_files_num, 0u);
}

TEST_F(EfsLayout, ListsOutsideTheBufferOrArrayAreRefusedWithoutAWrite) {
    load_earlier_layout();
    const Record earlier_record = stored(1);

    FtblBuilder builder;
    builder.add_efs_row({.sku_id = 5, .files_num = 4, .files = {{3, 1, 2, 3}, {1, 1, 2, 3}}});
    auto buffer = builder.build();
    const uint32_t row = builder.layout().row_offsets[0];

    auto past_end = buffer;  // the second entry's last byte lies outside
    put_le32(past_end, row + 4, static_cast<uint32_t>(buffer.size()) - 119);
    EXPECT_EQ(load(past_end, 5), 1);
    auto index_too_big = buffer;
    put_le32(index_too_big, row + 28, 3);  // index 3 names a fourth record
    EXPECT_EQ(load(index_too_big, 5), 1);

    EXPECT_EQ(EFS_files, earlier_records_);
    EXPECT_EQ(g_efs_sku_id, 1);
    EXPECT_EQ(stored(1), earlier_record);
    ASSERT_EQ(load(buffer, 5), 0);  // the same row with the list in place
    EXPECT_EQ(stored(3), record(1, 2, 3));
}

TEST_F(EfsLayout, GeometryNoImageCanHaveIsRefusedBeforeItIsTaken) {
    const auto loads = [](EfsLayoutRow row) {
        row.sku_id = 1;
        return load(FtblBuilder().add_efs_row(row).build(), 1);
    };
    EXPECT_EQ(loads({.bm_num = 256}), 1);
    EXPECT_EQ(loads({.valid_block_num = 256, .non_valid_block_num = 0}), 1);
    EXPECT_EQ(loads({.valid_block_num = 0, .non_valid_block_num = 256}), 1);
    EXPECT_EQ(loads({.valid_block_num = 200, .non_valid_block_num = 57}), 1);
    EXPECT_EQ(loads({.files_num = 65537}), 1);
    EXPECT_EQ(loads({.files_num = 0xFFFFFFFFu}), 1);
    EXPECT_EQ(geometry(), kDefaults);

    EXPECT_EQ(loads({.bm_num = 255, .valid_block_num = 200, .non_valid_block_num = 56}), 0);
    EXPECT_EQ(loads({.files_num = 65536, .files = {{65535, 1, 2, 3}}}), 0);
    EXPECT_EQ(stored(65535), record(1, 2, 3));
    EXPECT_EQ(loads({.files_num = 0}), 0);  // an empty layout still loads
    EXPECT_NE(EFS_files, nullptr);
    EXPECT_EQ(layout_record(0), nullptr);
}

TEST_F(EfsLayout, ASecondLoadReplacesTheArrayAndResetRestoresTheDefaults) {
    load_earlier_layout();
    const auto second =
        FtblBuilder().add_efs_row({.sku_id = 1, .files_num = 8, .files = {{7, 1, 1, 1}}}).build();
    ASSERT_EQ(load(second, 1), 0);
    // The earlier array is released (the leak checker of the sanitizer build
    // reports it otherwise); the new one holds only the new row's records.
    EXPECT_EQ(layout_record_count(), 8u);
    EXPECT_EQ(stored(1), record(0, 0, 0, 0));
    EXPECT_EQ(stored(7), record(1, 1, 1));

    dorv::efs::reset_layout();
    EXPECT_EQ(geometry(), kDefaults);
    EXPECT_EQ(EFS_files, nullptr);
    EXPECT_EQ(layout_record_count(), 0u);
    EXPECT_EQ(layout_record(0), nullptr);
}

}  // namespace
