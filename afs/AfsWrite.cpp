// The AFS file writer: copy-on-write of 64-byte chunks with truncation and
// hole filling.
//
// A write replaces the chunks of one contiguous range of positions [first,
// last] by new chunks; positions before it keep their chunks, and without
// truncation positions after it keep theirs too, reached through the link of
// the last new chunk. The new data pages are written before any table line
// changes, the new links go through the line cache from the last new chunk
// back to the first, and the one entry that switches the file to the new
// chain (the file entry, or the link of the last kept chunk) is written last
// and reaches flash last, so until it lands the file reads as before.
#include <cstdlib>
#include <cstring>

#include "afs/afs_ftl.h"
#include "afs/afs_partition.h"

namespace {

using namespace dorv::afs;
namespace L = dorv::afs::layout;

constexpr uint32_t kNone = 0xFFFFFFFFu;
// Reclaims the allocator may ask for within one allocation before the write
// gives up with no space.
constexpr uint32_t kAllocationRounds = 16;

struct Plan {
    uint64_t offset, end;
    bool truncate;
    const uint8_t* data;
    uint32_t first;        // first position that gets a new chunk
    uint32_t last;         // last position of the new file (kNone: empty file)
    uint32_t new_chunks;   // last - first + 1, or 0
    uint32_t old_known;    // positions of the old chain collected (0 .. old_known - 1)
    bool old_goes_on;      // the old chain goes on past the collected positions
    uint16_t* old_ids;     // chunk id per collected position
    uint16_t* old_links;   // its link (next id or byte count)
    uint16_t* new_ids;
    uint32_t allocated;    // new chunks allocated so far
};

bool old_at(const Plan& p, uint32_t k) { return k < p.old_known; }
uint32_t old_valid(const afs_context_t* ctx, const Plan& p, uint32_t k) {
    return is_chunk_id(ctx, p.old_links[k]) ? L::kChunkBytes : p.old_links[k];
}

// Collects the old chain's positions 0 .. last (fewer when it ends first).
uint32_t collect_old(afs_context_t* ctx, uint16_t entry, Plan& p) {
    Walk walk;
    walk.links = 0;
    uint16_t chunk = entry;
    p.old_known = 0;
    p.old_goes_on = false;
    const uint32_t wanted = p.last == kNone ? 0 : p.last + 1;
    while (is_chunk_id(ctx, chunk)) {
        if (p.old_known == wanted) {
            p.old_goes_on = true;
            break;
        }
        uint16_t link = 0;
        const uint32_t status = read_entry(ctx, chunk, &link, walk);
        if (status != STORAGE_OK) return status;
        p.old_ids[p.old_known] = chunk;
        p.old_links[p.old_known] = link;
        ++p.old_known;
        chunk = link;
    }
    return STORAGE_OK;
}

// The page of position k of the new file.
uint32_t compose(afs_context_t* ctx, const Plan& p, uint32_t k, uint8_t* page) {
    const uint64_t start = static_cast<uint64_t>(k) * L::kChunkBytes;
    if (start >= p.offset && start + L::kChunkBytes <= p.end) {
        std::memcpy(page, p.data + (start - p.offset), L::kChunkBytes);
        return STORAGE_OK;
    }
    uint8_t old[L::kRecordSize];
    uint32_t valid = 0;
    if (old_at(p, k)) {
        valid = old_valid(ctx, p, k);
        if (valid > 0) {
            const uint32_t address = ctx->data_start + (p.old_ids[k] - ctx->files) * L::kPageSize;
            const uint32_t status = afs_physical_ftl_read_data_pages(ctx, old, address, 1);
            if (status != STORAGE_OK) return status;
        }
    }
    for (uint32_t j = 0; j < L::kChunkBytes; ++j) {
        const uint64_t x = start + j;
        if (x >= p.offset && x < p.end) {
            page[j] = p.data[x - p.offset];
        } else if (j < valid && (x < p.end || !p.truncate)) {
            page[j] = old[j];
        } else {
            page[j] = 0;
        }
    }
    return STORAGE_OK;
}

// New pages of consecutive chunks wait here and go to flash together.
struct PendingRun {
    uint8_t pages[L::kMaxRunPages * L::kPageSize];
    uint16_t first = 0;
    uint32_t count = 0;
};

uint32_t write_run(afs_context_t* ctx, PendingRun& run) {
    if (run.count == 0) return STORAGE_OK;
    const uint32_t address = ctx->data_start + (run.first - ctx->files) * L::kPageSize;
    uint32_t status = STORAGE_OK;
    if (ctx->ops == &afs_physical_spi_handler) {
        status = ftl_write_data_run(ctx, address, run.count, run.pages);
    } else {
        for (uint32_t i = 0; i < run.count && status == STORAGE_OK; ++i) {
            status = ctx->ops->write(ctx, address + i * L::kPageSize, ctx->line_size, run.pages + i * L::kPageSize,
                                     ctx->base);
        }
    }
    run.count = 0;
    return status;
}

uint32_t allocate(afs_context_t* ctx, uint16_t* chunk, PendingRun& run) {
    for (uint32_t round = 0; round < kAllocationRounds; ++round) {
        const uint32_t status = afs_allocate_chunk(ctx, chunk);
        if (status != STORAGE_FLUSH_AND_RETRY) return status;
        // The allocator reclaims on the next request: every page handed out
        // is written first, then the pending lines.
        uint32_t flushed = write_run(ctx, run);
        if (flushed == STORAGE_OK) flushed = cache_flush(ctx);
        if (flushed != STORAGE_OK) return flushed;
    }
    return STORAGE_NO_SPACE;
}

// New chunks: allocated and filled one by one; the pages of consecutive
// chunks are written together, before any allocation that may reclaim.
uint32_t write_new_chunks(afs_context_t* ctx, Plan& p) {
    PendingRun run;
    uint8_t page[L::kPageSize];
    for (uint32_t i = 0; i < p.new_chunks; ++i) {
        uint32_t status = compose(ctx, p, p.first + i, page);
        if (status != STORAGE_OK) return status;
        uint16_t chunk = 0;
        status = allocate(ctx, &chunk, run);
        if (status != STORAGE_OK) return status;
        p.new_ids[i] = chunk;
        p.allocated = i + 1;
        if (run.count != 0 && (chunk != run.first + run.count || run.count == L::kMaxRunPages)) {
            status = write_run(ctx, run);
            if (status != STORAGE_OK) return status;
        }
        if (run.count == 0) run.first = chunk;
        std::memcpy(run.pages + run.count * L::kPageSize, page, L::kPageSize);
        ++run.count;
    }
    return write_run(ctx, run);
}

// Byte count of a last chunk that ends the file at `end` (end > 0).
uint16_t end_count(uint64_t end) {
    const uint32_t r = static_cast<uint32_t>(end % L::kChunkBytes);
    return static_cast<uint16_t>(r == 0 ? L::kChunkBytes : r);
}

// Links of the new chunks, last to first, then the switch.
uint32_t write_links(afs_context_t* ctx, uint32_t id, const Plan& p) {
    uint32_t status = STORAGE_OK;
    const uint32_t kept = p.first == 0 ? id : p.old_ids[p.first - 1];
    if (p.new_chunks == 0) {
        // Truncation without new data: to 0 the file becomes empty; to a
        // chunk boundary the last kept chunk becomes the last, full chunk.
        return write_entry(ctx, kept, p.first == 0 ? L::kFileEmpty : static_cast<uint16_t>(L::kChunkBytes));
    }
    uint16_t tail = end_count(p.end);
    if (!p.truncate && old_at(p, p.last)) {
        // The rest of the old chain, or a longer old last chunk, stays.
        const uint16_t old = p.old_links[p.last];
        if (old > tail) tail = old;
    }
    status = write_entry(ctx, p.new_ids[p.new_chunks - 1], tail);
    for (uint32_t i = p.new_chunks - 1; i > 0 && status == STORAGE_OK; --i) {
        status = write_entry(ctx, p.new_ids[i - 1], p.new_ids[i]);
    }
    if (status == STORAGE_OK) status = write_entry(ctx, kept, p.new_ids[0]);
    return status;
}

// Undoes a write that did not reach its switch: the cache forgets what is
// not on flash and the chunks this write allocated are released. The switch
// is the page the cache writes back last (last line, last page of it), so a
// flush that failed did not put it on flash, whatever the line size.
uint32_t fail(afs_context_t* ctx, const Plan& p, uint32_t status) {
    cache_invalidate(ctx);
    for (uint32_t i = 0; i < p.allocated; ++i) (void)release_chunk(ctx, p.new_ids[i]);
    afs_trim_fat_page_if_needed(ctx, ctx->chunks);
    return status;
}

// The old chunks the new ones replaced: with truncation every old chunk from
// the first new position on, else those at the new positions (hole-fill
// chunks replace nothing).
uint32_t release_replaced(afs_context_t* ctx, uint16_t entry, const Plan& p) {
    uint16_t start = 0;
    if (p.first < p.old_known) {
        start = p.old_ids[p.first];
    } else if (p.first == 0) {
        start = entry;
    } else if (p.first == p.old_known && p.old_goes_on) {
        start = p.old_links[p.first - 1];
    } else if (p.first - 1 < p.old_known) {
        start = p.old_links[p.first - 1];
    }
    if (!is_chunk_id(ctx, start)) return STORAGE_OK;
    uint32_t count = kNone;
    if (!p.truncate) {
        const uint32_t old_end = p.old_goes_on ? kNone : p.old_known;  // positions of the old chain
        const uint32_t stop = p.last + 1 < old_end ? p.last + 1 : old_end;
        count = stop > p.first ? stop - p.first : 0;
        if (count == 0) return STORAGE_OK;
    }
    return release_chain(ctx, start, count);
}

uint32_t write_zero_length(afs_context_t* ctx, uint32_t id, uint16_t entry) {
    // Nothing to write: a file without chunks becomes an empty file.
    if (is_chunk_id(ctx, entry)) return STORAGE_OK;
    uint32_t status = write_entry(ctx, id, L::kFileEmpty);
    if (status == STORAGE_OK) status = cache_flush(ctx);
    if (status != STORAGE_OK) {
        cache_invalidate(ctx);
        return status;
    }
    if (ctx->size_table != nullptr) ctx->size_table[id] = 0;
    return STORAGE_OK;
}

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t afs_writefile(afs_context_t* ctx, int32_t id, uint32_t offset, uint32_t length,
                                const uint8_t* source, uint32_t flags) {
    if (!writable(ctx) || !file_id_ok(ctx, id) || (length > 0 && source == nullptr)) {
        return STORAGE_INVALID_ARGUMENT;
    }
    const auto file = static_cast<uint32_t>(id);
    const bool truncate = (flags & AFS_WRITE_TRUNCATE) != 0;
    Walk walk;
    uint16_t entry = 0;
    uint32_t status = STORAGE_OK;
    if (length == 0 && !truncate) {
        status = read_entry(ctx, file, &entry, walk);
        return status == STORAGE_OK ? write_zero_length(ctx, file, entry) : status;
    }
    const uint64_t end = static_cast<uint64_t>(offset) + length;
    if (offset > L::kMaxFileSize || length > L::kMaxFileSize || end > L::kMaxFileSize) {
        return STORAGE_FILE_TOO_LARGE;
    }
    status = read_entry(ctx, file, &entry, walk);
    if (status != STORAGE_OK) return status;

    Plan p{};
    p.offset = offset;
    p.end = end;
    p.truncate = truncate;
    p.data = source;
    // The new file's last position: where the write ends, or with truncation
    // to 0 none at all.
    p.last = end == 0 ? kNone : static_cast<uint32_t>((end - 1) / L::kChunkBytes);
    const uint32_t positions = p.last == kNone ? 0 : p.last + 1;
    auto* work = static_cast<uint16_t*>(std::malloc((3 * static_cast<size_t>(positions) + 3) * sizeof(uint16_t)));
    if (work == nullptr) return STORAGE_NO_MEMORY;
    p.old_ids = work;
    p.old_links = work + positions + 1;
    p.new_ids = work + 2 * (positions + 1);

    status = collect_old(ctx, entry, p);
    if (status != STORAGE_OK) {
        std::free(work);
        return status;
    }
    // The old size counts only when the old chain ends before the write does.
    uint64_t old_size = kNone;
    if (!p.old_goes_on) {
        old_size = p.old_known == 0 ? 0
                                    : static_cast<uint64_t>(p.old_known - 1) * L::kChunkBytes +
                                          old_valid(ctx, p, p.old_known - 1);
    }
    const uint64_t from = offset < old_size ? offset : old_size;
    p.first = static_cast<uint32_t>(from / L::kChunkBytes);
    p.new_chunks = p.last != kNone && p.last + 1 > p.first ? p.last + 1 - p.first : 0;

    status = write_new_chunks(ctx, p);
    if (status == STORAGE_OK) status = write_links(ctx, file, p);
    if (status == STORAGE_OK) status = cache_flush(ctx);
    if (status != STORAGE_OK) {
        status = fail(ctx, p, status);
        std::free(work);
        return status;
    }

    if (ctx->size_table != nullptr) {
        uint32_t& size = ctx->size_table[file];
        if (truncate || size == 0xFFFFFFFFu || size < end) size = static_cast<uint32_t>(end);
    }
    status = release_replaced(ctx, entry, p);
    std::free(work);
    return status;
}

DORV_C_END
