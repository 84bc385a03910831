// Write then read of a 16 KiB and a 60 KiB EFS file on a layout of about
// 200 blocks with 16 spares. Each block of a write costs a verified block
// read, a blank check, the payload write, its read-back and the CRCs; a
// read costs one record read and its CRC-16 per block.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "efs/efs_layout.h"
#include "efs/efs_state.h"
#include "support/efs_image_builder.h"

namespace {

// File 0 takes 16 KiB in logical blocks 0-4, file 1 60 KiB from block 10.
dorv::test::EfsLayoutRow layout() {
    return dorv::test::efs_row(2, 182, 16, {{0, 0, 0, 16384}, {1, 10, 0, 61440}}, 2);
}

class MountedEfs {
public:
    MountedEfs() : row_(layout()), image_(dorv::test::EfsImage::formatted(row_).bytes) {
        dorv::efs::reset_efs_state();
        dorv::efs::reset_layout();
        if (dorv::test::load_efs_layout(row_) != 0 ||
            efs_mount_image(image_.data(), static_cast<uint32_t>(image_.size())) != 0) {
            std::abort();
        }
    }
    ~MountedEfs() {
        dorv::efs::reset_efs_state();
        dorv::efs::reset_layout();
    }
    MountedEfs(const MountedEfs&) = delete;
    MountedEfs& operator=(const MountedEfs&) = delete;

private:
    dorv::test::EfsLayoutRow row_;
    std::vector<uint8_t> image_;
};

std::vector<uint8_t> content(uint32_t size) {
    std::vector<uint8_t> out(size);
    for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
    return out;
}

void BM_EfsWrite(benchmark::State& state) {
    const auto file = static_cast<uint32_t>(state.range(0));
    const auto size = static_cast<uint32_t>(state.range(1));
    MountedEfs efs;
    const auto data = content(size);
    for (auto _ : state) {
        if (EFS_write(file, 0, size, data.data()) != 0) state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_EfsWrite)->Args({0, 16384})->Args({1, 61440});

void BM_EfsRead(benchmark::State& state) {
    const auto file = static_cast<uint32_t>(state.range(0));
    const auto size = static_cast<uint32_t>(state.range(1));
    MountedEfs efs;
    const auto data = content(size);
    if (EFS_write(file, 0, size, data.data()) != 0) std::abort();
    std::vector<uint8_t> out(size);
    for (auto _ : state) {
        uint32_t length = size;
        if (EFS_read(file, 0, &length, out.data()) != 0 || length != size) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_EfsRead)->Args({0, 16384})->Args({1, 61440});

}  // namespace
