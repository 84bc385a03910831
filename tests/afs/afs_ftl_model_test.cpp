// The translation layer against an in-memory model: random metadata writes,
// data page allocation, writes, trims, single and run reads, idle and forced
// reclaims, dirty erases and remounts. After every remount the rebuilt state
// (unit records, page map, current metadata unit, chain) must equal the
// state the operations left, and every page must read as the model says.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "afs/afs_state.h"
#include "support/afs_ftl_rig.h"

namespace {

using Page = std::array<uint8_t, 64>;
using dorv::test::AfsFtlRig;

class AfsFtlModel : public ::testing::Test {
protected:
    void SetUp() override { dorv::afs::reset_module_state(); }
    void TearDown() override { dorv::afs::reset_module_state(); }
};

Page random_page(std::mt19937& rng) {
    Page p;
    for (auto& b : p) b = static_cast<uint8_t>(rng());
    return p;
}

struct Model {
    std::map<uint16_t, Page> meta;
    std::map<uint32_t, Page> data;  // data page index -> content
};

void expect_reads(AfsFtlRig& rig, const Model& model, uint32_t meta_pages, const char* when) {
    Page got;
    for (uint32_t p = 0; p < meta_pages; ++p) {
        ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 64 * p, 64, got.data(), 0), 0u) << when << " meta " << p;
        const auto it = model.meta.find(static_cast<uint16_t>(p));
        const Page want = it != model.meta.end() ? it->second : Page{};
        ASSERT_EQ(got, want) << when << " meta " << p;
    }
    for (uint32_t k = 0; k < rig.data_pages(); ++k) {
        ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, rig.data_address(k), 64, got.data(), 0), 0u) << when << k;
        const auto it = model.data.find(k);
        const Page want = it != model.data.end() ? it->second : Page{};
        ASSERT_EQ(got, want) << when << " data " << k;
        ASSERT_EQ(rig.bit(k), it != model.data.end()) << when << " bit " << k;
    }
}

// What a remount must rebuild exactly as the operations left it.
struct Snapshot {
    std::vector<afs_eu_info_t> units;
    std::vector<afs_page_map_entry_t> map;
    uint32_t max_sequence, current, next_slot;
    uint16_t spare, chain;
};

Snapshot snapshot(AfsFtlRig& rig, uint32_t meta_pages) {
    Snapshot s;
    const afs_ftl_state_t& st = rig.st();
    s.units.assign(st.eu_info, st.eu_info + st.eu_count);
    s.map.assign(st.page_map, st.page_map + meta_pages);
    s.max_sequence = st.max_sequence;
    s.current = st.current_meta_eu;
    s.next_slot = st.next_meta_slot;
    s.spare = st.spare_eu;
    s.chain = st.chain_last;
    return s;
}

void expect_same_state(const Snapshot& a, const Snapshot& b, int step) {
    ASSERT_EQ(a.spare, b.spare) << step;
    EXPECT_EQ(a.max_sequence, b.max_sequence) << step;
    EXPECT_EQ(a.current, b.current) << step;
    EXPECT_EQ(a.next_slot, b.next_slot) << step;
    EXPECT_EQ(a.chain, b.chain) << step;
    for (std::size_t i = 0; i < a.units.size(); ++i) {
        if (i == a.spare) continue;  // the spare's record is not rebuilt from its header
        EXPECT_EQ(a.units[i].sequence, b.units[i].sequence) << step << " unit " << i;
        EXPECT_EQ(a.units[i].erase_count, b.units[i].erase_count) << step << " unit " << i;
        EXPECT_EQ(a.units[i].id, b.units[i].id) << step << " unit " << i;
        EXPECT_EQ(a.units[i].not_valid, b.units[i].not_valid) << step << " unit " << i;
        EXPECT_EQ(a.units[i].free, b.units[i].free) << step << " unit " << i;
    }
    for (std::size_t p = 0; p < a.map.size(); ++p) {
        EXPECT_TRUE(a.map[p].eu == b.map[p].eu && a.map[p].slot == b.map[p].slot) << step << " page " << p;
    }
}

TEST_F(AfsFtlModel, RandomOperationsAgreeWithTheModelAcrossReclaimsAndRemounts) {
    constexpr uint32_t kMetaPages = 40;
    AfsFtlRig rig(7, kMetaPages, 3);  // metadata units 0-2, data units 3-5, spare 6
    ASSERT_EQ(rig.format(), 0u);
    std::mt19937 rng(20261209);
    Model model;
    uint32_t meta_reclaims = 0, data_reclaims = 0, retries = 0, remounts = 0;
    const uint32_t capacity = rig.data_pages();

    for (int step = 0; step < 10000; ++step) {
        const uint32_t op = rng() % 100;
        const uint32_t seq_before = rig.st().max_sequence;
        if (op < 35) {
            // Metadata pages, mostly a hot few, so that units fill with obsolete copies.
            const auto p = static_cast<uint16_t>(rng() % 4 != 0 ? rng() % 6 : rng() % kMetaPages);
            const Page page = random_page(rng);
            ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, 64u * p, 64, page.data(), 0), 0u) << step;
            model.meta[p] = page;
            if (rig.st().max_sequence != seq_before) ++meta_reclaims;
        } else if (op < 65) {
            if (model.data.size() * 10 > capacity * 7) continue;  // keep room for the reclaims to gain
            uint16_t chunk = 0;
            uint32_t status = afs_physical_ftl_allocate_page(&rig.ctx, &chunk);
            if (status == STORAGE_FLUSH_AND_RETRY) {
                ++retries;
                status = afs_physical_ftl_allocate_page(&rig.ctx, &chunk);
            }
            ASSERT_EQ(status, 0u) << step;
            if (rig.st().max_sequence != seq_before) ++data_reclaims;
            const uint32_t k = chunk - rig.ctx.files;
            ASSERT_LT(k, capacity);
            ASSERT_EQ(model.data.count(k), 0u) << "allocated page handed out again " << k;
            const Page page = random_page(rng);
            ASSERT_EQ(afs_physical_ftl_write_page(&rig.ctx, rig.data_address(k), 64, page.data(), 0), 0u) << step;
            model.data[k] = page;
        } else if (op < 83) {
            if (model.data.empty()) continue;
            auto it = model.data.begin();
            std::advance(it, rng() % model.data.size());
            ASSERT_EQ(afs_physical_ftl_trim_page(&rig.ctx, rig.data_address(it->first), 64, 0), 0u);
            model.data.erase(it);
        } else if (op < 92) {
            if (model.data.empty()) continue;
            // A run of allocated pages, as the file layer reads chains.
            auto it = model.data.begin();
            std::advance(it, rng() % model.data.size());
            const uint32_t k = it->first;
            uint32_t count = 1;
            while (count < 62 && model.data.count(k + count) != 0) ++count;
            std::vector<uint8_t> buffer(count * 66, 0xEE);
            ASSERT_EQ(afs_physical_ftl_read_data_pages(&rig.ctx, buffer.data(), rig.data_address(k), count), 0u);
            for (uint32_t i = 0; i < count; ++i) {
                ASSERT_EQ(std::memcmp(buffer.data() + 64 * i, model.data[k + i].data(), 64), 0) << step;
            }
        } else if (op < 93) {
            if (step % 5 != 0) continue;
            const uint32_t status = afs_physical_ftl_idle_reclaim(&rig.ctx);
            ASSERT_TRUE(status == 0 || status == STORAGE_RECLAIM_NO_GAIN) << status;
        } else if (op < 94) {
            if (step % 5 != 0) continue;
            const uint32_t status = afs_physical_ftl_force_full_reclaim(&rig.ctx);
            ASSERT_TRUE(status == 0 || status == STORAGE_AGAIN) << status;
        } else if (op < 95) {
            ASSERT_EQ(afs_physical_ftl_force_dirty_erase(&rig.ctx), 0u);
            expect_reads(rig, model, kMetaPages, "after dirty erase");
        } else if (op < 97) {
            continue;
        } else {
            const Snapshot before = snapshot(rig, kMetaPages);
            ASSERT_EQ(rig.mount(), 0u) << step;
            ++remounts;
            expect_same_state(before, snapshot(rig, kMetaPages), step);
            expect_reads(rig, model, kMetaPages, "after remount");
        }
        if (HasFatalFailure()) return;
    }
    expect_reads(rig, model, kMetaPages, "at the end");
    // The run must have exercised what it claims to.
    EXPECT_GT(meta_reclaims, 5u);
    EXPECT_GT(data_reclaims, 5u);
    EXPECT_GT(retries, 5u);
    EXPECT_GT(remounts, 20u);
}

}  // namespace
