// The line cache over a recording page store: LRU eviction, write-back
// before refill, flush order, invalidation, lines of several pages with
// per-page dirty marks, failures of the store and of the allocation.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "afs/afs_cache.h"
#include "support/afs_ftl_rig.h"
#include "support/alloc_failure.h"

namespace {

// A page store behind the operations table: records every call.
struct Store {
    std::map<uint32_t, std::vector<uint8_t>> pages;
    std::vector<std::string> calls;
    uint32_t fail_write_at = 0xFFFFFFFFu, fail_read_at = 0xFFFFFFFFu;
};
Store* g_store = nullptr;

// "r<address>" or "w<address>". Appended rather than concatenated: g++ 12 at
// -O3 reports a false overlap (-Wrestrict) inside "literal" + std::string.
std::string call_name(char kind, uint32_t address) {
    std::string name(1, kind);
    name += std::to_string(address);
    return name;
}

uint32_t store_read(afs_context_t*, uint32_t address, uint32_t, uint8_t* buffer, uint32_t) {
    g_store->calls.push_back(call_name('r', address));
    if (address == g_store->fail_read_at) return 5;
    auto it = g_store->pages.find(address);
    if (it == g_store->pages.end()) {
        std::memset(buffer, 0, 64);
    } else {
        std::memcpy(buffer, it->second.data(), 64);
    }
    return 0;
}
uint32_t store_write(afs_context_t*, uint32_t address, uint32_t, const uint8_t* buffer, uint32_t) {
    g_store->calls.push_back(call_name('w', address));
    if (address == g_store->fail_write_at) return 4;
    g_store->pages[address].assign(buffer, buffer + 64);
    return 0;
}
uint32_t store_trim(afs_context_t*, uint32_t, uint32_t, uint32_t) { return 0; }
uint32_t store_none(afs_context_t*) { return 0; }
const afs_ops_t kStoreOps = {store_read, store_write, store_trim, store_none, store_none};

class AfsCache : public ::testing::Test {
protected:
    void SetUp() override {
        g_store = &store;
        ctx.ops = &kStoreOps;
    }
    void TearDown() override {
        std::free(ctx.cache_entries);
        std::free(ctx.cache_buffer);
        g_store = nullptr;
    }
    uint8_t* line(uint32_t n) {
        uint8_t* p = nullptr;
        EXPECT_EQ(cache_ptr(&ctx, n, &p), 0u) << n;
        return p;
    }
    void change(uint32_t n, uint8_t value, uint32_t offset = 0) {
        uint8_t* p = line(n);
        p[offset] = value;
        cache_line_written(&ctx, p + offset);
    }
    std::vector<std::string> take() { return std::exchange(store.calls, {}); }
    Store store;
    afs_context_t ctx{};
};

using Calls = std::vector<std::string>;

TEST_F(AfsCache, LeastRecentlyUsedLineIsEvictedAndWrittenBackFirst) {
    ASSERT_EQ(cache_init(&ctx, 64, 2), 0u);
    line(0);
    line(1);
    line(0);
    EXPECT_EQ(take(), (Calls{"r0", "r64"}));
    line(2);  // line 1 is the least recently used, and clean: no write
    EXPECT_EQ(take(), (Calls{"r128"}));
    line(0);
    EXPECT_TRUE(take().empty());
    change(0, 0xA1);
    line(3);  // evicts 2 (clean)
    change(3, 0xA3);
    line(4);  // evicts 0: written back before line 4 is read into its slot
    EXPECT_EQ(take(), (Calls{"r192", "w0", "r256"}));
    EXPECT_EQ(store.pages[0][0], 0xA1);
    uint8_t* p = line(0);  // evicts 3 (dirty)
    EXPECT_EQ(take(), (Calls{"w192", "r0"}));
    EXPECT_EQ(p[0], 0xA1);
}

TEST_F(AfsCache, FlushWritesDirtyLinesFromLeastToMostRecentlyUsed) {
    ASSERT_EQ(cache_init(&ctx, 64, 4), 0u);
    change(2, 1);
    change(0, 2);
    line(1);
    change(3, 3);
    take();
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(take(), (Calls{"w128", "w0", "w192"}));
    ASSERT_EQ(cache_flush(&ctx), 0u);  // nothing dirty: nothing written
    EXPECT_TRUE(take().empty());
    // A failing write-back stops the flush and leaves that line and later ones dirty.
    change(1, 4);
    change(2, 5);
    store.fail_write_at = 64;
    EXPECT_EQ(cache_flush(&ctx), 4u);
    store.fail_write_at = 0xFFFFFFFFu;
    take();
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(take(), (Calls{"w64", "w128"}));
}

TEST_F(AfsCache, InvalidateDropsPendingChanges) {
    ASSERT_EQ(cache_init(&ctx, 64, 3), 0u);
    store.pages[64].assign(64, 0x11);
    change(1, 0x99);
    line(2);
    cache_invalidate(&ctx);
    take();
    EXPECT_EQ(cache_flush(&ctx), 0u);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(line(1)[0], 0x11);  // read again from the store
    EXPECT_EQ(take(), (Calls{"r64"}));
}

TEST_F(AfsCache, LongLinesMoveEveryPageAndWriteBackOnlyChangedOnes) {
    ASSERT_EQ(cache_init(&ctx, 256, 2), 0u);
    store.pages[256 + 192].assign(64, 0x5A);
    uint8_t* p = line(1);
    EXPECT_EQ(take(), (Calls{"r256", "r320", "r384", "r448"}));
    EXPECT_EQ(p[192], 0x5A);
    p[130] = 7;
    cache_line_written(&ctx, p + 130);  // page 2 of the line
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(take(), (Calls{"w384"}));
    // A change spanning pages 0 and 1, marked as a range.
    p = line(1);
    std::memset(p + 60, 3, 8);
    dorv::afs::cache_range_written(&ctx, p + 60, 8);
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_EQ(take(), (Calls{"w256", "w320"}));
    // Pointers outside every slot are ignored.
    uint8_t outside[4];
    cache_line_written(&ctx, outside);
    cache_line_written(&ctx, ctx.cache_buffer + 2 * 256);
    ASSERT_EQ(cache_flush(&ctx), 0u);
    EXPECT_TRUE(take().empty());
}

TEST_F(AfsCache, FailedFillIsNotHandedOutAndRecreationFlushesFirst) {
    ASSERT_EQ(cache_init(&ctx, 64, 2), 0u);
    change(0, 1);
    store.fail_read_at = 64;
    uint8_t* p = nullptr;
    EXPECT_EQ(cache_ptr(&ctx, 1, &p), 5u);
    EXPECT_EQ(p, nullptr);
    store.fail_read_at = 0xFFFFFFFFu;
    take();
    // The failed slot went to the front holding no line: the next miss
    // evicts line 0, which is written back first.
    line(1);
    EXPECT_EQ(take(), (Calls{"w0", "r64"}));
    change(1, 9);
    ASSERT_EQ(cache_init(&ctx, 128, 3), 0u);  // the dirty line 1 is flushed first
    EXPECT_EQ(take(), (Calls{"w64"}));
    // A failing flush keeps the old cache.
    change(0, 2);
    uint8_t* const old = ctx.cache_buffer;
    store.fail_write_at = 0;
    EXPECT_EQ(cache_init(&ctx, 64, 2), 4u);
    EXPECT_EQ(ctx.cache_buffer, old);
    store.fail_write_at = 0xFFFFFFFFu;
    EXPECT_EQ(cache_init(&ctx, 64, 0), 22u);
    EXPECT_EQ(cache_init(&ctx, 100, 2), 22u);
}

TEST_F(AfsCache, NoCacheAndHalfBuiltCache) {
    uint8_t* p = nullptr;
    EXPECT_EQ(cache_ptr(&ctx, 0, &p), 22u);
    EXPECT_EQ(cache_flush(&ctx), 0u);
    cache_line_written(&ctx, reinterpret_cast<const uint8_t*>(&ctx));
    cache_invalidate(&ctx);
    if (dorv::test::AllocFailure::coversCAllocations()) {
        for (long successes : {0L, 1L}) {
            bool triggered = false;
            const uint32_t status =
                dorv::test::runWithAllocFailure(successes, triggered, [&] { return cache_init(&ctx, 64, 4); });
            ASSERT_TRUE(triggered);
            EXPECT_EQ(status, 12u);
            EXPECT_EQ(ctx.cache_entries, nullptr);
            EXPECT_EQ(ctx.cache_buffer, nullptr);
            EXPECT_EQ(cache_ptr(&ctx, 0, &p), 22u);
        }
    }
    ASSERT_EQ(cache_init(&ctx, 64, 4), 0u);
    // Re-creation whose allocation fails: no freed pointer stays behind.
    if (dorv::test::AllocFailure::coversCAllocations()) {
        bool triggered = false;
        const uint32_t status =
            dorv::test::runWithAllocFailure(1, triggered, [&] { return cache_init(&ctx, 64, 8); });
        ASSERT_TRUE(triggered);
        EXPECT_EQ(status, 12u);
        EXPECT_EQ(ctx.cache_entries, nullptr);
        EXPECT_EQ(ctx.cache_buffer, nullptr);
        EXPECT_EQ(cache_ptr(&ctx, 0, &p), 22u);
        ASSERT_EQ(cache_init(&ctx, 64, 4), 0u);
    }
    // A descriptor array without a line buffer is answered with 99.
    uint8_t* const buffer = ctx.cache_buffer;
    ctx.cache_buffer = nullptr;
    EXPECT_EQ(cache_init(&ctx, 64, 4), 99u);
    EXPECT_EQ(cache_ptr(&ctx, 0, &p), 99u);
    ctx.cache_buffer = buffer;
}

TEST_F(AfsCache, OverTheTranslationLayer) {
    dorv::test::AfsFtlRig rig(5, 40, 2);
    ASSERT_EQ(rig.format(), 0u);
    ASSERT_EQ(cache_init(&rig.ctx, 128, 4), 0u);
    uint8_t* p = nullptr;
    ASSERT_EQ(cache_ptr(&rig.ctx, 3, &p), 0u);  // metadata pages 6 and 7
    p[70] = 0x42;
    cache_line_written(&rig.ctx, p + 70);
    ASSERT_EQ(cache_flush(&rig.ctx), 0u);
    EXPECT_EQ(rig.st().next_meta_slot, 1u);  // only page 7 was written
    uint8_t page[64];
    ASSERT_EQ(afs_physical_ftl_read_page(&rig.ctx, 7 * 64, 64, page, 0), 0u);
    EXPECT_EQ(page[6], 0x42);
    std::free(rig.ctx.cache_entries);
    std::free(rig.ctx.cache_buffer);
}

}  // namespace
