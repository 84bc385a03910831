// Reclaim on image bytes (the header it writes and the order of its writes),
// the choice of victims with the wear rule, the idle thresholds, and the
// maintenance operations.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

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

Page fill(uint32_t seed) {
    Page p;
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(seed * 3 + 7 * i);
    return p;
}

void write_data(AfsFtlRig& rig, uint32_t k) {
    const Page p = fill(k);
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(k), 64, p.data(), 0), 0u) << k;
}
void trim_data(AfsFtlRig& rig, uint32_t k) {
    ASSERT_EQ(afs_physical_ftl_trim_page(&rig.ctx, rig.data_address(k), 64, 0), 0u) << k;
}
void expect_data(AfsFtlRig& rig, uint32_t k) {
    Page got;
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, rig.data_address(k), 64, got.data(), 0), 0u) << k;
    EXPECT_EQ(got, fill(k)) << k;
}

class AfsFtlReclaim : public ::testing::Test {
protected:
    void SetUp() override { dorv::afs::reset_module_state(); }
    void TearDown() override { dorv::afs::reset_module_state(); }
    FaultFlash flash;
};

TEST_F(AfsFtlReclaim, DataReclaimWritesContentThenHeaderThenObsoletesTheVictim) {
    AfsFtlRig rig(5, 40, 2);  // metadata 0-1, data 2 (pages 0-121) and 3, spare 4
    ASSERT_EQ(rig.format(), 0u);
    for (uint32_t k = 0; k < 10; ++k) write_data(rig, k);
    for (uint32_t k = 3; k < 10; ++k) trim_data(rig, k);
    const auto victim_records = std::vector<uint8_t>(rig.image.begin() + 2 * 8192 + 140,
                                                     rig.image.begin() + 2 * 8192 + 140 + 3 * 66);
    {
        ScopedMedium scoped(dorv::afs::module_state().medium, flash);
        ASSERT_EQ(reclaim_eu(&rig.ctx, 2, 1), 0u);
    }
    const uint32_t spare = 4 * 8192;
    const auto& log = flash.log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_TRUE(log[0].kind == FlashOp::Kind::erase && log[0].offset == spare);
    EXPECT_TRUE(log[1].kind == FlashOp::Kind::erase && log[1].offset == spare + 4096);
    EXPECT_EQ(log[2].offset, spare + 140);  // the live run, one write
    EXPECT_EQ(log[2].bytes, victim_records);
    EXPECT_EQ(log[3].offset, spare + 18);
    EXPECT_EQ(log[3].bytes, std::vector<uint8_t>(3, 0x00));
    EXPECT_EQ(log[4].offset, spare);
    EXPECT_EQ(log[4].length, 17u);
    EXPECT_EQ(log[5].offset, 2u * 8192);
    EXPECT_EQ(log[5].bytes, std::vector<uint8_t>(4, 0x00));
    EXPECT_EQ(log[6].offset, spare + 17);
    EXPECT_EQ(log[6].bytes, std::vector<uint8_t>{0x00});
    const uint8_t* h = &rig.image[spare];
    EXPECT_EQ(dorv::le::load32(h), 0xAA557887u);
    EXPECT_EQ(dorv::le::load32(h + 4), 5u);  // highest sequence 4, plus one
    EXPECT_EQ(dorv::le::load32(h + 8), 2u);  // erase count 1, plus one
    EXPECT_EQ(dorv::le::load16(h + 12), 2u);  // aux: the victim
    EXPECT_EQ(dorv::le::load16(h + 14), 40u);  // the victim's id
    EXPECT_EQ(h[16], crc8(h, 16));
    EXPECT_EQ(dorv::le::load32(&rig.image[2 * 8192]), 0u);
    EXPECT_EQ(rig.image[spare + 18 + 3], 0xFF);  // slots not live stay free
    EXPECT_EQ(rig.st().spare_eu, 2);
    EXPECT_EQ(rig.st().eu_info[4].id, 40);
    EXPECT_EQ(rig.st().eu_info[4].free, 119);
    EXPECT_EQ(rig.st().eu_info[4].not_valid, 119);
    EXPECT_EQ(rig.st().eu_info[2].id, 0);
    EXPECT_EQ(rig.st().eu_info[2].sequence, 0u);
    ASSERT_EQ(rig.mount(), 0u);
    EXPECT_EQ(rig.st().spare_eu, 2);
    for (uint32_t k = 0; k < 3; ++k) expect_data(rig, k);
    // The victim is the spare now: reclaiming it is refused.
    EXPECT_EQ(reclaim_eu(&rig.ctx, 2, 1), 28u);
}

TEST_F(AfsFtlReclaim, CompleteByteThatDoesNotLandIsWrittenBeforeTheNextChange) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    write_data(rig, 0);
    ScopedMedium scoped(dorv::afs::module_state().medium, flash);
    bool flaky = true;
    flash.on_read = [&](uint32_t off, uint8_t* dst, uint32_t len) {
        if (flaky && off == 4 * 8192 + 17 && len == 1) dst[0] ^= 1;
    };
    ASSERT_EQ(reclaim_eu(&rig.ctx, 2, 1), 0u);  // the victim is obsoleted: the reclaim counts as done
    EXPECT_EQ(rig.st().spare_eu, 2);
    EXPECT_EQ(rig.st().unfinished_eu, 4);
    flaky = false;
    write_data(rig, 1);
    EXPECT_EQ(rig.st().unfinished_eu, 0xFFFF);
    EXPECT_EQ(rig.image[4 * 8192 + 17], 0x00);
    ASSERT_EQ(rig.mount(), 0u);
    expect_data(rig, 0);
    expect_data(rig, 1);
}

TEST_F(AfsFtlReclaim, AllLiveUnitGainsNothingAndTheWrapperTakesTheDirtiest) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    for (uint32_t k = 0; k < 244; ++k) write_data(rig, k);
    for (uint32_t k = 122; k < 172; ++k) trim_data(rig, k);
    rig.st().window_next = AFS_FTL_NONE;
    EXPECT_EQ(reclaim_eu(&rig.ctx, 2, 1), STORAGE_RECLAIM_NO_GAIN);
    EXPECT_EQ(rig.st().window_next, AFS_FTL_NONE);
    EXPECT_EQ(rig.st().spare_eu, 2);
    ASSERT_EQ(reclaim_eu_wrapper(&rig.ctx, AFS_RECLAIM_DATA), 0u);
    EXPECT_EQ(rig.st().spare_eu, 3);  // the unit with 50 pages not valid
    EXPECT_EQ(rig.st().window_next, 122u);
    EXPECT_EQ(rig.st().window_end, 244u);
    ASSERT_EQ(rig.mount(), 0u);
    for (uint32_t k = 0; k < 122; ++k) expect_data(rig, k);
    for (uint32_t k = 172; k < 244; ++k) expect_data(rig, k);
}

TEST_F(AfsFtlReclaim, ChoiceWearRuleTiesAndUnitsOfTheWrongKind) {
    AfsFtlRig rig(6, 40, 3);  // metadata 0-1, data 2-4, spare 5
    ASSERT_EQ(rig.format(), 0u);
    afs_eu_info_t* u = rig.st().eu_info;
    for (int i = 2; i <= 4; ++i) u[i].free = 0;
    u[2].erase_count = 100, u[2].not_valid = 10;
    u[3].erase_count = 150, u[3].not_valid = 50;
    u[4].erase_count = 210, u[4].not_valid = 10;
    uint32_t copy = 9;
    EXPECT_EQ(choose_eu_to_reclaim(&rig.ctx, AFS_RECLAIM_DATA, 1, &copy, 0), 2u);  // spread 110, 210 % 10 == 0
    EXPECT_EQ(copy, 1u);
    EXPECT_EQ(choose_eu_to_reclaim(&rig.ctx, AFS_RECLAIM_DATA, 0, &copy, 0), 3u);  // wear rule off
    u[4].erase_count = 211;
    EXPECT_EQ(choose_eu_to_reclaim(&rig.ctx, AFS_RECLAIM_DATA, 1, &copy, 0), 3u);
    u[4].erase_count = 210;
    u[4].free = 5;  // an erased pick is never overridden by the wear rule
    EXPECT_EQ(choose_eu_to_reclaim(&rig.ctx, AFS_RECLAIM_DATA, 1, &copy, 0), 4u);
    EXPECT_EQ(copy, 0u);
    u[4].free = 0;
    // Ties: the lower erase count, then the lower index.
    u[2].erase_count = 5, u[3].erase_count = 3, u[4].erase_count = 4;
    u[2].not_valid = u[3].not_valid = u[4].not_valid = 20;
    EXPECT_EQ(choose_eu_to_reclaim(&rig.ctx, AFS_RECLAIM_DATA, 1, &copy, 0), 3u);
    u[3].erase_count = 5, u[4].erase_count = 5;
    EXPECT_EQ(choose_eu_to_reclaim(&rig.ctx, AFS_RECLAIM_DATA, 1, &copy, 0), 2u);
    // The erased metadata unit with the lowest sequence is a switch.
    u[0].free = 0;
    EXPECT_EQ(choose_eu_to_reclaim(&rig.ctx, AFS_RECLAIM_META, 1, &copy, 0), 1u);
    EXPECT_EQ(copy, 0u);
    // No unit of the wanted kind: none, and 28 from the callers, not unit 0.
    u[0].id = 500, u[1].id = 622;
    EXPECT_EQ(choose_eu_to_reclaim(&rig.ctx, AFS_RECLAIM_META, 1, &copy, 0), AFS_FTL_NONE);
    EXPECT_EQ(reclaim_eu_wrapper(&rig.ctx, AFS_RECLAIM_META), 28u);
    EXPECT_EQ(reclaim_eu(&rig.ctx, AFS_FTL_NONE, 1), 28u);
}

TEST_F(AfsFtlReclaim, SequenceNeverReachesAllOnes) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    write_data(rig, 0);
    rig.st().max_sequence = 0xFFFFFFFEu;
    ScopedMedium scoped(dorv::afs::module_state().medium, flash);
    EXPECT_EQ(reclaim_eu(&rig.ctx, 2, 1), 28u);
    EXPECT_EQ(reclaim_eu(&rig.ctx, 0, 1), 28u);
    EXPECT_TRUE(flash.log().empty());
    rig.st().max_sequence = 0xFFFFFFFDu;
    EXPECT_EQ(reclaim_eu(&rig.ctx, 2, 1), 0u);
    EXPECT_EQ(dorv::le::load32(&rig.image[4 * 8192 + 4]), 0xFFFFFFFEu);
}

TEST_F(AfsFtlReclaim, IdleThresholds) {
    AfsFtlRig rig(6, 40, 3);  // metadata 0 (current) and 1, data 2-4, spare 5
    ASSERT_EQ(rig.format(), 0u);
    afs_ftl_state_t& st = rig.st();
    afs_eu_info_t* u = st.eu_info;
    u[1].free = 0, u[1].not_valid = 50, u[1].erase_count = 1;
    u[2].free = 30, u[2].not_valid = 40;
    u[3].free = 33, u[3].not_valid = 40;
    u[4].free = 0, u[4].not_valid = 17;
    uint32_t unit = 7, kind = 7;
    st.next_meta_slot = 91;  // 29 metadata slots left
    ASSERT_EQ(afs_physical_ftl_idle_reclaim_needed(&rig.ctx, &unit, &kind), 1u);
    EXPECT_EQ(kind, 0u);
    EXPECT_EQ(unit, AFS_FTL_NONE);
    st.next_meta_slot = 90;  // 30 left; free sum 63, dirty sum 97
    ASSERT_EQ(afs_physical_ftl_idle_reclaim_needed(&rig.ctx, &unit, &kind), 1u);
    EXPECT_EQ(kind, 1u);
    EXPECT_EQ(unit, AFS_FTL_NONE);
    u[3].free = 34;  // free sum 64: only a fully obsolete unit is worth it
    unit = kind = 7;
    EXPECT_EQ(afs_physical_ftl_idle_reclaim_needed(&rig.ctx, &unit, &kind), 0u);
    EXPECT_EQ(unit, 7u);
    EXPECT_EQ(kind, 7u);
    u[4].not_valid = 122;
    u[4].erase_count = 3;
    ASSERT_EQ(afs_physical_ftl_idle_reclaim_needed(&rig.ctx, &unit, &kind), 1u);
    EXPECT_EQ(kind, 1u);
    EXPECT_EQ(unit, 4u);
    u[1].not_valid = 120;  // a fully obsolete metadata unit with a lower erase count wins
    ASSERT_EQ(afs_physical_ftl_idle_reclaim_needed(&rig.ctx, &unit, &kind), 1u);
    EXPECT_EQ(kind, 0u);
    EXPECT_EQ(unit, 1u);
    u[1].not_valid = 50;
    // The idle step reclaims the named unit.
    ASSERT_EQ(afs_physical_ftl_idle_reclaim(&rig.ctx), 0u);
    EXPECT_EQ(st.spare_eu, 4);
}

TEST_F(AfsFtlReclaim, ForcedFullReclaimWalksTheDataUnits) {
    AfsFtlRig rig(4, 40, 2);  // metadata 0, data 1 and 2, spare 3
    ASSERT_EQ(rig.format(), 0u);
    for (uint32_t k : {0u, 1u, 50u, 130u, 200u}) write_data(rig, k);
    trim_data(rig, 1);
    EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&rig.ctx), 11u);
    EXPECT_EQ(rig.st().spare_eu, 1);
    EXPECT_EQ(rig.st().eu_info[3].id, 40);
    EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&rig.ctx), 11u);
    EXPECT_EQ(rig.st().spare_eu, 2);
    EXPECT_EQ(rig.st().eu_info[1].id, 162);
    EXPECT_EQ(afs_physical_ftl_force_full_reclaim(&rig.ctx), 0u);
    EXPECT_EQ(rig.st().spare_eu, 3);
    EXPECT_EQ(rig.st().eu_info[2].id, 40);
    EXPECT_EQ(rig.st().full_reclaim_cursor, 0);
    ASSERT_EQ(rig.mount(), 0u);
    for (uint32_t k : {0u, 50u, 130u, 200u}) expect_data(rig, k);
    EXPECT_EQ(rig.image[2 * 8192 + 18 + 1], 0xFF);  // the trimmed page was not copied
}

TEST_F(AfsFtlReclaim, DirtyEraseZeroesObsoleteRecordsAndTheSpare) {
    AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    for (uint32_t k = 0; k < 5; ++k) write_data(rig, k);
    trim_data(rig, 1);
    trim_data(rig, 3);
    const auto before = rig.image;
    {
        ScopedMedium scoped(dorv::afs::module_state().medium, flash);
        ASSERT_EQ(afs_physical_ftl_force_dirty_erase(&rig.ctx), 0u);
        EXPECT_EQ(flash.log().size(), 2u + 122u);
        EXPECT_EQ(flash.reads(), 3u);  // status bytes of two data units and the spare; no read-back
    }
    const uint32_t unit = 2 * 8192;
    for (uint32_t s : {1u, 3u}) {
        for (uint32_t i = 0; i < 66; ++i) ASSERT_EQ(rig.image[unit + 140 + s * 66 + i], 0) << s;
    }
    for (uint32_t s : {0u, 2u, 4u, 5u}) {
        EXPECT_EQ(std::memcmp(&rig.image[unit + 140 + s * 66], &before[unit + 140 + s * 66], 66), 0) << s;
    }
    EXPECT_EQ(std::memcmp(&rig.image[unit], &before[unit], 140), 0);  // header and status bytes unchanged
    for (uint32_t off = 4 * 8192 + 140; off < 5 * 8192; ++off) ASSERT_EQ(rig.image[off], 0) << off;
    for (uint32_t k : {0u, 2u, 4u}) expect_data(rig, k);
    rig.ctx.bitmap = nullptr;  // every written page would look obsolete
    EXPECT_EQ(afs_physical_ftl_force_dirty_erase(&rig.ctx), 22u);
    EXPECT_EQ(afs_physical_ftl_force_dirty_erase(nullptr), 22u);
}

TEST_F(AfsFtlReclaim, EndOfReservedFilesModeReclaimsUnitsZeroAndOne) {
    AfsFtlRig rig(4, 40, 2);  // metadata 0, data 1 and 2, spare 3
    ASSERT_EQ(rig.format(), 0u);
    const Page m = fill(99);
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * 7, 64, m.data(), 0), 0u);
    write_data(rig, 3);
    ASSERT_EQ(afs_physical_ftl_end_reserved_files_mode(&rig.ctx), 0u);
    EXPECT_EQ(rig.st().spare_eu, 1);
    EXPECT_EQ(rig.st().eu_info[0].id, 40);  // unit 1's pages now live in unit 0
    EXPECT_EQ(rig.st().eu_info[3].id, 0);   // unit 0's metadata moved into the old spare
    ASSERT_EQ(rig.mount(), 0u);
    Page got;
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 64 * 7, 64, got.data(), 0), 0u);
    EXPECT_EQ(got, m);
    expect_data(rig, 3);
    // Again: unit 0 (data now) into the spare 1, then unit 1 back into 0.
    ASSERT_EQ(afs_physical_ftl_end_reserved_files_mode(&rig.ctx), 0u);
    EXPECT_EQ(rig.st().spare_eu, 1);
    EXPECT_EQ(rig.st().eu_info[0].id, 40);
    ASSERT_EQ(rig.mount(), 0u);
    expect_data(rig, 3);
}

TEST_F(AfsFtlReclaim, FailedMetadataReclaimLeavesPagesWhereTheyWere) {
    AfsFtlRig rig(5, 40, 2);  // metadata 0-1, data 2-3, spare 4
    ASSERT_EQ(rig.format(), 0u);
    for (uint32_t n = 0; n < 240; ++n) {
        const uint32_t p = n < 10 ? 10 + n : n % 4;
        const Page page = fill(p);
        ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * p, 64, page.data(), 0), 0u);
    }
    const Page page = fill(30);
    {
        ScopedMedium scoped(dorv::afs::module_state().medium, flash);
        flash.cut_after(2);  // the spare is erased, nothing after it lands
        EXPECT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * 30, 64, page.data(), 0), 5u);
        EXPECT_EQ(flash.log()[0].offset, 4u * 8192);
    }
    Page got;
    for (uint32_t p : {0u, 1u, 2u, 3u, 10u, 19u}) {
        ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 64 * p, 64, got.data(), 0), 0u) << p;
        EXPECT_EQ(got, fill(p)) << p;
    }
    // Power back: the reclaim runs again and the write lands.
    ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64 * 30, 64, page.data(), 0), 0u);
    ASSERT_EQ(rig.mount(), 0u);
    for (uint32_t p : {0u, 1u, 2u, 3u, 10u, 19u, 30u}) {
        ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 64 * p, 64, got.data(), 0), 0u) << p;
        EXPECT_EQ(got, fill(p)) << p;
    }
}

TEST_F(AfsFtlReclaim, OperationsTableOrder) {
    EXPECT_EQ(afs_physical_spi_handler.read, &afs_physical_ftl_read_page);
    EXPECT_EQ(afs_physical_spi_handler.write, &afs_physical_ftl_write_page);
    EXPECT_EQ(afs_physical_spi_handler.trim, &afs_physical_ftl_trim_page);
    EXPECT_EQ(afs_physical_spi_handler.force_full_reclaim, &afs_physical_ftl_force_full_reclaim);
    EXPECT_EQ(afs_physical_spi_handler.force_dirty_erase, &afs_physical_ftl_force_dirty_erase);
}

}  // namespace
