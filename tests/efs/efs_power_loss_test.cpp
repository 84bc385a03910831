// Power loss during every kind of EFS change. Each operation runs once on a
// recording medium; then every prefix of its writes and erases, and every
// prefix followed by a torn write or a half-done erase, is rebuilt as an
// image and must mount, hold a sound block-manager state, give every file
// its old content or (only once the commit landed whole) its new one, and
// stay usable.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "support/efs_file_reader.h"
#include "support/efs_fixture.h"

namespace {

using dorv::test::EfsContents;
using dorv::test::EfsImage;
using dorv::test::EfsLayoutFile;
using dorv::test::EfsLayoutRow;
using dorv::test::FaultFlash;
using dorv::test::FlashOp;
using dorv::test::Tear;

// Block 0 holds files 0 and 1; file 2 spans blocks 1-3; file 3's record sits
// 12 data bytes before the end of block 4 and spills into block 5, which
// also holds file 4's record.
EfsLayoutRow layout(uint32_t threshold) {
    EfsLayoutRow row = dorv::test::efs_row(2, 6, 3,
                                           {{0, 0, 0, 3000},
                                            {1, 0, 3200, 800},
                                            {2, 1, 100, 12000},
                                            {3, 4, 4060, 300},
                                            {4, 5, 1000, 100}},
                                           5);
    row.wear_leveling_threshold = threshold;
    return row;
}

std::vector<uint8_t> bytes(uint32_t size, uint8_t seed) {
    std::vector<uint8_t> out(size);
    for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

struct Scenario {
    const char* name;
    uint32_t threshold;
    // Runs on the mounted image before recording starts.
    std::function<void(EfsContents&)> prepare;
    // The recorded operation; it also puts its effect into the contents.
    std::function<int(EfsContents&)> operation;
    // Checks on the recorded log that show the scenario did what it names.
    std::function<void(const std::vector<FlashOp>&)> check_log;
};

void write_file(EfsContents& files, uint32_t index, std::vector<uint8_t> data) {
    ASSERT_EQ(EFS_write(index, 0, static_cast<uint32_t>(data.size()), data.data()), 0);
    files[index] = std::move(data);
}

int record_write(EfsContents& files, uint32_t index, std::vector<uint8_t> data) {
    const int rc = EFS_write(index, 0, static_cast<uint32_t>(data.size()), data.data());
    files[index] = std::move(data);
    return rc;
}

// A write whose commit must move to the next BM block, one generation up.
int switching(EfsContents& files, uint32_t index, std::vector<uint8_t> data) {
    const uint32_t generation = efs_ctx.generation, bm = efs_ctx.current_bm;
    const int rc = record_write(files, index, std::move(data));
    EXPECT_EQ(+efs_ctx.generation, generation + 1);
    EXPECT_EQ(+efs_ctx.current_bm, (bm + 1) % 2);
    EXPECT_EQ(+efs_ctx.bme_offset, 16u);
    return rc;
}

// Writes file 0 until the next commit moves to the next BM block `switches`
// times over (so after one pass the next commit switches).
void fill_bm_blocks(EfsContents& files, uint32_t switches_before) {
    const uint32_t r = dorv::efs::bme_size();
    const uint32_t start = efs_ctx.generation;
    uint8_t round = 0;
    while (efs_ctx.generation < start + switches_before || efs_ctx.bme_offset + 2 * r <= 4095) {
        write_file(files, 0, bytes(40, ++round));
        if (::testing::Test::HasFatalFailure()) return;
    }
}

bool erases_in(const std::vector<FlashOp>& log, uint32_t begin, uint32_t end) {
    return std::any_of(log.begin(), log.end(), [&](const FlashOp& op) {
        return op.kind == FlashOp::Kind::erase && op.offset >= begin && op.offset < end;
    });
}

// Index of the write that makes the operation's last change real: the last
// non-zero write into the BM area (an appended entry, or the new header of a
// switch; zero writes only kill or retire headers). None: log size.
std::size_t commit_point(const std::vector<FlashOp>& log) {
    const uint32_t bm_end = dorv::efs::bm_blocks() * EFS_BLOCK_SIZE;
    for (std::size_t i = log.size(); i-- > 0;) {
        const FlashOp& op = log[i];
        if (op.kind == FlashOp::Kind::write && op.offset < bm_end &&
            std::any_of(op.bytes.begin(), op.bytes.end(), [](uint8_t b) { return b != 0; })) {
            return i;
        }
    }
    return log.size();
}

std::size_t count_commits(const std::vector<FlashOp>& log) {
    const uint32_t bm_end = dorv::efs::bm_blocks() * EFS_BLOCK_SIZE;
    return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const FlashOp& op) {
        return op.kind == FlashOp::Kind::write && op.offset < bm_end && op.offset % EFS_BLOCK_SIZE >= 16;
    }));
}

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> all = {
        {"WriteOneBlock", 100, [](EfsContents& f) { write_file(f, 0, bytes(500, 1)); },
         [](EfsContents& f) { return record_write(f, 0, bytes(2000, 2)); }, nullptr},
        {"WriteSeveralBlocks", 100, [](EfsContents& f) { write_file(f, 2, bytes(5000, 3)); },
         [](EfsContents& f) { return record_write(f, 2, bytes(12000, 4)); }, nullptr},
        {"WriteSpillingPastTheFirstBlock", 100, [](EfsContents& f) { write_file(f, 3, bytes(50, 5)); },
         [](EfsContents& f) { return record_write(f, 3, bytes(300, 6)); }, nullptr},
        {"Delete", 100, [](EfsContents& f) { write_file(f, 2, bytes(9000, 7)); },
         [](EfsContents& f) {
             f[2] = std::nullopt;
             return EFS_delete(2);
         },
         nullptr},
        {"TwoFilesSharingABlock", 100,
         [](EfsContents& f) {
             write_file(f, 0, bytes(3000, 8));
             write_file(f, 1, bytes(10, 9));
         },
         [](EfsContents& f) { return record_write(f, 1, bytes(800, 10)); }, nullptr},
        {"WearMoveInsideAWrite", 0, [](EfsContents& f) { write_file(f, 0, bytes(100, 11)); },
         [](EfsContents& f) { return record_write(f, 2, bytes(4500, 12)); },
         [](const std::vector<FlashOp>& log) { EXPECT_EQ(count_commits(log), 2u); }},
        {"WearMoveOntoAUsedSpare", 0, [](EfsContents& f) { write_file(f, 4, bytes(100, 13)); },
         [](EfsContents&) { return EFS_wear_leveling(0, 0); },
         [](const std::vector<FlashOp>& log) {
             EXPECT_TRUE(erases_in(log, 2 * EFS_BLOCK_SIZE, 11 * EFS_BLOCK_SIZE));
             EXPECT_EQ(count_commits(log), 1u);
         }},
        {"SwitchToABlankBmBlock", 100, [](EfsContents& f) { fill_bm_blocks(f, 0); },
         [](EfsContents& f) { return switching(f, 2, bytes(4100, 14)); },
         [](const std::vector<FlashOp>& log) { EXPECT_FALSE(erases_in(log, 0, 2 * EFS_BLOCK_SIZE)); }},
        {"SwitchErasingTheOldBmBlock", 100, [](EfsContents& f) { fill_bm_blocks(f, 1); },
         [](EfsContents& f) { return switching(f, 3, bytes(200, 15)); },
         [](const std::vector<FlashOp>& log) { EXPECT_TRUE(erases_in(log, 0, EFS_BLOCK_SIZE)); }},
        {"IdlePreEraseOfTheNextBmBlock", 100,
         [](EfsContents& f) {
             fill_bm_blocks(f, 1);  // current block 1 now nearly full, block 0 retired
         },
         [](EfsContents&) { return EFS_idle_reclaim(); },
         [](const std::vector<FlashOp>& log) {
             ASSERT_EQ(log.size(), 2u);
             EXPECT_TRUE(erases_in(log, 0, EFS_BLOCK_SIZE));
         }},
        {"IdleEraseOfAUsedSpare", 100,
         [](EfsContents& f) {
             write_file(f, 0, bytes(300, 16));
             write_file(f, 2, bytes(8200, 17));
         },
         [](EfsContents&) { return EFS_idle_reclaim(); },
         [](const std::vector<FlashOp>& log) { EXPECT_TRUE(erases_in(log, 2 * EFS_BLOCK_SIZE, 11 * EFS_BLOCK_SIZE)); }},
    };
    return all;
}

class EfsPowerLoss : public dorv::test::EfsTest, public ::testing::WithParamInterface<std::size_t> {
protected:
    void expect_files(const EfsLayoutRow& row, const std::vector<uint8_t>& image, const EfsContents& files) {
        const auto view = dorv::test::read_efs_state(image, row);
        ASSERT_TRUE(view.has_value());
        for (const EfsLayoutFile& file : row.files) {
            SCOPED_TRACE("file " + std::to_string(file.file_index));
            const auto& want = files.at(file.file_index);
            const auto got = dorv::test::efs_read_whole(file.file_index);
            ASSERT_EQ(got.rc, 0);
            EXPECT_EQ(got.data, want);
            const auto decoded = dorv::test::decode_efs_file(image, row, *view, file);
            EXPECT_TRUE(decoded.sound);
            EXPECT_EQ(decoded.empty, !want.has_value());
            if (want) {
                EXPECT_EQ(decoded.data, *want);
            }
        }
    }

    // The state must mount, hold `files`, take a write, a delete and an idle
    // step, and mount again with those changes.
    void check_state(const EfsLayoutRow& row, std::vector<uint8_t> image, EfsContents files) {
        ASSERT_EQ(dorv::test::efs_image_fault(image, row), "");
        const auto length = static_cast<uint32_t>(image.size());
        ASSERT_EQ(efs_mount_image(image.data(), length), 0);
        expect_files(row, image, files);
        const auto fresh = bytes(60, 99);
        ASSERT_EQ(EFS_write(4, 0, 60, fresh.data()), 0);
        files[4] = fresh;
        const int deleted = EFS_delete(0);
        ASSERT_TRUE(deleted == 0 || deleted == 2) << deleted;
        files[0] = std::nullopt;
        ASSERT_EQ(EFS_idle_reclaim(), 0);
        ASSERT_EQ(efs_mount_image(image.data(), length), 0);
        ASSERT_EQ(dorv::test::efs_image_fault(image, row), "");
        expect_files(row, image, files);
    }
};

TEST_P(EfsPowerLoss, EveryCutLeavesTheOldOrTheNewFile) {
    const Scenario& sc = scenarios()[GetParam()];
    const EfsLayoutRow row = layout(sc.threshold);
    std::vector<uint8_t> image = EfsImage::formatted(row).bytes;
    ASSERT_EQ(dorv::test::load_efs_layout(row), 0);
    const auto length = static_cast<uint32_t>(image.size());
    ASSERT_EQ(efs_mount_image(image.data(), length), 0);
    EfsContents before;
    for (const EfsLayoutFile& f : row.files) before[f.file_index] = std::nullopt;
    sc.prepare(before);
    ASSERT_FALSE(HasFatalFailure());
    const std::vector<uint8_t> base = image;

    EfsContents after = before;
    FaultFlash flash;
    {
        dorv::test::ScopedMedium scoped(medium(), flash);
        ASSERT_EQ(sc.operation(after), 0);
    }
    const std::vector<FlashOp> log = flash.log();
    ASSERT_FALSE(log.empty());
    if (sc.check_log) sc.check_log(log);
    const std::size_t commit = commit_point(log);
    ASSERT_EQ(dorv::test::replay(base, log, log.size()), image);

    int states = 0;
    for (std::size_t landed = 0; landed <= log.size(); ++landed) {
        // The change is real once its commit write has landed whole.
        const EfsContents& expected = landed > commit ? after : before;
        {
            SCOPED_TRACE("after " + std::to_string(landed) + " of " + std::to_string(log.size()) + " operations");
            check_state(row, dorv::test::replay(base, log, landed), expected);
            ++states;
        }
        if (HasFatalFailure()) return;
        if (landed == log.size()) break;
        const FlashOp& next = log[landed];
        std::vector<Tear> tears;
        if (next.kind == FlashOp::Kind::erase) {
            tears.push_back({0, true});
        } else {
            for (uint32_t prefix : {1u, next.length / 2, next.length - 1}) {
                if (prefix > 0 && prefix < next.length) tears.push_back({prefix, false});
            }
        }
        for (const Tear& tear : tears) {
            SCOPED_TRACE("after " + std::to_string(landed) + " operations, the next one torn at " +
                         std::to_string(tear.write_prefix));
            check_state(row, dorv::test::replay(base, log, landed, true, tear), expected);
            ++states;
            if (HasFatalFailure()) return;
        }
    }
    RecordProperty("states", states);
}

INSTANTIATE_TEST_SUITE_P(Operations, EfsPowerLoss, ::testing::Range<std::size_t>(0, scenarios().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return std::string(scenarios()[info.param].name);
                         });

}  // namespace
