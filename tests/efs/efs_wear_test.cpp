// Wear levelling (which block moves where, a used hot spare erased first,
// the moved data intact) and the idle step's choice between pre-erasing the
// next BM block and data-block maintenance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "support/efs_file_reader.h"
#include "support/efs_fixture.h"

namespace {

using dorv::test::EfsImage;
using dorv::test::EfsLayoutRow;
using dorv::test::FaultFlash;
using dorv::test::FlashOp;
using dorv::test::ScopedMedium;

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

EfsLayoutRow layout(uint32_t threshold, uint32_t b = 2) {
    EfsLayoutRow row = dorv::test::efs_row(b, 4, 3, {{0, 0, 0, 100}, {1, 3, 0, 100}}, 2);
    row.wear_leveling_threshold = threshold;
    return row;
}

class EfsWear : public dorv::test::EfsMountedTest {
protected:
    std::vector<uint8_t> valid() const { return {efs_ctx.valid_map, efs_ctx.valid_map + row_.valid_block_num}; }
    std::vector<uint8_t> spare() const {
        return {efs_ctx.spare_map, efs_ctx.spare_map + row_.non_valid_block_num};
    }
    std::vector<uint8_t> block(uint32_t physical) {
        const uint8_t* p = image_.at(image_.data_offset(physical));
        return {p, p + 4096};
    }
};

TEST_F(EfsWear, TheLastColdestBlockMovesOntoTheLastHottestSpareOnceTheThresholdIsReached) {
    struct Case {
        const char* name;
        uint32_t threshold;
        std::vector<uint32_t> counts;  // headers of physical blocks 0-6 (V = 4, S = 3)
        int cold_logical;              // -1: nothing moves
        uint32_t hot_slot;
    };
    const std::vector<Case> cases = {
        {"spare 100 ahead", 100, {1, 1, 1, 1, 1, 101, 1}, 3, 1},
        {"spare 99 ahead", 100, {1, 1, 1, 1, 1, 100, 1}, -1, 0},
        {"threshold 0, all equal", 0, {1, 1, 1, 1, 1, 1, 1}, 3, 2},
        {"two hottest spares", 5, {9, 9, 9, 9, 20, 20, 3}, 3, 1},
        {"two coldest mapped", 5, {2, 7, 2, 9, 20, 4, 3}, 2, 0},
        {"ahead, below the threshold", 50, {1, 1, 1, 1, 40, 1, 1}, -1, 0},
        {"spares colder than the data", 0, {9, 9, 9, 9, 1, 2, 3}, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        mount(layout(c.threshold), [&](EfsImage& im) {
            for (uint32_t p = 0; p < 7; ++p) im.data_header(p, c.counts[p]);
        });
        const auto before_valid = valid();
        const auto before_spare = spare();
        FaultFlash flash;
        ScopedMedium scoped(medium(), flash);
        ASSERT_EQ(EFS_wear_leveling(0, 0), 0);
        EXPECT_EQ(efs_ctx.status_scanned, 1) << "a call before the first scan scans first";
        if (c.cold_logical < 0) {
            EXPECT_TRUE(flash.log().empty());
            EXPECT_EQ(valid(), before_valid);
            continue;
        }
        const uint8_t cold = before_valid[c.cold_logical], hot = before_spare[c.hot_slot];
        EXPECT_EQ(efs_ctx.valid_map[c.cold_logical], hot);
        EXPECT_EQ(efs_ctx.spare_map[c.hot_slot], cold);
        EXPECT_EQ(efs_ctx.spare_status[c.hot_slot], EFS_SPARE_DIRTY);
        EXPECT_EQ(+efs_ctx.free_count, 2u);
        // A free hot spare is not erased: payload and footer, then one entry.
        ASSERT_EQ(flash.log().size(), 2u);
        EXPECT_EQ(flash.log()[0].offset, image_.data_offset(hot) + 16);
        EXPECT_EQ(flash.log()[0].length, 4080u);
        const auto moved = block(hot), source = block(cold);
        EXPECT_EQ(le32(moved.data()), c.counts[hot]) << "the hot block keeps its own header";
        EXPECT_TRUE(std::equal(source.begin() + 16, source.end(), moved.begin() + 16));
    }
}

TEST_F(EfsWear, AUsedHotSpareIsErasedFirstAndTheMovedBlockReadsTheSameData) {
    mount(layout(0));
    const std::vector<uint8_t> data(100, 0x42), other(30, 0x17);
    // The first write's own wear move leaves slot 2 holding block 3 (used).
    ASSERT_EQ(EFS_write(0, 0, 100, data.data()), 0);
    ASSERT_EQ(EFS_write(1, 0, 30, other.data()), 0);
    ASSERT_EQ(efs_ctx.spare_status[2], EFS_SPARE_DIRTY);
    const uint8_t hot = efs_ctx.spare_map[2];
    const uint32_t hot_count = efs_ctx.erase_counts[hot];
    // Make block `hot` the hottest and logical 3 (file 1) the coldest.
    std::fill(efs_ctx.erase_counts, efs_ctx.erase_counts + 7, 5);
    efs_ctx.erase_counts[hot] = hot_count + 10;
    efs_ctx.erase_counts[efs_ctx.valid_map[3]] = 1;
    const uint8_t cold = efs_ctx.valid_map[3];
    const auto cold_block = block(cold);

    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    ASSERT_EQ(EFS_wear_leveling(0, 0), 0);
    ASSERT_GE(flash.log().size(), 4u);
    EXPECT_EQ(flash.log()[1].kind, FlashOp::Kind::erase);
    EXPECT_EQ(flash.log()[1].offset, image_.data_offset(hot));
    EXPECT_EQ(efs_ctx.erase_counts[hot], hot_count + 11);
    EXPECT_EQ(le32(image_.at(image_.data_offset(hot))), hot_count + 11) << "the new header carries the count plus one";
    EXPECT_EQ(efs_ctx.valid_map[3], hot);
    EXPECT_EQ(efs_ctx.spare_map[2], cold);
    // The cold block's bytes survived the erase and landed whole.
    const auto moved = block(hot);
    EXPECT_TRUE(std::equal(cold_block.begin() + 16, cold_block.end(), moved.begin() + 16));
    EXPECT_EQ(dorv::test::efs_read_whole(1).data, other);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, data);
    ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
    EXPECT_EQ(efs_ctx.valid_map[3], hot);
    EXPECT_EQ(dorv::test::efs_read_whole(1).data, other);
}

TEST_F(EfsWear, AFailedCopyLeavesTheMapsAndMarksTheSpareUsed) {
    mount(layout(0));
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
    const auto before = valid();
    FaultFlash flash;
    // Every read-back of the copy differs.
    const uint32_t target = image_.data_offset(efs_ctx.spare_map[2]) + 16;
    flash.on_read = [&](uint32_t offset, uint8_t* dst, uint32_t length) {
        if (offset == target && length == 4080 && !flash.log().empty()) dst[7] ^= 1;
    };
    ScopedMedium scoped(medium(), flash);
    EXPECT_EQ(EFS_wear_leveling(0, 0), 41);
    EXPECT_EQ(valid(), before);
    EXPECT_EQ(efs_ctx.spare_status[2], EFS_SPARE_DIRTY);
    EXPECT_EQ(+efs_ctx.free_count, 2u);
    EXPECT_EQ(flash.log().size(), 1u) << "nothing committed";
    // A cold block that fails its CRCs is never copied.
    flash.on_read = nullptr;
    flash.clear_log();
    image_.at(image_.data_offset(efs_ctx.valid_map[3]) + 100)[0] ^= 1;
    EXPECT_EQ(EFS_wear_leveling(0, 0), 41);
    EXPECT_TRUE(flash.log().empty());
}

TEST_F(EfsWear, IdlePreErasesTheNextBmBlockOnlyWhenTheCurrentOneIsFilledPast2856) {
    struct Case {
        const char* name;
        uint8_t state;
        bool next_dirty;
        uint32_t newest_end;  // bme_offset + R
        bool pre_erase;
    };
    for (const Case c : {Case{"dirty, ends at 2856", EFS_BM_STATE_DIRTY, true, 2856, false},
                         Case{"dirty, ends at 2857", EFS_BM_STATE_DIRTY, true, 2857, true},
                         Case{"unknown, reads dirty", EFS_BM_STATE_UNKNOWN, true, 3000, true},
                         Case{"unknown, reads blank", EFS_BM_STATE_UNKNOWN, false, 3000, false},
                         Case{"known erased", EFS_BM_STATE_ERASED, false, 4000, false}}) {
        SCOPED_TRACE(c.name);
        reset();
        mount(layout(100), [&](EfsImage& im) {
            if (c.next_dirty) im.at(4096 + 3000)[0] = 0;
        });
        // A used spare for task two to erase.
        const std::vector<uint8_t> data(10, 1);
        ASSERT_EQ(EFS_write(0, 0, 10, data.data()), 0);
        efs_ctx.next_bm_state = c.state;
        efs_ctx.bme_offset = c.newest_end - dorv::efs::bme_size();
        efs_ctx.status_scanned = 0;
        FaultFlash flash;
        ScopedMedium scoped(medium(), flash);
        ASSERT_EQ(EFS_idle_reclaim(), 0);
        if (c.pre_erase) {
            ASSERT_EQ(flash.log().size(), 2u);
            EXPECT_EQ(flash.log()[0].offset, 4096u + 12);
            EXPECT_EQ(flash.log()[0].bytes, std::vector<uint8_t>(4, 0));
            EXPECT_EQ(flash.log()[1].kind, FlashOp::Kind::erase);
            EXPECT_EQ(flash.log()[1].offset, 4096u);
            EXPECT_EQ(efs_ctx.next_bm_state, EFS_BM_STATE_ERASED);
            EXPECT_EQ(efs_ctx.status_scanned, 0) << "and nothing else";
            EXPECT_TRUE(std::all_of(image_.at(4096), image_.at(8192), [](uint8_t b) { return b == 0xFF; }));
        } else {
            EXPECT_EQ(efs_ctx.status_scanned, 1);
            EXPECT_EQ(+efs_ctx.free_count, 3u) << "the used spare was erased";
            ASSERT_FALSE(flash.log().empty());
            EXPECT_GE(flash.log()[0].offset, 2u * 4096) << "no BM block touched";
            if (c.state == EFS_BM_STATE_UNKNOWN) {
                EXPECT_EQ(efs_ctx.next_bm_state, EFS_BM_STATE_ERASED);
            }
        }
    }
}

TEST_F(EfsWear, IdleWithEverySpareFreeErasesNothingAndOneBmBlockIsNeverErased) {
    mount(layout(100));
    {
        FaultFlash flash;
        ScopedMedium scoped(medium(), flash);
        ASSERT_EQ(EFS_idle_reclaim(), 0);
        EXPECT_EQ(efs_ctx.status_scanned, 1);
        EXPECT_TRUE(flash.log().empty());
    }
    // With a single BM block there is no next block to prepare: the only
    // one holds the state.
    reset();
    mount(layout(100, 1));
    const std::vector<uint8_t> data(10, 1);
    ASSERT_EQ(EFS_write(0, 0, 10, data.data()), 0);
    efs_ctx.bme_offset = 4000;
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    ASSERT_EQ(EFS_idle_reclaim(), 0);
    for (const FlashOp& op : flash.log()) EXPECT_GE(op.offset, 4096u);
    EXPECT_EQ(+efs_ctx.free_count, 3u);
    ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, data);
}

// With one BM block filled to its last record slot, a write, a delete and a
// wear move answer 5 before they copy any block into a spare for a commit
// that cannot land. The delete of a file already empty needs no commit and
// answers 2 there, not 5, when no wear move is due.
TEST_F(EfsWear, ACommitThatCannotLandIsRefusedBeforeAnyCopy) {
    mount(layout(0, 1), [](EfsImage& im) {
        for (uint32_t k = 1; 16 + (k + 1) * im.r() <= 4095; ++k) {
            im.bme(0, k, im.identity_valid(), im.identity_spare());
        }
        // File 1 holds three bytes, so that deleting it needs a commit.
        std::vector<uint8_t> payload(4076, 0xFF);
        const uint8_t record[7] = {3, 0, 0, 0, 'a', 'b', 'c'};
        const uint16_t crc = dorv::test::ref_crc16(dorv::test::ref_crc16(3, record, 2), record + 4, 3);
        std::copy(record, record + 7, payload.begin());
        payload[2] = static_cast<uint8_t>(crc);
        payload[3] = static_cast<uint8_t>(crc >> 8);
        im.payload(3, payload);
    });
    uint32_t size = 0;
    ASSERT_EQ(EFS_get_file_size(1, &size), 0);
    ASSERT_EQ(size, 3u);
    const auto before = image_.bytes;
    const std::vector<uint8_t> data(10, 7);
    // A wear move is due (threshold 0) and cannot land: writes and deletes
    // answer its 5 before they look at the file.
    EXPECT_EQ(EFS_write(0, 0, 10, data.data()), 5);
    EXPECT_EQ(EFS_delete(1), 5);
    EXPECT_EQ(EFS_delete(0), 5);
    EXPECT_EQ(EFS_idle_reclaim(), 5);
    // No move due: their own commits are refused, an empty file needs none.
    g_efs_wear_leveling_threshold = 100;
    EXPECT_EQ(EFS_write(0, 0, 10, data.data()), 5);
    EXPECT_EQ(EFS_delete(1), 5);
    EXPECT_EQ(EFS_delete(0), 2);
    EXPECT_EQ(image_.bytes, before);
}

}  // namespace
