// The library's main job on images with many deployed files: start-up (both
// images mounted, every deployed value read), kelPqsNvarGet of every value, a
// change to one value in ten, and kelPqsNvarTerm(true), which writes every
// value back. Reported per file; a second benchmark times the file-table
// scans that the road makes by name (two per file, the deploy marker three
// times), so their share of the road can be read off.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "dorv/file_table.h"
#include "dorv/kelpqs.h"
#include "support/deploy_images.h"
#include "support/library_reset.h"

namespace {

using dorv::test::Bytes;

constexpr uint32_t kEfsFiles = 8;
constexpr uint32_t kValueSize = 16;

std::string nameOf(uint32_t i) {
    char name[40];
    std::snprintf(name, sizeof name, "/home/mca/value_%05u", static_cast<unsigned>(i));
    return name;
}

dorv::test::DeployedFile file(const std::string& name, uint32_t number, uint16_t index, uint8_t selector,
                              std::optional<Bytes> tarvo, std::optional<Bytes> flash) {
    dorv::test::DeployedFile f;
    f.entry.name = name;
    f.entry.file_number = number;
    f.entry.storage_index = index;
    f.entry.storage_selector = selector;
    f.entry.max_data_size = 64;
    f.tarvo = std::move(tarvo);
    f.flash = std::move(flash);
    return f;
}

// n deployed files: n - 8 in the PQS partition, 8 in the EFS, and the deploy
// marker. File numbers carry a top bit, so AFS file id 0 is reachable.
dorv::test::Deployment deployment(uint32_t n) {
    dorv::test::Deployment d;
    d.afs_files = 2048;
    d.pqs_size = n <= 256 ? 0x40000 : 0x100000;
    d.files.push_back(file("/home/mca/deploy", 0x10000000, 0, 0, std::nullopt, Bytes{'1'}));
    for (uint32_t i = 0; i < n; ++i) {
        const bool efs = i >= n - kEfsFiles;
        const uint16_t index = static_cast<uint16_t>(efs ? i - (n - kEfsFiles) : i + 1);
        dorv::test::DeployedFile f = file(nameOf(i), 0x10000001 + i, index, efs ? 2 : 0,
                                          dorv::test::pattern(kValueSize, static_cast<uint8_t>(i)),
                                          dorv::test::pattern(kValueSize, static_cast<uint8_t>(i + 1)));
        f.efs_place = {index, 0, static_cast<uint16_t>(index * 40), 32};
        d.files.push_back(f);
    }
    return d;
}

void Road(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    const dorv::test::DorvInputs pristine = dorv::test::build_deployment(deployment(n));
    std::vector<std::string> names;
    for (uint32_t i = 0; i < n; ++i) names.push_back(nameOf(i));
    for (auto _ : state) {
        dorv::test::DorvInputs in = pristine;
        const DorvInitTables record = in.record();
        const auto begin = std::chrono::steady_clock::now();
        bool ok = kelPqsDorvInit(&record, nullptr);
        for (uint32_t i = 0; ok && i < n; ++i) {
            void* data = nullptr;
            uint32_t size = 0;
            ok = kelPqsNvarGet(names[i].c_str(), &data, &size, FCS_TABLE_CURRENT_VALUES, nullptr, nullptr);
            if (ok && i % 10 == 0) static_cast<uint8_t*>(data)[0] ^= 0xFF;
            benchmark::DoNotOptimize(data);
        }
        ok = ok && kelPqsNvarTerm(true);
        const auto end = std::chrono::steady_clock::now();
        if (!ok) state.SkipWithError("the road failed");
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        kelPqsNvarTerm(false);
        dorv::test::resetLibraryState();
    }
    state.counters["per_file"] =
        benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(Road)->Arg(256)->Arg(1024)->Arg(2048)->UseManualTime()->Unit(benchmark::kMillisecond);

// The lookups by name that the road makes through the mini VFS, over the
// same file table: each deployed file is found once at start-up and once at
// termination, the marker three times.
void RoadNameScans(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    dorv::test::DorvInputs in = dorv::test::build_deployment(deployment(n));
    if (load_file_table(in.ftbl.data(), in.sku, static_cast<uint32_t>(in.ftbl.size())) != 0) {
        state.SkipWithError("file table refused");
        return;
    }
    std::vector<std::string> names;
    for (uint32_t i = 0; i < n; ++i) names.push_back(nameOf(i));
    for (auto _ : state) {
        for (int pass = 0; pass < 2; ++pass) {
            for (const std::string& name : names) benchmark::DoNotOptimize(get_file_entry_by_file_name(name.c_str()));
        }
        for (int marker = 0; marker < 3; ++marker) {
            benchmark::DoNotOptimize(get_file_entry_by_file_name("/home/mca/deploy"));
        }
    }
    dorv::test::resetLibraryState();
    state.counters["per_file"] =
        benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(RoadNameScans)->Arg(256)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

}  // namespace
