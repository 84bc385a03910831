// Page operations of the translation layer: read, write and trim of one
// 64-byte logical page, the read of a run of data pages, and the operations
// table every context points to. Metadata pages are written out of place into
// the current metadata unit; a data page has one fixed slot in its data unit.
#include <cstring>

#include "afs/afs_ftl.h"
#include "common/le_bytes.h"

namespace {

using namespace dorv::afs;
namespace L = dorv::afs::layout;

bool is_mapped(const afs_page_map_entry_t& m) { return m.eu != 0xFF || m.slot != 0xFF; }

void grow_not_valid(afs_eu_info_t& rec) {
    if (rec.not_valid < 0xFF) ++rec.not_valid;
}
void drop_not_valid(afs_eu_info_t& rec) {
    if (rec.not_valid > 0) --rec.not_valid;
}

void build_record(uint8_t* record, const uint8_t* page, uint16_t logical_page) {
    std::memcpy(record, page, L::kPageSize);
    dorv::le::store16(record + L::kPageSize, page_crc(page, logical_page));
}

uint32_t read_one(const afs_context_t* ctx, uint32_t offset, uint16_t page, uint8_t* buffer) {
    uint8_t record[L::kRecordSize];
    const uint32_t status = ftl_read_records(ctx, offset, 1, page, nullptr, record);
    if (status == STORAGE_OK) std::memcpy(buffer, record, L::kPageSize);
    return status;
}

uint32_t write_meta(afs_context_t* ctx, uint16_t p, const uint8_t* page) {
    afs_ftl_state_t* st = ctx->ftl_state;
    if (p >= st->page_map_capacity) return STORAGE_IO_ERROR;
    if (st->current_meta_eu >= st->eu_count || st->next_meta_slot >= L::kMetaSlots) {
        const uint32_t status = reclaim_eu_wrapper(ctx, AFS_RECLAIM_META);
        if (status != STORAGE_OK && status != STORAGE_RECLAIM_NO_GAIN) return status;
    }
    // A reclaim that gained no slot, or a layout without any metadata unit,
    // leaves nowhere to write: slot 120 would overwrite the next unit.
    if (st->current_meta_eu >= st->eu_count || st->next_meta_slot >= L::kMetaSlots) return STORAGE_NO_SPACE;
    const uint32_t u = st->current_meta_eu, s = st->next_meta_slot;
    const uint32_t unit = eu_offset(u);
    st->eu_info[u].free = 0;

    uint8_t entry[2];
    dorv::le::store16(entry, chain_entry(st->chain_last, p));
    uint8_t record[L::kRecordSize];
    build_record(record, page, p);
    const uint8_t end_mark = L::kEndMarkByte;
    uint32_t status = ftl_write_verified(ctx, unit + L::meta_entry_offset(s), entry, 2);
    if (status == STORAGE_OK) status = ftl_write_verified(ctx, unit + L::meta_record_offset(s), record, L::kRecordSize);
    if (status == STORAGE_OK) status = ftl_write_verified(ctx, unit + L::meta_entry_offset(s + 1) + 1, &end_mark, 1);
    if (status != STORAGE_OK) return status;

    afs_page_map_entry_t& map = st->page_map[p];
    if (is_mapped(map) && map.eu < st->eu_count) grow_not_valid(st->eu_info[map.eu]);
    map = {static_cast<uint8_t>(u), static_cast<uint8_t>(s)};
    st->next_meta_slot = s + 1;
    st->chain_last = p;
    drop_not_valid(st->eu_info[u]);
    return STORAGE_OK;
}

uint32_t write_data(afs_context_t* ctx, uint32_t address, uint16_t p, const uint8_t* page) {
    afs_ftl_state_t* st = ctx->ftl_state;
    const DataPlace place = data_place(ctx, address);
    if (place.eu == AFS_FTL_NONE) return STORAGE_IO_ERROR;
    const uint32_t unit = eu_offset(place.eu);
    uint8_t status_byte = 0;
    if (ftl_read(ctx, unit + L::data_status_offset(place.slot), 1, &status_byte) != STORAGE_OK ||
        status_byte != L::kStatusFree) {
        return STORAGE_IO_ERROR;
    }
    const uint8_t begun = L::kStatusBegun, written = L::kStatusWritten;
    uint32_t status = ftl_write_verified(ctx, unit + L::data_status_offset(place.slot), &begun, 1);
    if (status != STORAGE_OK) return status;
    afs_eu_info_t& rec = st->eu_info[place.eu];
    if (rec.free > 0) --rec.free;
    uint8_t record[L::kRecordSize];
    build_record(record, page, p);
    status = ftl_write_verified(ctx, unit + L::data_record_offset(place.slot), record, L::kRecordSize);
    if (status == STORAGE_OK) status = ftl_write_verified(ctx, unit + L::data_status_offset(place.slot), &written, 1);
    if (status != STORAGE_OK) return status;
    bitmap_set(ctx, place.index, true);
    drop_not_valid(rec);
    return STORAGE_OK;
}

}  // namespace

namespace dorv::afs {

uint32_t ftl_write_data_run(afs_context_t* ctx, uint32_t address, uint32_t count, const uint8_t* pages) {
    if (ftl_usable(ctx) != STORAGE_OK || pages == nullptr || address < ctx->data_start || count > L::kMaxRunPages) {
        return STORAGE_INVALID_ARGUMENT;
    }
    const uint32_t settled = ftl_settle_unfinished(ctx);
    if (settled != STORAGE_OK) return settled;
    afs_ftl_state_t* st = ctx->ftl_state;
    uint32_t done = 0;
    while (done < count) {
        const uint32_t at = address + done * L::kPageSize;
        const DataPlace place = data_place(ctx, at);
        if (place.eu == AFS_FTL_NONE) return STORAGE_IO_ERROR;
        const uint32_t n = count - done < L::kDataSlots - place.slot ? count - done : L::kDataSlots - place.slot;
        const uint8_t* src = pages + static_cast<size_t>(done) * L::kPageSize;
        const uint32_t unit = eu_offset(place.eu);
        uint8_t status[L::kMaxRunPages];
        bool all_free = n > 1;
        if (all_free && ftl_read(ctx, unit + L::data_status_offset(place.slot), n, status) != STORAGE_OK) {
            return STORAGE_IO_ERROR;
        }
        for (uint32_t i = 0; i < n && all_free; ++i) all_free = status[i] == L::kStatusFree;
        if (!all_free) {
            // Page by page, so a slot already used fails exactly where it lies.
            for (uint32_t i = 0; i < n; ++i) {
                const uint32_t a = at + i * L::kPageSize;
                const uint32_t r = write_data(ctx, a, static_cast<uint16_t>(a >> L::kPageShift), src + i * L::kPageSize);
                if (r != STORAGE_OK) return r;
            }
            done += n;
            continue;
        }
        // Every slot of the piece moves through the same three steps as a
        // single page: all begun, all records, all written.
        std::memset(status, L::kStatusBegun, n);
        uint32_t r = ftl_write_verified(ctx, unit + L::data_status_offset(place.slot), status, n);
        if (r != STORAGE_OK) return r;
        afs_eu_info_t& rec = st->eu_info[place.eu];
        rec.free = static_cast<uint8_t>(rec.free > n ? rec.free - n : 0);
        uint8_t records[L::kMaxRunPages * L::kRecordSize];
        auto p = static_cast<uint16_t>(at >> L::kPageShift);
        for (uint32_t i = 0; i < n; ++i) {
            build_record(records + i * L::kRecordSize, src + i * L::kPageSize, static_cast<uint16_t>(p + i));
        }
        r = ftl_write_verified(ctx, unit + L::data_record_offset(place.slot), records, n * L::kRecordSize);
        if (r != STORAGE_OK) return r;
        std::memset(status, L::kStatusWritten, n);
        r = ftl_write_verified(ctx, unit + L::data_status_offset(place.slot), status, n);
        if (r != STORAGE_OK) return r;
        for (uint32_t i = 0; i < n; ++i) {
            bitmap_set(ctx, place.index + i, true);
            drop_not_valid(rec);
        }
        done += n;
    }
    return STORAGE_OK;
}

}  // namespace dorv::afs

DORV_C_BEGIN

DORV_API uint32_t afs_physical_ftl_read_page(afs_context_t* ctx, uint32_t address, uint32_t, uint8_t* buffer,
                                             uint32_t) {
    if (ftl_usable(ctx) != STORAGE_OK || buffer == nullptr) return STORAGE_INVALID_ARGUMENT;
    const afs_ftl_state_t* st = ctx->ftl_state;
    const auto p = static_cast<uint16_t>(address >> L::kPageShift);
    if (address < ctx->data_start) {
        if (p >= st->page_map_capacity) return STORAGE_IO_ERROR;
        const afs_page_map_entry_t& map = st->page_map[p];
        if (!is_mapped(map)) {
            std::memset(buffer, 0, L::kPageSize);
            return STORAGE_OK;
        }
        if (map.eu >= st->eu_count || map.slot >= L::kMetaSlots) return STORAGE_IO_ERROR;
        return read_one(ctx, eu_offset(map.eu) + L::meta_record_offset(map.slot), p, buffer);
    }
    const DataPlace place = data_place(ctx, address);
    if (place.eu == AFS_FTL_NONE) return STORAGE_IO_ERROR;
    if (!ctx->read_only && !bitmap_test(ctx, place.index)) {
        std::memset(buffer, 0, L::kPageSize);
        return STORAGE_OK;
    }
    return read_one(ctx, eu_offset(place.eu) + L::data_record_offset(place.slot), p, buffer);
}

DORV_API uint32_t afs_physical_ftl_write_page(afs_context_t* ctx, uint32_t address, uint32_t,
                                              const uint8_t* buffer, uint32_t) {
    if (ftl_usable(ctx) != STORAGE_OK || buffer == nullptr) return STORAGE_INVALID_ARGUMENT;
    const uint32_t settled = ftl_settle_unfinished(ctx);
    if (settled != STORAGE_OK) return settled;
    const auto p = static_cast<uint16_t>(address >> L::kPageShift);
    if (address < ctx->data_start) return write_meta(ctx, p, buffer);
    return write_data(ctx, address, p, buffer);
}

DORV_API uint32_t afs_physical_ftl_trim_page(afs_context_t* ctx, uint32_t address, uint32_t, uint32_t) {
    if (ftl_usable(ctx) != STORAGE_OK) return STORAGE_INVALID_ARGUMENT;
    afs_ftl_state_t* st = ctx->ftl_state;
    if (address < ctx->data_start) {
        const uint32_t p = address >> L::kPageShift;
        if (p >= st->page_map_capacity) return STORAGE_OK;
        afs_page_map_entry_t& map = st->page_map[p];
        if (is_mapped(map)) {
            if (map.eu < st->eu_count) grow_not_valid(st->eu_info[map.eu]);
            map = {0xFF, 0xFF};
        }
        return STORAGE_OK;
    }
    // An index beyond 16 bits lies past every layout; cut to 16 bits it
    // would release a live page of the partition (reads refuse it too).
    const DataPlace place = data_place(ctx, address);
    if (place.eu == AFS_FTL_NONE) return STORAGE_IO_ERROR;
    const uint32_t k = place.index, eu = place.eu;
    const uint32_t q = k / L::kDataSlots;
    if (st->window_next != AFS_FTL_NONE && q == st->window_next / L::kDataSlots) st->check_status = 1;
    if (bitmap_test(ctx, k)) {
        bitmap_set(ctx, k, false);
        grow_not_valid(st->eu_info[eu]);
    }
    return STORAGE_OK;
}

DORV_API uint32_t read_ftl_data_pages(afs_context_t* ctx, uint32_t unit, uint32_t slot, uint32_t count,
                                      uint32_t first_page, uint8_t* buffer) {
    if (ftl_usable(ctx) != STORAGE_OK || buffer == nullptr) return STORAGE_INVALID_ARGUMENT;
    if (unit >= ctx->ftl_state->eu_count || slot >= L::kDataSlots || count > L::kDataSlots - slot) {
        return STORAGE_INVALID_ARGUMENT;
    }
    if (count == 0) return STORAGE_OK;
    const uint32_t status = ftl_read_records(ctx, eu_offset(unit) + L::data_record_offset(slot), count,
                                             static_cast<uint16_t>(first_page), nullptr, buffer);
    if (status != STORAGE_OK) return status;
    // Pack the page bytes to the front: each record moves once, through
    // registers (source and destination overlap for the first 32).
    for (uint32_t i = 1; i < count; ++i) {
        uint8_t page[L::kPageSize];
        std::memcpy(page, buffer + i * L::kRecordSize, L::kPageSize);
        std::memcpy(buffer + i * L::kPageSize, page, L::kPageSize);
    }
    return STORAGE_OK;
}

DORV_API uint32_t afs_physical_ftl_read_data_pages(afs_context_t* ctx, uint8_t* buffer, uint32_t address,
                                                   uint32_t count) {
    if (ftl_usable(ctx) != STORAGE_OK || buffer == nullptr || address < ctx->data_start) {
        return STORAGE_INVALID_ARGUMENT;
    }
    const DataPlace place = data_place(ctx, address);
    if (place.eu == AFS_FTL_NONE) return STORAGE_IO_ERROR;
    // The run must lie inside the data pages of the layout.
    const uint32_t pages = L::data_unit_count(ctx->vas, ctx->data_start) * L::kDataSlots;
    if (place.index >= pages || count > pages - place.index) return STORAGE_INVALID_ARGUMENT;
    if (count == 0) return STORAGE_OK;
    if (!ctx->read_only && !bitmap_test(ctx, place.index)) {
        std::memset(buffer, 0, static_cast<size_t>(count) * L::kPageSize);
        return STORAGE_OK;
    }
    uint32_t eu = place.eu, slot = place.slot, done = 0;
    auto p = static_cast<uint16_t>(address >> L::kPageShift);
    while (done < count) {
        const uint32_t piece = count - done < L::kDataSlots - slot ? count - done : L::kDataSlots - slot;
        if (eu == AFS_FTL_NONE) return STORAGE_IO_ERROR;
        if (read_ftl_data_pages(ctx, eu, slot, piece, p, buffer + static_cast<size_t>(done) * L::kPageSize) !=
            STORAGE_OK) {
            return STORAGE_IO_ERROR;
        }
        done += piece;
        p = static_cast<uint16_t>(p + piece);
        slot = 0;
        if (done < count) eu = data_unit_of_index(ctx, place.index + done);
    }
    return STORAGE_OK;
}

DORV_API extern const afs_ops_t afs_physical_spi_handler = {
    afs_physical_ftl_read_page,
    afs_physical_ftl_write_page,
    afs_physical_ftl_trim_page,
    afs_physical_ftl_force_full_reclaim,
    afs_physical_ftl_force_dirty_erase,
};

DORV_C_END
