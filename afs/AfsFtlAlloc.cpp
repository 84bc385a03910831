// Allocation of data pages: the allocation window over one data unit, its
// refill through reclaim, and the rebuild of the data-unit counters and the
// window from the chunk bitmap at mount. The bitmap is scanned a 32-bit word
// at a time.
#include <bit>

#include "afs/afs_ftl.h"

namespace {

using namespace dorv::afs;
namespace L = dorv::afs::layout;

// The window's end as far as pages may be handed out: never past the chunks.
uint32_t window_limit(const afs_context_t* ctx) {
    const uint32_t end = ctx->ftl_state->window_end;
    return end < ctx->chunks ? end : ctx->chunks;
}

// The window ran out: the first time the caller is asked to flush its cache
// and ask again; the second time a data unit is reclaimed. 0 leaves a window
// with at least one page to try.
uint32_t refill_window(afs_context_t* ctx) {
    afs_ftl_state_t* st = ctx->ftl_state;
    if (!st->retry_signalled) {
        st->retry_signalled = 1;
        return STORAGE_FLUSH_AND_RETRY;
    }
    const uint32_t status = reclaim_eu_wrapper(ctx, AFS_RECLAIM_DATA);
    if (status == STORAGE_RECLAIM_NO_GAIN) return STORAGE_NO_SPACE;
    if (status != STORAGE_OK) return status;
    if (st->window_next == AFS_FTL_NONE || st->window_next >= window_limit(ctx)) return STORAGE_NO_SPACE;
    return STORAGE_OK;
}

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t afs_physical_ftl_allocate_page(afs_context_t* ctx, uint16_t* chunk) {
    if (ftl_usable(ctx) != STORAGE_OK || chunk == nullptr || ctx->bitmap == nullptr) {
        return STORAGE_INVALID_ARGUMENT;
    }
    afs_ftl_state_t* st = ctx->ftl_state;
    bool refilled = false;
    if (st->window_next == AFS_FTL_NONE) {
        const uint32_t status = refill_window(ctx);
        if (status != STORAGE_OK) return status;
        refilled = true;
    }
    if (ctx->chunks == 0) return STORAGE_NO_SPACE;
    const uint32_t chunks = ctx->chunks;
    uint32_t p = st->window_next, skipped = 0;
    for (;;) {
        if (p >= window_limit(ctx)) {
            // A fresh window that runs out before handing out a page has its
            // free slots past the last chunk: asking again would only repeat.
            if (refilled) return STORAGE_NO_SPACE;
            refilled = true;
            const uint32_t status = refill_window(ctx);
            if (status != STORAGE_OK) return status;
            p = st->window_next;
            continue;
        }
        // Allocated pages are skipped a word at a time.
        const uint32_t taken = std::countr_one(bitmap_bits_at(ctx, p));
        if (taken != 0) {
            const uint32_t room = window_limit(ctx) - p;
            const uint32_t step = taken < room ? taken : room;
            p += step;
            st->window_next = p;
            skipped += step;
            if (skipped >= chunks) return STORAGE_NO_SPACE;
            continue;
        }
        if (st->check_status) {
            const uint32_t eu = data_unit_of_index(ctx, p);
            if (eu == AFS_FTL_NONE) return STORAGE_IO_ERROR;
            uint8_t status_byte = 0;
            if (ftl_read(ctx, eu_offset(eu) + L::data_status_offset(p % L::kDataSlots), 1, &status_byte) !=
                STORAGE_OK) {
                return STORAGE_IO_ERROR;
            }
            if (status_byte != L::kStatusFree) {
                p = ++st->window_next;
                if (++skipped >= chunks) return STORAGE_NO_SPACE;
                continue;
            }
        }
        *chunk = static_cast<uint16_t>(p + ctx->files);
        st->window_next = p + 1;
        return STORAGE_OK;
    }
}

DORV_API uint32_t afs_physical_ftl_set_allocation_map(afs_context_t* ctx) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    afs_ftl_state_t* st = ctx->ftl_state;
    st->retry_signalled = 0;
    st->window_next = AFS_FTL_NONE;
    uint32_t best = 0;
    for (uint32_t i = 0; i < st->eu_count; ++i) {
        afs_eu_info_t& rec = st->eu_info[i];
        if (rec.id == 0) continue;
        rec.not_valid = L::kDataSlots;
        rec.free = 0;
        const uint32_t b = data_unit_base(ctx, rec.id);
        uint8_t status[L::kDataSlots];
        if (ftl_read(ctx, eu_offset(i) + L::kDataStatus, L::kDataSlots, status) != STORAGE_OK) {
            return STORAGE_IO_ERROR;
        }
        uint32_t first_free = L::kDataSlots;
        for (uint32_t j0 = 0; j0 < L::kDataSlots; j0 += 32) {
            const uint32_t bits = bitmap_bits_at(ctx, b + j0);
            const uint32_t span = L::kDataSlots - j0 < 32 ? L::kDataSlots - j0 : 32;
            for (uint32_t j = j0; j < j0 + span; ++j) {
                if ((bits >> (j - j0)) & 1u) {
                    if (status[j] != L::kStatusWritten) return STORAGE_IO_ERROR;
                    --rec.not_valid;
                } else if (status[j] == L::kStatusFree) {
                    ++rec.free;
                    if (first_free == L::kDataSlots) first_free = j;
                }
            }
        }
        if (rec.free != 0 && rec.sequence > best) {
            best = rec.sequence;
            st->window_next = b + first_free;
            st->window_end = b + L::kDataSlots;
        }
    }
    st->check_status = 1;
    return STORAGE_OK;
}

DORV_C_END
