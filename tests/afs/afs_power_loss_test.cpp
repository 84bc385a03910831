// Power loss at every write of an AFS workload. Each operation is run once
// on a recording medium; then every prefix of its log, and every prefix with
// the next write torn to a few byte prefixes (or the next erase to its first
// half), is rebuilt into an image and mounted. The mount must succeed, the
// changed file must read wholly old or wholly new, every other file as
// before, and the partition must stay usable: a follow-up write, a delete
// and a forced full reclaim, then a remount, check out.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "afs/afs_state.h"
#include "support/afs_volume.h"
#include "support/flash_harness.h"

namespace {

using dorv::test::afs_pattern;
using dorv::test::AfsVolume;
using dorv::test::FaultFlash;
using dorv::test::FlashOp;
using dorv::test::Tear;
using Content = std::optional<std::vector<uint8_t>>;
using Model = std::map<int32_t, Content>;

// Small partitions keep the proof quick: 4 units (a metadata unit, two data
// units, the spare) with the smallest table, and 8 units with the storage
// front end's 1024 files. Each runs under every cache geometry a host can
// choose: 64-byte lines, and lines of several pages, where the entry that
// switches a file may share a line with the new links it leads to.
struct Layout {
    uint32_t size;
    uint32_t files;
    uint32_t line_size;
    uint32_t lines;
};
constexpr int32_t kProbeFile = 64;   // written by the follow-up only

struct Step {
    std::string name;
    int32_t file;  // the file the operation changes, -1 none
    std::function<uint32_t(AfsVolume&, Model&)> run;  // updates the model to the new state
};

std::vector<uint8_t> with(std::vector<uint8_t> base, uint32_t offset, const std::vector<uint8_t>& data,
                          bool truncate) {
    const size_t end = offset + data.size();
    if (base.size() < end || truncate) base.resize(end, 0);
    std::copy(data.begin(), data.end(), base.begin() + offset);
    return base;
}

Step write_step(std::string name, int32_t file, uint32_t offset, uint32_t length, uint32_t seed, bool truncate = false) {
    return {std::move(name), file, [=](AfsVolume& v, Model& m) {
                const auto data = afs_pattern(length, seed);
                m[file] = with(m[file].value_or(std::vector<uint8_t>{}), offset, data, truncate);
                return v.write(file, offset, data, truncate);
            }};
}

Step plain_step(std::string name, std::function<uint32_t(AfsVolume&)> op, bool no_gain_ok = false) {
    return {std::move(name), -1, [=](AfsVolume& v, Model&) {
                const uint32_t status = op(v);
                return no_gain_ok && status == STORAGE_RECLAIM_NO_GAIN ? 0u : status;
            }};
}

std::vector<Step> workload() {
    std::vector<Step> steps;
    steps.push_back(write_step("create", 1, 0, 700, 1));
    steps.push_back(write_step("create second", 2, 0, 3000, 2));
    steps.push_back(write_step("overwrite middle", 1, 100, 300, 3));
    steps.push_back(write_step("append", 1, 700, 200, 4));
    steps.push_back(write_step("hole fill", 3, 500, 70, 5));
    steps.push_back(write_step("truncate shorter", 2, 1000, 10, 6, true));
    steps.push_back(write_step("truncate to 0", 1, 0, 0, 7, true));
    steps.push_back({"delete", 3, [](AfsVolume& v, Model& m) {
                         m[3] = std::nullopt;
                         return afs_deletefile(&v.ctx, 3);
                     }});
    steps.push_back({"zombie mark", 5, [](AfsVolume& v, Model&) { return afs_mark_zombie_file(&v.ctx, 5); }});
    // Overwrites of a 3 KB file exhaust the allocation window (data reclaim)
    // and, with their table lines, fill the metadata unit (metadata reclaim).
    for (uint32_t i = 0; i < 12; ++i) {
        steps.push_back(write_step("rewrite " + std::to_string(i), 2 + static_cast<int32_t>(i % 3) * 2, 0, 2000,
                                   10 + i, true));
    }
    steps.push_back(plain_step("forced full reclaim", [](AfsVolume& v) { return v.full_reclaim(); }));
    steps.push_back(write_step("rewrite after reclaim", 4, 64, 2000, 30));
    steps.push_back(plain_step("idle reclaim steps",
                               [](AfsVolume& v) {
                                   for (int i = 0; i < 3; ++i) {
                                       const uint32_t s = afs_idle_reclaim(&v.ctx);
                                       if (s != 0 && s != STORAGE_RECLAIM_NO_GAIN) return s;
                                   }
                                   return 0u;
                               }));
    steps.push_back(plain_step("dirty erase", [](AfsVolume& v) { return afs_force_dirty_erase(&v.ctx); }));
    for (uint32_t i = 0; i < 60; ++i) {
        steps.push_back(write_step("small write " + std::to_string(i), 7 + static_cast<int32_t>(i % 4),
                                   64 * (i % 10), 90, 40 + i));
    }
    steps.push_back(plain_step("forced full reclaim again", [](AfsVolume& v) { return v.full_reclaim(); }));
    return steps;
}

bool same(const Content& a, const Content& b) { return a.has_value() == b.has_value() && (!a || *a == *b); }

std::string show(const Content& c) { return c ? std::to_string(c->size()) + " bytes" : std::string("absent"); }

// Mounts `image` and checks the files against the models; with `follow_up`
// also uses the partition and mounts it again.
void check_state(const Layout& L, const std::vector<uint8_t>& image, const Model& before, const Model& after, int32_t changed,
                 bool follow_up, const std::string& where) {
    AfsVolume v(L.size);
    v.image = image;
    ASSERT_EQ(v.mount(dorv::test::kAfsMountFlags, L.files, L.line_size, L.lines), 0u) << where;
    Model seen;
    for (const auto& [id, old] : before) {
        const Content now = v.read(id);
        seen[id] = now;
        if (id == changed) {
            const Content& fresh = after.at(id);
            ASSERT_TRUE(same(now, old) || same(now, fresh))
                << where << ": file " << id << " reads " << show(now) << ", neither old " << show(old) << " nor new "
                << show(fresh);
        } else {
            ASSERT_TRUE(same(now, old)) << where << ": file " << id << " reads " << show(now) << " for " << show(old);
        }
    }
    if (!follow_up) return;
    const auto probe = afs_pattern(1500, 99);
    ASSERT_EQ(v.write(kProbeFile, 0, probe, true), 0u) << where;
    int32_t victim = -1;
    for (const auto& [id, content] : seen) {
        if (content && id != changed) victim = id;
    }
    if (victim >= 0) {
        ASSERT_EQ(afs_deletefile(&v.ctx, victim), 0u) << where;
    }
    ASSERT_EQ(v.full_reclaim(), 0u) << where;
    ASSERT_EQ(v.mount(dorv::test::kAfsMountFlags, L.files, L.line_size, L.lines), 0u) << where << " (after the follow-up)";
    ASSERT_EQ(v.read(kProbeFile), Content(probe)) << where;
    for (const auto& [id, content] : seen) {
        if (id == victim) {
            ASSERT_FALSE(v.read(id).has_value()) << where;
        } else {
            ASSERT_TRUE(same(v.read(id), content)) << where << ": file " << id << " after the follow-up";
        }
    }
}

uint32_t allocated_chunks(const afs_context_t& ctx) {
    uint32_t n = 0;
    for (uint32_t k = 0; k < ctx.chunks; ++k) n += (ctx.bitmap[k / 32] >> (k % 32)) & 1u;
    return n;
}

// The operation run on a fresh mount of `base` with the power cut after
// `cut` flash operations: a failed operation leaves the changed file as it
// was in the same session, and keeps no chunk allocated that it took.
void check_in_session(const Layout& L, const std::vector<uint8_t>& base, const Step& step, const Model& before, size_t cut,
                      const std::string& where) {
    AfsVolume v(L.size);
    v.image = base;
    ASSERT_EQ(v.mount(dorv::test::kAfsMountFlags, L.files, L.line_size, L.lines), 0u) << where;
    const uint32_t chunks_before = allocated_chunks(v.ctx);
    Model after = before;
    FaultFlash flash;
    flash.cut_after(cut);
    uint32_t status = 0;
    {
        dorv::test::ScopedMedium scoped(dorv::afs::module_state().medium, flash);
        status = step.run(v, after);
    }
    if (step.file < 0 || step.file == 5) return;
    const Content now = v.read(step.file);
    if (status == 0) {
        ASSERT_TRUE(same(now, after.at(step.file))) << where << ": the operation reported success";
    } else if (flash.power_lost()) {
        ASSERT_TRUE(same(now, before.at(step.file))) << where << ": failed with " << status << " but reads "
                                                     << show(now);
        if (step.name.rfind("delete", 0) != 0) {
            ASSERT_EQ(allocated_chunks(v.ctx), chunks_before) << where << ": chunks kept by a failed write";
        }
    }
}

class AfsPowerLoss : public ::testing::TestWithParam<Layout> {};

TEST_P(AfsPowerLoss, EveryCutLeavesOldOrNewAndAUsablePartition) {
    const Layout L = GetParam();
    dorv::afs::reset_module_state();
    AfsVolume v(L.size);
    ASSERT_EQ(v.mount(dorv::test::kAfsCreateFlags, L.files, L.line_size, L.lines), 0u);
    Model model;
    for (int32_t id = 0; id < kProbeFile; ++id) model[id] = std::nullopt;

    size_t cuts = 0, erasing_steps = 0, meta_switches = 0;
    for (const Step& step : workload()) {
        SCOPED_TRACE(step.name);
        // The checks mount other images; the session's image is bound again.
        dorv::afs::spi_bind(v.image.data(), L.size);
        const std::vector<uint8_t> base = v.image;
        const uint32_t meta_before = v.ctx.ftl_state->current_meta_eu;
        Model after = model;
        FaultFlash flash;
        uint32_t status = 0;
        {
            dorv::test::ScopedMedium scoped(dorv::afs::module_state().medium, flash);
            status = step.run(v, after);
        }
        ASSERT_EQ(status, 0u);
        if (step.file >= 0 && step.file != 5) {
            ASSERT_TRUE(same(v.read(step.file), after[step.file])) << "in the session";
        }
        const std::vector<FlashOp>& log = flash.log();
        for (size_t cut = 0; cut < log.size(); ++cut) {
            check_in_session(L, base, step, model, cut, step.name + ", in session, cut after " + std::to_string(cut));
            if (HasFatalFailure()) return;
        }
        bool erased = false;
        for (size_t count = 0; count <= log.size(); ++count) {
            const std::string at = step.name + ", " + std::to_string(count) + " of " + std::to_string(log.size());
            check_state(L, dorv::test::replay(base, log, count), model, after, step.file, true, at);
            if (HasFatalFailure()) return;
            ++cuts;
            if (count == log.size()) break;
            const FlashOp& next = log[count];
            std::vector<Tear> tears;
            if (next.kind == FlashOp::Kind::erase) {
                erased = true;
                tears.push_back(Tear{0, true});
            } else {
                for (uint32_t prefix : {1u, next.length / 2, next.length - 1}) {
                    if (prefix > 0 && prefix < next.length) tears.push_back(Tear{prefix, false});
                }
            }
            for (const Tear& tear : tears) {
                check_state(L, dorv::test::replay(base, log, count, true, tear), model, after, step.file, false,
                            at + " torn at " + std::to_string(tear.write_prefix));
                if (HasFatalFailure()) return;
                ++cuts;
            }
        }
        erasing_steps += erased ? 1 : 0;
        meta_switches += v.ctx.ftl_state->current_meta_eu != meta_before ? 1 : 0;
        model = after;
    }
    // The workload reached the reclaims it is meant to cut through.
    EXPECT_GE(erasing_steps, 3u);
    EXPECT_GE(meta_switches, 1u);
    EXPECT_GT(cuts, 1000u);
    dorv::afs::spi_bind(v.image.data(), L.size);
    ASSERT_EQ(v.mount(dorv::test::kAfsMountFlags, L.files, L.line_size, L.lines), 0u);
    for (const auto& [id, content] : model) ASSERT_TRUE(same(v.read(id), content)) << id;
}

INSTANTIATE_TEST_SUITE_P(Layouts, AfsPowerLoss,
                         ::testing::Values(Layout{0x8000, 65, 64, 10}, Layout{0x10000, 1024, 64, 2},
                                           Layout{0x8000, 65, 128, 64}, Layout{0x10000, 1024, 128, 64},
                                           Layout{0x8000, 65, 192, 42}, Layout{0x10000, 1024, 192, 42},
                                           Layout{0x8000, 65, 4096, 2}, Layout{0x10000, 1024, 4096, 2}),
                         [](const ::testing::TestParamInfo<Layout>& info) {
                             return "size_" + std::to_string(info.param.size) + "_files_" +
                                    std::to_string(info.param.files) + "_lines_" +
                                    std::to_string(info.param.lines) + "x" + std::to_string(info.param.line_size);
                         });

}  // namespace
