// The API's configuration tables, driven through their operations with FCS
// and ftbl.bin buffers built byte by byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/kelpqs_internal.h"
#include "support/kelpqs_fixture.h"

namespace {

namespace sample = dorv::test::sample;
using dorv::test::Bytes;
using dorv::test::error;
using dorv::test::FcsBuilder;
using dorv::test::Report;
using dorv::test::reports;

class KelPqsTablesTest : public dorv::test::KelPqsFixture {
protected:
    void SetUp() override {
        KelPqsFixture::SetUp();
        s_dorvStatusCallback = dorv::test::recordReport;
        useFileTable(sample::ftbl(), sample::kSku);
    }

    static void useFileTable(const Bytes& ftbl, uint32_t sku) {
        s_fileTableBuffer = ftbl;
        s_dorvLoadFileTable = true;
        s_dorvAfsSkuId = sku;
    }

    // Gives `table` a copy of `fcs` as its buffer and loads it.
    static bool load(FcsTable& table, const Bytes& fcs) {
        table = kelPqsEmptyTable(0);
        table.fcsBuffer = static_cast<uint8_t*>(std::malloc(fcs.size() + 1));
        std::memcpy(table.fcsBuffer, fcs.data(), fcs.size());
        table.fcsBufferSize = static_cast<uint32_t>(fcs.size());
        return kelPqsLoadFcsTableFiles(table, true);
    }

    static FcsTable newTable() {
        FcsTable table = kelPqsEmptyTable(FCS_TABLE_ZAN_CFG);
        EXPECT_EQ(createHandle(&table.handle), FCS_OK);
        return table;
    }

    static std::vector<std::string> names(const FcsTable& table) {
        std::vector<std::string> out;
        const FcsFileEntry* last = nullptr;
        for (const FcsFileEntry* e = table.head; e != nullptr; e = e->next) {
            EXPECT_EQ(e->prev, last);
            EXPECT_EQ(e->inTable, 1);
            out.emplace_back(e->name);
            last = e;
        }
        EXPECT_EQ(table.tail, last);
        EXPECT_EQ(static_cast<size_t>(table.count), out.size());
        return out;
    }

    static const FcsFileEntry* entry(const FcsTable& table, const std::string& name) {
        for (const FcsFileEntry* e = table.head; e != nullptr; e = e->next) {
            if (name == e->name) return e;
        }
        return nullptr;
    }

    static Bytes valueOf(const FcsFileEntry* e) {
        return e->data == nullptr ? Bytes{} : Bytes(e->data, e->data + e->dataSize);
    }

    static Bytes serialized(FcsTable& table) {
        EXPECT_TRUE(kelPqsSerializeFcsTable(table));
        return Bytes(table.fcsBuffer, table.fcsBuffer + table.fcsBufferSize);
    }

    // An unlinked entry of `size` bytes of `fill` for file `number`.
    static FcsFileEntry* makeEntry(const char* name, uint32_t number, uint32_t size, int fill) {
        auto* e = static_cast<FcsFileEntry*>(std::calloc(1, sizeof(FcsFileEntry)));
        std::strcpy(e->name, name);
        e->info.header.file_number = number;
        e->info.header.flags = CFG_ENTRY_VALID;
        e->valid = 1;
        e->dataSize = size;
        if (fill >= 0 && size != 0) {
            e->data = static_cast<uint8_t*>(std::malloc(size));
            std::memset(e->data, fill, size);
        }
        return e;
    }
};

TEST_F(KelPqsTablesTest, LoadKeepsEveryTableFileInNameOrderWithItsValueAndLimits) {
    FcsTable table;
    ASSERT_TRUE(load(table, sample::tarvo()));
    EXPECT_FALSE(s_dorvLoadFileTable);  // the file table is selected once
    // The record of file 0x999, which the file table lacks, is dropped.
    EXPECT_EQ(names(table), (std::vector<std::string>{"/home/cfg/empty", "/home/cfg/hidden",
                                                      "/home/mca/alpha", "/home/mca/beta",
                                                      "/home/mca/beta.x", "/home/mca/gamma"}));
    const FcsFileEntry* alpha = entry(table, "/home/mca/alpha");
    EXPECT_EQ(valueOf(alpha), sample::alphaDefault());
    EXPECT_EQ(alpha->valid, 1);
    EXPECT_EQ(uint32_t{alpha->info.header.file_number}, sample::kAlpha);
    EXPECT_EQ(uint32_t{alpha->info.max_data_size}, 16u);
    const FcsFileEntry* beta = entry(table, "/home/mca/beta");
    EXPECT_EQ(valueOf(beta), sample::betaValue());
    EXPECT_EQ(uint16_t{beta->info.attributes}, 0x0001);
    EXPECT_EQ(uint32_t{beta->info.max_data_size}, 8u);
    const FcsFileEntry* gamma = entry(table, "/home/mca/gamma");
    EXPECT_EQ(gamma->valid, 0);
    EXPECT_EQ(gamma->data, nullptr);
    const FcsFileEntry* empty = entry(table, "/home/cfg/empty");
    EXPECT_EQ(empty->valid, 1);
    EXPECT_EQ(empty->data, nullptr);
    EXPECT_EQ(empty->dataSize, 0u);
    EXPECT_TRUE(reports().empty());
    kelPqsFreeFcsTable(table);
    kelPqsFreeFcsTable(table);  // freeing an empty table does nothing
    EXPECT_EQ(table.handle, nullptr);
    EXPECT_EQ(table.fcsBuffer, nullptr);
}

TEST_F(KelPqsTablesTest, LoadRefusalsReportTheLowerLayersCode) {
    FcsTable table;
    useFileTable(Bytes(1023, 0), sample::kSku);
    EXPECT_FALSE(load(table, sample::tarvo()));
    EXPECT_TRUE(s_dorvLoadFileTable);
    kelPqsFreeFcsTable(table);

    useFileTable(sample::ftbl(), sample::kSku);
    EXPECT_FALSE(load(table, Bytes{0, 0, 0}));
    EXPECT_EQ(table.handle, nullptr);
    kelPqsFreeFcsTable(table);

    // Two records of one file: the FCS layer rejects the buffer.
    EXPECT_FALSE(load(table, FcsBuilder().file(sample::kAlpha, {1}).file(sample::kAlpha, {2}).build()));
    kelPqsFreeFcsTable(table);

    const std::vector<Report> expected = {error(403, " Library status code: 1"),
                                          error(330, " Library status code: 10"),
                                          error(330, " Library status code: 10")};
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsTablesTest, FindPrefixesPathsAndRefusesUnknownSelectors) {
    ASSERT_TRUE(load(s_tarvoCfgTable, sample::tarvo()));
    // Nothing is found before the tables count as built.
    EXPECT_EQ(kelPqsFindFileEntryInTable(FCS_TABLE_TARVO_CFG, "/home/mca/alpha"), nullptr);
    s_fcsInitialized = true;
    const FcsFileEntry* alpha = kelPqsFindFileEntryInTable(FCS_TABLE_TARVO_CFG, "/home/mca/alpha");
    ASSERT_NE(alpha, nullptr);
    EXPECT_STREQ(alpha->name, "/home/mca/alpha");
    EXPECT_EQ(kelPqsFindFileEntryInTable(FCS_TABLE_TARVO_CFG, "mca/alpha"), alpha);
    // "/home/" goes in front of anything that does not start with it.
    EXPECT_EQ(kelPqsFindFileEntryInTable(FCS_TABLE_TARVO_CFG, "home/mca/alpha"), nullptr);
    EXPECT_EQ(kelPqsFindFileEntryInTable(FCS_TABLE_TARVO_CFG, "/home/mca/alph"), nullptr);
    EXPECT_EQ(kelPqsFindFileEntryInTable(FCS_TABLE_ZAN_CFG, "/home/mca/alpha"), nullptr);
    EXPECT_TRUE(reports().empty());

    EXPECT_EQ(kelPqsFindFileEntryInTable(FCS_TABLE_NONE, "/home/mca/alpha"), nullptr);
    EXPECT_EQ(kelPqsFindFileEntryInTable(static_cast<FcsFileName>(5), "/home/mca/alpha"), nullptr);
    EXPECT_EQ(kelPqsFindFileEntryInTable(FCS_TABLE_TARVO_CFG, nullptr), nullptr);
    const std::vector<Report> expected = {error(336), error(336), error(400, "Invalid NVAR path")};
    EXPECT_EQ(reports(), expected);
}

TEST_F(KelPqsTablesTest, AddRefusesDuplicatesForeignEntriesAndMissingPointers) {
    ASSERT_TRUE(load(s_tarvoCfgTable, sample::tarvo()));
    FcsTable table = newTable();
    FcsFileEntry* alpha = copyFileEntry(entry(s_tarvoCfgTable, "/home/mca/alpha"));
    ASSERT_TRUE(kelPqsAddNewFileFcs(table, alpha, false));
    EXPECT_EQ(names(table), std::vector<std::string>{"/home/mca/alpha"});

    EXPECT_FALSE(kelPqsAddNewFileFcs(table, alpha, false));  // linked already
    FcsFileEntry* second = copyFileEntry(alpha);
    EXPECT_FALSE(kelPqsAddNewFileFcs(table, second, false));  // same name
    EXPECT_EQ(second->inTable, 0);
    kelPqsFreeFileEntry(second);
    FcsFileEntry* foreign = s_tarvoCfgTable.head;  // linked into another table
    EXPECT_FALSE(kelPqsAddNewFileFcs(table, foreign, false));
    EXPECT_FALSE(kelPqsAddNewFileFcs(table, nullptr, false));
    FcsTable noTree = kelPqsEmptyTable(FCS_TABLE_ZAN_CFG);
    FcsFileEntry* beta = copyFileEntry(entry(s_tarvoCfgTable, "/home/mca/beta"));
    EXPECT_FALSE(kelPqsAddNewFileFcs(noTree, beta, false));
    EXPECT_EQ(table.count, 1);

    const std::vector<Report> expected = {
        error(329), error(328), error(329), error(0, "Invalid FCS handle or fileEntry pointer"),
        error(0, "Invalid FCS handle or fileEntry pointer")};
    EXPECT_EQ(reports(), expected);
    kelPqsFreeFileEntry(beta);
    kelPqsFreeFcsTable(table);
}

TEST_F(KelPqsTablesTest, DuplicatesAreFoundWhateverOrderTheNamesCameIn) {
    ASSERT_TRUE(load(s_tarvoCfgTable, sample::tarvo()));
    for (bool ascending : {true, false}) {
        SCOPED_TRACE(ascending);
        dorv::test::clearReports();
        FcsTable table = newTable();
        const char* first = ascending ? "/home/mca/alpha" : "/home/mca/beta";
        const char* second = ascending ? "/home/mca/beta" : "/home/mca/alpha";
        ASSERT_TRUE(kelPqsAddNewFileFcs(table, copyFileEntry(entry(s_tarvoCfgTable, first)), false));
        ASSERT_TRUE(kelPqsAddNewFileFcs(table, copyFileEntry(entry(s_tarvoCfgTable, second)), false));
        // The first name again: before the tail in an ascending list, after
        // it in one that is not.
        FcsFileEntry* again = copyFileEntry(entry(s_tarvoCfgTable, first));
        EXPECT_FALSE(kelPqsAddNewFileFcs(table, again, false));
        kelPqsFreeFileEntry(again);
        // A name after the tail of an ascending list is new.
        FcsFileEntry* gamma = copyFileEntry(entry(s_tarvoCfgTable, "/home/mca/beta.x"));
        EXPECT_TRUE(kelPqsAddNewFileFcs(table, gamma, false));
        EXPECT_EQ(table.count, 3);
        EXPECT_EQ(reports(), std::vector<Report>{error(328)});
        kelPqsFreeFcsTable(table);
    }
}

TEST_F(KelPqsTablesTest, RecordsTheTreeRefusesStayUnlinkedWithoutAReport) {
    FcsTable table = newTable();
    ASSERT_TRUE(load(s_tarvoCfgTable, sample::tarvo()));  // selects the file table
    // beta may hold 8 bytes: with the size check, 9 are refused.
    FcsFileEntry* tooLong = makeEntry("/home/mca/beta", sample::kBeta, 9, 0x11);
    EXPECT_TRUE(kelPqsAddNewFileFcs(table, tooLong, true));
    EXPECT_EQ(tooLong->inTable, 0);
    // A file the file table lacks.
    FcsFileEntry* unknown = makeEntry("/home/mca/other", sample::kUnknown, 1, 0x22);
    EXPECT_TRUE(kelPqsAddNewFileFcs(table, unknown, false));
    EXPECT_EQ(unknown->inTable, 0);
    // No record holds more than 65523 bytes: never cut to fit.
    FcsFileEntry* huge = makeEntry("/home/mca/gamma", sample::kGamma, 65524, 0x33);
    EXPECT_TRUE(kelPqsAddNewFileFcs(table, huge, false));
    EXPECT_EQ(huge->inTable, 0);
    EXPECT_EQ(table.count, 0);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(serialized(table), FcsBuilder().build());

    // The largest value that fits, and a size without a value, which reads as zeros.
    FcsFileEntry* largest = makeEntry("/home/mca/gamma", sample::kGamma, 65523, 0x33);
    FcsFileEntry* noValue = makeEntry("/home/mca/delta", sample::kDelta, 5, -1);
    EXPECT_TRUE(kelPqsAddNewFileFcs(table, largest, false));
    EXPECT_TRUE(kelPqsAddNewFileFcs(table, noValue, false));
    EXPECT_EQ(table.count, 2);
    EXPECT_EQ(serialized(table), FcsBuilder()
                                     .file(sample::kDelta, Bytes(5, 0))
                                     .file(sample::kGamma, Bytes(65523, 0x33))
                                     .build());
    for (FcsFileEntry* e : {tooLong, unknown, huge}) kelPqsFreeFileEntry(e);
    kelPqsFreeFcsTable(table);
}

TEST_F(KelPqsTablesTest, CurrentValuesMergeOverridesOfKnownNamesOnly) {
    ASSERT_TRUE(load(s_tarvoCfgTable, sample::tarvo()));
    ASSERT_TRUE(load(s_zanCfgTable, sample::zan()));
    ASSERT_TRUE(kelPqsGenerateFcsCurrentsTable(s_currentValuesTable, s_zanCfgTable, s_tarvoCfgTable));
    EXPECT_EQ(s_currentValuesTable.fcsFileName, FCS_TABLE_CURRENT_VALUES);
    // tarvo.cfg order, valid defaults only; delta exists only in Zan.cfg.
    EXPECT_EQ(names(s_currentValuesTable),
              (std::vector<std::string>{"/home/cfg/empty", "/home/cfg/hidden", "/home/mca/alpha",
                                        "/home/mca/beta", "/home/mca/beta.x"}));
    const FcsFileEntry* alpha = entry(s_currentValuesTable, "/home/mca/alpha");
    EXPECT_EQ(valueOf(alpha), sample::alphaOverride());
    EXPECT_EQ(alpha->info.header.flags, 0x81);
    EXPECT_NE(alpha->data, entry(s_zanCfgTable, "/home/mca/alpha")->data);  // a deep copy
    // An override that is not valid hides the default; it keeps its size but
    // has no value.
    const FcsFileEntry* hidden = entry(s_currentValuesTable, "/home/cfg/hidden");
    EXPECT_EQ(hidden->valid, 0);
    EXPECT_EQ(hidden->data, nullptr);
    EXPECT_EQ(hidden->dataSize, 3u);
    EXPECT_EQ(valueOf(entry(s_currentValuesTable, "/home/mca/beta")), sample::betaValue());
    EXPECT_TRUE(reports().empty());

    // Generating again replaces the table rather than adding to it.
    ASSERT_TRUE(kelPqsGenerateFcsCurrentsTable(s_currentValuesTable, s_zanCfgTable, s_tarvoCfgTable));
    EXPECT_EQ(s_currentValuesTable.count, 5);
}

TEST_F(KelPqsTablesTest, SerialisedTableListsRecordsByNameWithTrailingSlash) {
    ASSERT_TRUE(load(s_tarvoCfgTable, sample::tarvo()));
    ASSERT_TRUE(load(s_zanCfgTable, sample::zan()));
    ASSERT_TRUE(kelPqsGenerateFcsCurrentsTable(s_currentValuesTable, s_zanCfgTable, s_tarvoCfgTable));
    FcsTable built = newTable();
    for (const FcsFileEntry* e = s_currentValuesTable.head; e != nullptr; e = e->next) {
        if (e->valid == 0) continue;
        FcsFileEntry* copy = copyFileEntry(e);
        ASSERT_TRUE(kelPqsAddNewFileFcs(built, copy, true));
        ASSERT_EQ(copy->inTable, 1);
    }
    // "beta.x/" sorts before "beta/" although "beta" sorts before "beta.x".
    EXPECT_EQ(serialized(built), sample::builtZan());
    kelPqsFreeFcsTable(built);

    // A table without a tree cannot be flushed.
    FcsTable noTree = kelPqsEmptyTable(FCS_TABLE_ZAN_CFG);
    EXPECT_FALSE(kelPqsSerializeFcsTable(noTree));
    const std::vector<Report> expectedReports = {error(335, " Library status code: 6")};
    EXPECT_EQ(reports(), expectedReports);
}

TEST_F(KelPqsTablesTest, CopiesAreDeepAndUnlinked) {
    EXPECT_EQ(copyFileEntry(nullptr), nullptr);
    ASSERT_TRUE(load(s_tarvoCfgTable, sample::tarvo()));
    const FcsFileEntry* alpha = entry(s_tarvoCfgTable, "/home/mca/alpha");
    FcsFileEntry* copy = copyFileEntry(alpha);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->inTable, 0);
    EXPECT_EQ(copy->prev, nullptr);
    EXPECT_EQ(copy->next, nullptr);
    EXPECT_NE(copy->data, alpha->data);
    EXPECT_EQ(valueOf(copy), sample::alphaDefault());
    EXPECT_STREQ(copy->name, alpha->name);
    EXPECT_EQ(std::memcmp(&copy->info, &alpha->info, sizeof alpha->info), 0);
    kelPqsFreeFileEntry(copy);
    kelPqsFreeFileEntry(nullptr);
}

}  // namespace
