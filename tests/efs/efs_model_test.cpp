// Random writes, deletes, reads, idle steps, wear-levelling calls and
// remounts against an in-memory model of the files, over layouts with one
// spare, many spares and three BM blocks. Every file is compared after every
// step; the block manager must switch blocks many times, wear levelling must
// move blocks, and when it moves nothing no spare may be the threshold ahead.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "support/efs_file_reader.h"
#include "support/efs_fixture.h"

namespace {

using dorv::test::EfsContents;
using dorv::test::EfsImage;
using dorv::test::EfsLayoutFile;
using dorv::test::EfsLayoutRow;

struct ModelLayout {
    const char* name;
    EfsLayoutRow row;
    uint32_t steps;
};

EfsLayoutRow with_threshold(EfsLayoutRow row, uint32_t threshold) {
    row.wear_leveling_threshold = threshold;
    return row;
}

std::vector<ModelLayout> layouts() {
    using dorv::test::efs_row;
    return {
        // One spare: only writes that fit one block can be made; bigger ones
        // are refused before anything is touched.
        {"OneSpare",
         with_threshold(efs_row(2, 6, 1, {{0, 0, 0, 3000}, {1, 0, 3100, 900}, {2, 1, 0, 4068}, {3, 2, 4000, 5000},
                                          {4, 4, 10, 100}}, 5),
                        5),
         4000},
        // Sixteen spares, a file over five blocks and a record at the very
        // end of its block.
        {"SixteenSpares",
         with_threshold(efs_row(2, 10, 16, {{0, 0, 0, 20000}, {1, 5, 4072, 4072}, {2, 7, 100, 8000},
                                            {3, 9, 0, 50}, {4, 9, 60, 50}}, 6),
                        3),
         4000},
        {"ThreeBmBlocks",
         with_threshold(efs_row(3, 4, 3, {{0, 0, 0, 4072}, {1, 1, 2000, 6000}, {2, 3, 4072, 0}}, 3), 2),
         4000},
    };
}

class EfsModel : public dorv::test::EfsTest, public ::testing::WithParamInterface<std::size_t> {};

// How far the most-erased spare is ahead of the least-erased mapped block,
// by the erase counts in the block headers (0 when it is not ahead).
uint32_t spare_lead(const std::vector<uint8_t>& image, const EfsLayoutRow& row) {
    const auto view = dorv::test::read_efs_state(image, row);
    if (!view) return UINT32_MAX;
    uint32_t cold = UINT32_MAX, hot = 0;
    for (uint8_t p : view->valid) cold = std::min(cold, dorv::test::efs_erase_count(image, row, p));
    for (uint8_t p : view->spare) hot = std::max(hot, dorv::test::efs_erase_count(image, row, p));
    return hot > cold ? hot - cold : 0;
}

// What a write of `size` bytes must answer, from the layout alone.
int expected_write(const EfsLayoutFile& f, uint32_t size, uint32_t spares) {
    if (size > f.max_size || size >= 0xFFFF) return 34;
    if ((f.offset + size + 4u + 4071u) / 4072u > spares) return 28;
    return 0;
}

TEST_P(EfsModel, RandomOperationsMatchTheModel) {
    const ModelLayout layout = layouts()[GetParam()];
    const EfsLayoutRow& row = layout.row;
    std::vector<uint8_t> image = EfsImage::formatted(row).bytes;
    ASSERT_EQ(dorv::test::load_efs_layout(row), 0);
    const auto length = static_cast<uint32_t>(image.size());
    ASSERT_EQ(efs_mount_image(image.data(), length), 0);

    EfsContents model;
    for (const EfsLayoutFile& f : row.files) model[f.file_index] = std::nullopt;
    std::mt19937 rng(static_cast<uint32_t>(GetParam() * 7919 + 17));
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const uint32_t first_generation = efs_ctx.generation;
    uint32_t moves = 0;

    for (uint32_t step = 0; step < layout.steps; ++step) {
        const EfsLayoutFile& f = row.files[pick(static_cast<uint32_t>(row.files.size()))];
        const uint32_t what = pick(100);
        std::string did;
        if (what < 45) {
            // Mostly sizes the file takes, now and then one byte over.
            uint32_t size = pick(8) == 0 ? f.max_size + 1u : pick(f.max_size + 1u);
            if (pick(10) == 0) size = std::min<uint32_t>(f.max_size, pick(8));
            std::vector<uint8_t> data(size + 1u);  // never a null pointer, even for size 0
            for (auto& b : data) b = static_cast<uint8_t>(rng());
            data.pop_back();
            const int want = expected_write(f, size, row.non_valid_block_num);
            did = "write " + std::to_string(size);
            ASSERT_EQ(EFS_write(f.file_index, 0, size, data.data()), want) << did;
            if (want == 0) model[f.file_index] = data;
        } else if (what < 60) {
            did = "delete";
            ASSERT_EQ(EFS_delete(f.file_index), model[f.file_index] ? 0 : 2);
            model[f.file_index] = std::nullopt;
        } else if (what < 80) {
            const auto& content = model[f.file_index];
            const uint32_t size = content ? static_cast<uint32_t>(content->size()) : 0;
            const uint32_t offset = pick(size + 2);
            uint32_t wanted = pick(size + 10);
            std::vector<uint8_t> buf(wanted + 1, 0xA5);
            did = "read " + std::to_string(offset) + "+" + std::to_string(wanted);
            const int rc = EFS_read(f.file_index, offset, &wanted, buf.data());
            if (!content) {
                ASSERT_EQ(rc, 2) << did;
                ASSERT_EQ(wanted, 0u);
            } else if (size != 0 && offset > size) {
                ASSERT_EQ(rc, 34) << did;
                ASSERT_EQ(wanted, 0u);
            } else {
                ASSERT_EQ(rc, 0) << did;
                const uint32_t expect = size == 0 ? 0 : std::min<uint32_t>(wanted, size - offset);
                ASSERT_EQ(wanted, expect) << did;
                ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + expect, content->begin() + offset)) << did;
                ASSERT_EQ(buf[expect], 0xA5) << did << ": wrote past the bytes delivered";
            }
        } else if (what < 90) {
            did = what < 85 ? "idle" : "wear";
            const std::vector<uint8_t> maps(efs_ctx.valid_map, efs_ctx.valid_map + row.valid_block_num);
            ASSERT_EQ(what < 85 ? EFS_idle_reclaim() : EFS_wear_leveling(0, 0), 0) << did;
            if (!std::equal(maps.begin(), maps.end(), efs_ctx.valid_map)) {
                ++moves;
            } else if (what >= 85) {
                // Nothing moved: by the headers on flash, no spare is the
                // threshold ahead of the least-erased mapped block.
                ASSERT_LT(spare_lead(image, row), row.wear_leveling_threshold) << did;
            }
        } else {
            did = "remount";
            ASSERT_EQ(efs_mount_image(image.data(), length), 0);
        }
        SCOPED_TRACE("step " + std::to_string(step) + ": " + did);
        for (const EfsLayoutFile& g : row.files) {
            const auto got = dorv::test::efs_read_whole(g.file_index);
            ASSERT_EQ(got.rc, 0) << "file " << g.file_index;
            ASSERT_EQ(got.data, model[g.file_index]) << "file " << g.file_index;
        }
    }
    ASSERT_EQ(dorv::test::efs_image_fault(image, row), "");
    EXPECT_GE(+efs_ctx.generation - first_generation, 3u) << "too few BM switches";
    EXPECT_GT(moves, 0u);
    RecordProperty("switches", static_cast<int>(efs_ctx.generation - first_generation));
}

INSTANTIATE_TEST_SUITE_P(Layouts, EfsModel, ::testing::Range<std::size_t>(0, layouts().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return std::string(layouts()[info.param].name);
                         });

}  // namespace
