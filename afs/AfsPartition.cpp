// Mount of an AFS partition: the translation layer underneath, the line
// cache, the header (created, and the layer formatted, when the flags allow),
// the file walk that builds the size table and the chunk bitmap, and the
// hand-over of that bitmap to the translation layer.
#include <cstdlib>
#include <cstring>

#include "afs/afs_cache.h"
#include "afs/afs_ftl.h"
#include "afs/afs_partition.h"
#include "afs/afs_state.h"
#include "common/le_bytes.h"

namespace {

using namespace dorv::afs;
namespace L = dorv::afs::layout;

struct Geometry {
    uint32_t vas;
    uint32_t data_start;
    uint16_t chunks;
};

Geometry geometry_of(uint32_t vas, uint32_t files) {
    Geometry g;
    g.vas = vas;
    g.chunks = L::chunks_of(vas, files);
    g.data_start = L::data_start_of(files, g.chunks);
    return g;
}

void apply(afs_context_t* ctx, const Geometry& g) {
    ctx->vas = g.vas;
    ctx->data_start = g.data_start;
    ctx->chunks = g.chunks;
}

// The layout of a new partition: the translation layer's standard data area,
// cut to whole data units, with the logical size chosen so that the chunk
// formula gives back exactly those units. Data units are given up while the
// metadata units would keep fewer than kMetaSlack free slots beside the
// header and the tables. False when no data unit remains.
bool creation_layout(afs_context_t* ctx, uint32_t files, Geometry& out) {
    const uint32_t units = ctx->size >> L::kEuShift;
    uint32_t data_units = afs_physical_ftl_get_data_vas(ctx, 2 * files + L::kPartTable) / L::kDataUnitBytes;
    for (; data_units > 0; --data_units) {
        if (data_units + 2 > units) continue;
        const uint32_t chunks = data_units * L::kDataSlots;
        const uint32_t data_start = L::data_start_of(files, chunks);
        const uint32_t meta_slots = (units - 1 - data_units) * L::kMetaSlots;
        const uint32_t meta_pages = data_start / L::kPageSize;
        if (meta_pages + L::kMetaSlack > meta_slots) continue;
        out.vas = data_start + chunks * L::kPageSize;
        out.data_start = data_start;
        out.chunks = static_cast<uint16_t>(chunks);
        return true;
    }
    return false;
}

// The data units the translation layer carries, against those of the layout.
bool ftl_matches_layout(const afs_context_t* ctx) {
    const afs_ftl_state_t* st = ctx->ftl_state;
    if (st == nullptr) return false;
    uint32_t data_units = 0;
    for (uint32_t i = 0; i < st->eu_count; ++i) data_units += st->eu_info[i].id != 0 ? 1 : 0;
    return data_units == L::data_unit_count(ctx->vas, ctx->data_start);
}

// A stored header the rest of the library can work with: a file count whose
// chunk ids cannot be taken for byte counts, at least one chunk, and a layout
// that leaves a metadata unit and the spare.
bool header_sound(const afs_context_t* ctx, uint32_t vas, uint32_t files) {
    if (files < L::kMinFiles || files > L::kMaxFiles) return false;
    if (vas < 2 * files + L::kPartTable + L::kChunkCost || vas > ctx->size) return false;
    const Geometry g = geometry_of(vas, files);
    return L::data_unit_count(g.vas, g.data_start) + 2 <= (ctx->size >> L::kEuShift);
}

// Formats the translation layer for the geometry now in the context and
// mounts it again. The first mount gives the layer's state the layout's unit
// roles, which the format reads.
uint32_t format_and_mount(afs_context_t* ctx, uint32_t flags) {
    // A partition of more units than the layer can count would be formatted
    // only to fail its mount.
    if ((ctx->size >> L::kEuShift) > L::kMaxUnits) return STORAGE_IO_ERROR;
    uint32_t status = afs_physical_ftl_init(ctx, ctx->size, AFS_FTL_ALLOCATE_STATE);
    if (status == STORAGE_NO_MEMORY) return status;
    if (ctx->ftl_state == nullptr) return STORAGE_IO_ERROR;
    status = afs_physical_ftl_format(ctx, (flags & AFS_INIT_FORMAT_ERASE) != 0 ? 1 : 0);
    if (status != STORAGE_OK) return status;
    return afs_physical_ftl_init(ctx, ctx->size, 0);
}

uint32_t mount_walk(afs_context_t* ctx) {
    const bool read_only = ctx->read_only != 0;
    // Read-only mounts keep no bitmap; the walk still needs one to see a
    // chunk that two chains share.
    uint32_t* seen = ctx->bitmap;
    if (read_only) {
        seen = static_cast<uint32_t*>(std::calloc(L::bitmap_words(*ctx) + 1, sizeof(uint32_t)));
        if (seen == nullptr) return STORAGE_NO_MEMORY;
    }
    uint32_t status = STORAGE_OK;
    for (uint32_t id = 0; id < ctx->files && status == STORAGE_OK; ++id) {
        Walk walk;
        uint16_t entry = 0;
        status = read_entry(ctx, id, &entry, walk);
        if (status != STORAGE_OK) break;
        uint32_t size = 0;
        if (entry == L::kFileFree) continue;
        if (entry == L::kFileZombie) {
            // A reserved id lives until the next mount; read-only mounts write nothing.
            if (!read_only) status = write_entry(ctx, id, L::kFileFree);
            continue;
        }
        if (entry != L::kFileEmpty) status = chain_size(ctx, entry, &size, seen);
        if (status == STORAGE_OK && ctx->size_table != nullptr) ctx->size_table[id] = size;
    }
    if (read_only) std::free(seen);
    return status;
}

void preload(afs_context_t* ctx, uint32_t flags) {
    if ((flags & AFS_INIT_PRELOAD) == 0) return;
    for (uint32_t line = 0; line < ctx->lines; ++line) {
        uint8_t* p = nullptr;
        (void)cache_ptr(ctx, line, &p);
    }
}

uint32_t init(afs_context_t* ctx, uint8_t* image, uint32_t line_size, uint32_t lines, uint32_t files,
              uint32_t base, uint32_t size, uint32_t flags, uint32_t header1, uint32_t header2) {
    if (line_size < L::kMinLineSize || line_size > L::kMaxLineSize || line_size % L::kMinLineSize != 0 ||
        lines < L::kMinLines || lines > L::kMaxLines || files < L::kMinFiles || files > L::kMaxFiles ||
        size < L::kMinPartition || size > L::kMaxPartition) {
        return STORAGE_INVALID_ARGUMENT;
    }
    if (flags & AFS_INIT_CLEAR) {
        // Read and write need the bounce buffer, which is the caller's.
        uint8_t* bounce = ctx->bounce_buffer;
        std::memset(static_cast<void*>(ctx), 0, sizeof *ctx);
        ctx->bounce_buffer = bounce;
    } else if (ctx->cache_entries != nullptr && ctx->cache_buffer != nullptr) {
        // Lines of an earlier mount belong to its geometry; only zombie
        // clears can be pending, and this mount clears them again.
        cache_invalidate(ctx);
    }
    ctx->line_size = static_cast<uint16_t>(line_size);
    ctx->ops = &afs_physical_spi_handler;
    ctx->ftl_alloc = 0;
    ctx->read_only = 0;
    ctx->image = image;
    if ((flags & (AFS_INIT_FTL | AFS_INIT_NOT_FTL)) != AFS_INIT_FTL) return STORAGE_INVALID_ARGUMENT;
    if (static_cast<uint64_t>(base) + size > 0xFFFFFFFFull) return STORAGE_INVALID_ARGUMENT;
    if (flags & AFS_INIT_READ_ONLY) ctx->read_only = 1;
    ctx->base = base;
    ctx->size = size;
    std::free(ctx->size_table);
    ctx->size_table = nullptr;
    std::free(ctx->bitmap);
    ctx->bitmap = nullptr;
    ctx->last_fat_page = 0;

    // Everything is metadata to the translation layer until the header is read.
    apply(ctx, Geometry{size, size, static_cast<uint16_t>(size / L::kPageSize)});

    const bool may_format = (flags & (AFS_INIT_FORMAT | AFS_INIT_FORMAT_ERASE)) != 0;
    const bool may_create = (flags & (AFS_INIT_CREATE | AFS_INIT_FORCE_FORMAT)) != 0;
    bool formatted = false;
    Geometry created{};
    uint32_t status = STORAGE_OK;
    if (flags & AFS_INIT_MOUNT_FTL) {
        status = afs_physical_ftl_init(ctx, size, (flags & AFS_INIT_BIND_DEVICE) | AFS_FTL_ALLOCATE_STATE);
        const bool force = (flags & AFS_INIT_FORCE_FORMAT) != 0;
        if (status != STORAGE_OK || force) {
            // Only a partition that does not mount is formatted, never one
            // that failed for lack of memory; and a format that no header
            // creation follows would only destroy the image.
            if (status != STORAGE_OK && status != STORAGE_IO_ERROR) return status;
            if (!may_format || !may_create) return STORAGE_IO_ERROR;
            if (!creation_layout(ctx, files, created)) return STORAGE_NO_SPACE;
            apply(ctx, created);
            status = format_and_mount(ctx, flags);
            if (status != STORAGE_OK) return status;
            formatted = true;
        }
    } else if (ctx->ftl_state == nullptr) {
        // Without the mount flag the translation layer is not mounted here;
        // a context that carries none has nothing to read the header through.
        return STORAGE_INVALID_ARGUMENT;
    }

    status = cache_init(ctx, line_size, lines);
    if (status != STORAGE_OK) return status;

    uint8_t* line0 = nullptr;
    status = cache_ptr(ctx, 0, &line0);
    if (status != STORAGE_OK) return status;
    uint8_t header[L::kPartHeaderBytes];
    std::memcpy(header, line0, sizeof header);
    ctx->alloc_cursor = 0;

    if (dorv::le::load32(header + L::kPartMagicAt) == L::kPartMagic) {
        const uint32_t vas = dorv::le::load32(header + L::kPartSizeAt);
        const uint32_t stored_files = dorv::le::load16(header + L::kPartFilesAt);
        if (!header_sound(ctx, vas, stored_files)) return STORAGE_IO_ERROR;
        ctx->files = static_cast<uint16_t>(stored_files);
        ctx->header_word = dorv::le::load32(header + L::kPartWordAt);
        apply(ctx, geometry_of(vas, stored_files));
        if (!formatted) {
            ftl_free_state(ctx);
            status = afs_physical_ftl_init(ctx, size, AFS_FTL_ALLOCATE_STATE);
            if (status != STORAGE_OK) return status;
        }
    } else {
        if (!may_create) return STORAGE_IO_ERROR;
        if (!formatted) {
            // The layer mounted but carries no header: it must carry the data
            // units of the new layout, or be formatted for them.
            if (!creation_layout(ctx, files, created)) return STORAGE_NO_SPACE;
            apply(ctx, created);
            ftl_free_state(ctx);
            status = afs_physical_ftl_init(ctx, size, AFS_FTL_ALLOCATE_STATE);
            if (status == STORAGE_NO_MEMORY) return status;
            if (status != STORAGE_OK || !ftl_matches_layout(ctx)) {
                if (!may_format) return STORAGE_IO_ERROR;
                status = format_and_mount(ctx, flags);
                if (status != STORAGE_OK) return status;
            }
            // The lines read so far belong to the provisional geometry.
            cache_invalidate(ctx);
            status = cache_ptr(ctx, 0, &line0);
            if (status != STORAGE_OK) return status;
        }
        ctx->files = static_cast<uint16_t>(files);
        ctx->header_word = (header1 & 0xFFu) | ((header2 & 0xFFFu) << 8);
        std::memset(header, 0, sizeof header);
        dorv::le::store32(header + L::kPartMagicAt, L::kPartMagic);
        dorv::le::store32(header + L::kPartWordAt, ctx->header_word);
        dorv::le::store32(header + L::kPartSizeAt, ctx->vas);
        dorv::le::store16(header + L::kPartFilesAt, ctx->files);
        // Line 0 is cleared and written whole, every page of it, but not
        // into the data area, which a long line may reach.
        const uint32_t cleared = line_size < ctx->data_start ? line_size : ctx->data_start;
        std::memset(line0, 0, cleared);
        std::memcpy(line0, header, sizeof header);
        cache_range_written(ctx, line0, cleared);
        status = cache_flush(ctx);
        if (status != STORAGE_OK) return status;
    }

    if (flags & AFS_INIT_SIZE_TABLE) {
        ctx->size_table = static_cast<uint32_t*>(std::malloc(static_cast<size_t>(ctx->files) * sizeof(uint32_t)));
        if (ctx->size_table == nullptr) return STORAGE_NO_MEMORY;
        std::memset(ctx->size_table, 0xFF, static_cast<size_t>(ctx->files) * sizeof(uint32_t));
    } else if (ctx->read_only) {
        preload(ctx, flags);
        return STORAGE_OK;
    }
    if (!ctx->read_only) {
        ctx->bitmap = static_cast<uint32_t*>(std::calloc(L::bitmap_words(*ctx) + 1, sizeof(uint32_t)));
        if (ctx->bitmap == nullptr) return STORAGE_NO_MEMORY;
    }
    status = mount_walk(ctx);
    if (status != STORAGE_OK) return status;

    if (!ctx->read_only) {
        ctx->ftl_alloc = 1;
        status = afs_physical_ftl_set_allocation_map(ctx);
        if (status != STORAGE_OK) return status;
        for (uint32_t i = 0; i < ctx->chunks; ++i) {
            if (!bitmap_test(ctx, i)) afs_trim_fat_page_if_needed(ctx, i);
        }
        afs_trim_fat_page_if_needed(ctx, ctx->chunks);
    }
    preload(ctx, flags);
    return STORAGE_OK;
}

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t afs_init(afs_context_t* ctx, uint8_t* image, uint32_t line_size, uint32_t lines,
                           uint32_t files, uint32_t base, uint32_t size, uint32_t flags, uint32_t header1,
                           uint32_t header2) {
    if (ctx == nullptr) return STORAGE_INVALID_ARGUMENT;
    ctx->mounted = 0;
    const uint32_t status = init(ctx, image, line_size, lines, files, base, size, flags, header1, header2);
    ctx->mounted = status == STORAGE_OK ? 1 : 0;
    return status;
}

DORV_API uint32_t afs_setcache(afs_context_t* ctx, uint32_t line_size, uint32_t lines) {
    if (ctx == nullptr || line_size < L::kMinLineSize || line_size > L::kMaxLineSize ||
        line_size % L::kMinLineSize != 0 || lines < L::kMinLines || lines > L::kMaxLines || ctx->mounted == 0) {
        return STORAGE_INVALID_ARGUMENT;
    }
    const uint32_t status = cache_init(ctx, line_size, lines);
    if (status == STORAGE_OK) {
        ctx->line_size = static_cast<uint16_t>(line_size);
        ctx->last_fat_page = 0;
    }
    return status;
}

DORV_API void afs_free_context(afs_context_t* ctx) {
    if (ctx == nullptr) return;
    std::free(ctx->bitmap);
    ctx->bitmap = nullptr;
    std::free(ctx->size_table);
    ctx->size_table = nullptr;
    std::free(ctx->cache_entries);
    ctx->cache_entries = nullptr;
    std::free(ctx->cache_buffer);
    ctx->cache_buffer = nullptr;
    ctx->cache_page_dirty = nullptr;  // lives in the line buffer's allocation
    ftl_free_state(ctx);
    ctx->mounted = 0;
}

DORV_API void afs_free_file_size_table(afs_context_t* ctx) {
    if (ctx == nullptr) return;
    std::free(ctx->size_table);
    ctx->size_table = nullptr;
}

DORV_C_END
