// The library API end to end through its exported functions: start-up, NVAR
// access and termination, with every report recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "dorv/kelpqs.h"
#include "support/alloc_failure.h"
#include "support/kelpqs_fixture.h"

namespace {

namespace sample = dorv::test::sample;
using dorv::test::Bytes;
using dorv::test::DorvInputs;
using dorv::test::error;
using dorv::test::FcsBuilder;
using dorv::test::Report;
using dorv::test::reports;

constexpr FcsFileName kTarvo = FCS_TABLE_TARVO_CFG;
constexpr FcsFileName kZan = FCS_TABLE_ZAN_CFG;
constexpr FcsFileName kCurrent = FCS_TABLE_CURRENT_VALUES;

class KelPqsApiTest : public dorv::test::KelPqsFixture {
protected:
    bool start(DorvInputs& inputs) {
        const DorvInitTables record = inputs.record();
        return kelPqsDorvInit(&record, dorv::test::recordReport);
    }

    // The value of `path` in `table`, or a failure.
    static ::testing::AssertionResult valueIs(const char* path, FcsFileName table,
                                              const Bytes& expected) {
        void* data = nullptr;
        uint32_t size = 0;
        if (!kelPqsNvarGet(path, &data, &size, table, nullptr, nullptr)) {
            return ::testing::AssertionFailure() << path << " is not served";
        }
        const Bytes got = data == nullptr ? Bytes{} : Bytes(static_cast<uint8_t*>(data),
                                                            static_cast<uint8_t*>(data) + size);
        if (got != expected) return ::testing::AssertionFailure() << path << " has another value";
        return ::testing::AssertionSuccess();
    }

    static bool isOneOf(const Report& report, const std::vector<Report>& candidates) {
        return std::find(candidates.begin(), candidates.end(), report) != candidates.end();
    }

    static Bytes zanBuffer() {
        void* buffer = nullptr;
        uint32_t size = 0;
        if (!kelPqsGetBuildZanCfgFcsBuffer(&buffer, &size)) return {};
        return Bytes(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + size);
    }

    DorvInputs inputs_ = sample::inputs();
};

TEST_F(KelPqsApiTest, SmokeStartGetResizeTerminateKeepFetchAndTerminate) {
    ASSERT_TRUE(start(inputs_));
    EXPECT_TRUE(kelFcsIsInitialized());
    EXPECT_FALSE(kelPqsIsInitialized());
    EXPECT_TRUE(valueIs("/home/mca/alpha", kCurrent, sample::alphaOverride()));

    void* data = nullptr;
    ASSERT_TRUE(kelPqsNvarResize("mca/beta", &data, 6));
    static_cast<uint8_t*>(data)[5] = 0xBB;
    ASSERT_TRUE(kelPqsNvarTerm(true));
    EXPECT_EQ(zanBuffer(), FcsBuilder()
                               .file(sample::kEmpty, {})
                               .file(sample::kAlpha, sample::alphaOverride(), 0x81, 0x5A)
                               .file(sample::kBetaX, {9})
                               .file(sample::kBeta, {1, 2, 3, 4, 0, 0xBB})
                               .build());
    EXPECT_TRUE(valueIs("/home/mca/beta", kCurrent, {1, 2, 3, 4, 0, 0xBB}));
    ASSERT_TRUE(kelPqsNvarTerm(false));
    EXPECT_FALSE(kelFcsIsInitialized());
    EXPECT_TRUE(reports().empty());
}

TEST_F(KelPqsApiTest, StartUpRefusesItsArgumentsInOrderAndChangesNothing) {
    // A running library with a value of its own: every refusal leaves it served.
    ASSERT_TRUE(start(inputs_));
    void* data = nullptr;
    ASSERT_TRUE(kelPqsNvarResize("mca/alpha", &data, 1));
    const auto unchanged = [] {
        return kelFcsIsInitialized() && valueIs("mca/alpha", kCurrent, {'a'}) &&
               valueIs("mca/alpha", kTarvo, sample::alphaDefault()) &&
               valueIs("mca/delta", kZan, {'d', 'e', 'l', 't', 'a'}) &&
               zanBuffer() == sample::zan();
    };

    // tarvo.cfg comes first, whatever else is wrong.
    DorvInitTables record{};
    record.omblCfg = {nullptr, 10};
    EXPECT_FALSE(kelPqsDorvInit(&record, dorv::test::recordReport));
    EXPECT_TRUE(unchanged());
    EXPECT_FALSE(kelPqsDorvInit(nullptr, dorv::test::recordReport));
    EXPECT_TRUE(unchanged());

    // Then a length without bytes, in the order tarvo.cfg, ombl.cfg, ftbl.bin, PQS, EFS.
    record = inputs_.record();
    record.tarvoCfg.data = nullptr;
    record.omblCfg.data = nullptr;
    record.ftblBin.data = nullptr;
    record.pqsImage = {nullptr, 10};
    record.efsImage = {nullptr, 10};
    const char* order[] = {"Tarvo.cfg table", "ombl.cfg", "ftbl.bin", "PQS", "EFS"};
    _commonDorvTable* fields[] = {&record.tarvoCfg, &record.omblCfg, &record.ftblBin,
                                  &record.pqsImage, &record.efsImage};
    for (_commonDorvTable* field : fields) {
        EXPECT_FALSE(kelPqsDorvInit(&record, dorv::test::recordReport));
        EXPECT_TRUE(unchanged());
        field->length = 0;  // fixed: the next one is refused
        if (field == &record.tarvoCfg) *field = inputs_.record().tarvoCfg;
    }
    // A null pointer with length 0 counts as not given; without ftbl.bin start-up stops.
    EXPECT_FALSE(kelPqsDorvInit(&record, dorv::test::recordReport));
    EXPECT_TRUE(unchanged());

    std::vector<Report> expected = {
        error(343, "Tarvo.cfg table is mandatory for loading by DORV."),
        error(343, "Tarvo.cfg table is mandatory for loading by DORV.")};
    for (const char* name : order) {
        expected.push_back(error(341, std::string("Invalid table ") + name +
                                          ". The table is loaded but data is empty."));
    }
    expected.push_back(error(403, "ftbl data must be defined for flat VFS, but not load by DORV."));
    EXPECT_EQ(reports(), expected);
}

// The expected reports elsewhere take their key texts from the catalogue; here
// they are spelled out, so that a wrong catalogue row cannot hide behind the
// same lookup on both sides.
TEST_F(KelPqsApiTest, ReportsCarryTheCatalogueTextOfTheirKey) {
    DorvInitTables record{};
    EXPECT_FALSE(kelPqsDorvInit(&record, dorv::test::recordReport));
    record = inputs_.record();
    record.pqsImage = {nullptr, 1};
    EXPECT_FALSE(kelPqsDorvInit(&record, dorv::test::recordReport));
    record = inputs_.record();
    record.ftblBin = {nullptr, 0};
    EXPECT_FALSE(kelPqsDorvInit(&record, dorv::test::recordReport));
    DorvInputs withEfs = sample::inputs();
    withEfs.efs = Bytes(16, 0xFF);
    EXPECT_FALSE(start(withEfs));
    void* buffer = nullptr;
    EXPECT_FALSE(kelPqsGetBuildZanCfgFcsBuffer(&buffer, nullptr));
    const std::vector<Report> expected = {
        {ERROR_LEVEL_ERROR, 343, "Failed to load Tarvo.cfg table.",
         "Tarvo.cfg table is mandatory for loading by DORV."},
        {ERROR_LEVEL_ERROR, 341, "Failed to initialize PQS.",
         "Invalid table PQS. The table is loaded but data is empty."},
        {ERROR_LEVEL_ERROR, 403, "Failed to load ftbl file.",
         "ftbl data must be defined for flat VFS, but not load by DORV."},
        {ERROR_LEVEL_ERROR, 342, "Failed to initialize EFS.", ""},
        {ERROR_LEVEL_ERROR, 400, "Corrupted Buffer Detected.", "ZAN CFG buffer"},
    };
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsApiTest, StartUpStopsAtTheFirstTableThatFailsToLoad) {
    struct Case {
        const char* what;
        DorvInputs inputs;
        std::vector<Report> reports;
    };
    DorvInputs badFtbl = sample::inputs();
    badFtbl.ftbl.resize(1023);
    DorvInputs badTarvo = sample::inputs();
    badTarvo.tarvo = {1, 0, 0};
    DorvInputs shortOmbl = sample::inputs();
    shortOmbl.ombl.resize(15);
    DorvInputs oversized = sample::inputs();
    oversized.ombl = dorv::test::make_ombl({}, 1);
    DorvInputs badZan = sample::inputs();
    badZan.ombl = dorv::test::make_ombl({1, 0, 0, 0});  // one header promised, none there
    Case cases[] = {
        {"ftbl.bin", badFtbl, {error(403, " Library status code: 1")}},
        {"tarvo.cfg", badTarvo, {error(330, " Library status code: 10")}},
        {"ombl.cfg length", shortOmbl, {error(115, "Invalid OMBL partition length")}},
        {"ombl.cfg size", oversized, {error(341, "Invalid OMBL partition size.")}},
        {"Zan.cfg", badZan, {error(330, " Library status code: 10")}},
    };
    for (Case& c : cases) {
        dorv::test::clearReports();
        EXPECT_FALSE(start(c.inputs)) << c.what;
        EXPECT_EQ(reports(), c.reports) << c.what;
        EXPECT_FALSE(kelFcsIsInitialized()) << c.what;
        EXPECT_FALSE(kelpqsCheckNvarExists("/home/mca/alpha", kTarvo)) << c.what;
    }
}

TEST_F(KelPqsApiTest, AnImageFailsTheStorageStepWithTheTablesBuilt) {
    DorvInputs withImage = sample::inputs();
    withImage.pqs = Bytes(8192, 0xFF);
    EXPECT_FALSE(start(withImage));
    EXPECT_TRUE(kelFcsIsInitialized());
    EXPECT_FALSE(kelPqsIsInitialized());
    EXPECT_FALSE(kelPqsIsVfsDeployed());
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, sample::alphaOverride()));
    // The EFS image is mounted second: alone it fails as that mount does.
    DorvInputs withEfs = sample::inputs();
    withEfs.efs = Bytes(4096, 0xFF);
    EXPECT_FALSE(start(withEfs));
    EXPECT_TRUE(kelFcsIsInitialized());
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, sample::alphaOverride()));
    // With both, the PQS image fails first and the EFS image is not reached.
    DorvInputs withBoth = sample::inputs();
    withBoth.pqs = Bytes(8192, 0xFF);
    withBoth.efs = Bytes(4096, 0xFF);
    EXPECT_FALSE(start(withBoth));
    EXPECT_TRUE(kelFcsIsInitialized());
    // 8192 bytes are too few for a partition (the mount answers 22); 4096 are
    // too few for any EFS layout.
    const Report mount = error(1, " Library status code: 22");
    const std::vector<Report> expected = {mount, error(341), error(342), mount, error(341)};
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsApiTest, GetServesEachTableByPathAndReportsWhatItCannotServe) {
    ASSERT_TRUE(start(inputs_));
    EXPECT_TRUE(valueIs("/home/mca/alpha", kTarvo, sample::alphaDefault()));
    EXPECT_TRUE(valueIs("mca/alpha", kZan, sample::alphaOverride()));
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, sample::alphaOverride()));
    EXPECT_TRUE(valueIs("/home/mca/delta", kZan, {'d', 'e', 'l', 't', 'a'}));
    EXPECT_TRUE(valueIs("cfg/empty", kCurrent, {}));
    EXPECT_TRUE(kelpqsCheckNvarExists("mca/gamma", kTarvo));
    EXPECT_FALSE(kelpqsCheckNvarExists("mca/gamma", kCurrent));
    EXPECT_FALSE(kelpqsCheckNvarExists("mca/delta", kCurrent));
    EXPECT_TRUE(kelpqsCheckNvarExists("/home/cfg/hidden", kCurrent));
    EXPECT_TRUE(reports().empty());

    void* data = nullptr;
    uint32_t size = 0;
    bool writable = false;
    uint32_t maxSize = 0;
    ASSERT_TRUE(kelPqsNvarGet("mca/beta", &data, &size, kCurrent, &writable, &maxSize));
    EXPECT_TRUE(writable);  // no image is mounted, so even a file with a trailer
    EXPECT_EQ(maxSize, 8u);
    EXPECT_EQ(size, 4u);
    void* again = nullptr;
    ASSERT_TRUE(kelPqsNvarGet("/home/mca/beta", &again, &size, kCurrent, nullptr, nullptr));
    EXPECT_EQ(again, data);  // the library's own buffer, not a copy

    data = &size;
    size = 99;
    EXPECT_FALSE(kelPqsNvarGet("mca/delta", &data, &size, kCurrent, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(kelPqsNvarGet("mca/alpha", &data, &size, FCS_TABLE_NONE, nullptr, nullptr));
    EXPECT_FALSE(kelPqsNvarGet("cfg/hidden", &data, &size, kCurrent, nullptr, nullptr));
    EXPECT_FALSE(kelPqsNvarGet("mca/gamma", &data, &size, kTarvo, nullptr, nullptr));
    EXPECT_FALSE(kelPqsNvarGet(nullptr, &data, &size, kCurrent, nullptr, nullptr));
    EXPECT_FALSE(kelPqsNvarGet("mca/beta", nullptr, &size, kCurrent, nullptr, nullptr));
    EXPECT_FALSE(kelPqsNvarGet("mca/beta", &data, nullptr, kCurrent, nullptr, nullptr));
    EXPECT_FALSE(kelpqsCheckNvarExists(nullptr, kCurrent));
    EXPECT_EQ(kelPqsGetFcsFileNameMapping(0), kTarvo);
    EXPECT_EQ(kelPqsGetFcsFileNameMapping(1), kZan);
    EXPECT_EQ(kelPqsGetFcsFileNameMapping(2), kCurrent);
    EXPECT_EQ(kelPqsGetFcsFileNameMapping(3), kCurrent);
    const std::vector<Report> expected = {
        error(38),                          // delta is not a current value
        error(336), error(38),              // no such table
        error(322),                         // hidden: a size but no value
        error(348),                         // gamma: not valid
        error(400, "Null NVAR path"),       error(400, "Null data"),
        error(400, "Null data size"),       error(400, "Null NVAR path"),
        error(0, "Invalid fcsFileNameMap value"),
    };
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsApiTest, ResizeKeepsTheValueAndZeroFillsWhatItAdds) {
    ASSERT_TRUE(start(inputs_));
    void* first = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(kelPqsNvarGet("mca/alpha", &first, &size, kCurrent, nullptr, nullptr));
    void* data = nullptr;
    ASSERT_TRUE(kelPqsNvarResize("mca/alpha", &data, size));
    EXPECT_EQ(data, first);  // the same size changes nothing

    ASSERT_TRUE(kelPqsNvarResize("/home/mca/alpha", &data, 12));
    Bytes grown = sample::alphaOverride();
    grown.resize(12, 0);
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, grown));
    ASSERT_TRUE(kelPqsNvarResize("mca/alpha", &data, 3));
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, {'a', 'l', 'p'}));
    ASSERT_TRUE(kelPqsNvarResize("mca/alpha", &data, 0));
    EXPECT_EQ(data, nullptr);
    data = &size;
    ASSERT_TRUE(kelPqsNvarGet("mca/alpha", &data, &size, kCurrent, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    // An empty value grows into zeros.
    ASSERT_TRUE(kelPqsNvarResize("cfg/empty", &data, 3));
    EXPECT_TRUE(valueIs("cfg/empty", kCurrent, {0, 0, 0}));
    // The tarvo.cfg table is never resized.
    EXPECT_TRUE(valueIs("mca/alpha", kTarvo, sample::alphaDefault()));
    EXPECT_TRUE(reports().empty());

    data = &size;
    EXPECT_FALSE(kelPqsNvarResize("mca/delta", &data, 1));
    EXPECT_FALSE(kelPqsNvarResize("cfg/hidden", &data, 1));
    EXPECT_FALSE(kelPqsNvarResize(nullptr, &data, 1));
    EXPECT_FALSE(kelPqsNvarResize("mca/alpha", nullptr, 1));
    EXPECT_EQ(data, &size);
    const std::vector<Report> expected = {error(38), error(348), error(400, "Null NVAR path"),
                                          error(400, "Null New NVAR data")};
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsApiTest, ValueBeyondItsLimitIsServedButLeftOutOfTheNewTable) {
    ASSERT_TRUE(start(inputs_));
    void* data = nullptr;
    ASSERT_TRUE(kelPqsNvarResize("mca/beta", &data, 9));  // beta may hold 8 bytes
    EXPECT_TRUE(valueIs("mca/beta", kCurrent, {1, 2, 3, 4, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(kelPqsNvarResize("mca/beta.x", &data, 8));  // exactly its limit
    std::memset(data, 0x5C, 8);
    ASSERT_TRUE(kelPqsNvarTerm(true));
    EXPECT_EQ(zanBuffer(), FcsBuilder()
                               .file(sample::kEmpty, {})
                               .file(sample::kAlpha, sample::alphaOverride(), 0x81, 0x5A)
                               .file(sample::kBetaX, Bytes(8, 0x5C))
                               .build());
    // The current values are rebuilt: beta is the default again.
    EXPECT_TRUE(valueIs("mca/beta", kCurrent, sample::betaValue()));
    EXPECT_TRUE(valueIs("mca/beta.x", kZan, Bytes(8, 0x5C)));
    EXPECT_FALSE(kelpqsCheckNvarExists("mca/delta", kZan));  // only current values are kept
    EXPECT_TRUE(reports().empty());
}

TEST_F(KelPqsApiTest, TerminationWithoutKeepEndsEverythingAndASecondOneIsRefused) {
    void* buffer = nullptr;
    uint32_t size = 0;
    EXPECT_FALSE(kelPqsNvarTerm(false));  // never started (and no callback yet)
    ASSERT_TRUE(start(inputs_));
    // After start-up the Zan.cfg buffer is the one inside ombl.cfg.
    EXPECT_EQ(zanBuffer(), sample::zan());
    ASSERT_TRUE(kelPqsNvarTerm(false));
    EXPECT_FALSE(kelFcsIsInitialized());
    EXPECT_FALSE(kelpqsCheckNvarExists("mca/alpha", kCurrent));
    EXPECT_FALSE(kelPqsGetBuildZanCfgFcsBuffer(&buffer, &size));
    EXPECT_FALSE(kelPqsNvarTerm(false));
    EXPECT_FALSE(kelPqsNvarTerm(true));
    EXPECT_FALSE(kelPqsGetBuildZanCfgFcsBuffer(nullptr, &size));
    EXPECT_FALSE(kelPqsGetBuildZanCfgFcsBuffer(&buffer, nullptr));
    const std::vector<Report> expected = {error(326), error(326),
                                          error(400, "ZAN CFG buffer"),
                                          error(400, "ZAN CFG buffer")};
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsApiTest, WithoutOmblTheCurrentValuesAreTheDefaults) {
    inputs_.ombl.clear();
    ASSERT_TRUE(start(inputs_));
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, sample::alphaDefault()));
    EXPECT_TRUE(valueIs("cfg/hidden", kCurrent, {'v', 'i', 's', 'i', 'b', 'l', 'e'}));
    EXPECT_FALSE(kelpqsCheckNvarExists("mca/alpha", kZan));
    EXPECT_TRUE(zanBuffer().empty());  // nothing until a kept termination
    ASSERT_TRUE(kelPqsNvarTerm(true));
    EXPECT_EQ(zanBuffer(), FcsBuilder()
                               .file(sample::kEmpty, {})
                               .file(sample::kHidden, {'v', 'i', 's', 'i', 'b', 'l', 'e'})
                               .file(sample::kAlpha, sample::alphaDefault())
                               .file(sample::kBetaX, {9})
                               .file(sample::kBeta, sample::betaValue())
                               .build());
    // A second kept termination builds the same table again.
    const Bytes first = zanBuffer();
    ASSERT_TRUE(kelPqsNvarTerm(true));
    EXPECT_EQ(zanBuffer(), first);
    EXPECT_TRUE(reports().empty());
}

TEST_F(KelPqsApiTest, SecondStartUpReplacesEverythingTheFirstBuilt) {
    ASSERT_TRUE(start(inputs_));
    void* data = nullptr;
    ASSERT_TRUE(kelPqsNvarResize("mca/alpha", &data, 1));

    // A refused argument changes nothing.
    DorvInputs noFtbl = sample::inputs();
    noFtbl.ftbl.clear();
    EXPECT_FALSE(start(noFtbl));
    EXPECT_TRUE(kelFcsIsInitialized());
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, {'a'}));

    // A new start-up on other inputs: the old copies are gone before the
    // caller's buffers are (the library copied them).
    {
        DorvInputs other = sample::inputs();
        other.ombl.clear();
        other.tarvo = FcsBuilder().file(sample::kAlpha, {0x42}).build();
        ASSERT_TRUE(start(other));
    }
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, {0x42}));
    EXPECT_FALSE(kelpqsCheckNvarExists("mca/beta", kCurrent));

    // One that fails after its checks leaves nothing of the previous one.
    DorvInputs badTarvo = sample::inputs();
    badTarvo.tarvo = {0, 0};
    EXPECT_FALSE(start(badTarvo));
    EXPECT_FALSE(kelFcsIsInitialized());
    EXPECT_FALSE(kelpqsCheckNvarExists("mca/alpha", kTarvo));
    const std::vector<Report> expected = {
        error(403, "ftbl data must be defined for flat VFS, but not load by DORV."),
        error(330, " Library status code: 10")};
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsApiTest, RestartMayTakeTheZanTableItBuiltAsAnInput) {
    ASSERT_TRUE(start(inputs_));
    ASSERT_TRUE(kelPqsNvarTerm(true));
    void* buffer = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(kelPqsGetBuildZanCfgFcsBuffer(&buffer, &size));
    // The restart frees that buffer: its bytes must be taken first.
    DorvInitTables record = inputs_.record();
    record.tarvoCfg = _commonDorvTable{static_cast<uint8_t*>(buffer), size};
    ASSERT_TRUE(kelPqsDorvInit(&record, dorv::test::recordReport));
    EXPECT_TRUE(valueIs("mca/alpha", kTarvo, sample::alphaOverride()));
}

TEST_F(KelPqsApiTest, WithoutACallbackTheLibraryIsSilent) {
    const DorvInitTables record = inputs_.record();
    ASSERT_TRUE(kelPqsDorvInit(&record, nullptr));
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, sample::alphaOverride()));
    void* data = nullptr;
    uint32_t size = 0;
    EXPECT_FALSE(kelPqsNvarGet("mca/nothing", &data, &size, kCurrent, nullptr, nullptr));
    DorvInitTables empty{};
    EXPECT_FALSE(kelPqsDorvInit(&empty, nullptr));
    EXPECT_TRUE(reports().empty());
}

TEST_F(KelPqsApiTest, AnAllocationFailureIsReportedNeverThrown) {
    ASSERT_TRUE(start(inputs_));
    void* data = nullptr;
    uint32_t size = 0;
    {
        // The first allocation of this lookup builds the prefixed path.
        dorv::test::AllocFailure failure(0);
        EXPECT_FALSE(kelPqsNvarGet("cfg/a-path-longer-than-short-strings", &data, &size, kCurrent, nullptr, nullptr));
        EXPECT_TRUE(failure.triggered());
    }
    const std::vector<Report> expected = {error(323)};
    EXPECT_EQ(reports(), expected);
    // A start-up that runs out of memory anywhere either reports it and
    // answers false, or still serves every value: it never loses one quietly.
    // A failing one ends with the report of the step that stopped it: a
    // summary, or the out-of-memory code of a handle that could not be made.
    const std::vector<Report> closing = {error(323), error(327), error(346),
                                         error(330, " Library status code: 9")};
    bool entryFailed = false;  // a C allocation of the table load was failed
    for (long successes = 0;; ++successes) {
        ASSERT_LT(successes, 100000);
        dorv::test::clearReports();
        bool triggered;
        const bool ok = dorv::test::runWithAllocFailure(successes, triggered,
                                                        [&] { return start(inputs_); });
        if (!ok) {
            EXPECT_TRUE(triggered) << successes;
            ASSERT_FALSE(reports().empty()) << successes;
            EXPECT_TRUE(isOneOf(reports().back(), closing))
                << successes << ::testing::PrintToString(reports());
            entryFailed = entryFailed || reports().front() == error(322);
            continue;
        }
        EXPECT_TRUE(reports().empty()) << successes << ::testing::PrintToString(reports());
        EXPECT_TRUE(valueIs("mca/alpha", kCurrent, sample::alphaOverride())) << successes;
        EXPECT_TRUE(valueIs("mca/beta", kCurrent, sample::betaValue())) << successes;
        EXPECT_TRUE(valueIs("mca/beta.x", kCurrent, {9})) << successes;
        EXPECT_TRUE(valueIs("cfg/empty", kCurrent, {})) << successes;
        EXPECT_TRUE(kelpqsCheckNvarExists("cfg/hidden", kCurrent)) << successes;
        if (!triggered) break;
    }
    EXPECT_EQ(entryFailed, dorv::test::AllocFailure::coversCAllocations());
}

// Termination that runs out of memory anywhere: the detail comes first and
// the summary last, and the library is left as the failed step says.
TEST_F(KelPqsApiTest, TerminationOutOfMemoryReportsItsSummaryLast) {
    if (!dorv::test::AllocFailure::coversCAllocations()) {
        GTEST_SKIP() << "this build cannot fail malloc, calloc and realloc";
    }
    const Bytes built = sample::builtZan();
    const std::vector<Report> details = {error(323), error(330, " Library status code: 9"),
                                         error(335, " Library status code: 9")};
    for (bool keep : {true, false}) {
        int tornDown = 0;
        int rebuildFailed = 0;
        for (long successes = 0;; ++successes) {
            ASSERT_LT(successes, 100000);
            ASSERT_TRUE(start(inputs_));
            dorv::test::clearReports();
            bool triggered;
            const bool ok = dorv::test::runWithAllocFailure(successes, triggered,
                                                            [&] { return kelPqsNvarTerm(keep); });
            const std::string at = ::testing::PrintToString(keep) + " " +
                                   std::to_string(successes) + " " +
                                   ::testing::PrintToString(reports());
            if (ok) {
                EXPECT_TRUE(reports().empty()) << at;
                EXPECT_EQ(kelFcsIsInitialized(), keep) << at;
                if (keep) {
                    EXPECT_EQ(zanBuffer(), built) << at;
                    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, sample::alphaOverride())) << at;
                }
                if (!triggered) break;
                continue;
            }
            EXPECT_TRUE(triggered) << at;
            ASSERT_GE(reports().size(), 2u) << at;
            EXPECT_TRUE(isOneOf(reports().front(), details)) << at;
            if (reports().back() == error(347)) {
                // Torn down: nothing is left.
                ++tornDown;
                EXPECT_FALSE(kelFcsIsInitialized()) << at;
                EXPECT_FALSE(kelpqsCheckNvarExists("mca/alpha", kTarvo)) << at;
                EXPECT_TRUE(zanBuffer().empty()) << at;
                EXPECT_FALSE(kelPqsNvarTerm(keep)) << at;  // refused: not initialised
                continue;
            }
            // Only rebuilding the current values after a kept termination
            // fails without a tear-down: the new Zan.cfg buffer stays
            // available, and further access is refused so that no later
            // termination can replace it with a table built from no values.
            ++rebuildFailed;
            EXPECT_TRUE(keep) << at;
            EXPECT_EQ(reports().back(), error(345)) << at;
            EXPECT_FALSE(kelFcsIsInitialized()) << at;
            EXPECT_EQ(zanBuffer(), built) << at;
            EXPECT_FALSE(kelpqsCheckNvarExists("mca/alpha", kZan)) << at;
            EXPECT_FALSE(kelPqsNvarTerm(true)) << at;  // refused: 326
            EXPECT_EQ(reports().back(), error(326)) << at;
            EXPECT_EQ(zanBuffer(), built) << at;
        }
        EXPECT_GT(tornDown, 10) << keep;
        EXPECT_EQ(rebuildFailed > 0, keep) << keep;
    }
}

TEST_F(KelPqsApiTest, ResizeThatCannotReallocateKeepsTheOldValue) {
    if (!dorv::test::AllocFailure::coversCAllocations()) {
        GTEST_SKIP() << "this build cannot fail realloc";
    }
    ASSERT_TRUE(start(inputs_));
    void* before = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(kelPqsNvarGet("/home/mca/alpha", &before, &size, kCurrent, nullptr, nullptr));
    void* data = &size;
    bool triggered;
    // A full path needs no prefixing: the reallocation is the first allocation.
    const bool resized = dorv::test::runWithAllocFailure(
        0, triggered, [&] { return kelPqsNvarResize("/home/mca/alpha", &data, 4096); });
    EXPECT_FALSE(resized);
    EXPECT_TRUE(triggered);
    EXPECT_EQ(data, &size);  // untouched
    void* after = nullptr;
    uint32_t afterSize = 0;
    ASSERT_TRUE(kelPqsNvarGet("mca/alpha", &after, &afterSize, kCurrent, nullptr, nullptr));
    EXPECT_EQ(after, before);
    EXPECT_EQ(afterSize, size);
    EXPECT_TRUE(valueIs("mca/alpha", kCurrent, sample::alphaOverride()));
    const std::vector<Report> expected = {error(323)};
    EXPECT_EQ(reports(), expected);
}

}  // namespace
