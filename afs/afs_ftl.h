// Internal helpers of the AFS flash translation layer shared by its sources
// and the partition layer.
#ifndef DORV_AFS_AFS_FTL_H
#define DORV_AFS_AFS_FTL_H

#include <cstdint>

#include "afs/afs_layout.h"
#include "dorv/afs.h"

namespace dorv::afs {

// Frees the translation layer's state with its unit records and page map and
// sets ctx->ftl_state to null. A null context or state is ignored.
void ftl_free_state(afs_context_t* ctx);

// Partition-relative device access. Reads answer 0 or 5.
uint32_t ftl_read(const afs_context_t* ctx, uint32_t offset, uint32_t length, uint8_t* destination);
// Writes, then reads back and compares (up to 7 reads): 0; 4 when the device
// refused with 4; 5 for every other refusal, a failing read or no equal read.
uint32_t ftl_write_verified(const afs_context_t* ctx, uint32_t offset, const uint8_t* source, uint32_t length);
// Erases both blocks of unit `eu` (the second only after the first): 0, 4 or 5.
uint32_t ftl_erase_unit(const afs_context_t* ctx, uint32_t eu);

inline uint32_t eu_offset(uint32_t eu) { return eu << layout::kEuShift; }

// crc16 of 64 page bytes continued over the logical page number.
inline uint16_t page_crc(const uint8_t* page, uint16_t logical_page) {
    return crc16(page, static_cast<int32_t>(layout::kPageSize), &logical_page);
}
// Whether a 66-byte record carries the crc of its page at `logical_page`.
bool record_ok(const uint8_t* record, uint16_t logical_page);
// The map entry chained from `chain`: crc14 of it (low byte first) XOR page.
uint16_t chain_entry(uint16_t chain, uint16_t page);

// Data page index k of a data address, its unit (via the unit records) and slot.
struct DataPlace {
    uint32_t index;  // k
    uint32_t eu;     // AFS_FTL_NONE when no record carries the unit
    uint32_t slot;
};
DataPlace data_place(const afs_context_t* ctx, uint32_t address);
// The unit whose record has `id`, first in index order; AFS_FTL_NONE if none.
uint32_t eu_by_id(const afs_context_t* ctx, uint16_t id);
// Drops the kept unit of every data-unit group (unit records were rebuilt).
void forget_unit_hints(afs_ftl_state_t* st);
// First data page index of a data unit with `id`.
inline uint32_t data_unit_base(const afs_context_t* ctx, uint16_t id) {
    return static_cast<uint16_t>((static_cast<uint32_t>(id) * 64 - ctx->data_start) / 64);
}

// Bitmap bit k, false when k lies outside the bitmap or there is none.
bool bitmap_test(const afs_context_t* ctx, uint32_t k);
void bitmap_set(afs_context_t* ctx, uint32_t k, bool on);

// Writes the complete byte of a reclaim target that the mount accepted, once,
// before the partition is changed. 0 or the write's status.
uint32_t ftl_settle_unfinished(afs_context_t* ctx);

// The context and its translation-layer state are usable: 0, else 22.
inline uint32_t ftl_usable(const afs_context_t* ctx) {
    return ctx != nullptr && ctx->ftl_state != nullptr && ctx->ftl_state->eu_info != nullptr
               ? STORAGE_OK
               : STORAGE_INVALID_ARGUMENT;
}

// Writes `count` (at most 62) data pages of 64 bytes to consecutive logical
// addresses from `address`: per unit, the status bytes of all its slots go
// begun, then the records, then written, each step one verified write; a slot
// that is not free makes that unit's pages go one by one (the page write's
// rule). Same statuses as the page write.
uint32_t ftl_write_data_run(afs_context_t* ctx, uint32_t address, uint32_t count, const uint8_t* pages);

// Writes without reading back (the zeroing of obsolete records): 0 or 5.
uint32_t ftl_write_plain(const afs_context_t* ctx, uint32_t offset, const uint8_t* source, uint32_t length);

// Reads `count` 66-byte records at `offset` into `buffer` and checks each
// against its logical page (pages[i], or first_page + i when pages is null);
// on a mismatch the whole run is read again, at most 7 reads: 0 or 5.
uint32_t ftl_read_records(const afs_context_t* ctx, uint32_t offset, uint32_t count, uint16_t first_page,
                          const uint16_t* pages, uint8_t* buffer);

// 32 bitmap bits from bit k on (bit 0 of the result = bit k); bits outside
// the bitmap read as clear.
uint32_t bitmap_bits_at(const afs_context_t* ctx, uint32_t k);

// The data unit carrying data page index k, and its slot: AFS_FTL_NONE when
// no record carries it.
uint32_t data_unit_of_index(const afs_context_t* ctx, uint32_t k);

}  // namespace dorv::afs

#endif
