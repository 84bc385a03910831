// Reclaim of one erase unit through the spare: live data pages are copied slot
// for slot into the erased spare, live metadata pages move into the current
// metadata unit (overflowing into another erased unit or the spare), and a new
// header on the spare finishes the reclaim. The order of the writes keeps
// every power loss recoverable by the mount: spare erased, content written,
// header without its complete byte, victim magic zeroed, complete byte.
#include <cstdlib>
#include <cstring>

#include "afs/afs_ftl.h"
#include "common/le_bytes.h"

namespace {

using namespace dorv::afs;
namespace L = dorv::afs::layout;

constexpr uint16_t kNotLive = 0xFFFF;

struct WorkBuffer {
    uint8_t* bytes = static_cast<uint8_t*>(std::malloc(L::kWorkBuffer));
    ~WorkBuffer() { std::free(bytes); }
    WorkBuffer() = default;
    WorkBuffer(const WorkBuffer&) = delete;
    WorkBuffer& operator=(const WorkBuffer&) = delete;
};

void switch_meta_to(afs_ftl_state_t* st, uint32_t eu) {
    st->current_meta_eu = eu;
    st->next_meta_slot = 0;
    st->chain_last = 0;
}

// Erases the spare for the reclaim and records it as an erased unit.
uint32_t erase_spare(afs_context_t* ctx, bool meta) {
    afs_ftl_state_t* st = ctx->ftl_state;
    const uint32_t status = ftl_erase_unit(ctx, st->spare_eu);
    if (status != STORAGE_OK) return status;
    afs_eu_info_t& spare = st->eu_info[st->spare_eu];
    spare.not_valid = static_cast<uint8_t>(meta ? L::kMetaSlots : L::kDataSlots);
    spare.free = static_cast<uint8_t>(meta ? 1 : L::kDataSlots);
    return STORAGE_OK;
}

// Moves the live pages of slots t .. t + r - 1 of the victim to the current
// metadata unit from next_meta_slot on: records first, then their map entries.
uint32_t move_meta_run(afs_context_t* ctx, uint32_t victim, uint32_t t, uint32_t r, const uint16_t* pages,
                       uint8_t* work) {
    afs_ftl_state_t* st = ctx->ftl_state;
    const uint32_t u = st->current_meta_eu, s = st->next_meta_slot;
    uint32_t status = ftl_read_records(ctx, eu_offset(victim) + L::meta_record_offset(t), r, 0, pages + t, work);
    if (status != STORAGE_OK) return status;
    status = ftl_write_verified(ctx, eu_offset(u) + L::meta_record_offset(s), work, r * L::kRecordSize);
    if (status != STORAGE_OK) return status;
    uint8_t entries[2 * L::kMaxRunPages];
    uint16_t chain = st->chain_last;
    for (uint32_t i = 0; i < r; ++i) {
        dorv::le::store16(entries + 2 * i, chain_entry(chain, pages[t + i]));
        chain = pages[t + i];
    }
    status = ftl_write_verified(ctx, eu_offset(u) + L::meta_entry_offset(s), entries, 2 * r);
    if (status != STORAGE_OK) return status;
    st->chain_last = chain;
    afs_eu_info_t& rec = st->eu_info[u];
    rec.free = 0;
    st->next_meta_slot = s + r;
    rec.not_valid = static_cast<uint8_t>(rec.not_valid >= r ? rec.not_valid - r : 0);
    return STORAGE_OK;
}

uint32_t end_mark(afs_context_t* ctx) {
    const afs_ftl_state_t* st = ctx->ftl_state;
    const uint8_t mark = L::kEndMarkByte;
    return ftl_write_verified(ctx, eu_offset(st->current_meta_eu) + L::meta_entry_offset(st->next_meta_slot) + 1,
                              &mark, 1);
}

struct MetaPosition {
    uint32_t current, next;
    uint16_t chain;
};

struct MetaMove {
    uint16_t page;
    uint8_t eu, slot;
};

uint32_t reclaim_meta(afs_context_t* ctx, uint32_t victim, uint8_t* work) {
    afs_ftl_state_t* st = ctx->ftl_state;
    const uint32_t spare = st->spare_eu;
    uint32_t overflow = spare, lowest = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < st->eu_count; ++i) {
        const afs_eu_info_t& rec = st->eu_info[i];
        if (rec.id != 0 || rec.free == 0 || i == spare || i == st->current_meta_eu || i == victim) continue;
        if (rec.sequence < lowest) {
            lowest = rec.sequence;
            overflow = i;
        }
    }
    uint32_t status = erase_spare(ctx, true);
    if (status != STORAGE_OK) return status;
    const uint32_t gone = st->eu_info[victim].not_valid;  // V

    // Until its header is written the spare is no unit to the mount: pages
    // copied into it move in the map only afterwards, and a failure leaves the
    // metadata writes where they were before the switch to it (a full unit
    // makes the next write reclaim again).
    MetaPosition before_spare{st->current_meta_eu, st->next_meta_slot, st->chain_last};
    auto switch_to = [&](uint32_t eu) {
        if (eu == spare) before_spare = {st->current_meta_eu, st->next_meta_slot, st->chain_last};
        switch_meta_to(st, eu);
    };
    MetaMove pending[L::kMetaSlots];
    uint32_t pending_count = 0;
    auto fail = [&](uint32_t code) {
        if (st->current_meta_eu == spare) {
            st->current_meta_eu = before_spare.current;
            st->next_meta_slot = before_spare.next;
            st->chain_last = before_spare.chain;
        }
        return code;
    };

    if (st->current_meta_eu >= st->eu_count || st->next_meta_slot >= L::kMetaSlots || st->current_meta_eu == victim) {
        switch_to(overflow);
    }

    uint16_t pages[L::kMetaSlots];
    for (uint16_t& p : pages) p = kNotLive;
    const uint32_t map_pages = ctx->data_start >> L::kPageShift;
    for (uint32_t p = 0; p < map_pages && p < st->page_map_capacity; ++p) {
        const afs_page_map_entry_t& m = st->page_map[p];
        if (m.eu == victim && m.slot < L::kMetaSlots) pages[m.slot] = static_cast<uint16_t>(p);
    }

    const uint32_t live_total = gone <= L::kMetaSlots ? L::kMetaSlots - gone : 0;
    uint32_t copied = 0, run = 0, start = 0;
    for (uint32_t slot = 0; slot < L::kMetaSlots && copied < live_total; ++slot) {
        if (pages[slot] == kNotLive) continue;
        if (run == 0) start = slot;
        ++run;
        const bool last = slot + 1 == L::kMetaSlots || pages[slot + 1] == kNotLive;
        if (!last && run < L::kMaxRunPages && run < L::kMetaSlots - st->next_meta_slot) continue;
        const uint32_t into = st->current_meta_eu, from = st->next_meta_slot;
        status = move_meta_run(ctx, victim, start, run, pages, work);
        if (status != STORAGE_OK) return fail(status);
        // Pages move in the map only once their copies are on flash, so a
        // failed reclaim leaves every page readable where it was.
        for (uint32_t i = 0; i < run; ++i) {
            const afs_page_map_entry_t to{static_cast<uint8_t>(into), static_cast<uint8_t>(from + i)};
            if (into == spare) {
                pending[pending_count++] = {pages[start + i], to.eu, to.slot};
            } else {
                st->page_map[pages[start + i]] = to;
            }
        }
        copied += run;
        run = 0;
        if (copied >= live_total) break;
        if (st->next_meta_slot >= L::kMetaSlots) {
            status = end_mark(ctx);
            if (status != STORAGE_OK) return fail(status);
            switch_to(overflow);
        }
    }
    if (copied != 0 && st->next_meta_slot != 0) {
        status = end_mark(ctx);
        if (status != STORAGE_OK) return fail(status);
    }
    status = reclaim_eu_write_eu_header(ctx, spare, victim, eu_offset(spare), eu_offset(victim));
    if (status != STORAGE_OK) return fail(STORAGE_IO_ERROR);
    for (uint32_t i = 0; i < pending_count; ++i) st->page_map[pending[i].page] = {pending[i].eu, pending[i].slot};
    return gone == 0 ? STORAGE_RECLAIM_NO_GAIN : STORAGE_OK;
}

uint32_t reclaim_data(afs_context_t* ctx, uint32_t victim, uint8_t* work) {
    afs_ftl_state_t* st = ctx->ftl_state;
    st->retry_signalled = 0;
    const uint32_t spare = st->spare_eu;
    uint32_t status = erase_spare(ctx, false);
    if (status != STORAGE_OK) return status;
    const uint32_t b = data_unit_base(ctx, st->eu_info[victim].id);
    const bool sets_window = st->window_next == AFS_FTL_NONE || st->window_next == st->window_end;
    if (sets_window) {
        st->window_next = AFS_FTL_NONE;
        st->window_end = b + L::kDataSlots;
    }
    afs_eu_info_t& target = st->eu_info[spare];
    uint32_t run = 0;
    for (uint32_t j = L::kDataSlots; j-- > 0;) {
        if (bitmap_test(ctx, b + j)) {
            --target.not_valid;
            ++run;
            if (run == L::kMaxRunPages || j == 0) {
                status = ftl_copy_pages(ctx, victim, spare, j, run, work);
                if (status != STORAGE_OK) return status;
                run = 0;
            }
            continue;
        }
        if (sets_window) st->window_next = b + j;
        if (run != 0) {
            status = ftl_copy_pages(ctx, victim, spare, j + 1, run, work);
            if (status != STORAGE_OK) return status;
            run = 0;
        }
    }
    status = reclaim_eu_write_eu_header(ctx, spare, victim, eu_offset(spare), eu_offset(victim));
    if (status != STORAGE_OK) return status;
    return st->window_next == AFS_FTL_NONE ? STORAGE_RECLAIM_NO_GAIN : STORAGE_OK;
}

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t ftl_copy_pages(afs_context_t* ctx, uint32_t victim, uint32_t spare, uint32_t first_slot,
                                 uint32_t count, uint8_t* work) {
    if (ftl_usable(ctx) != STORAGE_OK || work == nullptr) return STORAGE_INVALID_ARGUMENT;
    afs_ftl_state_t* st = ctx->ftl_state;
    if (victim >= st->eu_count || spare >= st->eu_count || first_slot >= L::kDataSlots ||
        count > L::kDataSlots - first_slot || count > L::kMaxRunPages) {
        return STORAGE_INVALID_ARGUMENT;
    }
    if (count == 0) return STORAGE_OK;
    const auto page = static_cast<uint16_t>(st->eu_info[victim].id + first_slot);
    uint32_t status =
        ftl_read_records(ctx, eu_offset(victim) + L::data_record_offset(first_slot), count, page, nullptr, work);
    if (status != STORAGE_OK) return status;
    status = ftl_write_verified(ctx, eu_offset(spare) + L::data_record_offset(first_slot), work,
                                count * L::kRecordSize);
    if (status != STORAGE_OK) return status;
    uint8_t* zeros = work + L::kWorkBuffer / 2;
    std::memset(zeros, L::kStatusWritten, count);
    status = ftl_write_verified(ctx, eu_offset(spare) + L::data_status_offset(first_slot), zeros, count);
    if (status != STORAGE_OK) return status;
    afs_eu_info_t& rec = st->eu_info[spare];
    rec.free = static_cast<uint8_t>(rec.free >= count ? rec.free - count : 0);
    return STORAGE_OK;
}

DORV_API uint32_t reclaim_eu_write_eu_header(afs_context_t* ctx, uint32_t spare, uint32_t victim,
                                             uint32_t spare_offset, uint32_t victim_offset) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    afs_ftl_state_t* st = ctx->ftl_state;
    if (spare >= st->eu_count || victim >= st->eu_count || spare == victim) return STORAGE_INVALID_ARGUMENT;
    // A sequence of 0xFFFFFFFF would never be a current unit to the mount.
    if (st->max_sequence >= 0xFFFFFFFEu) return STORAGE_NO_SPACE;
    afs_eu_info_t& s = st->eu_info[spare];
    afs_eu_info_t& v = st->eu_info[victim];
    ++st->max_sequence;
    ++s.erase_count;
    uint8_t header[L::kHdrSize];
    dorv::le::store32(header + L::kHdrMagic, L::kMagic);
    dorv::le::store32(header + L::kHdrSequence, st->max_sequence);
    dorv::le::store32(header + L::kHdrEraseCount, s.erase_count);
    dorv::le::store16(header + L::kHdrAux, static_cast<uint16_t>(victim));
    dorv::le::store16(header + L::kHdrId, v.id);
    header[L::kHdrCrc] = crc8(header, L::kHdrCrcSpan);
    header[L::kHdrComplete] = L::kComplete;
    const uint8_t zero_magic[4] = {0, 0, 0, 0};
    uint32_t status = ftl_write_verified(ctx, spare_offset, header, L::kHdrFirstWrite);
    if (status != STORAGE_OK) return status;
    status = ftl_write_verified(ctx, victim_offset + L::kHdrMagic, zero_magic, sizeof zero_magic);
    if (status != STORAGE_OK) return status;
    v.sequence = 0;
    // With the victim obsoleted the mount takes the spare as the unit even
    // while its complete byte is open, so the roles change now; a complete
    // byte that does not land is written again before the next change.
    st->spare_eu = static_cast<uint16_t>(victim);
    v.not_valid = 0;
    s.id = v.id;
    s.sequence = st->max_sequence;
    v.id = 0;
    if (ftl_write_verified(ctx, spare_offset + L::kHdrComplete, header + L::kHdrComplete, 1) != STORAGE_OK) {
        st->unfinished_eu = static_cast<uint16_t>(spare);
    }
    return STORAGE_OK;
}

DORV_API uint32_t reclaim_eu(afs_context_t* ctx, uint32_t victim, uint32_t copy) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    afs_ftl_state_t* st = ctx->ftl_state;
    if (victim == AFS_FTL_NONE) return STORAGE_NO_SPACE;
    if (victim >= st->eu_count) return STORAGE_INVALID_ARGUMENT;
    if (victim == st->spare_eu) return STORAGE_NO_SPACE;
    afs_eu_info_t& rec = st->eu_info[victim];
    if (copy == 0) {
        if (rec.id == 0) {
            // Only an erased metadata unit can take writes from slot 0 on.
            if (rec.free == 0) return STORAGE_INVALID_ARGUMENT;
            switch_meta_to(st, victim);
        } else {
            st->retry_signalled = 0;
            st->window_next = data_unit_base(ctx, rec.id);
            st->window_end = st->window_next + L::kDataSlots;
        }
        return STORAGE_OK;
    }
    if (st->spare_eu >= st->eu_count) return STORAGE_IO_ERROR;
    if (st->max_sequence >= 0xFFFFFFFEu) return STORAGE_NO_SPACE;
    const uint32_t settled = ftl_settle_unfinished(ctx);
    if (settled != STORAGE_OK) return settled;
    WorkBuffer work;
    if (work.bytes == nullptr) return STORAGE_NO_MEMORY;
    return rec.id == 0 ? reclaim_meta(ctx, victim, work.bytes) : reclaim_data(ctx, victim, work.bytes);
}

DORV_C_END
