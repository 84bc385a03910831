// Format and mount of the translation layer over images built byte by byte.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "afs/afs_ftl.h"
#include "afs/afs_state.h"
#include "support/afs_image_builder.h"
#include "support/flash_harness.h"

namespace {

using dorv::test::AfsHeaderSpec;
using dorv::test::AfsImage;

constexpr uint32_t kUnits = 6, kDataStart = 2944, kVas = kDataStart + 2 * 7808;
constexpr uint16_t kId0 = kDataStart / 64, kId1 = kId0 + 122;

// Six units as the format leaves them: metadata 0-2, data 3-4, spare 5.
AfsImage formatted_by_hand() {
    AfsImage img(kUnits);
    const uint16_t ids[kUnits] = {0, 0, 0, kId0, kId1, 0};
    for (uint32_t i = 0; i < kUnits; ++i) {
        AfsHeaderSpec h;
        h.sequence = i + 1;
        h.aux = static_cast<uint16_t>(i + 1);
        h.id = ids[i];
        if (i + 1 == kUnits) h.magic = 0;
        img.header(i, h);
    }
    return img;
}

struct Mounted {
    afs_context_t ctx{};
    ~Mounted() { dorv::afs::ftl_free_state(&ctx); }
    afs_ftl_state_t& st() { return *ctx.ftl_state; }
    bool mapped(uint16_t page, uint8_t eu, uint8_t slot) {
        return st().page_map[page].eu == eu && st().page_map[page].slot == slot;
    }
};

uint32_t mount(Mounted& m, AfsImage& img, bool real = true) {
    m.ctx = dorv::test::afs_context(img, real ? kVas : img.bytes.size(), real ? kDataStart : img.bytes.size());
    return afs_physical_ftl_init(&m.ctx, m.ctx.size, AFS_FTL_ALLOCATE_STATE | AFS_FTL_BIND_DEVICE);
}

class AfsFtlMount : public ::testing::Test {
protected:
    void SetUp() override { dorv::afs::reset_module_state(); }
    void TearDown() override { dorv::afs::reset_module_state(); }
};

struct MountCase {
    std::string name;
    std::function<void(AfsImage&)> build;
    uint32_t status;
    std::function<void(Mounted&)> check;
};

TEST_F(AfsFtlMount, ImageCases) {
    const auto none = [](Mounted&) {};
    const std::vector<MountCase> cases = {
        {"fresh", [](AfsImage&) {}, 0,
         [](Mounted& m) {
             EXPECT_EQ(m.st().spare_eu, 5);
             EXPECT_EQ(m.st().eu_info[5].erase_count, 1u);
             EXPECT_EQ(m.st().current_meta_eu, 0u);
             EXPECT_EQ(m.st().max_sequence, 5u);
             EXPECT_EQ(m.st().meta_eu_count, 3);
             for (int p = 0; p < 46; ++p) EXPECT_TRUE(m.mapped(static_cast<uint16_t>(p), 0xFF, 0xFF));
             EXPECT_EQ(m.st().eu_info[0].not_valid, 120);
             EXPECT_EQ(m.st().eu_info[0].free, 1);
         }},
        {"torn slot 5", [](AfsImage& img) {
             img.meta_pages(1, {1, 2, 3, 4, 5}, 9);                 // slots 0-4, end mark in entry 5
             img.meta_page(1, 5, 7, 5, 9, false);                  // entry 5 written, no end mark
         }, 0,
         [](Mounted& m) {
             EXPECT_EQ(m.st().current_meta_eu, 1u);
             EXPECT_EQ(m.st().next_meta_slot, 7u);
             EXPECT_EQ(m.st().eu_info[1].not_valid, 120 - 5);
             EXPECT_TRUE(m.mapped(7, 0xFF, 0xFF));
             EXPECT_TRUE(m.mapped(5, 1, 4));
             EXPECT_EQ(m.st().chain_last, 5);
         }},
        {"full unit", [](AfsImage& img) {
             std::vector<uint16_t> pages;
             for (int s = 0; s < 120; ++s) pages.push_back(static_cast<uint16_t>(s % 40));
             img.meta_pages(0, pages, 3);
         }, 0,
         [](Mounted& m) {
             EXPECT_EQ(m.st().next_meta_slot, 120u);
             EXPECT_EQ(m.st().eu_info[0].not_valid, 80);
             EXPECT_TRUE(m.mapped(0, 0, 80));  // later slot of the same page wins
             EXPECT_TRUE(m.mapped(39, 0, 119));
         }},
        {"page in two units", [](AfsImage& img) {
             img.meta_pages(0, {10, 11}, 1);
             img.meta_pages(2, {10}, 2);
             img.meta_pages(1, {11}, 3);
         }, 0,
         [](Mounted& m) {
             EXPECT_TRUE(m.mapped(10, 2, 0));
             EXPECT_TRUE(m.mapped(11, 1, 0));
             EXPECT_EQ(m.st().eu_info[0].not_valid, 120);
             EXPECT_EQ(m.st().current_meta_eu, 2u);
             EXPECT_EQ(m.st().next_meta_slot, 1u);
             EXPECT_EQ(m.st().chain_last, 10);
         }},
        {"entry beyond metadata pages", [](AfsImage& img) { img.meta_pages(0, {46}, 1); }, 5, none},
        {"erased spare gets the average", [](AfsImage& img) {
             for (uint32_t i = 0; i < 5; ++i) {
                 AfsHeaderSpec h;
                 h.sequence = i + 1; h.erase_count = 10 * (i + 1); h.aux = static_cast<uint16_t>(i + 1);
                 h.id = i == 3 ? kId0 : i == 4 ? kId1 : 0;
                 img.header(i, h);
             }
             std::fill(img.unit(5), img.unit(5) + 18, 0xFF);
         }, 0, [](Mounted& m) { EXPECT_EQ(m.st().eu_info[5].erase_count, 30u); }},
        {"zeroed spare keeps its count", [](AfsImage& img) {
             AfsHeaderSpec h; h.magic = 0; h.sequence = 6; h.erase_count = 77; h.aux = 6; img.header(5, h);
         }, 0, [](Mounted& m) { EXPECT_EQ(m.st().eu_info[5].erase_count, 77u); }},
        {"spare zeroed over the other crc", [](AfsImage& img) {
             AfsHeaderSpec h; h.magic = 0; h.crc_magic = 0x82416801u; h.sequence = 6; h.erase_count = 78;
             img.header(5, h);
         }, 0, [](Mounted& m) { EXPECT_EQ(m.st().eu_info[5].erase_count, 78u); }},
        {"alternative magics", [](AfsImage& img) {
             AfsHeaderSpec a; a.magic = 0x82416801u; a.sequence = 1; a.aux = 1; img.header(0, a);
             AfsHeaderSpec b = a; b.crc_magic = 0x82416801u; b.sequence = 2; b.aux = 2; img.header(1, b);
             AfsHeaderSpec c = a; c.magic = 0xAA050887u; c.sequence = 3; c.aux = 3; img.header(2, c);
         }, 0, [](Mounted& m) { EXPECT_EQ(m.st().spare_eu, 5); }},
        {"second magic over its own crc is not valid", [](AfsImage& img) {
             AfsHeaderSpec c; c.magic = 0xAA050887u; c.crc_magic = 0xAA050887u; c.sequence = 3; img.header(2, c);
         }, 5, none},
        {"two units without a valid header", [](AfsImage& img) { img.unit(1)[16] ^= 1; }, 5, none},
        {"sequence 0 is not valid", [](AfsImage& img) {
             AfsHeaderSpec h; h.sequence = 0; h.aux = 1; img.header(0, h);
         }, 5, none},
        {"two unfinished targets", [](AfsImage& img) { img.unit(0)[17] = 0xFF; img.unit(1)[17] = 0xFF; }, 5, none},
        {"spare not named by newest aux", [](AfsImage& img) {
             AfsHeaderSpec h; h.sequence = 5; h.aux = 2; h.id = kId1; img.header(4, h);
         }, 5, none},
        {"no spare, no target", [](AfsImage& img) {
             AfsHeaderSpec h; h.sequence = 6; h.aux = 5; img.header(5, h);
         }, 5, none},
        {"target with victim still valid drops back to spare", [](AfsImage& img) {
             // Reclaim of unit 3 into spare 5 cut after the header, before the victim's magic.
             AfsHeaderSpec h; h.sequence = 6; h.erase_count = 2; h.aux = 3; h.id = kId0; h.complete = 0xFF;
             img.header(5, h);
         }, 0,
         [](Mounted& m) {
             EXPECT_EQ(m.st().spare_eu, 5);
             EXPECT_EQ(m.st().eu_info[5].id, 0);
             EXPECT_EQ(m.st().max_sequence, 5u);
             EXPECT_EQ(m.st().unfinished_eu, 0xFFFF);
         }},
        {"data target accepted", [](AfsImage& img) {
             AfsHeaderSpec h; h.sequence = 6; h.erase_count = 2; h.aux = 3; h.id = kId0; h.complete = 0xFF;
             img.header(5, h);
             std::fill(img.unit(3), img.unit(3) + 4, 0);  // victim obsoleted
         }, 0,
         [](Mounted& m) {
             EXPECT_EQ(m.st().spare_eu, 3);
             EXPECT_EQ(m.st().max_sequence, 6u);
             EXPECT_EQ(m.st().eu_info[5].id, kId0);
             EXPECT_EQ(m.st().unfinished_eu, 5);
         }},
        {"target aux does not name the spare", [](AfsImage& img) {
             AfsHeaderSpec h; h.sequence = 6; h.aux = 4; h.id = kId0; h.complete = 0xFF; img.header(5, h);
             std::fill(img.unit(3), img.unit(3) + 4, 0);
         }, 5, none},
        {"metadata target replayed as current", [](AfsImage& img) {
             img.meta_pages(0, {1, 2}, 1);
             AfsHeaderSpec h; h.sequence = 6; h.erase_count = 2; h.aux = 0; h.complete = 0xFF; img.header(5, h);
             img.meta_pages(5, {2}, 4);
             std::fill(img.unit(0), img.unit(0) + 4, 0);
         }, 0,
         [](Mounted& m) {
             EXPECT_EQ(m.st().spare_eu, 0);
             EXPECT_EQ(m.st().current_meta_eu, 5u);
             EXPECT_TRUE(m.mapped(2, 5, 0));
             EXPECT_EQ(m.st().next_meta_slot, 1u);
             EXPECT_EQ(m.st().chain_last, 2);
         }},
        {"metadata target without live page keeps its own chain", [](AfsImage& img) {
             img.meta_pages(1, {3, 4}, 1);
             AfsHeaderSpec h; h.sequence = 6; h.erase_count = 2; h.aux = 0; h.complete = 0xFF; img.header(5, h);
             img.meta_page(5, 0, 9, 0, 4, false);  // torn first write: nothing live
             std::fill(img.unit(0), img.unit(0) + 4, 0);
         }, 0,
         [](Mounted& m) {
             EXPECT_EQ(m.st().current_meta_eu, 5u);
             EXPECT_EQ(m.st().eu_info[5].not_valid, 120);
             EXPECT_EQ(m.st().chain_last, 0);  // its own replay, not unit 1's 4
             EXPECT_EQ(m.st().next_meta_slot, 2u);
         }},
        {"spare never chosen as current", [](AfsImage& img) {
             for (uint32_t i = 0; i < 3; ++i) {
                 AfsHeaderSpec h; h.sequence = 10 + i; h.aux = 1; img.header(i, h);
             }
             AfsHeaderSpec s; s.magic = 0; s.sequence = 2; img.header(5, s);
             AfsHeaderSpec d; d.sequence = 13; d.aux = 5; d.id = kId1; img.header(4, d);
         }, 0, [](Mounted& m) { EXPECT_EQ(m.st().current_meta_eu, 0u); }},
        {"data id off the group grid", [](AfsImage& img) {
             AfsHeaderSpec h; h.sequence = 4; h.aux = 4; h.id = kId0 + 1; img.header(3, h);
         }, 5, none},
        {"data id carried twice", [](AfsImage& img) {
             AfsHeaderSpec h; h.sequence = 4; h.aux = 4; h.id = kId1; img.header(3, h);
         }, 5, none},
        {"more data units than the layout has", [](AfsImage& img) {
             AfsHeaderSpec h; h.sequence = 3; h.aux = 3; h.id = kId1 + 122; img.header(2, h);
         }, 5, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AfsImage img = formatted_by_hand();
        c.build(img);
        const std::vector<uint8_t> before = img.bytes;
        Mounted m;
        ASSERT_EQ(mount(m, img), c.status);
        EXPECT_EQ(img.bytes, before);  // the mount writes nothing
        if (c.status == 0) c.check(m);
    }
}

TEST_F(AfsFtlMount, ProvisionalGeometrySeesEveryUnitAsMetadataAndSkipsIdChecks) {
    AfsImage img = formatted_by_hand();
    AfsHeaderSpec h; h.sequence = 4; h.aux = 4; h.id = kId1; img.header(3, h);  // duplicate id
    Mounted m;
    ASSERT_EQ(mount(m, img, false), 0u);
    EXPECT_EQ(m.st().meta_eu_count, 5);
}

TEST_F(AfsFtlMount, TooFewOrTooManyUnitsAndGrownGeometry) {
    for (uint32_t units : {1u, 256u, 300u}) {
        AfsImage img(units);
        Mounted m;
        EXPECT_EQ(mount(m, img, false), 5u) << units;
    }
    AfsImage img = formatted_by_hand();
    Mounted m;
    ASSERT_EQ(mount(m, img), 0u);
    m.ctx.data_start = kDataStart + 64;  // more metadata pages than the state holds
    EXPECT_EQ(afs_physical_ftl_init(&m.ctx, m.ctx.size, 0), 5u);
}

TEST_F(AfsFtlMount, AcceptedTargetIsCompletedBeforeTheNextChange) {
    AfsImage img = formatted_by_hand();
    AfsHeaderSpec h; h.sequence = 6; h.erase_count = 2; h.aux = 3; h.id = kId0; h.complete = 0xFF;
    img.header(5, h);
    std::fill(img.unit(3), img.unit(3) + 4, 0);
    Mounted m;
    ASSERT_EQ(mount(m, img), 0u);
    EXPECT_EQ(img.unit(5)[17], 0xFF);
    ASSERT_EQ(dorv::afs::ftl_settle_unfinished(&m.ctx), 0u);
    EXPECT_EQ(img.unit(5)[17], 0x00);
    Mounted again;
    ASSERT_EQ(mount(again, img), 0u);
    EXPECT_EQ(again.st().spare_eu, 3);
    EXPECT_EQ(again.st().unfinished_eu, 0xFFFF);
}

TEST_F(AfsFtlMount, FormatThenMountOverEveryUnitCount) {
    for (uint32_t n = 4; n <= 255; ++n) {
        AfsImage img(n);
        img.bytes[8192 + 300] = 0x12;  // an old body byte: must not survive a format without erase
        afs_context_t probe = dorv::test::afs_context(img, 0, 0);
        const uint32_t data_start = 64 * 40;
        const uint32_t vas = data_start + afs_physical_ftl_get_data_vas(&probe, 0);
        Mounted m;
        m.ctx = dorv::test::afs_context(img, vas, data_start);
        ASSERT_EQ(afs_physical_ftl_init(&m.ctx, m.ctx.size, AFS_FTL_ALLOCATE_STATE | AFS_FTL_BIND_DEVICE), 5u);
        ASSERT_EQ(afs_physical_ftl_format(&m.ctx, 0), 0u) << n;
        EXPECT_EQ(img.bytes[8192 + 300], 0xFF);
        ASSERT_EQ(afs_physical_ftl_init(&m.ctx, m.ctx.size, AFS_FTL_ALLOCATE_STATE), 0u) << n;
        const uint32_t groups = (vas - data_start) / 7808;
        const uint32_t meta = n <= 11 ? 1 : n / 12;
        ASSERT_EQ(groups + meta + 1, n);
        EXPECT_EQ(m.st().spare_eu, n - 1);
        EXPECT_EQ(m.st().current_meta_eu, 0u);
        EXPECT_EQ(m.st().meta_eu_count, meta);
        for (uint32_t q = 0; q < groups; ++q) EXPECT_EQ(m.st().eu_info[meta + q].id, 40 + 122 * q);
        EXPECT_EQ(img.unit(n - 1)[0], 0);
        EXPECT_EQ(img.unit(0)[17], 0);
    }
}

TEST_F(AfsFtlMount, FormatIsVerifiedAndStopsAtAFailingReadBack) {
    AfsImage img(6);
    Mounted m;
    m.ctx = dorv::test::afs_context(img, kVas, kDataStart);
    afs_physical_ftl_init(&m.ctx, m.ctx.size, AFS_FTL_ALLOCATE_STATE | AFS_FTL_BIND_DEVICE);
    dorv::test::FaultFlash flash;
    dorv::test::ScopedMedium scoped(dorv::afs::module_state().medium, flash);
    flash.on_read = [](uint32_t off, uint8_t* dst, uint32_t len) {
        if (off == 2 * 8192 && len == 17) dst[0] ^= 1;  // unit 2's header never reads back
    };
    EXPECT_EQ(afs_physical_ftl_format(&m.ctx, 1), 5u);
    ASSERT_GE(flash.log().size(), 6u);
    EXPECT_EQ(flash.log()[0].kind, dorv::test::FlashOp::Kind::erase);
    EXPECT_EQ(flash.log()[1].offset, 4096u);
    EXPECT_EQ(flash.log().back().offset, 2u * 8192);  // nothing after the failed unit
}

}  // namespace
