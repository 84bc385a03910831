// Scaling of the file tree with the size of a configuration table: building it
// the way a table is loaded (look the name up, then add), walking it with the
// iterator, finding every file, and serialising it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dorv/image_editor.h"
#include "support/file_tree_builders.h"

namespace {

using image_editor::Directory;
using image_editor::File;
using image_editor::IFile;

struct Table {
    std::vector<std::string> names;
    std::vector<std::vector<uint8_t>> records;
};

// n files named like the library's NVAR paths, each with a 32-byte payload;
// in name order, or shuffled with a fixed seed.
Table makeTable(int64_t n, bool shuffled) {
    Table table;
    for (int64_t i = 0; i < n; ++i) {
        char name[48];
        std::snprintf(name, sizeof name, "/home/config/value_%06lld/", static_cast<long long>(i));
        table.names.emplace_back(name);
    }
    if (shuffled) std::shuffle(table.names.begin(), table.names.end(), std::mt19937(12345));
    for (std::size_t i = 0; i < table.names.size(); ++i) {
        table.records.push_back(dorv::test::makeRecord(
            static_cast<uint32_t>(i), std::vector<uint8_t>(32, static_cast<uint8_t>(i))));
    }
    return table;
}

std::shared_ptr<Directory> build(const Table& table) {
    auto root = std::make_shared<Directory>();
    std::shared_ptr<IFile> existing;
    for (std::size_t i = 0; i < table.names.size(); ++i) {
        if (root->getFile(table.names[i], &existing)) continue;  // duplicate check first
        root->addFile(table.names[i],
                      std::make_shared<File>(table.records[i].data(),
                                             static_cast<uint32_t>(table.records[i].size()),
                                             table.names[i].c_str()));
    }
    return root;
}

void buildBench(benchmark::State& state, bool shuffled) {
    const Table table = makeTable(state.range(0), shuffled);
    for (auto _ : state) {
        auto root = build(table);
        benchmark::DoNotOptimize(root->children.size());
    }
    state.SetComplexityN(state.range(0));
}

void BM_BuildInNameOrder(benchmark::State& state) { buildBench(state, false); }
void BM_BuildShuffled(benchmark::State& state) { buildBench(state, true); }

void BM_Walk(benchmark::State& state) {
    const auto root = build(makeTable(state.range(0), true));
    image_editor::FileIterator it(root);
    for (auto _ : state) {
        int64_t seen = 0;
        for (std::string name = it.firstFile(); !name.empty(); name = it.nextFile()) ++seen;
        if (seen != state.range(0)) state.SkipWithError("walk missed files");
    }
    state.SetComplexityN(state.range(0));
}

void BM_FindEach(benchmark::State& state) {
    const Table table = makeTable(state.range(0), true);
    const auto root = build(table);
    std::shared_ptr<IFile> out;
    for (auto _ : state) {
        for (const std::string& name : table.names) {
            if (!root->getFile(name, &out)) state.SkipWithError("file not found");
        }
    }
    state.SetComplexityN(state.range(0));
}

void BM_Serialise(benchmark::State& state) {
    const auto root = build(makeTable(state.range(0), true));
    for (auto _ : state) {
        std::vector<_cfg_file_entry_t> entries;
        std::vector<uint8_t> data;
        root->serialize(entries, data);
        benchmark::DoNotOptimize(data.data());
    }
    state.SetComplexityN(state.range(0));
}

#define DORV_TABLE_SIZES RangeMultiplier(4)->Range(256, 4096)->Complexity(benchmark::oNLogN)
BENCHMARK(BM_BuildInNameOrder)->DORV_TABLE_SIZES;
BENCHMARK(BM_BuildShuffled)->DORV_TABLE_SIZES;
BENCHMARK(BM_Walk)->DORV_TABLE_SIZES;
BENCHMARK(BM_FindEach)->DORV_TABLE_SIZES;
BENCHMARK(BM_Serialise)->DORV_TABLE_SIZES;

}  // namespace
