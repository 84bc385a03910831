// The API's configuration tables: lists of NVAR entries, each table paired
// with the FCS tree that holds the same files as records.
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/kelpqs_internal.h"
#include "common/le_bytes.h"
#include "dorv/file_table.h"
#include "fcs/file_table_internal.h"

namespace {

constexpr uint32_t kHeaderSize = sizeof(_cfg_file_entry_t);

// Bytes an entry name must share with `name` to equal it over at most 255
// bytes: the name and its terminator, or its first 255 bytes.
std::size_t compareLength(const char* name) {
    const std::size_t length = strnlen(name, kNvarPathSize);
    return length < kNvarPathSize ? length + 1 : length;
}

// Equal names over at most 255 bytes, for a name whose compareLength is n;
// the ends of the names are compared first (most names of a table differ
// there).
bool sameName(const char* entryName, const char* name, std::size_t n) {
    return dorv::fcs::same_bytes_tail_first(entryName, name, n);
}

void appendEntry(FcsTable& table, FcsFileEntry* entry) {
    table.ascending = table.tail == nullptr ||
                      (table.ascending && std::strncmp(table.tail->name, entry->name, kNvarPathSize) < 0);
    entry->inTable = 1;
    entry->prev = table.tail;
    entry->next = nullptr;
    if (table.tail != nullptr) {
        table.tail->next = entry;
    } else {
        table.head = entry;
    }
    table.tail = entry;
    table.count += 1;
}

FcsFileEntry* findByName(const FcsTable& table, const char* name) {
    const std::size_t n = compareLength(name);
    for (FcsFileEntry* entry = table.head; entry != nullptr; entry = entry->next) {
        if (sameName(entry->name, name, n)) {
            return entry;
        }
    }
    return nullptr;
}

const FcsTable* tableFor(FcsFileName selector) {
    switch (selector) {
        case FCS_TABLE_TARVO_CFG:
            return &s_tarvoCfgTable;
        case FCS_TABLE_ZAN_CFG:
            return &s_zanCfgTable;
        case FCS_TABLE_CURRENT_VALUES:
            return &s_currentValuesTable;
        default:
            return nullptr;
    }
}

void writeRecordHeader(uint8_t* out, const _cfg_file_entry_t& header) {
    dorv::le::store32(out + 0, header.file_number);
    dorv::le::store32(out + 4, header.data_offset);
    dorv::le::store16(out + 8, header.data_length);
    dorv::le::store8(out + 10, header.flags);
    dorv::le::store8(out + 11, header.reserved);
}

// The summary of a failed table load: the entry in hand goes, key 327.
bool failLoad(FcsFileEntry* entry) {
    kelPqsFreeFileEntry(entry);
    kelPqsReportError(kelkey::kFcsEntries);
    return false;
}

// Fills a loaded entry's value from its record in the table's tree.
bool loadEntryData(const FcsTable& table, FcsFileEntry* entry) {
    const uint32_t length = entry->info.header.data_length;
    const uint32_t recordSize = length + kHeaderSize;
    auto* record = static_cast<uint8_t*>(std::calloc(recordSize, 1));
    entry->data = static_cast<uint8_t*>(std::calloc(length, 1));
    if (record == nullptr || entry->data == nullptr) {
        std::free(record);
        kelPqsReportError(kelkey::kOutOfMemory);
        return false;
    }
    uint32_t fetched = recordSize;
    const fcs_status_t code = getFileData(table.handle, entry->name, record, &fetched);
    if (code != FCS_OK) {
        std::free(record);
        setLibError(kelkey::kGetFile, code);
        return false;
    }
    const int copied = kelPqsMemCpy(entry->data, length, record + kHeaderSize, length);
    std::free(record);
    return copied == 0;
}

}  // namespace

void kelPqsFreeFileEntry(FcsFileEntry* entry) {
    if (entry == nullptr) {
        return;
    }
    std::free(entry->data);
    std::free(entry);
}

void kelPqsFreeFcsTable(FcsTable& table) {
    if (table.handle != nullptr) {
        closeHandle(&table.handle);
        table.handle = nullptr;
    }
    if (table.fcsBuffer != nullptr) {
        std::free(table.fcsBuffer);
        table.fcsBuffer = nullptr;
        table.fcsBufferSize = 0;
    }
    FcsFileEntry* entry = table.head;
    while (entry != nullptr) {
        FcsFileEntry* next = entry->next;
        kelPqsFreeFileEntry(entry);
        entry = next;
    }
    table.head = nullptr;
    table.tail = nullptr;
    table.count = 0;
    table.ascending = true;
}

FcsFileEntry* copyFileEntry(const FcsFileEntry* src) {
    if (src == nullptr) {
        return nullptr;
    }
    auto* copy = static_cast<FcsFileEntry*>(std::malloc(sizeof(FcsFileEntry)));
    if (copy == nullptr) {
        kelPqsReportError(kelkey::kOutOfMemory);
        return nullptr;
    }
    *copy = *src;
    copy->data = nullptr;
    copy->inTable = 0;
    copy->prev = nullptr;
    copy->next = nullptr;
    if (src->data != nullptr && src->dataSize != 0) {
        copy->data = static_cast<uint8_t*>(std::malloc(src->dataSize));
        if (copy->data == nullptr) {
            kelPqsReportError(kelkey::kOutOfMemory);
            std::free(copy);
            return nullptr;
        }
        if (kelPqsMemCpy(copy->data, src->dataSize, src->data, src->dataSize) != 0) {
            kelPqsFreeFileEntry(copy);
            return nullptr;
        }
    }
    return copy;
}

bool kelPqsAddNewFileFcs(FcsTable& table, FcsFileEntry* entry, bool checkSize) {
    if (table.handle == nullptr || entry == nullptr) {
        kelPqsAssert("Invalid FCS handle or fileEntry pointer");
        return false;
    }
    if (entry->inTable != 0) {
        kelPqsReportError(kelkey::kEntryInOtherTable);
        return false;
    }
    const bool afterTail =
        table.tail == nullptr ||
        (table.ascending && std::strncmp(table.tail->name, entry->name, kNvarPathSize) < 0);
    if (!afterTail && findByName(table, entry->name) != nullptr) {
        kelPqsReportError(kelkey::kDuplicateLabel);
        return false;
    }
    // A value that no record can hold is refused the way the tree refuses a
    // record: left unlinked, without a report. Cutting its length to 16 bits
    // would put a truncated value into the table.
    if (entry->dataSize > kMaxRecordPayload) {
        return true;
    }
    const uint32_t recordSize = entry->dataSize + kHeaderSize;
    // Zero-filled, so an entry with a size but no value gives zero bytes.
    auto* record = static_cast<uint8_t*>(std::calloc(recordSize, 1));
    if (record == nullptr) {
        kelPqsReportError(kelkey::kOutOfMemory);
        return false;
    }
    writeRecordHeader(record, entry->info.header);
    if (entry->data != nullptr &&
        kelPqsMemCpy(record + kHeaderSize, entry->dataSize, entry->data, entry->dataSize) != 0) {
        std::free(record);
        return false;
    }
    fcs_status_t code;
    try {
        // Every name goes into the tree with a trailing slash.
        std::string name(entry->name, strnlen(entry->name, kNvarPathSize));
        name += '/';
        code = addNewFile(table.handle, "", name.c_str(), record,
                          static_cast<uint16_t>(recordSize), checkSize);
    } catch (...) {
        std::free(record);
        kelPqsReportError(kelkey::kOutOfMemory);
        return false;
    }
    std::free(record);
    if (code == FCS_OUT_OF_MEMORY) {
        kelPqsReportError(kelkey::kOutOfMemory);
        return false;
    }
    if (code != FCS_OK) {
        return true;  // the tree refused the record: the entry stays unlinked
    }
    appendEntry(table, entry);
    return true;
}

bool kelPqsAddFileCopy(FcsTable& table, const FcsFileEntry* entry, bool checkSize) {
    FcsFileEntry* copy = copyFileEntry(entry);
    if (copy == nullptr) {
        return false;
    }
    if (!kelPqsAddNewFileFcs(table, copy, checkSize)) {
        kelPqsFreeFileEntry(copy);
        return false;
    }
    if (copy->inTable == 0) {
        kelPqsFreeFileEntry(copy);  // the tree refused the record
    }
    return true;
}

FcsFileEntry* kelPqsFindFileEntryInTable(FcsFileName selector, const char* path) {
    if (path == nullptr) {
        kelPqsLogMessage(ERROR_LEVEL_ERROR, kelkey::kCorruptedBuffer, "Invalid NVAR path");
        return nullptr;
    }
    const FcsTable* table = tableFor(selector);
    if (table == nullptr) {
        kelPqsReportError(kelkey::kInvalidFcsFile);
        return nullptr;
    }
    static constexpr char kHome[] = "/home/";
    std::string prefixed;
    const char* key = path;
    if (std::strncmp(path, kHome, sizeof kHome - 1) != 0) {
        prefixed = kHome;
        prefixed += path;
        key = prefixed.c_str();
    }
    if (!s_fcsInitialized || table->count == 0) {
        return nullptr;
    }
    return findByName(*table, key);
}

bool kelPqsLoadFcsTableFiles(FcsTable& table, bool loadData) {
    if (s_dorvLoadFileTable) {
        const int code = load_file_table(s_fileTableBuffer.data(), s_dorvAfsSkuId,
                                         static_cast<uint32_t>(s_fileTableBuffer.size()));
        if (code != 0) {
            setLibError(kelkey::kFtblLoad, code);
            return false;
        }
        s_dorvLoadFileTable = false;
    }
    const fcs_status_t created =
        createHandleFromStructure(&table.handle, table.fcsBuffer, table.fcsBufferSize);
    if (created != FCS_OK) {
        setLibError(kelkey::kCreateHandle, created);
        return false;
    }
    for (;;) {
        auto* entry = static_cast<FcsFileEntry*>(std::calloc(1, sizeof(FcsFileEntry)));
        if (entry == nullptr) {
            kelPqsReportError(kelkey::kInvalidDataPointer);
            return failLoad(nullptr);
        }
        fcs_status_t code;
        if (table.head == nullptr) {
            table.count = 0;
            code = getFirstFileInRoot(table.handle, entry->name);
        } else {
            code = getNextFile(table.handle, entry->name);
        }
        if (code == FCS_NO_MORE_FILES) {
            kelPqsFreeFileEntry(entry);
            return true;
        }
        if (code != FCS_OK) {
            setLibError(kelkey::kGetFile, code);
            return failLoad(entry);
        }
        code = getFileAttributes(table.handle, entry->name, &entry->info);
        if (code != FCS_OK) {
            kelPqsFreeFcsTable(table);
            setLibError(kelkey::kGetAttributes, code);
            return failLoad(entry);
        }
        entry->dataSize = entry->info.header.data_length;
        entry->valid = (entry->info.header.flags & CFG_ENTRY_VALID) != 0 ? 1 : 0;
        if (entry->valid != 0 && loadData && entry->dataSize != 0 &&
            !loadEntryData(table, entry)) {
            return failLoad(entry);
        }
        appendEntry(table, entry);
    }
}

bool kelPqsGenerateFcsCurrentsTable(FcsTable& current, const FcsTable& zan, const FcsTable& tarvo) {
    kelPqsFreeFcsTable(current);
    current = kelPqsEmptyTable(FCS_TABLE_CURRENT_VALUES);
    const fcs_status_t code = createHandle(&current.handle);
    if (code != FCS_OK) {
        setLibError(kelkey::kCreateHandle, code);
        kelPqsReportError(kelkey::kCurrentCreate);
        return false;
    }
    // A Zan.cfg list in ascending name order holds each name once, and mostly
    // in the order of the tarvo.cfg list: the entry after the last override
    // found is tried first, which finds the same entry as a walk from the head.
    const FcsFileEntry* next = zan.head;
    for (const FcsFileEntry* entry = tarvo.head; entry != nullptr; entry = entry->next) {
        if (entry->valid == 0) {
            continue;
        }
        // An override applies whatever its own valid flag says.
        const FcsFileEntry* source =
            zan.ascending && next != nullptr && sameName(next->name, entry->name, compareLength(entry->name))
                ? next
                : findByName(zan, entry->name);
        if (source != nullptr) next = source->next;
        if (!kelPqsAddFileCopy(current, source != nullptr ? source : entry, false)) {
            // Out of memory. A table that goes on without this value would
            // serve the default in place of the override, or nothing, as if
            // all were well: no table is kept.
            kelPqsFreeFcsTable(current);
            kelPqsReportError(kelkey::kCurrentCreate);
            return false;
        }
    }
    return true;
}

bool kelPqsSerializeFcsTable(FcsTable& table) {
    table.fcsBufferSize = 0;
    fcs_status_t code = flush(table.handle, reinterpret_cast<uint32_t*>(table.fcsBuffer),
                              &table.fcsBufferSize);
    if (code != FCS_BUFFER_TOO_SMALL) {
        setLibError(kelkey::kFlush, code);
        return false;
    }
    std::free(table.fcsBuffer);
    table.fcsBuffer = static_cast<uint8_t*>(std::calloc(table.fcsBufferSize, 1));
    if (table.fcsBuffer == nullptr) {
        table.fcsBufferSize = 0;
        kelPqsReportError(kelkey::kOutOfMemory);
        return false;
    }
    code = flush(table.handle, reinterpret_cast<uint32_t*>(table.fcsBuffer), &table.fcsBufferSize);
    if (code != FCS_OK) {
        setLibError(kelkey::kFlush, code);
        return false;
    }
    return true;
}
