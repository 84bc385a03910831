// The translation layer's hot paths: the page checksum, a 62-page run read
// (one device read, one check per page, one move each) against 62 single
// page reads, and the allocation-map rebuild.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "afs/afs_state.h"
#include "support/afs_ftl_rig.h"

namespace {

void BM_Crc16Page(benchmark::State& state) {
    std::array<uint8_t, 64> page{};
    for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 13);
    uint16_t seed = 0x1234;
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16(page.data(), 64, &seed));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 64);
}
BENCHMARK(BM_Crc16Page);

struct Rig62 {
    dorv::test::AfsFtlRig rig{5, 40, 2};
    Rig62() {
        dorv::afs::reset_module_state();
        rig.format();
        std::array<uint8_t, 64> page{};
        for (uint32_t k = 0; k < 62; ++k) {
            page[0] = static_cast<uint8_t>(k);
            afs_physical_ftl_write_page(&rig.ctx, rig.data_address(k), 64, page.data(), 0);
        }
    }
};

void BM_ReadRun62(benchmark::State& state) {
    Rig62 r;
    std::vector<uint8_t> buffer(62 * 66);
    for (auto _ : state) {
        if (afs_physical_ftl_read_data_pages(&r.rig.ctx, buffer.data(), r.rig.data_address(0), 62) != 0) {
            state.SkipWithError("run read failed");
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 62 * 64);
}
BENCHMARK(BM_ReadRun62);

void BM_ReadPages62OneByOne(benchmark::State& state) {
    Rig62 r;
    std::vector<uint8_t> buffer(62 * 64);
    for (auto _ : state) {
        for (uint32_t k = 0; k < 62; ++k) {
            afs_physical_ftl_read_page(&r.rig.ctx, r.rig.data_address(k), 64, buffer.data() + 64 * k, 0);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 62 * 64);
}
BENCHMARK(BM_ReadPages62OneByOne);

void BM_SetAllocationMap(benchmark::State& state) {
    Rig62 r;
    for (auto _ : state) benchmark::DoNotOptimize(afs_physical_ftl_set_allocation_map(&r.rig.ctx));
}
BENCHMARK(BM_SetAllocationMap);

}  // namespace
