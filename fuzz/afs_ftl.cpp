// Mounts fuzzed AFS partition images under a fuzzed geometry and runs a
// fuzzed sequence of page writes, trims, single and run reads, reclaims,
// dirty erases, remounts and line-cache changes over them. A page write that
// succeeds must read back as written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "afs/afs_ftl.h"
#include "afs/afs_layout.h"
#include "afs/afs_state.h"
#include "dorv/afs.h"
#include "fuzz/afs_ftl_input.h"

namespace {

using namespace dorv::fuzz;

struct Run {
    afs_context_t ctx{};
    std::vector<uint32_t> bitmap;
    uint32_t meta_pages = 0, data_pages = 0;

    ~Run() {
        std::free(ctx.cache_entries);
        std::free(ctx.cache_buffer);
        dorv::afs::ftl_free_state(&ctx);
    }

    uint32_t mount() {
        const uint32_t status = afs_physical_ftl_init(&ctx, ctx.size, AFS_FTL_ALLOCATE_STATE | AFS_FTL_BIND_DEVICE);
        return status != 0 ? status : afs_physical_ftl_set_allocation_map(&ctx);
    }

    void check_read(uint32_t address, const uint8_t* want) {
        uint8_t got[64];
        if (afs_physical_ftl_read_page(&ctx, address, 64, got, 0) != 0 || std::memcmp(got, want, 64) != 0) std::abort();
    }

    // false ends the sequence (the image no longer mounts).
    bool step(const AfsFtlStep& s, uint32_t n) {
        uint8_t page[64];
        for (uint32_t i = 0; i < 64; ++i) page[i] = static_cast<uint8_t>(s.arg * 31 + i + n);
        switch (s.op) {
            case kWriteMeta: {
                const uint32_t address = 64 * (s.arg % meta_pages);
                if (afs_physical_ftl_write_page(&ctx, address, 64, page, 0) == 0) check_read(address, page);
                break;
            }
            case kWriteData: {
                if (data_pages == 0) break;
                uint16_t chunk = 0;
                uint32_t status = afs_physical_ftl_allocate_page(&ctx, &chunk);
                if (status == STORAGE_FLUSH_AND_RETRY) status = afs_physical_ftl_allocate_page(&ctx, &chunk);
                if (status != 0) break;
                const uint32_t k = static_cast<uint16_t>(chunk - ctx.files);
                if (k >= ctx.chunks) std::abort();  // never past the last chunk
                const uint32_t address = ctx.data_start + 64 * k;
                if (afs_physical_ftl_write_page(&ctx, address, 64, page, 0) == 0) check_read(address, page);
                break;
            }
            case kTrimMeta: afs_physical_ftl_trim_page(&ctx, 64 * (s.arg % meta_pages), 64, 0); break;
            case kTrimData:
                if (data_pages != 0) afs_physical_ftl_trim_page(&ctx, ctx.data_start + 64 * (s.arg % data_pages), 64, 0);
                break;
            case kReadAny: afs_physical_ftl_read_page(&ctx, 64u * s.arg, 64, page, 0); break;
            case kReadRun: {
                if (data_pages == 0) break;
                std::vector<uint8_t> buffer(62 * 66);
                const uint32_t count = 1 + (s.arg >> 10) % 62;
                afs_physical_ftl_read_data_pages(&ctx, buffer.data(), ctx.data_start + 64 * ((s.arg & 0x3FF) % data_pages),
                                                 count);
                break;
            }
            case kIdleReclaim: afs_physical_ftl_idle_reclaim(&ctx); break;
            case kFullReclaim: afs_physical_ftl_force_full_reclaim(&ctx); break;
            case kDirtyErase: afs_physical_ftl_force_dirty_erase(&ctx); break;
            case kWrapper: reclaim_eu_wrapper(&ctx, s.arg % 3); break;
            case kRemount: return mount() == 0;
            case kCacheChange: {
                uint8_t* line = nullptr;
                const uint32_t lines = ctx.data_start / ctx.line_size;
                if (lines == 0 || cache_ptr(&ctx, s.arg % lines, &line) != 0) break;
                line[s.arg % ctx.line_size] ^= 0x5A;
                cache_line_written(&ctx, line + s.arg % ctx.line_size);
                break;
            }
            case kCacheFlush: cache_flush(&ctx); break;
            default: break;
        }
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    AfsFtlInput in;
    if (!decode_afs_ftl(data, size, in)) return 0;
    dorv::afs::reset_module_state();
    const uint32_t units = static_cast<uint32_t>(in.image.size() / 8192);
    {
        Run run;
        run.meta_pages = in.meta_pages;
        const uint32_t data_units = units >= 2 && in.data_units + 2 > units ? units - 2 : in.data_units;
        run.data_pages = data_units * 122;
        run.ctx.image = in.image.empty() ? nullptr : in.image.data();
        run.ctx.size = units * 8192;
        run.ctx.data_start = 64 * in.meta_pages;
        run.ctx.vas = run.ctx.data_start + data_units * 7808;
        run.ctx.files = 65;
        run.ctx.chunks = static_cast<uint16_t>(run.data_pages);
        run.ctx.ops = &afs_physical_spi_handler;
        run.bitmap.assign(dorv::afs::layout::bitmap_words(run.ctx) + 1, 0);
        run.ctx.bitmap = run.bitmap.data();
        run.ctx.line_size = static_cast<uint16_t>(64 * in.line_pages);
        if (run.mount() == 0 && cache_init(&run.ctx, run.ctx.line_size, 4) == 0) {
            for (uint32_t n = 0; n < in.steps.size(); ++n) {
                if (!run.step(in.steps[n], n)) break;
            }
        }
    }
    dorv::afs::reset_module_state();
    return 0;
}
