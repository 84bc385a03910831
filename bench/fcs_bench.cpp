// Loading and flushing FCS buffers of growing size, over a file table that
// holds every file of the buffer.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dorv/fcs.h"
#include "dorv/file_table.h"
#include "support/fcs_builder.h"
#include "support/ftbl_builder.h"

namespace {

constexpr uint32_t kSku = 1;
constexpr std::size_t kPayloadSize = 32;

struct Fixture {
    std::vector<uint8_t> table;
    std::vector<uint8_t> buffer;
};

// A table of n files and an FCS buffer that carries them in reverse name order.
Fixture make_fixture(uint32_t n) {
    std::vector<dorv::test::FtblEntry> entries;
    dorv::test::FcsBuilder fcs;
    for (uint32_t i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/home/cfg/file%05u", static_cast<unsigned>(i));
        entries.push_back({name, 0x10000 + i, 0, 0, 0, kPayloadSize});
    }
    for (uint32_t i = n; i-- > 0;) {
        fcs.file(0x10000 + i, dorv::test::pattern(kPayloadSize, static_cast<uint8_t>(i)));
    }
    Fixture f;
    f.table = dorv::test::FtblBuilder().add_sku(kSku, std::move(entries)).build();
    f.buffer = fcs.build();
    return f;
}

bool select_table(const Fixture& f) {
    return load_file_table(f.table.data(), kSku, static_cast<uint32_t>(f.table.size())) == 0;
}

void BM_FcsLoad(benchmark::State& state) {
    const Fixture f = make_fixture(static_cast<uint32_t>(state.range(0)));
    if (!select_table(f)) {
        state.SkipWithError("file table not loaded");
        return;
    }
    for (auto _ : state) {
        fcs_handle_t* handle = nullptr;
        if (createHandleFromStructure(&handle, f.buffer.data(),
                                      static_cast<uint32_t>(f.buffer.size())) != FCS_OK) {
            state.SkipWithError("buffer rejected");
            return;
        }
        closeHandle(&handle);
    }
    state.SetComplexityN(state.range(0));
}

void BM_FcsFlush(benchmark::State& state) {
    const Fixture f = make_fixture(static_cast<uint32_t>(state.range(0)));
    fcs_handle_t* handle = nullptr;
    if (!select_table(f) ||
        createHandleFromStructure(&handle, f.buffer.data(),
                                  static_cast<uint32_t>(f.buffer.size())) != FCS_OK) {
        state.SkipWithError("buffer not opened");
        return;
    }
    std::vector<uint32_t> out(f.buffer.size() / 4 + 1);
    for (auto _ : state) {
        // The two-call sizing pattern: ask for the size, then write.
        uint32_t size = 0;
        flush(handle, nullptr, &size);
        if (flush(handle, out.data(), &size) != FCS_OK) {
            state.SkipWithError("flush failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    closeHandle(&handle);
    state.SetComplexityN(state.range(0));
}

BENCHMARK(BM_FcsLoad)->Arg(256)->Arg(1024)->Arg(4096)->Complexity();
BENCHMARK(BM_FcsFlush)->Arg(256)->Arg(1024)->Arg(4096)->Complexity();

}  // namespace
