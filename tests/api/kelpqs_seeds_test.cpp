// The seeds of the start-up fuzz target: each one must start the library
// through the fuzz input layout. With DORV_WRITE_FUZZ_SEEDS=<dir> set the test
// also writes them there, which is how fuzz/corpus/kelpqs_init/ was made.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "dorv/cfg_types.h"
#include "fuzz/kelpqs_init_input.h"
#include "support/deploy_images.h"
#include "support/fuzz_seeds.h"
#include "support/kelpqs_fixture.h"

namespace {

namespace sample = dorv::test::sample;
using dorv::fuzz::StartUpInput;

// The smallest PQS partition with deployed files (one with a trailer, one
// not loaded, one missing from the Zan.cfg override) and an EFS with a value.
StartUpInput deployed() {
    using dorv::test::Bytes;
    auto afs = [](const char* name, uint32_t number, uint16_t attributes, uint16_t index,
                  std::optional<Bytes> tarvo, std::optional<Bytes> flash) {
        return dorv::test::DeployedFile{{name, number, attributes, index, 0, 64}, tarvo, flash, {}};
    };
    dorv::test::Deployment d;
    d.pqs_size = 0x8000;
    d.efs_valid = 1;  // the whole input stays within the fuzz runs' 64 KB
    d.efs_spare = 1;
    d.files = {afs("/home/mca/deploy", 0x300, 0, 1, std::nullopt, Bytes{'1'}),
               afs("/home/mca/plain", 0x301, 0, 2, Bytes{'t'}, Bytes{'f', 'l', 'a', 's', 'h'}),
               afs("/home/mca/trailer", 0x302, FILE_ATTR_HAS_TRAILER, 3, Bytes{'t'}, Bytes(41, 'T')),
               afs("/home/mca/noload", 0x303, FILE_ATTR_NO_VFS_LOAD, 4, Bytes{'n'}, Bytes{'N'})};
    // Built field by field: as one braced aggregate, g++ 12 at -O3 reports its
    // name string as maybe-uninitialized.
    dorv::test::DeployedFile efsValue = afs("/home/efs/value", 0x304, 0, 0, Bytes{'e'}, Bytes{'E', 'F', 'S'});
    efsValue.entry.storage_selector = 2;
    efsValue.entry.max_data_size = 32;
    efsValue.efs_place = {0, 0, 8, 32};
    d.files.push_back(std::move(efsValue));
    d.zan = dorv::test::FcsBuilder().file(0x301, Bytes{'z'}).build();
    dorv::test::DorvInputs in = dorv::test::build_deployment(d);
    return StartUpInput{in.sku, in.tarvo, in.ombl, in.ftbl, dorv::fuzz::trimErased(in.pqs),
                        dorv::fuzz::trimErased(in.efs)};
}

std::vector<std::pair<std::string, StartUpInput>> seeds() {
    StartUpInput full{sample::kSku, sample::tarvo(), sample::ombl(), sample::ftbl(), {}, {}};
    StartUpInput noOverrides{sample::kSku, sample::tarvo(), {}, sample::ftbl(), {}, {}};
    StartUpInput otherSku{1, sample::tarvo(), sample::ombl(), sample::ftbl(), {}, {}};
    StartUpInput oneRecord{sample::kSku, dorv::test::FcsBuilder().file(sample::kBeta, {1, 2}).build(),
                           dorv::test::make_ombl(dorv::test::FcsBuilder().build()), sample::ftbl(), {}, {}};
    return {{"sample", full}, {"no_overrides", noOverrides}, {"other_sku", otherSku},
            {"one_record", oneRecord}, {"deployed", deployed()}};
}

class KelPqsSeeds : public dorv::test::KelPqsFixture {};

TEST_F(KelPqsSeeds, EverySeedStartsTheLibrary) {
    for (const auto& [name, input] : seeds()) {
        const std::vector<uint8_t> bytes = dorv::fuzz::joinStartUpInput(input);
        StartUpInput split = dorv::fuzz::splitStartUpInput(bytes.data(), bytes.size());
        EXPECT_EQ(split.tarvo, input.tarvo) << name;
        EXPECT_EQ(split.ombl, input.ombl) << name;
        EXPECT_EQ(split.ftbl, input.ftbl) << name;
        EXPECT_EQ(split.pqs, input.pqs) << name;
        EXPECT_EQ(split.efs, input.efs) << name;
        const DorvInitTables record = dorv::fuzz::startUpRecord(split);
        EXPECT_TRUE(kelPqsDorvInit(&record, dorv::test::recordReport)) << name;
        EXPECT_TRUE(dorv::test::reports().empty()) << name;
        EXPECT_EQ(kelPqsIsVfsDeployed(), !input.pqs.empty()) << name;
        EXPECT_TRUE(kelPqsNvarTerm(false)) << name;
        EXPECT_LE(bytes.size(), 65536u) << name;
        EXPECT_TRUE(dorv::test::writeSeedIfAsked(name, bytes)) << name;
    }
}

}  // namespace
