// The block manager: commits block-manager entries by appending them to the
// current BM block or by moving to the next one, the maintenance of BM
// blocks, the erase of the whole file system and the RDFS marker.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "efs/efs_format.h"
#include "efs/efs_internal.h"
#include "efs/efs_state.h"

namespace le = dorv::le;
namespace fmt = dorv::efs::fmt;
using namespace dorv::efs;

namespace {

Buffer allocate(uint32_t size) { return Buffer(static_cast<uint8_t*>(std::malloc(size))); }

uint32_t bm_address(uint32_t bm_index) { return bm_index * fmt::kBlockSize; }

// The entry's maps and words become the committed state. A spare slot that
// now names another block may hold data: it is no longer known to be free.
// (The library's own writers mark every slot they change used before they
// commit, so for them this changes nothing.)
void adopt_entry(const efs_bme_t& entry) {
    for (uint32_t slot = 0; slot < spare_blocks() && efs_ctx.spare_status != nullptr; ++slot) {
        if (entry.spare_map[slot] != efs_ctx.spare_map[slot] && efs_ctx.spare_status[slot] == EFS_SPARE_FREE) {
            efs_ctx.spare_status[slot] = EFS_SPARE_DIRTY;
            efs_ctx.free_count -= 1;
        }
    }
    if (valid_blocks() != 0) std::memcpy(efs_ctx.valid_map, entry.valid_map, valid_blocks());
    if (spare_blocks() != 0) std::memcpy(efs_ctx.spare_map, entry.spare_map, spare_blocks());
    efs_ctx.reserved_a = entry.reserved_a;
    efs_ctx.reserved_b = entry.reserved_b;
    efs_ctx.bme_crc = entry.crc32;
}

// Commit and switch need a mounted file system and an entry whose maps name
// every physical data block once, as a mount requires of what it loads.
int check_entry(const efs_bme_t* entry) {
    if (efs_ctx.mounted == 0 || efs_ctx.valid_map == nullptr) return 1;
    if (entry == nullptr || !maps_name_each_block_once(entry->valid_map, entry->spare_map)) return 22;
    return 0;
}

// The record slot after the one at `offset` of the current BM block reads
// all 0xFF within the retry count, or does not exist.
bool slot_after_reads_erased(uint32_t offset, uint32_t r) {
    const uint64_t next = static_cast<uint64_t>(offset) + r;
    if (next + r > fmt::kBmeSlotEnd) return true;
    const uint32_t address = bm_address(efs_ctx.current_bm) + static_cast<uint32_t>(next);
    for (uint32_t t = 0; t < retries(); ++t) {
        if (EFS_physical_read(address, r, efs_ctx.verify_buf) != 0) return false;
        if (reads_erased(efs_ctx.verify_buf, r)) return true;
    }
    return false;
}

// The next commit cannot append behind the newest record: the slot after it
// would end past byte 4095, the block must not be appended to any more, or
// the slot behind it holds bytes (a mount would take the record before the
// first erased slot as the newest, so those would hide the commit).
bool commit_must_switch(uint32_t r) {
    return static_cast<uint64_t>(efs_ctx.bme_offset) + 2ull * r > fmt::kBmeSlotEnd || efs_ctx.force_bm_switch != 0 ||
           !slot_after_reads_erased(efs_ctx.bme_offset + r, r);
}

// With one BM block the next block is the current one: moving would erase
// the only valid state. A generation at its last value cannot grow.
bool switch_possible() {
    return bm_blocks() >= 2 && efs_ctx.current_bm < bm_blocks() && efs_ctx.generation != 0xFFFFFFFFu;
}

// Moves to the next BM block with `entry`, whose R bytes with their CRC are
// `record`.
int switch_bm(const efs_bme_t& entry, const uint8_t* record) {
    if (!switch_possible()) return 5;
    if (retries() == 0) return 41;
    const uint32_t b = bm_blocks();
    const uint32_t old = efs_ctx.current_bm;
    const uint32_t r = bme_size();
    const uint32_t next = (old + 1) % b;

    if (efs_ctx.next_bm_state == EFS_BM_STATE_UNKNOWN) {
        if (const int rc = probe_next_bm(next); rc != 0) return rc;
    }
    if (efs_ctx.next_bm_state != EFS_BM_STATE_ERASED) {
        efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;
        if (const int rc = kill_and_erase_block(bm_address(next)); rc != 0) return rc;
    }
    efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;

    if (const int rc = write_verified(bm_address(next) + fmt::kFirstBmeOffset, r, record, true); rc != 0) {
        return rc;
    }
    uint8_t header[16];
    build_bm_header(efs_ctx.generation + 1, header);
    // The commit point: from here a mount prefers the new block.
    if (const int rc = EFS_write_with_read_check(bm_address(next), header, 1); rc != 0) return rc;

    efs_ctx.bme_offset = fmt::kFirstBmeOffset;
    efs_ctx.generation += 1;
    efs_ctx.current_bm = next;
    adopt_entry(entry);

    // Retire the old header. Should this fail, both headers stay valid and
    // the higher generation still wins.
    static const uint8_t zeros[16] = {};
    (void)EFS_write_with_read_check(bm_address(old), zeros, 0);
    return 0;
}

}  // namespace

namespace dorv::efs {

void build_bm_header(uint32_t generation, uint8_t (&out)[16]) {
    le::store16(out + fmt::kBmVersionOffset, fmt::kBmVersion);
    le::store16(out + fmt::kBmSkuOffset, g_efs_sku_id);
    le::store32(out + fmt::kBmGenerationOffset, generation);
    out[fmt::kBmCountOffset] = static_cast<uint8_t>(bm_blocks());
    out[fmt::kBmValidOffset] = static_cast<uint8_t>(valid_blocks());
    out[fmt::kBmSpareOffset] = static_cast<uint8_t>(spare_blocks());
    out[fmt::kBmLayoutOffset] = g_efs_layout_id;
    le::store32(out + fmt::kHeaderCrcOffset, EFS_crc32(0, out, fmt::kHeaderCrcSpan));
}

void serialise_bme(const efs_bme_t& entry, uint8_t* out) {
    const uint32_t v = valid_blocks();
    const uint32_t s = spare_blocks();
    if (v != 0) std::memcpy(out, entry.valid_map, v);
    if (s != 0) std::memcpy(out + v, entry.spare_map, s);
    le::store32(out + v + s, entry.reserved_a);
    le::store32(out + v + s + 4, entry.reserved_b);
    le::store32(out + v + s + 8, entry.crc32);
}

int kill_and_erase_block(uint32_t address) {
    // The zeros must not land where the erase then cannot follow.
    if (!block_reachable(address)) return 22;
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    const int rc = EFS_physical_write(address + fmt::kHeaderCrcOffset, sizeof zeros, zeros);
    if (rc != 0) return rc;
    return EFS_physical_erase(address, fmt::kBlockSize);
}

int commit_refusal() {
    if (switch_possible()) return 0;
    return commit_must_switch(bme_size()) ? 5 : 0;
}

int probe_next_bm(uint32_t bm_index) {
    for (uint32_t t = 0; t < retries(); ++t) {
        const int rc = EFS_physical_read(bm_address(bm_index), fmt::kBlockSize, efs_ctx.verify_buf);
        if (rc != 0) return rc;
        if (reads_erased(efs_ctx.verify_buf, fmt::kBlockSize)) {
            efs_ctx.next_bm_state = EFS_BM_STATE_ERASED;
            return 0;
        }
    }
    efs_ctx.next_bm_state = EFS_BM_STATE_DIRTY;
    return 0;
}

}  // namespace dorv::efs

DORV_C_BEGIN

int EFS_commit_BME(efs_bme_t* entry, uint32_t reserved_a, uint32_t reserved_b) {
    if (const int rc = check_entry(entry); rc != 0) return rc;
    const uint32_t r = bme_size();
    Buffer buf = allocate(r);
    if (!buf) return 12;
    entry->reserved_a = reserved_a;
    entry->reserved_b = reserved_b;
    serialise_bme(*entry, buf.get());
    entry->crc32 = EFS_crc32(0, buf.get(), r - fmt::kBmeCrcBack);
    le::store32(buf.get() + r - fmt::kBmeCrcBack, entry->crc32);

    if (commit_must_switch(r)) {
        const int rc = switch_bm(*entry, buf.get());
        if (rc == 0) efs_ctx.force_bm_switch = 0;
        return rc;
    }
    const int rc = write_verified(bm_address(efs_ctx.current_bm) + efs_ctx.bme_offset + r, r,
                                  buf.get(), true);
    if (rc != 0) {
        // The slot may hold a torn record now: never append behind it.
        efs_ctx.force_bm_switch = 1;
        return rc;
    }
    efs_ctx.bme_offset += r;
    adopt_entry(*entry);
    return 0;
}

int EFS_switch_BM(efs_bme_t* entry) {
    if (const int rc = check_entry(entry); rc != 0) return rc;
    const uint32_t r = bme_size();
    Buffer buf = allocate(r);
    if (!buf) return 12;
    serialise_bme(*entry, buf.get());
    // The entry goes to flash as it is: a CRC that does not match its bytes
    // would leave a record no mount takes.
    if (EFS_crc32(0, buf.get(), r - fmt::kBmeCrcBack) != entry->crc32) return 22;
    return switch_bm(*entry, buf.get());
}

int EFS_erase_next_BM(uint32_t bm_index) {
    if (bm_index >= bm_blocks()) return 22;
    // Erasing the current block would wipe the live state.
    if (efs_ctx.mounted != 0 && bm_index == efs_ctx.current_bm) return 22;
    efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;
    return kill_and_erase_block(bm_address(bm_index));
}

int EFS_check_next_BM_state(uint32_t bm_index) {
    if (bm_index >= bm_blocks()) return 22;
    if (efs_ctx.mounted != 0 && bm_index == efs_ctx.current_bm) return 22;
    return probe_next_bm(bm_index);
}

int EFS_erase(void) {
    const uint32_t b = bm_blocks();
    // Every BM block lies inside the image, or nothing is erased: an erase
    // stopped part-way would leave the file system neither whole nor gone.
    const auto reachable = [b] { return image_reaches(static_cast<uint64_t>(b) * fmt::kBlockSize); };
    int rc = 0;
    if (efs_ctx.mounted != 0) {
        const uint32_t current = efs_ctx.current_bm;
        if (b == 0 || current >= b || !reachable()) {
            rc = 22;
        } else {
            // The current block goes last, so the state stays mountable
            // until then.
            for (uint32_t i = 0; i < b && rc == 0; ++i) {
                if (i == current) continue;
                efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;
                rc = kill_and_erase_block(bm_address(i));
            }
            if (rc == 0) {
                efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;
                rc = kill_and_erase_block(bm_address(current));
            }
        }
    } else if (EFS_physical_init(0) != 0) {
        rc = 1;
    } else if (!reachable()) {
        rc = 22;
    } else {
        for (uint32_t i = 0; i < b && rc == 0; ++i) rc = kill_and_erase_block(bm_address(i));
    }
    // The maps and statuses describe a file system that is gone.
    release_mount_tables();
    return rc;
}

int EFS_write_RTFD_marker(void) {
    if (EFS_physical_init(0) != 0) return 1;
    uint8_t marker[4];
    le::store32(marker, fmt::kRdfsMarker);
    const int rc = EFS_physical_write(0, sizeof marker, marker);
    // The marker breaks the first BM header behind the block manager's back:
    // a mount on it would go on committing where no later mount looks.
    if (rc == 0) release_mount_tables();
    return rc;
}

DORV_C_END
