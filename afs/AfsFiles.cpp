// File operations of a mounted AFS partition: size, read, delete, zombie
// marking. The writer lives in AfsWrite.cpp.
#include <cstring>

#include "afs/afs_ftl.h"
#include "afs/afs_partition.h"
#include "common/le_bytes.h"

namespace {

using namespace dorv::afs;
namespace L = dorv::afs::layout;

// Writes the table change made through the cache to flash; a change that
// does not reach flash is dropped from the cache too, so the file stands as
// it is on flash.
uint32_t flush_or_drop(afs_context_t* ctx) {
    const uint32_t status = cache_flush(ctx);
    if (status != STORAGE_OK) cache_invalidate(ctx);
    return status;
}

// The common start of a delete and a zombie mark: the table entry of file
// `id` of a partition that may be changed.
uint32_t read_changeable_entry(afs_context_t* ctx, int32_t id, uint16_t* entry) {
    if (!writable(ctx) || !file_id_ok(ctx, id)) return STORAGE_INVALID_ARGUMENT;
    Walk walk;
    return read_entry(ctx, static_cast<uint32_t>(id), entry, walk);
}

// Whether the mount left the chains unwalked: a read-only mount without the
// size table. Every other mount walked each chain (and a writable one keeps
// them sound), so a read need not look past what it delivers.
bool unchecked_chains(const afs_context_t* ctx) { return ctx->read_only != 0 && ctx->size_table == nullptr; }

// Follows the chain from `chunk` to its end: 5 on a loop, a bad link, or
// more chunks than the largest file has (as the size query answers).
uint32_t rest_of_chain(afs_context_t* ctx, uint16_t chunk, Walk& walk) {
    while (is_chunk_id(ctx, chunk)) {
        uint16_t link = 0;
        const uint32_t status = read_entry(ctx, chunk, &link, walk);
        if (status != STORAGE_OK) return status;
        chunk = link;
    }
    return walk.links > L::kMaxFileChunks ? STORAGE_IO_ERROR : STORAGE_OK;
}

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t afs_getfilesize(afs_context_t* ctx, int32_t id, uint32_t* size) {
    if (!mounted(ctx) || !file_id_ok(ctx, id) || size == nullptr) return STORAGE_INVALID_ARGUMENT;
    if (ctx->size_table != nullptr) {
        const uint32_t known = ctx->size_table[id];
        if (known == 0xFFFFFFFFu) return STORAGE_NO_FILE;
        *size = known;
        return STORAGE_OK;
    }
    Walk walk;
    uint16_t entry = 0;
    const uint32_t status = read_entry(ctx, static_cast<uint32_t>(id), &entry, walk);
    if (status != STORAGE_OK) return status;
    if (entry == L::kFileFree || entry == L::kFileZombie) return STORAGE_NO_FILE;
    if (entry == L::kFileEmpty) {
        *size = 0;
        return STORAGE_OK;
    }
    return chain_size(ctx, entry, size, nullptr);
}

DORV_API uint32_t afs_readfile(afs_context_t* ctx, int32_t id, uint32_t offset, int32_t* length,
                               uint8_t* destination) {
    if (!mounted(ctx) || !file_id_ok(ctx, id) || length == nullptr || *length < 0) return STORAGE_INVALID_ARGUMENT;
    if (ctx->bounce_buffer == nullptr || (*length > 0 && destination == nullptr)) return STORAGE_INVALID_ARGUMENT;
    Walk walk;
    uint16_t entry = 0;
    uint32_t status = read_entry(ctx, static_cast<uint32_t>(id), &entry, walk);
    if (status != STORAGE_OK) return status;
    if (entry == L::kFileFree || entry == L::kFileZombie) return STORAGE_NO_FILE;
    const uint32_t wanted = static_cast<uint32_t>(*length);
    *length = 0;
    if (entry == L::kFileEmpty) return STORAGE_OK;
    if (wanted == 0) return unchecked_chains(ctx) ? rest_of_chain(ctx, entry, walk) : STORAGE_OK;

    const bool check_bits = ctx->read_only == 0 && ctx->bitmap != nullptr;
    uint8_t* bounce = ctx->bounce_buffer;
    uint32_t delivered = 0;
    uint64_t chunk_start = 0;  // file offset of the current chunk's first byte
    uint16_t chunk = entry;
    while (is_chunk_id(ctx, chunk) && delivered < wanted) {
        uint16_t link = 0;
        status = read_entry(ctx, chunk, &link, walk);
        if (status != STORAGE_OK) return status;
        uint32_t valid = is_chunk_id(ctx, link) ? L::kChunkBytes : link;
        if (chunk_start + valid <= offset) {  // wholly before the offset
            chunk = link;
            chunk_start += L::kChunkBytes;
            continue;
        }
        // A run of consecutive chunk ids, read with one multi-page read.
        const uint32_t skip = offset > chunk_start ? static_cast<uint32_t>(offset - chunk_start) : 0;
        const uint16_t first = chunk;
        uint32_t run = 1;
        uint32_t covered = valid - skip;
        while (is_chunk_id(ctx, link) && link == chunk + 1 && (!check_bits || chunk_allocated(ctx, link)) &&
               run * L::kRecordSize <= L::kBounceBytes - L::kRecordSize && wanted - delivered > covered) {
            chunk = link;
            status = read_entry(ctx, chunk, &link, walk);
            if (status != STORAGE_OK) return status;
            valid = is_chunk_id(ctx, link) ? L::kChunkBytes : link;
            ++run;
            chunk_start += L::kChunkBytes;
            covered = (run - 1) * L::kChunkBytes + valid - skip;
        }
        status = afs_physical_ftl_read_data_pages(ctx, bounce, ctx->data_start + (first - ctx->files) * L::kPageSize, run);
        if (status != STORAGE_OK) return status;
        const uint32_t take = covered < wanted - delivered ? covered : wanted - delivered;
        std::memcpy(destination + delivered, bounce + skip, take);
        delivered += take;
        chunk = link;
        chunk_start += L::kChunkBytes;
    }
    if (unchecked_chains(ctx)) {
        // A read that ends early still answers for the whole chain, as the
        // size would: the same walk goes on to its end.
        status = rest_of_chain(ctx, chunk, walk);
        if (status != STORAGE_OK) return status;
    }
    *length = static_cast<int32_t>(delivered);
    return STORAGE_OK;
}

DORV_API uint32_t afs_deletefile(afs_context_t* ctx, int32_t id) {
    uint16_t entry = 0;
    uint32_t status = read_changeable_entry(ctx, id, &entry);
    if (status != STORAGE_OK) return status;
    if (entry == L::kFileFree) return STORAGE_NO_FILE;
    status = write_entry(ctx, static_cast<uint32_t>(id), L::kFileFree);
    if (status == STORAGE_OK) status = flush_or_drop(ctx);
    if (status != STORAGE_OK) return status;
    if (ctx->size_table != nullptr) ctx->size_table[id] = 0xFFFFFFFFu;
    return is_chunk_id(ctx, entry) ? release_chain(ctx, entry, 0xFFFFFFFFu) : STORAGE_OK;
}

DORV_API uint32_t afs_mark_zombie_file(afs_context_t* ctx, int32_t id) {
    uint16_t entry = 0;
    uint32_t status = read_changeable_entry(ctx, id, &entry);
    if (status != STORAGE_OK) return status;
    if (entry != L::kFileFree) return STORAGE_ID_IN_USE;
    status = write_entry(ctx, static_cast<uint32_t>(id), L::kFileZombie);
    return status == STORAGE_OK ? flush_or_drop(ctx) : status;
}

DORV_C_END
