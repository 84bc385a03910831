// The exported library API: start-up, NVAR access and termination.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/kelpqs_internal.h"
#include "common/le_bytes.h"

namespace {

constexpr uint32_t kOmblHeaderSize = sizeof(OmblPartitionHeader);
constexpr uint32_t kOmblTableSizeOffset = offsetof(OmblPartitionHeader, tableSize);

// Runs the body of an exported function: no exception leaves the library, and
// an allocation failure anywhere below reports key 323 and answers false.
template <typename Body>
bool guarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        kelPqsReportError(kelkey::kOutOfMemory);
        return false;
    }
}

// A buffer with a length but no bytes is refused; anything else passes here.
bool verifyTarvoTable(const char* name, const _commonDorvTable& table) {
    if (table.length != 0 && table.data == nullptr) {
        const std::string message =
            std::string("Invalid table ") + name + ". The table is loaded but data is empty.";
        kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kPqsInit, message.c_str());
        return false;
    }
    return true;
}

std::vector<uint8_t> copyOf(const _commonDorvTable& input) {
    if (input.length == 0) return {};
    return std::vector<uint8_t>(input.data, input.data + input.length);
}

_commonDorvTable viewOf(const std::vector<uint8_t>& bytes) {
    return _commonDorvTable{const_cast<uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size())};
}

// Gives a cleared table an FCS buffer holding a copy of `length` bytes.
bool copyIntoTable(FcsTable& table, const uint8_t* source, uint32_t length) {
    // At least one byte, so that an empty input reaches the FCS layer and is
    // refused there rather than looking like a failed allocation.
    table.fcsBuffer = static_cast<uint8_t*>(std::malloc(length != 0 ? length : 1));
    if (table.fcsBuffer == nullptr) {
        kelPqsReportError(kelkey::kOutOfMemory);
        return false;
    }
    table.fcsBufferSize = length;
    return kelPqsMemCpy(table.fcsBuffer, length, source, length) == 0;
}

// Loads a cleared table from a copy of `length` bytes; a table that fails to
// load is freed.
bool loadTableFrom(FcsTable& table, const uint8_t* source, uint32_t length) {
    if (copyIntoTable(table, source, length) && kelPqsLoadFcsTableFiles(table, true)) {
        return true;
    }
    kelPqsFreeFcsTable(table);
    return false;
}

bool loadTarvoTable(const _commonDorvTable& input) {
    s_tarvoCfgTable = kelPqsEmptyTable(0);
    return loadTableFrom(s_tarvoCfgTable, input.data, input.length);
}

bool loadZanTable(const _commonDorvTable& ombl) {
    if (ombl.length == 0) {
        // No overrides: an empty tree.
        s_zanCfgTable = kelPqsEmptyTable(FCS_TABLE_ZAN_CFG);
        const fcs_status_t code = createHandle(&s_zanCfgTable.handle);
        if (code != FCS_OK) {
            setLibError(kelkey::kCreateHandle, code);
            return false;
        }
        return true;
    }
    s_zanCfgTable = kelPqsEmptyTable(0);
    if (ombl.length < kOmblHeaderSize) {
        kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kBufferParsing, "Invalid OMBL partition length");
        return false;
    }
    const uint32_t tableSize = dorv::le::load32(ombl.data + kOmblTableSizeOffset);
    if (tableSize > ombl.length - kOmblHeaderSize) {
        kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kPqsInit, "Invalid OMBL partition size.");
        return false;
    }
    return loadTableFrom(s_zanCfgTable, ombl.data + kOmblHeaderSize, tableSize);
}

// The storage steps of start-up: a record without either image has none.
bool runStorageSteps(const DorvInitTables& tables) {
    if (tables.pqsImage.length == 0 && tables.efsImage.length == 0) return true;
    return kelPqsMountImages(tables.pqsImage, tables.efsImage) && kelPqsReadDeployedValues();
}

// The failure path of termination: everything goes, then key 347.
bool tearDown() {
    kelPqsFreeAllTables();
    kelPqsReportError(kelkey::kZanCreate);
    return false;
}

bool buildZanTable() {
    kelPqsFreeFcsTable(s_builtZanCfgTable);
    s_builtZanCfgTable = kelPqsEmptyTable(FCS_TABLE_ZAN_CFG);
    const fcs_status_t code = createHandle(&s_builtZanCfgTable.handle);
    if (code != FCS_OK) {
        setLibError(kelkey::kCreateHandle, code);
        return false;
    }
    for (const FcsFileEntry* entry = s_currentValuesTable.head; entry != nullptr;
         entry = entry->next) {
        // A record the tree refuses (longer than the file may be) is left
        // out of the new table.
        if (entry->valid != 0 && !kelPqsAddFileCopy(s_builtZanCfgTable, entry, true)) {
            return false;
        }
    }
    return true;
}

// After a kept termination the built table becomes the Zan.cfg table; the
// tree it was built in is no longer needed.
void adoptBuiltTable() {
    kelPqsFreeFcsTable(s_currentValuesTable);
    kelPqsFreeFcsTable(s_zanCfgTable);
    fcs_handle_t* builtHandle = s_builtZanCfgTable.handle;
    s_zanCfgTable = s_builtZanCfgTable;
    s_zanCfgTable.handle = nullptr;
    s_builtZanCfgTable = kelPqsEmptyTable(s_builtZanCfgTable.fcsFileName);
    s_builtZanCfgTable.handle = builtHandle;
    kelPqsFreeFcsTable(s_builtZanCfgTable);  // closes the tree
}

}  // namespace

bool kelPqsResizeEntry(FcsFileEntry& entry, void** data, uint32_t newSize) {
    if (entry.valid == 0) {
        kelPqsReportError(kelkey::kNvarAccess);
        return false;
    }
    if (newSize == entry.dataSize) {
        *data = entry.data;
        return true;
    }
    if (newSize == 0) {
        std::free(entry.data);
        entry.data = nullptr;
        entry.dataSize = 0;
        *data = nullptr;
        return true;
    }
    auto* grown = static_cast<uint8_t*>(std::realloc(entry.data, newSize));
    if (grown == nullptr) {
        kelPqsReportError(kelkey::kOutOfMemory);
        return false;
    }
    // Bytes the value gains read as zero, never as old heap contents.
    const uint32_t kept = entry.data != nullptr ? entry.dataSize : 0;
    if (newSize > kept) {
        std::memset(grown + kept, 0, newSize - kept);
    }
    entry.data = grown;
    entry.dataSize = newSize;
    *data = grown;
    return true;
}

DORV_C_BEGIN

bool kelPqsDorvInit(const DorvInitTables* tables, DorvStatusCallback callback) {
    return guarded([&] {
        // The callback first, so that even a failure to fill the catalogue
        // reaches the caller.
        s_dorvStatusCallback = callback;
        ZanErrors::init();
        // No record at all reads as one with nothing in it.
        const DorvInitTables input = tables != nullptr ? *tables : DorvInitTables{};
        if (input.tarvoCfg.length == 0) {
            kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kTarvoLoad,
                             "Tarvo.cfg table is mandatory for loading by DORV.");
            return false;
        }
        if (!verifyTarvoTable("Tarvo.cfg table", input.tarvoCfg) ||
            !verifyTarvoTable("ombl.cfg", input.omblCfg) ||
            !verifyTarvoTable("ftbl.bin", input.ftblBin) ||
            !verifyTarvoTable("PQS", input.pqsImage) || !verifyTarvoTable("EFS", input.efsImage)) {
            return false;
        }
        if (input.ftblBin.length == 0) {
            kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kFtblLoad,
                             "ftbl data must be defined for flat VFS, but not load by DORV.");
            return false;
        }
        // The inputs the library keeps are copied before the previous
        // start-up is released: a host may hand back a buffer that start-up
        // gave out (the Zan.cfg table it built, a value), which the release
        // frees.
        std::vector<uint8_t> ftbl = copyOf(input.ftblBin);
        const std::vector<uint8_t> tarvo = copyOf(input.tarvoCfg);
        const std::vector<uint8_t> ombl = copyOf(input.omblCfg);
        // A restart first releases what the previous start-up built, so that
        // nothing refers to the ftbl.bin copy about to be replaced.
        kelPqsReleaseBuilt();
        s_fileTableBuffer.swap(ftbl);
        s_dorvLoadFileTable = true;
        s_dorvAfsSkuId = input.skuId;

        if (!loadTarvoTable(viewOf(tarvo)) || !loadZanTable(viewOf(ombl))) {
            return false;
        }
        if (!kelPqsGenerateFcsCurrentsTable(s_currentValuesTable, s_zanCfgTable,
                                            s_tarvoCfgTable)) {
            kelPqsReportError(kelkey::kCurrentGenerate);
            return false;
        }
        s_fcsInitialized = true;
        return runStorageSteps(input);
    });
}

bool kelPqsNvarGet(const char* path, void** data, uint32_t* size, FcsFileName table,
                   bool* writable, uint32_t* maxSize) {
    return guarded([&] {
        const char* refusal = path == nullptr   ? "Null NVAR path"
                              : data == nullptr ? "Null data"
                              : size == nullptr ? "Null data size"
                                                : nullptr;
        if (refusal != nullptr) {
            kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kCorruptedBuffer, refusal);
            return false;
        }
        *data = nullptr;
        *size = 0;
        const FcsFileEntry* entry = kelPqsFindFileEntryInTable(table, path);
        if (entry == nullptr) {
            kelPqsReportError(kelkey::kFileNotFound);
            return false;
        }
        if (entry->data == nullptr && entry->dataSize != 0) {
            kelPqsReportError(kelkey::kInvalidDataPointer);
            return false;
        }
        if (entry->valid == 0) {
            kelPqsReportError(kelkey::kNvarAccess);
            return false;
        }
        *data = entry->data;
        *size = entry->dataSize;
        if (writable != nullptr) {
            *writable =
                !(kelPqsIsVfsDeployed() && (entry->info.attributes & FILE_ATTR_HAS_TRAILER) != 0);
        }
        if (maxSize != nullptr) {
            *maxSize = entry->info.max_data_size;
        }
        return true;
    });
}

bool kelPqsNvarResize(const char* path, void** data, uint32_t newSize) {
    return guarded([&] {
        if (path == nullptr || data == nullptr) {
            kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kCorruptedBuffer,
                             path == nullptr ? "Null NVAR path" : "Null New NVAR data");
            return false;
        }
        FcsFileEntry* entry = kelPqsFindFileEntryInTable(FCS_TABLE_CURRENT_VALUES, path);
        if (entry == nullptr) {
            kelPqsReportError(kelkey::kFileNotFound);
            return false;
        }
        return kelPqsResizeEntry(*entry, data, newSize);
    });
}

bool kelpqsCheckNvarExists(const char* path, FcsFileName table) {
    return guarded([&] {
        if (path == nullptr) {
            kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kCorruptedBuffer, "Null NVAR path");
            return false;
        }
        return kelPqsFindFileEntryInTable(table, path) != nullptr;
    });
}

bool kelPqsGetBuildZanCfgFcsBuffer(void** buffer, uint32_t* size) {
    return guarded([&] {
        if (buffer == nullptr || size == nullptr) {
            kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kCorruptedBuffer, "ZAN CFG buffer");
            return false;
        }
        if (s_zanCfgTable.fcsBuffer == nullptr || s_zanCfgTable.fcsBufferSize == 0) {
            return false;
        }
        *buffer = s_zanCfgTable.fcsBuffer;
        *size = s_zanCfgTable.fcsBufferSize;
        return true;
    });
}

FcsFileName kelPqsGetFcsFileNameMapping(unsigned index) {
    static constexpr FcsFileName kMapping[] = {FCS_TABLE_TARVO_CFG, FCS_TABLE_ZAN_CFG,
                                               FCS_TABLE_CURRENT_VALUES};
    if (index < sizeof kMapping / sizeof kMapping[0]) {
        return kMapping[index];
    }
    kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kNone, "Invalid fcsFileNameMap value");
    return FCS_TABLE_CURRENT_VALUES;
}

bool kelPqsIsInitialized(void) { return s_pqsInitialized; }

bool kelFcsIsInitialized(void) { return s_fcsInitialized; }

bool kelPqsNvarTerm(bool keep) {
    return guarded([&] {
        if (!s_fcsInitialized) {
            kelPqsReportError(kelkey::kFcsNotInitialized);
            return false;
        }
        if (!buildZanTable()) return tearDown();
        if (s_pqsInitialized && kelPqsIsVfsDeployed() &&
            !kelPqsWriteBackValues(s_builtZanCfgTable)) {
            return tearDown();
        }
        if (!kelPqsSerializeFcsTable(s_builtZanCfgTable)) return tearDown();
        if (keep) {
            adoptBuiltTable();
            if (!kelPqsGenerateFcsCurrentsTable(s_currentValuesTable, s_zanCfgTable,
                                                s_tarvoCfgTable)) {
                kelPqsReportError(kelkey::kCurrentCreate);
                // Without current values a later termination would build an
                // empty Zan.cfg table in place of the one just built: refuse
                // further access until the next start-up, keeping the new
                // Zan.cfg buffer available to the caller.
                s_fcsInitialized = false;
                return false;
            }
            return true;
        }
        kelPqsFreeAllTables();
        return true;
    });
}

DORV_C_END
