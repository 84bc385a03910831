// Throughput of the EFS checksums over one data block's payload (4076 bytes),
// the CRC that every block read, payload write and footer pays.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "dorv/efs.h"

namespace {

std::vector<uint8_t> payload() {
    std::vector<uint8_t> bytes(EFS_PAYLOAD_SIZE);
    std::mt19937 rng(1);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
}

void BM_EfsCrc32Payload(benchmark::State& state) {
    const auto bytes = payload();
    for (auto _ : state) {
        benchmark::DoNotOptimize(EFS_crc32(0, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_EfsCrc32Payload);

void BM_EfsCrc16Payload(benchmark::State& state) {
    const auto bytes = payload();
    for (auto _ : state) {
        benchmark::DoNotOptimize(EFS_crc16(0, bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_EfsCrc16Payload);

}  // namespace
