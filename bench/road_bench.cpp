// The library's main job on images with many deployed files: start-up (both
// images mounted, every deployed value read), kelPqsNvarGet of every value, a
// change to one value in ten, and kelPqsNvarTerm(true), which writes every
// value back. Reported per file, with the share of the road spent in scans of
// the file table: the road makes three scans by name and five by number for
// each file (start-up: attributes, mini VFS, table load, current values;
// termination: mini VFS, built table, current values again) and two for the
// deploy marker; they are replayed through the exported lookups and timed
// apart (RoadScans, and the scan_share counter of Road).
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

// The file-table scans of one road, replayed.
void replayScans(const std::vector<std::string>& names, const std::vector<fileno_t>& numbers) {
    for (int pass = 0; pass < 3; ++pass) {
        for (const std::string& name : names) benchmark::DoNotOptimize(get_file_entry_by_file_name(name.c_str()));
    }
    for (int pass = 0; pass < 5; ++pass) {
        for (const fileno_t& number : numbers) benchmark::DoNotOptimize(get_file_entry_by_fileno(&number));
    }
    for (int marker = 0; marker < 2; ++marker) {
        benchmark::DoNotOptimize(get_file_entry_by_file_name("/home/mca/deploy"));
    }
}

std::vector<fileno_t> numbersOf(uint32_t n) {
    std::vector<fileno_t> numbers;
    for (uint32_t i = 0; i < n; ++i) numbers.push_back(fileno_t{0x10000001 + i});
    return numbers;
}

// Seconds one replay of the road's scans takes, over the deployment's table.
double scanSeconds(dorv::test::DorvInputs& in, const std::vector<std::string>& names,
                   const std::vector<fileno_t>& numbers) {
    if (load_file_table(in.ftbl.data(), in.sku, static_cast<uint32_t>(in.ftbl.size())) != 0) return 0;
    constexpr int kRounds = 5;
    const auto begin = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds; ++round) replayScans(names, numbers);
    const auto end = std::chrono::steady_clock::now();
    dorv::test::resetLibraryState();
    return std::chrono::duration<double>(end - begin).count() / kRounds;
}

void Road(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    const dorv::test::DorvInputs pristine = dorv::test::build_deployment(deployment(n));
    std::vector<std::string> names;
    for (uint32_t i = 0; i < n; ++i) names.push_back(nameOf(i));
    double total = 0;
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
        const double seconds = std::chrono::duration<double>(end - begin).count();
        state.SetIterationTime(seconds);
        total += seconds;
        kelPqsNvarTerm(false);
        dorv::test::resetLibraryState();
    }
    state.counters["per_file"] =
        benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    dorv::test::DorvInputs in = pristine;
    const double road = total / static_cast<double>(state.iterations());
    state.counters["scan_share"] = road > 0 ? scanSeconds(in, names, numbersOf(n)) / road : 0;
}
BENCHMARK(Road)->Arg(256)->Arg(1024)->Arg(2048)->UseManualTime()->Unit(benchmark::kMillisecond);

// The file-table scans of the road alone.
void RoadScans(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    dorv::test::DorvInputs in = dorv::test::build_deployment(deployment(n));
    if (load_file_table(in.ftbl.data(), in.sku, static_cast<uint32_t>(in.ftbl.size())) != 0) {
        state.SkipWithError("file table refused");
        return;
    }
    std::vector<std::string> names;
    for (uint32_t i = 0; i < n; ++i) names.push_back(nameOf(i));
    const std::vector<fileno_t> numbers = numbersOf(n);
    for (auto _ : state) replayScans(names, numbers);
    dorv::test::resetLibraryState();
    state.counters["per_file"] =
        benchmark::Counter(n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(RoadScans)->Arg(256)->Arg(1024)->Arg(2048)->Unit(benchmark::kMillisecond);

}  // namespace
