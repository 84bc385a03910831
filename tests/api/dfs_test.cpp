// DFS and the mini VFS over a real AFS partition (created by the AFS mount
// with its format flags) and a real formatted EFS image: the file-number
// rule, both folding rules, the missing-side answers, the cache sizing and
// the context's life across mounts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/dfs_internal.h"
#include "dorv/dfs.h"
#include "dorv/efs.h"
#include "dorv/file_table.h"
#include "efs/efs_state.h"
#include "support/alloc_failure.h"
#include "support/efs_image_builder.h"
#include "support/ftbl_builder.h"
#include "support/library_reset.h"

namespace {

using dorv::dfs::FoldRule;
using dorv::test::EfsLayoutRow;
using dorv::test::FtblBuilder;
using dorv::test::FtblEntry;

constexpr uint32_t kSku = 7;
constexpr uint32_t kAfsImageSize = 0x10000;

// File-table names used by the tests.
constexpr uint32_t kAfsFile = 0x10000005;    // AFS id 5, top bits 1
constexpr uint32_t kEfsFile = 0x10001001;    // EFS index 1, top bits 1
constexpr uint32_t kEfsEmpty = 0x00001002;   // EFS index 2, never written
constexpr uint32_t kEfsSmall = 0x00001003;   // EFS index 3, max size 8

const EfsLayoutRow kEfsRow = [] {
    EfsLayoutRow row = dorv::test::efs_row(2, 4, 2, {{1, 0, 0, 300}, {2, 1, 0, 100}, {3, 1, 200, 8}}, 4);
    row.sku_id = kSku;
    return row;
}();

std::vector<uint8_t> file_table(std::vector<FtblEntry> entries) {
    return FtblBuilder().add_sku(kSku, std::move(entries)).add_efs_row(kEfsRow).build();
}

std::vector<uint8_t> bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

class Dfs : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        dorv::test::resetLibraryState();
        dorv::efs::reset_efs_state();
    }

    void select(std::vector<FtblEntry> entries) {
        ftbl_ = file_table(std::move(entries));
        ASSERT_EQ(load_file_table(ftbl_.data(), kSku, static_cast<uint32_t>(ftbl_.size())), 0);
    }

    // An AFS partition as the AFS mount creates it on blank flash: formatted
    // translation layer and a new header, then released again.
    void create_afs() {
        afs_image_.assign(kAfsImageSize, 0xFF);
        afs_context_t ctx{};
        std::vector<uint8_t> bounce(4096);
        ctx.bounce_buffer = bounce.data();
        const uint32_t flags = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_MOUNT_FTL | AFS_INIT_BIND_DEVICE |
                               AFS_INIT_CREATE | AFS_INIT_FORMAT;
        const uint32_t status = afs_init(&ctx, afs_image_.data(), 64, 10, 1024, 0, kAfsImageSize, flags, 0, 0);
        afs_free_context(&ctx);
        ASSERT_EQ(status, 0u);
    }

    void mount_afs() {
        create_afs();
        ASSERT_EQ(dfs_init(afs_image_.data(), kAfsImageSize), 0);
        ASSERT_NE(dfs_context, nullptr);
    }

    // A formatted and mounted EFS under the selected layout.
    void mount_efs() {
        efs_image_.assign(EFS_get_efs_size(), 0x00);
        ASSERT_FALSE(efs_image_.empty());
        efs_image = efs_image_.data();
        ASSERT_EQ(EFS_physical_init(0), 0);
        ASSERT_EQ(EFS_do_format(), 0);
        ASSERT_EQ(EFS_init_tools(efs_image_.data()), 0);
        ASSERT_EQ(EFS_is_initialized(), 1);
    }

    std::vector<uint8_t> read_all(dfs_file_number_t number, uint32_t want, int expect = 0) {
        std::vector<uint8_t> out(want + 16, 0xEE);
        uint32_t length = want;
        EXPECT_EQ(dfs_read(number, 0, &length, out.data()), expect);
        out.resize(expect == 0 ? length : 0);
        return out;
    }

    std::vector<uint8_t> ftbl_;
    std::vector<uint8_t> afs_image_;
    std::vector<uint8_t> efs_image_;
};

TEST_F(Dfs, FileNumberRuleByTable) {
    const std::string long_name(48, 'n');
    select({
        {"/home/sel2", 0x10000123, 0, 5, 2, 64},
        {"/home/sel1", 0x10000123, 0, 5, 1, 64},
        {"/home/sel0", 0x10000123, 0, 5, 0, 64},
        {"/home/sel3", 0x10000123, 0, 5, 3, 64},
        {"/home/wide", 0x10000123, 0, 0x0805, 2, 64},
        {"/home/zero", 0x00000123, 0, 0, 1, 64},
        {"/home/sel6", 0xF0000001, 0, 0xFFFF, 6, 64},
        {long_name, 0x20000000, 0, 9, 0, 64},
    });
    struct Case {
        std::string name;
        dfs_file_number_t number;
    };
    const Case cases[] = {
        {"/home/sel2", 0x10001005}, {"/home/sel1", 0x10000005}, {"/home/sel0", 0x10000005},
        {"/home/sel3", 0x10001805}, {"/home/wide", 0x10001005}, {"/home/zero", 0},
        // Selector bits above the store bits land in bits 13 and up.
        {"/home/sel6", 0xF0000000u | 0x7FF | (6u << 11)},
        // Only the first 48 characters are compared.
        {long_name + "tail", 0x20000009},
    };
    for (const Case& c : cases) {
        dfs_file_number_t number = 0xDEADBEEF;
        EXPECT_EQ(pathToFileNumber(c.name.c_str(), &number), 0) << c.name;
        EXPECT_EQ(number, c.number) << c.name;
    }
    dfs_file_number_t untouched = 0xDEADBEEF;
    EXPECT_EQ(pathToFileNumber("/home/none", &untouched), 2);
    EXPECT_EQ(untouched, 0xDEADBEEFu);
    EXPECT_EQ(pathToFileNumber("/home/sel2", nullptr), 1);
    EXPECT_EQ(pathToFileNumber(nullptr, &untouched), 1);
    EXPECT_EQ(untouched, 0xDEADBEEFu);
    // No table selected: every name is absent.
    dorv::test::resetLibraryState();
    EXPECT_EQ(pathToFileNumber("/home/sel2", &untouched), 2);
}

TEST_F(Dfs, FoldingRulesByTable) {
    struct Case {
        int64_t code;
        int read;
        int write;
    };
    const Case cases[] = {
        {0, 0, 0},    {2, 2, 5},    {22, 22, 22}, {27, 5, 27},  {28, 5, 28},   {1, 5, 5},
        {4, 5, 5},    {5, 5, 5},    {11, 5, 5},   {12, 5, 5},   {34, 5, 5},    {41, 5, 5},
        {99, 5, 5},   {-1, 5, 5},   {-22, 5, 5},  {0xFFFD, 5, 5}, {0x9797, 5, 5}, {0x100000002LL, 5, 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dorv::dfs::fold(FoldRule::Read, c.code), c.read) << c.code;
        EXPECT_EQ(dorv::dfs::fold(FoldRule::Write, c.code), c.write) << c.code;
    }
}

TEST_F(Dfs, MissingSides) {
    select({});
    uint8_t buf[16] = {};
    uint32_t length = sizeof buf;
    uint32_t size = 0xABCD;
    // No context and EFS not mounted.
    EXPECT_EQ(dfs_read(kAfsFile, 0, &length, buf), 22);
    EXPECT_EQ(dfs_write(kAfsFile, 0, 4, buf, 0), 22);
    EXPECT_EQ(dfs_getsize(kAfsFile, &size), 2);
    EXPECT_EQ(dfs_getsize(kEfsFile, &size), 2);
    EXPECT_EQ(dfs_getsize(0x1800, &size), 2);  // before the store test
    EXPECT_EQ(size, 0xABCDu);
    EXPECT_EQ(dfs_delete_file(kAfsFile & 0x7FF), 2);
    EXPECT_EQ(dfs_delete_file(kEfsFile), 22);
    EXPECT_EQ(dfs_mark_zombie_file(5), 22);
    EXPECT_EQ(dfs_force_full_reclaim(), 22);
    EXPECT_EQ(dfs_force_dirty_erase(), 22);
    EXPECT_EQ(dfs_set_page_size(64), 22);
    EXPECT_EQ(dfs_idle_reclaim(), 22);
    EXPECT_EQ(dfs_idle_reclaim_needed(), 0);
    dfs_set_idle_reclaim_enabled();
    EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
    EXPECT_EQ(dfs_is_fs_erased(), 0);
    EXPECT_EQ(dfs_terminate(), 0);
    EXPECT_EQ(dfs_context, nullptr);

    // Context present, EFS not mounted.
    mount_afs();
    length = sizeof buf;
    EXPECT_EQ(dfs_read(kEfsFile, 0, &length, buf), 2);
    EXPECT_EQ(dfs_write(kEfsFile, 0, 4, buf, 0), 5);
    EXPECT_EQ(dfs_getsize(kEfsFile, &size), 5);
    EXPECT_EQ(dfs_delete_file(kEfsFile), 22);
    // Store bits 3 and 1 are no store.
    for (dfs_file_number_t bad : {0x1805u, 0x0805u}) {
        length = sizeof buf;
        EXPECT_EQ(dfs_read(bad, 0, &length, buf), 22);
        EXPECT_EQ(dfs_write(bad, 0, 4, buf, 0), 22);
        EXPECT_EQ(dfs_getsize(bad, &size), 22);
        EXPECT_EQ(dfs_delete_file(bad), 22);
    }
    length = 4;
    EXPECT_EQ(dfs_read(kAfsFile, 0, nullptr, buf), 22);
}

TEST_F(Dfs, SmokeAfsRoundTripThroughDfsAndTheMiniVfs) {
    select({{"/home/afs", kAfsFile, 0, 5, 0, 4096}, {"/home/afs_absent", 0x6, 0, 6, 1, 64}});
    mount_afs();
    const std::vector<uint8_t> data = bytes(1000, 3);
    // The top four bits do not take part in reading, writing and sizing.
    ASSERT_EQ(dfs_write(kAfsFile, 0, 1000, data.data(), 0), 0);
    uint32_t size = 0;
    EXPECT_EQ(dfs_getsize(kAfsFile & 0x7FF, &size), 0);
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(read_all(kAfsFile, 2000), data);
    EXPECT_EQ(read_all(5, 1000), data);

    // A shorter value cut at its end (flag bit 0), as termination writes it.
    const std::vector<uint8_t> shorter = bytes(100, 9);
    ASSERT_EQ(dfs_write(kAfsFile, 0, 100, shorter.data(), 1), 0);
    EXPECT_EQ(dfs_getsize(kAfsFile, &size), 0);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(read_all(kAfsFile, 1000), shorter);
    // Without the flag the tail stays.
    const std::vector<uint8_t> head = bytes(10, 50);
    ASSERT_EQ(dfs_write(kAfsFile, 0, 10, head.data(), 0), 0);
    std::vector<uint8_t> expect = shorter;
    std::copy(head.begin(), head.end(), expect.begin());
    EXPECT_EQ(read_all(kAfsFile, 1000), expect);

    // The mini VFS reads by name and drops the count.
    std::vector<uint8_t> buf(300, 0xEE);
    EXPECT_EQ(readVfs("/home/afs", 90, buf.data(), 300), 0);
    EXPECT_TRUE(std::equal(expect.begin() + 90, expect.end(), buf.begin()));
    EXPECT_EQ(buf[10], 0xEE);
    EXPECT_EQ(readVfs("/home/afs_absent", 0, buf.data(), 4), 6);  // DFS answered 2
    EXPECT_EQ(readVfs("/home/none", 0, buf.data(), 4), 2);
    EXPECT_EQ(readVfs(nullptr, 0, buf.data(), 4), 2);

    // Delete and zombie marking take the whole number: bit 28 makes it invalid.
    EXPECT_EQ(dfs_delete_file(kAfsFile), 22);
    EXPECT_EQ(dfs_mark_zombie_file(kAfsFile), 22);
    EXPECT_EQ(dfs_mark_zombie_file(5), 99);  // in use, AFS's code unchanged
    EXPECT_EQ(dfs_delete_file(5), 0);
    EXPECT_EQ(dfs_getsize(kAfsFile, &size), 2);
    read_all(kAfsFile, 10, 2);
    EXPECT_EQ(dfs_delete_file(5), 2);
    EXPECT_EQ(dfs_mark_zombie_file(5), 0);
    EXPECT_EQ(dfs_getsize(5, &size), 2);  // a zombie reads as no file
    EXPECT_EQ(dfs_delete_file(5), 0);
    // An index beyond the file count, bits 13-27 included, is AFS's 22.
    EXPECT_EQ(dfs_getsize(1 << 13, &size), 22);

    // The changes are on the image: a fresh mount sees them, and releases
    // the earlier context (the leak checker sees it otherwise).
    ASSERT_EQ(dfs_write(7, 0, 100, shorter.data(), 0), 0);
    EXPECT_EQ(dfs_terminate(), 0);
    EXPECT_EQ(dfs_getsize(7, &size), 0);
    ASSERT_EQ(mini_vfs_init(afs_image_.data(), kAfsImageSize), 0);
    EXPECT_EQ(read_all(7, 200), shorter);
    EXPECT_EQ(dfs_getsize(5, &size), 2);
}

TEST_F(Dfs, AfsCodesFoldedOnWrite) {
    mount_afs();
    const std::vector<uint8_t> data = bytes(0x40001, 1);
    // 27 passes: the end lies beyond the largest file.
    EXPECT_EQ(dfs_write(5, 1, 0x40000, data.data(), 0), 27);
    // 28 passes: the largest file does not fit the partition.
    EXPECT_EQ(dfs_write(5, 0, 0x40000, data.data(), 0), 28);
    uint32_t size = 0;
    EXPECT_EQ(dfs_getsize(5, &size), 2);
    // AFS's out-of-memory reaches the caller as an input/output error.
    if (dorv::test::AllocFailure::coversCAllocations()) {
        bool triggered = false;
        const int status =
            dorv::test::runWithAllocFailure(0, triggered, [&] { return dfs_write(5, 0, 10, data.data(), 0); });
        EXPECT_TRUE(triggered);
        EXPECT_EQ(status, 5);
        EXPECT_EQ(dfs_getsize(5, &size), 2);
    }
    ASSERT_EQ(dfs_write(5, 0, 10, data.data(), 0), 0);
    EXPECT_EQ(read_all(5, 10), std::vector<uint8_t>(data.begin(), data.begin() + 10));
}

TEST_F(Dfs, PageSizeAndReclaimControls) {
    mount_afs();
    const std::vector<uint8_t> data = bytes(700, 11);
    ASSERT_EQ(dfs_write(3, 0, 700, data.data(), 0), 0);
    struct Case {
        uint32_t page;
        int status;
        uint16_t lines;
    };
    const Case cases[] = {{64, 0, 128}, {192, 0, 42}, {4096, 0, 2}, {4160, 22, 2}, {0, 22, 2}, {32, 22, 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(dfs_set_page_size(c.page), c.status) << c.page;
        if (c.status == 0) {
            EXPECT_EQ(dfs_context->line_size, c.page);
        }
        EXPECT_EQ(dfs_context->lines, c.lines) << c.page;
        EXPECT_EQ(read_all(3, 700), data) << c.page;
    }
    EXPECT_FALSE(dfs_get_idle_reclaim_enabled());
    dfs_set_idle_reclaim_enabled();
    EXPECT_TRUE(dfs_get_idle_reclaim_enabled());
    const int needed = dfs_idle_reclaim_needed();
    EXPECT_TRUE(needed == 0 || needed == 1) << needed;
    // One maintenance step on a freshly formatted partition has nothing to fail on.
    EXPECT_EQ(dfs_idle_reclaim(), 0);
    int full = 11;
    for (int i = 0; i < 64 && full == 11; ++i) full = dfs_force_full_reclaim();
    EXPECT_EQ(full, 0);
    EXPECT_NE(dfs_force_dirty_erase(), 22);
    EXPECT_EQ(read_all(3, 700), data);
}

TEST_F(Dfs, MountFailuresAndContextLife) {
    std::vector<uint8_t> blank(kAfsImageSize, 0xFF);
    // No partition on the image: the mount's 5, context kept but unusable.
    EXPECT_EQ(dfs_init(blank.data(), kAfsImageSize), 5);
    EXPECT_NE(dfs_context, nullptr);
    EXPECT_EQ(blank, std::vector<uint8_t>(kAfsImageSize, 0xFF));
    uint8_t buf[8] = {};
    uint32_t length = sizeof buf;
    EXPECT_EQ(dfs_read(1, 0, &length, buf), 22);
    EXPECT_EQ(dfs_write(1, 0, 4, buf, 0), 22);
    EXPECT_EQ(dfs_set_page_size(64), 22);
    EXPECT_EQ(dfs_mark_zombie_file(1), 22);
    EXPECT_EQ(dfs_idle_reclaim(), 22);
    EXPECT_EQ(dfs_idle_reclaim_needed(), 0);
    // A size the mount refuses.
    EXPECT_EQ(dfs_init(blank.data(), 0x1000), 22);
    EXPECT_NE(dfs_context, nullptr);
    EXPECT_EQ(mini_vfs_init(blank.data(), 0x1000), 1);
    EXPECT_EQ(mini_vfs_init(blank.data(), kAfsImageSize), 1);

    if (dorv::test::AllocFailure::coversCAllocations()) {
        for (long successes : {0L, 1L}) {  // the context, then its bounce buffer
            bool triggered = false;
            const int status =
                dorv::test::runWithAllocFailure(successes, triggered, [&] { return dfs_init(blank.data(), kAfsImageSize); });
            EXPECT_TRUE(triggered) << successes;
            EXPECT_EQ(status, -1) << successes;
            EXPECT_EQ(dfs_context, nullptr) << successes;
            EXPECT_EQ(dfs_idle_reclaim(), 22);
        }
    }
    // After all that, a partition that is there still mounts.
    mount_afs();
    uint32_t size = 0;
    EXPECT_EQ(dfs_getsize(1, &size), 2);
}

TEST_F(Dfs, EfsRoundTripAndFoldedCodes) {
    select({{"/home/efs", kEfsFile, 0, 1, 2, 300}, {"/home/efs_empty", kEfsEmpty, 0, 2, 2, 100}});
    mount_efs();
    const std::vector<uint8_t> data = bytes(250, 5);
    // Served by EFS without any AFS context; sizing needs the context.
    ASSERT_EQ(dfs_write(kEfsFile, 0, 250, data.data(), 1), 0);
    EXPECT_EQ(read_all(kEfsFile, 400), data);
    uint32_t size = 0;
    EXPECT_EQ(dfs_getsize(kEfsFile, &size), 2);
    mount_afs();
    EXPECT_EQ(dfs_getsize(kEfsFile, &size), 0);
    EXPECT_EQ(size, 250u);
    EXPECT_EQ(dfs_getsize(kEfsFile & 0x0FFFFFFF, &size), 0);

    std::vector<uint8_t> buf(64, 0xEE);
    EXPECT_EQ(readVfs("/home/efs", 200, buf.data(), 64), 0);
    EXPECT_TRUE(std::equal(data.begin() + 200, data.end(), buf.begin()));
    EXPECT_EQ(readVfs("/home/efs_empty", 0, buf.data(), 4), 6);

    // EFS's 2 (empty file) passes on reading; its 34 and 22 on writing.
    read_all(kEfsEmpty, 10, 2);
    EXPECT_EQ(dfs_getsize(kEfsEmpty, &size), 2);
    const std::vector<uint8_t> big = bytes(9, 1);
    EXPECT_EQ(dfs_write(kEfsSmall, 0, 9, big.data(), 0), 5);   // beyond max size: 34
    EXPECT_EQ(dfs_write(kEfsSmall, 1, 4, big.data(), 0), 22);  // offset not 0
    EXPECT_EQ(dfs_write(kEfsSmall, 0, 8, big.data(), 0), 0);
    EXPECT_EQ(read_all(kEfsSmall, 8), std::vector<uint8_t>(big.begin(), big.begin() + 8));
    // A read beyond the stored length is EFS's 34.
    uint32_t length = 1;
    EXPECT_EQ(dfs_read(kEfsSmall, 9, &length, buf.data()), 5);
    EXPECT_EQ(length, 0u);
    // An index beyond the file count is EFS's 22, bits 13-27 included.
    length = 1;
    EXPECT_EQ(dfs_read(0x1000 | (1 << 13) | 1, 0, &length, buf.data()), 22);
    // Deleting through DFS is refused; the file stays.
    EXPECT_EQ(dfs_delete_file(kEfsFile), 22);
    EXPECT_EQ(read_all(kEfsFile, 400), data);

    // A corrupted record is EFS's 41, an input/output error here.
    const size_t block = kEfsRow.bm_num + efs_ctx.valid_map[0];
    efs_image_[block * 4096 + 16 + 4 + 10] ^= 0x40;  // a data byte of the record at offset 0
    read_all(kEfsFile, 10, 5);
    EXPECT_EQ(dfs_getsize(kEfsFile, &size), 5);
}

}  // namespace
