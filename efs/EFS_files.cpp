// File operations on a mounted EFS: read part of a file, write a whole file,
// empty a file, ask its length. A file lives at a fixed place given by the
// layout; every change is copied block by block into spares and becomes real
// with one block-manager commit at the end.
#include <algorithm>
#include <cstring>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "efs/efs_format.h"
#include "efs/efs_internal.h"
#include "efs/efs_layout.h"
#include "efs/efs_working_entry.h"

namespace le = dorv::le;
namespace fmt = dorv::efs::fmt;
using namespace dorv::efs;

namespace {

// Length 0xFFFF marks an empty file, so the longest file is one byte less.
constexpr uint32_t kLongestFile = fmt::kRecordEmpty - 1u;

struct Place {
    uint32_t first_block;
    uint32_t offset;    // of the record in the first block's payload
    uint32_t max_size;
    uint32_t room;      // data bytes the first block holds
};

bool mounted() { return efs_ctx.mounted != 0 && efs_ctx.valid_map != nullptr; }

// The place of a configured file index: 0, or 22 for an index outside the
// layout, a file without a place, or a record offset where no record header
// fits in the payload.
int file_place(uint32_t file_index, Place* place) {
    const efs_file_layout_t* record = layout_record(file_index);
    if (record == nullptr || (record->flags & EFS_FILE_CONFIGURED) == 0) return 22;
    if (record->offset > fmt::kMaxRecordOffset) return 22;
    place->first_block = record->first_block;
    place->offset = record->offset;
    place->max_size = record->max_size;
    place->room = fmt::kFileDataMax - record->offset;
    return 0;
}

// Logical blocks a file of `size` bytes occupies from its first block.
uint32_t blocks_used(const Place& place, uint32_t size) {
    if (size <= place.room) return 1;
    return 1 + (size - place.room + fmt::kFileDataMax - 1) / fmt::kFileDataMax;
}

// Payload bytes [begin, end) of logical block `block` cover a byte of the
// record header of another configured file.
bool covers_other_record(uint32_t self, uint32_t block, uint32_t begin, uint32_t end) {
    for (uint32_t j = 0; j < g_efs_files_num; ++j) {
        if (j == self) continue;
        const efs_file_layout_t* other = layout_record(j);
        if (other == nullptr || (other->flags & EFS_FILE_CONFIGURED) == 0) continue;
        if (other->first_block != block || other->offset > fmt::kMaxRecordOffset) continue;
        if (other->offset < end && begin < other->offset + fmt::kRecordHeaderSize) return true;
    }
    return false;
}

// Whether a write of `size` bytes would land on another file's record.
bool write_covers_other_record(uint32_t self, const Place& place, uint32_t size) {
    uint32_t left = size;
    const uint32_t used = blocks_used(place, size);
    for (uint32_t k = 0; k < used; ++k) {
        const uint32_t begin = k == 0 ? place.offset : 0;
        const uint32_t put = std::min(left, k == 0 ? place.room : fmt::kFileDataMax);
        if (covers_other_record(self, place.first_block + k, begin, begin + fmt::kRecordHeaderSize + put)) {
            return true;
        }
        left -= put;
    }
    return false;
}

// Places one record header and its data in a payload: the CRC-16, seeded
// with the logical block, covers the length field and the data placed.
void put_record(uint8_t* payload, uint32_t at, uint32_t block, uint16_t length, const uint8_t* data,
                uint32_t count) {
    uint8_t* record = payload + at;
    le::store16(record + fmt::kRecordLengthOffset, length);
    if (count != 0) std::memcpy(record + fmt::kRecordHeaderSize, data, count);
    uint32_t crc = EFS_crc16(block, record + fmt::kRecordLengthOffset, 2);
    crc = EFS_crc16(crc, record + fmt::kRecordHeaderSize, count);
    le::store16(record + fmt::kRecordCrcOffset, static_cast<uint16_t>(crc));
}

int read_file(uint32_t file_index, uint32_t offset, uint32_t wanted, uint8_t* buffer, uint32_t* delivered) {
    Place place{};
    if (const int rc = file_place(file_index, &place); rc != 0) return rc;
    if (static_cast<uint64_t>(offset) + wanted > UINT32_MAX || buffer == nullptr) return 22;
    const uint8_t first = static_cast<uint8_t>(place.first_block);
    if (const int rc = EFS_read_and_verify_file(first, static_cast<uint16_t>(place.offset), 1, 0); rc != 0) {
        return rc;
    }
    const uint32_t length = le::load16(efs_ctx.block_buf + fmt::kRecordLengthOffset);
    if (length == 0) return 0;
    if (length > place.max_size) return 41;
    if (length < offset) return 34;
    wanted = std::min(wanted, length - offset);

    const uint8_t* data = efs_ctx.block_buf + fmt::kRecordHeaderSize;
    const uint32_t first_held = std::min(length, place.room);
    uint32_t got = 0;
    uint32_t k = 1;
    uint32_t position = 0;
    if (offset < place.room) {
        got = std::min(wanted, place.room - offset);
        if (got != 0) std::memcpy(buffer, data + offset, got);
    } else {
        k = (offset + place.offset) / fmt::kFileDataMax;
        position = (offset + place.offset) % fmt::kFileDataMax;
    }
    while (got < wanted) {
        const uint32_t block = place.first_block + k;
        if (block >= valid_blocks()) return 41;
        const uint32_t held = std::min(length - first_held - (k - 1) * fmt::kFileDataMax, fmt::kFileDataMax);
        if (const int rc = EFS_read_and_verify_file(static_cast<uint8_t>(block), 0, 0, static_cast<uint16_t>(held));
            rc != 0) {
            return rc;
        }
        const uint32_t take = std::min(fmt::kFileDataMax - position, wanted - got);
        std::memcpy(buffer + got, data + position, take);
        got += take;
        position = 0;
        ++k;
    }
    *delivered = got;
    return 0;
}

// The file's record in its first block's payload marks it empty.
bool is_empty_record(const uint8_t* payload, const Place& place) {
    return le::load16(payload + place.offset + fmt::kRecordLengthOffset) == fmt::kRecordEmpty;
}

// Spare slots with `status` whose block a choice can take once it is free: a
// count of 0xFFFFFFFF is never chosen, and erasing a used block adds one.
uint32_t usable_spares(uint8_t status) {
    const uint32_t below = status == EFS_SPARE_FREE ? 0xFFFFFFFFu : 0xFFFFFFFEu;
    uint32_t n = 0;
    for (uint32_t slot = 0; slot < spare_blocks(); ++slot) {
        const uint8_t p = efs_ctx.spare_map[slot];
        if (efs_ctx.spare_status[slot] == status && p < data_blocks() && efs_ctx.erase_counts[p] < below) ++n;
    }
    return n;
}

// Makes sure of `needed` free spares by erasing used ones, as long as a used
// one can be chosen, and that the `used` blocks the change writes (`needed`
// can be one more) each find a free spare a choice can take; 28 before the
// first erase when they cannot.
int ensure_free_spares(uint32_t needed, uint32_t used) {
    if (usable_spares(EFS_SPARE_FREE) + usable_spares(EFS_SPARE_DIRTY) < used) return 28;
    while ((efs_ctx.free_count < needed || usable_spares(EFS_SPARE_FREE) < used) &&
           select_spare(EFS_SPARE_DIRTY) >= 0) {
        if (const int rc = EFS_erase_dirty_block(); rc != 0) return rc;
    }
    return 0;
}

}  // namespace

DORV_C_BEGIN

int EFS_read(uint32_t file_index, uint32_t offset, uint32_t* length, uint8_t* buffer) {
    uint32_t delivered = 0;
    int rc = 1;
    if (mounted()) rc = length == nullptr ? 22 : read_file(file_index, offset, *length, buffer, &delivered);
    if (length != nullptr) *length = rc == 0 ? delivered : 0;
    return rc;
}

int EFS_write(uint32_t file_index, uint32_t offset, uint32_t size, const uint8_t* data) {
    if (!mounted()) return 1;
    WorkingEntry work;
    if (!work.ok()) return 12;
    Place place{};
    if (const int rc = file_place(file_index, &place); rc != 0) return rc;
    if (offset != 0 || data == nullptr) return 22;
    const bool fits = size <= place.max_size && size <= kLongestFile;
    // Every block of the write sits in its own spare until the one commit.
    // (It can be one more than the blocks used: a record at offset 0 with
    // 4072 bytes fills one block, yet two spares are made sure of.) More
    // than the layout has spares can never be carried out: refused before
    // the scan, with nothing stored.
    const uint64_t with_header = place.offset + static_cast<uint64_t>(size) + fmt::kRecordHeaderSize;
    const auto needed = static_cast<uint32_t>((with_header + fmt::kFileDataMax - 1) / fmt::kFileDataMax);
    if (fits && needed > spare_blocks()) return 28;

    // The scan and a wear move come first and stay done whatever follows;
    // after them the spare statuses are known even when the write refuses.
    if (const int rc = scan_if_needed(); rc != 0) return rc;
    if (const int rc = EFS_wear_leveling(0, 0); rc != 0) return rc;
    if (!fits) return 34;
    // What the layout cannot carry out, or a commit that could not land (a
    // wear move may have taken the last record slot), is refused before the
    // write's first store.
    if (write_covers_other_record(file_index, place, size)) return 22;
    if (place.first_block + blocks_used(place, size) > valid_blocks()) return 22;
    if (const int rc = commit_refusal(); rc != 0) return rc;
    if (const int rc = ensure_free_spares(needed, blocks_used(place, size)); rc != 0) return rc;

    work.fill_from_committed();
    efs_bme_t& entry = work.entry();
    uint8_t* payload = efs_ctx.block_buf + fmt::kPayloadOffset;
    uint32_t written = 0;
    for (uint32_t k = 0;; ++k) {
        const uint32_t block = place.first_block + k;
        if (const int rc = EFS_read_and_verify_data_block_header_and_footer(entry.valid_map[block], 1, 1); rc != 0) {
            return rc;
        }
        // Only this file's record changes; other files' records in the block
        // are carried along as read.
        const uint32_t put = std::min(size - written, k == 0 ? place.room : fmt::kFileDataMax);
        if (k == 0) {
            put_record(payload, place.offset, block, static_cast<uint16_t>(size), data, put);
        } else {
            put_record(payload, 0, block, fmt::kRecordEmpty, data + written, put);
        }
        if (const int rc = swap_and_write_new_block(&entry, block, payload); rc != 0) return rc;
        written += put;
        if (written >= size) return EFS_commit_BME(&entry, 0, 0);
    }
}

int EFS_delete(uint32_t file_index) {
    if (!mounted()) return 1;
    WorkingEntry work;
    if (!work.ok()) return 12;
    Place place{};
    if (const int rc = file_place(file_index, &place); rc != 0) return rc;
    // The emptied block needs a spare to go into: without any, refused
    // before the scan, with nothing stored.
    if (spare_blocks() == 0) return 28;
    // The scan and a wear move come first and stay done whatever follows.
    if (const int rc = scan_if_needed(); rc != 0) return rc;
    if (const int rc = EFS_wear_leveling(0, 0); rc != 0) return rc;
    if (place.first_block >= valid_blocks() ||
        covers_other_record(file_index, place.first_block, place.offset, place.offset + fmt::kRecordHeaderSize)) {
        return 22;
    }
    // A used spare is erased while none is free, and stays erased.
    while (efs_ctx.free_count == 0 && select_spare(EFS_SPARE_DIRTY) >= 0) {
        if (const int rc = EFS_erase_dirty_block(); rc != 0) return rc;
    }

    work.fill_from_committed();
    efs_bme_t& entry = work.entry();
    const uint32_t block = place.first_block;
    if (const int rc = EFS_read_and_verify_data_block_header_and_footer(entry.valid_map[block], 1, 1); rc != 0) {
        return rc;
    }
    uint8_t* payload = efs_ctx.block_buf + fmt::kPayloadOffset;
    // An empty file needs no spare and no commit, so it is answered before
    // asking whether either is there. (Spare erases leave block_buf alone.)
    if (is_empty_record(payload, place)) return 2;
    if (const int rc = ensure_free_spares(1, 1); rc != 0) return rc;
    if (const int rc = commit_refusal(); rc != 0) return rc;
    // The data bytes and continuation blocks stay: an empty record is enough.
    put_record(payload, place.offset, block, fmt::kRecordEmpty, nullptr, 0);
    if (const int rc = swap_and_write_new_block(&entry, block, payload); rc != 0) return rc;
    return EFS_commit_BME(&entry, 0, 0);
}

int EFS_get_file_size(uint32_t file_index, uint32_t* size) {
    if (!mounted()) return 1;
    if (size == nullptr) return 22;
    Place place{};
    if (const int rc = file_place(file_index, &place); rc != 0) return rc;
    const int rc = EFS_read_and_verify_file(static_cast<uint8_t>(place.first_block),
                                            static_cast<uint16_t>(place.offset), 1, 0);
    if (rc != 0) return rc;
    const uint32_t length = le::load16(efs_ctx.block_buf + fmt::kRecordLengthOffset);
    if (length > place.max_size) return 41;
    *size = length;
    return 0;
}

int EFS_is_initialized(void) { return efs_ctx.mounted != 0 ? 1 : 0; }

DORV_C_END
