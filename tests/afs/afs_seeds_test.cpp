// The seed images of the AFS image fuzz target: each one mounts as the fuzz
// target mounts it. With DORV_WRITE_FUZZ_SEEDS=<dir> set the test also
// writes them there, which is how fuzz/corpus/afs_image/ was made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "afs/afs_state.h"
#include "fuzz/afs_image_input.h"
#include "support/afs_volume.h"
#include "support/fuzz_seeds.h"

namespace {

using dorv::test::afs_pattern;
using dorv::test::AfsVolume;

TEST(AfsSeeds, EverySeedMounts) {
    dorv::afs::reset_module_state();
    AfsVolume v(0x8000);
    ASSERT_EQ(v.create(), 0u);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
    // Geometries: the storage front end's 64 x 10, and the long lines a host may pick.
    using dorv::fuzz::afs_fuzz_geometry_byte;
    const uint8_t front_end = afs_fuzz_geometry_byte(64, 1), long_lines = afs_fuzz_geometry_byte(4096, 0);
    const uint8_t pages3 = afs_fuzz_geometry_byte(192, 2), pages2 = afs_fuzz_geometry_byte(128, 3);
    auto keep = [&](const std::string& name, uint8_t options, uint8_t first, uint8_t second) {
        std::vector<uint8_t> seed{options, first, second};
        seed.insert(seed.end(), v.image.begin(), v.image.end());
        seeds.emplace_back(name, seed);
    };
    keep("created", 0x00, front_end, front_end);
    ASSERT_EQ(v.write(0, 0, afs_pattern(1000, 1)), 0u);
    ASSERT_EQ(v.write(37, 0, afs_pattern(70, 2)), 0u);
    ASSERT_EQ(v.write(74, 100, afs_pattern(20, 3)), 0u);
    ASSERT_EQ(afs_mark_zombie_file(&v.ctx, 5), 0u);
    keep("written", 0x02, front_end, front_end);
    keep("written_long_lines", 0x04 | dorv::fuzz::kAfsFuzzRecacheBeforeWrite, long_lines, pages3);
    keep("written_read_only", dorv::fuzz::kAfsFuzzReadOnly, long_lines, front_end);
    for (uint32_t i = 0; i < 30; ++i) ASSERT_EQ(v.write(1 + i % 3, 0, afs_pattern(2000, i), true), 0u);
    ASSERT_EQ(v.full_reclaim(), 0u);
    keep("reclaimed", 0x14, front_end, front_end);
    keep("reclaimed_recached", 0x16 | dorv::fuzz::kAfsFuzzRecacheBeforeWrite | dorv::fuzz::kAfsFuzzRecacheAfterWrite,
         pages2, long_lines);

    for (const auto& [name, seed] : seeds) {
        SCOPED_TRACE(name);
        AfsVolume check(0x8000);
        const size_t head = dorv::fuzz::kAfsFuzzHeadBytes;
        check.image = dorv::fuzz::afs_fuzz_image(seed.data() + head, seed.size() - head);
        const uint32_t flags = dorv::test::kAfsMountFlags |
                               ((seed[0] & dorv::fuzz::kAfsFuzzReadOnly) != 0 ? AFS_INIT_READ_ONLY : 0);
        const auto geometry = dorv::fuzz::afs_fuzz_geometry(seed[1]);
        EXPECT_EQ(check.mount(flags, 1024, geometry.line_size, geometry.lines), 0u);
        EXPECT_TRUE(dorv::test::writeSeedIfAsked(name, seed));
    }
}

}  // namespace
