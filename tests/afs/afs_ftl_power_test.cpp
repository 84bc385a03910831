// Power loss at every write and erase of a short scripted sequence that
// overwrites metadata pages (overflowing the metadata units into a copying
// reclaim), allocates through an exhausted window (a data reclaim with copy),
// writes and trims data pages. Every state a cut can leave, whole or torn,
// must mount, rebuild its allocation map, read each page as its old or new
// content (new once its step finished) and take further writes that survive
// another remount.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <set>

#include "afs/afs_state.h"
#include "support/afs_ftl_rig.h"
#include "support/flash_harness.h"

namespace {

using dorv::test::AfsFtlRig;
using dorv::test::FaultFlash;
using dorv::test::Tear;
using Page = std::array<uint8_t, 64>;

constexpr uint32_t kUnits = 5, kMetaPages = 40, kDataUnits = 2;  // metadata 0-1, data 2-3, spare 4

Page content(uint32_t tag, uint32_t version) {
    Page p;
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(tag * 7 + version * 31 + i);
    return p;
}

uint32_t allocate(AfsFtlRig& rig, uint32_t& k) {
    uint16_t chunk = 0;
    uint32_t status = afs_physical_ftl_allocate_page(&rig.ctx, &chunk);
    if (status == STORAGE_FLUSH_AND_RETRY) status = afs_physical_ftl_allocate_page(&rig.ctx, &chunk);
    k = chunk - rig.ctx.files;
    return status;
}

uint32_t write_meta(AfsFtlRig& rig, uint32_t p, const Page& page) {
    return afs_physical_ftl_write_page(&rig.ctx, 64 * p, 64, page.data(), 0);
}
uint32_t write_data(AfsFtlRig& rig, uint32_t k, const Page& page) {
    return afs_physical_ftl_write_page(&rig.ctx, rig.data_address(k), 64, page.data(), 0);
}

// One step of the script: what it changes once it has finished.
struct Step {
    std::size_t first_op = 0, end_op = 0;
    int meta_page = -1;       // metadata page written
    int data_page = -1;       // data page written (enters the bitmap when finished)
    int trimmed = -1;         // data page trimmed (leaves the bitmap when finished)
    Page page{};
};

struct State {
    std::map<uint32_t, Page> meta, data;
};

class AfsFtlPower : public ::testing::Test {
protected:
    void SetUp() override { dorv::afs::reset_module_state(); }
    void TearDown() override { dorv::afs::reset_module_state(); }
};

TEST_F(AfsFtlPower, EveryCutOfTheScriptMountsWithOldOrNewPages) {
    AfsFtlRig rig(kUnits, kMetaPages, kDataUnits);
    ASSERT_EQ(rig.format(), 0u);
    State base;
    // Metadata unit 0 full and unit 1 two slots short of full, mostly obsolete copies.
    for (uint32_t n = 0; n < 238; ++n) {
        const uint32_t p = n < 10 ? n : n % 4;
        base.meta[p] = content(p, n);
        ASSERT_EQ(write_meta(rig, p, base.meta[p]), 0u);
    }
    ASSERT_EQ(rig.st().next_meta_slot, 118u);
    // Both data units full, 100 pages of the first group trimmed.
    for (uint32_t n = 0; n < 244; ++n) {
        uint32_t k = 0;
        ASSERT_EQ(allocate(rig, k), 0u);
        base.data[k] = content(1000 + k, 0);
        ASSERT_EQ(write_data(rig, k, base.data[k]), 0u);
    }
    for (uint32_t k = 10; k < 110; ++k) {
        ASSERT_EQ(afs_physical_ftl_trim_page(&rig.ctx, rig.data_address(k), 64, 0), 0u);
        base.data.erase(k);
    }
    const std::vector<uint8_t> base_image = rig.image;
    const std::vector<uint32_t> base_bitmap = rig.bitmap;
    const uint32_t base_sequence = rig.st().max_sequence;

    // The script, recorded.
    FaultFlash flash;
    std::vector<Step> steps;
    {
        dorv::test::ScopedMedium scoped(dorv::afs::module_state().medium, flash);
        auto meta_step = [&](uint32_t p, uint32_t version) {
            Step s;
            s.first_op = flash.log().size();
            s.meta_page = static_cast<int>(p);
            s.page = content(p, version);
            ASSERT_EQ(write_meta(rig, p, s.page), 0u);
            s.end_op = flash.log().size();
            steps.push_back(s);
        };
        auto data_step = [&](uint32_t version) {
            Step s;
            s.first_op = flash.log().size();
            uint32_t k = 0;
            ASSERT_EQ(allocate(rig, k), 0u);
            s.data_page = static_cast<int>(k);
            s.page = content(2000 + k, version);
            ASSERT_EQ(write_data(rig, k, s.page), 0u);
            s.end_op = flash.log().size();
            steps.push_back(s);
        };
        meta_step(5, 900);
        meta_step(6, 900);
        meta_step(7, 900);  // the current unit is full: unit 0 is reclaimed into the spare first
        ASSERT_GT(rig.st().max_sequence, base_sequence);
        data_step(1);       // the window is exhausted: a data unit is reclaimed with copy
        ASSERT_GT(rig.st().max_sequence, base_sequence + 1);
        Step trim;
        trim.first_op = trim.end_op = flash.log().size();
        trim.trimmed = 120;
        ASSERT_EQ(afs_physical_ftl_trim_page(&rig.ctx, rig.data_address(120), 64, 0), 0u);
        steps.push_back(trim);
        data_step(2);
        meta_step(0, 901);
    }
    const auto& log = flash.log();
    ASSERT_GT(log.size(), 20u);
    std::size_t erases = 0;
    for (const auto& op : log) erases += op.kind == dorv::test::FlashOp::Kind::erase;
    ASSERT_EQ(erases, 4u);  // two reclaims, two blocks each

    const Tear tears[] = {Tear{}, Tear{.write_prefix = 1, .half_erase = true}, Tear{.write_prefix = 40}};
    for (std::size_t cut = 0; cut <= log.size(); ++cut) {
        for (const Tear& tear : tears) {
            SCOPED_TRACE("cut at op " + std::to_string(cut) + " tear " + std::to_string(tear.write_prefix));
            AfsFtlRig after(kUnits, kMetaPages, kDataUnits);
            after.image = dorv::test::replay(base_image, log, cut, true, tear);
            after.ctx.image = after.image.data();
            after.bitmap = base_bitmap;
            after.ctx.bitmap = after.bitmap.data();
            // The bitmap a file layer would rebuild: finished writes in, finished trims out.
            State want = base;
            std::set<uint32_t> either_meta;
            for (const Step& s : steps) {
                const bool done = s.end_op <= cut;
                const bool started = s.first_op <= cut;
                if (s.meta_page >= 0) {
                    if (done) want.meta[s.meta_page] = s.page;
                    else if (started) either_meta.insert(static_cast<uint32_t>(s.meta_page));
                }
                if (s.data_page >= 0 && done) {
                    want.data[s.data_page] = s.page;
                    after.bitmap[s.data_page / 32] |= 1u << (s.data_page % 32);
                }
                if (s.trimmed >= 0 && done) {
                    want.data.erase(s.trimmed);
                    after.bitmap[s.trimmed / 32] &= ~(1u << (s.trimmed % 32));
                }
            }
            ASSERT_EQ(after.mount(), 0u);
            Page got;
            for (uint32_t p = 0; p < kMetaPages; ++p) {
                ASSERT_EQ(afs_physical_ftl_read_page(&after.ctx, 64 * p, 64, got.data(), 0), 0u) << p;
                const Page old = base.meta.count(p) ? base.meta[p] : Page{};
                const Page now = want.meta.count(p) ? want.meta[p] : Page{};
                if (either_meta.count(p) != 0) {
                    bool match = false;
                    for (const Step& s : steps) match = match || (s.meta_page == static_cast<int>(p) && got == s.page);
                    ASSERT_TRUE(got == old || match) << "meta page " << p;
                } else {
                    ASSERT_EQ(got, now) << "meta page " << p;
                }
            }
            for (const auto& [k, page] : want.data) {
                ASSERT_EQ(afs_physical_ftl_read_page(&after.ctx, after.data_address(k), 64, got.data(), 0), 0u) << k;
                ASSERT_EQ(got, page) << "data page " << k;
            }
            // Still usable: a metadata and a data write survive another remount.
            const Page extra = content(77, 77);
            ASSERT_EQ(write_meta(after, 9, extra), 0u);
            uint32_t k = 0;
            ASSERT_EQ(allocate(after, k), 0u);
            ASSERT_EQ(after.bit(k), false);
            ASSERT_EQ(write_data(after, k, extra), 0u);
            ASSERT_EQ(after.mount(), 0u);
            ASSERT_EQ(afs_physical_ftl_read_page(&after.ctx, 64 * 9, 64, got.data(), 0), 0u);
            ASSERT_EQ(got, extra);
            ASSERT_EQ(afs_physical_ftl_read_page(&after.ctx, after.data_address(k), 64, got.data(), 0), 0u);
            ASSERT_EQ(got, extra);
        }
    }
}

}  // namespace
