// The library-wide state of the API, all in one place.
#include "api/kelpqs_internal.h"
#include "dorv/file_table.h"

DorvStatusCallback s_dorvStatusCallback = nullptr;
FcsTable s_tarvoCfgTable = kelPqsEmptyTable(FCS_TABLE_NONE);
FcsTable s_zanCfgTable = kelPqsEmptyTable(FCS_TABLE_NONE);
FcsTable s_currentValuesTable = kelPqsEmptyTable(FCS_TABLE_NONE);
FcsTable s_builtZanCfgTable = kelPqsEmptyTable(FCS_TABLE_NONE);
std::vector<uint8_t> s_fileTableBuffer;
bool s_dorvLoadFileTable = false;
uint32_t s_dorvAfsSkuId = 0;
bool s_fcsInitialized = false;
bool s_pqsInitialized = false;

void kelPqsFreeAllTables() {
    for (FcsTable* table :
         {&s_builtZanCfgTable, &s_zanCfgTable, &s_tarvoCfgTable, &s_currentValuesTable}) {
        kelPqsFreeFcsTable(*table);
    }
    s_fcsInitialized = false;
    if (s_pqsInitialized) {
        kelPqsReleasePqsImage();
    }
}

void kelPqsReleaseBuilt() {
    kelPqsFreeAllTables();
    kelPqsReleaseEfsImage();
    // A file table selected from the library's copy of ftbl.bin must not
    // outlive that copy.
    const auto selected = reinterpret_cast<uintptr_t>(g_table_buf);
    const auto first = reinterpret_cast<uintptr_t>(s_fileTableBuffer.data());
    if (g_table_buf != nullptr && !s_fileTableBuffer.empty() && selected >= first &&
        selected - first <= s_fileTableBuffer.size()) {
        g_table_buf = nullptr;
        g_table_num_files = 0;
    }
}

void kelPqsResetState() {
    kelPqsReleaseBuilt();
    for (FcsTable* table :
         {&s_builtZanCfgTable, &s_zanCfgTable, &s_tarvoCfgTable, &s_currentValuesTable}) {
        *table = kelPqsEmptyTable(FCS_TABLE_NONE);
    }
    std::vector<uint8_t>().swap(s_fileTableBuffer);
    s_dorvLoadFileTable = false;
    s_dorvAfsSkuId = 0;
    s_dorvStatusCallback = nullptr;
}
