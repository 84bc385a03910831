// The seeds of the start-up fuzz target: each one must start the library
// through the fuzz input layout. With DORV_WRITE_FUZZ_SEEDS=<dir> set the test
// also writes them there, which is how fuzz/corpus/kelpqs_init/ was made.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fuzz/kelpqs_init_input.h"
#include "support/fuzz_seeds.h"
#include "support/kelpqs_fixture.h"

namespace {

namespace sample = dorv::test::sample;
using dorv::fuzz::StartUpInput;

std::vector<std::pair<std::string, StartUpInput>> seeds() {
    StartUpInput full{sample::kSku, sample::tarvo(), sample::ombl(), sample::ftbl()};
    StartUpInput noOverrides{sample::kSku, sample::tarvo(), {}, sample::ftbl()};
    StartUpInput otherSku{1, sample::tarvo(), sample::ombl(), sample::ftbl()};
    StartUpInput oneRecord{sample::kSku, dorv::test::FcsBuilder().file(sample::kBeta, {1, 2}).build(),
                           dorv::test::make_ombl(dorv::test::FcsBuilder().build()), sample::ftbl()};
    return {{"sample", full}, {"no_overrides", noOverrides}, {"other_sku", otherSku},
            {"one_record", oneRecord}};
}

class KelPqsSeeds : public dorv::test::KelPqsFixture {};

TEST_F(KelPqsSeeds, EverySeedStartsTheLibrary) {
    for (const auto& [name, input] : seeds()) {
        const std::vector<uint8_t> bytes = dorv::fuzz::joinStartUpInput(input);
        StartUpInput split = dorv::fuzz::splitStartUpInput(bytes.data(), bytes.size());
        EXPECT_EQ(split.tarvo, input.tarvo) << name;
        EXPECT_EQ(split.ombl, input.ombl) << name;
        EXPECT_EQ(split.ftbl, input.ftbl) << name;
        const DorvInitTables record = dorv::fuzz::startUpRecord(split);
        EXPECT_TRUE(kelPqsDorvInit(&record, dorv::test::recordReport)) << name;
        EXPECT_TRUE(dorv::test::reports().empty()) << name;
        EXPECT_TRUE(kelPqsNvarTerm(false)) << name;
        EXPECT_TRUE(dorv::test::writeSeedIfAsked(name, bytes)) << name;
    }
}

}  // namespace
