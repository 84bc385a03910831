// Format and mount of the flash translation layer: unit headers, replay of
// the metadata units into the page map, and the choice of spare and current
// metadata unit. The mount writes nothing; a reclaim target it accepts is
// completed on flash before the partition is next changed.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "afs/afs_ftl.h"
#include "afs/afs_state.h"
#include "common/le_bytes.h"

namespace {

using namespace dorv::afs;
namespace L = dorv::afs::layout;
using dorv::le::load16;
using dorv::le::load32;

constexpr uint16_t kNoUnit16 = 0xFFFF;

struct Header {
    uint32_t magic, sequence, erase_count;
    uint16_t aux, id;
    uint8_t crc, complete;
    uint16_t entry0;  // first map entry (metadata) or first two status bytes (data)
    uint8_t raw[L::kHdrCrcSpan];
};

Header parse_header(const uint8_t* b) {
    Header h;
    h.magic = load32(b + L::kHdrMagic);
    h.sequence = load32(b + L::kHdrSequence);
    h.erase_count = load32(b + L::kHdrEraseCount);
    h.aux = load16(b + L::kHdrAux);
    h.id = load16(b + L::kHdrId);
    h.crc = b[L::kHdrCrc];
    h.complete = b[L::kHdrComplete];
    h.entry0 = load16(b + L::kHdrSize);
    std::memcpy(h.raw, b, sizeof h.raw);
    return h;
}

// Whether the header's crc matches with its magic replaced by `magic`.
bool crc_with(const Header& h, uint32_t magic) {
    uint8_t bytes[L::kHdrCrcSpan];
    std::memcpy(bytes, h.raw, sizeof bytes);
    dorv::le::store32(bytes + L::kHdrMagic, magic);
    return crc8(bytes, sizeof bytes) == h.crc;
}

bool header_valid(const Header& h) {
    if (h.sequence == 0 || h.erase_count == 0) return false;
    switch (h.magic) {
        case L::kMagic: return crc_with(h, L::kMagic);
        case L::kMagicAltA: return crc_with(h, L::kMagicAltA) || crc_with(h, L::kMagic);
        case L::kMagicAltB: return crc_with(h, L::kMagic);
        default: return false;
    }
}

void build_header(uint8_t* b, uint32_t magic, uint32_t sequence, uint32_t erase_count, uint16_t aux,
                  uint16_t id) {
    dorv::le::store32(b + L::kHdrMagic, magic);
    dorv::le::store32(b + L::kHdrSequence, sequence);
    dorv::le::store32(b + L::kHdrEraseCount, erase_count);
    dorv::le::store16(b + L::kHdrAux, aux);
    dorv::le::store16(b + L::kHdrId, id);
    b[L::kHdrCrc] = crc8(b, L::kHdrCrcSpan);
}

// Whether every byte that metadata writes from slot `from` on rely on is
// erased: the map entries after it and the records from it on; entry `from`
// itself may hold the end mark the last write left. A write over other bytes
// would leave entries the next mount cannot replay.
bool meta_room_blank(const afs_context_t* ctx, uint32_t u, uint32_t from) {
    if (from >= L::kMetaSlots) return true;
    uint8_t body[L::kEuSize];
    const uint32_t start = L::meta_entry_offset(from);
    const uint32_t end = L::meta_record_offset(L::kMetaSlots);
    if (ftl_read(ctx, eu_offset(u) + start, end - start, body) != STORAGE_OK) return false;
    const uint16_t entry = load16(body);
    if (entry != L::kMapErased && entry != L::kMapEndMark) return false;
    const auto blank = [&](uint32_t a, uint32_t b) {
        for (uint32_t i = a - start; i < b - start; ++i) {
            if (body[i] != 0xFF) return false;
        }
        return true;
    };
    return blank(L::meta_entry_offset(from + 1), L::meta_entry_offset(L::kMetaMapEntries)) &&
           blank(L::meta_record_offset(from), end);
}

// A metadata unit whose first map entry is erased holds no page. It takes
// writes from slot 0 only when the rest of its body is blank too; else it
// counts as full of obsolete slots, so it is erased before it is written.
void mark_erased_meta(const afs_context_t* ctx, uint32_t u) {
    afs_eu_info_t& rec = ctx->ftl_state->eu_info[u];
    rec.not_valid = L::kMetaSlots;
    rec.free = meta_room_blank(ctx, u, 0) ? 1 : 0;
}

// Ids of data units must name distinct 122-page groups of the layout.
bool data_ids_sound(const afs_context_t* ctx) {
    const afs_ftl_state_t* st = ctx->ftl_state;
    const uint32_t groups = L::data_unit_count(ctx->vas, ctx->data_start);
    const uint32_t first = ctx->data_start >> L::kPageShift;
    bool seen[256] = {};
    for (uint32_t i = 0; i < st->eu_count; ++i) {
        const uint32_t id = st->eu_info[i].id;
        if (id == 0) continue;
        if (id < first || (id - first) % L::kDataSlots != 0) return false;
        const uint32_t q = (id - first) / L::kDataSlots;
        if (q >= groups || q >= 256 || seen[q]) return false;
        seen[q] = true;
    }
    return true;
}

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t afs_physical_ftl_get_data_vas(afs_context_t* ctx, uint32_t) {
    if (ctx == nullptr) return 0;
    const uint32_t n = ctx->size >> L::kEuShift;
    const uint32_t q = n / 12;
    if (q + 1 > n) return 0;
    if (n >= 2 && n <= 11) return (n - 2) * L::kDataUnitBytes;
    return (n - 1 - q) * L::kDataUnitBytes;
}

DORV_API uint32_t afs_physical_ftl_format(afs_context_t* ctx, uint32_t erase) {
    if (ctx == nullptr || ctx->ftl_state == nullptr) return STORAGE_INVALID_ARGUMENT;
    afs_ftl_state_t* st = ctx->ftl_state;
    const uint32_t n = ctx->size >> L::kEuShift;
    const uint32_t m = n - 1 - L::data_unit_count(ctx->vas, ctx->data_start);
    if (n == 0) return STORAGE_OK;
    st->unfinished_eu = kNoUnit16;  // every header is rewritten
    static uint8_t body[L::kEuSize];
    for (uint32_t i = 0; i < n; ++i) {
        if (erase != 0) {
            ftl_erase_unit(ctx, i);
        } else {
            // Old map entries or status bytes would come back as pages at the
            // next mount: a unit whose body is not blank is erased anyway.
            const uint32_t span = L::kEuSize - L::kHdrSize;
            uint32_t status = ftl_read(ctx, eu_offset(i) + L::kHdrSize, span, body);
            bool blank = status == STORAGE_OK;
            for (uint32_t j = 0; blank && j < span; ++j) blank = body[j] == 0xFF;
            if (!blank) {
                status = ftl_erase_unit(ctx, i);
                if (status != STORAGE_OK) return status;
            }
        }
        uint16_t id = 0;
        if (i >= m && i + 1 < st->eu_count) {
            id = static_cast<uint16_t>(((i - st->meta_eu_count) * L::kDataUnitBytes + ctx->data_start) >> L::kPageShift);
        }
        uint8_t header[L::kHdrSize];
        build_header(header, L::kMagic, i + 1, 1, static_cast<uint16_t>(i + 1), id);
        if (i + 1 == n) dorv::le::store32(header + L::kHdrMagic, 0);
        header[L::kHdrComplete] = L::kComplete;
        uint32_t status = ftl_write_verified(ctx, eu_offset(i), header, L::kHdrFirstWrite);
        if (status == STORAGE_OK) status = ftl_write_verified(ctx, eu_offset(i) + L::kHdrComplete, header + L::kHdrComplete, 1);
        if (status != STORAGE_OK) return status;
    }
    return STORAGE_OK;
}

DORV_API uint32_t ftl_process_pages(afs_context_t* ctx, uint32_t u, uint32_t current) {
    if (ftl_usable(ctx) != STORAGE_OK || u >= ctx->ftl_state->eu_count || u >= ctx->ftl_state->eu_info_capacity ||
        ctx->ftl_state->page_map == nullptr ||
        (ctx->data_start >> L::kPageShift) > ctx->ftl_state->page_map_capacity) {
        return STORAGE_INVALID_ARGUMENT;
    }
    afs_ftl_state_t* st = ctx->ftl_state;
    st->chain_last = 0;
    uint8_t raw[2 * L::kMetaMapEntries];
    if (ftl_read(ctx, eu_offset(u) + L::kMetaMap, sizeof raw, raw) != STORAGE_OK) return STORAGE_IO_ERROR;
    uint16_t e[L::kMetaMapEntries];
    for (uint32_t s = 0; s < L::kMetaMapEntries; ++s) e[s] = load16(raw + 2 * s);
    const uint32_t pages = ctx->data_start >> L::kPageShift;
    afs_eu_info_t& rec = st->eu_info[u];
    uint32_t s = 0;
    while (s < L::kMetaSlots) {
        if ((e[s + 1] & L::kMapCommitBit) == 0) {
            const uint16_t v = chain_entry(st->chain_last, e[s]);
            st->chain_last = v;
            if (v >= pages) return STORAGE_IO_ERROR;
            afs_page_map_entry_t& map = st->page_map[v];
            if (map.eu != 0xFF || map.slot != 0xFF) {
                if (map.eu >= st->eu_count) return STORAGE_IO_ERROR;  // a map this mount did not build
                afs_eu_info_t& old = st->eu_info[map.eu];
                if (old.sequence > rec.sequence) {
                    ++rec.not_valid;
                } else {
                    ++old.not_valid;
                    map = {static_cast<uint8_t>(u), static_cast<uint8_t>(s)};
                }
            } else {
                map = {static_cast<uint8_t>(u), static_cast<uint8_t>(s)};
            }
            // Never below a committed slot, even where an end mark is missing.
            if (current && st->next_meta_slot < s + 1) st->next_meta_slot = s + 1;
            if (e[s + 1] == L::kMapEndMark) {
                if (current) st->next_meta_slot = s + 1;
                rec.not_valid = static_cast<uint8_t>(rec.not_valid + (L::kMetaSlots - 1 - s));
                break;
            }
            ++s;
        } else {
            ++rec.not_valid;
            if (e[s] == L::kMapErased) {
                ++s;
                continue;
            }
            // A torn write: its slot and the one after it are given up.
            if (current) st->next_meta_slot = s + 1;
            if (s + 1 == L::kMetaSlots) break;
            ++rec.not_valid;
            s += 2;
            if (current) st->next_meta_slot = s;
        }
    }
    return STORAGE_OK;
}

DORV_API uint32_t afs_physical_ftl_init(afs_context_t* ctx, uint32_t size, uint32_t flags) {
    if (ctx == nullptr) return STORAGE_INVALID_ARGUMENT;
    const uint32_t n = size >> L::kEuShift;
    const uint32_t groups = L::data_unit_count(ctx->vas, ctx->data_start);
    const uint32_t meta = n - 1 - groups;
    const uint32_t pages = ctx->data_start >> L::kPageShift;
    // Logical page numbers are 16 bits wide; the unit count is kept in 8.
    const uint32_t records = n < L::kMaxUnits ? n : L::kMaxUnits;

    if (flags & AFS_FTL_ALLOCATE_STATE) {
        ftl_free_state(ctx);
        auto* st = static_cast<afs_ftl_state_t*>(std::calloc(1, sizeof(afs_ftl_state_t)));
        if (st == nullptr) return STORAGE_NO_MEMORY;
        ctx->ftl_state = st;
        st->eu_info = static_cast<afs_eu_info_t*>(std::calloc(records > 0 ? records : 1, sizeof(afs_eu_info_t)));
        const uint32_t map_entries = pages <= 0x10000 ? pages : 0;
        st->page_map = static_cast<afs_page_map_entry_t*>(
            std::malloc((map_entries > 0 ? map_entries : 1) * sizeof(afs_page_map_entry_t)));
        if (st->eu_info == nullptr || st->page_map == nullptr) return STORAGE_NO_MEMORY;
        st->eu_info_capacity = records;
        st->page_map_capacity = map_entries;
    }
    afs_ftl_state_t* st = ctx->ftl_state;
    if (st == nullptr) return STORAGE_INVALID_ARGUMENT;
    if (records > st->eu_info_capacity || pages > st->page_map_capacity) return STORAGE_IO_ERROR;

    std::memset(st->page_map, 0xFF, pages * sizeof(afs_page_map_entry_t));
    std::memset(st->eu_info, 0, records * sizeof(afs_eu_info_t));
    forget_unit_hints(st);
    st->max_sequence = n - 1;
    st->current_meta_eu = AFS_FTL_NONE;
    st->next_meta_slot = 0;
    st->window_next = st->window_end = 0;
    st->spare_eu = 0xFF;
    st->chain_last = 0;
    st->check_status = st->retry_signalled = 0;
    st->eu_count = static_cast<uint8_t>(n);
    st->meta_eu_count = static_cast<uint8_t>(meta);
    st->full_reclaim_cursor = 0;
    st->unfinished_eu = kNoUnit16;

    if (flags & AFS_FTL_BIND_DEVICE) {
        // The partition is the only extent the library knows of the image.
        const uint64_t extent = static_cast<uint64_t>(ctx->base) + ctx->size;
        spi_bind(ctx->image, extent > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(extent));
    }
    // Fewer than two units cannot hold a spare and a unit to reclaim into; a
    // unit count beyond 8 bits is not representable.
    if (st->eu_count < 2 || n > L::kMaxUnits) return STORAGE_IO_ERROR;
    const bool real_geometry = ctx->data_start < ctx->vas;
    if (real_geometry && groups + 2 > n) return STORAGE_IO_ERROR;

    bool spare_found = false, spare_average = false;
    uint32_t target = AFS_FTL_NONE, target_aux = 0;
    uint16_t target_entry0 = 0;
    uint32_t newest_aux = AFS_FTL_NONE;
    uint16_t saved_chain = 0;
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t raw[L::kHdrProbe];
        if (ftl_read(ctx, eu_offset(i), sizeof raw, raw) != STORAGE_OK) return STORAGE_IO_ERROR;
        const Header h = parse_header(raw);
        afs_eu_info_t& rec = st->eu_info[i];
        rec.sequence = h.sequence;
        rec.erase_count = h.erase_count;
        if (!header_valid(h)) {
            if (spare_found) return STORAGE_IO_ERROR;
            spare_found = true;
            st->spare_eu = static_cast<uint16_t>(i);
            spare_average = !(h.magic == 0 && (crc_with(h, L::kMagic) || crc_with(h, L::kMagicAltA)));
            continue;
        }
        rec.id = h.id;
        if (h.complete == L::kIncomplete) {
            if (target != AFS_FTL_NONE) return STORAGE_IO_ERROR;
            target = i;
            target_aux = h.aux;
            target_entry0 = h.entry0;
            continue;
        }
        if (h.sequence >= st->max_sequence) {
            st->max_sequence = h.sequence;
            newest_aux = h.aux;
        }
        if (h.id != 0) continue;
        if (h.entry0 == L::kMapErased) {
            mark_erased_meta(ctx, i);
            continue;
        }
        const bool current =
            st->current_meta_eu == AFS_FTL_NONE || st->eu_info[st->current_meta_eu].sequence <= h.sequence;
        if (current) st->current_meta_eu = i;
        const uint32_t status = ftl_process_pages(ctx, i, current);
        if (status != STORAGE_OK) return status;
        if (current) saved_chain = st->chain_last;
    }
    st->chain_last = saved_chain;

    if (target == AFS_FTL_NONE) {
        if (!spare_found || st->spare_eu != newest_aux) return STORAGE_IO_ERROR;
    } else if (!spare_found) {
        // The reclaim stopped before its victim was obsoleted: drop the target.
        st->spare_eu = static_cast<uint16_t>(target);
        st->eu_info[target].id = 0;
        spare_found = true;
    } else {
        if (st->spare_eu != target_aux) return STORAGE_IO_ERROR;
        st->max_sequence = st->eu_info[target].sequence;
        st->unfinished_eu = static_cast<uint16_t>(target);
        if (st->eu_info[target].id == 0) {
            if (target_entry0 == L::kMapErased) {
                mark_erased_meta(ctx, target);
            } else {
                // The target keeps the chain value of its own replay: the next
                // write into it chains from there, as the next mount will.
                st->current_meta_eu = target;
                st->next_meta_slot = 0;
                const uint32_t status = ftl_process_pages(ctx, target, 1);
                if (status != STORAGE_OK) return status;
            }
        }
    }
    if (real_geometry && !data_ids_sound(ctx)) return STORAGE_IO_ERROR;

    if (st->current_meta_eu == AFS_FTL_NONE) {
        uint32_t lowest = 0xFFFFFFFFu;
        for (uint32_t i = 0; i < n; ++i) {
            const afs_eu_info_t& rec = st->eu_info[i];
            if (i == st->spare_eu || rec.id != 0 || rec.sequence >= lowest) continue;
            lowest = rec.sequence;
            st->current_meta_eu = i;
        }
    }
    // Stray bytes where the next metadata writes go make the current unit
    // count as full: the next write reclaims it first.
    if (st->current_meta_eu < n && !meta_room_blank(ctx, st->current_meta_eu, st->next_meta_slot)) {
        st->next_meta_slot = L::kMetaSlots;
    }
    if (spare_average) {
        uint32_t sum = 0;
        for (uint32_t i = 0; i < n; ++i) {
            if (i != st->spare_eu) sum += st->eu_info[i].erase_count;
        }
        st->eu_info[st->spare_eu].erase_count = sum / (st->eu_count - 1u);
    }
    return STORAGE_OK;
}

DORV_C_END
