// DFS: mounts the PQS image into the one AFS context and sends every file
// operation to AFS or EFS by the store bits of its file number.
#include <cstdlib>

#include "api/dfs_internal.h"
#include "dorv/efs.h"

using dorv::dfs::FoldRule;
using dorv::dfs::fold;
using dorv::dfs::store_index_of;
using dorv::dfs::store_of;

namespace {

bool store_is_invalid(uint32_t store) { return store != DFS_STORE_AFS && store != DFS_STORE_EFS; }

// AFS takes file ids as signed values; a number whose top bit is set arrives
// negative and is refused there.
int32_t afs_file_id(uint32_t value) { return static_cast<int32_t>(value); }

}  // namespace

DORV_C_BEGIN

int dfs_init(uint8_t* image, uint32_t size) {
    // Nothing keeps using the earlier partition once a new one is mounted.
    dorv::dfs::release_context();

    auto* ctx = static_cast<afs_context_t*>(std::calloc(1, sizeof(afs_context_t)));
    if (ctx == nullptr) return -1;
    ctx->bounce_buffer = static_cast<uint8_t*>(std::malloc(dorv::dfs::kBounceBufferSize));
    if (ctx->bounce_buffer == nullptr) {
        // A context without its bounce buffer must never be mounted.
        std::free(ctx);
        return -1;
    }
    dfs_context = ctx;
    const uint32_t status = afs_init(ctx, image, dorv::dfs::kMountLineSize, dorv::dfs::kMountLines,
                                     dorv::dfs::kMountFiles, 0, size, dorv::dfs::kMountFlags, 0, 0);
    // A context whose mount failed stays; AFS refuses to work on it.
    dorv::dfs::g_mounted = status == STORAGE_OK;
    return static_cast<int>(status);
}

int dfs_getsize(dfs_file_number_t number, uint32_t* size) {
    if (dfs_context == nullptr) return static_cast<int>(STORAGE_NO_FILE);
    const uint32_t store = store_of(number);
    if (store_is_invalid(store)) return static_cast<int>(STORAGE_INVALID_ARGUMENT);
    const uint32_t index = store_index_of(number);
    if (store == DFS_STORE_EFS) return fold(FoldRule::Read, EFS_get_file_size(index, size));
    return fold(FoldRule::Read, afs_getfilesize(dfs_context, afs_file_id(index), size));
}

int dfs_read(dfs_file_number_t number, uint32_t offset, uint32_t* length, uint8_t* buffer) {
    const uint32_t store = store_of(number);
    if (store_is_invalid(store)) return static_cast<int>(STORAGE_INVALID_ARGUMENT);
    const uint32_t index = store_index_of(number);
    if (store == DFS_STORE_EFS) {
        if (EFS_is_initialized() == 0) return static_cast<int>(STORAGE_NO_FILE);
        return fold(FoldRule::Read, EFS_read(index, offset, length, buffer));
    }
    // AFS counts in signed lengths; a length beyond its range arrives
    // negative and is refused there.
    if (length == nullptr) return static_cast<int>(STORAGE_INVALID_ARGUMENT);
    int32_t count = static_cast<int32_t>(*length);
    const uint32_t status = afs_readfile(dfs_context, afs_file_id(index), offset, &count, buffer);
    *length = static_cast<uint32_t>(count);
    return fold(FoldRule::Read, status);
}

int dfs_write(dfs_file_number_t number, uint32_t offset, uint32_t length, const uint8_t* data, int flags) {
    const uint32_t store = store_of(number);
    if (store_is_invalid(store)) return static_cast<int>(STORAGE_INVALID_ARGUMENT);
    const uint32_t index = store_index_of(number);
    if (store == DFS_STORE_EFS) return fold(FoldRule::Write, EFS_write(index, offset, length, data));
    return fold(FoldRule::Write, afs_writefile(dfs_context, afs_file_id(index), offset, length, data,
                                               static_cast<uint32_t>(flags)));
}

int dfs_delete_file(dfs_file_number_t number) {
    // EFS files cannot be deleted through DFS.
    if (store_of(number) != DFS_STORE_AFS) return static_cast<int>(STORAGE_INVALID_ARGUMENT);
    if (dfs_context == nullptr) return static_cast<int>(STORAGE_NO_FILE);
    return fold(FoldRule::Read, afs_deletefile(dfs_context, afs_file_id(number)));
}

int dfs_mark_zombie_file(dfs_file_number_t number) {
    return static_cast<int>(afs_mark_zombie_file(dfs_context, afs_file_id(number)));
}

int dfs_set_page_size(uint32_t page) {
    // A size of 0 has no line count; AFS refuses it like every size below 64.
    const uint32_t lines = page == 0 ? 0 : dorv::dfs::kCacheBytes / page;
    return static_cast<int>(afs_setcache(dfs_context, page, lines));
}

int dfs_force_full_reclaim(void) { return static_cast<int>(afs_force_full_reclaim(dfs_context)); }

int dfs_force_dirty_erase(void) { return static_cast<int>(afs_force_dirty_erase(dfs_context)); }

// The reclaim step reads the translation layer's state, which only a mounted
// context has.
int dfs_idle_reclaim(void) {
    if (dfs_context == nullptr || !dorv::dfs::g_mounted) return static_cast<int>(STORAGE_INVALID_ARGUMENT);
    return static_cast<int>(afs_idle_reclaim(dfs_context));
}

int dfs_idle_reclaim_needed(void) {
    if (dfs_context == nullptr || !dorv::dfs::g_mounted) return 0;
    return static_cast<int>(afs_idle_reclaim_needed(dfs_context));
}

bool dfs_get_idle_reclaim_enabled(void) { return afs_get_idle_reclaim_enabled(dfs_context) != 0; }

void dfs_set_idle_reclaim_enabled(void) { afs_set_idle_reclaim_enabled(dfs_context); }

int dfs_is_fs_erased(void) { return 0; }

// The partition stays mounted: the library reads and writes through it again
// after a termination that keeps running.
int dfs_terminate(void) { return 0; }

DORV_C_END
