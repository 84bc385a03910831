// When and what to reclaim: the choice of a victim with its wear rule, the
// wrapper the page writer and the allocator call, the idle-time policy, and
// the maintenance operations (forced full reclaim, forced dirty erase, end of
// reserved-files mode).
#include <cstring>

#include "afs/afs_ftl.h"

namespace {

using namespace dorv::afs;
namespace L = dorv::afs::layout;

bool of_kind(const afs_eu_info_t& rec, uint32_t kind) {
    if (kind == AFS_RECLAIM_META) return rec.id == 0;
    if (kind == AFS_RECLAIM_DATA) return rec.id != 0;
    return true;
}

struct DirtyScan {
    uint32_t best = AFS_FTL_NONE;
    uint32_t lowest_unit = AFS_FTL_NONE;
    uint32_t lowest = 0xFFFFFFFFu;
    uint32_t highest = 0;
};

// Most not-valid slots wins; ties go to the lower erase count, then the
// lower index. The spare is never eligible.
DirtyScan dirty_scan(const afs_ftl_state_t* st, uint32_t kind) {
    DirtyScan scan;
    for (uint32_t i = 0; i < st->eu_count; ++i) {
        const afs_eu_info_t& rec = st->eu_info[i];
        if (i == st->spare_eu || !of_kind(rec, kind)) continue;
        if (scan.lowest_unit == AFS_FTL_NONE || rec.erase_count < scan.lowest) {
            scan.lowest = rec.erase_count;
            scan.lowest_unit = i;
        }
        if (rec.erase_count > scan.highest) scan.highest = rec.erase_count;
        if (scan.best == AFS_FTL_NONE) {
            scan.best = i;
            continue;
        }
        const afs_eu_info_t& b = st->eu_info[scan.best];
        if (rec.not_valid > b.not_valid || (rec.not_valid == b.not_valid && rec.erase_count < b.erase_count)) {
            scan.best = i;
        }
    }
    return scan;
}

// The erased unit of a kind with the lowest sequence: a switch without copy.
uint32_t erased_unit(const afs_ftl_state_t* st, uint32_t kind) {
    uint32_t found = AFS_FTL_NONE, lowest = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < st->eu_count; ++i) {
        const afs_eu_info_t& rec = st->eu_info[i];
        if (i == st->spare_eu || rec.free == 0 || !of_kind(rec, kind)) continue;
        if (found == AFS_FTL_NONE || rec.sequence < lowest) {
            lowest = rec.sequence;
            found = i;
        }
    }
    return found;
}

bool done_or_no_gain(uint32_t status) { return status == STORAGE_OK || status == STORAGE_RECLAIM_NO_GAIN; }

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t afs_physical_ftl_idle_reclaim_needed(afs_context_t* ctx, uint32_t* unit, uint32_t* kind) {
    if (ftl_usable(ctx) != STORAGE_OK || unit == nullptr || kind == nullptr) return 0;
    const afs_ftl_state_t* st = ctx->ftl_state;
    if (st->eu_count == 0) {
        *kind = AFS_RECLAIM_META;
        *unit = AFS_FTL_NONE;
        return 1;
    }
    uint32_t free_sum = 0, dirty_sum = 0, meta_room = 0;
    uint32_t candidate = AFS_FTL_NONE, lowest = 0;
    for (uint32_t i = 0; i < st->eu_count; ++i) {
        const afs_eu_info_t& rec = st->eu_info[i];
        if (i == st->spare_eu) continue;
        bool obsolete = false;
        if (rec.id != 0) {
            free_sum += rec.free;
            dirty_sum += rec.not_valid;
            obsolete = rec.not_valid == L::kDataSlots && rec.free == 0;
        } else if (i == st->current_meta_eu) {
            meta_room += st->next_meta_slot < L::kMetaSlots ? L::kMetaSlots - st->next_meta_slot : 0;
        } else if (rec.free != 0) {
            meta_room += L::kMetaSlots;
        } else {
            obsolete = rec.not_valid == L::kMetaSlots;
        }
        if (obsolete && (candidate == AFS_FTL_NONE || rec.erase_count < lowest)) {
            candidate = i;
            lowest = rec.erase_count;
        }
    }
    if (meta_room <= 29) {
        *kind = AFS_RECLAIM_META;
        *unit = AFS_FTL_NONE;
        return 1;
    }
    if (free_sum <= 63 && dirty_sum > 96) {
        *kind = AFS_RECLAIM_DATA;
        *unit = AFS_FTL_NONE;
        return 1;
    }
    if (candidate != AFS_FTL_NONE) {
        *kind = st->eu_info[candidate].id != 0 ? AFS_RECLAIM_DATA : AFS_RECLAIM_META;
        *unit = candidate;
        return 1;
    }
    return 0;
}

DORV_API uint32_t choose_eu_to_reclaim(afs_context_t* ctx, uint32_t kind, uint32_t wear, uint32_t* copy,
                                       uint32_t idle) {
    uint32_t scratch = 0;
    if (copy == nullptr) copy = &scratch;
    *copy = 1;
    if (ftl_usable(ctx) != STORAGE_OK) return AFS_FTL_NONE;
    const afs_ftl_state_t* st = ctx->ftl_state;
    uint32_t named = AFS_FTL_NONE, scan_kind = kind;
    if (!idle) {
        if (st->eu_count == 0) return AFS_FTL_NONE;
        if (kind == AFS_RECLAIM_META || kind == AFS_RECLAIM_DATA) {
            const uint32_t erased = erased_unit(st, kind);
            if (erased != AFS_FTL_NONE) {
                // A switch to an erased unit is never overridden by the wear rule.
                *copy = 0;
                return erased;
            }
        }
    } else {
        uint32_t idle_kind = 0;
        if (afs_physical_ftl_idle_reclaim_needed(ctx, &named, &idle_kind) == 0) {
            *copy = 0;
            return AFS_FTL_NONE;
        }
        if (st->eu_count == 0) return AFS_FTL_NONE;
        scan_kind = idle_kind;
    }
    const DirtyScan scan = dirty_scan(st, scan_kind);
    if (scan.best == AFS_FTL_NONE) return AFS_FTL_NONE;
    if (wear && scan.highest - scan.lowest > 100 && scan.highest % 10 == 0) return scan.lowest_unit;
    return named != AFS_FTL_NONE ? named : scan.best;
}

DORV_API uint32_t reclaim_eu_wrapper(afs_context_t* ctx, uint32_t kind) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    uint32_t copy = 1;
    uint32_t victim = choose_eu_to_reclaim(ctx, kind, 1, &copy, 0);
    if (victim == AFS_FTL_NONE) return STORAGE_NO_SPACE;
    const uint32_t status = reclaim_eu(ctx, victim, copy);
    if (status != STORAGE_RECLAIM_NO_GAIN) return status;
    victim = choose_eu_to_reclaim(ctx, kind, 0, &copy, 0);
    if (victim == AFS_FTL_NONE) return STORAGE_NO_SPACE;
    if (ctx->ftl_state->eu_info[victim].not_valid == 0 && copy == 1) return STORAGE_NO_SPACE;
    return reclaim_eu(ctx, victim, copy);
}

DORV_API uint32_t afs_physical_ftl_idle_reclaim(afs_context_t* ctx) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    uint32_t copy = 0;
    const uint32_t victim = choose_eu_to_reclaim(ctx, AFS_RECLAIM_ANY, 1, &copy, 1);
    if (victim < ctx->ftl_state->eu_count && copy == 1) return reclaim_eu(ctx, victim, 1);
    return STORAGE_OK;
}

DORV_API uint32_t afs_physical_ftl_force_full_reclaim(afs_context_t* ctx) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    afs_ftl_state_t* st = ctx->ftl_state;
    uint32_t i = st->full_reclaim_cursor;
    while (i < st->eu_count && (st->eu_info[i].id == 0 || i == st->spare_eu)) ++i;
    if (i >= st->eu_count) {
        st->full_reclaim_cursor = 0;
        return STORAGE_OK;
    }
    const uint32_t status = reclaim_eu(ctx, i, 1);
    if (!done_or_no_gain(status)) return status;
    if (i + 1 >= st->eu_count) {
        st->full_reclaim_cursor = 0;
        return STORAGE_OK;
    }
    st->full_reclaim_cursor = static_cast<uint8_t>(i + 1);
    return STORAGE_AGAIN;
}

DORV_API uint32_t afs_physical_ftl_force_dirty_erase(afs_context_t* ctx) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    // Without the chunk bitmap every written page would look obsolete.
    if (ctx->bitmap == nullptr) return STORAGE_INVALID_ARGUMENT;
    const uint32_t settled = ftl_settle_unfinished(ctx);
    if (settled != STORAGE_OK) return settled;
    const afs_ftl_state_t* st = ctx->ftl_state;
    uint8_t zeros[L::kRecordSize];
    std::memset(zeros, 0, sizeof zeros);
    for (uint32_t i = 0; i < st->eu_count; ++i) {
        const afs_eu_info_t& rec = st->eu_info[i];
        const bool spare = i == st->spare_eu;
        if (rec.id == 0 && !spare) continue;
        uint8_t status[L::kDataSlots];
        if (ftl_read(ctx, eu_offset(i) + L::kDataStatus, L::kDataSlots, status) != STORAGE_OK) {
            return STORAGE_IO_ERROR;
        }
        const uint32_t b = spare ? 0 : data_unit_base(ctx, rec.id);
        for (uint32_t j = 0; j < L::kDataSlots; ++j) {
            if (!spare && (status[j] == L::kStatusFree || bitmap_test(ctx, b + j))) continue;
            if (ftl_write_plain(ctx, eu_offset(i) + L::data_record_offset(j), zeros, sizeof zeros) != STORAGE_OK) {
                return STORAGE_IO_ERROR;
            }
        }
    }
    return STORAGE_OK;
}

DORV_API uint32_t afs_physical_ftl_end_reserved_files_mode(afs_context_t* ctx) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    afs_ftl_state_t* st = ctx->ftl_state;
    if (st->spare_eu != 0) {
        const uint32_t status = reclaim_eu(ctx, 0, 1);
        if (!done_or_no_gain(status)) return status;
        if (st->spare_eu == 1) return STORAGE_OK;
    }
    const uint32_t status = reclaim_eu(ctx, 1, 1);
    return done_or_no_gain(status) ? STORAGE_OK : status;
}

DORV_C_END
