// Random file operations on AFS partitions of several sizes and cache
// geometries against an in-memory model, with remounts and reclaims in
// between; every file is compared after every step. Some writes lose power
// part way under a cache geometry picked at random (the lines a host may
// choose: one page, or several, where a file's switch shares a line with its
// new links); the remount, in yet another geometry, must find the file old
// or new.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "afs/afs_state.h"
#include "support/afs_volume.h"
#include "support/flash_harness.h"

namespace {

using dorv::test::afs_pattern;
using dorv::test::AfsVolume;

struct Geometry {
    uint32_t line_size, lines;
};
constexpr Geometry kGeometries[] = {{64, 10}, {128, 64}, {192, 42}, {256, 32}, {4096, 2}};

struct Config {
    uint32_t size;
    uint32_t files;
    uint32_t lines;
    uint32_t line_size;
    uint32_t steps;
    uint32_t seed;
};

class AfsFilesModel : public ::testing::TestWithParam<Config> {
protected:
    void SetUp() override { dorv::afs::reset_module_state(); }
    void TearDown() override { dorv::afs::reset_module_state(); }
};

TEST_P(AfsFilesModel, RandomOperationsMatchTheModel) {
    const Config cfg = GetParam();
    const char* extra = std::getenv("AFS_MODEL_SEED");
    std::mt19937 rng(cfg.seed + (extra != nullptr ? static_cast<uint32_t>(std::atoi(extra)) * 1000 : 0));
    auto pick = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    AfsVolume v(cfg.size);
    ASSERT_EQ(v.mount(dorv::test::kAfsCreateFlags, cfg.files, cfg.line_size, cfg.lines), 0u);
    const uint32_t capacity = v.ctx.chunks * 64u;
    const int32_t ids = 12;
    std::map<int32_t, std::vector<uint8_t>> model;
    std::set<int32_t> zombies;
    // Files stay small enough that old and new chains of a rewrite fit.
    const uint32_t max_file = std::min<uint32_t>(0x40000, capacity / 5);
    uint32_t full = 0, written = 0, cut = 0;

    auto check_all = [&](const std::string& where) {
        for (int32_t id = 0; id < ids; ++id) {
            const auto it = model.find(id);
            const auto now = v.read(id);
            if (it == model.end()) {
                ASSERT_FALSE(now.has_value()) << where << ": file " << id << " should be absent";
            } else {
                ASSERT_TRUE(now.has_value()) << where << ": file " << id << " missing";
                ASSERT_EQ(now->size(), it->second.size()) << where << ": file " << id;
                ASSERT_TRUE(*now == it->second) << where << ": file " << id << " content";
            }
        }
    };

    for (uint32_t step = 0; step < cfg.steps; ++step) {
        const int32_t id = static_cast<int32_t>(pick(ids));
        const uint32_t op = pick(100);
        std::string where = "step " + std::to_string(step) + " op " + std::to_string(op) + " id " + std::to_string(id);
        auto it = model.find(id);
        if (op < 55) {
            const std::vector<uint8_t> old = it == model.end() ? std::vector<uint8_t>{} : it->second;
            const uint32_t offset = pick(2) != 0 ? pick(static_cast<uint32_t>(old.size()) + 1) : pick(max_file / 2 + 1);
            uint32_t length = pick(4) == 0 ? pick(65) : pick(max_file / 2 + 1);
            if (offset + length > max_file) length = max_file - offset;
            const bool truncate = pick(3) == 0;
            const auto data = afs_pattern(length, step + cfg.seed);
            std::vector<uint8_t> fresh = old;
            if (length > 0 || truncate) {
                const size_t end = static_cast<size_t>(offset) + length;
                if (fresh.size() < end || truncate) fresh.resize(end, 0);
                std::copy(data.begin(), data.end(), fresh.begin() + offset);
            }
            dorv::test::FaultFlash flash;
            if (pick(6) == 0) {
                const Geometry g = kGeometries[pick(5)];
                ASSERT_EQ(afs_setcache(&v.ctx, g.line_size, g.lines), 0u) << where;
                flash.cut_after(pick(40));
            }
            uint32_t status = 0;
            {
                dorv::test::ScopedMedium scoped(dorv::afs::module_state().medium, flash);
                status = v.write(id, offset, data, truncate);
            }
            if (flash.power_lost()) {
                const Geometry g = kGeometries[pick(5)];
                ASSERT_EQ(v.mount(dorv::test::kAfsMountFlags, 77, g.line_size, g.lines), 0u) << where;
                const auto now = v.read(id);
                const bool is_new = now.has_value() && *now == fresh;
                const bool is_old = it == model.end() ? !now.has_value() : now.has_value() && *now == old;
                ASSERT_TRUE(is_new || (is_old && status != 0)) << where << ": cut write reads neither old nor new";
                ++cut;
                if (is_new) model[id] = fresh;
                zombies.clear();
            } else if (status == STORAGE_NO_SPACE) {
                // The file stands as it was (checked below); make room.
                ++full;
                auto biggest = std::max_element(model.begin(), model.end(), [](const auto& a, const auto& b) {
                    return a.second.size() < b.second.size();
                });
                if (biggest != model.end() && biggest->first != id) {
                    ASSERT_EQ(afs_deletefile(&v.ctx, biggest->first), 0u) << where;
                    model.erase(biggest);
                }
            } else {
                ASSERT_EQ(status, 0u) << where;
                ++written;
                if (length > 0 || truncate || it == model.end()) model[id] = fresh;
                zombies.erase(id);
            }
        } else if (op < 63) {
            const uint32_t status = afs_deletefile(&v.ctx, id);
            const bool existed = it != model.end() || zombies.count(id) != 0;
            ASSERT_EQ(status, existed ? 0u : 2u) << where;
            model.erase(id);
            zombies.erase(id);
        } else if (op < 68) {
            const uint32_t status = afs_mark_zombie_file(&v.ctx, id);
            const bool free = it == model.end() && zombies.count(id) == 0;
            ASSERT_EQ(status, free ? 0u : 99u) << where;
            if (free) zombies.insert(id);
        } else if (op < 78) {
            // A partial read at a random place.
            if (it == model.end()) continue;
            const uint32_t offset = pick(static_cast<uint32_t>(it->second.size()) + 70);
            std::vector<uint8_t> buf(pick(5000) + 1);
            int32_t length = static_cast<int32_t>(buf.size());
            ASSERT_EQ(afs_readfile(&v.ctx, id, offset, &length, buf.data()), 0u) << where;
            const size_t expect = offset >= it->second.size() ? 0 : std::min(buf.size(), it->second.size() - offset);
            ASSERT_EQ(static_cast<size_t>(length), expect) << where;
            ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + length, it->second.begin() + offset)) << where;
            continue;
        } else if (op < 86) {
            // Remount, sometimes without the size table or with another cache.
            const uint32_t flags = pick(3) == 0 ? dorv::test::kAfsMountFlags & ~AFS_INIT_SIZE_TABLE
                                                : dorv::test::kAfsMountFlags;
            const uint32_t lines = pick(2) == 0 ? cfg.lines : 2 + pick(30);
            const uint32_t line_size = pick(2) == 0 ? cfg.line_size : 64;
            ASSERT_EQ(v.mount(flags | (pick(2) != 0 ? AFS_INIT_PRELOAD : 0), 77, line_size, lines), 0u) << where;
            ASSERT_EQ(v.ctx.files, cfg.files) << where;
            zombies.clear();
        } else if (op < 92) {
            const uint32_t status = afs_idle_reclaim(&v.ctx);
            ASSERT_TRUE(status == 0 || status == STORAGE_RECLAIM_NO_GAIN) << where << ": " << status;
        } else if (op < 95) {
            ASSERT_EQ(v.full_reclaim(), 0u) << where;
        } else if (op < 97) {
            ASSERT_EQ(afs_force_dirty_erase(&v.ctx), 0u) << where;
        } else {
            // The storage front end's page sizes: 8192 bytes of cache whatever the line.
            const uint32_t line_size = 64u << pick(7);
            ASSERT_EQ(afs_setcache(&v.ctx, line_size, 8192 / line_size), 0u) << where;
        }
        check_all(where);
        if (HasFatalFailure()) return;
    }
    ASSERT_EQ(v.mount(), 0u);
    check_all("final mount");
    // The partitions were filled now and then, but not all the time.
    EXPECT_LT(full, cfg.steps / 4);
    EXPECT_GT(written, cfg.steps / 4);
    EXPECT_GT(cut, cfg.steps / 50);  // power was lost within writes
}

INSTANTIATE_TEST_SUITE_P(Sizes, AfsFilesModel,
                         ::testing::Values(Config{0x8000, 65, 2, 64, 400, 1}, Config{0x8000, 1024, 10, 128, 400, 2},
                                           Config{0x12000, 2048, 3, 64, 300, 3},
                                           Config{0x40000, 1024, 10, 64, 300, 4},
                                           Config{0x40000, 1024, 2, 4096, 200, 7},
                                           Config{0x100000, 512, 64, 256, 200, 5},
                                           Config{0x1FE000, 1024, 10, 64, 150, 6}),
                         [](const ::testing::TestParamInfo<Config>& info) {
                             return "size_" + std::to_string(info.param.size) + "_lines_" +
                                    std::to_string(info.param.lines) + "x" +
                                    std::to_string(info.param.line_size);
                         });

}  // namespace
