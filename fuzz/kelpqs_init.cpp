// Starts the library on fuzzed tarvo.cfg, ombl.cfg and ftbl.bin buffers and
// PQS and EFS images, then reads every value from every table, resizes the
// current values, terminates keeping the library (values deployed on flash
// are written back into the images; the new Zan.cfg table must open again),
// and terminates.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "api/kelpqs_internal.h"
#include "dorv/kelpqs.h"
#include "fuzz/kelpqs_init_input.h"
#include "support/library_reset.h"

namespace {

// Touches both strings of every report, so a bad one shows up.
void checkReport(ErrorLevel, ImageToolsErrorName, const char* keyText, const char* message) {
    volatile std::size_t length = std::strlen(keyText) + std::strlen(message);
    (void)length;
}

void readEverything(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        for (unsigned index = 0; index < 4; ++index) {
            void* data = nullptr;
            uint32_t size = 0;
            bool writable = false;
            uint32_t maxSize = 0;
            const FcsFileName table = kelPqsGetFcsFileNameMapping(index);
            if (kelPqsNvarGet(path.c_str(), &data, &size, table, &writable, &maxSize) && size != 0) {
                // The whole value must be readable.
                volatile uint8_t sum = 0;
                for (uint32_t i = 0; i < size; ++i) sum = sum + static_cast<uint8_t*>(data)[i];
            }
            kelpqsCheckNvarExists(path.c_str(), table);
        }
    }
}

void resizeEverything(const std::vector<std::string>& paths, uint32_t seed) {
    for (const std::string& path : paths) {
        void* data = nullptr;
        uint32_t size = 0;
        if (!kelPqsNvarGet(path.c_str(), &data, &size, FCS_TABLE_CURRENT_VALUES, nullptr, nullptr)) {
            continue;
        }
        seed = seed * 1103515245u + 12345u;
        const uint32_t newSize = seed % 4 == 0 ? 0 : seed % 4 == 1 ? size / 2 : size + seed % 70;
        if (kelPqsNvarResize(path.c_str(), &data, newSize) && newSize != 0) {
            std::memset(data, static_cast<int>(seed >> 8), newSize);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    dorv::fuzz::StartUpInput input = dorv::fuzz::splitStartUpInput(data, size);
    const DorvInitTables record = dorv::fuzz::startUpRecord(input);
    kelPqsDorvInit(&record, checkReport);

    kelPqsGetEfsSize();
    if (kelFcsIsInitialized()) {
        kelPqsIsVfsDeployed();
        std::vector<std::string> paths;
        for (const FcsFileEntry* e = s_tarvoCfgTable.head; e != nullptr; e = e->next) {
            paths.emplace_back(e->name, strnlen(e->name, kNvarPathSize));
        }
        paths.emplace_back("no/such/value");
        readEverything(paths);
        resizeEverything(paths, input.sku);
        if (kelPqsNvarTerm(true)) {
            void* zan = nullptr;
            uint32_t zanSize = 0;
            if (kelPqsGetBuildZanCfgFcsBuffer(&zan, &zanSize)) {
                // What the library serialised must open as an FCS buffer.
                fcs_handle_t* handle = nullptr;
                if (createHandleFromStructure(&handle, static_cast<uint8_t*>(zan), zanSize) != FCS_OK) {
                    __builtin_trap();
                }
                closeHandle(&handle);
            }
            readEverything(paths);
        }
        kelPqsNvarTerm(false);
    }
    dorv::test::resetLibraryState();
    return 0;
}
