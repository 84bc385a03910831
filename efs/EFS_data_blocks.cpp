// Physical data blocks: the scan of erase counts and spare status, choosing
// a spare, erasing a block and giving it a new header, payload and footer
// writes, and the copy-on-write swap of a logical block into a free spare.
#include <algorithm>
#include <cstring>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "efs/efs_format.h"
#include "efs/efs_internal.h"

namespace le = dorv::le;
namespace fmt = dorv::efs::fmt;
using namespace dorv::efs;

namespace {

// The tables the scan and the spare operations work on exist only while
// mounted.
bool tables_ready() {
    return efs_ctx.mounted != 0 && efs_ctx.erase_counts != nullptr && efs_ctx.valid_map != nullptr &&
           (spare_blocks() == 0 || (efs_ctx.spare_map != nullptr && efs_ctx.spare_status != nullptr));
}

// Before a payload and its footer are written, both areas must read erased:
// otherwise nothing is written (41).
int check_payload_and_footer_blank(uint32_t physical_block) {
    uint32_t address = 0;
    if (!data_block_address(physical_block, fmt::kPayloadOffset, &address)) return 22;
    return check_blank(address, fmt::kBlockSize - fmt::kPayloadOffset);
}

// A footer: the CRC-32 of the payload.
void make_footer(const uint8_t* payload, uint8_t (&footer)[fmt::kFooterSize]) {
    le::store32(footer, EFS_crc32(0, payload, fmt::kPayloadSize));
}

// The payload and its footer after check_payload_and_footer_blank: each one
// write and a read-back compare.
int write_payload_and_footer(uint32_t physical_block, const uint8_t* payload) {
    uint32_t address = 0;
    if (!data_block_address(physical_block, fmt::kPayloadOffset, &address)) return 22;
    if (const int rc = write_verified(address, fmt::kPayloadSize, payload, false); rc != 0) return rc;
    uint8_t footer[fmt::kFooterSize];
    make_footer(payload, footer);
    return write_verified(address + fmt::kPayloadSize, sizeof footer, footer, false);
}

}  // namespace

namespace dorv::efs {

bool holds_files(uint32_t physical_block) {
    if (efs_ctx.mounted == 0 || efs_ctx.valid_map == nullptr) return false;
    for (uint32_t l = 0; l < valid_blocks(); ++l) {
        if (efs_ctx.valid_map[l] == physical_block) return true;
    }
    return false;
}

void note_spare_written(uint32_t physical_block) {
    if (efs_ctx.mounted == 0 || efs_ctx.spare_map == nullptr || efs_ctx.spare_status == nullptr) return;
    for (uint32_t slot = 0; slot < spare_blocks(); ++slot) {
        if (efs_ctx.spare_map[slot] == physical_block && efs_ctx.spare_status[slot] == EFS_SPARE_FREE) {
            efs_ctx.spare_status[slot] = EFS_SPARE_DIRTY;
            efs_ctx.free_count -= 1;
        }
    }
}

int select_spare(uint8_t status) {
    if (!tables_ready()) return -1;
    int best = -1;
    uint32_t best_count = 0;
    for (uint32_t s = 0; s < spare_blocks(); ++s) {
        if (efs_ctx.spare_status[s] != status) continue;
        const uint8_t p = efs_ctx.spare_map[s];
        if (p >= data_blocks()) continue;
        const uint32_t count = efs_ctx.erase_counts[p];
        if (count == 0xFFFFFFFFu) continue;
        if (best < 0 || count < best_count) {
            best = static_cast<int>(s);
            best_count = count;
        }
    }
    return best;
}

int swap_and_write_new_block(efs_bme_t* entry, uint32_t logical_block, const uint8_t* payload) {
    const int slot = select_spare(EFS_SPARE_FREE);
    if (slot < 0) return 28;
    // The status is that of the committed block of the slot: an entry that
    // names another block there would have it write where nothing says it
    // is free, perhaps over live data.
    const uint8_t fresh = entry->spare_map[slot];
    if (fresh != efs_ctx.spare_map[slot]) return 22;
    // Marked before any write, so that a failed write leaves it for erase.
    efs_ctx.spare_status[slot] = EFS_SPARE_DIRTY;
    efs_ctx.free_count -= 1;
    if (const int rc = check_payload_and_footer_blank(fresh); rc != 0) return rc;
    if (const int rc = write_payload_and_footer(fresh, payload); rc != 0) return rc;
    entry->spare_map[slot] = entry->valid_map[logical_block];
    entry->valid_map[logical_block] = fresh;
    return 0;
}

}  // namespace dorv::efs

DORV_C_BEGIN

int EFS_scan_for_Data_Blocks_status_and_EC(void) {
    if (!tables_ready()) return 1;
    const uint32_t v = valid_blocks();
    const uint32_t total = data_blocks();
    efs_ctx.free_count = 0;
    uint32_t bad_spares = 0;
    uint32_t bad_slot = 0;
    for (uint32_t i = 0; i < total; ++i) {
        const bool mapped = i < v;
        const uint32_t slot = i - v;
        const uint8_t p = mapped ? efs_ctx.valid_map[i] : efs_ctx.spare_map[slot];
        if (p >= total) return 41;  // the mount checked the maps; never index past the tables
        const int rc = EFS_read_and_verify_data_block_header_and_footer(p, 0, mapped ? 0 : 1);
        if (rc != 0 && rc != 41) return rc;
        if (rc == 41) {
            // A block that holds file data has lost its header.
            if (mapped) return 41;
            efs_ctx.spare_status[slot] = EFS_SPARE_DIRTY;
            efs_ctx.erase_counts[p] = 0;
            ++bad_spares;
            bad_slot = slot;
            continue;
        }
        efs_ctx.erase_counts[p] = le::load32(efs_ctx.block_buf + fmt::kDataEraseCountOffset);
        if (!mapped) {
            const bool blank = reads_erased(efs_ctx.block_buf + fmt::kPayloadOffset,
                                          fmt::kBlockSize - fmt::kPayloadOffset);
            efs_ctx.spare_status[slot] = blank ? EFS_SPARE_FREE : EFS_SPARE_DIRTY;
            if (blank) efs_ctx.free_count += 1;
        }
    }
    if (bad_spares > 1) return 41;
    if (bad_spares == 1) {
        // The trace of an erase that did not complete: the block gets the
        // average count of the others (nothing to average with one block).
        const uint8_t p = efs_ctx.spare_map[bad_slot];
        uint32_t sum = 0;
        for (uint32_t q = 0; q < total; ++q) {
            if (q != p) sum += efs_ctx.erase_counts[q];
        }
        const uint32_t average = total > 1 ? sum / (total - 1) : 0;
        if (const int rc = EFS_erase_data_block(p, average - 1); rc != 0) return rc;
        efs_ctx.erase_counts[p] = average;
        efs_ctx.spare_status[bad_slot] = EFS_SPARE_FREE;
        efs_ctx.free_count += 1;
    }
    efs_ctx.status_scanned = 1;
    return 0;
}

int EFS_erase_data_block(uint32_t physical_block, uint32_t erase_count) {
    uint32_t address = 0;
    if (!data_block_address(physical_block, 0, &address) || !block_reachable(address) ||
        holds_files(physical_block)) {
        return 22;
    }
    if (retries() == 0) return 41;
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    int rc = EFS_physical_write(address + fmt::kHeaderCrcOffset, sizeof zeros, zeros);
    if (rc == 0) {
        rc = 41;
        for (uint32_t t = 0; t < retries(); ++t) {
            const int read = EFS_physical_read(address + fmt::kHeaderCrcOffset, sizeof zeros, efs_ctx.verify_buf);
            if (read != 0) {
                rc = read;
                break;
            }
            if (std::memcmp(efs_ctx.verify_buf, zeros, sizeof zeros) == 0) {
                rc = 0;
                break;
            }
        }
    }
    if (rc == 0) rc = EFS_physical_erase(address, fmt::kBlockSize);
    if (rc == 0) {
        uint8_t header[16] = {};
        le::store32(header + fmt::kDataEraseCountOffset, erase_count + 1);
        le::store32(header + fmt::kHeaderCrcOffset, EFS_crc32(0, header, fmt::kHeaderCrcSpan));
        rc = EFS_write_with_read_check(address, header, 1);
    }
    if (rc != 0) efs_ctx.status_scanned = 0;
    return rc;
}

int EFS_erase_dirty_block(void) {
    if (!tables_ready()) return 1;
    const int slot = select_spare(EFS_SPARE_DIRTY);
    if (slot < 0) return 28;
    const uint8_t p = efs_ctx.spare_map[slot];
    if (const int rc = EFS_erase_data_block(p, efs_ctx.erase_counts[p]); rc != 0) return rc;
    efs_ctx.spare_status[slot] = EFS_SPARE_FREE;
    efs_ctx.erase_counts[p] += 1;
    efs_ctx.free_count += 1;
    return 0;
}

int EFS_bme_swap_and_write_new_block(efs_bme_t* entry, uint32_t logical_block, const uint8_t* payload) {
    if (!tables_ready()) return 1;
    if (entry == nullptr || payload == nullptr || logical_block >= valid_blocks() ||
        !maps_name_each_block_once(entry->valid_map, entry->spare_map)) {
        return 22;
    }
    return swap_and_write_new_block(entry, logical_block, payload);
}

int EFS_write_data_footer(uint32_t physical_block, const uint8_t* payload) {
    uint32_t address = 0;
    if (payload == nullptr || !data_block_address(physical_block, fmt::kFooterOffset, &address) ||
        holds_files(physical_block)) {
        return 22;
    }
    note_spare_written(physical_block);
    uint8_t footer[fmt::kFooterSize];
    make_footer(payload, footer);
    return write_verified(address, sizeof footer, footer, true);
}

int EFS_write_data_block(uint32_t physical_block, const uint8_t* payload) {
    // A block outside the image or holding files is refused (22), and one
    // whose payload or footer area does not read erased (41), with nothing
    // written and the spare statuses as they were.
    uint32_t address = 0;
    if (payload == nullptr || !data_block_address(physical_block, 0, &address) || !block_reachable(address) ||
        holds_files(physical_block)) {
        return 22;
    }
    if (const int rc = check_payload_and_footer_blank(physical_block); rc != 0) return rc;
    note_spare_written(physical_block);
    return write_payload_and_footer(physical_block, payload);
}

int EFS_select_free_page_for_write(int* slot) {
    if (slot == nullptr) return 22;
    if (!tables_ready()) return 1;
    const int chosen = select_spare(EFS_SPARE_FREE);
    if (chosen < 0) return 28;
    *slot = chosen;
    return 0;
}

DORV_C_END
