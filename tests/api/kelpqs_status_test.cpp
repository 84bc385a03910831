// Status reporting of the library API: what the callback receives.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "api/kelpqs_internal.h"
#include "support/status_recorder.h"

namespace {

using dorv::test::Report;
using dorv::test::reports;

class KelPqsStatusTest : public ::testing::Test {
protected:
    void SetUp() override {
        kelPqsResetState();
        ZanErrors::init();
        dorv::test::clearReports();
        s_dorvStatusCallback = dorv::test::recordReport;
    }
    void TearDown() override { kelPqsResetState(); }
};

TEST_F(KelPqsStatusTest, LibraryStatusCodesPrintInSignedDecimalUnderTheKeyText) {
    setLibError(static_cast<ImageToolsErrorName>(330), 9);
    setLibError(static_cast<ImageToolsErrorName>(403), -7);
    setLibError(static_cast<ImageToolsErrorName>(331), INT_MIN);
    setLibError(static_cast<ImageToolsErrorName>(1), 0);
    const std::vector<Report> expected = {
        {4, 330, "Failed to create FCS handle.", " Library status code: 9"},
        {4, 403, "Failed to load ftbl file.", " Library status code: -7"},
        {4, 331, "Failed to get file from FCS.", " Library status code: -2147483648"},
        {4, 1, "Initialize Error", " Library status code: 0"},
    };
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsStatusTest, KeyZeroHasAnEmptyTextAndUnknownKeysReadAsGeneralError) {
    kelPqsLogMessage(ERROR_LEVEL_WARNING, static_cast<ImageToolsErrorName>(0), "notice");
    kelPqsAssert("Invalid FCS handle or fileEntry pointer");
    kelPqsLogMessage(ERROR_LEVEL_ERROR, static_cast<ImageToolsErrorName>(49), "no row");
    kelPqsLogMessage(ERROR_LEVEL_ERROR, static_cast<ImageToolsErrorName>(348), nullptr);
    const std::vector<Report> expected = {
        {2, 0, "", "notice"},
        {4, 0, "", "Invalid FCS handle or fileEntry pointer"},
        {4, 49, "General Error", "no row"},
        {4, 348, "NVAR Access error.", ""},
    };
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsStatusTest, MemCpyReportsEveryRefusalOfTheGuardedCopy) {
    uint8_t destination[4] = {9, 9, 9, 9};
    const uint8_t source[5] = {1, 2, 3, 4, 5};

    // Nothing to copy: no pointer is looked at and nothing is reported.
    EXPECT_EQ(kelPqsMemCpy(nullptr, 0, nullptr, 0), 0);
    EXPECT_TRUE(reports().empty());

    EXPECT_EQ(kelPqsMemCpy(destination, sizeof destination, source, 4), 0);
    EXPECT_EQ(std::memcmp(destination, source, 4), 0);
    EXPECT_TRUE(reports().empty());

    std::memset(destination, 9, sizeof destination);
    EXPECT_EQ(kelPqsMemCpy(destination, sizeof destination, source, 5), 40);
    EXPECT_EQ(kelPqsMemCpy(nullptr, 8, source, 1), 3);
    // A count beyond what a pointer can address (a 32-bit build) or beyond the
    // destination is refused the same way, never wrapped.
    EXPECT_EQ(kelPqsMemCpy(destination, UINT64_MAX, source, UINT64_MAX), 40);
    EXPECT_EQ(kelPqsMemCpy(destination, 4, source, (uint64_t{1} << 32) + 1), 40);
    for (uint8_t byte : destination) EXPECT_EQ(byte, 9);
    const std::vector<Report> expected = {
        {4, 323, "Out of memory.", "Memory copy failed with error 40"},
        {4, 323, "Out of memory.", "Memory copy failed with error 3"},
        {4, 323, "Out of memory.", "Memory copy failed with error 40"},
        {4, 323, "Out of memory.", "Memory copy failed with error 40"},
    };
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsStatusTest, WithoutACallbackNothingIsReportedAndResultsStand) {
    s_dorvStatusCallback = nullptr;
    uint8_t destination[2] = {};
    const uint8_t source[3] = {1, 2, 3};
    setLibError(static_cast<ImageToolsErrorName>(330), 9);
    kelPqsAssert("x");
    EXPECT_EQ(kelPqsMemCpy(destination, sizeof destination, source, 3), 40);
    EXPECT_TRUE(reports().empty());
}

}  // namespace
