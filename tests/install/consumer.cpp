// Starts the installed library on a one-file sample set, reads the value back
// and terminates; any answer other than the expected one fails the program.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "dorv/kelpqs.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr uint32_t kSku = 7;
constexpr uint32_t kFileNumber = 0x1001;
constexpr char kPath[] = "/home/mca/board_name";
constexpr char kValue[] = "reference-board";

// ftbl.bin with one SKU descriptor and one 68-byte entry at offset 64.
Bytes fileTable() {
    Bytes out(1024, 0);
    put32(out, 0, 0x4C425446);  // "FTBL"
    put32(out, 12, 1);
    put32(out, 16, kSku);
    put32(out, 20, 64);
    put32(out, 24, 1);
    std::memcpy(out.data() + 64, kPath, sizeof kPath - 1);
    put32(out, 64 + 48, kFileNumber);
    put32(out, 64 + 64, 32);  // maximum data size
    return out;
}

// An FCS buffer with one valid record.
Bytes tarvoCfg() {
    const uint32_t length = sizeof kValue - 1;
    Bytes out(4 + 12 + length, 0);
    put32(out, 0, 1);
    put32(out, 4, kFileNumber);
    put32(out, 8, 16);
    put16(out, 12, static_cast<uint16_t>(length));
    out[14] = 0x01;
    std::memcpy(out.data() + 16, kValue, length);
    return out;
}

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "consumer: %s failed\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    Bytes ftbl = fileTable();
    Bytes tarvo = tarvoCfg();
    DorvInitTables tables{};
    tables.tarvoCfg = {tarvo.data(), static_cast<uint32_t>(tarvo.size())};
    tables.ftblBin = {ftbl.data(), static_cast<uint32_t>(ftbl.size())};
    tables.skuId = kSku;

    check(kelPqsDorvInit(&tables, nullptr), "start-up");
    check(kelFcsIsInitialized(), "tables built after start-up");
    void* data = nullptr;
    uint32_t size = 0;
    check(kelPqsNvarGet(kPath, &data, &size, kelPqsGetFcsFileNameMapping(2), nullptr, nullptr), "value read");
    check(size == sizeof kValue - 1 && data != nullptr && std::memcmp(data, kValue, size) == 0, "value content");
    check(!kelpqsCheckNvarExists("/home/mca/absent", kelPqsGetFcsFileNameMapping(2)), "absent value");
    check(kelPqsNvarTerm(false), "termination");
    check(!kelFcsIsInitialized(), "tables released after termination");
    if (failures == 0) std::printf("consumer: installed library answered as expected\n");
    return failures == 0 ? 0 : 1;
}
