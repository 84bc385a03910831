// Block manager: record slots, switches, retirement, the erase order and the marker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "support/efs_fixture.h"

namespace {

using dorv::test::EfsImage;
using dorv::test::EfsLayoutRow;
using dorv::test::FaultFlash;
using dorv::test::FlashOp;
using dorv::test::read_efs_state;
using dorv::test::ScopedMedium;

class EfsBlockManager : public dorv::test::EfsTest {
protected:
    void start(uint32_t b, uint32_t v, uint32_t s) {
        row_ = dorv::test::efs_row(b, v, s);
        image_ = EfsImage::formatted(row_);
        adopt(row_, image_.bytes);
        set_mounted(image_.bytes, row_);
        valid_.assign(efs_ctx.valid_map, efs_ctx.valid_map + v);
        spare_.assign(efs_ctx.spare_map, efs_ctx.spare_map + s);
    }
    // An entry that trades logical block 0 with spare slot 0 of the committed maps.
    efs_bme_t next_entry() {
        valid_.assign(efs_ctx.valid_map, efs_ctx.valid_map + row_.valid_block_num);
        spare_.assign(efs_ctx.spare_map, efs_ctx.spare_map + row_.non_valid_block_num);
        std::swap(valid_[0], spare_[0]);
        // The switch takes an entry whose CRC is set already.
        std::vector<uint8_t> bytes = valid_;
        bytes.insert(bytes.end(), spare_.begin(), spare_.end());
        bytes.resize(bytes.size() + 8, 0);
        return efs_bme_t{valid_.data(), spare_.data(), 0, 0,
                         dorv::test::ref_crc32(0, bytes.data(), bytes.size())};
    }
    // The committed state agrees with what the image says a mount finds.
    void expect_image_matches_context() {
        const auto view = read_efs_state(image_.bytes, row_);
        ASSERT_TRUE(view.has_value());
        EXPECT_EQ(view->bm, +efs_ctx.current_bm);
        EXPECT_EQ(view->generation, +efs_ctx.generation);
        EXPECT_EQ(view->bme_offset, +efs_ctx.bme_offset);
        EXPECT_TRUE(std::equal(view->valid.begin(), view->valid.end(), efs_ctx.valid_map));
        EXPECT_TRUE(std::equal(view->spare.begin(), view->spare.end(), efs_ctx.spare_map));
    }
    EfsLayoutRow row_;
    EfsImage image_{dorv::test::efs_row(2, 7, 3)};
    std::vector<uint8_t> valid_, spare_;
};

TEST_F(EfsBlockManager, RecordSlotsFillTheBlockThenTheCommitSwitches) {
    struct Case {
        uint32_t v, s, records, last_offset;
    };
    for (const Case c : {Case{17, 3, 127, 4048}, Case{25, 3, 101, 4016}}) {
        SCOPED_TRACE(c.v + c.s + 12);
        reset();
        start(2, c.v, c.s);
        for (uint32_t k = 1; k < c.records; ++k) {
            efs_bme_t e = next_entry();
            ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
            EXPECT_EQ(+efs_ctx.bme_offset, 16 + k * (c.v + c.s + 12));
            EXPECT_EQ(+efs_ctx.bme_crc, e.crc32);
        }
        EXPECT_EQ(+efs_ctx.bme_offset, c.last_offset);
        expect_image_matches_context();
        EXPECT_EQ(+efs_ctx.current_bm, 0u);
        // The block is full: the next commit moves to BM block 1.
        efs_bme_t e = next_entry();
        ASSERT_EQ(EFS_commit_BME(&e, 0x11, 0x22), 0);
        EXPECT_EQ(+efs_ctx.current_bm, 1u);
        EXPECT_EQ(+efs_ctx.generation, 2u);
        EXPECT_EQ(+efs_ctx.bme_offset, 16u);
        EXPECT_EQ(+efs_ctx.reserved_a, 0x11u);
        EXPECT_EQ(+efs_ctx.reserved_b, 0x22u);
        EXPECT_TRUE(std::all_of(image_.at(0), image_.at(16), [](uint8_t x) { return x == 0; }));
        expect_image_matches_context();
    }
}

TEST_F(EfsBlockManager, FailedAppendKeepsTheMapsAndForcesASwitch) {
    start(2, 7, 3);
    const std::vector<uint8_t> committed(efs_ctx.valid_map, efs_ctx.valid_map + 7);
    image_.at(16 + 22)[5] = 0;  // the next slot is not blank
    efs_bme_t e = next_entry();
    EXPECT_EQ(EFS_commit_BME(&e, 0, 0), 41);
    EXPECT_EQ(efs_ctx.force_bm_switch, 1);
    EXPECT_TRUE(std::equal(committed.begin(), committed.end(), efs_ctx.valid_map));
    EXPECT_EQ(+efs_ctx.bme_offset, 16u);
    // Room enough, but the commit switches.
    ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
    EXPECT_EQ(+efs_ctx.current_bm, 1u);
    EXPECT_EQ(efs_ctx.force_bm_switch, 0);
    expect_image_matches_context();
}

TEST_F(EfsBlockManager, SwitchReadsErasesOrTrustsTheNextBlockByItsState) {
    struct Case {
        const char* name;
        uint8_t state;
        bool next_dirty;
        bool expect_whole_read;
        bool expect_erase;
    };
    for (const Case c : {Case{"unknown, blank", EFS_BM_STATE_UNKNOWN, false, true, false},
                         Case{"unknown, dirty", EFS_BM_STATE_UNKNOWN, true, true, true},
                         Case{"known dirty", EFS_BM_STATE_DIRTY, false, false, true},
                         Case{"known erased", EFS_BM_STATE_ERASED, false, false, false}}) {
        SCOPED_TRACE(c.name);
        reset();
        start(2, 7, 3);
        if (c.next_dirty) image_.at(4096 + 2000)[0] = 0;
        efs_ctx.next_bm_state = c.state;
        FaultFlash flash;
        bool whole_read = false;
        flash.on_read = [&](uint32_t offset, uint8_t*, uint32_t length) {
            whole_read |= offset == 4096 && length == 4096;
        };
        ScopedMedium scoped(medium(), flash);
        efs_bme_t e = next_entry();
        ASSERT_EQ(EFS_switch_BM(&e), 0);
        EXPECT_EQ(whole_read, c.expect_whole_read);
        std::vector<FlashOp> expect;
        if (c.expect_erase) {
            expect.push_back({FlashOp::Kind::write, 4096 + 12, 4, {0, 0, 0, 0}});
            expect.push_back({FlashOp::Kind::erase, 4096, 4096, {}});
        }
        ASSERT_EQ(flash.log().size(), expect.size() + 3);
        for (std::size_t i = 0; i < expect.size(); ++i) {
            EXPECT_EQ(flash.log()[i].kind, expect[i].kind);
            EXPECT_EQ(flash.log()[i].offset, expect[i].offset);
            EXPECT_EQ(flash.log()[i].bytes, expect[i].bytes);
        }
        // Record, header (the commit point), then the old header retired.
        const auto& log = flash.log();
        EXPECT_EQ(log[expect.size()].offset, 4096u + 16);
        EXPECT_EQ(log[expect.size() + 1].offset, 4096u);
        EXPECT_EQ(log[expect.size() + 2].offset, 0u);
        EXPECT_EQ(log[expect.size() + 2].bytes, std::vector<uint8_t>(16, 0));
        EXPECT_EQ(efs_ctx.next_bm_state, EFS_BM_STATE_UNKNOWN);
        expect_image_matches_context();
    }
}

TEST_F(EfsBlockManager, RefusalsWriteNothing) {
    start(2, 7, 3);
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    efs_bme_t e = next_entry();
    efs_ctx.generation = 0xFFFFFFFFu;
    EXPECT_EQ(EFS_switch_BM(&e), 5);
    efs_ctx.generation = 1;
    EXPECT_EQ(EFS_commit_BME(nullptr, 0, 0), 22);
    EXPECT_EQ(EFS_erase_next_BM(0), 22);        // the current block
    EXPECT_EQ(EFS_check_next_BM_state(0), 22);  // the current block
    EXPECT_EQ(EFS_erase_next_BM(2), 22);
    EXPECT_EQ(EFS_check_next_BM_state(2), 22);
    efs_ctx.mounted = 0;
    EXPECT_EQ(EFS_commit_BME(&e, 0, 0), 1);
    EXPECT_EQ(EFS_switch_BM(&e), 1);
    EXPECT_TRUE(flash.log().empty());
    // One BM block: a switch would erase the only one.
    reset();
    start(1, 7, 3);
    efs_bme_t one = next_entry();
    efs_ctx.force_bm_switch = 1;
    EXPECT_EQ(EFS_commit_BME(&one, 0, 0), 5);
    EXPECT_TRUE(flash.log().empty());
    expect_image_matches_context();
}

TEST_F(EfsBlockManager, NextBlockStateAndItsErase) {
    start(2, 7, 3);
    EXPECT_EQ(EFS_check_next_BM_state(1), 0);
    EXPECT_EQ(efs_ctx.next_bm_state, EFS_BM_STATE_ERASED);
    image_.at(4096 + 4095)[0] = 0;
    EXPECT_EQ(EFS_check_next_BM_state(1), 0);
    EXPECT_EQ(efs_ctx.next_bm_state, EFS_BM_STATE_DIRTY);
    EXPECT_EQ(EFS_erase_next_BM(1), 0);
    EXPECT_EQ(efs_ctx.next_bm_state, EFS_BM_STATE_UNKNOWN);
    EXPECT_EQ(image_.at(4096 + 4095)[0], 0xFF);
    efs_ctx.retry_count = 0;  // no read can show it blank
    EXPECT_EQ(EFS_check_next_BM_state(1), 0);
    EXPECT_EQ(efs_ctx.next_bm_state, EFS_BM_STATE_DIRTY);
}

TEST_F(EfsBlockManager, EraseKillsEachHeaderFirstAndTheCurrentBlockLast) {
    start(3, 7, 3);
    // Make BM block 1 current.
    efs_ctx.force_bm_switch = 1;
    efs_bme_t e = next_entry();
    ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
    ASSERT_EQ(+efs_ctx.current_bm, 1u);
    const std::vector<uint8_t> data(image_.bytes.begin() + 3 * 4096, image_.bytes.end());
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    ASSERT_EQ(EFS_erase(), 0);
    const uint32_t order[] = {0, 2, 1};
    ASSERT_EQ(flash.log().size(), 6u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(flash.log()[2 * i].kind, FlashOp::Kind::write);
        EXPECT_EQ(flash.log()[2 * i].offset, order[i] * 4096 + 12);
        EXPECT_EQ(flash.log()[2 * i].bytes, std::vector<uint8_t>(4, 0));
        EXPECT_EQ(flash.log()[2 * i + 1].kind, FlashOp::Kind::erase);
        EXPECT_EQ(flash.log()[2 * i + 1].offset, order[i] * 4096);
    }
    EXPECT_EQ(efs_ctx.mounted, 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image_.bytes.begin() + 3 * 4096));
    EXPECT_FALSE(read_efs_state(image_.bytes, row_).has_value());
    // Unmounted: every BM block in order; no image answers 1.
    flash.clear_log();
    ASSERT_EQ(EFS_erase(), 0);
    ASSERT_EQ(flash.log().size(), 6u);
    EXPECT_EQ(flash.log()[5].offset, 2u * 4096);
    efs_image = nullptr;
    EXPECT_EQ(EFS_erase(), 1);
    EXPECT_EQ(EFS_write_RTFD_marker(), 1);
}

TEST_F(EfsBlockManager, MarkerOverwritesTheFirstHeader) {
    start(2, 7, 3);
    efs_bme_t e = next_entry();
    ASSERT_EQ(EFS_write_RTFD_marker(), 0);
    EXPECT_EQ(std::memcmp(image_.at(0), "RDFS", 4), 0);
    EXPECT_FALSE(read_efs_state(image_.bytes, row_).has_value());
    // The mount went with the header: a commit would land where no mount looks.
    EXPECT_EQ(EFS_commit_BME(&e, 0, 0), 1);
}

// An unmount by erase, marker or format keeps the retry count the mount set,
// so the verified calls go on working; with a count of 0 they would answer
// 41 and write nothing until the next mount.
TEST_F(EfsBlockManager, AnUnmountKeepsTheRetryCountOfTheMount) {
    row_ = dorv::test::efs_row(2, 7, 3);
    const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (int (*unmount)() : {&EFS_erase, &EFS_write_RTFD_marker, &EFS_do_format}) {
        image_ = EfsImage::formatted(row_);
        ASSERT_EQ(dorv::test::load_efs_layout(row_), 0);
        ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
        ASSERT_EQ(unmount(), 0);
        EXPECT_EQ(EFS_is_initialized(), 0);
        const uint32_t at = image_.data_offset(8) + 16;  // a blank spare payload
        EXPECT_EQ(EFS_write_with_read_check(at, sizeof data, data, 1), 0);
        EXPECT_EQ(std::memcmp(image_.at(at), data, sizeof data), 0);
    }
}

// Commit, switch and swap refuse, untouched, caller maps that a mount would
// refuse: adopted, an entry past V + S would overrun erase_counts in wear
// levelling and a block mapped twice would lose the file system.
TEST_F(EfsBlockManager, EntriesWhoseMapsAreNotAPermutationAreRefusedUntouched) {
    start(2, 7, 3);
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
    const auto before = image_.bytes;
    const std::vector<uint8_t> payload(4076, 0x11);
    for (const auto& [at, value] : {std::pair{2u, 200u}, std::pair{2u, 5u}, std::pair{8u, 10u}, std::pair{9u, 0u}}) {
        SCOPED_TRACE(testing::Message() << at << "=" << value);
        efs_bme_t e = next_entry();
        (at < 7 ? valid_[at] : spare_[at - 7]) = static_cast<uint8_t>(value);
        EXPECT_EQ(EFS_commit_BME(&e, 0, 0), 22);
        EXPECT_EQ(EFS_switch_BM(&e), 22);
        EXPECT_EQ(EFS_bme_swap_and_write_new_block(&e, 1, payload.data()), 22);
    }
    // A permutation whose free slot names another block than the committed
    // one: the swap would write over live block 5, whose payload reads blank.
    valid_.assign(efs_ctx.valid_map, efs_ctx.valid_map + 7);
    spare_.assign(efs_ctx.spare_map, efs_ctx.spare_map + 3);
    std::swap(valid_[5], spare_[0]);
    efs_bme_t e{valid_.data(), spare_.data(), 0, 0, 0};
    EXPECT_EQ(EFS_bme_swap_and_write_new_block(&e, 1, payload.data()), 22);
    EXPECT_EQ(image_.bytes, before);
    EXPECT_EQ(+efs_ctx.free_count, 3u);
    expect_image_matches_context();
}

// The switch refuses an entry whose CRC does not match its bytes: written as
// given, it would retire the old block for a record no mount takes.
TEST_F(EfsBlockManager, SwitchRefusesAnEntryWhoseCrcDoesNotMatch) {
    start(2, 7, 3);
    const auto before = image_.bytes;
    efs_bme_t e = next_entry();
    const uint32_t crc = e.crc32;
    e.crc32 = 0;
    EXPECT_EQ(EFS_switch_BM(&e), 22);
    EXPECT_EQ(image_.bytes, before);
    e.crc32 = crc;
    ASSERT_EQ(EFS_switch_BM(&e), 0);
    expect_image_matches_context();
    EXPECT_EQ(+efs_ctx.current_bm, 1u);
}

// With no logical blocks (a null valid map) the commit still lands, without
// reading from the null map.
TEST_F(EfsBlockManager, AnEmptyValidMapCommits) {
    row_ = dorv::test::efs_row(2, 0, 3);
    image_ = EfsImage::formatted(row_);
    ASSERT_EQ(dorv::test::load_efs_layout(row_), 0);
    ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
    spare_ = {2, 0, 1};
    efs_bme_t e{nullptr, spare_.data(), 0, 0, 0};
    ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
    efs_ctx.force_bm_switch = 1;
    ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
    expect_image_matches_context();
}

// A committed spare slot that names another block is no longer known free:
// before, the next write chose it and failed its blank check with 41.
TEST_F(EfsBlockManager, ASpareSlotThatChangesBlockIsNoLongerFree) {
    row_ = dorv::test::efs_row(2, 7, 3, {{0, 0, 0, 100}});
    image_ = EfsImage::formatted(row_);
    ASSERT_EQ(dorv::test::load_efs_layout(row_), 0);
    ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
    valid_.assign(efs_ctx.valid_map, efs_ctx.valid_map + 7);
    spare_.assign(efs_ctx.spare_map, efs_ctx.spare_map + 3);
    std::swap(valid_[6], spare_[0]);  // block 6 (written) becomes spare slot 0
    efs_bme_t e{valid_.data(), spare_.data(), 0, 0, 0};
    ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
    EXPECT_EQ(efs_ctx.spare_status[0], EFS_SPARE_DIRTY);
    const uint8_t data[3] = {9, 8, 7};
    ASSERT_EQ(EFS_write(0, 0, sizeof data, data), 0);
    ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
    uint8_t out[3] = {};
    uint32_t length = sizeof out;
    ASSERT_EQ(EFS_read(0, 0, &length, out), 0);
    EXPECT_EQ(std::memcmp(out, data, sizeof data), 0);
}

}  // namespace
