// Page operations and allocation on image bytes: the exact writes of a
// metadata and a data page, checked reads, runs across a unit boundary, the
// allocation window, and the unsound cases (unit without record, full
// metadata unit, no metadata unit, window past the chunks).
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "afs/afs_ftl.h"
#include "afs/afs_state.h"
#include "common/le_bytes.h"
#include "support/afs_ftl_rig.h"
#include "support/flash_harness.h"

namespace {

using dorv::test::AfsFtlRig;
using dorv::test::FaultFlash;
using dorv::test::FlashOp;
using dorv::test::ScopedMedium;
using Page = std::array<uint8_t, 64>;

Page fill(uint8_t seed) {
    Page p;
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(seed + 5 * i);
    return p;
}

uint16_t chained(uint16_t chain, uint16_t page) {
    uint8_t c[2];
    dorv::le::store16(c, chain);
    return static_cast<uint16_t>(crc14(c, 2) ^ page);
}

class AfsFtlPages : public ::testing::Test {
protected:
    void SetUp() override { dorv::afs::reset_module_state(); }
    void TearDown() override { dorv::afs::reset_module_state(); }
    FaultFlash flash;
};

TEST_F(AfsFtlPages, MetadataWriteIsEntryRecordEndMarkOnFlash) {
    AfsFtlRig rig(5, 40, 2);  // metadata units 0-1, data 2-3, spare 4
    ASSERT_EQ(rig.format(), 0u);
    ScopedMedium scoped(dorv::afs::module_state().medium, flash);
    const Page a = fill(1), b = fill(2);
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 3 * 64 + 17, 64, a.data(), 0), 0u);  // any address in the page
    ASSERT_EQ(flash.log().size(), 3u);
    EXPECT_EQ(flash.log()[0].offset, 18u);
    EXPECT_EQ(flash.log()[0].length, 2u);
    EXPECT_EQ(flash.log()[1].offset, 260u);
    EXPECT_EQ(flash.log()[1].length, 66u);
    EXPECT_EQ(flash.log()[2].offset, 21u);
    EXPECT_EQ(flash.log()[2].bytes, std::vector<uint8_t>{0x7F});
    const uint8_t* u0 = rig.image.data();
    EXPECT_EQ(dorv::le::load16(u0 + 18), chained(0, 3));
    EXPECT_EQ(dorv::le::load16(u0 + 20), 0x7FFFu);
    EXPECT_EQ(std::memcmp(u0 + 260, a.data(), 64), 0);
    uint16_t seed = 3;
    EXPECT_EQ(dorv::le::load16(u0 + 324), crc16(a.data(), 64, &seed));
    // The next write commits through entry 1 and chains from page 3.
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 5 * 64, 64, b.data(), 0), 0u);
    EXPECT_EQ(dorv::le::load16(u0 + 20), chained(3, 5));
    EXPECT_EQ(dorv::le::load16(u0 + 22), 0x7FFFu);
    EXPECT_EQ(rig.st().next_meta_slot, 2u);
    EXPECT_EQ(rig.st().eu_info[0].not_valid, 118);
    EXPECT_EQ(rig.st().eu_info[0].free, 0);
    // A rewrite obsoletes the first copy; unwritten pages read as zeros.
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 3 * 64, 64, b.data(), 0), 0u);
    EXPECT_EQ(rig.st().eu_info[0].not_valid, 118);
    Page got;
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 3 * 64, 64, got.data(), 0), 0u);
    EXPECT_EQ(got, b);
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 4 * 64, 64, got.data(), 0), 0u);
    EXPECT_EQ(got, Page{});
    // A trimmed metadata page reads as zeros and its copy counts as not valid.
    ASSERT_EQ(afs_physical_ftl_trim_page(&rig.ctx, 5 * 64, 64, 0), 0u);
    EXPECT_EQ(rig.st().eu_info[0].not_valid, 119);
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 5 * 64, 64, got.data(), 0), 0u);
    EXPECT_EQ(got, Page{});
}

TEST_F(AfsFtlPages, DataPageLifeCycleOnStatusBytes) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    const uint32_t unit = 2 * 8192;  // data unit of pages 0-121 (id 40)
    ASSERT_EQ(rig.st().eu_info[2].id, 40);
    const Page a = fill(9);
    {
        ScopedMedium scoped(dorv::afs::module_state().medium, flash);
        ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(5), 64, a.data(), 0), 0u);
        ASSERT_EQ(flash.log().size(), 3u);
        EXPECT_EQ(flash.log()[0].offset, unit + 18 + 5);
        EXPECT_EQ(flash.log()[0].bytes, std::vector<uint8_t>{0x7F});
        EXPECT_EQ(flash.log()[1].offset, unit + 140 + 5 * 66);
        EXPECT_EQ(flash.log()[2].bytes, std::vector<uint8_t>{0x00});
        // A written slot is never written again.
        EXPECT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(5), 64, a.data(), 0), 5u);
        EXPECT_EQ(flash.log().size(), 3u);
    }
    EXPECT_EQ(rig.image[unit + 18 + 5], 0x00);
    uint16_t seed = 45;
    EXPECT_EQ(dorv::le::load16(&rig.image[unit + 140 + 5 * 66 + 64]), crc16(a.data(), 64, &seed));
    EXPECT_TRUE(rig.bit(5));
    EXPECT_EQ(rig.st().eu_info[2].free, 121);
    EXPECT_EQ(rig.st().eu_info[2].not_valid, 121);
    // Trim: the bit clears, the page reads as zeros, the slot stays written.
    ASSERT_EQ(afs_physical_ftl_trim_page(&rig.ctx, rig.data_address(5), 64, 0), 0u);
    EXPECT_FALSE(rig.bit(5));
    EXPECT_EQ(rig.st().eu_info[2].not_valid, 122);
    Page got;
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, rig.data_address(5), 64, got.data(), 0), 0u);
    EXPECT_EQ(got, Page{});
    // Read-only: the record is read and checked whatever the bitmap says.
    rig.ctx.read_only = 1;
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, rig.data_address(5), 64, got.data(), 0), 0u);
    EXPECT_EQ(got, a);
    EXPECT_EQ(afs_physical_ftl_read_page(&rig.ctx, rig.data_address(6), 64, got.data(), 0), 5u);  // erased record
    rig.ctx.read_only = 0;
    // The rebuild counts the written-but-free slot as neither free nor live.
    ASSERT_EQ(afs_physical_ftl_set_allocation_map(&rig.ctx), 0u);
    EXPECT_EQ(rig.st().eu_info[2].free, 121);
    EXPECT_EQ(rig.st().eu_info[2].not_valid, 122);
    // A page the chains use but whose slot is not written fails the rebuild.
    rig.bitmap[0] |= 1u << 7;
    EXPECT_EQ(afs_physical_ftl_set_allocation_map(&rig.ctx), 5u);
}

// A run of data pages: per unit one write each of the begun marks, the
// records and the written marks, leaving the bytes single page writes leave;
// a slot already written makes its unit go page by page and fail there.
TEST_F(AfsFtlPages, RunWriteMovesEachUnitInThreeWrites) {
    AfsFtlRig rig(5, 40, 2);  // data units 2 (pages 0-121) and 3 (122-243)
    ASSERT_EQ(rig.format(), 0u);
    std::vector<uint8_t> pages(10 * 64);
    for (std::size_t i = 0; i < pages.size(); ++i) pages[i] = static_cast<uint8_t>(i * 13 + 1);
    {
        ScopedMedium scoped(dorv::afs::module_state().medium, flash);
        ASSERT_EQ(dorv::afs::ftl_write_data_run(&rig.ctx, rig.data_address(118), 10, pages.data()), 0u);
        const uint32_t u2 = 2 * 8192, u3 = 3 * 8192;
        const std::pair<uint32_t, uint32_t> want[] = {{u2 + 18 + 118, 4}, {u2 + 140 + 118 * 66, 4 * 66},
                                                      {u2 + 18 + 118, 4}, {u3 + 18, 6},
                                                      {u3 + 140, 6 * 66}, {u3 + 18, 6}};
        ASSERT_EQ(flash.log().size(), 6u);
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(flash.log()[i].offset, want[i].first) << i;
            EXPECT_EQ(flash.log()[i].length, want[i].second) << i;
        }
        EXPECT_EQ(flash.log()[0].bytes, std::vector<uint8_t>(4, 0x7F));
        EXPECT_EQ(flash.log()[5].bytes, std::vector<uint8_t>(6, 0x00));
    }
    for (uint32_t i = 0; i < 10; ++i) {
        const uint32_t k = 118 + i, unit = (k < 122 ? 2 : 3) * 8192, slot = k % 122;
        EXPECT_EQ(rig.image[unit + 18 + slot], 0x00) << k;
        EXPECT_EQ(std::memcmp(&rig.image[unit + 140 + slot * 66], &pages[i * 64], 64), 0) << k;
        const uint16_t seed = static_cast<uint16_t>(40 + k);
        EXPECT_EQ(dorv::le::load16(&rig.image[unit + 140 + slot * 66 + 64]), crc16(&pages[i * 64], 64, &seed)) << k;
        EXPECT_TRUE(rig.bit(k));
    }
    EXPECT_EQ(rig.st().eu_info[2].free, 118);
    EXPECT_EQ(rig.st().eu_info[3].free, 116);
    EXPECT_EQ(rig.st().eu_info[3].not_valid, 116);
    std::vector<uint8_t> back(10 * 66);
    ASSERT_EQ(afs_physical_ftl_read_data_pages(&rig.ctx, back.data(), rig.data_address(118), 10), 0u);
    EXPECT_EQ(std::memcmp(back.data(), pages.data(), pages.size()), 0);

    // Slot 3 written already: slots 1 and 2 are written, then 5, 4 and 5 untouched.
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(3), 64, pages.data(), 0), 0u);
    EXPECT_EQ(dorv::afs::ftl_write_data_run(&rig.ctx, rig.data_address(1), 5, pages.data()), 5u);
    EXPECT_TRUE(rig.bit(1) && rig.bit(2) && rig.bit(3));
    EXPECT_FALSE(rig.bit(4) || rig.bit(5));
    EXPECT_EQ(rig.image[2 * 8192 + 18 + 4], 0xFF);
    EXPECT_EQ(rig.image[2 * 8192 + 18 + 5], 0xFF);
}

TEST_F(AfsFtlPages, ChecksumMismatchesAreRetriedSevenTimes) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    const Page a = fill(3);
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64, 64, a.data(), 0), 0u);
    ScopedMedium scoped(dorv::afs::module_state().medium, flash);
    int bad_reads = 6;
    flash.on_read = [&](uint32_t, uint8_t* dst, uint32_t len) {
        if (len == 66 && bad_reads-- > 0) dst[10] ^= 0x40;
    };
    Page got{};
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 64, 64, got.data(), 0), 0u);
    EXPECT_EQ(got, a);
    EXPECT_EQ(flash.reads(), 7u);
    bad_reads = 7;
    got = fill(0xAA);
    EXPECT_EQ(afs_physical_ftl_read_page(&rig.ctx, 64, 64, got.data(), 0), 5u);
    EXPECT_EQ(got, fill(0xAA));  // nothing handed out
    // A record copied to another logical page fails its check there.
    flash.on_read = nullptr;
    std::memcpy(&rig.image[260 + 66], &rig.image[260], 66);
    dorv::le::store16(&rig.image[20], chained(1, 2));
    rig.image[23] = 0x7F;
    ASSERT_EQ(afs_physical_ftl_init(&rig.ctx, rig.ctx.size, AFS_FTL_ALLOCATE_STATE), 0u);
    EXPECT_EQ(afs_physical_ftl_read_page(&rig.ctx, 2 * 64, 64, got.data(), 0), 5u);
}

TEST_F(AfsFtlPages, RunsReadOnceAUnitAndPackThePages) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    std::vector<Page> pages;
    for (uint32_t k = 117; k < 127; ++k) {
        pages.push_back(fill(static_cast<uint8_t>(k)));
        ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(k), 64, pages.back().data(), 0), 0u);
    }
    ScopedMedium scoped(dorv::afs::module_state().medium, flash);
    std::vector<uint8_t> buffer(10 * 66, 0xEE);
    ASSERT_EQ(afs_physical_ftl_read_data_pages(&rig.ctx, buffer.data(), rig.data_address(117), 10), 0u);
    EXPECT_EQ(flash.reads(), 2u);  // 5 pages from each unit
    for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(std::memcmp(&buffer[64 * i], pages[i].data(), 64), 0) << i;
    // A run whose first page is not allocated reads as zeros over its whole length.
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    ASSERT_EQ(afs_physical_ftl_read_data_pages(&rig.ctx, buffer.data(), rig.data_address(100), 10), 0u);
    for (uint32_t i = 0; i < 640; ++i) ASSERT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(buffer[640], 0xEE);
    // A corrupt record in the middle of a run fails it after seven reads.
    const std::size_t reads = flash.reads();
    rig.image[2 * 8192 + 140 + 119 * 66 + 3] ^= 1;
    EXPECT_EQ(read_ftl_data_pages(&rig.ctx, 2, 117, 5, 40 + 117, buffer.data()), 5u);
    EXPECT_EQ(flash.reads() - reads, 7u);
    // Runs past the data area or past a unit are refused.
    EXPECT_EQ(afs_physical_ftl_read_data_pages(&rig.ctx, buffer.data(), rig.data_address(240), 10), 22u);
    EXPECT_EQ(read_ftl_data_pages(&rig.ctx, 2, 117, 6, 40 + 117, buffer.data()), 22u);
}

TEST_F(AfsFtlPages, AddressOfAUnitNoRecordCarriesTouchesNothing) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    const Page a = fill(4);
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(130), 64, a.data(), 0), 0u);
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(121), 64, a.data(), 0), 0u);
    rig.st().eu_info[3].id = 7;  // the unit of pages 122-243 is gone
    const auto before = rig.image;
    const auto bitmap = rig.bitmap;
    Page got = fill(1);
    EXPECT_EQ(afs_physical_ftl_read_page(&rig.ctx, rig.data_address(130), 64, got.data(), 0), 5u);
    EXPECT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(131), 64, a.data(), 0), 5u);
    EXPECT_EQ(afs_physical_ftl_trim_page(&rig.ctx, rig.data_address(130), 64, 0), 5u);
    // An index past 16 bits lies past every layout; it is not page 121 again.
    EXPECT_EQ(afs_physical_ftl_trim_page(&rig.ctx, rig.data_address(0x10000 + 121), 64, 0), 5u);
    std::vector<uint8_t> run(2 * 66);
    EXPECT_EQ(afs_physical_ftl_read_data_pages(&rig.ctx, run.data(), rig.data_address(121), 2), 5u);
    EXPECT_EQ(rig.image, before);
    EXPECT_EQ(rig.bitmap, bitmap);
    EXPECT_EQ(got, fill(1));
}

TEST_F(AfsFtlPages, FullMetadataUnitSwitchesToTheErasedOneOrAnswersNoSpace) {
    {
        AfsFtlRig rig(5, 40, 2);
        ASSERT_EQ(rig.format(), 0u);
        const Page a = fill(6);
        for (int n = 0; n < 120; ++n) ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * (n % 3), 64, a.data(), 0), 0u);
        EXPECT_EQ(rig.st().next_meta_slot, 120u);
        ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * 9, 64, a.data(), 0), 0u);
        EXPECT_EQ(rig.st().current_meta_eu, 1u);
        EXPECT_EQ(dorv::le::load16(&rig.image[8192 + 18]), chained(0, 9));  // slot 0, chain from 0
        EXPECT_EQ(rig.st().max_sequence, 4u);  // a switch, no reclaim
    }
    {
        // One metadata unit holding 120 distinct live pages: its reclaim gains nothing.
        AfsFtlRig rig(4, 200, 2);
        ASSERT_EQ(rig.format(), 0u);
        for (uint32_t p = 0; p < 120; ++p) {
            const Page a = fill(static_cast<uint8_t>(p));
            ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * p, 64, a.data(), 0), 0u);
        }
        const Page a = fill(0xC3);
        EXPECT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * 150, 64, a.data(), 0), 28u);
        EXPECT_EQ(rig.st().next_meta_slot, 120u);
        EXPECT_EQ(rig.image[rig.st().current_meta_eu * 8192 + 259], 0x7F);  // entry 120 carries the end mark
        ASSERT_EQ(rig.mount(), 0u);
        Page got;
        for (uint32_t p = 0; p < 120; ++p) {
            ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 64 * p, 64, got.data(), 0), 0u);
            ASSERT_EQ(got, fill(static_cast<uint8_t>(p))) << p;
        }
        // Without any metadata unit there is nowhere to write.
        for (uint32_t i = 0; i < 4; ++i) {
            if (i != rig.st().spare_eu && rig.st().eu_info[i].id == 0) rig.st().eu_info[i].id = 0x7000;
        }
        rig.st().current_meta_eu = AFS_FTL_NONE;
        rig.st().next_meta_slot = 0;
        ScopedMedium scoped(dorv::afs::module_state().medium, flash);
        EXPECT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * 150, 64, a.data(), 0), 28u);
        EXPECT_TRUE(flash.log().empty());
    }
}

TEST_F(AfsFtlPages, AllocationWindowRetryReclaimAndItsLimits) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    // The window starts in the data unit with the highest sequence: unit 3, pages 122-243.
    EXPECT_EQ(rig.st().window_next, 122u);
    EXPECT_EQ(rig.st().window_end, 244u);
    const Page a = fill(8);
    uint16_t chunk = 0;
    for (uint32_t k = 122; k < 244; ++k) {
        ASSERT_EQ(afs_physical_ftl_allocate_page(&rig.ctx, &chunk), 0u);
        ASSERT_EQ(chunk, k + 65);
        ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(k), 64, a.data(), 0), 0u);
    }
    EXPECT_EQ(afs_physical_ftl_allocate_page(&rig.ctx, &chunk), STORAGE_FLUSH_AND_RETRY);
    EXPECT_EQ(rig.st().retry_signalled, 1);
    ASSERT_EQ(afs_physical_ftl_allocate_page(&rig.ctx, &chunk), 0u);  // switch to the erased unit 2
    EXPECT_EQ(chunk, 65u);
    EXPECT_EQ(rig.st().retry_signalled, 0);
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(0), 64, a.data(), 0), 0u);
    // A page trimmed in the window's group is skipped for its written status byte.
    ASSERT_EQ(afs_physical_ftl_trim_page(&rig.ctx, rig.data_address(0), 64, 0), 0u);
    rig.st().window_next = 0;
    ASSERT_EQ(afs_physical_ftl_allocate_page(&rig.ctx, &chunk), 0u);
    EXPECT_EQ(chunk, 66u);

    // Every page live: the reclaim gains nothing and the allocator answers 28.
    for (uint32_t k = 1; k < 122; ++k) {
        ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(k), 64, a.data(), 0), 0u);
    }
    rig.bitmap[0] |= 1;  // page 0 back in use (its slot is written)
    rig.st().window_next = rig.st().window_end;
    rig.st().retry_signalled = 0;
    EXPECT_EQ(afs_physical_ftl_allocate_page(&rig.ctx, &chunk), STORAGE_FLUSH_AND_RETRY);
    EXPECT_EQ(afs_physical_ftl_allocate_page(&rig.ctx, &chunk), 28u);
    EXPECT_EQ(rig.st().window_next, AFS_FTL_NONE);
    // The reclaim cleared the retry mark: the next request asks for a flush
    // again, the one after it answers 28 (never 0xFFFFFFFF as a bit index).
    EXPECT_EQ(afs_physical_ftl_allocate_page(&rig.ctx, &chunk), STORAGE_FLUSH_AND_RETRY);
    EXPECT_EQ(afs_physical_ftl_allocate_page(&rig.ctx, &chunk), 28u);
}

TEST_F(AfsFtlPages, WindowEndsAtTheLastChunk) {
    AfsFtlRig rig(5, 40, 2);
    rig.ctx.chunks = 130;  // fewer chunks than data pages
    ASSERT_EQ(rig.format(), 0u);
    const Page a = fill(2);
    uint16_t chunk = 0;
    uint32_t handed = 0, status = 0, retries = 0;
    for (int n = 0; n < 400 && status != 28u; ++n) {
        if (status == STORAGE_FLUSH_AND_RETRY) ++retries;
        status = afs_physical_ftl_allocate_page(&rig.ctx, &chunk);
        if (status != 0) continue;
        const uint32_t k = chunk - 65u;
        ASSERT_LT(k, 130u);
        ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(k), 64, a.data(), 0), 0u);
        ++handed;
    }
    EXPECT_EQ(status, 28u);
    EXPECT_EQ(handed, 130u);
    EXPECT_LE(retries, 3u);
}

}  // namespace

// Bytes left where the next metadata writes go (map entries after the end
// mark, records of free slots, the body of a unit whose first entry is
// erased) must not end up in the map: writes over them read back after a
// remount, and so do the pages written before.
TEST_F(AfsFtlPages, StrayBytesAfterTheEndMarkAreNeverWrittenOver) {
    // Unit 0 after one write: entry 0, end mark in entry 1 (bytes 20-21),
    // record 0 at 260; unit 1 is erased. Stray ranges in either.
    struct Stray {
        uint32_t at, length;
    };
    const Stray strays[] = {{22, 238}, {22, 4}, {23, 3}, {24, 2}, {256, 4}, {326, 66}, {8179, 1},
                            {8192 + 20, 240}, {8192 + 4000, 1}};
    for (const Stray stray : strays) {
        for (const uint8_t value : {uint8_t{0x00}, uint8_t{0x34}, uint8_t{0x7F}}) {
            const uint32_t at = stray.at;
            AfsFtlRig rig(5, 40, 2);
            ASSERT_EQ(rig.format(), 0u);
            std::array<Page, 40> model{};
            ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * 3, 64, fill(1).data(), 0), 0u);
            model[3] = fill(1);
            std::memset(&rig.image[at], value, stray.length);
            ASSERT_EQ(rig.mount(), 0u) << at;
            // Enough writes to fill unit 0 and move on to the next unit.
            for (uint32_t n = 0; n < 150; ++n) {
                const uint32_t p = (n * 7) % 40;
                model[p] = fill(static_cast<uint8_t>(n + 2));
                ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * p, 64, model[p].data(), 0), 0u) << at << " " << n;
                if (n == 0 || n == 149) {
                    ASSERT_EQ(rig.mount(), 0u) << at << " after write " << n;
                    Page got;
                    for (uint32_t q = 0; q < 40; ++q) {
                        ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 64 * q, 64, got.data(), 0), 0u);
                        ASSERT_EQ(got, model[q]) << at << " page " << q;
                    }
                }
            }
        }
    }
}
