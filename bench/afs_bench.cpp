// AFS file throughput on a 1 MiB partition: one file written whole and read
// back, over and over, so that data and metadata reclaims are part of the
// steady state; 256 KiB and 4 KiB files. And the mount of a full
// 0x1FE000-byte partition. Every write pays the page checksum and the
// read-back of every flash write; every read the checksum of every page.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "afs/afs_state.h"
#include "support/afs_volume.h"

namespace {

using dorv::test::afs_pattern;
using dorv::test::AfsVolume;

void BM_AfsWriteFile(benchmark::State& state) {
    dorv::afs::reset_module_state();
    const auto length = static_cast<uint32_t>(state.range(0));
    AfsVolume v(0x100000);
    if (v.create() != 0) state.SkipWithError("create failed");
    const auto data = afs_pattern(length, 1);
    int32_t id = 0;
    for (auto _ : state) {
        if (v.write(id, 0, data, true) != 0) state.SkipWithError("write failed");
        id = (id + 1) % 2;  // the old copy of the other file stays live
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BM_AfsWriteFile)->Arg(256 * 1024)->Arg(4 * 1024);

void BM_AfsReadFile(benchmark::State& state) {
    dorv::afs::reset_module_state();
    const auto length = static_cast<uint32_t>(state.range(0));
    AfsVolume v(0x100000);
    if (v.create() != 0) state.SkipWithError("create failed");
    const auto data = afs_pattern(length, 2);
    // Rewritten a few times first, so the chain is spread as in use.
    for (int i = 0; i < 5; ++i) {
        if (v.write(0, 0, data, true) != 0) state.SkipWithError("write failed");
    }
    std::vector<uint8_t> back(length);
    for (auto _ : state) {
        int32_t got = static_cast<int32_t>(length);
        if (afs_readfile(&v.ctx, 0, 0, &got, back.data()) != 0 || got != static_cast<int32_t>(length)) {
            state.SkipWithError("read failed");
        }
        benchmark::DoNotOptimize(back.data());
    }
    if (back != data) state.SkipWithError("read back differs");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BM_AfsReadFile)->Arg(256 * 1024)->Arg(4 * 1024);

// One file rewritten whole (with truncation) and read back in every round:
// the round trip a host makes when it changes a value and checks it, with
// the reclaims that the rewrites cause counted in.
void BM_AfsWriteThenRead(benchmark::State& state) {
    dorv::afs::reset_module_state();
    const auto length = static_cast<uint32_t>(state.range(0));
    AfsVolume v(0x100000);
    if (v.create() != 0) state.SkipWithError("create failed");
    const auto data = afs_pattern(length, 3);
    std::vector<uint8_t> back(length);
    for (auto _ : state) {
        if (v.write(0, 0, data, true) != 0) state.SkipWithError("write failed");
        int32_t got = static_cast<int32_t>(length);
        if (afs_readfile(&v.ctx, 0, 0, &got, back.data()) != 0) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(back.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BM_AfsWriteThenRead)->Arg(256 * 1024)->Arg(4 * 1024);

void BM_AfsMountFullPartition(benchmark::State& state) {
    dorv::afs::reset_module_state();
    AfsVolume v(0x1FE000);
    if (v.create() != 0) state.SkipWithError("create failed");
    // Nearly full: six 256 KiB files and small ones in most other ids.
    const auto big = afs_pattern(0x40000, 4);
    for (int32_t id = 0; id < 6; ++id) {
        if (v.write(id, 0, big) != 0) state.SkipWithError("fill failed");
    }
    const auto small = afs_pattern(100, 5);
    for (int32_t id = 7; id < 1024; ++id) {
        if (v.write(id, 0, small) != 0) break;
    }
    for (auto _ : state) {
        if (v.mount() != 0) state.SkipWithError("mount failed");
    }
}
BENCHMARK(BM_AfsMountFullPartition)->Unit(benchmark::kMicrosecond);

}  // namespace
