// Deployed values end to end through the exported API, on PQS and EFS images
// made by the flash layers themselves: start-up reads the values deployed on
// flash, termination writes them back, and the images are read back through
// DFS byte by byte. Every report is recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "afs/afs_state.h"
#include "dorv/cfg_types.h"
#include "dorv/efs.h"
#include "dorv/kelpqs.h"
#include "efs/efs_state.h"
#include "support/alloc_failure.h"
#include "support/deploy_images.h"
#include "support/flash_harness.h"
#include "support/kelpqs_fixture.h"

namespace {

using dorv::test::Bytes;
using dorv::test::clearReports;
using dorv::test::DeployedFile;
using dorv::test::Deployment;
using dorv::test::DorvInputs;
using dorv::test::error;
using dorv::test::Report;
using dorv::test::reports;
using dorv::test::Tear;

constexpr FcsFileName kCurrent = FCS_TABLE_CURRENT_VALUES;
constexpr uint8_t kEfs = 2;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kTrailer40 = dorv::test::pattern(40, 0x40);
const Bytes kTrailer56 = dorv::test::pattern(56, 0x56);

// The deployment most tests start from: AFS files of every kind, an EFS file
// with a value and one never written.
namespace road {
const char* const kMarker = "/home/mca/deploy";
const char* const kPlain = "/home/mca/plain";
const char* const kTrailer = "/home/mca/trailer";
const char* const kLong = "/home/mca/long";
const char* const kNoLoad = "/home/mca/noload";
const char* const kOverride = "/home/mca/override";
const char* const kGrow = "/home/mca/grow";
const char* const kExact = "/home/mca/exact40";
const char* const kEfsValue = "/home/efs/value";
const char* const kEfsFresh = "/home/efs/fresh";

const std::vector<std::string> kAll = {kMarker, kPlain,  kTrailer, kLong,     kNoLoad,
                                       kOverride, kGrow, kExact,   kEfsValue, kEfsFresh};

DeployedFile afs(const char* name, uint32_t number, uint16_t attributes, uint16_t index,
                 std::optional<Bytes> tarvo, std::optional<Bytes> flash) {
    return DeployedFile{{name, number, attributes, index, 0, 64}, std::move(tarvo), std::move(flash), {}};
}

DeployedFile efs(const char* name, uint32_t number, uint16_t index, uint16_t offset,
                 std::optional<Bytes> tarvo, std::optional<Bytes> flash) {
    return DeployedFile{{name, number, 0, index, kEfs, 64}, std::move(tarvo), std::move(flash),
                        {index, 0, offset, 32}};
}

Deployment deployment() {
    Deployment d;
    d.files = {
        afs(kMarker, 0x300, 0x00, 1, std::nullopt, text("1")),
        afs(kPlain, 0x301, 0x00, 2, text("tarvo-plain"), text("flash-plain-value")),
        afs(kTrailer, 0x302, FILE_ATTR_HAS_TRAILER, 3, text("tarvo-tr"), text("serial-7") + kTrailer40),
        afs(kLong, 0x303, FILE_ATTR_HAS_TRAILER | FILE_ATTR_LONG_TRAILER, 4, text("tarvo-long"),
            text("L") + kTrailer56),
        afs(kNoLoad, 0x304, FILE_ATTR_NO_VFS_LOAD, 5, text("tarvo-noload"), text("flash-noload")),
        afs(kOverride, 0x305, 0x00, 6, text("tarvo-ov"), text("flash-ov")),
        afs(kGrow, 0x306, 0x00, 7, text("g"), text("grow")),
        afs(kExact, 0x309, FILE_ATTR_HAS_TRAILER, 8, text("x"), kTrailer40),
        efs(kEfsValue, 0x307, 0, 0, text("tarvo-efs"), text("efs-flash")),
        efs(kEfsFresh, 0x308, 1, 100, text("tarvo-fresh"), std::nullopt),
    };
    d.zan = dorv::test::FcsBuilder().file(0x305, text("zan-ov")).build();
    return d;
}

Report skipNotice(const std::string& name) {
    return Report{ERROR_LEVEL_WARNING, 0, "",
                  "File \"" + name +
                      "\" found in tarvo.cfg, but missing in deployed VFS. The file will be skipped"};
}
}  // namespace road

DeployedFile* fileNamed(Deployment& d, const std::string& name) {
    for (DeployedFile& f : d.files) {
        if (f.entry.name == name) return &f;
    }
    return nullptr;
}

class KelPqsDeployTest : public dorv::test::KelPqsFixture {
protected:
    static bool start(DorvInputs& inputs, DorvStatusCallback callback = dorv::test::recordReport) {
        const DorvInitTables record = inputs.record();
        return kelPqsDorvInit(&record, callback);
    }

    static std::optional<Bytes> current(const std::string& path, bool* writable = nullptr) {
        void* data = nullptr;
        uint32_t size = 0;
        if (!kelPqsNvarGet(path.c_str(), &data, &size, kCurrent, writable, nullptr)) return std::nullopt;
        return data == nullptr ? Bytes{} : Bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
    }

    static void setValue(const std::string& path, const Bytes& value) {
        void* data = nullptr;
        ASSERT_TRUE(kelPqsNvarResize(path.c_str(), &data, static_cast<uint32_t>(value.size())));
        if (!value.empty()) std::copy(value.begin(), value.end(), static_cast<uint8_t*>(data));
    }
};

TEST_F(KelPqsDeployTest, SmokeStartReadsDeployedValuesAndTerminationWritesThemBack) {
    Deployment d = road::deployment();
    DorvInputs in = dorv::test::build_deployment(d);
    const Bytes originalEfs = in.efs;
    ASSERT_TRUE(start(in));
    // The EFS file never written is empty, so it is skipped with a notice.
    EXPECT_EQ(reports(), std::vector<Report>{road::skipNotice(road::kEfsFresh)});
    EXPECT_TRUE(kelPqsIsInitialized());
    EXPECT_TRUE(kelPqsIsVfsDeployed());
    EXPECT_EQ(kelPqsGetEfsSize(), originalEfs.size());

    bool writable = true;
    EXPECT_EQ(current(road::kPlain, &writable), text("flash-plain-value"));
    EXPECT_TRUE(writable);
    EXPECT_EQ(current(road::kTrailer, &writable), text("serial-7"));  // without its 40-byte trailer
    EXPECT_FALSE(writable);
    EXPECT_EQ(current(road::kLong, &writable), text("L"));  // without its 56-byte trailer
    EXPECT_FALSE(writable);
    EXPECT_EQ(current(road::kExact), Bytes{});  // all trailer: an empty value
    EXPECT_EQ(current(road::kNoLoad), text("tarvo-noload"));
    EXPECT_EQ(current(road::kOverride), text("flash-ov"));  // replaces the Zan.cfg override
    EXPECT_EQ(current(road::kGrow), text("grow"));
    EXPECT_EQ(current(road::kEfsValue), text("efs-flash"));
    EXPECT_EQ(current(road::kEfsFresh), text("tarvo-fresh"));

    setValue(road::kPlain, text("flash"));           // shrinks: written with truncation
    setValue(road::kGrow, text("grow-more!"));       // grows
    setValue(road::kEfsValue, text("efs-new"));
    setValue(road::kTrailer, text("changed"));       // never written: it has a trailer
    clearReports();
    ASSERT_TRUE(kelPqsNvarTerm(true));
    EXPECT_EQ(reports(), std::vector<Report>{});
    EXPECT_TRUE(kelPqsIsInitialized());

    auto back = dorv::test::read_deployed(in, road::kAll);
    EXPECT_EQ(back[road::kMarker], text("1"));  // not in tarvo.cfg: untouched
    EXPECT_EQ(back[road::kPlain], text("flash"));
    EXPECT_EQ(back[road::kGrow], text("grow-more!"));
    EXPECT_EQ(back[road::kTrailer], text("serial-7") + kTrailer40);
    EXPECT_EQ(back[road::kLong], text("L") + kTrailer56);
    EXPECT_EQ(back[road::kExact], kTrailer40);
    EXPECT_EQ(back[road::kNoLoad], text("tarvo-noload"));  // not loaded, but written back
    EXPECT_EQ(back[road::kOverride], text("flash-ov"));
    EXPECT_EQ(back[road::kEfsValue], text("efs-new"));
    EXPECT_EQ(back[road::kEfsFresh], text("tarvo-fresh"));  // an empty EFS file takes its value

    // A restart on the written images reads the new values, with no notice.
    clearReports();
    ASSERT_TRUE(start(in));
    EXPECT_EQ(reports(), std::vector<Report>{});
    EXPECT_EQ(current(road::kPlain), text("flash"));
    EXPECT_EQ(current(road::kGrow), text("grow-more!"));
    EXPECT_EQ(current(road::kEfsValue), text("efs-new"));
    EXPECT_EQ(current(road::kEfsFresh), text("tarvo-fresh"));
    EXPECT_EQ(current(road::kTrailer), text("serial-7"));
    EXPECT_EQ(current(road::kNoLoad), text("tarvo-noload"));
    ASSERT_TRUE(kelPqsNvarTerm(false));
    EXPECT_FALSE(kelPqsIsInitialized());
    EXPECT_FALSE(kelPqsIsVfsDeployed());
}

TEST_F(KelPqsDeployTest, WithoutAPqsImageOrWithAnEmptyMarkerNothingIsDeployed) {
    // No PQS image: never deployed, every value writable, nothing written.
    Deployment none = road::deployment();
    none.pqs_size = 0;
    none.with_efs = false;
    DorvInputs noImages = dorv::test::build_deployment(none);
    ASSERT_TRUE(start(noImages));
    EXPECT_FALSE(kelPqsIsInitialized());
    EXPECT_FALSE(kelPqsIsVfsDeployed());
    bool writable = false;
    EXPECT_EQ(current(road::kTrailer, &writable), text("tarvo-tr"));
    EXPECT_TRUE(writable);
    ASSERT_TRUE(kelPqsNvarTerm(false));

    // A marker of size 0: mounted but not deployed; termination leaves the
    // images byte for byte as they were.
    Deployment empty = road::deployment();
    fileNamed(empty, road::kMarker)->flash = Bytes{};
    DorvInputs in = dorv::test::build_deployment(empty);
    const Bytes pqs = in.pqs, efsImage = in.efs;
    ASSERT_TRUE(start(in));
    EXPECT_TRUE(kelPqsIsInitialized());
    EXPECT_FALSE(kelPqsIsVfsDeployed());
    EXPECT_EQ(current(road::kPlain), text("tarvo-plain"));
    EXPECT_EQ(current(road::kOverride), text("zan-ov"));
    EXPECT_EQ(current(road::kTrailer, &writable), text("tarvo-tr"));
    EXPECT_TRUE(writable);
    setValue(road::kPlain, text("changed"));
    ASSERT_TRUE(kelPqsNvarTerm(true));
    EXPECT_TRUE(in.pqs == pqs);
    EXPECT_TRUE(in.efs == efsImage);
    EXPECT_EQ(reports(), std::vector<Report>{});
}

TEST_F(KelPqsDeployTest, AFileShorterThanItsTrailerAbortsTheReadWithTheTablesBuilt) {
    Deployment d = road::deployment();
    fileNamed(d, road::kExact)->flash = dorv::test::pattern(39, 1);
    DorvInputs in = dorv::test::build_deployment(d);
    EXPECT_FALSE(start(in));
    // Files are read in name order: the fresh EFS file comes first.
    EXPECT_EQ(reports(), (std::vector<Report>{road::skipNotice(road::kEfsFresh), error(341)}));
    EXPECT_TRUE(kelFcsIsInitialized());
    EXPECT_FALSE(kelPqsIsInitialized());
    EXPECT_FALSE(kelPqsIsVfsDeployed());
    EXPECT_TRUE(current(road::kNoLoad).has_value());
    // Without the PQS image termination writes nothing back.
    const Bytes pqs = in.pqs;
    ASSERT_TRUE(kelPqsNvarTerm(false));
    EXPECT_TRUE(in.pqs == pqs);
}

TEST_F(KelPqsDeployTest, EmptyValuesOverEmptyFilesAreNotWrittenAndAMissingFileFailsTermination) {
    Deployment d;
    d.with_efs = false;
    d.files = {road::afs(road::kMarker, 0x300, 0, 1, std::nullopt, text("1")),
               road::afs("/home/mca/none", 0x301, 0, 2, Bytes{}, Bytes{}),
               road::afs("/home/mca/shrink", 0x302, 0, 3, text("t"), text("0123456789"))};
    DorvInputs in = dorv::test::build_deployment(d);
    ASSERT_TRUE(start(in));
    setValue("/home/mca/shrink", Bytes{});  // shrunk to nothing: written, truncated
    {
        dorv::test::FaultFlash recorder;
        dorv::test::ScopedMedium scoped(dorv::afs::module_state().medium, recorder);
        ASSERT_TRUE(kelPqsNvarTerm(true));
        EXPECT_FALSE(recorder.log().empty());
        // Both values are now empty over empty files: a second termination
        // writes nothing.
        recorder.clear_log();
        ASSERT_TRUE(kelPqsNvarTerm(true));
        EXPECT_TRUE(recorder.log().empty());
    }
    ASSERT_TRUE(kelPqsNvarTerm(false));
    auto back = dorv::test::read_deployed(in, {"/home/mca/none", "/home/mca/shrink"});
    EXPECT_EQ(back["/home/mca/none"], Bytes{});
    EXPECT_EQ(back["/home/mca/shrink"], Bytes{});

    // A file of the table that does not exist on flash: a notice at start-up,
    // a failure at termination, and the library torn down.
    Deployment missing = d;
    missing.files[1].flash = std::nullopt;
    DorvInputs gone = dorv::test::build_deployment(missing);
    clearReports();
    ASSERT_TRUE(start(gone));
    EXPECT_EQ(reports(), std::vector<Report>{road::skipNotice("/home/mca/none")});
    clearReports();
    EXPECT_FALSE(kelPqsNvarTerm(true));
    EXPECT_EQ(reports(), (std::vector<Report>{error(338, " Library status code: 0"), error(347)}));
    EXPECT_FALSE(kelFcsIsInitialized());
    EXPECT_FALSE(kelPqsIsInitialized());
}

TEST_F(KelPqsDeployTest, ASizeZeroValueOverASizeZeroFileLeavesTheImageUntouched) {
    Deployment d;
    d.with_efs = false;
    d.files = {road::afs(road::kMarker, 0x300, 0, 1, std::nullopt, text("1")),
               road::afs("/home/mca/none", 0x301, 0, 2, Bytes{}, Bytes{}),
               road::afs(road::kTrailer, 0x302, FILE_ATTR_HAS_TRAILER, 3, text("t"), kTrailer40)};
    DorvInputs in = dorv::test::build_deployment(d);
    ASSERT_TRUE(start(in));
    dorv::test::FaultFlash recorder;
    dorv::test::ScopedMedium scoped(dorv::afs::module_state().medium, recorder);
    const Bytes before = in.pqs;
    ASSERT_TRUE(kelPqsNvarTerm(true));
    EXPECT_TRUE(recorder.log().empty());
    EXPECT_TRUE(in.pqs == before);
}

TEST_F(KelPqsDeployTest, AFailedPqsMountPrintsItsLineEvenWithoutACallback) {
    Deployment d = road::deployment();
    DorvInputs in = dorv::test::build_deployment(d);
    in.pqs.resize(0x4000);  // shorter than any partition
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(start(in, nullptr));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "dfs_init failed\n");
    EXPECT_TRUE(kelFcsIsInitialized());
    EXPECT_FALSE(kelPqsIsInitialized());

    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(start(in));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "dfs_init failed\n");
    EXPECT_EQ(reports(), (std::vector<Report>{error(1, " Library status code: 22"), error(341)}));

    // Nothing else of the library writes to standard output.
    DorvInputs good = dorv::test::build_deployment(d);
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(start(good, nullptr));
    EXPECT_TRUE(kelPqsNvarTerm(true));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(KelPqsDeployTest, EfsMountFailuresReleaseThePqsImage) {
    Deployment d = road::deployment();
    DorvInputs in = dorv::test::build_deployment(d);
    // An image one block short of what the layout needs is refused, never
    // read past its end.
    in.efs.resize(in.efs.size() - 4096);
    EXPECT_FALSE(start(in));
    EXPECT_EQ(reports(), std::vector<Report>{error(342)});
    EXPECT_TRUE(kelFcsIsInitialized());
    EXPECT_FALSE(kelPqsIsInitialized());
    EXPECT_EQ(EFS_is_initialized(), 0);

    // An image of the right size that holds no EFS.
    in.efs.assign(in.efs.size() + 4096, 0xFF);
    clearReports();
    EXPECT_FALSE(start(in));
    EXPECT_EQ(reports(), std::vector<Report>{error(342)});

    // No EFS image while the table routes a file to the EFS: it cannot be
    // sized, so the read aborts.
    in.efs.clear();
    clearReports();
    EXPECT_FALSE(start(in));
    EXPECT_EQ(reports(), std::vector<Report>{error(341)});
    EXPECT_FALSE(kelPqsIsInitialized());
}

TEST_F(KelPqsDeployTest, ARestartWithoutAnEfsImageLetsGoOfTheEarlierOne) {
    Deployment d = road::deployment();
    d.pqs_size = 0;
    DorvInputs in = dorv::test::build_deployment(d);
    ASSERT_TRUE(start(in));
    EXPECT_EQ(EFS_is_initialized(), 1);
    DorvInputs without = in;
    without.efs.clear();
    ASSERT_TRUE(start(without));
    EXPECT_EQ(EFS_is_initialized(), 0);
    EXPECT_EQ(efs_image, nullptr);
}

TEST_F(KelPqsDeployTest, WriteBackFailuresTearDownAfterTheirDetail) {
    // A file whose number is 0 cannot be written back.
    Deployment zero = road::deployment();
    zero.files.push_back(road::afs("/home/mca/nowhere", 0x30A, 0, 0, text("v"), std::nullopt));
    DorvInputs in = dorv::test::build_deployment(zero);
    ASSERT_TRUE(start(in));  // skipped silently at start-up
    EXPECT_EQ(reports(), std::vector<Report>{road::skipNotice(road::kEfsFresh)});
    clearReports();
    EXPECT_FALSE(kelPqsNvarTerm(true));
    EXPECT_EQ(reports(), (std::vector<Report>{error(101, " Library status code: 0"), error(347)}));
    EXPECT_FALSE(kelFcsIsInitialized());
    EXPECT_FALSE(kelPqsIsInitialized());

    // A value the EFS place cannot hold (its limit is 32 bytes): the store's
    // refusal comes back folded.
    DorvInputs big = dorv::test::build_deployment(road::deployment());
    ASSERT_TRUE(start(big));
    setValue(road::kEfsValue, Bytes(40, 'e'));
    clearReports();
    EXPECT_FALSE(kelPqsNvarTerm(true));
    EXPECT_EQ(reports(), (std::vector<Report>{error(101, " Library status code: 5"), error(347)}));
}

// One power supply for both images: the same device sits in the AFS and the
// EFS slot, so a cut stops every later store on either image. The
// termination's write-back is cut at every store it makes: the store is lost
// whole, or lands as its first 1, 3 or 2048 bytes (an erase as its first
// half with the 1-byte tear, else not at all). After each cut both images
// hold every file wholly old or wholly new, and the next start-up succeeds
// and serves old or new values.
TEST_F(KelPqsDeployTest, APowerCutDuringWriteBackLeavesEveryValueOldOrNew) {
    const DorvInputs pristine = dorv::test::build_deployment(road::deployment());
    auto change = [] {
        setValue(road::kPlain, text("flash"));
        setValue(road::kGrow, text("grow-more!"));
        setValue(road::kOverride, text("cut"));
        setValue(road::kEfsValue, text("efs-new"));
    };
    DorvInputs done = pristine;
    const auto oldFiles = dorv::test::read_deployed(done, road::kAll);
    // How many stores the write-back makes on each image, and the images it
    // leaves when nothing cuts it.
    std::size_t afsOps = 0, efsOps = 0;
    {
        ASSERT_TRUE(start(done));
        change();
        dorv::test::FaultFlash afsRecorder, efsRecorder;
        dorv::test::ScopedMedium afsSlot(dorv::afs::module_state().medium, afsRecorder);
        dorv::test::ScopedMedium efsSlot(dorv::efs::state().medium, efsRecorder);
        ASSERT_TRUE(kelPqsNvarTerm(false));
        afsOps = afsRecorder.log().size();
        efsOps = efsRecorder.log().size();
    }
    ASSERT_GT(afsOps, 0u);
    ASSERT_GT(efsOps, 0u);
    const auto newFiles = dorv::test::read_deployed(done, road::kAll);
    // The files the write-back changes on each image.
    const std::vector<const char*> changed = {road::kPlain,  road::kGrow,     road::kOverride,
                                              road::kNoLoad, road::kEfsValue, road::kEfsFresh};
    for (const char* name : changed) {
        ASSERT_NE(oldFiles.at(name), newFiles.at(name)) << name;
    }

    auto isOneOf = [](const std::optional<Bytes>& v, const Bytes& a, const Bytes& b) { return v == a || v == b; };
    std::map<std::string, std::size_t> seenNew;
    std::size_t failedTerminations = 0, states = 0;
    const std::size_t total = afsOps + efsOps;
    for (std::size_t cut = 0; cut <= total; ++cut) {
        for (const Tear tear : {Tear{}, Tear{1, true}, Tear{3, false}, Tear{2048, false}}) {
            SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(total) + " stores, torn at " +
                         std::to_string(tear.write_prefix));
            DorvInputs in = pristine;
            ASSERT_TRUE(start(in));
            change();
            {
                dorv::test::FaultFlash flash;
                flash.cut_after(cut, tear);
                dorv::test::ScopedMedium afsSlot(dorv::afs::module_state().medium, flash);
                dorv::test::ScopedMedium efsSlot(dorv::efs::state().medium, flash);
                // Fails once a lost store is read back.
                if (!kelPqsNvarTerm(false)) ++failedTerminations;
            }
            ++states;
            std::map<std::string, std::optional<Bytes>> back;
            try {
                back = dorv::test::read_deployed(in, road::kAll);
            } catch (const std::exception& e) {
                FAIL() << "the images do not read back: " << e.what();
            }
            for (const auto& [name, now] : back) {
                const bool isOld = now == oldFiles.at(name), isNew = now == newFiles.at(name);
                EXPECT_TRUE(isOld || isNew) << name << " is neither old nor new on its image";
                if (isNew && !isOld) ++seenNew[name];
            }
            clearReports();
            ASSERT_TRUE(start(in));
            EXPECT_TRUE(isOneOf(current(road::kPlain), text("flash-plain-value"), text("flash")));
            EXPECT_TRUE(isOneOf(current(road::kGrow), text("grow"), text("grow-more!")));
            EXPECT_TRUE(isOneOf(current(road::kOverride), text("flash-ov"), text("cut")));
            EXPECT_TRUE(isOneOf(current(road::kEfsValue), text("efs-flash"), text("efs-new")));
            EXPECT_EQ(current(road::kEfsFresh), text("tarvo-fresh"));
            EXPECT_EQ(current(road::kTrailer), text("serial-7"));
            EXPECT_TRUE(kelPqsNvarTerm(false));
            if (HasFailure()) return;
        }
    }
    // The cuts fell on both sides of every file's switch, on both images.
    for (const char* name : changed) {
        EXPECT_GT(seenNew[name], 0u) << name;
        EXPECT_LT(seenNew[name], states) << name;
    }
    EXPECT_GT(failedTerminations, 0u);
    std::printf("write-back: %zu AFS and %zu EFS stores, %zu states, %zu of the cuts failed the termination\n",
                afsOps, efsOps, states, failedTerminations);
}

TEST_F(KelPqsDeployTest, AllocationFailuresOnTheRoadEndInACleanRefusal) {
    if (!dorv::test::AllocFailure::coversCAllocations()) GTEST_SKIP() << "needs the C allocation hook";
    Deployment d = road::deployment();
    d.pqs_size = 0x8000;  // the smallest images keep the sweep quick
    d.efs_valid = 1;
    d.efs_spare = 1;
    DorvInputs pristine = dorv::test::build_deployment(d);
    long last = 0;
    // A mount that runs out of memory prints its line; keep it off the log.
    ::testing::internal::CaptureStdout();
    for (long successes = 0;; ++successes) {
        SCOPED_TRACE(successes);
        DorvInputs in = pristine;
        bool triggered = false;
        const bool started = dorv::test::runWithAllocFailure(successes, triggered, [&] {
            return start(in) && kelPqsNvarTerm(true);
        });
        if (!triggered) {
            EXPECT_TRUE(started);
            last = successes;
            break;
        }
        // Whatever failed, the images still start the library.
        clearReports();
        DorvInputs again = in;
        EXPECT_TRUE(start(again));
        EXPECT_TRUE(kelPqsNvarTerm(false));
        ASSERT_LT(successes, 5000);
    }
    ::testing::internal::GetCapturedStdout();
    std::printf("allocation failures: %ld points\n", last);
}

}  // namespace
