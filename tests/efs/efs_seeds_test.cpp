// The seed images of the EFS image fuzz target: each one mounts. With
// DORV_WRITE_FUZZ_SEEDS=<dir> set the test also writes them there, which is
// how fuzz/corpus/efs_image/ was made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "fuzz/efs_image_input.h"
#include "support/efs_fixture.h"
#include "support/fuzz_seeds.h"

namespace {

class EfsSeeds : public dorv::test::EfsTest {};

// A seed: the layout row, then the image. Sized once and filled in place
// (g++ 12 at -O3 reports a false out-of-bounds move when insert() appends to
// a one-byte vector).
std::vector<uint8_t> seed_of(uint8_t layout, const std::vector<uint8_t>& image) {
    std::vector<uint8_t> seed(1 + image.size());
    seed[0] = layout;
    std::copy(image.begin(), image.end(), seed.begin() + 1);
    return seed;
}

TEST_F(EfsSeeds, EverySeedMountsUnderItsLayout) {
    const auto layouts = dorv::fuzz::efs_fuzz_layouts();
    for (uint8_t i = 0; i < layouts.size(); ++i) {
        reset();
        // Formatted by the library, then moved to the next BM block by commits.
        ASSERT_EQ(dorv::test::load_efs_layout(layouts[i]), 0);
        std::vector<uint8_t> image(EFS_get_efs_size(), 0);
        efs_image = image.data();
        ASSERT_EQ(EFS_do_format(), 0);
        ASSERT_EQ(efs_mount_image(image.data(), static_cast<uint32_t>(image.size())), 0);
        EXPECT_TRUE(dorv::test::writeSeedIfAsked("formatted_" + std::to_string(i), seed_of(i, image)));
        efs_ctx.force_bm_switch = 1;
        std::vector<uint8_t> valid(efs_ctx.valid_map, efs_ctx.valid_map + layouts[i].valid_block_num);
        std::vector<uint8_t> spare(efs_ctx.spare_map, efs_ctx.spare_map + layouts[i].non_valid_block_num);
        efs_bme_t e{valid.data(), spare.data(), 0, 0, 0};
        ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
        ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
        ASSERT_EQ(efs_mount_image(image.data(), static_cast<uint32_t>(image.size())), 0);
        EXPECT_EQ(+efs_ctx.generation, 2u);
        EXPECT_TRUE(dorv::test::writeSeedIfAsked("switched_" + std::to_string(i), seed_of(i, image)));
    }
}

}  // namespace
