// Data blocks: the status scan and its repair, spare selection, block erase,
// and the copy-on-write swap that changes nothing until a commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
using dorv::test::ref_crc32;
using dorv::test::ScopedMedium;

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

class EfsDataBlocks : public dorv::test::EfsMountedTest {
protected:
    uint32_t header_count(uint32_t physical) { return le32(image_.at(image_.data_offset(physical))); }
};

TEST_F(EfsDataBlocks, ScanFindsCountsAndStatusAndRepairsOneBadSpare) {
    struct Case {
        const char* name;
        std::function<void(EfsImage&)> change;
        int result;
        std::vector<uint8_t> status;  // per spare slot
        uint32_t repaired_count;      // header count of spare slot 0's block after the scan
    };
    const std::vector<Case> cases = {
        {"fresh format", nullptr, 0, {2, 2, 2}, 1},
        {"one byte in a spare's payload", [](EfsImage& im) { im.at(im.data_offset(8) + 3000)[0] = 0; }, 0, {2, 1, 2}, 1},
        {"one byte in a spare's footer", [](EfsImage& im) { im.at(im.data_offset(9) + 4095)[0] = 0xFE; }, 0, {2, 2, 1}, 1},
        {"one bad spare gets the average", [](EfsImage& im) {
             for (uint32_t p = 0; p < 10; ++p) im.data_header(p, 10 + p);  // others: 10..16, 18, 19
             im.at(im.data_offset(7) + 12)[0] = 0;
         }, 0, {2, 2, 2}, (10 + 11 + 12 + 13 + 14 + 15 + 16 + 18 + 19) / 9},
        {"two bad spares", [](EfsImage& im) { im.at(im.data_offset(7) + 1)[0] ^= 1; im.at(im.data_offset(9) + 1)[0] ^= 1; },
         41, {}, 0},
        {"a mapped block without header", [](EfsImage& im) { im.at(im.data_offset(3) + 1)[0] ^= 1; }, 41, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset();
        mount(dorv::test::efs_row(2, 7, 3), c.change);
        ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), c.result);
        if (c.result != 0) {
            EXPECT_EQ(efs_ctx.status_scanned, 0);
            continue;
        }
        EXPECT_EQ(efs_ctx.status_scanned, 1);
        EXPECT_EQ(std::vector<uint8_t>(efs_ctx.spare_status, efs_ctx.spare_status + 3), c.status);
        EXPECT_EQ(+efs_ctx.free_count, static_cast<uint32_t>(std::count(c.status.begin(), c.status.end(), 2)));
        EXPECT_EQ(header_count(7), c.repaired_count);
        EXPECT_EQ(efs_ctx.erase_counts[7], c.repaired_count);
        for (uint32_t p = 0; p < 10; ++p) EXPECT_EQ(efs_ctx.erase_counts[p], header_count(p)) << p;
    }
    // A single data block has nothing to average: the repaired count is 0.
    reset();
    mount(dorv::test::efs_row(2, 0, 1), [](EfsImage& im) { im.at(im.data_offset(0) + 12)[0] = 0; });
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
    EXPECT_EQ(header_count(0), 0u);
    EXPECT_EQ(efs_ctx.spare_status[0], EFS_SPARE_FREE);
}

TEST_F(EfsDataBlocks, EraseKillsTheHeaderThenReheadersWithOneMore) {
    mount(dorv::test::efs_row(2, 7, 3));
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    efs_ctx.status_scanned = 1;
    ASSERT_EQ(EFS_erase_data_block(8, 5), 0);
    ASSERT_EQ(flash.log().size(), 3u);
    const uint32_t at = image_.data_offset(8);
    EXPECT_EQ(flash.log()[0].offset, at + 12);
    EXPECT_EQ(flash.log()[0].bytes, std::vector<uint8_t>(4, 0));
    EXPECT_EQ(flash.log()[1].kind, FlashOp::Kind::erase);
    EXPECT_EQ(flash.log()[1].offset, at);
    EXPECT_EQ(flash.log()[2].offset, at);
    EXPECT_EQ(header_count(8), 6u);
    EXPECT_EQ(le32(image_.at(at + 12)), ref_crc32(0, image_.at(at), 12));
    EXPECT_EQ(efs_ctx.status_scanned, 1);
    // The zeros never read back: 41, the scan must run again.
    flash.on_read = [](uint32_t, uint8_t* dst, uint32_t length) { std::memset(dst, 0x55, length); };
    EXPECT_EQ(EFS_erase_data_block(8, 6), 41);
    EXPECT_EQ(efs_ctx.status_scanned, 0);
    flash.on_read = nullptr;
    // Blocks outside the data area, even where (B + p) * 4096 would wrap.
    flash.clear_log();
    const std::vector<uint8_t> payload(4076, 1);
    for (uint32_t p : {10u, 0xFFFFFFFFu, 0x100000u - 2}) {
        EXPECT_EQ(EFS_erase_data_block(p, 0), 22);
        EXPECT_EQ(EFS_write_data_footer(p, payload.data()), 22);
        EXPECT_EQ(EFS_write_data_block(p, payload.data()), 22);
    }
    EXPECT_TRUE(flash.log().empty());
}

// The exported block calls refuse (22) a block the mounted file system maps:
// an erase there would lose a file at once, and a payload written over a
// block of no file (all 0xFF) would leave a footer that fails every later
// write.
TEST_F(EfsDataBlocks, BlocksThatHoldFilesAreRefusedWhileMounted) {
    mount(dorv::test::efs_row(2, 7, 3, {{0, 0, 0, 100}}));
    const std::vector<uint8_t> payload(4076, 0x5A);
    const auto before = image_.bytes;
    EXPECT_EQ(EFS_erase_data_block(efs_ctx.valid_map[0], 1), 22);
    EXPECT_EQ(EFS_write_data_block(efs_ctx.valid_map[6], payload.data()), 22);
    EXPECT_EQ(EFS_write_data_footer(efs_ctx.valid_map[6], payload.data()), 22);
    EXPECT_EQ(image_.bytes, before);
    EXPECT_EQ(EFS_erase_data_block(efs_ctx.spare_map[0], 1), 0);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(EFS_write(0, 0, sizeof data, data), 0);
}

// A block call on a block that runs past the end of the caller's buffer
// answers 22 before it stores anything: no zeroed header CRC, no payload
// bytes land ahead of the refusal.
TEST_F(EfsDataBlocks, ABlockRunningPastTheBufferIsRefusedUntouched) {
    const EfsLayoutRow small = dorv::test::efs_row(2, 3, 2);
    std::vector<uint8_t> buffer = EfsImage::formatted(small).bytes;
    buffer.resize(buffer.size() + 4092, 0xFF);  // ends before the footer of block 7
    ASSERT_EQ(dorv::test::load_efs_layout(small), 0);
    ASSERT_EQ(efs_mount_image(buffer.data(), static_cast<uint32_t>(buffer.size())), 0);
    const auto before = buffer;
    const std::vector<uint8_t> payload(4076, 0x11);
    // Layouts reaching block 7; the flash layer takes each one's size.
    ASSERT_EQ(dorv::test::load_efs_layout(dorv::test::efs_row(2, 3, 3)), 0);  // data block 5 is block 7
    ASSERT_EQ(EFS_physical_init(0), 0);
    EXPECT_EQ(EFS_erase_data_block(5, 0), 22);
    EXPECT_EQ(EFS_write_data_block(5, payload.data()), 22);
    ASSERT_EQ(dorv::test::load_efs_layout(dorv::test::efs_row(8, 3, 2)), 0);
    ASSERT_EQ(EFS_physical_init(0), 0);
    EXPECT_EQ(EFS_erase_next_BM(7), 22);
    EXPECT_EQ(buffer, before);
}

// A spare written through the exported calls while mounted is no longer free
// to the mount, so the next file write takes another one; counted free, it
// would be chosen and fail its blank check (41).
TEST_F(EfsDataBlocks, ASpareWrittenFromOutsideIsNoLongerFree) {
    mount(dorv::test::efs_row(2, 3, 3, {{0, 0, 0, 100}}, 1));
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
    const std::vector<uint8_t> payload(4076, 0x11);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    ASSERT_EQ(EFS_write_data_block(3, payload.data()), 0);                                 // slot 0
    ASSERT_EQ(EFS_write_with_read_check(image_.data_offset(4) + 100, 4, bytes, 1), 0);  // slot 1
    EXPECT_EQ(+efs_ctx.free_count, 1u);
    const std::vector<uint8_t> data(10, 0x22);
    EXPECT_EQ(EFS_write(0, 0, 10, data.data()), 0);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, data);
}

// A verified write marks a spare used only once it has stored into it: one
// refused by the range check (22) or by the blank check (41) leaves every
// spare free.
TEST_F(EfsDataBlocks, AVerifiedWriteThatStoresNothingLeavesTheSparesFree) {
    mount(dorv::test::efs_row(2, 3, 2, {{0, 0, 0, 100}}, 1));
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
    const auto before = image_.bytes;
    const std::vector<uint8_t> data(4096, 0x11);
    EXPECT_EQ(EFS_write_with_read_check(image_.data_offset(4) + 100, 4096, data.data(), 1), 22);  // past the end
    EXPECT_EQ(EFS_write_with_read_check(image_.data_offset(3), 16, data.data(), 1), 41);  // a spare's header
    EXPECT_EQ(image_.bytes, before);
    EXPECT_EQ(+efs_ctx.free_count, 2u);
    EXPECT_EQ(efs_ctx.spare_status[0], EFS_SPARE_FREE);
    EXPECT_EQ(efs_ctx.spare_status[1], EFS_SPARE_FREE);
}

TEST_F(EfsDataBlocks, SwapWritesTheLowestCountFreeSpareAndChangesNothingUntilTheCommit) {
    mount(dorv::test::efs_row(2, 7, 3), [](EfsImage& im) {
        im.data_header(7, 9).data_header(8, 4).data_header(9, 4);  // slots 1 and 2 tie
    });
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
    int slot = -1;
    EXPECT_EQ(EFS_select_free_page_for_write(nullptr), 22);
    ASSERT_EQ(EFS_select_free_page_for_write(&slot), 0);
    EXPECT_EQ(slot, 1);
    const std::vector<uint8_t> committed_valid(efs_ctx.valid_map, efs_ctx.valid_map + 7);
    std::vector<uint8_t> valid = committed_valid, spare(efs_ctx.spare_map, efs_ctx.spare_map + 3);
    efs_bme_t e{valid.data(), spare.data(), 0, 0, 0};
    std::vector<uint8_t> payload(4076, 0xA5);
    EXPECT_EQ(EFS_bme_swap_and_write_new_block(&e, 7, payload.data()), 22);
    EXPECT_EQ(EFS_bme_swap_and_write_new_block(nullptr, 2, payload.data()), 22);
    EXPECT_EQ(EFS_bme_swap_and_write_new_block(&e, 2, nullptr), 22);
    ASSERT_EQ(EFS_bme_swap_and_write_new_block(&e, 2, payload.data()), 0);
    EXPECT_EQ(valid[2], 8);
    EXPECT_EQ(spare[1], 2);
    EXPECT_EQ(efs_ctx.spare_status[1], EFS_SPARE_DIRTY);
    EXPECT_EQ(+efs_ctx.free_count, 2u);
    EXPECT_TRUE(std::equal(committed_valid.begin(), committed_valid.end(), efs_ctx.valid_map));
    EXPECT_EQ(efs_ctx.spare_map[1], 8);
    EXPECT_EQ(header_count(8), 4u);
    const uint32_t at = image_.data_offset(8);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image_.at(at + 16)));
    EXPECT_EQ(le32(image_.at(at + 4092)), ref_crc32(0, payload.data(), 4076));
    ASSERT_EQ(EFS_commit_BME(&e, 0, 0), 0);
    EXPECT_EQ(efs_ctx.valid_map[2], 8);
    EXPECT_EQ(efs_ctx.spare_map[1], 2);
    // The old block is a used spare now; erasing it frees the slot.
    ASSERT_EQ(EFS_erase_dirty_block(), 0);
    EXPECT_EQ(efs_ctx.spare_status[1], EFS_SPARE_FREE);
    EXPECT_EQ(efs_ctx.erase_counts[2], 2u);
    EXPECT_EQ(header_count(2), 2u);
}

TEST_F(EfsDataBlocks, NoFreeOrNoDirtySpareAnswers28AndWritesNothing) {
    for (uint32_t spares : {2u, 0u}) {
        SCOPED_TRACE(spares);
        reset();
        mount(dorv::test::efs_row(2, 3, spares));
        ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
        FaultFlash flash;
        ScopedMedium scoped(medium(), flash);
        EXPECT_EQ(EFS_erase_dirty_block(), 28);  // every spare is free (or there is none)
        for (uint32_t s = 0; s < spares; ++s) efs_ctx.spare_status[s] = EFS_SPARE_DIRTY;
        efs_ctx.free_count = 0;
        std::vector<uint8_t> valid(efs_ctx.valid_map, efs_ctx.valid_map + 3), spare(spares + 1);
        std::copy(efs_ctx.spare_map, efs_ctx.spare_map + spares, spare.begin());
        efs_bme_t e{valid.data(), spare.data(), 0, 0, 0};
        const std::vector<uint8_t> payload(4076, 0);
        int slot = -1;
        EXPECT_EQ(EFS_select_free_page_for_write(&slot), 28);
        EXPECT_EQ(slot, -1);
        EXPECT_EQ(EFS_bme_swap_and_write_new_block(&e, 0, payload.data()), 28);
        EXPECT_TRUE(flash.log().empty());
        EXPECT_EQ(+efs_ctx.free_count, 0u);
    }
    reset();
    EXPECT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 1);  // not mounted: no tables to touch
    EXPECT_EQ(EFS_erase_dirty_block(), 1);
    // Not mounted, the choice of a free slot answers 1, not 28 ("no free
    // spare"), and leaves the slot alone.
    int slot = -1;
    EXPECT_EQ(EFS_select_free_page_for_write(&slot), 1);
    EXPECT_EQ(slot, -1);
}

}  // namespace
