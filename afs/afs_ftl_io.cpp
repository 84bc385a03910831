// Device access of the translation layer: partition-relative reads, verified
// writes, unit erases, page checksums and the data-page addressing.
#include <cstdlib>
#include <cstring>

#include "afs/afs_ftl.h"
#include "common/le_bytes.h"

namespace dorv::afs {

namespace {

bool device_offset(const afs_context_t* ctx, uint32_t offset, uint32_t length, uint32_t& out) {
    const uint64_t at = static_cast<uint64_t>(ctx->base) + offset;
    if (at + length > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(at);
    return true;
}

uint32_t refused(uint32_t status) { return status == STORAGE_DEVICE_WRITE_ERROR ? status : STORAGE_IO_ERROR; }

// Whether n bytes agree. Most verified writes are a status byte, a map entry
// or one record, too short for the library compare to pay off.
bool same_bytes(const uint8_t* a, const uint8_t* b, uint32_t n) {
    if (n > 128) return std::memcmp(a, b, n) == 0;
    uint64_t diff = 0;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x = 0, y = 0;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        diff |= x ^ y;
    }
    for (; i < n; ++i) diff |= static_cast<uint64_t>(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

void ftl_free_state(afs_context_t* ctx) {
    if (ctx == nullptr || ctx->ftl_state == nullptr) return;
    std::free(ctx->ftl_state->eu_info);
    std::free(ctx->ftl_state->page_map);
    std::free(ctx->ftl_state);
    ctx->ftl_state = nullptr;
}

uint32_t ftl_read(const afs_context_t* ctx, uint32_t offset, uint32_t length, uint8_t* destination) {
    uint32_t at = 0;
    if (!device_offset(ctx, offset, length, at)) return STORAGE_IO_ERROR;
    return SpiDrvRead(at, length, destination) == STORAGE_OK ? STORAGE_OK : STORAGE_IO_ERROR;
}

uint32_t ftl_write_verified(const afs_context_t* ctx, uint32_t offset, const uint8_t* source, uint32_t length) {
    uint32_t at = 0;
    if (!device_offset(ctx, offset, length, at)) return STORAGE_IO_ERROR;
    const uint32_t status = SpiDrvWrite(at, length, source);
    if (status != STORAGE_OK) return refused(status);
    uint8_t back[4096];
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = length - done < sizeof back ? length - done : static_cast<uint32_t>(sizeof back);
        bool equal = false;
        for (uint32_t attempt = 0; attempt < layout::kTries && !equal; ++attempt) {
            if (SpiDrvRead(at + done, piece, back) != STORAGE_OK) return STORAGE_IO_ERROR;
            equal = same_bytes(back, source + done, piece);
        }
        if (!equal) return STORAGE_IO_ERROR;
        done += piece;
    }
    return STORAGE_OK;
}

uint32_t ftl_erase_unit(const afs_context_t* ctx, uint32_t eu) {
    uint32_t at = 0;
    if (!device_offset(ctx, eu_offset(eu), layout::kEuSize, at)) return STORAGE_IO_ERROR;
    uint32_t status = SpiDrvEraseBlock(at);
    if (status == STORAGE_OK) status = SpiDrvEraseBlock(at + layout::kEraseBlock);
    return status == STORAGE_OK ? STORAGE_OK : refused(status);
}

bool record_ok(const uint8_t* record, uint16_t logical_page) {
    return le::load16(record + layout::kPageSize) == page_crc(record, logical_page);
}

uint16_t chain_entry(uint16_t chain, uint16_t page) {
    uint8_t bytes[2];
    le::store16(bytes, chain);
    return static_cast<uint16_t>(crc14(bytes, 2) ^ page);
}

uint32_t eu_by_id(const afs_context_t* ctx, uint16_t id) {
    const afs_ftl_state_t* st = ctx->ftl_state;
    for (uint32_t i = 0; i < st->eu_count; ++i) {
        if (st->eu_info[i].id == id) return i;
    }
    return AFS_FTL_NONE;
}

namespace {

// The unit of data-unit group q (pages 122 q .. 122 q + 121). Every data
// page operation asks this, so the unit last found for a group is kept and
// taken when its record still carries the group's id; mounts forget them all,
// and the mount refuses two units with one data id, so the hint is the unit
// the search in index order would find.
uint32_t unit_of_group(const afs_context_t* ctx, uint32_t q) {
    const uint32_t id = (ctx->data_start >> layout::kPageShift) + q * layout::kDataSlots;
    if (id == 0 || id > 0xFFFF) return AFS_FTL_NONE;
    afs_ftl_state_t* st = ctx->ftl_state;
    if (q < sizeof st->group_unit) {
        const uint32_t hint = st->group_unit[q];
        if (hint < st->eu_count && st->eu_info[hint].id == id) return hint;
    }
    const uint32_t eu = eu_by_id(ctx, static_cast<uint16_t>(id));
    if (q < sizeof st->group_unit) st->group_unit[q] = eu == AFS_FTL_NONE ? 0xFF : static_cast<uint8_t>(eu);
    return eu;
}

}  // namespace

void forget_unit_hints(afs_ftl_state_t* st) { std::memset(st->group_unit, 0xFF, sizeof st->group_unit); }

DataPlace data_place(const afs_context_t* ctx, uint32_t address) {
    DataPlace place;
    place.index = (address - ctx->data_start) >> layout::kPageShift;
    place.slot = place.index % layout::kDataSlots;
    // A data unit never has id 0 (that marks metadata units and the spare).
    // An index beyond 16 bits lies past every layout and would alias a page.
    place.eu = place.index > 0xFFFF ? AFS_FTL_NONE : unit_of_group(ctx, place.index / layout::kDataSlots);
    return place;
}

uint32_t data_unit_of_index(const afs_context_t* ctx, uint32_t k) {
    if (k > 0xFFFF) return AFS_FTL_NONE;
    return unit_of_group(ctx, k / layout::kDataSlots);
}

uint32_t ftl_write_plain(const afs_context_t* ctx, uint32_t offset, const uint8_t* source, uint32_t length) {
    uint32_t at = 0;
    if (!device_offset(ctx, offset, length, at)) return STORAGE_IO_ERROR;
    return SpiDrvWrite(at, length, source) == STORAGE_OK ? STORAGE_OK : STORAGE_IO_ERROR;
}

uint32_t ftl_read_records(const afs_context_t* ctx, uint32_t offset, uint32_t count, uint16_t first_page,
                          const uint16_t* pages, uint8_t* buffer) {
    const uint32_t length = count * layout::kRecordSize;
    for (uint32_t attempt = 0; attempt < layout::kTries; ++attempt) {
        if (ftl_read(ctx, offset, length, buffer) != STORAGE_OK) return STORAGE_IO_ERROR;
        bool good = true;
        for (uint32_t i = 0; i < count && good; ++i) {
            const uint16_t page = pages != nullptr ? pages[i] : static_cast<uint16_t>(first_page + i);
            good = record_ok(buffer + i * layout::kRecordSize, page);
        }
        if (good) return STORAGE_OK;
    }
    return STORAGE_IO_ERROR;
}

uint32_t bitmap_bits_at(const afs_context_t* ctx, uint32_t k) {
    const uint32_t bits = layout::bitmap_bits(*ctx);
    if (ctx->bitmap == nullptr || k >= bits) return 0;
    const uint32_t word = k / 32, shift = k % 32, words = (bits + 31) / 32;
    uint32_t value = ctx->bitmap[word] >> shift;
    if (shift != 0 && word + 1 < words) value |= ctx->bitmap[word + 1] << (32 - shift);
    // Bits past the last one do not belong to the bitmap.
    const uint32_t left = bits - k;
    if (left < 32) value &= (1u << left) - 1;
    return value;
}

bool bitmap_test(const afs_context_t* ctx, uint32_t k) {
    if (ctx->bitmap == nullptr || k >= layout::bitmap_bits(*ctx)) return false;
    return (ctx->bitmap[k / 32] >> (k % 32)) & 1u;
}

void bitmap_set(afs_context_t* ctx, uint32_t k, bool on) {
    if (ctx->bitmap == nullptr || k >= layout::bitmap_bits(*ctx)) return;
    if (on) {
        ctx->bitmap[k / 32] |= 1u << (k % 32);
    } else {
        ctx->bitmap[k / 32] &= ~(1u << (k % 32));
    }
}

uint32_t ftl_settle_unfinished(afs_context_t* ctx) {
    afs_ftl_state_t* st = ctx->ftl_state;
    if (st == nullptr || st->unfinished_eu == 0xFFFF) return STORAGE_OK;
    const uint8_t complete = layout::kComplete;
    const uint32_t status = ftl_write_verified(ctx, eu_offset(st->unfinished_eu) + layout::kHdrComplete, &complete, 1);
    if (status == STORAGE_OK) st->unfinished_eu = 0xFFFF;
    return status;
}

}  // namespace dorv::afs
