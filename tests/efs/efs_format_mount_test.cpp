// Format compared with an image built in the test; mount over images built
// byte by byte; the sized mount and layout changes under a mount.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "support/efs_fixture.h"

namespace {

using dorv::test::EfsImage;
using dorv::test::EfsLayoutFile;
using dorv::test::EfsLayoutRow;
using dorv::test::FaultFlash;
using dorv::test::read_efs_state;
using dorv::test::ScopedMedium;

class EfsFormatMount : public dorv::test::EfsTest {
protected:
    void expect_mounted_as(const EfsImage& image, const EfsLayoutRow& row) {
        const auto view = read_efs_state(image.bytes, row);
        ASSERT_TRUE(view.has_value());
        EXPECT_EQ(efs_ctx.mounted, 1);
        EXPECT_EQ(+efs_ctx.retry_count, 7u);
        EXPECT_EQ(+efs_ctx.current_bm, view->bm);
        EXPECT_EQ(+efs_ctx.generation, view->generation);
        EXPECT_EQ(+efs_ctx.bme_offset, view->bme_offset);
        EXPECT_EQ(efs_ctx.force_bm_switch, view->force_switch ? 1 : 0);
        EXPECT_TRUE(std::equal(view->valid.begin(), view->valid.end(), efs_ctx.valid_map));
        EXPECT_TRUE(std::equal(view->spare.begin(), view->spare.end(), efs_ctx.spare_map));
        EXPECT_EQ(efs_ctx.status_scanned, 0);
        EXPECT_EQ(efs_ctx.next_bm_state, EFS_BM_STATE_UNKNOWN);
    }
};

const EfsLayoutRow kRow = dorv::test::efs_row(
    2, 3, 2, {{0, 0, 0, 100}, {1, 1, 10, 50}, {2, 2, 0, 50}, {3, 2, 4072, 0}, {5, 0, 200, 8}}, 8);

TEST_F(EfsFormatMount, SmokeFormatWritesTheImageByteForByteAndMounts) {
    std::vector<uint8_t> image(7 * 4096, 0x00);  // formats over anything
    adopt(kRow, image);
    ASSERT_EQ(+efs_ctx.retry_count, 0u);  // never mounted: the format uses 7 tries
    ASSERT_EQ(EFS_do_format(), 0);
    EXPECT_EQ(+efs_ctx.retry_count, 0u);
    const EfsImage expect = EfsImage::formatted(kRow);
    ASSERT_EQ(image, expect.bytes);
    // Empty records carry the CRC-16 of FF FF seeded with their block.
    const auto crc_at = [&](uint32_t block, uint32_t offset) {
        const uint8_t* p = image.data() + (2 + block) * 4096 + 16 + offset + 2;
        return static_cast<uint16_t>(p[0] | (p[1] << 8));
    };
    EXPECT_EQ(crc_at(0, 0), 0x1D0Fu);
    EXPECT_EQ(crc_at(1, 10), 0x0D2Eu);
    EXPECT_EQ(crc_at(2, 0), 0x3D4Du);
    EXPECT_EQ(crc_at(2, 4072), 0x3D4Du);
    ASSERT_EQ(EFS_init_tools(image.data()), 0);
    expect_mounted_as(expect, kRow);
    EXPECT_EQ(+efs_ctx.bme_offset, 16u);
    EXPECT_EQ(+efs_ctx.generation, 1u);
}

TEST_F(EfsFormatMount, FormatRefusals) {
    std::vector<uint8_t> image(7 * 4096, 0x00);
    efs_image = image.data();
    EXPECT_EQ(EFS_do_format(), 1);  // no layout
    EXPECT_EQ(image, std::vector<uint8_t>(7 * 4096, 0x00));
    EfsLayoutRow row = kRow;
    row.files.push_back({6, 1, 4073, 0});
    adopt(row, image);
    efs_image = nullptr;
    EXPECT_EQ(EFS_do_format(), 1);  // no image
    EXPECT_EQ(image, std::vector<uint8_t>(7 * 4096, 0x00));
    efs_image = image.data();
    EXPECT_EQ(EFS_do_format(), 99);  // refused before the first store
    EXPECT_EQ(image, std::vector<uint8_t>(7 * 4096, 0x00));
}

// The format's early check (99) looks only at files placed in a logical
// block: a layout whose only record offset past 4072 belongs to a file placed
// in none formats, since the format writes no record for such a file.
TEST_F(EfsFormatMount, AnOffsetPastThePayloadOutsideTheLogicalBlocksIsNoFormatConcern) {
    EfsLayoutRow row = kRow;
    row.files.push_back({6, 3, 5000, 0});  // block 3 is past V = 3
    std::vector<uint8_t> image(7 * 4096, 0x00);
    adopt(row, image);
    ASSERT_EQ(EFS_do_format(), 0);
    EXPECT_EQ(image, EfsImage::formatted(row).bytes);
    EXPECT_EQ(EFS_init(0), 0);
}

TEST_F(EfsFormatMount, CreateAllocatesFormatsAndMounts) {
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(EFS_init(0x100), 1);  // only the low byte counts: no image, no create
    ASSERT_EQ(EFS_init(1), 0);
    const EfsImage expect = EfsImage::formatted(kRow);
    ASSERT_EQ(std::vector<uint8_t>(efs_image, efs_image + efs_size), expect.bytes);
    expect_mounted_as(expect, kRow);
    // Handing the library's own image back keeps it the library's (ASan sees a
    // leak or a double release otherwise).
    ASSERT_EQ(EFS_init_tools(efs_image), 0);
}

struct MountCase {
    const char* name;
    EfsLayoutRow row;
    std::function<void(EfsImage&)> build;
    int result;
};

std::vector<MountCase> mount_cases() {
    const EfsLayoutRow r22 = dorv::test::efs_row(2, 7, 3);
    const EfsLayoutRow b3 = dorv::test::efs_row(3, 7, 3);
    auto base = [](EfsImage& im, uint32_t bm, uint32_t gen) {
        im.bm_header(bm, gen).bme(bm, 0, im.identity_valid(), im.identity_spare());
    };
    auto rotated = [](EfsImage& im, uint32_t k) {
        std::vector<uint8_t> all = im.identity_valid();
        const auto sp = im.identity_spare();
        all.insert(all.end(), sp.begin(), sp.end());
        std::rotate(all.begin(), all.begin() + (k % all.size()), all.end());
        return all;
    };
    auto fill = [rotated](EfsImage& im, uint32_t bm, uint32_t records) {
        for (uint32_t k = 0; k < records; ++k) {
            const auto all = rotated(im, k);
            im.bme(bm, k, {all.begin(), all.begin() + im.v()}, {all.begin() + im.v(), all.end()}, k, 0);
        }
    };
    return {
        {"equal generations: the lower block", r22, [=](EfsImage& im) { base(im, 0, 5); base(im, 1, 5); }, 0},
        {"higher generation wins", r22, [=](EfsImage& im) { base(im, 0, 6); base(im, 1, 5); fill(im, 1, 3); }, 0},
        {"higher generation in block 1", r22, [=](EfsImage& im) { base(im, 0, 5); base(im, 1, 6); }, 0},
        {"generation 0 never wins", r22, [=](EfsImage& im) { base(im, 0, 0); base(im, 1, 0); }, 41},
        {"retired and erased headers skipped", b3,
         [=](EfsImage& im) { base(im, 1, 4); std::memset(im.at(0), 0, 16); base(im, 2, 2); std::memset(im.at(2 * 4096), 0xFF, 16); }, 0},
        {"bad header CRC skipped", r22,
         [=](EfsImage& im) { base(im, 0, 9); im.at(4)[0] ^= 1; base(im, 1, 3); }, 0},
        {"another geometry fails whatever else", r22,
         [=](EfsImage& im) { base(im, 0, 9); im.bm_header_raw(1, 2, 2, 6, 3, 0); }, 41},
        {"another layout id fails", r22, [=](EfsImage& im) { base(im, 0, 9); im.bm_header_raw(1, 12, 2, 7, 3, 1); }, 41},
        {"no header", r22, [](EfsImage&) {}, 41},
        {"185 records: the last loads", r22, [=](EfsImage& im) { im.bm_header(0, 1); fill(im, 0, 185); }, 0},
        {"torn newest: the previous one, switch forced", r22,
         [=](EfsImage& im) { im.bm_header(0, 1); fill(im, 0, 40); im.at(16 + 39 * 22 + 3)[0] ^= 0x10; }, 0},
        {"torn record 0", r22, [=](EfsImage& im) { base(im, 0, 1); im.at(16 + 2)[0] ^= 1; }, 41},
        {"torn newest and previous", r22,
         [=](EfsImage& im) { im.bm_header(0, 1); fill(im, 0, 5); im.at(16 + 4 * 22)[0] ^= 1; im.at(16 + 3 * 22)[0] ^= 1; }, 41},
        {"map names a block twice", r22,
         [=](EfsImage& im) { im.bm_header(0, 1).bme(0, 0, {0, 1, 2, 3, 4, 5, 6}, {7, 8, 8}); }, 41},
        {"spare entry equal to V + S", r22,
         [=](EfsImage& im) { im.bm_header(0, 1).bme(0, 0, {0, 1, 2, 3, 4, 5, 6}, {7, 8, 10}); }, 41},
        {"no BM block", dorv::test::efs_row(0, 7, 3), [](EfsImage&) {}, 41},
    };
}

TEST_F(EfsFormatMount, MountCasesBuiltByteByByte) {
    for (const MountCase& c : mount_cases()) {
        SCOPED_TRACE(c.name);
        reset();
        EfsImage image(c.row);
        c.build(image);
        ASSERT_EQ(dorv::test::load_efs_layout(c.row), 0);
        const auto before = image.bytes;
        ASSERT_EQ(efs_mount_image(image.bytes.data(), static_cast<uint32_t>(image.bytes.size())), c.result);
        EXPECT_EQ(image.bytes, before);  // a mount only reads
        if (c.result == 0) {
            expect_mounted_as(image, c.row);
        } else {
            EXPECT_EQ(efs_ctx.mounted, 0);
            EXPECT_FALSE(read_efs_state(image.bytes, c.row).has_value());
        }
    }
    // Spot checks of what the independent reader and the mount agreed on.
    reset();
    const auto cases = mount_cases();
    for (const char* name : {"185 records: the last loads", "torn newest: the previous one, switch forced",
                             "higher generation wins"}) {
        const MountCase& c = *std::find_if(cases.begin(), cases.end(),
                                           [&](const MountCase& m) { return std::string(m.name) == name; });
        EfsImage image(c.row);
        c.build(image);
        ASSERT_EQ(dorv::test::load_efs_layout(c.row), 0);
        ASSERT_EQ(EFS_init_tools(image.bytes.data()), 0);
        const std::string n = name;
        if (n == "185 records: the last loads") {
            EXPECT_EQ(+efs_ctx.bme_offset, 4064u);
            EXPECT_EQ(+efs_ctx.reserved_a, 184u);
        } else if (n == "torn newest: the previous one, switch forced") {
            EXPECT_EQ(+efs_ctx.bme_offset, 16u + 38 * 22);
            EXPECT_EQ(efs_ctx.force_bm_switch, 1);
        } else {
            EXPECT_EQ(+efs_ctx.current_bm, 0u);
            EXPECT_EQ(+efs_ctx.bme_offset, 16u);
        }
    }
}

TEST_F(EfsFormatMount, NewestRecordReadingBlankOnEveryPassFails) {
    const EfsLayoutRow row = dorv::test::efs_row(2, 7, 3);
    EfsImage image(row);
    image.bm_header(0, 1).bme(0, 0, image.identity_valid(), image.identity_spare());
    image.bme(0, 1, image.identity_valid(), image.identity_spare());
    image.at(16 + 22 + 2)[0] ^= 1;  // record 1 torn
    ASSERT_EQ(dorv::test::load_efs_layout(row), 0);
    FaultFlash flash;
    // Every re-read of record 1 reads erased: each pass ends, seven in all.
    flash.on_read = [](uint32_t offset, uint8_t* dst, uint32_t length) {
        if (offset == 16 + 22 && length == 22) std::memset(dst, 0xFF, length);
    };
    ScopedMedium scoped(medium(), flash);
    EXPECT_EQ(efs_mount_image(image.bytes.data(), static_cast<uint32_t>(image.bytes.size())), 41);
    flash.on_read = nullptr;
    EXPECT_EQ(efs_mount_image(image.bytes.data(), static_cast<uint32_t>(image.bytes.size())), 0);
    EXPECT_EQ(efs_ctx.force_bm_switch, 1);
}

TEST_F(EfsFormatMount, SizedMountLayoutChangesAndRemounts) {
    EfsImage image = EfsImage::formatted(kRow);
    EXPECT_EQ(EFS_init_tools(image.bytes.data()), 1);  // no layout loaded
    EXPECT_EQ(EFS_get_efs_size(), 49152u);
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    EXPECT_EQ(EFS_get_efs_size(), 7u * 4096);
    // A buffer one byte short is refused before anything is read.
    std::vector<uint8_t> shorter(image.bytes.begin(), image.bytes.end() - 1);
    EXPECT_EQ(efs_mount_image(shorter.data(), static_cast<uint32_t>(shorter.size())), 22);
    EXPECT_EQ(efs_mount_image(nullptr, 1u << 20), 22);
    ASSERT_EQ(efs_mount_image(image.bytes.data(), static_cast<uint32_t>(image.bytes.size())), 0);
    // A second mount releases the first one's tables (LSan would see them).
    ASSERT_EQ(EFS_init_tools(image.bytes.data()), 0);
    EXPECT_EQ(EFS_init_tools(nullptr), 22);
    EXPECT_EQ(efs_ctx.mounted, 1);
    // Loading the same layout keeps the mount; a changed place unmounts.
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    EXPECT_EQ(efs_ctx.mounted, 1);
    EfsLayoutRow moved = kRow;
    moved.files[1].offset = 12;
    ASSERT_EQ(dorv::test::load_efs_layout(moved), 0);
    EXPECT_EQ(efs_ctx.mounted, 0);
    std::vector<uint8_t> v(3), s(2);
    efs_bme_t e{v.data(), s.data(), 0, 0, 0};
    EXPECT_EQ(EFS_commit_BME(&e, 0, 0), 1);
    EXPECT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 1);
    // A changed geometry unmounts too.
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(EFS_init_tools(image.bytes.data()), 0);
    ASSERT_EQ(dorv::test::load_efs_layout(dorv::test::efs_row(2, 3, 3, kRow.files, 8)), 0);
    EXPECT_EQ(efs_ctx.mounted, 0);
}

// The aligned record of the mount tables (what keeps a mount that outlives
// the host reachable for the leak checker) holds the tables efs_ctx points
// to from every allocation, a refused mount's too, and nothing once they are
// released.
TEST_F(EfsFormatMount, TheAlignedRecordFollowsTheMountTables) {
    const auto& kept = dorv::efs::state().mount_tables;
    const auto tracks = [&] {
        return kept.erase_counts != nullptr && kept.erase_counts == efs_ctx.erase_counts &&
               kept.valid_map == efs_ctx.valid_map && kept.spare_map == efs_ctx.spare_map &&
               kept.spare_status == efs_ctx.spare_status;
    };
    const auto cleared = [&] {
        return kept.erase_counts == nullptr && kept.valid_map == nullptr && kept.spare_map == nullptr &&
               kept.spare_status == nullptr;
    };
    EfsImage image = EfsImage::formatted(kRow);
    const auto length = static_cast<uint32_t>(image.bytes.size());
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(efs_mount_image(image.bytes.data(), length), 0);
    EXPECT_TRUE(tracks());
    ASSERT_EQ(EFS_init(0), 0);  // a re-mount: new tables
    EXPECT_TRUE(tracks());
    std::vector<uint8_t> blank(length, 0xFF);
    ASSERT_EQ(efs_mount_image(blank.data(), length), 41);  // refused, its tables held until released
    EXPECT_TRUE(tracks());
    ASSERT_EQ(efs_mount_image(image.bytes.data(), length), 0);
    ASSERT_EQ(EFS_do_format(), 0);
    EXPECT_TRUE(cleared());
    ASSERT_EQ(efs_mount_image(image.bytes.data(), length), 0);
    EfsLayoutRow moved = kRow;
    moved.files[1].offset = 12;
    ASSERT_EQ(dorv::test::load_efs_layout(moved), 0);  // unmounts
    EXPECT_TRUE(cleared());
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(efs_mount_image(image.bytes.data(), length), 0);
    ASSERT_EQ(EFS_physical_init(1), 0);  // a new image of the library's own
    EXPECT_TRUE(cleared());
    ASSERT_EQ(efs_mount_image(image.bytes.data(), length), 0);
    efs_release_image();
    EXPECT_TRUE(cleared());
}

TEST_F(EfsFormatMount, SizedMountKeepsTheFlashLayerInsideTheCallersBuffer) {
    EfsImage image = EfsImage::formatted(kRow);
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    const uint32_t length = static_cast<uint32_t>(image.bytes.size());
    ASSERT_EQ(efs_mount_image(image.bytes.data(), length), 0);
    // A larger layout and a remount over the same buffer: the layout's size
    // grows, the caller's buffer does not, and nothing past it is touched.
    ASSERT_EQ(dorv::test::load_efs_layout(dorv::test::efs_row(2, 20, 3, kRow.files, 8)), 0);
    ASSERT_GT(EFS_get_efs_size(), length);
    EXPECT_NE(EFS_init(0), 0);
    uint8_t byte = 0;
    EXPECT_EQ(EFS_physical_read(length - 1, 1, &byte), 0);
    EXPECT_EQ(EFS_physical_read(length, 1, &byte), 22);
    EXPECT_EQ(EFS_physical_write(length, 1, &byte), 22);
    EXPECT_EQ(EFS_physical_erase(length, 4096), 22);
}

}  // namespace

namespace {

// A format over a mounted image unmounts it: with the old maps live, a later
// write would answer 0 and be gone after the next mount.
TEST_F(EfsFormatMount, FormatLeavesNoMountBehind) {
    EfsImage image = EfsImage::formatted(kRow);
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(efs_mount_image(image.bytes.data(), static_cast<uint32_t>(image.bytes.size())), 0);
    const uint8_t data[4] = {1, 2, 3, 4};
    ASSERT_EQ(EFS_write(0, 0, sizeof data, data), 0);
    ASSERT_EQ(EFS_do_format(), 0);
    EXPECT_EQ(EFS_is_initialized(), 0);
    EXPECT_EQ(EFS_write(0, 0, sizeof data, data), 1);
    EXPECT_EQ(EFS_delete(5), 1);
    EXPECT_EQ(EFS_idle_reclaim(), 1);
    EXPECT_EQ(image.bytes, EfsImage::formatted(kRow).bytes);
    ASSERT_EQ(efs_mount_image(image.bytes.data(), static_cast<uint32_t>(image.bytes.size())), 0);
    uint32_t length = sizeof data;
    uint8_t out[4] = {};
    EXPECT_EQ(EFS_read(0, 0, &length, out), 2);
}

// A reload that changes only the layout id unmounts: a mount kept over it
// would write headers of the new id at its next switch.
TEST_F(EfsFormatMount, AnotherLayoutIdUnmounts) {
    EfsImage image = EfsImage::formatted(kRow);
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(efs_mount_image(image.bytes.data(), static_cast<uint32_t>(image.bytes.size())), 0);
    EfsLayoutRow renamed = kRow;
    renamed.layout_id = 5;
    ASSERT_EQ(dorv::test::load_efs_layout(renamed), 0);
    EXPECT_EQ(EFS_is_initialized(), 0);
    const uint8_t data[1] = {7};
    EXPECT_EQ(EFS_write(0, 0, 1, data), 1);
    EXPECT_EQ(image.bytes, EfsImage::formatted(kRow).bytes);
}

// Layouts needing more blocks than the image was bound with: erase and format
// refuse them before their first store (erasing what fits first would leave
// an old file system that no longer mounts); back under the first layout the
// old file system mounts and the whole image is reachable.
void expect_only_the_first_layout_reaches_the_image() {
    const std::vector<uint8_t> before(efs_image, efs_image + 7 * 4096);
    const auto unchanged = [&] { return std::equal(before.begin(), before.end(), efs_image); };
    ASSERT_EQ(dorv::test::load_efs_layout(dorv::test::efs_row(9, 3, 2, kRow.files, 8)), 0);
    EXPECT_EQ(EFS_erase(), 22);
    EXPECT_TRUE(unchanged());
    ASSERT_EQ(dorv::test::load_efs_layout(dorv::test::efs_row(2, 7, 2, kRow.files, 8)), 0);
    EXPECT_EQ(EFS_do_format(), 22);
    EXPECT_TRUE(unchanged());
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    EXPECT_EQ(EFS_init(0), 0);
    EXPECT_EQ(EFS_do_format(), 0);
}

// An image adopted without a length keeps the size the layout needed then as
// its limit: erase and format under a layout needing more blocks refuse
// rather than write past the caller's buffer.
TEST_F(EfsFormatMount, AnUnsizedImageKeepsTheSizeItWasAdoptedWith) {
    EfsImage image = EfsImage::formatted(kRow);
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(EFS_init_tools(image.bytes.data()), 0);
    const auto before = image.bytes;
    expect_only_the_first_layout_reaches_the_image();
    EXPECT_EQ(image.bytes, before);
}

// The library's own image keeps the size it was allocated with as its limit:
// after a layout needing more blocks, erase and format refuse rather than
// write past its allocation.
TEST_F(EfsFormatMount, TheLibrarysOwnImageKeepsTheSizeItWasAllocatedWith) {
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(EFS_init(1), 0);
    expect_only_the_first_layout_reaches_the_image();
    EXPECT_EQ(EFS_init(0), 0);
}

// The library's own image handed back by EFS_init_tools under a larger
// layout keeps its allocated size (22), whatever the layout claims, so the
// flash layer never reaches past its allocation.
TEST_F(EfsFormatMount, TheLibrarysOwnImageHandedBackKeepsItsSize) {
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(EFS_init(1), 0);
    ASSERT_EQ(dorv::test::load_efs_layout(dorv::test::efs_row(2, 20, 3, kRow.files, 8)), 0);
    EXPECT_EQ(EFS_init_tools(efs_image), 22);
    uint8_t byte = 0;
    EXPECT_EQ(EFS_physical_read(7 * 4096, 1, &byte), 22);
}

// The library's own image handed back under a smaller layout keeps its
// allocated size as its limit, so handing it back again under the layout it
// was allocated for is accepted, not refused (22).
TEST_F(EfsFormatMount, TheLibrarysOwnImageHandedBackUnderASmallerLayoutKeepsItsSize) {
    const EfsLayoutRow large = dorv::test::efs_row(2, 7, 3, kRow.files, 8);
    ASSERT_EQ(dorv::test::load_efs_layout(large), 0);
    ASSERT_EQ(EFS_init(1), 0);
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    EXPECT_EQ(EFS_init_tools(efs_image), 41);  // formatted for the large layout
    ASSERT_EQ(dorv::test::load_efs_layout(large), 0);
    ASSERT_EQ(EFS_init_tools(efs_image), 0);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(EFS_write(0, 0, sizeof data, data), 0);
}

// A mount under a layout needing more than the image was adopted with is
// refused (22) and leaves the EFS unmounted; accepted, every write and idle
// step after it would answer 22.
TEST_F(EfsFormatMount, AMountPastTheAdoptedImageIsRefused) {
    const EfsLayoutRow small = dorv::test::efs_row(2, 7, 3, kRow.files, 8);
    const EfsLayoutRow large = dorv::test::efs_row(2, 21, 3, kRow.files, 8);
    EfsImage image = EfsImage::formatted(large);
    ASSERT_EQ(dorv::test::load_efs_layout(small), 0);
    EXPECT_EQ(EFS_init_tools(image.bytes.data()), 41);  // adopted as 12 blocks
    ASSERT_EQ(dorv::test::load_efs_layout(large), 0);
    const auto before = image.bytes;
    EXPECT_EQ(EFS_init(0), 22);
    EXPECT_EQ(EFS_is_initialized(), 0);
    EXPECT_EQ(image.bytes, before);
    // Adopted again under the larger layout, it mounts and takes writes.
    ASSERT_EQ(EFS_init_tools(image.bytes.data()), 0);
    const uint8_t data[3] = {1, 2, 3};
    EXPECT_EQ(EFS_write(0, 0, sizeof data, data), 0);
}

// Replacing the image unmounts: a mount kept over it would write the old
// maps into the fresh blank image at its next commit.
TEST_F(EfsFormatMount, ReplacingTheImageUnmounts) {
    EfsImage image = EfsImage::formatted(kRow);
    ASSERT_EQ(dorv::test::load_efs_layout(kRow), 0);
    ASSERT_EQ(EFS_init_tools(image.bytes.data()), 0);
    std::vector<uint8_t> valid(efs_ctx.valid_map, efs_ctx.valid_map + 3);
    std::vector<uint8_t> spare(efs_ctx.spare_map, efs_ctx.spare_map + 2);
    efs_bme_t entry{valid.data(), spare.data(), 0, 0, 0};
    ASSERT_EQ(EFS_physical_init(1), 0);
    EXPECT_EQ(EFS_is_initialized(), 0);
    EXPECT_EQ(EFS_commit_BME(&entry, 0, 0), 1);
    EXPECT_TRUE(std::all_of(efs_image, efs_image + efs_size, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(image.bytes, EfsImage::formatted(kRow).bytes);
}

}  // namespace
