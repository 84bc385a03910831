// The file and link tables of a partition: validated entry reads, entry
// writes through the line cache, chain walks, chunk allocation and the
// release of chunks and of link-table pages that no allocated chunk uses.
#include <cstring>

#include "afs/afs_ftl.h"
#include "afs/afs_partition.h"
#include "afs/afs_state.h"
#include "common/le_bytes.h"

namespace dorv::afs {

namespace L = layout;

namespace {

// The cache line and offset of the two bytes at logical address `address`.
uint32_t entry_ptr(afs_context_t* ctx, uint32_t address, uint8_t** at) {
    const uint32_t line_size = ctx->line_size;
    uint8_t* line = nullptr;
    const uint32_t status = cache_ptr(ctx, address / line_size, &line);
    if (status != STORAGE_OK) return status;
    if (line == nullptr) return STORAGE_IO_ERROR;
    *at = line + address % line_size;
    return STORAGE_OK;
}

bool entry_in_table(const afs_context_t* ctx, uint32_t id) {
    if (ctx->line_size == 0) return false;
    const uint64_t end = static_cast<uint64_t>(L::entry_address(id)) + 2;
    // Entries are 2-byte aligned and lines multiples of 64, so an entry never
    // straddles two lines; the line number must fit the cache's 16-bit tags.
    return id < static_cast<uint32_t>(ctx->files) + ctx->chunks && end < 0x10000ull * ctx->line_size;
}

bool seen_test_and_set(uint32_t* seen, uint32_t index) {
    const uint32_t bit = 1u << (index % 32);
    if (seen[index / 32] & bit) return true;
    seen[index / 32] |= bit;
    return false;
}

}  // namespace

uint32_t read_entry(afs_context_t* ctx, uint32_t id, uint16_t* entry, Walk& walk) {
    if (!entry_in_table(ctx, id)) return STORAGE_INVALID_ARGUMENT;
    const bool file = id < ctx->files;
    if (file) {
        walk.links = 0;
    } else {
        ++walk.links;
    }
    const uint32_t address = L::entry_address(id);
    uint32_t at = address - walk.start;
    if (walk.bytes == nullptr || at >= ctx->line_size) {
        const uint32_t line = address / ctx->line_size;
        uint8_t* bytes = nullptr;
        const uint32_t status = cache_ptr(ctx, line, &bytes);
        if (status != STORAGE_OK) return status;
        if (bytes == nullptr) return STORAGE_IO_ERROR;
        walk.start = line * ctx->line_size;
        walk.bytes = bytes;
        at = address - walk.start;
    }
    const uint16_t value = le::load16(walk.bytes + at);
    *entry = value;
    if (is_chunk_id(ctx, value)) {
        // More links than chunks: the chain runs in a loop.
        return !file && walk.links >= ctx->chunks ? STORAGE_IO_ERROR : STORAGE_OK;
    }
    if (file) {
        return value == L::kFileFree || value == L::kFileZombie || value == L::kFileEmpty ? STORAGE_OK
                                                                                           : STORAGE_IO_ERROR;
    }
    return value <= L::kChunkBytes ? STORAGE_OK : STORAGE_IO_ERROR;
}

uint32_t write_entry(afs_context_t* ctx, uint32_t id, uint16_t value) {
    if (!entry_in_table(ctx, id)) return STORAGE_INVALID_ARGUMENT;
    uint8_t* at = nullptr;
    const uint32_t status = entry_ptr(ctx, L::entry_address(id), &at);
    if (status != STORAGE_OK) return status;
    le::store16(at, value);
    cache_line_written(ctx, at);
    return STORAGE_OK;
}

uint32_t chain_size(afs_context_t* ctx, uint16_t first, uint32_t* size, uint32_t* seen) {
    Walk walk;
    uint32_t total = 0;
    uint16_t chunk = first;
    for (;;) {
        if (seen != nullptr && seen_test_and_set(seen, chunk - ctx->files)) return STORAGE_IO_ERROR;
        uint16_t link = 0;
        const uint32_t status = read_entry(ctx, chunk, &link, walk);
        if (status != STORAGE_OK) return status;
        if (!is_chunk_id(ctx, link)) {
            // More chunks than the largest file has is corrupt too (checked
            // once per chain, not per link).
            if (total >= L::kMaxFileSize) return STORAGE_IO_ERROR;
            *size = total + link;
            return STORAGE_OK;
        }
        total += L::kChunkBytes;
        chunk = link;
    }
}

uint32_t release_chunk(afs_context_t* ctx, uint16_t chunk) {
    const uint32_t index = static_cast<uint32_t>(chunk) - ctx->files;
    const uint32_t status =
        ctx->ops->trim(ctx, ctx->data_start + index * L::kPageSize, ctx->line_size, ctx->base);
    if (status != STORAGE_OK) return status;
    afs_trim_fat_page_if_needed(ctx, index);
    return STORAGE_OK;
}

uint32_t release_chain(afs_context_t* ctx, uint16_t first, uint32_t count) {
    Walk walk;
    walk.links = 0;
    uint16_t chunk = first;
    uint32_t status = STORAGE_OK;
    for (uint32_t done = 0; done < count && is_chunk_id(ctx, chunk); ++done) {
        uint16_t link = 0;
        status = read_entry(ctx, chunk, &link, walk);
        if (status != STORAGE_OK) break;
        status = release_chunk(ctx, chunk);
        if (status != STORAGE_OK) break;
        chunk = link;
    }
    afs_trim_fat_page_if_needed(ctx, ctx->chunks);
    return status;
}

}  // namespace dorv::afs

using namespace dorv::afs;
namespace L = dorv::afs::layout;

DORV_C_BEGIN

DORV_API uint32_t afs_get_next_cid(afs_context_t* ctx, uint16_t id, uint16_t* entry) {
    if (ctx == nullptr || entry == nullptr || ctx->cache_entries == nullptr || !cache_fits(ctx)) {
        return STORAGE_INVALID_ARGUMENT;
    }
    Walk walk;
    walk.links = module_state().chunk_cntr;
    const uint32_t status = read_entry(ctx, id, entry, walk);
    module_state().chunk_cntr = walk.links;
    return status;
}

DORV_API uint32_t afs_allocate_chunk(afs_context_t* ctx, uint16_t* chunk) {
    if (ctx == nullptr || chunk == nullptr || ctx->bitmap == nullptr) return STORAGE_INVALID_ARGUMENT;
    if (ctx->ftl_alloc == 1) {
        // The data units may hold a page or two past the last chunk; such a
        // page has no link entry and is never handed to a file.
        for (uint32_t tries = 0; tries < 4; ++tries) {
            const uint32_t status = afs_physical_ftl_allocate_page(ctx, chunk);
            if (status != STORAGE_OK || is_chunk_id(ctx, *chunk)) return status;
        }
        return STORAGE_NO_SPACE;
    }
    const uint32_t chunks = ctx->chunks;
    if (chunks == 0) return STORAGE_NO_SPACE;
    uint32_t index = ctx->alloc_cursor >= 0 ? static_cast<uint32_t>(ctx->alloc_cursor) % chunks : 0;
    for (uint32_t n = 0; n < chunks; ++n) {
        if (!bitmap_test(ctx, index)) {
            bitmap_set(ctx, index, true);
            *chunk = static_cast<uint16_t>(ctx->files + index);
            ctx->alloc_cursor = static_cast<int32_t>(index + 1 == chunks ? 0 : index + 1);
            return STORAGE_OK;
        }
        index = index + 1 == chunks ? 0 : index + 1;
    }
    return STORAGE_NO_SPACE;
}

DORV_API void afs_trim_fat_page_if_needed(afs_context_t* ctx, uint32_t i) {
    if (ctx == nullptr || ctx->line_size == 0 || ctx->ops == nullptr || i > ctx->chunks) return;
    const uint32_t line = ctx->line_size;
    const uint32_t table = L::entry_address(ctx->files);  // first link entry
    const uint32_t page = (table + 2 * i) / line * line;
    if (page == ctx->last_fat_page) return;
    const uint32_t q = ctx->last_fat_page;
    ctx->last_fat_page = page;
    if (q < table || static_cast<uint64_t>(q) + line >= ctx->data_start || ctx->bitmap == nullptr) return;
    const uint32_t first = (q - table) / 2;
    for (uint32_t k = first; k < first + line / 2; ++k) {
        if (bitmap_test(ctx, k)) return;
    }
    (void)ctx->ops->trim(ctx, q, line, ctx->base);
}

DORV_C_END
