// Deployed values on flash: the PQS and EFS images mounted at start-up, the
// values of files deployed in them read into the current values, and the
// values of the new Zan.cfg table written back at termination.
#include <cstdio>
#include <cstring>

#include "api/kelpqs_internal.h"
#include "dorv/dfs.h"
#include "dorv/efs.h"
#include "efs/efs_internal.h"

namespace {

// The file whose non-empty presence in the PQS image says values are deployed.
constexpr char kDeployMarker[] = "/home/mca/deploy";

constexpr uint32_t kShortTrailer = 40;
constexpr uint32_t kLongTrailer = 56;

// Store bits of a file number: bits 11-12.
constexpr uint32_t kStoreShift = 11;
constexpr uint32_t kStoreMask = 0x3u;

bool isEfsNumber(dfs_file_number_t number) {
    return ((number >> kStoreShift) & kStoreMask) == DFS_STORE_EFS;
}

uint32_t trailerOf(file_attributes_t attributes) {
    return (attributes & FILE_ATTR_LONG_TRAILER) != 0 ? kLongTrailer : kShortTrailer;
}

// Every failure after the PQS image was mounted lets it go again.
void releasePqsIfMounted() {
    if (s_pqsInitialized) kelPqsReleasePqsImage();
}

bool abortDeployedRead() {
    releasePqsIfMounted();
    kelPqsReportError(kelkey::kPqsInit);
    return false;
}

void reportMissingDeployedFile(const char* name) {
    char message[kNvarPathSize + 96];
    std::snprintf(message, sizeof message,
                  "File \"%.*s\" found in tarvo.cfg, but missing in deployed VFS. The file will be "
                  "skipped",
                  static_cast<int>(strnlen(name, kNvarPathSize)), name);
    kelPqsLogMessage(ERROR_LEVEL_WARNING, kelkey::kNone, message);
}

// The current value of `name`: the tarvo.cfg list and the current values are
// built in the same order, so the entry after the previous one found is
// tried first and the whole road stays linear; anything else falls back to
// the full lookup with its reports.
FcsFileEntry* currentEntryFor(const char* name, FcsFileEntry*& cursor) {
    // The lookup puts "/home/" in front of a name without it; only a name that
    // has it is its own key.
    if (cursor != nullptr && std::strncmp(name, "/home/", 6) == 0 &&
        std::strncmp(cursor->name, name, kNvarPathSize) == 0) {
        FcsFileEntry* found = cursor;
        cursor = found->next;
        return found;
    }
    FcsFileEntry* found = kelPqsFindFileEntryInTable(FCS_TABLE_CURRENT_VALUES, name);
    if (found == nullptr) {
        kelPqsReportError(kelkey::kFileNotFound);
    } else {
        cursor = found->next;
    }
    return found;
}

// Reads one deployed file into its current value; false aborts the read.
bool readDeployedFile(const FcsFileEntry& tarvo, FcsFileEntry*& cursor) {
    dfs_file_number_t number = 0;
    if (pathToFileNumber(tarvo.name, &number) != 0 || number == 0) return true;
    uint32_t size = 0;
    const int code = dfs_getsize(number, &size);
    if (code == 2) {
        reportMissingDeployedFile(tarvo.name);
        return true;
    }
    if (code != 0) return false;
    if ((tarvo.info.attributes & FILE_ATTR_HAS_TRAILER) != 0) {
        const uint32_t trailer = trailerOf(tarvo.info.attributes);
        if (size < trailer) return false;
        size -= trailer;
    }
    FcsFileEntry* current = currentEntryFor(tarvo.name, cursor);
    void* data = nullptr;
    if (current == nullptr || !kelPqsResizeEntry(*current, &data, size)) return false;
    if (size == 0) return true;
    uint32_t length = size;
    return dfs_read(number, 0, &length, static_cast<uint8_t*>(data)) == 0 && length == size;
}

}  // namespace

void kelPqsReleasePqsImage() {
    s_pqsInitialized = false;
    dfs_terminate();
}

void kelPqsReleaseEfsImage() { efs_release_image(); }

bool kelPqsIsVfsDeployed() {
    if (!s_pqsInitialized) return false;
    dfs_file_number_t number = 0;
    // Number 0 is no file to the API, so it never counts as the marker.
    if (pathToFileNumber(kDeployMarker, &number) != 0 || number == 0) return false;
    uint32_t size = 0;
    return dfs_getsize(number, &size) == 0 && size != 0;
}

DORV_C_BEGIN

uint32_t kelPqsGetEfsSize(void) { return EFS_get_efs_size(); }

DORV_C_END

bool kelPqsMountImages(const _commonDorvTable& pqsImage, const _commonDorvTable& efsImage) {
    if (pqsImage.length != 0) {
        const int code = dfs_init(pqsImage.data, pqsImage.length);
        if (code != 0) {
            // The one line the library writes itself: it reaches the user even
            // when no callback is set.
            std::fputs("dfs_init failed\n", stdout);
            std::fflush(stdout);
            setLibError(kelkey::kInitialize, code);
            kelPqsReportError(kelkey::kPqsInit);
            return false;
        }
        s_pqsInitialized = true;
    }
    if (efsImage.length != 0) {
        // The layout says how large the EFS is; an image shorter than that is
        // refused rather than read past its end.
        if (efs_mount_image(efsImage.data, efsImage.length) != 0) {
            releasePqsIfMounted();
            kelPqsReportError(kelkey::kEfsInit);
            return false;
        }
    }
    return true;
}

bool kelPqsReadDeployedValues() {
    if (!kelPqsIsVfsDeployed()) return true;
    FcsFileEntry* cursor = s_currentValuesTable.head;
    for (const FcsFileEntry* entry = s_tarvoCfgTable.head; entry != nullptr; entry = entry->next) {
        if (entry->valid == 0 || (entry->info.attributes & FILE_ATTR_NO_VFS_LOAD) != 0) continue;
        if (!readDeployedFile(*entry, cursor)) return abortDeployedRead();
    }
    return true;
}

bool kelPqsWriteBackValues(const FcsTable& built) {
    for (const FcsFileEntry* entry = built.head; entry != nullptr; entry = entry->next) {
        if (entry->valid == 0 || (entry->info.attributes & FILE_ATTR_HAS_TRAILER) != 0) continue;
        dfs_file_number_t number = 0;
        const int found = pathToFileNumber(entry->name, &number);
        if (found != 0 || number == 0) {
            setLibError(kelkey::kFileWrite, found);
            return false;
        }
        uint32_t oldSize = 0;
        int code = dfs_getsize(number, &oldSize);
        // An EFS file that was never written (as every one is right after a
        // format) is empty, not missing: it takes its first value here.
        const bool emptyEfsFile = code == 2 && isEfsNumber(number) && EFS_is_initialized() != 0;
        if (emptyEfsFile) {
            oldSize = 0;
            code = 0;
        }
        if (code != 0) {
            setLibError(kelkey::kPqsFileSize, 0);
            return false;
        }
        if (entry->dataSize == 0 && oldSize == 0 && !emptyEfsFile) continue;
        // An empty value has no buffer; the stores still want a pointer.
        static const uint8_t kNoBytes[1] = {0};
        const uint8_t* data = entry->data != nullptr ? entry->data : kNoBytes;
        code = dfs_write(number, 0, entry->dataSize, data, entry->dataSize < oldSize ? 1 : 0);
        if (code != 0) {
            setLibError(kelkey::kFileWrite, code);
            return false;
        }
    }
    return true;
}
