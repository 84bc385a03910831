// An example host program for DorvStorageLib.
//
//   dorv_example
//       builds a small configuration set in memory (a file table with an EFS
//       layout, a tarvo.cfg of defaults, an ombl.cfg that overrides one of
//       them) and the two flash images: a PQS image, an AFS partition created
//       with afs_init and filled through DFS with "/home/mca/deploy" and
//       deployed files, and an EFS image formatted by the EFS and holding one
//       value; then runs the library's whole job on them;
//   dorv_example [--pqs <image>] [--efs <image>] <ftbl.bin> <sku> <tarvo.cfg> [<ombl.cfg> [<new Zan.cfg>]]
//       runs the same job on those files (an empty ombl.cfg argument means
//       none), writes the new Zan.cfg table (default file name: Zan.cfg) and
//       writes the changed images back to their files. The new Zan.cfg is a
//       bare FCS table, not an ombl.cfg partition: to start from it, pass an
//       ombl.cfg partition holding it (the 16-byte head, whose word at offset
//       8 is the table's size, in front of the table). A SKU that the file
//       table does not name is refused before the library starts;
//   dorv_example --write-sample <folder>
//       writes the built-in sample set (ftbl.bin, tarvo.cfg, ombl.cfg,
//       pqs.img, efs.img) into the folder and prints the command that runs
//       the job on those files.
//
// Every file the program writes is written whole or not at all (see "Writing
// files whole" below); when one cannot be written the program says which and
// why and exits non-zero.
//
// The job: start the library with a callback that prints every report, read
// every value by path and tell which came from flash, change one value, grow
// one and shrink another, terminate keeping the library (the values of
// deployed files go back into the images), print the records of the new
// Zan.cfg table, terminate, and read the files back from the images through
// DFS.
//
// Only the public headers and exported functions are used; the input formats
// are written and read here byte by byte, as a host tool would.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "dorv/afs.h"
#include "dorv/cfg_types.h"
#include "dorv/dfs.h"
#include "dorv/efs.h"
#include "dorv/file_table.h"
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
constexpr uint32_t kEfsMagic = 0x54534645;   // "EFST"
constexpr size_t kFtblMinSize = 1024;
constexpr uint32_t kFtblMaxSkus = 10;
constexpr size_t kEntrySize = 68;
constexpr size_t kNameSize = 48;
constexpr size_t kEfsSection = 32;   // after the header and one SKU descriptor
constexpr size_t kEfsRowSize = 40;
constexpr size_t kEfsFileSize = 60;
constexpr uint8_t kStoreAfs = 0;
constexpr uint8_t kStoreEfs = 2;

struct TableFile {
    std::string name;
    uint32_t number = 0;
    uint16_t attributes = 0;
    uint32_t maxSize = 0;
    uint16_t storageIndex = 0;    // AFS file id or EFS file index
    uint8_t storageSelector = 0;  // 0 AFS, 2 EFS
    uint16_t efsBlock = 0;        // EFS files: logical block and offset of the record
    uint16_t efsOffset = 0;
};

// One SKU's table and, for its EFS files, an EFS layout of 2 block-manager
// blocks, 7 data blocks and 3 spares.
Bytes buildFileTable(uint32_t sku, const std::vector<TableFile>& files) {
    std::vector<const TableFile*> efsFiles;
    for (const TableFile& f : files) {
        if (f.storageSelector == kStoreEfs) efsFiles.push_back(&f);
    }
    const size_t fileList = kEfsSection + 16 + kEfsRowSize;
    const size_t tableOffset = fileList + kEfsFileSize * efsFiles.size();
    Bytes out(std::max(kFtblMinSize, tableOffset + kEntrySize * files.size()), 0);
    put32(out, 0, kFtblMagic);
    put32(out, 12, 1);  // one SKU descriptor
    put32(out, 16, sku);
    put32(out, 20, static_cast<uint32_t>(tableOffset));
    put32(out, 24, static_cast<uint32_t>(files.size()));
    put32(out, kEfsSection, kEfsMagic);
    put32(out, kEfsSection + 12, 1);  // one layout row
    const size_t row = kEfsSection + 16;
    const uint32_t rowFields[] = {sku, static_cast<uint32_t>(fileList), static_cast<uint32_t>(efsFiles.size()),
                                  static_cast<uint32_t>(kEfsFileSize * efsFiles.size()), 2, 7, 3, 16, 100, 0};
    for (size_t i = 0; i < 10; ++i) put32(out, row + 4 * i, rowFields[i]);
    for (size_t i = 0; i < efsFiles.size(); ++i) {
        const size_t at = fileList + kEfsFileSize * i;
        put16(out, at, efsFiles[i]->storageIndex);
        put16(out, at + 50, efsFiles[i]->efsBlock);
        put16(out, at + 52, efsFiles[i]->efsOffset);
        put16(out, at + 54, static_cast<uint16_t>(efsFiles[i]->maxSize));
    }
    for (size_t i = 0; i < files.size(); ++i) {
        const size_t at = tableOffset + kEntrySize * i;
        for (size_t c = 0; c < files[i].name.size() && c < kNameSize; ++c) out[at + c] = files[i].name[c];
        put32(out, at + 48, files[i].number);
        put16(out, at + 52, files[i].attributes);
        put16(out, at + 58, files[i].storageIndex);
        out[at + 63] = files[i].storageSelector;
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
            file.storageIndex = get16(ftbl, entry + 58);
            file.storageSelector = ftbl[entry + 63];
            file.maxSize = get32(ftbl, entry + 64);
            files.push_back(file);
        }
        break;
    }
    return files;
}

// The SKUs that the file table's descriptors name, in their order; false
// when the head is not one the library accepts (fewer than 1024 bytes, another
// magic or more than 10 descriptors), which the library reports itself.
bool skusOf(const Bytes& ftbl, std::vector<uint32_t>& skus) {
    if (ftbl.size() < kFtblMinSize || get32(ftbl, 0) != kFtblMagic || get32(ftbl, 12) > kFtblMaxSkus) return false;
    skus.clear();
    for (uint32_t i = 0; i < get32(ftbl, 12); ++i) skus.push_back(get32(ftbl, 16 + 16 * i));
    return true;
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

// The catalogue keys under which start-up reports that the PQS image or the
// EFS image did not mount, and whether either was reported.
constexpr int kKeyPqsMount = 341;
constexpr int kKeyEfsMount = 342;
bool g_pqsRefused = false;
bool g_efsRefused = false;

void printReport(ErrorLevel level, ImageToolsErrorName key, const char* keyText, const char* message) {
    std::printf("  report: level %d, key %d (%s):%s\n", static_cast<int>(level), static_cast<int>(key),
                keyText, message);
    g_pqsRefused = g_pqsRefused || key == kKeyPqsMount;
    g_efsRefused = g_efsRefused || key == kKeyEfsMount;
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

// ---- The flash images, made and read through the library's flash layers ----

constexpr uint32_t kPqsSize = 0x40000;  // 32 erase units of 8 KB
constexpr uint32_t kPartitionFiles = 1024;

// A new AFS partition over the whole image: the translation layer formatted
// and the partition header created.
bool createPartition(Bytes& image) {
    afs_context_t context{};
    Bytes bounce(4096);
    context.bounce_buffer = bounce.data();
    const uint32_t flags = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_MOUNT_FTL | AFS_INIT_BIND_DEVICE |
                           AFS_INIT_CREATE | AFS_INIT_FORMAT;
    const uint32_t code = afs_init(&context, image.data(), 64, 10, kPartitionFiles, 0,
                                   static_cast<uint32_t>(image.size()), flags, 0, 0);
    afs_free_context(&context);
    return code == 0;
}

// Writes one file by its name in the selected file table, through DFS.
bool writeByName(const std::string& name, const Bytes& content) {
    dfs_file_number_t number = 0;
    static const uint8_t none = 0;
    return pathToFileNumber(name.c_str(), &number) == 0 &&
           dfs_write(number, 0, static_cast<uint32_t>(content.size()), content.empty() ? &none : content.data(),
                     0) == 0;
}

// The content of a file of the mounted images, or nothing when it does not
// exist (or is an EFS file never written).
bool readByName(const std::string& name, Bytes& content) {
    dfs_file_number_t number = 0;
    uint32_t size = 0;
    if (pathToFileNumber(name.c_str(), &number) != 0 || number == 0 || dfs_getsize(number, &size) != 0) {
        return false;
    }
    content.assign(size, 0);
    uint32_t length = size;
    return size == 0 || (dfs_read(number, 0, &length, content.data()) == 0 && length == size);
}

// ---- The road ----

struct Inputs {
    Bytes ftbl;
    uint32_t sku = 0;
    Bytes tarvo;
    Bytes ombl;
    Bytes pqs;
    Bytes efs;
    const char* output = nullptr;   // where to write the new Zan.cfg table, if anywhere
    const char* pqsPath = nullptr;  // where the images go back to, if anywhere
    const char* efsPath = nullptr;
};

_commonDorvTable bufferOf(Bytes& bytes) {
    return _commonDorvTable{bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size())};
}

// ---- Writing files whole ----
//
// A target is never written in place: its bytes go to a temporary file in
// the target's folder, which is flushed and closed, every step checked, and
// given the permissions of the target when there is one; only a whole
// temporary replaces its target, by a rename. The rename is
// std::filesystem::rename, which replaces an existing file on Windows as on
// POSIX systems (MinGW's library calls MoveFileExW with
// MOVEFILE_REPLACE_EXISTING). Of several outputs, every temporary is written
// first and the renames follow only when all are whole: a file that cannot be
// written leaves every target as it was. A rename that fails after others
// succeeded (rare: each temporary was just made in its target's folder)
// leaves those replaced and the rest as they were. Either way the program
// exits non-zero. The bytes reach the operating system, not necessarily the
// disk: the standard library has no call that waits for that.

namespace fs = std::filesystem;

struct Output {
    Output(std::string target_, const Bytes& bytes_) : target(std::move(target_)), bytes(&bytes_) {}
    std::string target;  // as given
    const Bytes* bytes;
    std::string path;  // the file replaced: the target, or the file a symbolic link names
    std::string temp;
    bool made = false;  // whether the temporary exists, to be removed on failure
};

void writeFailed(const std::string& target, const std::string& why) {
    std::fflush(stdout);
    std::fprintf(stderr, "cannot write %s: %s\n", target.c_str(), why.c_str());
}

std::string reasonOf(int error, const std::string& fallback) { return error != 0 ? std::strerror(error) : fallback; }

// Writes the whole temporary of one output; on failure nothing is left of it.
bool writeTemporary(Output& out) {
    std::error_code ec;
    fs::path target(out.target);
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        const fs::path real = fs::canonical(target, ec);
        if (!ec) target = real;
    }
    out.path = target.string();
    const fs::file_status status = fs::status(target, ec);
    const bool exists = fs::exists(status);
    if (exists && !fs::is_regular_file(status)) {
        writeFailed(out.target, "not a regular file");
        return false;
    }
    if (exists && (status.permissions() & fs::perms::owner_write) == fs::perms::none) {
        writeFailed(out.target, "the file is read-only");
        return false;
    }
    // A name beside the target that no file has yet.
    for (int n = 0;; ++n) {
        if (n == 100) {
            writeFailed(out.target, "no free name for a temporary file beside it");
            return false;
        }
        out.temp = out.path + ".tmp" + (n == 0 ? std::string() : std::to_string(n));
        if (!fs::exists(fs::symlink_status(out.temp, ec))) break;
    }
    errno = 0;
    std::FILE* file = std::fopen(out.temp.c_str(), "wb");
    if (file == nullptr) {
        writeFailed(out.target, reasonOf(errno, "the temporary file " + out.temp + " does not open"));
        return false;
    }
    out.made = true;
    const Bytes& bytes = *out.bytes;
    std::string why;
    errno = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        why = reasonOf(errno, "write error");
    }
    errno = 0;
    if (why.empty() && std::fflush(file) != 0) why = reasonOf(errno, "write error");
    errno = 0;
    if (std::fclose(file) != 0 && why.empty()) why = reasonOf(errno, "write error");
    if (why.empty() && exists) {
        fs::permissions(out.temp, status.permissions(), ec);
        if (ec) why = "the permissions of the temporary file: " + ec.message();
    }
    if (!why.empty()) {
        writeFailed(out.target, why);
        return false;
    }
    return true;
}

void removeTemporaries(std::vector<Output>& outputs) {
    for (Output& out : outputs) {
        if (out.made) std::remove(out.temp.c_str());
        out.made = false;
    }
}

// Writes every output whole (see above); prints a line for each written.
bool writeOutputs(std::vector<Output>& outputs) {
    size_t current = 0;
    try {
        for (; current < outputs.size(); ++current) {
            if (!writeTemporary(outputs[current])) {
                removeTemporaries(outputs);
                std::fprintf(stderr, "no file was written\n");
                return false;
            }
        }
        for (current = 0; current < outputs.size(); ++current) {
            Output& out = outputs[current];
            std::error_code ec;
            fs::rename(out.temp, out.path, ec);
            if (ec) {
                removeTemporaries(outputs);
                writeFailed(out.target, "replacing it by " + out.temp + ": " + ec.message());
                return false;
            }
            out.made = false;
            std::printf("wrote %s\n", out.target.c_str());
        }
        return true;
    } catch (const std::exception& e) {
        // A path the file-system library cannot convert, or no memory.
        removeTemporaries(outputs);
        if (current < outputs.size()) writeFailed(outputs[current].target, e.what());
        return false;
    }
}

// Whether the current value of `file` was read from flash at start-up: the
// values are deployed, the file may be loaded and it exists on flash.
bool fromFlash(const TableFile& file) {
    Bytes content;
    return kelPqsIsVfsDeployed() && (file.attributes & FILE_ATTR_NO_VFS_LOAD) == 0 &&
           readByName(file.name, content);
}

// Reads the files back from the images after the library let go of them:
// the file table is selected again and both images are mounted afresh.
void printImages(Inputs& in, const std::vector<TableFile>& files) {
    if (in.pqs.empty()) return;
    if (load_file_table(in.ftbl.data(), in.sku, static_cast<uint32_t>(in.ftbl.size())) != 0 ||
        dfs_init(in.pqs.data(), static_cast<uint32_t>(in.pqs.size())) != 0) {
        std::printf("the PQS image does not mount again\n");
        return;
    }
    const bool efs = !in.efs.empty() && in.efs.size() >= EFS_get_efs_size() && EFS_init_tools(in.efs.data()) == 0;
    std::printf("files in the images, read back through DFS:\n");
    for (const TableFile& file : files) {
        if (file.storageSelector == kStoreEfs && !efs) continue;
        Bytes content;
        if (readByName(file.name, content)) {
            printValue(file.storageSelector == kStoreEfs ? "EFS" : "PQS", file.name, content.data(),
                       static_cast<uint32_t>(content.size()));
        } else {
            std::printf("  %-8s %-24s no file\n", file.storageSelector == kStoreEfs ? "EFS" : "PQS",
                        file.name.c_str());
        }
    }
}

// After the library's reports of a failed start-up: a line that names the
// image which did not mount, when the reports say which one it was.
void explainStartUpFailure(const Inputs& in) {
    if (g_efsRefused && in.efsPath != nullptr) {
        const uint32_t needed = kelPqsGetEfsSize();
        if (needed == 0) {
            std::printf("the EFS image %s does not mount: the file table has no EFS layout for SKU %u\n", in.efsPath,
                        in.sku);
        } else if (in.efs.size() != needed) {
            std::printf("the EFS image %s is %zu bytes; the EFS layout of SKU %u in the file table needs %u bytes\n",
                        in.efsPath, in.efs.size(), in.sku, needed);
        } else {
            std::printf("the EFS image %s does not mount\n", in.efsPath);
        }
    } else if (g_pqsRefused && in.pqsPath != nullptr) {
        std::printf("the PQS image %s (%zu bytes) does not mount: too short, or not an AFS partition\n", in.pqsPath,
                    in.pqs.size());
    }
}

int run(Inputs& in) {
    DorvInitTables record{};
    record.tarvoCfg = bufferOf(in.tarvo);
    record.omblCfg = bufferOf(in.ombl);
    record.ftblBin = bufferOf(in.ftbl);
    record.skuId = in.sku;
    record.pqsImage = bufferOf(in.pqs);
    record.efsImage = bufferOf(in.efs);

    std::printf("starting the library (SKU %u, tarvo.cfg %zu bytes, ombl.cfg %zu bytes, ftbl.bin %zu bytes, "
                "PQS image %zu bytes, EFS image %zu bytes)\n",
                in.sku, in.tarvo.size(), in.ombl.size(), in.ftbl.size(), in.pqs.size(), in.efs.size());
    if (!kelPqsDorvInit(&record, printReport)) {
        std::printf("start-up failed\n");
        explainStartUpFailure(in);
        return 1;
    }
    std::printf("PQS image %s, values %s, EFS size for this layout %u bytes\n",
                kelPqsIsInitialized() ? "mounted" : "not mounted",
                kelPqsIsVfsDeployed() ? "deployed on flash" : "not deployed", kelPqsGetEfsSize());

    const std::vector<TableFile> files = readFileTable(in.ftbl, in.sku);
    const FcsFileName current = kelPqsGetFcsFileNameMapping(2);
    std::vector<std::string> paths;  // values that can be changed
    std::printf("current values (origin: flash = read from an image at start-up, table = tarvo.cfg or its Zan.cfg "
                "override, - = none;\n"
                "  not a current value = tarvo.cfg has no valid record of the file (Zan.cfg only overrides one)):\n");
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
            printValue(fromFlash(file) ? "flash" : "table", file.name, data, size);
            if (writable) paths.push_back(file.name);
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
    // Grow the last value by four bytes when its limit allows (else shrink
    // it), and shrink the one before it to half its size.
    for (size_t i = 0; i < paths.size() && i < 2; ++i) {
        const std::string& path = paths[paths.size() - 1 - i];
        void* data = nullptr;
        uint32_t size = 0;
        uint32_t maxSize = 0;
        kelPqsNvarGet(path.c_str(), &data, &size, current, nullptr, &maxSize);
        const uint32_t newSize = i == 0 && size + 4 <= maxSize ? size + 4 : size / 2;
        if (kelPqsNvarResize(path.c_str(), &data, newSize)) {
            for (uint32_t b = size; b < newSize; ++b) static_cast<uint8_t*>(data)[b] = static_cast<uint8_t>('+');
            printValue("resized", path, data, newSize);
        }
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
    const bool ended = kelPqsNvarTerm(false);
    std::printf("library %s\n", ended && !kelFcsIsInitialized() ? "terminated" : "failed to terminate");
    printImages(in, files);
    // The outputs go out together, once the images are final.
    std::vector<Output> outputs;
    if (in.output != nullptr) outputs.emplace_back(in.output, table);
    if (in.pqsPath != nullptr) outputs.emplace_back(in.pqsPath, in.pqs);
    if (in.efsPath != nullptr) outputs.emplace_back(in.efsPath, in.efs);
    const bool written = writeOutputs(outputs);
    return ended && written ? 0 : 1;
}

// The two images of the sample: the files marked deployed go into the PQS
// image (or the EFS image) with the contents given.
bool buildSampleImages(Inputs& in, const std::vector<TableFile>& files,
                       const std::vector<std::pair<std::string, Bytes>>& deployed) {
    if (load_file_table(in.ftbl.data(), in.sku, static_cast<uint32_t>(in.ftbl.size())) != 0) return false;
    in.pqs.assign(kPqsSize, 0xFF);
    if (!createPartition(in.pqs) || dfs_init(in.pqs.data(), kPqsSize) != 0) return false;
    // A library-owned image, formatted by the EFS itself, then copied out.
    if (EFS_init(1) != 0) return false;
    for (const auto& [name, content] : deployed) {
        for (const TableFile& file : files) {
            if (file.name != name) continue;
            if (file.storageSelector == kStoreEfs) {
                if (EFS_write(file.storageIndex, 0, static_cast<uint32_t>(content.size()), content.data()) != 0) {
                    return false;
                }
            } else if (!writeByName(name, content)) {
                return false;
            }
        }
    }
    in.efs.assign(efs_image, efs_image + efs_size);
    return true;
}

bool sampleInputs(Inputs& in) {
    constexpr uint32_t kSku = 3;
    const std::vector<TableFile> files = {
        {"/home/mca/deploy", 0x1000, 0x0000, 4, 1, kStoreAfs},  // the marker: values are deployed
        {"/home/mca/board_name", 0x1001, 0x0000, 32, 2, kStoreAfs},
        {"/home/mca/fan_curve", 0x1002, 0x0000, 16, 3, kStoreAfs},
        {"/home/mca/serial_number", 0x1003, FILE_ATTR_HAS_TRAILER, 24, 4, kStoreAfs},
        {"/home/mca/boot_delay", 0x1004, 0x0000, 4, 5, kStoreAfs},
        {"/home/net/hostname", 0x1005, FILE_ATTR_NO_VFS_LOAD, 64, 6, kStoreAfs},
        {"/home/net/hostname.alt", 0x1006, 0x0000, 64, 7, kStoreAfs},
        {"/home/efs/calibration", 0x1007, 0x0000, 16, 0, kStoreEfs, 0, 0},
    };
    in.sku = kSku;
    in.ftbl = buildFileTable(kSku, files);
    in.tarvo = buildFcsBuffer({
        {0x1001, text("reference-board")},
        {0x1002, {20, 30, 45, 60, 80, 100}},
        {0x1003, text("SN-000000")},
        {0x1004, {5, 0, 0, 0}},
        {0x1005, text("engine")},
        {0x1006, text("engine-b"), 0x00},  // present but not valid: not served
        {0x1007, {0, 0, 0, 0}},
    });
    in.ombl = buildOmblPartition(buildFcsBuffer({{0x1005, text("engine-lab-7")}}));
    // On flash: every file of the table (termination writes each one back and
    // fails on one that is missing); the board name and fan curve differ from
    // their defaults, the serial number ends in a 40-byte trailer, the host
    // name is there but is not loaded, and the calibration lives in the EFS.
    Bytes serial = text("SN-4711-B");
    serial.resize(serial.size() + 40, 0xA5);
    return buildSampleImages(in, files,
                             {{"/home/mca/deploy", text("1")},
                              {"/home/mca/board_name", text("field-board-2")},
                              {"/home/mca/fan_curve", {25, 35, 50, 70, 90, 100}},
                              {"/home/mca/serial_number", serial},
                              {"/home/mca/boot_delay", {7, 0, 0, 0}},
                              {"/home/net/hostname", text("engine-on-flash")},
                              {"/home/efs/calibration", {0x12, 0x34, 0x56, 0x78, 0x9A}}});
}

// The whole file, or false with the reason in `why`.
bool readFile(const char* path, Bytes& out, std::string& why) {
    errno = 0;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        why = errno != 0 ? std::strerror(errno) : "it does not open";
        return false;
    }
    out.clear();
    uint8_t chunk[16384];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) != 0) {
        // The library takes every length as 32 bits.
        if (out.size() > 0xFFFFFFFFu - got) {
            std::fclose(file);
            why = "larger than 4 GiB - 1";
            return false;
        }
        out.insert(out.end(), chunk, chunk + got);
    }
    const int error = errno;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) why = error != 0 ? std::strerror(error) : "read error";
    return !failed;
}

// Reads one input file; on failure tells which file and why.
bool readInput(const char* what, const char* path, Bytes& out) {
    std::string why;
    if (readFile(path, out, why)) return true;
    std::fprintf(stderr, "cannot read the %s %s: %s\n", what, path, why.c_str());
    return false;
}

// Reads an image, which must not be empty.
bool readImage(const char* what, const char* path, Bytes& out) {
    if (!readInput(what, path, out)) return false;
    if (out.empty()) std::fprintf(stderr, "the %s %s is empty\n", what, path);
    return !out.empty();
}

// A SKU: decimal, or hexadecimal after 0x.
bool parseSku(std::string_view text, uint32_t& sku) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    // from_chars takes no sign, no blank and no prefix of its own.
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, sku, base);
    return !text.empty() && error == std::errc() && stop == end;
}

// Refuses a SKU that no descriptor of the file table names: the library
// would treat it as no error, skip every value and build an empty Zan.cfg.
bool skuNamed(const char* ftblPath, const Bytes& ftbl, uint32_t sku) {
    std::vector<uint32_t> skus;
    if (!skusOf(ftbl, skus) || std::find(skus.begin(), skus.end(), sku) != skus.end()) return true;
    std::string named;
    for (const uint32_t s : skus) named += (named.empty() ? "" : ", ") + std::to_string(s);
    std::fprintf(stderr, "the file table %s has no table for SKU %u; %s%s\n", ftblPath, sku,
                 skus.empty() ? "it names no SKU" : "the SKUs it names: ", named.c_str());
    return false;
}

// A path quoted for the shell when it needs it.
std::string quoted(const std::string& path) {
    const bool plain = !path.empty() && std::all_of(path.begin(), path.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::strchr("/\\._-+=,:@%", c) != nullptr;
    });
    if (plain) return path;
#ifdef _WIN32
    return '"' + path + '"';
#else
    std::string out = "'";
    for (const char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
#endif
}

// Writes the sample set into a folder and prints the command that runs the
// job on it.
int writeSample(const char* program, const char* folder) {
    Inputs in;
    if (!sampleInputs(in)) {
        std::fprintf(stderr, "cannot build the sample images\n");
        return 1;
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "cannot make the folder %s: %s\n", folder, ec.message().c_str());
        return 1;
    }
    std::string base = folder;
    if (base.back() != '/' && base.back() != '\\') base += '/';
    const std::pair<const char*, const Bytes*> files[] = {
        {"ftbl.bin", &in.ftbl}, {"tarvo.cfg", &in.tarvo}, {"ombl.cfg", &in.ombl}, {"pqs.img", &in.pqs},
        {"efs.img", &in.efs}};
    std::vector<Output> outputs;
    for (const auto& [name, bytes] : files) outputs.emplace_back(base + name, *bytes);
    if (!writeOutputs(outputs)) return 1;
    const auto at = [&](const char* name) { return quoted(base + name); };
    std::printf("run the job on the sample (it writes the changed images back and the new Zan.cfg table to %s):\n"
                "  %s --pqs %s --efs %s %s %u %s %s %s\n",
                at("Zan.cfg").c_str(), quoted(program).c_str(), at("pqs.img").c_str(), at("efs.img").c_str(),
                at("ftbl.bin").c_str(), in.sku, at("tarvo.cfg").c_str(), at("ombl.cfg").c_str(),
                at("Zan.cfg").c_str());
    return 0;
}

int usage(std::FILE* stream, const char* program) {
    std::fprintf(stream,
                 "usage: %s [[--pqs <image>] [--efs <image>] <ftbl.bin> <sku> <tarvo.cfg> [<ombl.cfg> "
                 "[<new Zan.cfg>]]]\n"
                 "       %s --write-sample <folder>\n"
                 "  without arguments: the whole job on a sample set built in memory\n"
                 "  --write-sample: writes that sample set (ftbl.bin, tarvo.cfg, ombl.cfg, pqs.img, efs.img)\n"
                 "    into the folder and prints the command that runs the job on it\n"
                 "  --pqs, --efs: the PQS and EFS images; the changed images are written back to these files\n"
                 "  <sku>: decimal, or hexadecimal after 0x; the file table must name it\n"
                 "  <ombl.cfg>: an ombl.cfg partition (a 16-byte head whose 32-bit little-endian word at\n"
                 "    offset 8 is the size of the Zan.cfg table that follows it); \"\" for none\n"
                 "  <new Zan.cfg>: where the new Zan.cfg table goes (default: Zan.cfg). It is a bare FCS\n"
                 "    table, not an ombl.cfg partition, so it is no input for <ombl.cfg>: to start from it,\n"
                 "    pass an ombl.cfg partition that holds it (the 16-byte head in front of the table)\n"
                 "  -h, --help: this text\n"
                 "Every file is written whole or not at all; the exit status is not 0 when one was not.\n",
                 program, program);
    return stream == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    Inputs in;
    if (argc == 1) {
        if (!sampleInputs(in)) {
            std::fprintf(stderr, "cannot build the sample images\n");
            return 1;
        }
        return run(in);
    }
    std::vector<const char*> positional;
    const char* sampleFolder = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return usage(stdout, argv[0]);
        if (arg == "--pqs" || arg == "--efs" || arg == "--write-sample") {
            if (i + 1 == argc) {
                std::fprintf(stderr, "the option %s needs a value\n", arg.c_str());
                return usage(stderr, argv[0]);
            }
            (arg == "--pqs" ? in.pqsPath : arg == "--efs" ? in.efsPath : sampleFolder) = argv[++i];
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (sampleFolder != nullptr) {
        if (argc != 3 || sampleFolder[0] == '\0') return usage(stderr, argv[0]);
        return writeSample(argv[0], sampleFolder);
    }
    if (positional.size() < 3 || positional.size() > 5) return usage(stderr, argv[0]);
    if (!parseSku(positional[1], in.sku)) {
        std::fprintf(stderr, "the SKU \"%s\" is not a 32-bit unsigned number (decimal, or hexadecimal after 0x)\n",
                     positional[1]);
        return 2;
    }
    // The SKU is checked before anything else is read, the library started
    // or a file written.
    if (!readInput("file table", positional[0], in.ftbl) || !skuNamed(positional[0], in.ftbl, in.sku)) return 2;
    if ((in.pqsPath != nullptr && !readImage("PQS image", in.pqsPath, in.pqs)) ||
        (in.efsPath != nullptr && !readImage("EFS image", in.efsPath, in.efs)) ||
        !readInput("tarvo.cfg", positional[2], in.tarvo) ||
        (positional.size() >= 4 && positional[3][0] != '\0' && !readInput("ombl.cfg", positional[3], in.ombl))) {
        return 2;
    }
    in.output = positional.size() == 5 ? positional[4] : "Zan.cfg";
    return run(in);
}
