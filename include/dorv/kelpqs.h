// The library API that the image tool calls: start-up from a record of input
// buffers, access to configuration values (NVARs) by path, and termination,
// which builds a new Zan.cfg table. Every failure is answered with false and
// reported through the status callback (a null callback reports nothing).
// Answers that are no failure carry no report: kelpqsCheckNvarExists for an
// NVAR the table does not hold, kelPqsGetBuildZanCfgFcsBuffer while there is
// no Zan.cfg buffer, and the state queries (kelPqsIsInitialized,
// kelFcsIsInitialized, kelPqsIsVfsDeployed, kelPqsGetEfsSize). A C++ header:
// the functions have plain C names, but the callback's key type and
// kelPqsIsVfsDeployed are C++.
#ifndef DORV_KELPQS_H
#define DORV_KELPQS_H

#include <stddef.h>
#include <stdint.h>

#include "dorv/export.h"
#include "dorv/zanerrors.h"

// Severity handed to the status callback.
enum ErrorLevel : int32_t {
    ERROR_LEVEL_WARNING = 2,  // a notice; the operation goes on
    ERROR_LEVEL_ERROR = 4,    // every failure
};

// Selects one of the library's configuration tables.
enum FcsFileName : uint32_t {
    FCS_TABLE_TARVO_CFG = 0x10000006u,       // defaults (tarvo.cfg)
    FCS_TABLE_ZAN_CFG = 0x10000007u,         // overrides (Zan.cfg)
    FCS_TABLE_CURRENT_VALUES = 0x10000008u,  // what the caller reads and resizes
    FCS_TABLE_NONE = 0x10000009u,
};

// Called once per report. Both strings are valid only during the call.
typedef void (*DorvStatusCallback)(ErrorLevel level, ImageToolsErrorName key, const char* keyText,
                                   const char* message);

#pragma pack(push, 1)
// One input buffer; a length of 0 means "not given".
typedef struct _commonDorvTable {
    uint8_t* data;
    uint32_t length;
} _commonDorvTable;

// The start-up record. The library copies tarvoCfg, the Zan.cfg table inside
// omblCfg and ftblBin; the two images are used in place.
typedef struct DorvInitTables {
    _commonDorvTable tarvoCfg;  // mandatory: the defaults, an FCS buffer
    _commonDorvTable omblCfg;   // optional: ombl.cfg partition holding the Zan.cfg table
    _commonDorvTable pqsImage;  // optional: engine file system image
    _commonDorvTable ftblBin;   // mandatory: the file table
    uint32_t skuId;             // SKU whose file table is selected
    _commonDorvTable efsImage;  // optional: EFS image
} DorvInitTables;

// Head of the ombl.cfg input (little-endian); the Zan.cfg FCS buffer of
// tableSize bytes follows it at offset 16.
typedef struct OmblPartitionHeader {
    uint8_t unused0[8];
    uint32_t tableSize;
    uint8_t unused12[4];
} OmblPartitionHeader;
#pragma pack(pop)

static_assert(sizeof(OmblPartitionHeader) == 16, "ombl.cfg head is 16 bytes");
static_assert(offsetof(OmblPartitionHeader, tableSize) == 8, "table size at offset 8");
static_assert(sizeof(_commonDorvTable) == sizeof(void*) + 4, "pointer and length, packed");
static_assert(sizeof(void*) != 8 || sizeof(DorvInitTables) == 64,
              "the start-up record is 64 bytes in 64-bit builds");
static_assert(sizeof(void*) != 4 || sizeof(DorvInitTables) == 44,
              "the start-up record is 44 bytes in 32-bit builds");
static_assert(sizeof(void*) != 8 ||
                  (offsetof(DorvInitTables, omblCfg) == 12 &&
                   offsetof(DorvInitTables, pqsImage) == 24 &&
                   offsetof(DorvInitTables, ftblBin) == 36 &&
                   offsetof(DorvInitTables, skuId) == 48 &&
                   offsetof(DorvInitTables, efsImage) == 52),
              "field offsets of the 64-bit start-up record");

DORV_C_BEGIN

// Starts (or restarts) the library: copies and loads the tables, merges the
// overrides into the current values. A null callback makes the library silent.
DORV_API bool kelPqsDorvInit(const DorvInitTables* tables, DorvStatusCallback callback);

// Hands out the value of an NVAR of the selected table; a path without the
// leading "/home/" gets it. *data points into the library's own buffer (null
// for an empty value): valid until the NVAR is resized or the tables are
// rebuilt or freed. writable and maxSize may be null. *writable is false for
// a file with a trailer while the values are deployed (such a file is never
// written back), else true; it is advice only: nothing refuses a resize or a
// change of such a value. *maxSize is the file table's maximum data size.
DORV_API bool kelPqsNvarGet(const char* path, void** data, uint32_t* size, FcsFileName table,
                            bool* writable, uint32_t* maxSize);

// Resizes a current value and sets *data to its buffer, which may have
// moved: every pointer handed out for this NVAR before is then invalid. The
// bytes kept read as before, bytes it adds read as zero; size 0 frees the
// value (*data null). On failure the value and *data stay as they were. The
// file's maximum data size is not checked: a larger value is served until
// termination, which leaves it out of the new Zan.cfg table without a report
// and does not write it back; after kelPqsNvarTerm(true) the current value is
// then the tarvo.cfg one (which the next termination writes back while values
// are deployed).
DORV_API bool kelPqsNvarResize(const char* path, void** data, uint32_t newSize);

// True when the selected table holds an entry of that path, valid or not; a
// path the table lacks, and any path while the tables are not built, answer
// false without a report (a null path or an unknown table is reported).
DORV_API bool kelpqsCheckNvarExists(const char* path, FcsFileName table);

// The Zan.cfg FCS buffer, the library's own: after start-up a copy of the one
// in ombl.cfg, after kelPqsNvarTerm(true) the newly built one. It is freed by
// the next kelPqsNvarTerm, a failed one too, or kelPqsDorvInit (one refused on
// its arguments or the state keeps it). False without a report while there is
// none: before any start-up, after one without ombl.cfg until a kept
// termination, and after kelPqsNvarTerm(false).
DORV_API bool kelPqsGetBuildZanCfgFcsBuffer(void** buffer, uint32_t* size);

// 0, 1, 2 select the tarvo.cfg, Zan.cfg and current-values tables; any other
// index is reported and gives the current-values table.
DORV_API FcsFileName kelPqsGetFcsFileNameMapping(unsigned index);

// True while the engine file system image is mounted.
DORV_API bool kelPqsIsInitialized(void);
// True while the configuration tables are built.
DORV_API bool kelFcsIsInitialized(void);

// Size in bytes of the EFS image that the loaded layout needs.
DORV_API uint32_t kelPqsGetEfsSize(void);

// Builds the new Zan.cfg table from every valid current value; one longer
// than its file's maximum data size (or than a record can carry) is left out
// without a report. While values are deployed it then writes each value of
// that table back to flash, changed or not, except those of files with a
// trailer; an empty value over an empty file is skipped, and a file missing
// on flash fails the termination. keep true leaves the library running on the
// new table (kelPqsGetBuildZanCfgFcsBuffer hands it out; the current values
// are rebuilt from tarvo.cfg and it); keep false releases every table, the
// new one too. Before any start-up, or after a released one, it answers false
// (reported) and changes nothing; any other failure releases everything,
// except that a kept termination which cannot rebuild the current values
// keeps the new Zan.cfg buffer and refuses access until the next start-up.
DORV_API bool kelPqsNvarTerm(bool keep);

DORV_C_END

// True when the PQS image is mounted and holds a non-empty
// "/home/mca/deploy": configuration values are then deployed on flash, read
// at start-up and written back at termination.
DORV_API bool kelPqsIsVfsDeployed();

#endif
