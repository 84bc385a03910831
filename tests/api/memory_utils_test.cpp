#include "dorv/memory_utils.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

TEST(ByteCopy, NullPointersAnswer3BeforeAnyOtherTest) {
    char buf[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(ByteCopy(nullptr, 0, "a", 0), BYTECOPY_NULL_POINTER);
    EXPECT_EQ(ByteCopy(buf, sizeof buf, nullptr, 0), BYTECOPY_NULL_POINTER);
    EXPECT_EQ(ByteCopy(nullptr, 0, "abc", 100), BYTECOPY_NULL_POINTER);  // not 40
    EXPECT_EQ(std::string(buf, 4), "xxxx");
}

TEST(ByteCopy, CountBoundedByDestinationSize) {
    std::array<unsigned char, 8> dst;
    dst.fill(0xAA);
    const unsigned char src[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};

    EXPECT_EQ(ByteCopy(dst.data(), dst.size(), src, 0), BYTECOPY_OK);
    for (unsigned char b : dst) EXPECT_EQ(b, 0xAA);

    EXPECT_EQ(ByteCopy(dst.data(), dst.size(), src, 9), BYTECOPY_TOO_LARGE);
    for (unsigned char b : dst) EXPECT_EQ(b, 0xAA);

    EXPECT_EQ(ByteCopy(dst.data(), dst.size(), src, 8), BYTECOPY_OK);
    EXPECT_EQ(std::memcmp(dst.data(), src, 8), 0);

    dst.fill(0);
    EXPECT_EQ(ByteCopy(dst.data(), 3, src, 3), BYTECOPY_OK);
    EXPECT_EQ(dst[2], 3);
    EXPECT_EQ(dst[3], 0);  // nothing past the count
    EXPECT_EQ(ByteCopy(dst.data(), SIZE_MAX, src, 2), BYTECOPY_OK);
}

TEST(ByteCopy, OverlappingRangesCopyTheBytesAsTheyWere) {
    unsigned char buf[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(ByteCopy(buf, sizeof buf, buf + 2, 4), BYTECOPY_OK);
    EXPECT_EQ(std::string(buf, buf + 6), std::string("\3\4\5\6\5\6", 6));
}

TEST(LtMemory, SetUsesTheLowByteOfFill) {
    unsigned char buf[5] = {};
    EXPECT_EQ(LtSetMemory(buf, 0x1FF, 4), buf);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[3], 0xFF);
    EXPECT_EQ(buf[4], 0);
}

TEST(LtMemory, CompareTreatsBytesAsUnsigned) {
    const unsigned char a[3] = {1, 0x80, 0};
    const unsigned char b[3] = {1, 0x7F, 9};
    EXPECT_EQ(LtCompareMemory(a, b, 0), 0);
    EXPECT_EQ(LtCompareMemory(a, b, 1), 0);
    EXPECT_GT(LtCompareMemory(a, b, 3), 0);
    EXPECT_LT(LtCompareMemory(b, a, 3), 0);
}

TEST(LtMemory, NullBlocksAreNeitherWrittenNorRead) {
    const unsigned char b[2] = {0, 0};
    EXPECT_EQ(LtSetMemory(nullptr, 0x55, 4), nullptr);
    EXPECT_LT(LtCompareMemory(nullptr, b, 2), 0);
    EXPECT_GT(LtCompareMemory(b, nullptr, 2), 0);
    EXPECT_EQ(LtCompareMemory(nullptr, nullptr, 2), 0);
}

TEST(LtMemory, AllocateZeroAndFree) {
    auto* p = static_cast<unsigned char*>(LtAllocateZeroMemory(64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
    LtFreeMemory(p);
    void* q = LtAllocateMemory(16);
    ASSERT_NE(q, nullptr);
    LtFreeMemory(q);
    LtFreeMemory(nullptr);  // does nothing
}

}  // namespace
