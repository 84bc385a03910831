// The seeds of the translation-layer fuzz target: formatted partitions of a
// few geometries, some with pages already written, each with a sequence of
// operations. Each seed decodes to its parts and its image mounts. With
// DORV_WRITE_FUZZ_SEEDS=<dir> set the test also writes them there, which is
// how fuzz/corpus/afs_ftl/ was made.
#include <gtest/gtest.h>

#include <string>

#include "afs/afs_state.h"
#include "fuzz/afs_ftl_input.h"
#include "support/afs_ftl_rig.h"
#include "support/fuzz_seeds.h"

namespace {

using namespace dorv::fuzz;

TEST(AfsFtlSeeds, EverySeedDecodesAndMounts) {
    struct Geometry {
        uint32_t units, meta_pages, data_units, line_pages;
        uint32_t written;  // metadata writes before the image is taken
    };
    const Geometry geometries[] = {{4, 40, 2, 1, 0}, {5, 40, 2, 2, 130}, {3, 8, 1, 1, 20}, {6, 100, 3, 1, 250}};
    const std::vector<AfsFtlStep> steps = {
        {kWriteMeta, 1}, {kWriteData, 0}, {kWriteData, 0}, {kTrimData, 0}, {kReadRun, 0x0400}, {kWriteMeta, 1},
        {kCacheChange, 3}, {kCacheFlush, 0}, {kIdleReclaim, 0}, {kFullReclaim, 0}, {kRemount, 0}, {kReadAny, 5},
        {kDirtyErase, 0}, {kWrapper, 1}, {kWrapper, 0}, {kTrimMeta, 1}, {kRemount, 0}, {kWriteData, 0}};
    int n = 0;
    for (const Geometry& g : geometries) {
        dorv::afs::reset_module_state();
        dorv::test::AfsFtlRig rig(g.units, g.meta_pages, g.data_units);
        ASSERT_EQ(rig.format(), 0u);
        uint8_t page[64] = {};
        for (uint32_t i = 0; i < g.written; ++i) {
            page[0] = static_cast<uint8_t>(i);
            ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * (i % 7), 64, page, 0), 0u);
        }
        AfsFtlInput in;
        in.meta_pages = g.meta_pages;
        in.data_units = g.data_units;
        in.line_pages = g.line_pages;
        in.steps = steps;
        in.image = rig.image;
        const std::vector<uint8_t> seed = encode_afs_ftl(in);
        AfsFtlInput back;
        ASSERT_TRUE(decode_afs_ftl(seed.data(), seed.size(), back));
        EXPECT_EQ(back.meta_pages, g.meta_pages);
        EXPECT_EQ(back.data_units, g.data_units);
        EXPECT_EQ(back.line_pages, g.line_pages);
        EXPECT_EQ(back.steps.size(), steps.size());
        EXPECT_EQ(back.image, rig.image);
        ASSERT_EQ(rig.mount(), 0u);
        EXPECT_TRUE(dorv::test::writeSeedIfAsked("formatted_" + std::to_string(n++), seed));
    }
    dorv::afs::reset_module_state();
}

}  // namespace
