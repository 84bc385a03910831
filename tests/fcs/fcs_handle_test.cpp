#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dorv/fcs.h"
#include "dorv/file_table.h"
#include "fcs/fcs_internal.h"
#include "support/alloc_failure.h"
#include "support/fcs_builder.h"
#include "support/file_table_state.h"
#include "support/ftbl_builder.h"

namespace {

using dorv::test::Bytes;
using dorv::test::FcsBuilder;
using dorv::test::make_record;
using dorv::test::pattern;

constexpr uint32_t kSku = 7;
constexpr uint32_t kAlpha = 0x1001, kBeta = 0x1002, kGamma = 0x1003, kDelta = 0x1004,
                   kLong = 0x1005, kNameless = 0x1006, kUnknown = 0x7777;
const std::string kLongName = "/home/" + std::string(42, 'L');  // fills the 48-byte field

class FcsTest : public dorv::test::FileTableStateTest {
protected:
    void SetUp() override {
        FileTableStateTest::SetUp();
        table_ = dorv::test::FtblBuilder()
                     .add_sku(kSku, {{"/home/alpha", kAlpha, 0x0103, 0, 0, 16},
                                     {"/home/beta", kBeta, 0x0002, 0, 0, 4},
                                     {"/home/gamma", kGamma, 0, 0, 0, 0},
                                     {"/home/delta", kDelta, 0, 0, 0, 0xFFFFFFFF},
                                     {kLongName, kLong, 0x0005, 0, 0, 8},
                                     {"", kNameless, 0, 0, 0, 8}})
                     .build();
        ASSERT_EQ(load_file_table(table_.data(), kSku, static_cast<uint32_t>(table_.size())), 0);
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            EXPECT_EQ(closeHandle(&handle_), FCS_OK);
        }
        FileTableStateTest::TearDown();
    }

    fcs_status_t open(const Bytes& buffer) {
        return createHandleFromStructure(&handle_, buffer.data(),
                                         static_cast<uint32_t>(buffer.size()));
    }
    fcs_status_t add(const std::string& name, Bytes record, bool size_check = false) {
        return addNewFile(handle_, "", name.c_str(), record.data(),
                          static_cast<uint16_t>(record.size()), size_check);
    }
    std::vector<std::string> list() {
        std::vector<std::string> names;
        char out[64];
        for (int s = getFirstFileInRoot(handle_, out); s == FCS_OK; s = getNextFile(handle_, out)) {
            names.emplace_back(out);
        }
        return names;
    }
    Bytes fetch(const std::string& name) {
        Bytes out(70000);
        auto length = static_cast<uint32_t>(out.size());
        EXPECT_EQ(getFileData(handle_, name.c_str(), out.data(), &length), FCS_OK) << name;
        out.resize(length);
        return out;
    }
    // The two-call sizing pattern of the library's own callers.
    Bytes flushed() {
        uint32_t size = 0;
        EXPECT_EQ(flush(handle_, nullptr, &size), FCS_BUFFER_TOO_SMALL);
        std::vector<uint32_t> words(size / 4 + 1);
        EXPECT_EQ(flush(handle_, words.data(), &size), FCS_OK);
        Bytes out(size);
        std::memcpy(out.data(), words.data(), size);
        return out;
    }

    Bytes table_;
    fcs_handle_t* handle_ = nullptr;
};

TEST_F(FcsTest, SmokeOpenListFetchFlush) {
    const Bytes buffer =
        FcsBuilder().file(kBeta, {1, 2, 3}).file(kAlpha, {9}).file(kUnknown, {5, 5}).build();
    ASSERT_EQ(open(buffer), FCS_OK);
    EXPECT_EQ(list(), (std::vector<std::string>{"/home/alpha", "/home/beta"}));
    EXPECT_EQ(fetch("/home/beta"), make_record(kBeta, {1, 2, 3}, 0x01, 0, 4 + 36));
    fcs_file_info_t info{};
    ASSERT_EQ(getFileAttributes(handle_, "/home/alpha", &info), FCS_OK);
    EXPECT_EQ(+info.header.file_number, kAlpha);
    EXPECT_EQ(+info.attributes, 0x0103);
    EXPECT_EQ(+info.max_data_size, 16u);
    EXPECT_EQ(flushed(), FcsBuilder().file(kAlpha, {9}).file(kBeta, {1, 2, 3}).build());
}

TEST_F(FcsTest, BufferAcceptanceBySizeCountAndPayloadRange) {
    const Bytes empty = {0, 0, 0, 0};
    for (uint32_t size = 0; size < 4; ++size) {
        EXPECT_EQ(createHandleFromStructure(&handle_, empty.data(), size), FCS_INVALID_BUFFER);
        EXPECT_EQ(handle_, nullptr);
    }
    ASSERT_EQ(open(empty), FCS_OK);
    EXPECT_EQ(flushed(), empty);
    ASSERT_EQ(closeHandle(&handle_), FCS_OK);

    Bytes two = FcsBuilder().raw(kAlpha, 0, 0).raw(kBeta, 0, 0).build();
    EXPECT_EQ(createHandleFromStructure(&handle_, two.data(), 27), FCS_INVALID_BUFFER);
    // Any offset is accepted with a length of 0.
    EXPECT_EQ(createHandleFromStructure(&handle_, two.data(), 28), FCS_OK);
    ASSERT_EQ(closeHandle(&handle_), FCS_OK);
    // Counts whose header area would wrap 32 bits.
    for (uint32_t count : {0x15555556u, 0x40000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(open(FcsBuilder().raw(kAlpha, 0, 0).count(count).build()), FCS_INVALID_BUFFER);
    }

    const Bytes payload = pattern(5, 1);
    EXPECT_EQ(open(FcsBuilder().file(kAlpha, payload).build()), FCS_OK);  // ends at the end
    ASSERT_EQ(closeHandle(&handle_), FCS_OK);
    EXPECT_EQ(open(FcsBuilder().raw(kAlpha, 17, 5).data(payload).build()), FCS_INVALID_BUFFER);
    EXPECT_EQ(open(FcsBuilder().raw(kAlpha, 0xFFFFFFF0u, 0x20).build()), FCS_INVALID_BUFFER);
    // An unknown file is skipped, but only after its payload range was checked.
    EXPECT_EQ(open(FcsBuilder().raw(kUnknown, 17, 5).data(payload).build()), FCS_INVALID_BUFFER);
    EXPECT_EQ(open(FcsBuilder().raw(kUnknown, 0, 60000).data(pattern(60000, 0)).build()), FCS_OK);
    EXPECT_EQ(list(), std::vector<std::string>{});
    ASSERT_EQ(closeHandle(&handle_), FCS_OK);

    EXPECT_EQ(open(FcsBuilder().file(kAlpha, {1}).file(kAlpha, {2}).build()), FCS_INVALID_BUFFER);
    EXPECT_EQ(handle_, nullptr);
    // Also for a 48-character name, which must be read as exactly its field.
    EXPECT_EQ(open(FcsBuilder().file(kLong, {1}).file(kLong, {2}).build()), FCS_INVALID_BUFFER);
    // A table file whose record would not fit a 16-bit length.
    EXPECT_EQ(open(FcsBuilder().file(kDelta, pattern(65523, 3)).build()), FCS_OK);
    EXPECT_EQ(fetch("/home/delta").size(), 65535u);
    ASSERT_EQ(closeHandle(&handle_), FCS_OK);
    EXPECT_EQ(open(FcsBuilder().file(kDelta, pattern(65524, 3)).build()), FCS_INVALID_BUFFER);
}

TEST_F(FcsTest, FlushPacksRecordsInNameOrderAndKeepsHeaderBytes) {
    // Payloads out of order, overlapping, shared and inside the header area.
    FcsBuilder in;
    in.raw(kGamma, 0, 0, 0x80, 0x11)
        .raw(kUnknown, 4, 8)
        .raw(kBeta, 52, 6, 0x00, 0xAB)
        .raw(kAlpha, 54, 6, 0x03, 0x00)
        .raw(kLong, 2, 10, 0x01, 0xFF)
        .data(pattern(10, 40));
    ASSERT_EQ(open(in.build()), FCS_OK);
    const Bytes source = in.build();
    auto slice = [&](std::size_t at, std::size_t n) {
        return Bytes(source.begin() + at, source.begin() + at + n);
    };
    // 'L' sorts before 'a'.
    const Bytes expected = FcsBuilder()
                               .file(kLong, slice(2, 10), 0x01, 0xFF)
                               .file(kAlpha, slice(54, 6), 0x03, 0x00)
                               .file(kBeta, slice(52, 6), 0x00, 0xAB)
                               .file(kGamma, {}, 0x80, 0x11)
                               .build();
    EXPECT_EQ(list(),
              (std::vector<std::string>{kLongName, "/home/alpha", "/home/beta", "/home/gamma"}));
    const Bytes first = flushed();
    EXPECT_EQ(first, expected);

    // One byte short: the needed size and an untouched output; a larger output
    // is written up to the needed size only, which comes back as the size.
    uint32_t size = static_cast<uint32_t>(expected.size()) - 1;
    std::vector<uint32_t> words(expected.size(), 0xEEEEEEEEu);
    EXPECT_EQ(flush(handle_, words.data(), &size), FCS_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(words[0], 0xEEEEEEEEu);
    EXPECT_EQ(flush(handle_, nullptr, &size), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(size, expected.size());
    size = static_cast<uint32_t>(words.size() * 4);
    EXPECT_EQ(flush(handle_, words.data(), &size), FCS_OK);
    EXPECT_EQ(size, expected.size());
    EXPECT_EQ(std::memcmp(words.data(), expected.data(), expected.size()), 0);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(words.data())[expected.size()], 0xEE);
    EXPECT_EQ(flush(handle_, words.data(), nullptr), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(flush(nullptr, words.data(), &size), FCS_INVALID_HANDLE);

    ASSERT_EQ(closeHandle(&handle_), FCS_OK);
    ASSERT_EQ(open(first), FCS_OK);
    EXPECT_EQ(flushed(), first);
}

TEST_F(FcsTest, FlushedSizeIsComputedWithoutWrapping) {
    uint32_t needed = 0;
    EXPECT_TRUE(dorv::fcs::flushed_size(0, UINT32_MAX - 4, &needed));
    EXPECT_EQ(needed, UINT32_MAX);
    EXPECT_FALSE(dorv::fcs::flushed_size(0, UINT32_MAX - 3, &needed));
    EXPECT_FALSE(dorv::fcs::flushed_size(2, UINT32_MAX - 27, &needed));
    EXPECT_TRUE(dorv::fcs::flushed_size(2, UINT32_MAX - 28, &needed));
    EXPECT_FALSE(dorv::fcs::flushed_size(0x15555555, 0, &needed));  // 4 + 12 n is 2^32
    needed = 123;
    EXPECT_FALSE(dorv::fcs::flushed_size(uint64_t{1} << 40, 0, &needed));
    EXPECT_EQ(needed, 123u);
}

TEST_F(FcsTest, ListingRunsInNameOrderAndRestartsAfterChanges) {
    ASSERT_EQ(createHandle(&handle_), FCS_OK);
    char out[64] = "untouched";
    EXPECT_EQ(getFirstFileInRoot(handle_, out), FCS_NO_MORE_FILES);
    EXPECT_EQ(getNextFile(handle_, out), FCS_NO_MORE_FILES);  // nowhere to stand
    EXPECT_STREQ(out, "untouched");

    // Names without the table's leading '/', so that deleteFile can reach them.
    ASSERT_EQ(add("gamma", make_record(kGamma, {})), FCS_OK);
    ASSERT_EQ(add("alpha", make_record(kAlpha, {})), FCS_OK);
    ASSERT_EQ(add("beta", make_record(kBeta, {})), FCS_OK);
    // A successful add restarts the walk, so the next file is the second.
    EXPECT_EQ(getNextFile(handle_, out), FCS_OK);
    EXPECT_STREQ(out, "beta");
    EXPECT_EQ(getNextFile(handle_, out), FCS_OK);
    EXPECT_STREQ(out, "gamma");
    EXPECT_EQ(getNextFile(handle_, out), FCS_NO_MORE_FILES);
    EXPECT_EQ(getNextFile(handle_, out), FCS_NO_MORE_FILES);
    EXPECT_STREQ(out, "gamma");
    ASSERT_EQ(add("delta", make_record(kDelta, {})), FCS_OK);  // restarts an ended walk
    EXPECT_EQ(getNextFile(handle_, out), FCS_OK);
    EXPECT_STREQ(out, "beta");

    EXPECT_EQ(deleteFile(handle_, "alpha"), FCS_OK);
    EXPECT_EQ(getNextFile(handle_, out), FCS_OK);
    EXPECT_STREQ(out, "delta");
    EXPECT_EQ(deleteFile(handle_, "alpha"), FCS_OPERATION_FAILED);
    EXPECT_EQ(deleteFile(handle_, "beta/"), FCS_OK);  // split at the first '/'
    EXPECT_EQ(list(), (std::vector<std::string>{"delta", "gamma"}));
    // A name that begins with '/' splits into an empty first part: never deleted.
    ASSERT_EQ(add("/home/delta", make_record(kDelta, {})), FCS_OK);
    EXPECT_EQ(deleteFile(handle_, "/home/delta"), FCS_OPERATION_FAILED);
    EXPECT_EQ(list(), (std::vector<std::string>{"/home/delta", "delta", "gamma"}));
    EXPECT_EQ(deleteFile(nullptr, "x"), FCS_INVALID_HANDLE);
    EXPECT_EQ(deleteFile(handle_, nullptr), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(getFirstFileInRoot(nullptr, out), FCS_INVALID_HANDLE);
    EXPECT_EQ(getNextFile(nullptr, out), FCS_INVALID_HANDLE);
    EXPECT_EQ(getFirstFileInRoot(handle_, nullptr), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(getNextFile(handle_, nullptr), FCS_INVALID_ARGUMENT);

    // An empty name sorts first and reads as the end of the listing.
    ASSERT_EQ(add("", make_record(kNameless, {})), FCS_OK);
    EXPECT_EQ(getFirstFileInRoot(handle_, out), FCS_NO_MORE_FILES);
}

TEST_F(FcsTest, AddNewFileTestsInOrder) {
    Bytes record = make_record(kAlpha, {1, 2});
    EXPECT_EQ(addNewFile(nullptr, "", "/home/alpha", nullptr, 11, false), FCS_INVALID_HANDLE);
    ASSERT_EQ(createHandle(&handle_), FCS_OK);
    EXPECT_EQ(addNewFile(handle_, "", "/home/alpha", nullptr, 11, false), FCS_BUFFER_TOO_SMALL);
    EXPECT_EQ(addNewFile(handle_, "", "/home/alpha", nullptr, 12, false), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(addNewFile(handle_, nullptr, "/home/alpha", record.data(), 14, false),
              FCS_INVALID_ARGUMENT);
    EXPECT_EQ(addNewFile(handle_, "", nullptr, record.data(), 14, false), FCS_INVALID_ARGUMENT);

    EXPECT_EQ(add("/home/none", make_record(0, pattern(99, 0)), true), FCS_NAME_NOT_IN_TABLE);
    EXPECT_EQ(add("/home/none", make_record(kUnknown, pattern(99, 0)), true),
              FCS_FILE_NOT_IN_TABLE);
    // The number found by name is written into the caller's record even when a later test fails.
    Bytes unnumbered = make_record(0, pattern(17, 0));
    EXPECT_EQ(addNewFile(handle_, "", "/home/alpha", unnumbered.data(), 29, true),
              FCS_FILE_TOO_LARGE);
    EXPECT_EQ(unnumbered, make_record(kAlpha, pattern(17, 0)));
    EXPECT_EQ(list(), std::vector<std::string>{});

    // Size check at max_data_size + 12; off without it; a maximum of 2^32 - 1 does not wrap.
    EXPECT_EQ(add("/home/alpha", make_record(kAlpha, pattern(16, 0)), true), FCS_OK);
    EXPECT_EQ(add("/home/beta", make_record(kBeta, pattern(5, 0)), true), FCS_FILE_TOO_LARGE);
    EXPECT_EQ(add("/home/beta", make_record(kBeta, pattern(65523, 0)), false), FCS_OK);
    EXPECT_EQ(add("/home/delta", make_record(kDelta, pattern(65523, 0)), true), FCS_OK);
    // An existing name: 11, but only after the table and size tests.
    EXPECT_EQ(add("/home/alpha", make_record(kUnknown, {})), FCS_FILE_NOT_IN_TABLE);
    EXPECT_EQ(add("/home/alpha", make_record(kAlpha, pattern(17, 0)), true), FCS_FILE_TOO_LARGE);
    EXPECT_EQ(add("/home/alpha", make_record(kAlpha, {})), FCS_FILE_EXISTS);

    // Only the number is checked against the table; the path is not used; a
    // trailing '/' makes a different name; data_length is the record's.
    Bytes odd = make_record(kGamma, {7, 7, 7}, 0x40, 0x02, 0, 999);
    EXPECT_EQ(addNewFile(handle_, "/some/dir", "/home/alpha/", odd.data(), 15, false), FCS_OK);
    EXPECT_EQ(fetch("/home/alpha/"), make_record(kGamma, {7, 7, 7}, 0x40, 0x02, 0, 3));
    EXPECT_EQ(list(), (std::vector<std::string>{"/home/alpha", "/home/alpha/", "/home/beta",
                                                "/home/delta"}));
}

TEST_F(FcsTest, NamesLongerThanAFieldAreKeptAtFortyEightBytesAndStayUnique) {
    ASSERT_EQ(createHandle(&handle_), FCS_OK);
    // Both names become kLongName in the tree: the second would make a table
    // that flushes but can never be opened again, so it is refused.
    EXPECT_EQ(add(kLongName + "-first", make_record(kLong, {1})), FCS_OK);
    EXPECT_EQ(add(kLongName + "-second", make_record(kLong, {2})), FCS_FILE_EXISTS);
    EXPECT_EQ(add(kLongName, make_record(kLong, {3})), FCS_FILE_EXISTS);
    EXPECT_EQ(list(), std::vector<std::string>{kLongName});
    EXPECT_EQ(fetch(kLongName), make_record(kLong, {1}));

    uint32_t size = 0;
    ASSERT_EQ(flush(handle_, nullptr, &size), FCS_BUFFER_TOO_SMALL);
    std::vector<uint32_t> out((size + 3) / 4);
    ASSERT_EQ(flush(handle_, out.data(), &size), FCS_OK);
    fcs_handle_t* reopened = nullptr;
    EXPECT_EQ(createHandleFromStructure(&reopened, reinterpret_cast<const uint8_t*>(out.data()),
                                        size),
              FCS_OK);
    EXPECT_EQ(closeHandle(&reopened), FCS_OK);
}

TEST_F(FcsTest, GetFileDataAndAttributes) {
    ASSERT_EQ(open(FcsBuilder().file(kLong, pattern(8, 9), 0x05, 0x06).build()), FCS_OK);
    const Bytes record = make_record(kLong, pattern(8, 9), 0x05, 0x06, 16);
    EXPECT_EQ(list(), std::vector<std::string>{kLongName});  // bounded at 48 bytes

    Bytes out(32, 0xEE);
    uint32_t length = 19;
    EXPECT_EQ(getFileData(handle_, kLongName.c_str(), out.data(), &length), FCS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(out, Bytes(32, 0xEE));
    EXPECT_EQ(getFileData(handle_, kLongName.c_str(), out.data(), &length), FCS_OK);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 20), record);
    EXPECT_EQ(getFileData(handle_, "/home/alpha", out.data(), &length), FCS_OPERATION_FAILED);
    EXPECT_EQ(getFileData(handle_, kLongName.c_str(), nullptr, &length), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(getFileData(handle_, kLongName.c_str(), out.data(), nullptr), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(getFileData(handle_, nullptr, out.data(), &length), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(getFileData(nullptr, kLongName.c_str(), out.data(), &length), FCS_INVALID_HANDLE);

    fcs_file_info_t info{};
    ASSERT_EQ(getFileAttributes(handle_, kLongName.c_str(), &info), FCS_OK);
    EXPECT_EQ(std::memcmp(&info.header, record.data(), 12), 0);
    EXPECT_EQ(+info.attributes, 0x0005);
    EXPECT_EQ(+info.max_data_size, 8u);
    // A name the table lacks: the header is filled, the rest left alone.
    ASSERT_EQ(add("/home/beta/", make_record(kBeta, {1})), FCS_OK);
    fcs_file_info_t partial;
    std::memset(&partial, 0xCC, sizeof partial);
    EXPECT_EQ(getFileAttributes(handle_, "/home/beta/", &partial), FCS_FILE_NOT_IN_TABLE);
    EXPECT_EQ(+partial.header.file_number, kBeta);
    EXPECT_EQ(+partial.attributes, 0xCCCC);
    EXPECT_EQ(getFileAttributes(handle_, "/home/beta", &info), FCS_OPERATION_FAILED);
    EXPECT_EQ(getFileAttributes(handle_, "/home/beta/", nullptr), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(getFileAttributes(handle_, nullptr, &info), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(getFileAttributes(nullptr, "/home/beta/", &info), FCS_INVALID_HANDLE);
}

TEST_F(FcsTest, HandleSlotsAndLoadingIntoAnOpenHandle) {
    const Bytes buffer = FcsBuilder().file(kBeta, {2}).file(kGamma, {3}).file(kGamma, {4}).build();
    EXPECT_EQ(createHandle(nullptr), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(closeHandle(nullptr), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(createHandleFromStructure(nullptr, buffer.data(), 4), FCS_INVALID_ARGUMENT);
    EXPECT_EQ(createHandleFromStructure(&handle_, nullptr, 4), FCS_INVALID_ARGUMENT);
    const Bytes empty = {0, 0, 0, 0};
    EXPECT_FALSE(loadDataFromFcsBuffer(nullptr, empty.data(), 4));  // even with nothing to add

    ASSERT_EQ(createHandle(&handle_), FCS_OK);
    EXPECT_FALSE(loadDataFromFcsBuffer(handle_, nullptr, 4));
    ASSERT_EQ(add("/home/alpha", make_record(kAlpha, {1})), FCS_OK);
    // Records before the rejected duplicate stay in the tree.
    EXPECT_FALSE(
        loadDataFromFcsBuffer(handle_, buffer.data(), static_cast<uint32_t>(buffer.size())));
    EXPECT_EQ(list(), (std::vector<std::string>{"/home/alpha", "/home/beta", "/home/gamma"}));
    EXPECT_EQ(closeHandle(&handle_), FCS_OK);
    EXPECT_EQ(handle_, nullptr);
    EXPECT_EQ(closeHandle(&handle_), FCS_INVALID_HANDLE);

    // Without a selected table every record is skipped and adds find nothing.
    dorv::test::reset_file_table_state();
    ASSERT_EQ(open(buffer), FCS_OK);
    EXPECT_EQ(list(), std::vector<std::string>{});
    EXPECT_EQ(add("/home/alpha", make_record(0, {})), FCS_NAME_NOT_IN_TABLE);
    EXPECT_EQ(add("/home/alpha", make_record(kAlpha, {})), FCS_FILE_NOT_IN_TABLE);
}

// Every allocation in turn fails once: each call answers 9 (or succeeds where
// the failure could be absorbed), nothing leaks, and a failed open leaves the
// slot empty.
TEST_F(FcsTest, AllocationFailuresAnswerOutOfMemory) {
    const Bytes buffer = FcsBuilder().file(kLong, pattern(8, 1)).file(kAlpha, {1}).build();
    bool completed = false;
    int out_of_memory = 0;
    for (long k = 0; !completed; ++k) {
        fcs_handle_t* handle = nullptr;
        fcs_status_t opened, added = FCS_OK, flushed_status = FCS_OK;
        uint32_t size = 0;
        Bytes record = make_record(0, {1, 2});
        {
            dorv::test::AllocFailure failure(k);
            opened = createHandleFromStructure(&handle, buffer.data(),
                                               static_cast<uint32_t>(buffer.size()));
            if (opened == FCS_OK) {
                added = addNewFile(handle, "", "/home/beta", record.data(), 14, true);
                flushed_status = flush(handle, nullptr, &size);
            }
            completed = !failure.triggered();
        }
        out_of_memory += (opened == FCS_OUT_OF_MEMORY) + (added == FCS_OUT_OF_MEMORY) +
                         (flushed_status == FCS_OUT_OF_MEMORY);
        if (opened != FCS_OK) {
            EXPECT_EQ(opened, FCS_OUT_OF_MEMORY) << k;
            EXPECT_EQ(handle, nullptr) << k;
            continue;
        }
        EXPECT_TRUE(added == FCS_OK || added == FCS_OUT_OF_MEMORY) << k;
        EXPECT_TRUE(flushed_status == FCS_BUFFER_TOO_SMALL || flushed_status == FCS_OUT_OF_MEMORY)
            << k;
        handle_ = handle;
        const std::vector<std::string> names = list();
        EXPECT_EQ(names.size(), added == FCS_OK ? 3u : 2u) << k;
        EXPECT_EQ(closeHandle(&handle_), FCS_OK);
    }
    EXPECT_GT(out_of_memory, 10);
}

}  // namespace
