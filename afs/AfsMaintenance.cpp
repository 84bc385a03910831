// Maintenance entry points of a mounted partition: the reclaim forwarders,
// the idle-reclaim flag, and direct access to the partition's bytes.
#include <cstdint>

#include "afs/afs_partition.h"

using dorv::afs::mounted;
using dorv::afs::writable;

namespace {

// base + address as a device offset, when the range stays inside the
// partition (a device may hold other partitions after it) and does not wrap.
bool device_address(const afs_context_t* ctx, uint32_t address, uint32_t length, uint32_t& out) {
    if (static_cast<uint64_t>(address) + length > ctx->size) return false;
    const uint64_t at = static_cast<uint64_t>(ctx->base) + address;
    if (at + length > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(at);
    return true;
}

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t afs_idle_reclaim(afs_context_t* ctx) {
    if (!writable(ctx)) return STORAGE_INVALID_ARGUMENT;
    return afs_physical_ftl_idle_reclaim(ctx);
}

DORV_API uint32_t afs_idle_reclaim_needed(afs_context_t* ctx) {
    // The answer is a yes or no: a context that cannot reclaim needs none
    // (a status here would read as yes and keep a host's idle loop going).
    if (!writable(ctx)) return 0;
    uint32_t unit = 0, kind = 0;
    return afs_physical_ftl_idle_reclaim_needed(ctx, &unit, &kind);
}

DORV_API uint32_t afs_force_full_reclaim(afs_context_t* ctx) {
    if (!writable(ctx)) return STORAGE_INVALID_ARGUMENT;
    return ctx->ops->force_full_reclaim(ctx);
}

DORV_API uint32_t afs_force_dirty_erase(afs_context_t* ctx) {
    if (!writable(ctx)) return STORAGE_INVALID_ARGUMENT;
    return ctx->ops->force_dirty_erase(ctx);
}

DORV_API uint32_t afs_get_idle_reclaim_enabled(afs_context_t* ctx) {
    return ctx != nullptr && ctx->idle_reclaim_enabled != 0 ? 1u : 0u;
}

DORV_API void afs_set_idle_reclaim_enabled(afs_context_t* ctx) {
    if (ctx != nullptr) ctx->idle_reclaim_enabled = 1;
}

DORV_API uint32_t afs_sub_pt_read(afs_context_t* ctx, uint32_t address, uint32_t length, uint8_t* destination) {
    if (ctx == nullptr) return STORAGE_INVALID_ARGUMENT;
    uint32_t at = 0;
    if (!device_address(ctx, address, length, at)) return STORAGE_IO_ERROR;
    return SpiDrvRead(at, length, destination);
}

DORV_API uint32_t afs_sub_pt_write(afs_context_t* ctx, uint32_t address, uint32_t length, const uint8_t* source) {
    if (ctx == nullptr) return STORAGE_INVALID_ARGUMENT;
    uint32_t at = 0;
    if (!device_address(ctx, address, length, at)) return STORAGE_IO_ERROR;
    return SpiDrvWrite(at, length, source);
}

DORV_API uint32_t afs_sub_pt_trim(afs_context_t*, uint32_t, uint32_t, uint32_t) { return STORAGE_OK; }

DORV_C_END
