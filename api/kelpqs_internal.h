// Internals of the library API: status reporting, the configuration tables
// and the library-wide state. Nothing here is exported.
#ifndef DORV_API_KELPQS_INTERNAL_H
#define DORV_API_KELPQS_INTERNAL_H

#include <cstdint>
#include <vector>

#include "dorv/cfg_types.h"
#include "dorv/fcs.h"
#include "dorv/kelpqs.h"

// Length of an entry's path field, terminator included.
constexpr std::size_t kNvarPathSize = 255;

// Largest value a file record can carry: the record length is 16-bit and
// includes the 12-byte header.
constexpr uint32_t kMaxRecordPayload = 0xFFFFu - sizeof(_cfg_file_entry_t);

// Catalogue keys the API reports under.
namespace kelkey {
constexpr ImageToolsErrorName kNone = static_cast<ImageToolsErrorName>(0);
constexpr ImageToolsErrorName kInitialize = static_cast<ImageToolsErrorName>(1);
constexpr ImageToolsErrorName kFileNotFound = static_cast<ImageToolsErrorName>(38);
constexpr ImageToolsErrorName kFileWrite = static_cast<ImageToolsErrorName>(101);
constexpr ImageToolsErrorName kBufferParsing = static_cast<ImageToolsErrorName>(115);
constexpr ImageToolsErrorName kInvalidDataPointer = static_cast<ImageToolsErrorName>(322);
constexpr ImageToolsErrorName kOutOfMemory = static_cast<ImageToolsErrorName>(323);
constexpr ImageToolsErrorName kFcsNotInitialized = static_cast<ImageToolsErrorName>(326);
constexpr ImageToolsErrorName kFcsEntries = static_cast<ImageToolsErrorName>(327);
constexpr ImageToolsErrorName kDuplicateLabel = static_cast<ImageToolsErrorName>(328);
constexpr ImageToolsErrorName kEntryInOtherTable = static_cast<ImageToolsErrorName>(329);
constexpr ImageToolsErrorName kCreateHandle = static_cast<ImageToolsErrorName>(330);
constexpr ImageToolsErrorName kGetFile = static_cast<ImageToolsErrorName>(331);
constexpr ImageToolsErrorName kGetAttributes = static_cast<ImageToolsErrorName>(332);
constexpr ImageToolsErrorName kFlush = static_cast<ImageToolsErrorName>(335);
constexpr ImageToolsErrorName kInvalidFcsFile = static_cast<ImageToolsErrorName>(336);
constexpr ImageToolsErrorName kPqsFileSize = static_cast<ImageToolsErrorName>(338);
constexpr ImageToolsErrorName kPqsInit = static_cast<ImageToolsErrorName>(341);
constexpr ImageToolsErrorName kEfsInit = static_cast<ImageToolsErrorName>(342);
constexpr ImageToolsErrorName kTarvoLoad = static_cast<ImageToolsErrorName>(343);
constexpr ImageToolsErrorName kCurrentCreate = static_cast<ImageToolsErrorName>(345);
constexpr ImageToolsErrorName kCurrentGenerate = static_cast<ImageToolsErrorName>(346);
constexpr ImageToolsErrorName kZanCreate = static_cast<ImageToolsErrorName>(347);
constexpr ImageToolsErrorName kNvarAccess = static_cast<ImageToolsErrorName>(348);
constexpr ImageToolsErrorName kCorruptedBuffer = static_cast<ImageToolsErrorName>(400);
constexpr ImageToolsErrorName kFtblLoad = static_cast<ImageToolsErrorName>(403);
}  // namespace kelkey

// One NVAR of a table.
struct FcsFileEntry {
    fcs_file_info_t info;        // record header, attributes and size limit
    uint8_t* data;               // the value, owned; null when there is none
    uint8_t valid;               // the record's valid flag was set
    char name[kNvarPathSize];    // NUL-terminated path as the FCS tree names it
    uint32_t dataSize;           // follows every resize
    uint8_t inTable;             // linked into a table
    FcsFileEntry* prev;
    FcsFileEntry* next;
};

// One configuration table: an FCS tree and the list of its NVARs.
struct FcsTable {
    fcs_handle_t* handle;
    uint32_t fcsFileName;  // informational only
    int32_t count;
    uint8_t* fcsBuffer;    // owned
    uint32_t fcsBufferSize;
    FcsFileEntry* head;
    FcsFileEntry* tail;
    // Bookkeeping of the list: every name sorts after the one before it, so a
    // name that sorts after the tail's is not in the list yet. Lets the
    // duplicate test of an add skip its walk when entries come in order.
    bool ascending;
};

// ---- Library-wide state (defined together in kelpqs_state.cpp) ----
extern DorvStatusCallback s_dorvStatusCallback;
extern FcsTable s_tarvoCfgTable;
extern FcsTable s_zanCfgTable;
extern FcsTable s_currentValuesTable;
extern FcsTable s_builtZanCfgTable;
extern std::vector<uint8_t> s_fileTableBuffer;  // the library's copy of ftbl.bin
extern bool s_dorvLoadFileTable;  // select the file table before the next table load
extern uint32_t s_dorvAfsSkuId;
extern bool s_fcsInitialized;  // the tables are built
extern bool s_pqsInitialized;  // the engine file system image is mounted

// A table with no handle, no buffer and no entries, recording `name`.
constexpr FcsTable kelPqsEmptyTable(uint32_t name) {
    return FcsTable{nullptr, name, 0, nullptr, 0, nullptr, nullptr, true};
}
// Frees all four tables and releases the engine file system image: the
// library is no longer initialised.
void kelPqsFreeAllTables();
// kelPqsFreeAllTables, then drops a file-table selection that points into
// the library's copy of ftbl.bin.
void kelPqsReleaseBuilt();
// kelPqsReleaseBuilt, then frees the ftbl.bin copy and clears the remaining
// statics and the callback: the state at load.
void kelPqsResetState();

// ---- Status reporting ----
void kelPqsLogMessage(ErrorLevel level, ImageToolsErrorName key, const char* message);
void kelPqsAssert(const char* message);
void setLibError(ImageToolsErrorName key, int code);
int kelPqsMemCpy(void* dst, uint64_t dstSize, const void* src, uint64_t count);
// A level-4 report under `key` with an empty message.
void kelPqsReportError(ImageToolsErrorName key);

// ---- Table operations ----
void kelPqsFreeFileEntry(FcsFileEntry* entry);
void kelPqsFreeFcsTable(FcsTable& table);
FcsFileEntry* copyFileEntry(const FcsFileEntry* src);
bool kelPqsAddNewFileFcs(FcsTable& table, FcsFileEntry* entry, bool checkSize);
// Adds a copy of `entry` to `table`. False (after the reports of the copy or
// the add) when either fails; a copy that is not linked, because it failed or
// because the tree refused its record, is released.
bool kelPqsAddFileCopy(FcsTable& table, const FcsFileEntry* entry, bool checkSize);
FcsFileEntry* kelPqsFindFileEntryInTable(FcsFileName selector, const char* path);
bool kelPqsLoadFcsTableFiles(FcsTable& table, bool loadData);
bool kelPqsGenerateFcsCurrentsTable(FcsTable& current, const FcsTable& zan, const FcsTable& tarvo);
bool kelPqsSerializeFcsTable(FcsTable& table);

// Resizes the value of a current-values entry (found by the caller) as
// kelPqsNvarResize does: 348 for an entry without a valid value, 323 when the
// buffer cannot grow.
bool kelPqsResizeEntry(FcsFileEntry& entry, void** data, uint32_t newSize);

// ---- Deployed values on flash ----
// Clears the mounted flag and tells DFS that the image is no longer used.
void kelPqsReleasePqsImage();
// Start-up: mounts the PQS image (when given) and then the EFS image (when
// given). False after the reports; the PQS image is then released.
bool kelPqsMountImages(const _commonDorvTable& pqsImage, const _commonDorvTable& efsImage);
// Start-up: when values are deployed, reads each tarvo.cfg file from flash
// into its current value. False after the reports (key 341 last); the PQS
// image is then released.
bool kelPqsReadDeployedValues();
// Termination: writes the values of `built` back to flash. False after the
// detail report; the caller tears down.
bool kelPqsWriteBackValues(const FcsTable& built);
// A restart: the EFS an earlier start-up mounted is let go, so that nothing
// reaches a caller's image that may no longer exist.
void kelPqsReleaseEfsImage();

#endif
