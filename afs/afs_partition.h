// Internal helpers of the AFS partition and file layers: table entries read
// and written through the line cache, chain walks with their own loop guard,
// and the release of chunks.
#ifndef DORV_AFS_AFS_PARTITION_H
#define DORV_AFS_AFS_PARTITION_H

#include <cstdint>

#include "afs/afs_layout.h"
#include "dorv/afs.h"

namespace dorv::afs {

// Whether `entry` names a chunk of the partition.
inline bool is_chunk_id(const afs_context_t* ctx, uint32_t entry) {
    return entry >= ctx->files && entry < static_cast<uint32_t>(ctx->files) + ctx->chunks;
}

// Bitmap bit of a chunk id (the bitmap covers every chunk index).
inline bool chunk_allocated(const afs_context_t* ctx, uint16_t chunk) {
    const uint32_t k = static_cast<uint32_t>(chunk) - ctx->files;
    return (ctx->bitmap[k / 32] >> (k % 32)) & 1u;
}

// One chain walk: counts the links it follows, so a loop ends after as many
// links as the partition has chunks, whatever other walks did before. It also
// keeps the cache line it read last, so consecutive links of one line cost
// one cache lookup; no other cache call may come between two reads of a walk
// (a miss could hand that line's slot to another line).
struct Walk {
    uint32_t links = 0;
    uint32_t start = 0;                // logical address of the line held
    const uint8_t* bytes = nullptr;    // its bytes in the cache, null none
};

// Reads and validates the entry of `id` (Walk counts the links); 5 on an
// invalid entry or a loop, with `entry` still set; 22 for an id outside the
// table; or the cache's status.
uint32_t read_entry(afs_context_t* ctx, uint32_t id, uint16_t* entry, Walk& walk);
// Writes the entry of `id` through the cache and marks its line written.
uint32_t write_entry(afs_context_t* ctx, uint32_t id, uint16_t value);

// Size of the chain starting at `first` (a chunk id); 5 on a corrupt chain.
// With `seen` (one bit per chunk index), a chunk met twice is corrupt too and
// every chunk met is marked.
uint32_t chain_size(afs_context_t* ctx, uint16_t first, uint32_t* size, uint32_t* seen);

// Releases up to `count` chunks of the chain from `first` (all of it for
// 0xFFFFFFFF): trims each data page and the link pages left without
// allocated chunks. Stops at a link that is not a chunk id.
uint32_t release_chain(afs_context_t* ctx, uint16_t first, uint32_t count);
// Trims the data page of chunk `chunk` and applies the link-page rule to it.
uint32_t release_chunk(afs_context_t* ctx, uint16_t chunk);

// Entries are found in the cache's lines at offsets of the context's line
// size; a cache built with another (cache_init called directly) would be
// indexed past its slots.
inline bool cache_fits(const afs_context_t* ctx) { return ctx->line_size == ctx->cache_built_line_size; }

// Context checks shared by the operations: mounted (with a cache that fits),
// and mounted writable.
inline bool mounted(const afs_context_t* ctx) { return ctx != nullptr && ctx->mounted != 0 && cache_fits(ctx); }
inline bool writable(const afs_context_t* ctx) {
    return mounted(ctx) && ctx->read_only == 0 && ctx->bitmap != nullptr;
}
inline bool file_id_ok(const afs_context_t* ctx, int32_t id) { return id >= 0 && id < ctx->files; }

}  // namespace dorv::afs

#endif
