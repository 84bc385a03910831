// An example host program for DorvStorageLib.
//
//   dorv_example
//       builds a small configuration set in memory (a file table, a tarvo.cfg
//       of defaults and an ombl.cfg that overrides one of them) and runs the
//       library's main road on it;
//   dorv_example <ftbl.bin> <sku> <tarvo.cfg> [<ombl.cfg> [<new Zan.cfg>]]
//       runs the same road on those files (an empty ombl.cfg argument means
//       none) and writes the new Zan.cfg table (default file name: Zan.cfg).
//
// The road: start the library with a callback that prints every report, read
// every value by path, change one value, resize another, terminate keeping
// the library, print the records of the new Zan.cfg table, terminate.
//
// Only the public header is used; the input formats are written and read here
// byte by byte, as a host tool would.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dorv/kelpqs.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Little-endian fields ----

void put16(Bytes& out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t get16(const Bytes& in, size_t at) { return static_cast<uint16_t>(in[at] | (in[at + 1] << 8)); }

uint32_t get32(const Bytes& in, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | in[at + i];
    return v;
}

bool inside(const Bytes& in, uint64_t at, uint64_t length) {
    return at <= in.size() && length <= in.size() - at;
}

// ---- The file table (ftbl.bin) ----

constexpr uint32_t kFtblMagic = 0x4C425446;  // "FTBL"
constexpr size_t kFtblMinSize = 1024;
constexpr size_t kEntrySize = 68;
constexpr size_t kNameSize = 48;
constexpr size_t kTableOffset = 64;  // after the header, one SKU descriptor and room for nothing else

struct TableFile {
    std::string name;
    uint32_t number = 0;
    uint16_t attributes = 0;
    uint32_t maxSize = 0;
};

Bytes buildFileTable(uint32_t sku, const std::vector<TableFile>& files) {
    Bytes out(std::max(kFtblMinSize, kTableOffset + kEntrySize * files.size()), 0);
    put32(out, 0, kFtblMagic);
    put32(out, 12, 1);  // one SKU descriptor; no EFS layout section follows it
    put32(out, 16, sku);
    put32(out, 20, static_cast<uint32_t>(kTableOffset));
    put32(out, 24, static_cast<uint32_t>(files.size()));
    for (size_t i = 0; i < files.size(); ++i) {
        const size_t at = kTableOffset + kEntrySize * i;
        for (size_t c = 0; c < files[i].name.size() && c < kNameSize; ++c) out[at + c] = files[i].name[c];
        put32(out, at + 48, files[i].number);
        put16(out, at + 52, files[i].attributes);
        put32(out, at + 64, files[i].maxSize);
    }
    return out;
}

// The files of one SKU's table, or nothing when the buffer does not hold it.
std::vector<TableFile> readFileTable(const Bytes& ftbl, uint32_t sku) {
    std::vector<TableFile> files;
    if (ftbl.size() < 16 || get32(ftbl, 0) != kFtblMagic) return files;
    const uint32_t skus = get32(ftbl, 12);
    for (uint32_t i = 0; i < skus && inside(ftbl, 16 + 16ull * i, 16); ++i) {
        const size_t at = 16 + 16 * i;
        if (get32(ftbl, at) != sku) continue;
        const uint32_t offset = get32(ftbl, at + 4);
        const uint32_t count = get32(ftbl, at + 8);
        if (!inside(ftbl, offset, uint64_t{kEntrySize} * count)) return files;
        for (uint32_t f = 0; f < count; ++f) {
            const size_t entry = offset + kEntrySize * f;
            TableFile file;
            for (size_t c = 0; c < kNameSize && ftbl[entry + c] != 0; ++c) file.name += static_cast<char>(ftbl[entry + c]);
            file.number = get32(ftbl, entry + 48);
            file.attributes = get16(ftbl, entry + 52);
            file.maxSize = get32(ftbl, entry + 64);
            files.push_back(file);
        }
        break;
    }
    return files;
}

// ---- FCS buffers and the ombl.cfg partition ----

struct Record {
    uint32_t number;
    Bytes value;
    uint8_t flags = 0x01;  // bit 0: the value is valid
};

Bytes buildFcsBuffer(const std::vector<Record>& records) {
    size_t size = 4 + 12 * records.size();
    for (const Record& r : records) size += r.value.size();
    Bytes out(size, 0);
    put32(out, 0, static_cast<uint32_t>(records.size()));
    size_t data = 4 + 12 * records.size();
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t at = 4 + 12 * i;
        put32(out, at, records[i].number);
        put32(out, at + 4, static_cast<uint32_t>(data));
        put16(out, at + 8, static_cast<uint16_t>(records[i].value.size()));
        out[at + 10] = records[i].flags;
        std::copy(records[i].value.begin(), records[i].value.end(), out.begin() + data);
        data += records[i].value.size();
    }
    return out;
}

Bytes buildOmblPartition(const Bytes& zanCfg) {
    Bytes out(16, 0);
    put32(out, 8, static_cast<uint32_t>(zanCfg.size()));
    out.insert(out.end(), zanCfg.begin(), zanCfg.end());
    return out;
}

Bytes text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

// ---- Printing ----

void printReport(ErrorLevel level, ImageToolsErrorName key, const char* keyText, const char* message) {
    std::printf("  report: level %d, key %d (%s):%s\n", static_cast<int>(level), static_cast<int>(key),
                keyText, message);
}

// Text when every byte is printable (trailing NULs shown as \0), else hex.
void printBytes(const void* data, uint32_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t textEnd = size;
    while (textEnd > 0 && bytes[textEnd - 1] == 0) --textEnd;
    bool printable = textEnd != 0;
    for (uint32_t i = 0; i < textEnd; ++i) printable = printable && bytes[i] >= 0x20 && bytes[i] < 0x7F;
    std::printf("%3u bytes:", size);
    if (printable) {
        std::printf(" \"%.*s", static_cast<int>(textEnd), static_cast<const char*>(data));
        for (uint32_t i = textEnd; i < size; ++i) std::printf("\\0");
        std::printf("\"");
    } else {
        for (uint32_t i = 0; i < size && i < 16; ++i) std::printf(" %02X", bytes[i]);
        if (size > 16) std::printf(" ...");
    }
    std::printf("\n");
}

void printValue(const char* label, const std::string& path, const void* data, uint32_t size) {
    std::printf("  %-8s %-24s ", label, path.c_str());
    printBytes(data, size);
}

std::string nameOf(const std::vector<TableFile>& files, uint32_t number) {
    for (const TableFile& f : files) {
        if (f.number == number) return f.name;
    }
    return "?";
}

void printZanRecords(const Bytes& zan, const std::vector<TableFile>& files) {
    if (!inside(zan, 0, 4)) return;
    const uint32_t count = get32(zan, 0);
    std::printf("new Zan.cfg table: %zu bytes, %u records\n", zan.size(), count);
    for (uint32_t i = 0; i < count && inside(zan, 4 + 12ull * i, 12); ++i) {
        const size_t at = 4 + 12 * i;
        const uint32_t number = get32(zan, at);
        const uint32_t offset = get32(zan, at + 4);
        const uint16_t length = get16(zan, at + 8);
        std::printf("  record %u: file 0x%04X %-24s flags 0x%02X, offset %3u, ", i, number,
                    nameOf(files, number).c_str(), zan[at + 10], offset);
        if (inside(zan, offset, length)) {
            printBytes(zan.data() + offset, length);
        } else {
            std::printf(" value outside the buffer\n");
        }
    }
}

// ---- The road ----

struct Inputs {
    Bytes ftbl;
    uint32_t sku = 0;
    Bytes tarvo;
    Bytes ombl;
    const char* output = nullptr;  // where to write the new Zan.cfg table, if anywhere
};

_commonDorvTable bufferOf(Bytes& bytes) {
    return _commonDorvTable{bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size())};
}

int run(Inputs& in) {
    DorvInitTables record{};
    record.tarvoCfg = bufferOf(in.tarvo);
    record.omblCfg = bufferOf(in.ombl);
    record.ftblBin = bufferOf(in.ftbl);
    record.skuId = in.sku;

    std::printf("starting the library (SKU %u, tarvo.cfg %zu bytes, ombl.cfg %zu bytes, ftbl.bin %zu bytes)\n",
                in.sku, in.tarvo.size(), in.ombl.size(), in.ftbl.size());
    if (!kelPqsDorvInit(&record, printReport)) {
        std::printf("start-up failed\n");
        return 1;
    }

    const std::vector<TableFile> files = readFileTable(in.ftbl, in.sku);
    const FcsFileName current = kelPqsGetFcsFileNameMapping(2);
    std::vector<std::string> paths;  // values that can be read
    std::printf("current values:\n");
    for (const TableFile& file : files) {
        if (!kelpqsCheckNvarExists(file.name.c_str(), current)) {
            std::printf("  %-8s %s: not a current value\n", "-", file.name.c_str());
            continue;
        }
        void* data = nullptr;
        uint32_t size = 0;
        bool writable = false;
        uint32_t maxSize = 0;
        if (kelPqsNvarGet(file.name.c_str(), &data, &size, current, &writable, &maxSize)) {
            printValue("value", file.name, data, size);
            paths.push_back(file.name);
        } else {
            std::printf("  %-8s %s: no valid value\n", "value", file.name.c_str());
        }
    }

    // Change the first non-empty value in place: the pointer is the library's buffer.
    for (const std::string& path : paths) {
        void* data = nullptr;
        uint32_t size = 0;
        if (kelPqsNvarGet(path.c_str(), &data, &size, current, nullptr, nullptr) && size != 0) {
            auto* bytes = static_cast<uint8_t*>(data);
            const uint8_t first = bytes[0];
            bytes[0] = static_cast<uint8_t>(first >= 'a' && first <= 'z' ? first - 'a' + 'A' : first + 1);
            printValue("changed", path, data, size);
            break;
        }
    }
    // Resize the last value: grow it by four bytes when its limit allows, else shrink it.
    if (!paths.empty()) {
        const std::string& path = paths.back();
        void* data = nullptr;
        uint32_t size = 0;
        uint32_t maxSize = 0;
        kelPqsNvarGet(path.c_str(), &data, &size, current, nullptr, &maxSize);
        const uint32_t newSize = size + 4 <= maxSize ? size + 4 : size / 2;
        if (kelPqsNvarResize(path.c_str(), &data, newSize)) printValue("resized", path, data, newSize);
    }

    if (!kelPqsNvarTerm(true)) {
        std::printf("termination failed\n");
        return 1;
    }
    void* zan = nullptr;
    uint32_t zanSize = 0;
    if (!kelPqsGetBuildZanCfgFcsBuffer(&zan, &zanSize)) {
        std::printf("no Zan.cfg table was built\n");
        kelPqsNvarTerm(false);
        return 1;
    }
    const Bytes table(static_cast<uint8_t*>(zan), static_cast<uint8_t*>(zan) + zanSize);
    printZanRecords(table, files);
    if (in.output != nullptr) {
        std::ofstream out(in.output, std::ios::binary);
        out.write(reinterpret_cast<const char*>(table.data()), static_cast<std::streamsize>(table.size()));
        std::printf("wrote %s\n", out.good() ? in.output : "nothing: the output file failed");
    }
    const bool ended = kelPqsNvarTerm(false);
    std::printf("library %s\n", ended && !kelFcsIsInitialized() ? "terminated" : "failed to terminate");
    return ended ? 0 : 1;
}

Inputs sampleInputs() {
    constexpr uint32_t kSku = 3;
    const std::vector<TableFile> files = {
        {"/home/mca/board_name", 0x1001, 0x0000, 32},
        {"/home/mca/fan_curve", 0x1002, 0x0000, 16},
        {"/home/mca/serial_number", 0x1003, 0x0001, 24},  // ends in a trailer when deployed
        {"/home/mca/boot_delay", 0x1004, 0x0000, 4},
        {"/home/net/hostname", 0x1005, 0x0002, 64},
        {"/home/net/hostname.alt", 0x1006, 0x0000, 64},
    };
    Inputs in;
    in.sku = kSku;
    in.ftbl = buildFileTable(kSku, files);
    in.tarvo = buildFcsBuffer({
        {0x1001, text("reference-board")},
        {0x1002, {20, 30, 45, 60, 80, 100}},
        {0x1003, text("SN-000000")},
        {0x1004, {5, 0, 0, 0}},
        {0x1005, text("engine")},
        {0x1006, text("engine-b"), 0x00},  // present but not valid: not served
    });
    in.ombl = buildOmblPartition(buildFcsBuffer({{0x1005, text("engine-lab-7")}}));
    return in;
}

bool readFile(const char* path, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Inputs in;
    if (argc == 1) {
        in = sampleInputs();
    } else if (argc >= 4 && argc <= 6) {
        char* end = nullptr;
        in.sku = static_cast<uint32_t>(std::strtoul(argv[2], &end, 0));
        if (end == argv[2] || *end != '\0' || !readFile(argv[1], in.ftbl) || !readFile(argv[3], in.tarvo) ||
            (argc >= 5 && argv[4][0] != '\0' && !readFile(argv[4], in.ombl))) {
            std::fprintf(stderr, "cannot read the inputs\n");
            return 2;
        }
        in.output = argc == 6 ? argv[5] : "Zan.cfg";
    } else {
        std::fprintf(stderr, "usage: %s [<ftbl.bin> <sku> <tarvo.cfg> [<ombl.cfg> [<new Zan.cfg>]]]\n", argv[0]);
        return 2;
    }
    return run(in);
}
