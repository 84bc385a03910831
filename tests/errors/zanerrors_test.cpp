#include "dorv/zanerrors.h"

#include <gtest/gtest.h>

#include <new>

#include "support/alloc_failure.h"

namespace {

ImageToolsErrorName key(int32_t k) { return static_cast<ImageToolsErrorName>(k); }
ImageToolsErrorType type(int32_t k) { return static_cast<ImageToolsErrorType>(k); }

class ZanErrorsTest : public ::testing::Test {
protected:
    // The maps are library-wide: every test starts from the state at load.
    void SetUp() override {
        ZanErrors::s_imageToolsErrorNameStringMap.clear();
        ZanErrors::s_imageToolsErrorTypeStringMap.clear();
    }
};

TEST_F(ZanErrorsTest, BeforeInitEveryKeyReadsGeneralError) {
    EXPECT_EQ(ZanErrors::getErrorNameString(key(0)), "General Error");
    EXPECT_EQ(ZanErrors::getErrorNameString(key(38)), "General Error");
    EXPECT_TRUE(ZanErrors::s_imageToolsErrorNameStringMap.empty());
}

TEST_F(ZanErrorsTest, SmokeInitFillsBothMaps) {
    EXPECT_TRUE(ZanErrors::init());
    EXPECT_EQ(ZanErrors::s_imageToolsErrorNameStringMap.size(), 417u);  // 0..417 without 49
    EXPECT_EQ(ZanErrors::s_imageToolsErrorTypeStringMap.size(), 30u);
    EXPECT_EQ(ZanErrors::getErrorNameString(key(0)), "No Error");
    EXPECT_EQ(ZanErrors::getErrorNameString(key(38)), "File not found.");
    EXPECT_EQ(ZanErrors::getErrorNameString(key(417)),
              "Detected wraparound in multiplication operation.");
}

TEST_F(ZanErrorsTest, KeysWithoutARowReadGeneralErrorAndAddNothing) {
    ZanErrors::init();
    const size_t before = ZanErrors::s_imageToolsErrorNameStringMap.size();
    for (int32_t k : {49, 418, -1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(ZanErrors::getErrorNameString(key(k)), "General Error") << k;
    }
    EXPECT_EQ(ZanErrors::s_imageToolsErrorNameStringMap.size(), before);
    // The fallback is not the text of key 253.
    EXPECT_EQ(ZanErrors::getErrorNameString(key(253)), "General error.");
}

TEST_F(ZanErrorsTest, TrailingBlanksAndColonsAreKept) {
    ZanErrors::init();
    EXPECT_EQ(ZanErrors::getErrorNameString(key(7)), "Decompose Error. ");
    EXPECT_EQ(ZanErrors::getErrorNameString(key(192)), "Invalid PKI Suffix: ");
    // Every text that ends in a blank is one of the texts that keeps it on
    // purpose; check that the catalogue holds more than the two above and that
    // none has lost or gained a second blank.
    int trailing = 0;
    for (const auto& [k, text] : ZanErrors::s_imageToolsErrorNameStringMap) {
        ASSERT_FALSE(text.empty()) << k;
        if (text.back() == ' ') {
            ++trailing;
            EXPECT_NE(text.substr(text.size() - 2), "  ") << k;
        }
    }
    EXPECT_GE(trailing, 2);
}

TEST_F(ZanErrorsTest, SpotCheckTextsThatAreEasyToGetWrong) {
    ZanErrors::init();
    EXPECT_EQ(ZanErrors::getErrorNameString(key(15)), "Decompsition not ready.");
    EXPECT_EQ(ZanErrors::getErrorNameString(key(39)),
              "File name with the PERIODS at the end is not supported");
    // The rows on both sides of the missing key 49.
    EXPECT_EQ(ZanErrors::getErrorNameString(key(48)),
              "Failed to populate known good CPCX database in memory!");
    EXPECT_EQ(ZanErrors::getErrorNameString(key(50)), "Failed to launch GUI as requested.");
    // Equal texts stay distinct keys.
    for (auto [a, b] : {std::pair{156, 158}, std::pair{308, 328}, std::pair{124, 373}}) {
        EXPECT_EQ(ZanErrors::getErrorNameString(key(a)), ZanErrors::getErrorNameString(key(b)));
        EXPECT_TRUE(ZanErrors::s_imageToolsErrorNameStringMap.count(key(a)));
        EXPECT_TRUE(ZanErrors::s_imageToolsErrorNameStringMap.count(key(b)));
    }
}

TEST_F(ZanErrorsTest, InitTwiceRebuildsTheSameRows) {
    ZanErrors::init();
    ZanErrors::s_imageToolsErrorNameStringMap[key(7)] = "changed";
    ZanErrors::s_imageToolsErrorNameStringMap[key(9999)] = "extra";
    ZanErrors::init();
    EXPECT_EQ(ZanErrors::s_imageToolsErrorNameStringMap.size(), 417u);
    EXPECT_EQ(ZanErrors::getErrorNameString(key(7)), "Decompose Error. ");
    EXPECT_EQ(ZanErrors::getErrorNameString(key(9999)), "General Error");
}

TEST_F(ZanErrorsTest, RunningOutOfMemoryKeepsTheEarlierCatalogue) {
    ZanErrors::init();
    // A mark that only the earlier catalogue carries.
    ZanErrors::s_imageToolsErrorNameStringMap[key(7)] = "earlier";
    const auto names = ZanErrors::s_imageToolsErrorNameStringMap;
    const auto types = ZanErrors::s_imageToolsErrorTypeStringMap;
    long failed = 0;
    for (long k = 0;; ++k) {
        ASSERT_LT(k, 100000);
        bool triggered;
        const bool threw = dorv::test::runWithAllocFailure(k, triggered, [] {
            try {
                ZanErrors::init();
            } catch (const std::bad_alloc&) {
                return true;
            }
            return false;
        });
        if (!triggered) break;
        ASSERT_TRUE(threw) << k;
        EXPECT_TRUE(ZanErrors::s_imageToolsErrorNameStringMap == names) << k;
        EXPECT_TRUE(ZanErrors::s_imageToolsErrorTypeStringMap == types) << k;
        ++failed;
    }
    // Every row needs at least one allocation; the run that did not fail
    // replaced the catalogue.
    EXPECT_GT(failed, 447);
    EXPECT_EQ(ZanErrors::getErrorNameString(key(7)), "Decompose Error. ");
    EXPECT_EQ(ZanErrors::s_imageToolsErrorNameStringMap.size(), 417u);
}

TEST_F(ZanErrorsTest, TypeMapHoldsTheModulePrefixes) {
    ZanErrors::init();
    const auto& types = ZanErrors::s_imageToolsErrorTypeStringMap;
    EXPECT_EQ(types.at(type(0)), "No Error");
    EXPECT_EQ(types.at(type(17)), "[KEL PQS] ");
    EXPECT_EQ(types.at(type(29)), "[DORV Metadata] ");
    EXPECT_EQ(types.count(type(30)), 0u);
    for (const auto& [k, text] : types) {
        if (k == 0) continue;
        EXPECT_EQ(text.front(), '[') << k;
        EXPECT_EQ(text.substr(text.size() - 2), "] ") << k;
    }
}

}  // namespace
