// Checksums against bit-by-bit definitions, and the bounds of the SPI device.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "afs/afs_crc.h"
#include "afs/afs_state.h"
#include "dorv/afs.h"

namespace {

uint16_t ref_crc16_step(uint16_t r, uint8_t b, uint16_t mask) {
    r = static_cast<uint16_t>(r ^ (b << 8));
    for (int i = 0; i < 8; ++i) r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
    return static_cast<uint16_t>(r & mask);
}

uint16_t ref_crc16(const std::vector<uint8_t>& d, uint16_t seed) {
    uint16_t r = 0xFFFF;
    for (uint8_t b : d) r = ref_crc16_step(r, b, 0xFFFF);
    r = ref_crc16_step(r, static_cast<uint8_t>(seed), 0xFFFF);
    return ref_crc16_step(r, static_cast<uint8_t>(seed >> 8), 0xFFFF);
}

// 14-bit register: the top bits of the byte step come from bits 8-13 only.
uint16_t ref_crc14(const std::vector<uint8_t>& d) {
    uint16_t r = 0x3FFF;
    for (uint8_t b : d) {
        uint16_t x = static_cast<uint16_t>(((r >> 8) ^ b) << 8);
        for (int i = 0; i < 8; ++i) x = static_cast<uint16_t>((x & 0x8000) ? (x << 1) ^ 0x1021 : x << 1);
        r = static_cast<uint16_t>(((r << 8) ^ x) & 0x3FFF);
    }
    return r;
}

uint8_t ref_crc8(const std::vector<uint8_t>& d) {
    uint8_t r = 1;
    for (uint8_t b : d) {
        r ^= b;
        for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>((r & 0x80) ? (r << 1) ^ 0x07 : r << 1);
    }
    return r;
}

TEST(AfsCrc, MatchesBitwiseDefinitionsOverLengthsAndSeeds) {
    std::mt19937 rng(7);
    for (int len = 0; len <= 140; ++len) {
        std::vector<uint8_t> d(static_cast<std::size_t>(len));
        for (auto& b : d) b = static_cast<uint8_t>(rng());
        const uint16_t seed = static_cast<uint16_t>(rng());
        EXPECT_EQ(crc16(d.data(), len, &seed), ref_crc16(d, seed)) << len;
        EXPECT_EQ(crc14(d.data(), len), ref_crc14(d)) << len;
        EXPECT_EQ(crc8(d.data(), static_cast<uint32_t>(len)), ref_crc8(d)) << len;
        EXPECT_EQ(crc14(d.data(), len) & 0xC000, 0);
    }
}

// Both ways of computing crc16 (the table one every build has, and the
// carry-less-multiply one where the processor has it) agree with the bitwise
// definition at every length around the 16-byte steps and at every
// alignment, over random and all-ones / all-zero bytes.
TEST(AfsCrc, TableAndMultiplyVersionsMatchTheDefinition) {
    std::mt19937 rng(11);
    std::vector<uint8_t> buffer(16 + 300);
    bool multiplied = false;
    for (int fill = 0; fill < 3; ++fill) {
        for (auto& b : buffer) b = fill == 0 ? static_cast<uint8_t>(rng()) : fill == 1 ? 0xFF : 0x00;
        for (uint32_t len = 0; len <= 300; ++len) {
            const uint32_t at = len % 16;
            const std::vector<uint8_t> d(buffer.begin() + at, buffer.begin() + at + len);
            const uint16_t seed = static_cast<uint16_t>(rng());
            const uint16_t want = ref_crc16(d, seed);
            ASSERT_EQ(dorv::afs::crc16_tables(buffer.data() + at, len, seed), want) << len;
            uint16_t got = 0;
            if (dorv::afs::crc16_clmul(buffer.data() + at, len, seed, &got)) {
                multiplied = true;
                ASSERT_EQ(got, want) << len << " fill " << fill;
            }
        }
    }
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
    if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3")) {
        EXPECT_TRUE(multiplied);
    }
#else
    EXPECT_FALSE(multiplied);
#endif
}

TEST(AfsCrc, EdgeValuesAndTables) {
    const uint16_t zero = 0;
    const std::vector<uint8_t> two_zero = {0, 0};
    std::vector<uint8_t> none;
    EXPECT_EQ(crc16(nullptr, 0, &zero), ref_crc16(none, 0));
    EXPECT_EQ(crc16(nullptr, -5, &zero), ref_crc16(none, 0));
    // No seed bytes in the reference: the seed's two bytes are the data.
    uint16_t r = 0xFFFF;
    for (uint8_t b : two_zero) r = ref_crc16_step(r, b, 0xFFFF);
    EXPECT_EQ(crc16(nullptr, 0, &zero), r);
    EXPECT_EQ(crc14(nullptr, 0), 0x3FFF);
    EXPECT_EQ(crc14(two_zero.data(), -1), 0x3FFF);
    EXPECT_EQ(crc8(nullptr, 0), 0x01);
    const uint8_t low[4] = {0x00, 0x07, 0x0E, 0x09}, high[4] = {0x00, 0x70, 0xE0, 0x90};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(gCrc8_low[i], low[i]);
        EXPECT_EQ(gCrc8_high[i], high[i]);
    }
    // The seed's low byte enters first.
    std::vector<uint8_t> page(64, 0x5A);
    const uint16_t a = 0x0102, b = 0x0201;
    EXPECT_NE(crc16(page.data(), 64, &a), crc16(page.data(), 64, &b));
}

class AfsSpi : public ::testing::Test {
protected:
    void SetUp() override { dorv::afs::reset_module_state(); }
    void TearDown() override { dorv::afs::reset_module_state(); }
    std::vector<uint8_t> dev = std::vector<uint8_t>(3 * 4096, 0x11);
};

TEST_F(AfsSpi, UnboundOrOutOfExtentFailsAndTouchesNothing) {
    uint8_t buf[8] = {};
    EXPECT_EQ(SpiDrvRead(0, 8, buf), 5u);
    SpiFlashDrvInitialize(dev.data());  // no length known: nothing accessible
    EXPECT_EQ(gpBuffer, dev.data());
    EXPECT_EQ(SpiDrvRead(0, 8, buf), 5u);
    dorv::afs::spi_bind(dev.data(), 2 * 4096);
    struct Case { uint32_t off, len; uint32_t want; } cases[] = {
        {0, 8, 0}, {8184, 8, 0}, {8185, 8, 5}, {8192, 1, 5}, {0xFFFFFFFFu, 2, 5}, {8192, 0, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(SpiDrvRead(c.off, c.len, buf), c.want) << c.off;
        EXPECT_EQ(SpiDrvWrite(c.off, c.len, buf), c.want) << c.off;
    }
    EXPECT_EQ(SpiDrvEraseBlock(4096), 0u);
    EXPECT_EQ(SpiDrvEraseBlock(8192), 5u);
    EXPECT_EQ(SpiDrvEraseBlock(4097), 5u);
    for (std::size_t i = 8192; i < dev.size(); ++i) ASSERT_EQ(dev[i], 0x11);
    EXPECT_EQ(mg_copyfrom(nullptr, 4096, 4088, buf, 0, 8), 0u);
    EXPECT_EQ(mg_copyto(nullptr, 4096, 4089, buf, 0, 8), 5u);
    EXPECT_EQ(mg_copyfrom(nullptr, 0xFFFFFFFFu, 2, buf, 0, 1), 5u);
}

TEST_F(AfsSpi, EraseThenWriteOverwritesExactly) {
    dorv::afs::spi_bind(dev.data(), static_cast<uint32_t>(dev.size()));
    ASSERT_EQ(SpiDrvEraseBlock(4096), 0u);
    for (uint32_t i = 4096; i < 8192; ++i) ASSERT_EQ(dev[i], 0xFF);
    const uint8_t w[3] = {0x0F, 0xF0, 0x00};
    ASSERT_EQ(SpiDrvWrite(4100, 3, w), 0u);
    const uint8_t w2[3] = {0xF0, 0x0F, 0xAA};  // not an AND with the old bytes
    ASSERT_EQ(mg_copyto(nullptr, 4000, 100, w2, 0, 3), 0u);
    uint8_t back[5];
    ASSERT_EQ(SpiDrvRead(4099, 5, back), 0u);
    const uint8_t want[5] = {0xFF, 0xF0, 0x0F, 0xAA, 0xFF};
    EXPECT_EQ(0, std::memcmp(back, want, 5));
    EXPECT_EQ(dev[4095], 0x11);
}

}  // namespace
