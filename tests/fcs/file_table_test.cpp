#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dorv/efs.h"
#include "dorv/file_table.h"
#include "support/file_table_state.h"
#include "support/ftbl_builder.h"

namespace {

using dorv::test::FtblBuilder;
using dorv::test::FtblEntry;
using dorv::test::put_le32;

const std::string kName48 = "/home/" + std::string(42, 'n');  // fills the field

class FileTable : public dorv::test::FileTableStateTest {
protected:
    static int load(const std::vector<uint8_t>& buffer, uint32_t sku) {
        return load_file_table(buffer.data(), sku, static_cast<uint32_t>(buffer.size()));
    }
    static const file_table_entry_t* entry_at(const std::vector<uint8_t>& buffer, uint32_t offset) {
        return reinterpret_cast<const file_table_entry_t*>(buffer.data() + offset);
    }
    static void expect_selection(const file_table_entry_t* table, int32_t count, uint32_t sku) {
        EXPECT_EQ(g_table_buf, table);
        EXPECT_EQ(g_table_num_files, count);
        EXPECT_EQ(g_dfs_sku, sku);
    }
};

TEST_F(FileTable, SmokeSelectsTheSkuTableAndAnswersEveryLookup) {
    FtblBuilder builder;
    builder.add_sku(3, {{"/home/other", 0x30, 0, 0, 0, 0}})
        .add_sku(7, {{"/home/a", 0x10, 0x0102, 5, 2, 300},
                     {"/home/b", 0x80000011, 0x8001, 0x0203, 0, 0x00012345}});
    const auto buffer = builder.build();
    ASSERT_EQ(load(buffer, 7), 0);
    expect_selection(entry_at(buffer, builder.layout().table_offsets[1]), 2, 7);

    const file_table_entry_t* b = get_file_entry_by_file_name("/home/b");
    ASSERT_EQ(b, g_table_buf + 1);
    EXPECT_EQ(static_cast<unsigned>(b->storage_index), 0x0203u);
    EXPECT_EQ(get_file_entry_by_file_name("/home/other"), nullptr);  // another SKU's table

    fileno_t number{0};
    ASSERT_EQ(get_fileno_by_file_name("/home/b", &number), 0);
    EXPECT_EQ(number.file_number, 0x80000011u);
    EXPECT_EQ(get_file_entry_by_fileno(&number), b);

    const fileno_t ten{0x10};
    char name[FILE_TABLE_NAME_SIZE];
    ASSERT_EQ(get_file_name_by_fileno(&ten, name), 0);
    EXPECT_STREQ(name, "/home/a");

    file_attributes_t attributes = 0;
    uint32_t max_size = 0;
    ASSERT_EQ(get_file_attributes_by_file_name("/home/b", &attributes, &max_size), 0);
    EXPECT_EQ(attributes, 0x8001);
    EXPECT_EQ(max_size, 0x00012345u);
    const file_table_entry_t* a = get_file_entry_by_file_name("/home/a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(static_cast<unsigned>(a->storage_selector), 2u);
    EXPECT_EQ(static_cast<unsigned>(a->storage_index), 5u);
}

TEST_F(FileTable, SizeMagicAndSkuCountChecksAnswer1AndKeepTheSelection) {
    const auto first = FtblBuilder().add_sku(1, {{"/home/x", 1}}).build();
    ASSERT_EQ(load(first, 1), 0);
    const file_table_entry_t* selected = g_table_buf;

    auto short_buffer = FtblBuilder().add_sku(2, {{"/home/y", 2}}).min_size(1023).build();
    ASSERT_EQ(short_buffer.size(), 1023u);
    EXPECT_EQ(load(short_buffer, 2), 1);
    expect_selection(selected, 1, 1);

    auto bad_magic = FtblBuilder().add_sku(2, {{"/home/y", 2}}).build();
    bad_magic[3] ^= 0x01;
    EXPECT_EQ(load(bad_magic, 2), 1);
    EXPECT_EQ(load_file_table(nullptr, 2, 4096), 1);
    expect_selection(selected, 1, 1);

    FtblBuilder ten;
    for (uint32_t sku = 0; sku < 10; ++sku) ten.add_sku(100 + sku, {{"/home/s", sku}});
    auto ten_skus = ten.build();
    ASSERT_EQ(ten_skus.size(), 1024u);  // exactly the smallest accepted size
    ASSERT_EQ(load(ten_skus, 109), 0);
    expect_selection(entry_at(ten_skus, ten.layout().table_offsets[9]), 1, 109);

    put_le32(ten_skus, 12, 11);  // an eleventh descriptor is one too many
    EXPECT_EQ(load(ten_skus, 100), 1);
    EXPECT_EQ(g_dfs_sku, 109u);
}

TEST_F(FileTable, FirstDescriptorWinsAndAnUnknownSkuKeepsTheEarlierSelection) {
    const auto empty = FtblBuilder().build();  // no descriptors at all
    EXPECT_EQ(load(empty, 5), 0);
    expect_selection(nullptr, 0, 0xFFFFFFFFu);

    FtblBuilder twice;
    twice.add_sku(5, {{"/home/first", 1}}).add_sku(5, {{"/home/second", 2}, {"/home/x", 3}});
    const auto buffer = twice.build();
    ASSERT_EQ(load(buffer, 5), 0);
    expect_selection(entry_at(buffer, twice.layout().table_offsets[0]), 1, 5);

    EXPECT_EQ(load(buffer, 6), 0);
    EXPECT_EQ(load(empty, 6), 0);
    expect_selection(entry_at(buffer, twice.layout().table_offsets[0]), 1, 5);

    // With no descriptor the result is the layout step's.
    FtblBuilder bad_layout;
    bad_layout.add_efs_row({.sku_id = 6, .valid_block_num = 200, .non_valid_block_num = 57});
    EXPECT_EQ(load(bad_layout.build(), 6), 1);
    EXPECT_EQ(g_dfs_sku, 5u);
}

TEST_F(FileTable, TheSelectedTableMustLieWhollyInsideTheBuffer) {
    FtblBuilder builder;
    builder.add_sku(1, {{"/home/a", 1}, {kName48, 2}}).tables_at_end();
    auto buffer = builder.build();
    const uint32_t size = static_cast<uint32_t>(buffer.size());
    const uint32_t table = builder.layout().table_offsets[0];
    ASSERT_EQ(table + 2 * 68, size);
    ASSERT_EQ(load(buffer, 1), 0);  // entries ending at the last byte are fine
    expect_selection(entry_at(buffer, table), 2, 1);

    auto past_end = buffer;
    put_le32(past_end, 24, 3);  // one entry more than the buffer holds
    EXPECT_EQ(load(past_end, 1), 1);
    put_le32(past_end, 24, 63161284);  // 68 x count wraps to 16 in 32 bits
    put_le32(past_end, 20, size - 16);
    EXPECT_EQ(load(past_end, 1), 1);
    put_le32(past_end, 20, size + 1);
    put_le32(past_end, 24, 0);
    EXPECT_EQ(load(past_end, 1), 1);
    expect_selection(entry_at(buffer, table), 2, 1);

    // A refused table stops the load before the layout step: the SKU's EFS
    // row is not taken.
    FtblBuilder with_row;
    with_row.add_sku(9, {{"/home/a", 1}}).add_efs_row({.sku_id = 9, .bm_num = 5});
    auto refused = with_row.build();
    put_le32(refused, 24, 1000);
    EXPECT_EQ(load(refused, 9), 1);
    EXPECT_EQ(g_efs_autogen_data_loaded, 0);
    EXPECT_EQ(g_efs_bm_num, 2u);
    EXPECT_EQ(g_dfs_sku, 1u);

    put_le32(past_end, 20, size);  // an offset equal to the size, with no entries
    ASSERT_EQ(load(past_end, 1), 0);
    expect_selection(entry_at(past_end, size), 0, 1);
    EXPECT_EQ(get_file_entry_by_file_name("/home/a"), nullptr);

    // A count of 2^31 or more reads as a negative count: an empty table.
    put_le32(past_end, 24, 0x80000000u);
    ASSERT_EQ(load(past_end, 1), 0);
    EXPECT_LT(g_table_num_files, 0);
    const fileno_t one{1};
    EXPECT_EQ(get_file_entry_by_fileno(&one), nullptr);
    EXPECT_EQ(get_file_entry_by_file_name("/home/a"), nullptr);
}

TEST_F(FileTable, AFailingLayoutStepAnswers1WithTheNewTableSelected) {
    FtblBuilder builder;
    builder.add_sku(4, {{"/home/a", 1}}).add_efs_row({.sku_id = 4, .files = {{.file_index = 0}}});
    auto buffer = builder.build();
    put_le32(buffer, builder.layout().row_offsets[0] + 12, 61);  // list size above 60 x 1
    EXPECT_EQ(load(buffer, 4), 1);
    expect_selection(entry_at(buffer, builder.layout().table_offsets[0]), 1, 4);
    EXPECT_NE(get_file_entry_by_file_name("/home/a"), nullptr);
}

TEST_F(FileTable, NamesMatchWhollyOverAtMost48BytesAndTheFirstMatchWins) {
    const auto buffer = FtblBuilder()
                            .add_sku(1, {{"/home/abc", 1},
                                         {"/home/abcd", 2},
                                         {"/home/ABC", 3},
                                         {"/home/abc", 4},
                                         {"/home/dup", 1},
                                         {kName48, 6}})
                            .tables_at_end()  // the 48-character name ends the buffer
                            .build();
    ASSERT_EQ(load(buffer, 1), 0);
    const auto number_of = [](const std::string& name) -> int64_t {
        fileno_t number{0};
        if (get_fileno_by_file_name(name.c_str(), &number) != 0) return -1;
        return number.file_number;
    };
    EXPECT_EQ(number_of("/home/abc"), 1);
    EXPECT_EQ(number_of("/home/abcd"), 2);
    EXPECT_EQ(number_of("/home/ABC"), 3);
    EXPECT_EQ(number_of("/home/ab"), -1);     // a prefix of an entry's name
    EXPECT_EQ(number_of("/home/abcde"), -1);  // an entry's name is a prefix
    EXPECT_EQ(number_of("/home/aBc"), -1);
    EXPECT_EQ(number_of(""), -1);
    EXPECT_EQ(number_of(kName48), 6);
    EXPECT_EQ(number_of(kName48 + "x"), 6);  // only the first 48 characters count
    EXPECT_EQ(number_of(kName48 + std::string(200, 'y')), 6);
    EXPECT_EQ(number_of(kName48.substr(0, 47)), -1);

    const fileno_t one{1};
    EXPECT_EQ(get_file_entry_by_fileno(&one), g_table_buf);  // not "/home/dup"
    const fileno_t absent{5};
    EXPECT_EQ(get_file_entry_by_fileno(&absent), nullptr);
}

TEST_F(FileTable, NameByNumberCopiesExactlyThe48ByteField) {
    const auto buffer =
        FtblBuilder().add_sku(1, {{"/home/short", 1}, {kName48, 2}}).tables_at_end().build();
    ASSERT_EQ(load(buffer, 1), 0);
    char out[64];
    const fileno_t one{1}, two{2}, three{3};

    std::memset(out, 0xAA, sizeof out);
    ASSERT_EQ(get_file_name_by_fileno(&one, out), 0);
    std::string expected = "/home/short";
    expected.resize(48, '\0');
    EXPECT_EQ(std::string(out, 48), expected);
    EXPECT_EQ(static_cast<uint8_t>(out[48]), 0xAA);

    std::memset(out, 0xAA, sizeof out);
    ASSERT_EQ(get_file_name_by_fileno(&two, out), 0);
    EXPECT_EQ(std::string(out, 48), kName48);
    EXPECT_EQ(static_cast<uint8_t>(out[48]), 0xAA);  // no terminator added

    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(get_file_name_by_fileno(&three, out), -1);
    EXPECT_EQ(static_cast<uint8_t>(out[0]), 0xAA);
}

TEST_F(FileTable, MissesNullPointersAndAnEmptySelectionWriteNothing) {
    fileno_t number{0x5A5A};
    file_attributes_t attributes = 0x1234;
    uint32_t max_size = 77;
    char name[48] = {'z'};
    const fileno_t one{1};

    // Nothing selected yet.
    EXPECT_EQ(get_file_entry_by_file_name("/home/a"), nullptr);
    EXPECT_EQ(get_fileno_by_file_name("/home/a", &number), -1);
    EXPECT_EQ(get_file_entry_by_fileno(&one), nullptr);
    EXPECT_EQ(get_file_name_by_fileno(&one, name), -1);
    EXPECT_EQ(get_file_attributes_by_file_name("/home/a", &attributes, &max_size), -1);

    const auto buffer = FtblBuilder().add_sku(1, {{"/home/a", 1, 0x0F0F, 0, 0, 9}}).build();
    ASSERT_EQ(load(buffer, 1), 0);
    EXPECT_EQ(get_fileno_by_file_name("/home/b", &number), -1);
    EXPECT_EQ(get_file_attributes_by_file_name("/home/a", &attributes, nullptr), -1);
    EXPECT_EQ(get_file_attributes_by_file_name("/home/a", nullptr, &max_size), -1);
    EXPECT_EQ(get_file_attributes_by_file_name(nullptr, &attributes, &max_size), -1);
    EXPECT_EQ(get_fileno_by_file_name(nullptr, &number), -1);
    EXPECT_EQ(get_fileno_by_file_name("/home/a", nullptr), -1);
    EXPECT_EQ(get_file_entry_by_file_name(nullptr), nullptr);
    EXPECT_EQ(get_file_entry_by_fileno(nullptr), nullptr);
    EXPECT_EQ(get_file_name_by_fileno(nullptr, name), -1);
    EXPECT_EQ(get_file_name_by_fileno(&one, nullptr), -1);
    EXPECT_EQ(number.file_number, 0x5A5Au);
    EXPECT_EQ(attributes, 0x1234);
    EXPECT_EQ(max_size, 77u);
    EXPECT_EQ(name[0], 'z');

    _cfg_file_entry_t record{};
    EXPECT_TRUE(validateAttributs(&record));
    EXPECT_FALSE(validateAttributs(nullptr));
}

}  // namespace
