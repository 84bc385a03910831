// Write-back cache of fixed-size lines of the logical address space. Lines
// are kept in one most-recently-used list; a miss evicts the least recently
// used line. The translation layer moves one 64-byte page per call, so a line
// is filled page by page and each page keeps its own dirty mark: only changed
// pages are written back (a metadata page written for nothing costs a map
// slot, and a data page already written cannot be written again).
//
// Order of the write-back: lines go from the least to the most recently
// used (a read through cache_ptr moves a line to the front as a change
// does), and within a line the page changed last goes last. The file writer
// changes the entry that switches a file to its new chain after all the new
// links and flushes right after it, so that entry's line is the most
// recently used one and its page the last changed: with lines of several
// pages it still reaches flash after every link it leads to, whatever page
// of the line it lies in.
#include <cstdlib>
#include <cstring>

#include "afs/afs_cache.h"
#include "afs/afs_layout.h"

namespace {

namespace L = dorv::afs::layout;

constexpr uint16_t kValid = 0x1;
constexpr uint16_t kDirty = 0x2;
constexpr uint16_t kEnd = 0xFFF;
// Page marks: clean, changed, and changed last of its line.
constexpr uint8_t kClean = 0;
constexpr uint8_t kChanged = 1;
constexpr uint8_t kChangedLast = 2;
constexpr uint32_t kMaxLines = kEnd;  // indexes must stay below the end marker

uint16_t next_of(const afs_cache_entry_t& e) { return static_cast<uint16_t>(e.link >> 2); }
void set_next(afs_cache_entry_t& e, uint16_t next) {
    e.link = static_cast<uint16_t>((e.link & (kValid | kDirty)) | (next << 2));
}

bool has_cache(const afs_context_t* ctx) {
    return ctx != nullptr && ctx->cache_entries != nullptr && ctx->cache_buffer != nullptr &&
           ctx->cache_page_dirty != nullptr && ctx->cache_built_lines != 0 && ctx->cache_built_line_size != 0;
}

uint32_t pages_per_line(const afs_context_t* ctx) { return ctx->cache_built_line_size / L::kPageSize; }

uint8_t* slot_bytes(const afs_context_t* ctx, uint32_t slot) {
    return ctx->cache_buffer + static_cast<size_t>(slot) * ctx->cache_built_line_size;
}
uint8_t* page_marks(const afs_context_t* ctx, uint32_t slot) {
    return ctx->cache_page_dirty + static_cast<size_t>(slot) * pages_per_line(ctx);
}

uint32_t line_address(const afs_context_t* ctx, uint16_t line, uint32_t page) {
    return static_cast<uint32_t>(line) * ctx->cache_built_line_size + page * L::kPageSize;
}

// Makes `slot` the head; `pred` is its predecessor in the list.
void move_to_front(afs_context_t* ctx, uint16_t slot, uint16_t pred) {
    if (slot == ctx->mru_head || pred == kEnd) return;
    afs_cache_entry_t* e = ctx->cache_entries;
    set_next(e[pred], next_of(e[slot]));
    set_next(e[slot], ctx->mru_head);
    ctx->mru_head = slot;
}

// Marks one page of a slot changed, and the last changed of its line.
void mark_page(afs_context_t* ctx, uint32_t slot, uint32_t page) {
    const uint32_t n = pages_per_line(ctx);
    uint8_t* marks = ctx->cache_page_dirty + static_cast<size_t>(slot) * n;
    if (n == 1) {  // the storage front end's lines: one page each
        marks[0] = kChangedLast;
        return;
    }
    if (marks[page] == kChangedLast) return;
    auto* previous = static_cast<uint8_t*>(std::memchr(marks, kChangedLast, n));
    if (previous != nullptr) *previous = kChanged;
    marks[page] = kChangedLast;
}

uint32_t write_page(afs_context_t* ctx, uint16_t slot, uint32_t page) {
    const uint32_t status = ctx->ops->write(ctx, line_address(ctx, ctx->cache_entries[slot].tag, page),
                                            L::kPageSize, slot_bytes(ctx, slot) + page * L::kPageSize, ctx->base);
    if (status == STORAGE_OK) page_marks(ctx, slot)[page] = kClean;
    return status;
}

// Writes the changed pages of a slot, clearing each mark as its page lands:
// the page changed last after all the others.
uint32_t write_back(afs_context_t* ctx, uint16_t slot) {
    afs_cache_entry_t& e = ctx->cache_entries[slot];
    const uint8_t* marks = page_marks(ctx, slot);
    const uint32_t n = pages_per_line(ctx);
    uint32_t last = n;
    for (uint32_t j = 0; j < n; ++j) {
        if (marks[j] == kChangedLast) {
            last = j;
        } else if (marks[j] != kClean) {
            const uint32_t status = write_page(ctx, slot, j);
            if (status != STORAGE_OK) return status;
        }
    }
    if (last != n) {
        const uint32_t status = write_page(ctx, slot, last);
        if (status != STORAGE_OK) return status;
    }
    e.link = static_cast<uint16_t>(e.link & ~kDirty);
    return STORAGE_OK;
}

// A line that ends the tables may reach into the data area, whose bytes the
// cache never serves (data pages are read and written whole, directly); a
// read-only mount could not even read the slots not yet written. That part of
// such a line holds zeros.
uint32_t fill(afs_context_t* ctx, uint16_t slot, uint16_t line) {
    const bool table_line = line_address(ctx, line, 0) < ctx->data_start;
    for (uint32_t j = 0; j < pages_per_line(ctx); ++j) {
        const uint32_t address = line_address(ctx, line, j);
        uint8_t* page = slot_bytes(ctx, slot) + j * L::kPageSize;
        if (table_line && address >= ctx->data_start) {
            std::memset(page, 0, L::kPageSize);
            continue;
        }
        const uint32_t status = ctx->ops->read(ctx, address, L::kPageSize, page, ctx->base);
        if (status != STORAGE_OK) return status;
    }
    return STORAGE_OK;
}

void release(afs_context_t* ctx) {
    std::free(ctx->cache_entries);
    std::free(ctx->cache_buffer);  // the page marks live in the same allocation
    ctx->cache_entries = nullptr;
    ctx->cache_buffer = nullptr;
    ctx->cache_page_dirty = nullptr;
    ctx->cache_built_lines = 0;
    ctx->cache_built_line_size = 0;
}

}  // namespace

namespace dorv::afs {

void cache_range_written(afs_context_t* ctx, const uint8_t* pointer, uint32_t length) {
    if (!has_cache(ctx) || pointer == nullptr || length == 0) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(ctx->cache_buffer);
    const uintptr_t at = reinterpret_cast<uintptr_t>(pointer);
    const uint32_t ls = ctx->cache_built_line_size;
    if (at < start || at - start >= static_cast<uintptr_t>(ctx->cache_built_lines) * ls) return;
    const uintptr_t first = at - start;
    const uint32_t slot = static_cast<uint32_t>(first / ls);
    const uint32_t in_line = static_cast<uint32_t>(first % ls);
    const uint32_t last = length - 1 < ls - 1 - in_line ? in_line + length - 1 : ls - 1;
    for (uint32_t b = in_line; b <= last; b = (b / L::kPageSize + 1) * L::kPageSize) {
        cache_line_written(ctx, slot_bytes(ctx, slot) + b);
    }
}

}  // namespace dorv::afs

DORV_C_BEGIN

DORV_API uint32_t cache_init(afs_context_t* ctx, uint32_t line_size, uint32_t lines) {
    if (ctx == nullptr) return STORAGE_INVALID_ARGUMENT;
    const bool entries = ctx->cache_entries != nullptr, buffer = ctx->cache_buffer != nullptr;
    if (entries != buffer) return STORAGE_CACHE_BROKEN;
    if (line_size < L::kPageSize || line_size > 0xFFFF || line_size % L::kPageSize != 0 || lines == 0 ||
        lines >= kMaxLines) {
        return STORAGE_INVALID_ARGUMENT;
    }
    if (entries) {
        const uint32_t status = cache_flush(ctx);
        if (status != STORAGE_OK) return status;
    }
    release(ctx);
    ctx->lines = static_cast<uint16_t>(lines);
    auto* table = static_cast<afs_cache_entry_t*>(std::calloc(lines, sizeof(afs_cache_entry_t)));
    if (table == nullptr) return STORAGE_NO_MEMORY;
    const size_t line_bytes = static_cast<size_t>(lines) * line_size;
    const size_t marks = static_cast<size_t>(lines) * (line_size / L::kPageSize);
    auto* bytes = static_cast<uint8_t*>(std::malloc(line_bytes + marks));
    if (bytes == nullptr) {
        // Nothing half built stays behind: the next creation starts afresh.
        std::free(table);
        return STORAGE_NO_MEMORY;
    }
    for (uint32_t i = 0; i < lines; ++i) table[i].link = static_cast<uint16_t>((i + 1 < lines ? i + 1 : kEnd) << 2);
    std::memset(bytes + line_bytes, 0, marks);
    ctx->cache_entries = table;
    ctx->cache_buffer = bytes;
    ctx->cache_page_dirty = bytes + line_bytes;
    ctx->cache_built_lines = lines;
    ctx->cache_built_line_size = line_size;
    ctx->mru_head = 0;
    return STORAGE_OK;
}

DORV_API uint32_t cache_ptr(afs_context_t* ctx, uint32_t line, uint8_t** out) {
    if (ctx == nullptr || out == nullptr) return STORAGE_INVALID_ARGUMENT;
    if ((ctx->cache_entries == nullptr) != (ctx->cache_buffer == nullptr)) return STORAGE_CACHE_BROKEN;
    if (!has_cache(ctx) || ctx->ops == nullptr) return STORAGE_INVALID_ARGUMENT;
    const uint32_t n = ctx->cache_built_lines;
    if (ctx->mru_head >= n) return STORAGE_CACHE_BROKEN;
    afs_cache_entry_t* e = ctx->cache_entries;
    const auto tag = static_cast<uint16_t>(line);
    uint16_t pred = kEnd, cur = ctx->mru_head, chosen = kEnd, chosen_pred = kEnd;
    bool hit = false;
    for (uint32_t compared = 1;; ++compared) {
        if ((e[cur].link & kValid) && e[cur].tag == tag) {
            hit = true;
            chosen = cur;
            chosen_pred = pred;
            break;
        }
        const uint16_t next = next_of(e[cur]);
        if (next == kEnd || next >= n) {  // the tail (a broken link ends the list too)
            chosen = cur;
            chosen_pred = pred;
            break;
        }
        if (compared == n + 1) {  // no end marker met: a damaged list
            chosen = next;
            chosen_pred = cur;
            break;
        }
        pred = cur;
        cur = next;
    }
    move_to_front(ctx, chosen, chosen_pred);
    if (!hit) {
        afs_cache_entry_t& v = e[chosen];
        if ((v.link & kValid) && (v.link & kDirty)) {
            const uint32_t status = write_back(ctx, chosen);
            if (status != STORAGE_OK) return status;
        }
        v.link = static_cast<uint16_t>(v.link & ~(kValid | kDirty));
        std::memset(page_marks(ctx, chosen), 0, pages_per_line(ctx));
        const uint32_t status = fill(ctx, chosen, tag);
        if (status != STORAGE_OK) return status;  // the slot stays invalid and is not handed out
        v.tag = tag;
        v.link = static_cast<uint16_t>(v.link | kValid);
    }
    *out = slot_bytes(ctx, chosen);
    return STORAGE_OK;
}

DORV_API void cache_line_written(afs_context_t* ctx, const uint8_t* pointer) {
    if (!has_cache(ctx) || pointer == nullptr) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(ctx->cache_buffer);
    const uintptr_t at = reinterpret_cast<uintptr_t>(pointer);
    const uint32_t ls = ctx->cache_built_line_size, n = ctx->cache_built_lines;
    if (at < start || at - start >= static_cast<uintptr_t>(n) * ls) return;
    afs_cache_entry_t* e = ctx->cache_entries;
    // Mostly the line just handed out, the head of the list: no division.
    const uintptr_t head = start + static_cast<uintptr_t>(ctx->mru_head) * ls;
    if (ctx->mru_head < n && at >= head && at - head < ls) {
        e[ctx->mru_head].link = static_cast<uint16_t>(e[ctx->mru_head].link | kDirty);
        mark_page(ctx, ctx->mru_head, static_cast<uint32_t>(at - head) / L::kPageSize);
        return;
    }
    const auto slot = static_cast<uint16_t>((at - start) / ls);
    const uint32_t page = static_cast<uint32_t>((at - start) % ls) / L::kPageSize;
    if (slot != ctx->mru_head && ctx->mru_head < n) {
        uint16_t pred = ctx->mru_head;
        for (uint32_t steps = 0; steps < n; ++steps) {
            const uint16_t next = next_of(e[pred]);
            if (next == slot) {
                move_to_front(ctx, slot, pred);
                break;
            }
            if (next == kEnd || next >= n) break;
            pred = next;
        }
    }
    e[slot].link = static_cast<uint16_t>(e[slot].link | kDirty);
    mark_page(ctx, slot, page);
}

DORV_API uint32_t cache_flush(afs_context_t* ctx) {
    if (ctx == nullptr) return STORAGE_INVALID_ARGUMENT;
    if ((ctx->cache_entries == nullptr) != (ctx->cache_buffer == nullptr)) return STORAGE_CACHE_BROKEN;
    if (!has_cache(ctx)) return STORAGE_OK;  // nothing is pending
    if (ctx->ops == nullptr) return STORAGE_INVALID_ARGUMENT;
    const uint32_t n = ctx->cache_built_lines;
    const afs_cache_entry_t* e = ctx->cache_entries;
    for (;;) {
        uint16_t oldest = kEnd;
        uint16_t cur = ctx->mru_head;
        for (uint32_t steps = 0; cur < n && steps < n; ++steps) {
            if ((e[cur].link & (kValid | kDirty)) == (kValid | kDirty)) oldest = cur;
            cur = next_of(e[cur]);
        }
        if (oldest == kEnd) return STORAGE_OK;
        const uint32_t status = write_back(ctx, oldest);
        if (status != STORAGE_OK) return status;
    }
}

DORV_API void cache_invalidate(afs_context_t* ctx) {
    if (!has_cache(ctx)) return;
    for (uint32_t i = 0; i < ctx->cache_built_lines; ++i) {
        ctx->cache_entries[i].link = static_cast<uint16_t>(ctx->cache_entries[i].link & ~kValid);
    }
}

DORV_C_END
