// Emulated flash, checksums and verified I/O of the EFS.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "support/efs_fixture.h"

namespace {

using dorv::test::EfsImage;
using dorv::test::EfsLayoutRow;
using dorv::test::FaultFlash;
using dorv::test::ref_crc16;
using dorv::test::ref_crc32;
using dorv::test::ScopedMedium;

class EfsFlash : public dorv::test::EfsTest {
protected:
    void SetUp() override {
        EfsTest::SetUp();
        image_ = EfsImage::formatted(row_);
        adopt(row_, image_.bytes);
        set_mounted(image_.bytes, row_);
    }
    EfsLayoutRow row_ = dorv::test::efs_row(2, 7, 3, {{0, 0, 0, 100}, {1, 1, 100, 50}});
    EfsImage image_{row_};
};

TEST(EfsCrc, ReferenceValuesAndTablesMatchBitByBitDefinitions) {
    const auto* abc = reinterpret_cast<const uint8_t*>("abc");
    const uint8_t ff[2] = {0xFF, 0xFF};
    EXPECT_EQ(EFS_crc32(0, abc, 3), 0xCA6598D0u);
    EXPECT_EQ(ref_crc32(0, abc, 3), 0xCA6598D0u);
    EXPECT_EQ(EFS_crc16(0, abc, 3), 0x9DD6u);
    EXPECT_EQ(EFS_crc16(0, ff, 2), 0x1D0Fu);
    EXPECT_EQ(EFS_crc16(1, ff, 2), 0x0D2Eu);
    EXPECT_EQ(EFS_crc32(0x12345678u, abc, 0), 0x12345678u);
    EXPECT_EQ(EFS_crc16(0xABCDu, abc, 0), 0xABCDu);
    for (uint32_t i = 0; i < 256; ++i) {
        const uint8_t byte = static_cast<uint8_t>(i);
        EXPECT_EQ(gCrc32_table[i], ref_crc32(0, &byte, 1)) << i;
        EXPECT_EQ(gCrc16_table[i], ref_crc16(0, &byte, 1)) << i;
    }
    // Every length around the sliced steps, unaligned starts and seeds.
    std::mt19937 rng(7);
    std::vector<uint8_t> data(4200);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    for (uint32_t length : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 100u, 4076u}) {
        for (uint32_t start : {0u, 1u, 3u}) {
            const uint32_t seed = rng();
            EXPECT_EQ(EFS_crc32(seed, data.data() + start, length), ref_crc32(seed, data.data() + start, length));
            EXPECT_EQ(EFS_crc16(seed & 0xFFFF, data.data() + start, length),
                      ref_crc16(static_cast<uint16_t>(seed), data.data() + start, length));
        }
    }
}

TEST_F(EfsFlash, RangesAreCheckedAtTheLastByteWithoutWrapping) {
    const uint32_t size = efs_size;
    ASSERT_EQ(size, 12u * 4096u);
    uint8_t buf[4096] = {};
    struct Case {
        uint32_t address, length;
        int expect;
    };
    for (const Case& c : {Case{size - 1, 1, 0}, Case{size - 1, 2, 22}, Case{0, 0, 22}, Case{size, 1, 22},
                          Case{1, 0xFFFFFFFFu, 22}, Case{0xFFFFFFFFu, 2, 22}}) {
        const auto before = image_.bytes;
        EXPECT_EQ(EFS_physical_read(c.address, c.length, buf), c.expect) << c.address << "+" << c.length;
        EXPECT_EQ(EFS_physical_write(c.address, c.length, buf), c.expect) << c.address << "+" << c.length;
        if (c.expect != 0) {
            EXPECT_EQ(image_.bytes, before);
        }
    }
    // Erases: whole blocks only, the image unchanged otherwise.
    const auto before = image_.bytes;
    for (const Case& c : {Case{size - 4096, 8192, 22}, Case{100, 4096, 22}, Case{4096, 100, 22},
                          Case{0, 0, 22}, Case{size, 4096, 22}}) {
        EXPECT_EQ(EFS_physical_erase(c.address, c.length), c.expect);
    }
    EXPECT_EQ(image_.bytes, before);
    EXPECT_EQ(EFS_physical_erase(size - 4096, 4096), 0);
    EXPECT_TRUE(std::all_of(image_.bytes.end() - 4096, image_.bytes.end(), [](uint8_t b) { return b == 0xFF; }));
    efs_image = nullptr;
    EXPECT_EQ(EFS_physical_read(0, 1, buf), 22);
    EXPECT_EQ(EFS_physical_write(0, 1, buf), 22);
    EXPECT_EQ(EFS_physical_erase(0, 4096), 22);
}

TEST_F(EfsFlash, InitAdoptsWithoutTouchingAndCreateNeverReleasesTheCallersImage) {
    const auto before = image_.bytes;
    EXPECT_EQ(EFS_physical_init(0), 0);
    EXPECT_EQ(image_.bytes, before);
    ASSERT_EQ(EFS_physical_init(1), 0);  // ASan would report a free of the caller's buffer
    ASSERT_NE(efs_image, image_.bytes.data());
    EXPECT_EQ(image_.bytes, before);
    EXPECT_TRUE(std::all_of(efs_image, efs_image + efs_size, [](uint8_t b) { return b == 0xFF; }));
    ASSERT_EQ(EFS_physical_init(1), 0);  // the library's own image is replaced (LSan sees a leak otherwise)
    dorv::efs::reset_efs_state();  // releases the library's image
    EXPECT_EQ(EFS_physical_init(0), 1);
    EXPECT_EQ(efs_size, 12u * 4096u);
}

TEST_F(EfsFlash, VerifiedWriteRefusesBadArgumentsANonBlankTargetAndRetryCountZero) {
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    const std::vector<uint8_t> data(4097, 0x5A);
    const uint32_t spare = image_.data_offset(7) + 16;  // a blank payload
    EXPECT_EQ(EFS_write_with_read_check(spare, 4097, data.data(), 1), 22);
    EXPECT_EQ(EFS_write_with_read_check(spare, 0, data.data(), 1), 22);
    EXPECT_EQ(EFS_write_with_read_check(spare, 4, nullptr, 1), 22);
    EXPECT_EQ(EFS_write_with_read_check(efs_size - 2, 4, data.data(), 0), 22);
    // Target holds data (a spare's header): seven blank checks, nothing written.
    EXPECT_EQ(EFS_write_with_read_check(image_.data_offset(7), 16, data.data(), 1), 41);
    EXPECT_EQ(flash.reads(), 7u);
    efs_ctx.retry_count = 0;
    EXPECT_EQ(EFS_write_with_read_check(spare, 16, data.data(), 0), 41);
    EXPECT_TRUE(flash.log().empty());
}

// While mounted, a verified write into the blank bytes of a BM block or of a
// block holding files is refused (22): behind the block manager's back, the
// next mount would take a record there, and a payload byte would break the
// block's footer.
TEST_F(EfsFlash, AVerifiedWriteIntoTheMountedStateIsRefused) {
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(EFS_write_with_read_check(4096 - 4, 4, data, 1), 22);                   // current BM block
    EXPECT_EQ(EFS_write_with_read_check(4096 + 100, 4, data, 1), 22);                 // next BM block
    EXPECT_EQ(EFS_write_with_read_check(image_.data_offset(0) + 4000, 4, data, 1), 22);  // a file's block
    EXPECT_EQ(EFS_write_with_read_check(image_.data_offset(7) - 2, 4, data, 1), 22);     // into a spare from one
    EXPECT_TRUE(flash.log().empty());
    EXPECT_EQ(EFS_write_with_read_check(image_.data_offset(8) + 100, 4, data, 1), 0);  // spares are the caller's
    efs_ctx.mounted = 0;
    EXPECT_EQ(EFS_write_with_read_check(4096 + 100, 4, data, 1), 0);
}

TEST_F(EfsFlash, VerifiedWriteRetriesReadBacksButNeverTheWrite) {
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    const std::vector<uint8_t> data(64, 0x5A);
    const uint32_t at = image_.data_offset(7) + 16;
    struct Case {
        int bad_reads;  // read-backs that come back corrupted
        int expect;
    };
    for (const Case c : {Case{3, 0}, Case{7, 41}}) {
        std::memset(image_.at(at), 0xFF, 64);
        flash.clear_log();
        const std::size_t reads_before = flash.reads();
        int reads_seen = 0;
        flash.on_read = [&](uint32_t, uint8_t* dst, uint32_t) {
            if (++reads_seen > 1 && reads_seen <= 1 + c.bad_reads) dst[10] ^= 1;  // after the blank check
        };
        EXPECT_EQ(EFS_write_with_read_check(at, 64, data.data(), 1), c.expect);
        EXPECT_EQ(flash.log().size(), 1u);
        EXPECT_EQ(flash.reads() - reads_before, c.expect == 0 ? 1u + c.bad_reads + 1 : 8u);
        EXPECT_EQ(std::memcmp(image_.at(at), data.data(), 64), 0);
    }
}

TEST_F(EfsFlash, BlockReadChecksHeaderAndFooterSevenTimes) {
    FaultFlash flash;
    ScopedMedium scoped(medium(), flash);
    EXPECT_EQ(EFS_read_and_verify_data_block_header_and_footer(0, 1, 1), 0);
    EXPECT_EQ(EFS_read_and_verify_data_block_header_and_footer(0, 1, 0), 22);
    EXPECT_EQ(EFS_read_and_verify_data_block_header_and_footer(10, 0, 0), 22);
    image_.at(image_.data_offset(0) + 500)[0] ^= 1;  // payload no longer matches its footer
    EXPECT_EQ(EFS_read_and_verify_data_block_header_and_footer(0, 0, 1), 0);
    const std::size_t before = flash.reads();
    EXPECT_EQ(EFS_read_and_verify_data_block_header_and_footer(0, 1, 1), 41);
    EXPECT_EQ(flash.reads() - before, 7u);
    image_.at(image_.data_offset(1) + 3)[0] ^= 1;  // header CRC fails
    EXPECT_EQ(EFS_read_and_verify_data_block_header_and_footer(1, 0, 0), 41);
    // Twelve zero bytes with a zero CRC pass.
    std::memset(image_.at(image_.data_offset(2)), 0, 16);
    EXPECT_EQ(EFS_read_and_verify_data_block_header_and_footer(2, 0, 0), 0);
    efs_ctx.retry_count = 0;
    EXPECT_EQ(EFS_read_and_verify_data_block_header_and_footer(2, 0, 0), 41);
}

// Puts a record {length, crc, data} at payload offset o of logical block l
// (identity-mapped); the footer is refreshed when asked.
void put_record(EfsImage& image, uint32_t l, uint32_t o, uint16_t length, const std::vector<uint8_t>& data,
                bool fix_crc, bool fix_footer) {
    uint8_t* payload = image.at(image.data_offset(l) + 16);
    payload[o] = static_cast<uint8_t>(length);
    payload[o + 1] = static_cast<uint8_t>(length >> 8);
    std::copy(data.begin(), data.end(), payload + o + 4);
    uint16_t crc = ref_crc16(static_cast<uint16_t>(l), payload + o, 2);
    crc = ref_crc16(crc, data.data(), data.size());
    if (!fix_crc) crc ^= 0x0101;
    payload[o + 2] = static_cast<uint8_t>(crc);
    payload[o + 3] = static_cast<uint8_t>(crc >> 8);
    if (fix_footer) image.payload(l, std::vector<uint8_t>(payload, payload + 4076));
}

TEST_F(EfsFlash, FileRecordReadCases) {
    const std::vector<uint8_t> five = {1, 2, 3, 4, 5};
    const std::vector<uint8_t> tail(4072 - 4000, 0x33);
    struct Case {
        const char* name;
        uint32_t l, o;
        uint16_t length;
        std::vector<uint8_t> data;
        bool fix_crc, fix_footer;
        uint8_t use_stored;
        uint16_t expected;
        int result;
        std::size_t reads;
    };
    const std::vector<Case> cases = {
        {"empty intact", 0, 0, 0xFFFF, {}, true, true, 1, 0, 2, 1},
        {"length zero", 1, 100, 0, {}, true, false, 1, 0, 0, 1},
        {"five bytes", 1, 100, 5, five, true, false, 1, 0, 0, 2},
        {"length cut to the block", 2, 4000, 300, tail, true, false, 1, 0, 0, 2},
        {"continuation by expected length", 3, 0, 0xFFFF, five, true, false, 0, 5, 0, 2},
        {"bad crc", 1, 100, 5, five, false, true, 1, 0, 41, 14},
        {"empty, bad crc, block verifies", 4, 8, 0xFFFF, {}, false, true, 1, 0, 2, 2},
        {"empty, bad crc, block does not", 4, 8, 0xFFFF, {}, false, false, 1, 0, 41, 8},
        {"offset past the payload", 1, 4073, 0, {}, true, false, 1, 0, 22, 0},
        {"expected past the payload", 1, 4000, 0, {}, true, false, 0, 73, 22, 0},
        {"block not below V", 7, 0, 0, {}, true, false, 1, 0, 41, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        image_ = EfsImage::formatted(row_);
        efs_image = image_.bytes.data();
        if (c.l < 7 && c.o <= 4072) put_record(image_, c.l, c.o, c.length, c.data, c.fix_crc, c.fix_footer);
        FaultFlash flash;
        ScopedMedium scoped(medium(), flash);
        EXPECT_EQ(EFS_read_and_verify_file(static_cast<uint8_t>(c.l), static_cast<uint16_t>(c.o), c.use_stored,
                                           c.expected),
                  c.result);
        EXPECT_EQ(flash.reads(), c.reads);
        if (c.result == 0) {
            EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), efs_ctx.block_buf + 4));
        }
    }
    efs_ctx.retry_count = 0;
    EXPECT_EQ(EFS_read_and_verify_file(0, 0, 1, 0), 41);
}

}  // namespace
