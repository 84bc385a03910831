// The seed buffers of the file-table fuzz target: each one must load. With
// DORV_WRITE_FUZZ_SEEDS=<dir> set the test also writes them there, which is
// how fuzz/corpus/file_table/ was made.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/le_bytes.h"
#include "dorv/file_table.h"
#include "support/file_table_state.h"
#include "support/ftbl_builder.h"
#include "support/fuzz_seeds.h"

namespace {

using dorv::test::FtblBuilder;

std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds() {
    const std::string name48 = "/home/" + std::string(42, 'q');
    return {
        {"two_skus_with_layout",
         FtblBuilder()
             .add_sku(1, {{"/home/a", 0x10, 0x0001, 3, 0, 64}, {name48, 0x20, 0x0100, 4, 2, 128}})
             .add_sku(0x101, {{"/home/b", 0x30, 0, 1, 2, 16}})
             .add_efs_row({.sku_id = 1, .files_num = 4, .files = {{0, 0, 0, 64}, {3, 1, 128, 256}}})
             .add_efs_row({.sku_id = 0x101, .bm_num = 3, .valid_block_num = 10, .files_num = 2,
                           .layout_id = 7, .files = {{1, 2, 16, 32}}})
             .build()},
        {"no_layout_section",
         FtblBuilder().add_sku(1, {{"/home/a", 1}, {"/home/a", 2}}).without_efs_section().build()},
        {"table_at_end",
         FtblBuilder().add_sku(2, {{"/home/x", 5}, {name48, 6}}).tables_at_end().build()},
    };
}

class FtblSeeds : public dorv::test::FileTableStateTest {};

TEST_F(FtblSeeds, EverySeedLoadsForItsFirstSku) {
    for (const auto& [name, bytes] : seeds()) {
        dorv::test::reset_file_table_state();
        const uint32_t sku = dorv::le::load32(bytes.data() + 16);
        const auto size = static_cast<uint32_t>(bytes.size());
        EXPECT_EQ(load_file_table(bytes.data(), sku, size), 0) << name;
        EXPECT_GT(g_table_num_files, 0) << name;
        EXPECT_TRUE(dorv::test::writeSeedIfAsked(name, bytes)) << name;
    }
}

}  // namespace
