// File operations: the bytes a write and a delete put on flash, reads of
// parts of files across blocks, the argument and state checks, and the
// refusals of changes a layout cannot carry out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "support/alloc_failure.h"
#include "support/efs_file_reader.h"
#include "support/efs_fixture.h"

namespace {

using dorv::test::EfsImage;
using dorv::test::EfsLayoutFile;
using dorv::test::EfsLayoutRow;
using dorv::test::FaultFlash;
using dorv::test::FlashOp;
using dorv::test::ref_crc16;
using dorv::test::ref_crc32;
using dorv::test::ScopedMedium;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

std::vector<uint8_t> pattern(uint32_t size, uint8_t seed) {
    std::vector<uint8_t> out(size + 1u);  // data() is never null, even for size 0
    for (uint32_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    out.pop_back();
    return out;
}

// CRC-16 of a record: seeded with the block, over the length field and data.
uint16_t record_crc(uint32_t block, uint16_t length, const uint8_t* data, uint32_t count) {
    const uint8_t len[2] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    return ref_crc16(ref_crc16(static_cast<uint16_t>(block), len, 2), data, count);
}

class EfsFiles : public dorv::test::EfsMountedTest {
protected:
    // Payload of the physical block that logical block l is committed to.
    const uint8_t* payload_of(uint32_t logical) { return image_.at(image_.data_offset(efs_ctx.valid_map[logical]) + 16); }
    // Forgets the status scan, as right after a mount.
    static void reset_scan() { efs_ctx.status_scanned = 0; }
    int write(uint32_t index, const std::vector<uint8_t>& data) {
        return EFS_write(index, 0, static_cast<uint32_t>(data.size()), data.data());
    }
};

TEST_F(EfsFiles, WriteCopiesTheBlockIntoTheLowestCountSpareAndAppendsOneEntry) {
    // Files 0 and 1 share block 1; spare slot 1 has the lowest count.
    mount(dorv::test::efs_row(2, 7, 3, {{0, 1, 8, 100}, {1, 1, 500, 100}}, 2),
          [](EfsImage& im) { im.data_header(7, 5).data_header(8, 2).data_header(9, 3); });
    const std::vector<uint8_t> before(payload_of(1), payload_of(1) + 4076);
    const auto data = pattern(10, 1);
    ASSERT_EQ(write(0, data), 0);

    const uint32_t fresh = 8;
    EXPECT_EQ(efs_ctx.valid_map[1], fresh);
    EXPECT_EQ(efs_ctx.spare_map[1], 1);
    const uint8_t* block = image_.at(image_.data_offset(fresh));
    EXPECT_EQ(le32(block), 2u) << "the new block keeps its own erase count";
    const uint8_t* p = block + 16;
    EXPECT_EQ(le16(p + 8), 10);
    EXPECT_EQ(le16(p + 10), record_crc(1, 10, data.data(), 10));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), p + 12));
    // Every other payload byte is carried over, file 1's empty record too.
    for (uint32_t i = 0; i < 4076; ++i) {
        if (i < 8 || i >= 22) {
            ASSERT_EQ(p[i], before[i]) << i;
        }
    }
    EXPECT_EQ(le16(p + 502), 0x0D2E);
    EXPECT_EQ(le32(block + 4092), ref_crc32(0, p, 4076));
    // One entry appended behind the first: valid[1] = 8, spare slot 1 = 1.
    const uint32_t r = 7 + 3 + 12;
    EXPECT_EQ(+efs_ctx.bme_offset, 16 + r);
    const uint8_t* e = image_.at(16 + r);
    const std::vector<uint8_t> expect = {0, 8, 2, 3, 4, 5, 6, 7, 1, 9};
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), e));
    EXPECT_EQ(le32(e + 10), 0u);
    EXPECT_EQ(le32(e + 14), 0u);
    EXPECT_EQ(le32(e + 18), ref_crc32(0, e, 18));
    EXPECT_EQ(efs_ctx.spare_status[1], EFS_SPARE_DIRTY);

    // Read back: asking for 100 bytes delivers the 10 there are.
    uint32_t length = 100;
    std::vector<uint8_t> out(100, 0);
    ASSERT_EQ(EFS_read(0, 0, &length, out.data()), 0);
    EXPECT_EQ(length, 10u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
    uint32_t size = 0;
    ASSERT_EQ(EFS_get_file_size(0, &size), 0);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(EFS_get_file_size(1, &size), 2);
    EXPECT_EQ(size, 10u) << "the size is written only on success";
}

TEST_F(EfsFiles, AFileSpillingIntoTheNextBlockKeepsAContinuationRecordThere) {
    mount(dorv::test::efs_row(2, 4, 3, {{0, 1, 4000, 300}}, 1));
    const auto data = pattern(200, 7);
    ASSERT_EQ(write(0, data), 0);
    const uint8_t* first = payload_of(1);
    EXPECT_EQ(le16(first + 4000), 200);
    EXPECT_EQ(le16(first + 4002), record_crc(1, 200, data.data(), 72));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 72, first + 4004));
    const uint8_t* next = payload_of(2);
    EXPECT_EQ(le16(next), 0xFFFF);
    EXPECT_EQ(le16(next + 2), record_crc(2, 0xFFFF, data.data() + 72, 128));
    EXPECT_TRUE(std::equal(data.begin() + 72, data.end(), next + 4));
    EXPECT_EQ(next[4 + 128], 0xFF);

    struct Read {
        uint32_t offset, wanted;
        int rc;
        uint32_t delivered;
    };
    for (const Read rd : {Read{100, 50, 0, 50}, Read{0, 200, 0, 200}, Read{60, 30, 0, 30}, Read{72, 500, 0, 128},
                          Read{199, 9, 0, 1}, Read{200, 5, 0, 0}, Read{201, 1, 34, 0},
                          Read{1, 0xFFFFFFFFu, 22, 0}}) {
        SCOPED_TRACE(::testing::Message() << rd.offset << "+" << rd.wanted);
        std::vector<uint8_t> out(300, 0xEE);
        uint32_t length = rd.wanted;
        ASSERT_EQ(EFS_read(0, rd.offset, &length, out.data()), rd.rc);
        ASSERT_EQ(length, rd.delivered);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + rd.delivered, data.begin() + rd.offset));
        EXPECT_EQ(out[rd.delivered], 0xEE);
    }
    // A damaged continuation record is found even by a read that starts
    // beyond the first block.
    image_.at(image_.data_offset(efs_ctx.valid_map[2]) + 16 + 50)[0] ^= 1;
    uint32_t length = 10;
    std::vector<uint8_t> out(10);
    EXPECT_EQ(EFS_read(0, 100, &length, out.data()), 41);
    EXPECT_EQ(length, 0u);
    length = 10;
    EXPECT_EQ(EFS_read(0, 0, &length, out.data()), 0) << "the first block alone still reads";
}

TEST_F(EfsFiles, SizeZeroDeleteAndTheFileStatesAReadSees) {
    mount(dorv::test::efs_row(2, 4, 2, {{0, 0, 0, 100}, {1, 0, 200, 100}}, 2));
    uint32_t length = 5, size = 9;
    std::vector<uint8_t> out(8);
    EXPECT_EQ(EFS_read(0, 0, &length, out.data()), 2);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(EFS_delete(0), 2) << "already empty";

    ASSERT_EQ(write(0, pattern(0, 0)), 0);
    const uint8_t* p = payload_of(0);
    EXPECT_EQ(le16(p), 0);
    EXPECT_EQ(le16(p + 2), record_crc(0, 0, nullptr, 0));
    length = 5;
    EXPECT_EQ(EFS_read(0, 0, &length, out.data()), 0);
    EXPECT_EQ(length, 0u);
    length = 5;
    EXPECT_EQ(EFS_read(0, 3, &length, out.data()), 0) << "a file of length 0 delivers nothing at any offset";
    EXPECT_EQ(length, 0u);
    ASSERT_EQ(EFS_get_file_size(0, &size), 0);
    EXPECT_EQ(size, 0u);

    const auto data = pattern(60, 3);
    ASSERT_EQ(write(0, data), 0);
    ASSERT_EQ(write(1, pattern(20, 4)), 0);
    ASSERT_EQ(EFS_delete(0), 0);
    p = payload_of(0);
    EXPECT_EQ(le16(p), 0xFFFF);
    EXPECT_EQ(le16(p + 2), 0x1D0F);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), p + 4)) << "the old data bytes stay";
    length = 5;
    EXPECT_EQ(EFS_read(0, 0, &length, out.data()), 2);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(EFS_get_file_size(0, &size), 2);
    EXPECT_EQ(EFS_delete(0), 2);
    EXPECT_EQ(dorv::test::efs_read_whole(1).data, pattern(20, 4)) << "the neighbour in the block survives";

    // A stored length above max_size is corrupt data.
    ASSERT_EQ(write(1, pattern(20, 4)), 0);
    EXPECT_EQ(efs_ctx.mounted, 1);
    row_.files[1].max_size = 10;
    ASSERT_EQ(dorv::test::load_efs_layout(row_), 0);
    EXPECT_EQ(EFS_is_initialized(), 0) << "a layout change unmounts";
    ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
    EXPECT_EQ(EFS_is_initialized(), 1);
    length = 5;
    EXPECT_EQ(EFS_read(1, 0, &length, out.data()), 41);
    EXPECT_EQ(EFS_get_file_size(1, &size), 41);
}

TEST_F(EfsFiles, ArgumentsAndStateAreCheckedBeforeTheFlash) {
    uint32_t length = 4, size = 0;
    uint8_t buf[8] = {};
    // Not mounted.
    EXPECT_EQ(EFS_is_initialized(), 0);
    EXPECT_EQ(EFS_read(0, 0, &length, buf), 1);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(EFS_read(0, 0, nullptr, buf), 1);
    EXPECT_EQ(EFS_write(0, 0, 1, buf), 1);
    EXPECT_EQ(EFS_delete(0), 1);
    EXPECT_EQ(EFS_get_file_size(0, &size), 1);
    EXPECT_EQ(EFS_wear_leveling(0, 0), 1);
    EXPECT_EQ(EFS_idle_reclaim(), 1);

    // File 2 has no place; the layout has 4 indexes.
    mount(dorv::test::efs_row(2, 4, 2, {{0, 0, 0, 100}, {1, 3, 0, 100}, {3, 1, 0, 10}}, 4));
    EXPECT_EQ(EFS_is_initialized(), 1);
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    for (uint32_t index : {2u, 4u, 0xFFFFFFFFu}) {
        length = 4;
        EXPECT_EQ(EFS_read(index, 0, &length, buf), 22);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(EFS_write(index, 0, 1, buf), 22);
        EXPECT_EQ(EFS_delete(index), 22);
        EXPECT_EQ(EFS_get_file_size(index, &size), 22);
    }
    length = 4;
    EXPECT_EQ(EFS_read(0, 0, nullptr, buf), 22);
    EXPECT_EQ(EFS_read(0, 0, &length, nullptr), 22);
    EXPECT_EQ(length, 0u);
    length = 2;
    EXPECT_EQ(EFS_read(0, 0xFFFFFFFEu, &length, buf), 22) << "offset + length passes 2^32 - 1";
    EXPECT_EQ(EFS_get_file_size(0, nullptr), 22);
    EXPECT_EQ(EFS_write(0, 0, 1, nullptr), 22);
    EXPECT_EQ(EFS_write(0, 1, 1, buf), 22);
    EXPECT_TRUE(flash.log().empty());
    EXPECT_EQ(flash.reads(), 0u);
    EXPECT_EQ(efs_ctx.status_scanned, 0);

    // Too long: 34, after the scan has run all the same.
    std::vector<uint8_t> big(101, 1);
    EXPECT_EQ(EFS_write(0, 0, 101, big.data()), 34);
    EXPECT_EQ(efs_ctx.status_scanned, 1);
    EXPECT_TRUE(flash.log().empty());
}

// A write over the file's limit (34) and the delete of an empty file (2)
// answer only after the status scan, so the spare statuses are known after
// them; answered before it, the host's spare calls would find no free spare
// (28).
TEST_F(EfsFiles, ARefusedWriteOrDeleteLeavesTheSpareStatusesKnown) {
    const auto row = dorv::test::efs_row(2, 7, 3, {{0, 0, 0, 100}, {1, 0, 200, 100}}, 2);
    const std::vector<uint8_t> data(101, 0x5A);
    int slot = -1;
    mount(row);
    EXPECT_EQ(EFS_delete(0), 2);
    EXPECT_EQ(EFS_select_free_page_for_write(&slot), 0);
    EXPECT_EQ(slot, 0);

    reset();
    mount(row);
    EXPECT_EQ(EFS_write(0, 0, 101, data.data()), 34);
    EXPECT_EQ(EFS_select_free_page_for_write(&slot), 0);

    // After a write and a remount, one spare is used and known only to a scan.
    reset();
    mount(row);
    ASSERT_EQ(EFS_write(0, 0, 50, data.data()), 0);
    ASSERT_EQ(EFS_init(0), 0);
    EXPECT_EQ(EFS_delete(1), 2);
    const std::vector<uint8_t> payload(4076, 0xFF);
    std::vector<uint8_t> valid(efs_ctx.valid_map, efs_ctx.valid_map + 7), spare(efs_ctx.spare_map, efs_ctx.spare_map + 3);
    efs_bme_t e{valid.data(), spare.data(), 0, 0, 0};
    EXPECT_EQ(EFS_bme_swap_and_write_new_block(&e, 1, payload.data()), 0);
    EXPECT_EQ(EFS_erase_dirty_block(), 0);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, std::vector<uint8_t>(50, 0x5A));
}

TEST_F(EfsFiles, AWriteRunningPastTheLastBlockIsRefusedBeforeAnySpareIsTouched) {
    // File 0 starts in the last logical block: anything beyond 4072 - 100
    // bytes would need block 4.
    mount(dorv::test::efs_row(2, 4, 3, {{0, 3, 100, 9000}}, 1));
    const auto old = pattern(30, 5);
    ASSERT_EQ(write(0, old), 0);
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    const auto data = pattern(3973, 6);
    EXPECT_EQ(write(0, data), 22);
    EXPECT_TRUE(flash.log().empty());
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, old);
    EXPECT_EQ(write(0, pattern(3972, 6)), 0) << "exactly the room of the block fits";
}

TEST_F(EfsFiles, AFullFirstBlockIsWrittenAsOneBlockAfterMakingSureOfTwoSpares) {
    mount(dorv::test::efs_row(2, 3, 2, {{0, 0, 0, 4072}, {1, 1, 0, 10}}, 2));
    ASSERT_EQ(write(1, pattern(5, 1)), 0);
    ASSERT_EQ(write(1, pattern(6, 2)), 0);
    ASSERT_EQ(+efs_ctx.free_count, 0u);
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    const auto data = pattern(4072, 3);
    ASSERT_EQ(write(0, data), 0);
    const auto erases = std::count_if(flash.log().begin(), flash.log().end(),
                                      [](const FlashOp& op) { return op.kind == FlashOp::Kind::erase; });
    EXPECT_EQ(erases, 2);
    const auto payload_writes = std::count_if(flash.log().begin(), flash.log().end(),
                                              [](const FlashOp& op) { return op.length == 4076; });
    EXPECT_EQ(payload_writes, 1);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, data);
}

TEST_F(EfsFiles, ChangesTheLayoutCannotCarryOutAreRefusedUntouched) {
    struct Case {
        const char* name;
        EfsLayoutRow row;
        std::function<int()> call;
        int rc;
        bool before_maintenance = false;  // refused before the scan and wear levelling
    };
    const std::vector<uint8_t> buf(70000, 0x3C);
    using dorv::test::efs_row;
    // Threshold 0: wear levelling would move a block before the refusal.
    const auto worn = [](EfsLayoutRow row) {
        row.wear_leveling_threshold = 0;
        return row;
    };
    const std::vector<Case> cases = {
        // Length 0xFFFF would read back as an empty file.
        {"65535 bytes", efs_row(2, 18, 17, {{0, 0, 0, 0xFFFF}}, 1),
         [&] { return EFS_write(0, 0, 0xFFFF, buf.data()); }, 34},
        // More blocks than spares can never land: refused before a wear move.
        {"more blocks than spares", worn(efs_row(2, 4, 1, {{0, 0, 100, 5000}}, 1)),
         [&] { return EFS_write(0, 0, 3969, buf.data()); }, 28, true},
        {"delete without spares", worn(efs_row(2, 4, 0, {{0, 0, 0, 10}}, 1)), [] { return EFS_delete(0); }, 28,
         true},
        // A write whose data would cover the next file's record header.
        {"data over a neighbour", efs_row(2, 4, 2, {{0, 0, 0, 400}, {1, 0, 100, 10}}, 2),
         [&] { return EFS_write(0, 0, 97, buf.data()); }, 22},
        {"continuation over a neighbour", efs_row(2, 4, 2, {{0, 1, 4072, 400}, {1, 2, 200, 10}}, 2),
         [&] { return EFS_write(0, 0, 197, buf.data()); }, 22},
        {"delete over a neighbour", efs_row(2, 4, 2, {{0, 0, 102, 10}, {1, 0, 100, 10}}, 2),
         [] { return EFS_delete(0); }, 22},
        {"same place twice", efs_row(2, 4, 2, {{0, 0, 100, 10}, {1, 0, 100, 10}}, 2),
         [&] { return EFS_write(1, 0, 0, buf.data()); }, 22},
        // Blocks past the last logical one; a wear move is due first.
        {"write past the last block", worn(efs_row(2, 4, 3, {{0, 3, 100, 9000}}, 1)),
         [&] { return EFS_write(0, 0, 3973, buf.data()); }, 22},
        {"delete past the last block", worn(efs_row(2, 4, 3, {{0, 4, 0, 10}}, 1)), [] { return EFS_delete(0); },
         22},
        // A size over the limit and an empty file, after a wear move.
        {"longer than the limit", worn(efs_row(2, 4, 3, {{0, 1, 0, 10}}, 1)),
         [&] { return EFS_write(0, 0, 11, buf.data()); }, 34},
        {"delete of an empty file", worn(efs_row(2, 4, 3, {{0, 1, 0, 10}}, 1)), [] { return EFS_delete(0); }, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The image the scan and wear levelling alone leave: a write or delete
        // runs them first, and they stay done when it then refuses.
        reset();
        mount(c.row);
        reset_scan();
        ASSERT_EQ(EFS_wear_leveling(0, 0), 0);
        const std::vector<uint8_t> maintained = image_.bytes;
        reset();
        mount(c.row);
        std::vector<dorv::test::EfsFileRead> before;
        for (const EfsLayoutFile& f : c.row.files) before.push_back(dorv::test::efs_read_whole(f.file_index));
        reset_scan();
        const std::vector<uint8_t> untouched = image_.bytes;
        EXPECT_EQ(c.call(), c.rc);
        if (c.before_maintenance) {
            EXPECT_EQ(efs_ctx.status_scanned, 0);
            EXPECT_EQ(image_.bytes, untouched);
        } else {
            EXPECT_EQ(efs_ctx.status_scanned, 1) << "the spare statuses are known after a refusal";
            EXPECT_EQ(image_.bytes, maintained) << "the call's own change made no store";
        }
        for (std::size_t i = 0; i < c.row.files.size(); ++i) {
            const auto now = dorv::test::efs_read_whole(c.row.files[i].file_index);
            EXPECT_EQ(now.rc, before[i].rc);
            EXPECT_EQ(now.data, before[i].data);
        }
    }
    // Just short of each neighbour is fine.
    reset();
    mount(efs_row(2, 4, 2, {{0, 0, 0, 400}, {1, 0, 100, 10}}, 2));
    EXPECT_EQ(EFS_write(0, 0, 96, buf.data()), 0);
    EXPECT_EQ(EFS_write(1, 0, 10, buf.data()), 0);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, std::vector<uint8_t>(96, 0x3C));
    reset();
    mount(efs_row(2, 4, 2, {{0, 1, 4072, 400}, {1, 2, 200, 10}}, 2));
    EXPECT_EQ(EFS_write(0, 0, 196, buf.data()), 0);
    EXPECT_EQ(dorv::test::efs_read_whole(1).rc, 0);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, std::vector<uint8_t>(196, 0x3C));
}

// Spares whose erase count (0xFFFFFFFF) no choice takes do not count as
// free: a two-block write with too few others answers 28 before it copies
// anything, rather than copying its first block and then failing.
TEST_F(EfsFiles, SparesNoChoiceTakesAreNotCountedFree) {
    EfsLayoutRow row = dorv::test::efs_row(2, 4, 3, {{0, 0, 0, 8000}}, 1);
    row.wear_leveling_threshold = 0xFFFFFFFFu;
    mount(row, [](EfsImage& im) { im.data_header(5, 0xFFFFFFFFu).data_header(6, 0xFFFFFFFFu); });
    const auto before = image_.bytes;
    EXPECT_EQ(write(0, pattern(8000, 1)), 28);
    EXPECT_EQ(image_.bytes, before);
    EXPECT_EQ(write(0, pattern(4000, 2)), 0) << "one block takes the one spare left";
}

// The spares a write makes sure of can be one more than the blocks it
// writes; only the blocks it writes need a choosable spare, so a one-block
// write with one choosable spare succeeds instead of answering 28.
TEST_F(EfsFiles, ChoosableSparesAreNeededOnlyForTheBlocksAWriteWrites) {
    EfsLayoutRow row = dorv::test::efs_row(2, 4, 2, {{0, 0, 0, 8000}}, 1);
    row.wear_leveling_threshold = 0xFFFFFFFFu;
    mount(row, [](EfsImage& im) { im.data_header(5, 0xFFFFFFFFu); });
    const auto data = pattern(4072, 4);  // one block, two spares made sure of
    ASSERT_EQ(write(0, data), 0);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, data);
    EXPECT_EQ(efs_ctx.valid_map[0], 4);
}

TEST_F(EfsFiles, ARecordOffsetBeyondThePayloadIsRefusedWithoutFlashAccess) {
    // Format refuses such a layout, so the image is built by the test.
    mount(dorv::test::efs_row(2, 4, 2, {{0, 0, 4073, 10}, {1, 0, 0, 10}}, 2));
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    uint8_t buf[16] = {};
    uint32_t length = 4, size = 0;
    EXPECT_EQ(EFS_read(0, 0, &length, buf), 22);
    EXPECT_EQ(EFS_write(0, 0, 4, buf), 22);
    EXPECT_EQ(EFS_delete(0), 22);
    EXPECT_EQ(EFS_get_file_size(0, &size), 22);
    EXPECT_TRUE(flash.log().empty());
    EXPECT_EQ(flash.reads(), 0u);
    EXPECT_EQ(EFS_write(1, 0, 4, buf), 0);
}

TEST_F(EfsFiles, AllocationFailuresAnswer12WithNothingWritten) {
    mount(dorv::test::efs_row(2, 4, 2, {{0, 0, 0, 10}}, 1));
    if (!dorv::test::AllocFailure::coversCAllocations()) GTEST_SKIP() << "C allocations are not wrapped here";
    const uint8_t buf[4] = {1, 2, 3, 4};
    ASSERT_EQ(EFS_write(0, 0, 4, buf), 0);
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    for (long successes : {0L, 1L}) {
        bool triggered = false;
        EXPECT_EQ(dorv::test::runWithAllocFailure(successes, triggered, [&] { return EFS_write(0, 0, 2, buf); }), 12);
        EXPECT_TRUE(triggered);
        EXPECT_EQ(dorv::test::runWithAllocFailure(successes, triggered, [] { return EFS_delete(0); }), 12);
        EXPECT_EQ(dorv::test::runWithAllocFailure(successes, triggered, [] { return EFS_wear_leveling(0, 0); }), 12);
    }
    EXPECT_TRUE(flash.log().empty());
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, std::vector<uint8_t>(buf, buf + 4));
}

}  // namespace

namespace {

// A mount takes the record before the first erased slot as the newest, so a
// commit appended in front of stray bytes in an adopted image would be lost
// (and with two stray slots the image would no longer mount).
TEST_F(EfsFiles, ACommitInFrontOfStrayBytesMovesToTheNextBmBlock) {
    const uint32_t r = 7 + 3 + 12;
    mount(dorv::test::efs_row(2, 7, 3, {{0, 0, 0, 100}}, 1), [&](EfsImage& im) {
        im.at(16 + 2 * r + 3)[0] = 0;
        im.at(16 + 3 * r + 3)[0] = 0;
    });
    ASSERT_EQ(+efs_ctx.bme_offset, 16u);
    const auto data = pattern(4, 1);
    ASSERT_EQ(write(0, data), 0);
    EXPECT_EQ(+efs_ctx.generation, 2u);
    EXPECT_EQ(+efs_ctx.current_bm, 1u);
    ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
    EXPECT_EQ(dorv::test::efs_read_whole(0).data, data);
    // In the library's own blocks the slot behind is erased: appends go on.
    ASSERT_EQ(write(0, pattern(5, 2)), 0);
    EXPECT_EQ(+efs_ctx.bme_offset, 16u + r);
}

}  // namespace

// A write that needs more blocks than the layout has spares is answered
// before the maintenance, a delete of an empty file needs no spare, and a
// block write or swap checks its whole target blank before its first store.
TEST_F(EfsFiles, SpareShortagesAndUnblankSparesAreAnsweredBeforeAnyStore) {
    using dorv::test::efs_row;
    const std::vector<uint8_t> data(4000, 0x6B), payload(4076, 0x17);
    EfsLayoutRow row = efs_row(2, 4, 1, {{0, 0, 100, 5000}}, 1);
    row.wear_leveling_threshold = 0;  // a wear move would be due
    mount(row);
    const auto untouched = image_.bytes;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(EFS_write(0, 0, 3969, data.data()), 28);
        EXPECT_EQ(image_.bytes, untouched);
    }
    EXPECT_EQ(EFS_write(0, 0, 3968, data.data()), 0) << "one spare carries one block";

    // The only spare's count is one no choice takes (A), or the host has
    // filled it with the last count a choice takes (B): an empty file is
    // still answered 2, after B's spare is erased as none is free.
    row = efs_row(2, 3, 1, {{0, 0, 0, 100}}, 1);
    row.wear_leveling_threshold = 0xFFFFFFFFu;
    for (const bool filled : {false, true}) {
        SCOPED_TRACE(filled ? "B" : "A");
        reset();
        mount(row);
        const uint8_t spare = efs_ctx.spare_map[0];
        ASSERT_EQ(EFS_erase_data_block(spare, filled ? 0xFFFFFFFDu : 0xFFFFFFFEu), 0);
        if (filled) {
            ASSERT_EQ(EFS_write_data_block(spare, payload.data()), 0);
        }
        EXPECT_EQ(EFS_delete(0), 2);
        EXPECT_EQ(EFS_delete(0), 2);
        EXPECT_EQ(le32(image_.at(image_.data_offset(spare))), 0xFFFFFFFFu);
        EXPECT_EQ(EFS_write(0, 0, 10, data.data()), 28) << "the write needs the spare no choice takes";
    }

    // A footer already on the spare (A), or zeros over the footer of every
    // free spare (B): the payload write and the swap write nothing.
    reset();
    mount(efs_row(2, 7, 3, {{0, 0, 0, 100}}, 1));
    const uint8_t spare = efs_ctx.spare_map[0];
    ASSERT_EQ(EFS_write_data_footer(spare, payload.data()), 0);
    auto before = image_.bytes;
    EXPECT_EQ(EFS_write_data_block(spare, payload.data()), 41);
    EXPECT_EQ(image_.bytes, before);

    reset();
    mount(efs_row(2, 7, 3, {{0, 0, 0, 100}}, 1));
    ASSERT_EQ(EFS_scan_for_Data_Blocks_status_and_EC(), 0);
    const uint8_t zeros[4] = {};
    for (uint32_t s = 0; s < 3; ++s) {
        if (efs_ctx.spare_status[s] != EFS_SPARE_FREE) continue;
        ASSERT_EQ(EFS_physical_write((2 + efs_ctx.spare_map[s]) * 4096u + 4092u, 4, zeros), 0);
    }
    before = image_.bytes;
    std::vector<uint8_t> valid(efs_ctx.valid_map, efs_ctx.valid_map + 7), spares(efs_ctx.spare_map, efs_ctx.spare_map + 3);
    efs_bme_t entry{valid.data(), spares.data(), 0, 0, 0};
    EXPECT_EQ(EFS_bme_swap_and_write_new_block(&entry, 0, payload.data()), 41);
    EXPECT_EQ(image_.bytes, before);
    EXPECT_EQ(std::vector<uint8_t>(efs_ctx.valid_map, efs_ctx.valid_map + 7), valid) << "the entry is unchanged";
}
