// AFS partition and file operations: layouts of new partitions, the bytes of
// the header and the tables on flash, mount checks of damaged tables, the
// contexts that must refuse work, and the edge cases of the file operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "afs/afs_layout.h"
#include "afs/afs_state.h"
#include "common/le_bytes.h"
#include "support/afs_volume.h"
#include "support/alloc_failure.h"

namespace {

using dorv::test::afs_pattern;
using dorv::test::AfsVolume;
using dorv::test::kAfsCreateFlags;
using dorv::test::kAfsMountFlags;

class AfsPartition : public ::testing::Test {
protected:
    void SetUp() override { dorv::afs::reset_module_state(); }
    void TearDown() override { dorv::afs::reset_module_state(); }
};

// Logical bytes through the line cache of a mounted context.
uint16_t peek16(afs_context_t& ctx, uint32_t address) {
    uint8_t* line = nullptr;
    EXPECT_EQ(cache_ptr(&ctx, address / ctx.line_size, &line), 0u);
    return line == nullptr ? 0 : dorv::le::load16(line + address % ctx.line_size);
}
void poke16(afs_context_t& ctx, uint32_t address, uint16_t value) {
    uint8_t* line = nullptr;
    ASSERT_EQ(cache_ptr(&ctx, address / ctx.line_size, &line), 0u);
    dorv::le::store16(line + address % ctx.line_size, value);
    cache_line_written(&ctx, line + address % ctx.line_size);
    ASSERT_EQ(cache_flush(&ctx), 0u);
}
uint16_t entry_of(afs_context_t& ctx, uint32_t id) { return peek16(ctx, 14 + 2 * id); }

// The unit index whose header carries `id`, or -1.
int unit_with_id(const std::vector<uint8_t>& image, uint16_t id) {
    for (uint32_t u = 0; u < image.size() / 8192; ++u) {
        if (dorv::le::load32(&image[u * 8192]) == 0xAA557887u && dorv::le::load16(&image[u * 8192 + 14]) == id) {
            return static_cast<int>(u);
        }
    }
    return -1;
}

TEST_F(AfsPartition, NewPartitionsTakeTheStandardLayoutAndAreWritableAtOnce) {
    struct Case {
        uint32_t size, files;
        uint8_t fill;
    };
    const Case cases[] = {{0x8000, 1024, 0xFF}, {0x8000, 65, 0x00}, {0x12000, 2048, 0xFF}, {0x20000, 2048, 0x5A},
                          {0x2E000, 2048, 0xFF}, {0x30000, 2048, 0xFF}, {0x100000, 1024, 0x33}, {0x1FE000, 1024, 0xFF}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, " + std::to_string(c.files) + " files");
        AfsVolume v(c.size, c.fill);
        if (c.fill != 0xFF) v.image = afs_pattern(c.size, c.fill);  // a foreign image
        ASSERT_EQ(v.create(c.files), 0u);
        const uint32_t units = c.size / 8192;
        const uint32_t data_units = (v.ctx.vas - v.ctx.data_start) / 7808;
        EXPECT_EQ(v.ctx.vas - v.ctx.data_start, data_units * 7808u);
        EXPECT_EQ(v.ctx.chunks, data_units * 122);
        EXPECT_EQ(v.ctx.files, c.files);
        EXPECT_GE(data_units, 1u);
        EXPECT_LE(data_units + 2, units);
        // The metadata units keep at least 30 free slots beside the tables.
        EXPECT_GE((units - 1 - data_units) * 120, v.ctx.data_start / 64 + 30);
        // The standard data area is taken whole where the tables leave room.
        const uint32_t standard = afs_physical_ftl_get_data_vas(&v.ctx, 0) / 7808;
        EXPECT_LE(data_units, standard);
        if ((units - 1 - standard) * 120 >= dorv::afs::layout::data_start_of(c.files, standard * 122) / 64 + 30) {
            EXPECT_EQ(data_units, standard);
        }
        // The mount that created the partition can write it.
        const auto data = afs_pattern(5000, 7);
        ASSERT_EQ(v.write(1, 0, data), 0u);
        EXPECT_EQ(v.read(1), data);
        ASSERT_EQ(v.mount(), 0u);
        EXPECT_EQ(v.read(1), data);
        EXPECT_EQ(v.ctx.chunks, data_units * 122);
    }
}

TEST_F(AfsPartition, FormatFlags) {
    AfsVolume v(0x10000);
    v.image = afs_pattern(0x10000, 9);
    const std::vector<uint8_t> foreign = v.image;
    // Formatting is allowed but no header may be created: nothing is written.
    EXPECT_EQ(v.mount(kAfsMountFlags | AFS_INIT_FORMAT), 5u);
    EXPECT_EQ(v.image, foreign);
    // Creation without a format flag cannot make a foreign image a partition.
    EXPECT_EQ(v.mount(kAfsMountFlags | AFS_INIT_CREATE), 5u);
    EXPECT_EQ(v.image, foreign);
    // Creation with the erasing format.
    ASSERT_EQ(v.mount(kAfsMountFlags | AFS_INIT_CREATE | AFS_INIT_FORMAT_ERASE), 0u);
    ASSERT_EQ(v.write(3, 0, {1, 2}), 0u);
    // An existing partition mounts as it is under the creation flags...
    ASSERT_EQ(v.mount(kAfsCreateFlags, 100), 0u);
    EXPECT_EQ(v.ctx.files, 1024);
    EXPECT_EQ(v.read(3), (std::vector<uint8_t>{1, 2}));
    // ...and is formatted afresh with 0x100, taking the file count asked for.
    ASSERT_EQ(v.mount(kAfsMountFlags | AFS_INIT_FORCE_FORMAT | AFS_INIT_FORMAT, 100), 0u);
    EXPECT_EQ(v.ctx.files, 100);
    EXPECT_EQ(v.read(3), std::nullopt);
    ASSERT_EQ(v.write(99, 10, {5}), 0u);
    ASSERT_EQ(v.mount(kAfsMountFlags | AFS_INIT_PRELOAD), 0u);
    EXPECT_EQ(v.read(99), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}));
    // 0x100 without a format flag is refused before anything is written.
    const std::vector<uint8_t> mounted = v.image;
    EXPECT_EQ(v.mount(kAfsMountFlags | AFS_INIT_FORCE_FORMAT), 5u);
    EXPECT_EQ(v.image, mounted);
}

TEST_F(AfsPartition, PartitionAtAnOffsetOfTheImage) {
    std::vector<uint8_t> image(8192 + 0x8000 + 100, 0xFF);
    std::fill(image.begin(), image.begin() + 8192, 0x11);
    std::fill(image.end() - 100, image.end(), 0x22);
    std::vector<uint8_t> bounce(4096);
    afs_context_t ctx{};
    ctx.bounce_buffer = bounce.data();
    ASSERT_EQ(afs_init(&ctx, image.data(), 64, 10, 1024, 8192, 0x8000, kAfsCreateFlags, 0, 0), 0u);
    const auto data = afs_pattern(3000, 8);
    ASSERT_EQ(afs_writefile(&ctx, 9, 0, 3000, data.data(), 0), 0u);
    afs_free_context(&ctx);
    ctx = afs_context_t{};
    ctx.bounce_buffer = bounce.data();
    ASSERT_EQ(afs_init(&ctx, image.data(), 64, 10, 1024, 8192, 0x8000, kAfsMountFlags, 0, 0), 0u);
    std::vector<uint8_t> back(3000);
    int32_t length = 3000;
    ASSERT_EQ(afs_readfile(&ctx, 9, 0, &length, back.data()), 0u);
    EXPECT_EQ(back, data);
    afs_free_context(&ctx);
    EXPECT_TRUE(std::all_of(image.begin(), image.begin() + 8192, [](uint8_t b) { return b == 0x11; }));
    EXPECT_TRUE(std::all_of(image.end() - 100, image.end(), [](uint8_t b) { return b == 0x22; }));
    // The mount refuses a partition whose end does not fit 32 bits.
    ctx = afs_context_t{};
    EXPECT_EQ(afs_init(&ctx, image.data(), 64, 10, 1024, 0xFFFFF000u, 0x8000, kAfsMountFlags, 0, 0), 22u);
}

TEST_F(AfsPartition, HeaderAndTablesOnFlash) {
    AfsVolume v(0x8000);
    v.ctx.bounce_buffer = v.bounce.data();
    ASSERT_EQ(afs_init(&v.ctx, v.image.data(), 64, 10, 65, 0, 0x8000, kAfsCreateFlags, 0x1AB, 0xFEDC), 0u);
    // 65 files, 2 data units: 244 chunks, data start 640, logical size 640 + 244 x 64.
    EXPECT_EQ(v.ctx.chunks, 244);
    EXPECT_EQ(v.ctx.data_start, 640u);
    EXPECT_EQ(v.ctx.vas, 640u + 244 * 64);
    const auto data = afs_pattern(130, 3);
    ASSERT_EQ(v.write(3, 0, data), 0u);
    ASSERT_EQ(v.mount(kAfsMountFlags | AFS_INIT_READ_ONLY), 0u);

    uint8_t page[64];
    ASSERT_EQ(v.ctx.ops->read(&v.ctx, 0, 64, page, 0), 0u);
    const uint8_t header[14] = {0x01, 0x62, 0x4F, 0x72, 0xAB, 0xDC, 0x0E, 0x00, 0x80, 0x3F, 0x00, 0x00, 65, 0};
    EXPECT_EQ(std::memcmp(page, header, sizeof header), 0);
    EXPECT_EQ(v.ctx.header_word, 0x0EDCABu);

    // File 3 -> c0 -> c1 -> c2 (2 bytes), every other entry free.
    const uint16_t c0 = entry_of(v.ctx, 3);
    ASSERT_GE(c0, 65);
    const uint16_t c1 = entry_of(v.ctx, c0);
    ASSERT_GE(c1, 65);
    const uint16_t c2 = entry_of(v.ctx, c1);
    ASSERT_GE(c2, 65);
    EXPECT_EQ(entry_of(v.ctx, c2), 2);
    for (uint32_t id = 0; id < 65; ++id) {
        if (id != 3) {
            EXPECT_EQ(entry_of(v.ctx, id), 0) << id;
        }
    }
    // Each chunk's page record in its data unit: 64 bytes, crc16 over the page
    // number, status byte "written".
    const uint16_t chain[3] = {c0, c1, c2};
    for (uint32_t k = 0; k < 3; ++k) {
        const uint32_t index = chain[k] - 65u;
        const int unit = unit_with_id(v.image, static_cast<uint16_t>(640 / 64 + index / 122 * 122));
        ASSERT_GE(unit, 0);
        const uint8_t* record = &v.image[unit * 8192 + 140 + (index % 122) * 66];
        const uint32_t bytes = k < 2 ? 64 : 2;
        EXPECT_EQ(std::memcmp(record, data.data() + 64 * k, bytes), 0);
        const uint16_t logical = static_cast<uint16_t>(640 / 64 + index);
        EXPECT_EQ(dorv::le::load16(record + 64), crc16(record, 64, &logical));
        EXPECT_EQ(v.image[unit * 8192 + 18 + index % 122], 0x00);
    }
}

TEST_F(AfsPartition, DamagedTablesFailTheMount) {
    struct Case {
        std::string name;
        uint32_t address;  // logical address poked; 0xFFFFFFFF: entry of the file's first chunk
        int value;         // -1: the id of the first chunk of file 2
        uint32_t status;
    };
    const uint32_t files_at = 12, size_at = 8;
    const std::vector<Case> cases = {
        {"64 files", files_at, 64, 5},
        {"2049 files", files_at, 2049, 5},
        {"logical size below the tables", size_at, 2 * 65 + 14 + 65, 5},
        {"no metadata unit left", size_at, 0x8000 - 8192, 5},
        {"file entry names a file id", 14 + 2 * 1, 5, 5},
        {"file entry past the chunks", 14 + 2 * 1, 65 + 244, 5},
        {"two files share a chain", 14 + 2 * 1, -1, 5},
        {"link above 64 that is no chunk id", 0xFFFFFFFF, 400, 5},
        {"a chain that loops", 0xFFFFFFFF, -2, 5},
        {"a last link of 0", 0xFFFFFFFF, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dorv::afs::reset_module_state();
        AfsVolume v(0x8000);
        ASSERT_EQ(v.create(65), 0u);
        ASSERT_EQ(v.write(2, 0, afs_pattern(200, 1)), 0u);
        const uint16_t first = entry_of(v.ctx, 2);
        const uint32_t address = c.address == 0xFFFFFFFF ? 14 + 2u * first : c.address;
        const uint16_t value = static_cast<uint16_t>(c.value == -1 ? first : c.value == -2 ? first : c.value);
        if (c.address == 12 || c.address == 8) {
            // Header fields: 32-bit logical size, 16-bit file count.
            poke16(v.ctx, address, value);
            if (address == size_at) poke16(v.ctx, address + 2, 0);
        } else {
            poke16(v.ctx, address, value);
        }
        EXPECT_EQ(v.mount(), c.status);
        if (c.status == 0) {
            uint32_t size = 0;
            EXPECT_EQ(afs_getfilesize(&v.ctx, 2, &size), 0u);
            EXPECT_EQ(size, 0u);  // the first chunk is the last and holds nothing
        }
    }
}

TEST_F(AfsPartition, OnlyAMountedContextWorks) {
    uint8_t byte = 0;
    int32_t length = 1;
    uint32_t size = 0;
    auto refuses_everything = [&](afs_context_t* ctx) {
        EXPECT_EQ(afs_getfilesize(ctx, 0, &size), 22u);
        EXPECT_EQ(afs_readfile(ctx, 0, 0, &length, &byte), 22u);
        EXPECT_EQ(afs_writefile(ctx, 0, 0, 1, &byte, 0), 22u);
        EXPECT_EQ(afs_deletefile(ctx, 0), 22u);
        EXPECT_EQ(afs_mark_zombie_file(ctx, 0), 22u);
        EXPECT_EQ(afs_idle_reclaim(ctx), 22u);
        EXPECT_EQ(afs_idle_reclaim_needed(ctx), 0u);  // a yes-or-no answer: no reclaim is due
        EXPECT_EQ(afs_force_full_reclaim(ctx), 22u);
        EXPECT_EQ(afs_force_dirty_erase(ctx), 22u);
        EXPECT_EQ(afs_setcache(ctx, 64, 20), 22u);
    };
    refuses_everything(nullptr);
    AfsVolume never(0x8000);
    refuses_everything(&never.ctx);
    AfsVolume blank(0x8000);
    EXPECT_EQ(blank.mount(), 5u);  // no format flag: a blank image does not mount
    refuses_everything(&blank.ctx);
    EXPECT_TRUE(std::all_of(blank.image.begin(), blank.image.end(), [](uint8_t b) { return b == 0xFF; }));

    AfsVolume v(0x8000);
    ASSERT_EQ(v.create(), 0u);
    ASSERT_EQ(v.write(0, 0, {1, 2, 3}), 0u);
    EXPECT_EQ(afs_setcache(&v.ctx, 64, 20), 0u);
    EXPECT_EQ(v.read(0), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(afs_setcache(&v.ctx, 96, 20), 22u);
    EXPECT_EQ(afs_setcache(&v.ctx, 64, 1), 22u);
    // A mount that fails afterwards leaves a context that refuses work.
    EXPECT_EQ(afs_init(&v.ctx, v.image.data(), 64, 10, 1024, 0, 0x8000, kAfsMountFlags | AFS_INIT_NOT_FTL, 0, 0),
              22u);
    refuses_everything(&v.ctx);
    afs_free_context(&v.ctx);
    EXPECT_EQ(v.ctx.ftl_state, nullptr);
    EXPECT_EQ(v.ctx.cache_buffer, nullptr);
    EXPECT_EQ(v.ctx.size_table, nullptr);
    refuses_everything(&v.ctx);
}

TEST_F(AfsPartition, ReadOnlyMountsChangeNothing) {
    AfsVolume v(0x8000);
    ASSERT_EQ(v.create(), 0u);
    const auto data = afs_pattern(300, 2);
    ASSERT_EQ(v.write(4, 0, data), 0u);
    ASSERT_EQ(afs_mark_zombie_file(&v.ctx, 5), 0u);
    const std::vector<uint8_t> before = v.image;
    ASSERT_EQ(v.mount(kAfsMountFlags | AFS_INIT_READ_ONLY), 0u);
    EXPECT_EQ(v.ctx.bitmap, nullptr);
    EXPECT_EQ(v.read(4), data);
    EXPECT_EQ(entry_of(v.ctx, 5), 0xFFFE);  // not cleared
    EXPECT_EQ(v.read(5), std::nullopt);
    EXPECT_EQ(v.write(4, 0, data), 22u);
    EXPECT_EQ(afs_deletefile(&v.ctx, 4), 22u);
    EXPECT_EQ(afs_mark_zombie_file(&v.ctx, 6), 22u);
    EXPECT_EQ(afs_idle_reclaim(&v.ctx), 22u);
    EXPECT_EQ(afs_idle_reclaim_needed(&v.ctx), 0u);  // else a host's idle loop never ends
    EXPECT_EQ(afs_force_full_reclaim(&v.ctx), 22u);
    EXPECT_EQ(afs_force_dirty_erase(&v.ctx), 22u);
    // Without the size table a read-only mount walks nothing; sizes come from the chains.
    ASSERT_EQ(v.mount(AFS_INIT_FTL | AFS_INIT_MOUNT_FTL | AFS_INIT_READ_ONLY), 0u);
    EXPECT_EQ(v.ctx.size_table, nullptr);
    EXPECT_EQ(v.read(4), data);
    EXPECT_EQ(v.image, before);
    // A writable mount clears the zombie.
    ASSERT_EQ(v.mount(), 0u);
    EXPECT_EQ(entry_of(v.ctx, 5), 0);
}

TEST_F(AfsPartition, ClearFlagKeepsTheBounceBuffer) {
    AfsVolume v(0x8000);
    ASSERT_EQ(v.create(), 0u);
    ASSERT_EQ(v.write(7, 0, {9, 8, 7}), 0u);
    afs_free_context(&v.ctx);
    std::memset(static_cast<void*>(&v.ctx), 0xA5, sizeof v.ctx);  // whatever the caller's memory held
    v.ctx.bounce_buffer = v.bounce.data();
    ASSERT_EQ(afs_init(&v.ctx, v.image.data(), 64, 10, 1024, 0, 0x8000, kAfsMountFlags | AFS_INIT_CLEAR, 0, 0), 0u);
    EXPECT_EQ(v.ctx.bounce_buffer, v.bounce.data());
    EXPECT_EQ(v.read(7), (std::vector<uint8_t>{9, 8, 7}));
}

TEST_F(AfsPartition, NoFormatAfterAMountThatRanOutOfMemory) {
    // The mount's allocations are C allocations: only a build that can fail
    // those reaches the failure this is about.
    if (!dorv::test::AllocFailure::coversCAllocations()) GTEST_SKIP() << "C allocations are not wrapped";
    AfsVolume v(0x8000);
    ASSERT_EQ(v.create(), 0u);
    ASSERT_EQ(v.write(1, 0, {1}), 0u);
    const std::vector<uint8_t> before = v.image;
    bool hit = false;
    for (long n = 0; n < 40; ++n) {
        afs_free_context(&v.ctx);
        std::memset(static_cast<void*>(&v.ctx), 0, sizeof v.ctx);
        v.ctx.bounce_buffer = v.bounce.data();
        bool triggered = false;
        const uint32_t status = dorv::test::runWithAllocFailure(n, triggered, [&] {
            return afs_init(&v.ctx, v.image.data(), 64, 10, 1024, 0, 0x8000,
                            kAfsCreateFlags | AFS_INIT_FORMAT_ERASE, 0, 0);
        });
        if (!triggered) break;
        hit = true;
        EXPECT_EQ(status, 12u) << n;
        EXPECT_EQ(v.image, before) << n;
    }
    EXPECT_TRUE(hit);
    ASSERT_EQ(v.mount(), 0u);
    EXPECT_EQ(v.read(1), (std::vector<uint8_t>{1}));
}

TEST_F(AfsPartition, FileOperationEdgeCases) {
    AfsVolume v(0x60000);
    ASSERT_EQ(v.create(), 0u);
    const auto seventy = afs_pattern(70, 1);
    ASSERT_EQ(v.write(0, 0, seventy), 0u);
    uint8_t buf[16];
    int32_t length = 10;
    ASSERT_EQ(afs_readfile(&v.ctx, 0, 60, &length, buf), 0u);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(std::memcmp(buf, seventy.data() + 60, 10), 0);
    length = 10;
    ASSERT_EQ(afs_readfile(&v.ctx, 0, 70, &length, buf), 0u);
    EXPECT_EQ(length, 0);
    length = -1;
    EXPECT_EQ(afs_readfile(&v.ctx, 0, 0, &length, buf), 22u);
    length = 1;
    EXPECT_EQ(afs_readfile(&v.ctx, 1024, 0, &length, buf), 22u);
    EXPECT_EQ(afs_readfile(&v.ctx, -1, 0, &length, buf), 22u);
    EXPECT_EQ(afs_readfile(&v.ctx, 1, 0, &length, buf), 2u);

    // One byte at 200 of an empty file: three zero chunks, the byte at 8 of the fourth.
    ASSERT_EQ(v.write(1, 0, {}, true), 0u);
    EXPECT_EQ(entry_of(v.ctx, 1), 0xFFFF);
    ASSERT_EQ(v.write(1, 200, {0x77}), 0u);
    std::vector<uint8_t> expect(201, 0);
    expect[200] = 0x77;
    EXPECT_EQ(v.read(1), expect);

    // 100 bytes at 10 of a 1000-byte file replace exactly chunks 0 and 1.
    auto thousand = afs_pattern(1000, 2);
    ASSERT_EQ(v.write(2, 0, thousand), 0u);
    std::vector<uint16_t> before;
    for (uint16_t c = entry_of(v.ctx, 2); c >= 1024; c = entry_of(v.ctx, c)) before.push_back(c);
    ASSERT_EQ(before.size(), 16u);
    const auto hundred = afs_pattern(100, 3);
    ASSERT_EQ(v.write(2, 10, hundred), 0u);
    std::copy(hundred.begin(), hundred.end(), thousand.begin() + 10);
    EXPECT_EQ(v.read(2), thousand);
    std::vector<uint16_t> after;
    for (uint16_t c = entry_of(v.ctx, 2); c >= 1024; c = entry_of(v.ctx, c)) after.push_back(c);
    ASSERT_EQ(after.size(), 16u);
    EXPECT_NE(after[0], before[0]);
    EXPECT_NE(after[1], before[1]);
    EXPECT_TRUE(std::equal(after.begin() + 2, after.end(), before.begin() + 2));
    auto allocated = [&](uint16_t c) { return (v.ctx.bitmap[(c - 1024) / 32] >> ((c - 1024) % 32)) & 1u; };
    EXPECT_FALSE(allocated(before[0]));
    EXPECT_FALSE(allocated(before[1]));
    // With truncation the size becomes 110 and every later chunk is released.
    ASSERT_EQ(v.write(2, 10, hundred, true), 0u);
    thousand.resize(110);
    EXPECT_EQ(v.read(2), thousand);
    for (size_t k = 2; k < after.size(); ++k) {
        EXPECT_FALSE(allocated(after[k])) << k;
    }
    // Truncation to a chunk boundary without data; then to 0.
    ASSERT_EQ(v.write(2, 64, {}, true), 0u);
    thousand.resize(64);
    EXPECT_EQ(v.read(2), thousand);
    ASSERT_EQ(v.write(2, 0, {}, true), 0u);
    EXPECT_EQ(entry_of(v.ctx, 2), 0xFFFF);
    EXPECT_EQ(v.read(2), std::vector<uint8_t>{});

    // Bounds: one past 0x40000 fails and changes nothing, exactly 0x40000 is
    // accepted; offsets that wrap in 32 bits are refused as well.
    const std::vector<uint8_t> image = v.image;
    const auto big = afs_pattern(0x40000, 4);
    EXPECT_EQ(afs_writefile(&v.ctx, 3, 1, 0x40000, big.data(), 0), 27u);
    EXPECT_EQ(afs_writefile(&v.ctx, 3, 0xFFFFFFF0u, 0x20, big.data(), 0), 27u);
    EXPECT_EQ(afs_writefile(&v.ctx, 3, 0x40001, 0, big.data(), AFS_WRITE_TRUNCATE), 27u);
    EXPECT_EQ(v.image, image);
    ASSERT_EQ(v.write(3, 0, big), 0u);
    EXPECT_EQ(v.read(3), big);
    ASSERT_EQ(v.mount(), 0u);
    EXPECT_EQ(v.read(3), big);

    // A write of 0 bytes makes an absent file empty and leaves a file as it is.
    EXPECT_EQ(afs_writefile(&v.ctx, 4, 0x7FFFFFFF, 0, nullptr, 0), 0u);
    EXPECT_EQ(v.read(4), std::vector<uint8_t>{});
    EXPECT_EQ(afs_writefile(&v.ctx, 0, 5, 0, nullptr, 0), 0u);
    EXPECT_EQ(v.read(0), seventy);

    // Zombies, deletes.
    EXPECT_EQ(afs_mark_zombie_file(&v.ctx, 0), 99u);
    EXPECT_EQ(afs_mark_zombie_file(&v.ctx, 5), 0u);
    EXPECT_EQ(v.read(5), std::nullopt);
    EXPECT_EQ(afs_deletefile(&v.ctx, 5), 0u);
    EXPECT_EQ(entry_of(v.ctx, 5), 0);
    EXPECT_EQ(afs_deletefile(&v.ctx, 5), 2u);
    EXPECT_EQ(afs_deletefile(&v.ctx, 3), 0u);
    EXPECT_EQ(v.read(3), std::nullopt);
    ASSERT_EQ(v.mount(), 0u);
    EXPECT_EQ(v.read(3), std::nullopt);
    EXPECT_EQ(v.read(0), seventy);
    EXPECT_EQ(v.read(1), expect);
}

TEST_F(AfsPartition, EntryReadsAllocationAndSmallHelpers) {
    AfsVolume v(0x8000);
    ASSERT_EQ(v.create(65), 0u);
    ASSERT_EQ(v.write(0, 0, afs_pattern(64 * 3, 5)), 0u);
    uint16_t e = 0;
    ASSERT_EQ(afs_get_next_cid(&v.ctx, 0, &e), 0u);
    ASSERT_GE(e, 65);
    uint16_t next = 0;
    ASSERT_EQ(afs_get_next_cid(&v.ctx, e, &next), 0u);
    ASSERT_GE(next, 65);
    ASSERT_EQ(afs_get_next_cid(&v.ctx, next, &next), 0u);
    ASSERT_EQ(afs_get_next_cid(&v.ctx, next, &next), 0u);
    EXPECT_EQ(next, 64);
    EXPECT_EQ(afs_get_next_cid(&v.ctx, 65 + 244, &next), 22u);

    // The translation layer hands out chunks that the bitmap has free.
    uint16_t chunk = 0;
    ASSERT_EQ(afs_allocate_chunk(&v.ctx, &chunk), 0u);
    EXPECT_GE(chunk, 65);
    EXPECT_LT(chunk, 65 + 244);
    EXPECT_FALSE((v.ctx.bitmap[(chunk - 65) / 32] >> ((chunk - 65) % 32)) & 1u);

    EXPECT_EQ(afs_get_idle_reclaim_enabled(&v.ctx), 0u);
    afs_set_idle_reclaim_enabled(&v.ctx);
    afs_set_idle_reclaim_enabled(nullptr);
    EXPECT_EQ(afs_get_idle_reclaim_enabled(&v.ctx), 1u);
    EXPECT_EQ(afs_get_idle_reclaim_enabled(nullptr), 0u);

    // Direct access adds the partition's base.
    v.ctx.base = 8192;
    uint8_t bytes[4] = {1, 2, 3, 4}, back[4] = {};
    EXPECT_EQ(afs_sub_pt_write(&v.ctx, 100, 4, bytes), 0u);
    EXPECT_EQ(std::memcmp(&v.image[8192 + 100], bytes, 4), 0);
    EXPECT_EQ(afs_sub_pt_read(&v.ctx, 100, 4, back), 0u);
    EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
    EXPECT_EQ(afs_sub_pt_read(&v.ctx, 0x8000 - 8192, 1, back), 5u);  // past the bound device
    EXPECT_EQ(afs_sub_pt_trim(&v.ctx, 0, 64, 0), 0u);
    v.ctx.base = 0;
    afs_free_file_size_table(&v.ctx);
    EXPECT_EQ(v.ctx.size_table, nullptr);
    afs_free_file_size_table(nullptr);
    afs_free_context(nullptr);
}

// Direct access stays inside its partition: the bytes after it on the same
// device may be another partition's.
TEST_F(AfsPartition, DirectAccessStaysInsideThePartition) {
    AfsVolume first(0x10000), second(0x8000);  // both contexts mount the first image
    auto create_at = [&](AfsVolume& v, uint32_t base) {
        v.ctx.bounce_buffer = v.bounce.data();
        return afs_init(&v.ctx, first.image.data(), 64, 10, 65, base, 0x8000, kAfsCreateFlags, 0, 0);
    };
    ASSERT_EQ(create_at(first, 0), 0u);
    ASSERT_EQ(create_at(second, 0x8000), 0u);  // binds the device up to 0x10000
    const auto before = first.image;
    const uint8_t zeros[4] = {};
    uint8_t back[4] = {};
    EXPECT_EQ(afs_sub_pt_write(&first.ctx, 0x8000 - 2, 4, zeros), 5u);
    EXPECT_EQ(afs_sub_pt_read(&first.ctx, 0x8000, 4, back), 5u);
    EXPECT_EQ(first.image, before);
    EXPECT_EQ(afs_sub_pt_read(&second.ctx, 0, 4, back), 0u);
}

TEST_F(AfsPartition, HeaderCreationWithLongLinesClearsTheWholeFirstLine) {
    AfsVolume v(0x8000);
    ASSERT_EQ(v.mount(kAfsCreateFlags, 65, 4096, 2), 0u);
    ASSERT_EQ(v.write(40, 0, afs_pattern(100, 3)), 0u);  // its entry lies in the second page
    // The header page is lost; the table pages after it are not.
    const std::vector<uint8_t> zeros(64, 0);
    ASSERT_EQ(v.ctx.ops->write(&v.ctx, 0, 64, zeros.data(), 0), 0u);
    ASSERT_EQ(v.mount(kAfsMountFlags | AFS_INIT_CREATE, 65, 4096, 2), 0u);
    ASSERT_EQ(v.mount(kAfsMountFlags, 65, 4096, 2), 0u);
    uint32_t status = 0;
    EXPECT_EQ(v.read(40, &status), std::nullopt);
    EXPECT_EQ(status, 2u);
}

TEST_F(AfsPartition, ReadOnlyReadOfALoopingOrOverlongChainFailsAsItsSizeDoes) {
    // A 300-byte file whose last chunk links to itself, and a largest file
    // (4096 chunks) whose last chunk links on to one more.
    for (const uint32_t bytes : {300u, 0x40000u}) {
        SCOPED_TRACE(bytes);
        AfsVolume v(0x60000);
        ASSERT_EQ(v.create(65), 0u);
        ASSERT_EQ(v.write(2, 0, afs_pattern(bytes, 1)), 0u);
        uint16_t last = entry_of(v.ctx, 2);
        for (uint32_t i = 1; i < bytes / 64 + (bytes % 64 != 0); ++i) last = entry_of(v.ctx, last);
        uint16_t next = last;
        if (bytes == 0x40000) {
            // A chunk whose page was written and released: 10 bytes in it.
            ASSERT_EQ(v.write(3, 0, afs_pattern(64, 2)), 0u);
            next = entry_of(v.ctx, 3);
            ASSERT_EQ(afs_deletefile(&v.ctx, 3), 0u);
            poke16(v.ctx, 14 + 2u * next, 10);
        }
        poke16(v.ctx, 14 + 2u * last, next);
        EXPECT_EQ(v.mount(), 5u);  // the mount's walk finds it corrupt
        ASSERT_EQ(v.mount(AFS_INIT_FTL | AFS_INIT_MOUNT_FTL | AFS_INIT_READ_ONLY), 0u);
        uint32_t size = 0;
        EXPECT_EQ(afs_getfilesize(&v.ctx, 2, &size), 5u);
        std::vector<uint8_t> buffer(1000);
        for (const auto& [offset, wanted] :
             std::vector<std::pair<uint32_t, int32_t>>{{0, 1000}, {0, 10}, {0, 0}, {0x50000, 10}}) {
            int32_t length = wanted;
            EXPECT_EQ(afs_readfile(&v.ctx, 2, offset, &length, buffer.data()), 5u) << offset << " " << wanted;
        }
    }
}

// Exported entry points given a context or an index they cannot serve answer
// 22 instead of reading past their state.
TEST_F(AfsPartition, EntryPointsRefuseStateTheyCannotServe) {
    EXPECT_EQ(ftl_process_pages(nullptr, 0, 0), 22u);
    afs_context_t blank{};
    EXPECT_EQ(ftl_process_pages(&blank, 0, 0), 22u);
    AfsVolume v(0x8000);
    ASSERT_EQ(v.create(65), 0u);
    EXPECT_EQ(ftl_process_pages(&v.ctx, v.ctx.ftl_state->eu_count, 1), 22u);
    EXPECT_EQ(ftl_process_pages(&v.ctx, 255, 0), 22u);

    // Without the mount flag a context without a translation layer is refused
    // and nothing is mounted or written; with one from an earlier mount it mounts.
    const std::vector<uint8_t> before = v.image;
    const uint32_t no_ftl_mount = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_BIND_DEVICE;
    AfsVolume fresh(0x8000);
    fresh.image = v.image;
    EXPECT_EQ(fresh.mount(no_ftl_mount | AFS_INIT_CREATE | AFS_INIT_FORMAT, 65), 22u);
    EXPECT_EQ(fresh.ctx.ftl_state, nullptr);
    EXPECT_EQ(fresh.image, before);
    dorv::afs::spi_bind(v.image.data(), 0x8000);
    EXPECT_EQ(afs_init(&v.ctx, v.image.data(), 64, 10, 65, 0, 0x8000, no_ftl_mount, 0, 0), 0u);

    // A cache rebuilt directly with another line size than the context's is
    // not indexed with the context's; afs_setcache puts the two in step.
    ASSERT_EQ(afs_setcache(&v.ctx, 4096, 2), 0u);
    ASSERT_EQ(v.write(3, 0, afs_pattern(200, 4)), 0u);
    ASSERT_EQ(cache_init(&v.ctx, 64, 10), 0u);
    uint16_t entry = 0;
    EXPECT_EQ(afs_get_next_cid(&v.ctx, 3, &entry), 22u);
    std::vector<uint8_t> buffer(200);
    int32_t length = 200;
    EXPECT_EQ(afs_readfile(&v.ctx, 3, 0, &length, buffer.data()), 22u);
    EXPECT_EQ(v.write(3, 0, afs_pattern(10, 5)), 22u);
    ASSERT_EQ(afs_setcache(&v.ctx, 64, 10), 0u);
    EXPECT_EQ(v.read(3), afs_pattern(200, 4));
}

TEST_F(AfsPartition, ReadOnlyMountWithLongLinesReadsATableLineThatReachesTheData) {
    AfsVolume v(0x40000);
    ASSERT_EQ(v.mount(kAfsCreateFlags, 1024, 4096, 2), 0u);
    const auto data = afs_pattern(200, 4);
    ASSERT_EQ(v.write(1000, 0, data), 0u);
    // Its chunks' links lie in the line that ends the table and begins the
    // data area, whose unwritten slots hold no page to read.
    ASSERT_GT(14 + 2u * entry_of(v.ctx, 1000) + 4096, v.ctx.data_start);
    ASSERT_EQ(v.mount(AFS_INIT_FTL | AFS_INIT_MOUNT_FTL | AFS_INIT_READ_ONLY, 1024, 4096, 2), 0u);
    EXPECT_EQ(v.read(1000), data);
}

}  // namespace
