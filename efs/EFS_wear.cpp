// Wear levelling, which moves unchanged data off the least-erased block onto
// the most-erased spare, and the idle step of maintenance a host may run
// between operations.
#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "efs/efs_format.h"
#include "efs/efs_internal.h"
#include "efs/efs_working_entry.h"

namespace fmt = dorv::efs::fmt;
using namespace dorv::efs;

namespace {

// A BM block whose newest entry ends beyond this byte is close enough to full
// that idle time is best spent erasing the block the next switch goes to.
constexpr uint32_t kPreEraseFill = 2856;

bool mounted() { return efs_ctx.mounted != 0 && efs_ctx.valid_map != nullptr; }

}  // namespace

namespace dorv::efs {

int scan_if_needed() {
    if (efs_ctx.status_scanned != 0) return 0;
    return EFS_scan_for_Data_Blocks_status_and_EC();
}

}  // namespace dorv::efs

DORV_C_BEGIN

int EFS_wear_leveling(uint32_t a, uint32_t b) {
    // The tables it compares exist only while mounted, and mean something
    // only once scanned.
    if (!mounted()) return 1;
    WorkingEntry work;
    if (!work.ok()) return 12;
    if (const int rc = scan_if_needed(); rc != 0) return rc;

    const uint32_t v = valid_blocks(), s = spare_blocks();
    if (v == 0 || s == 0) return 0;
    // Among equal counts the last logical block and the last spare slot win.
    uint32_t cold_logical = 0, cold_count = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < v; ++i) {
        const uint32_t count = efs_ctx.erase_counts[efs_ctx.valid_map[i]];
        if (count <= cold_count) {
            cold_count = count;
            cold_logical = i;
        }
    }
    uint32_t hot_slot = 0, hot_count = 0;
    for (uint32_t j = 0; j < s; ++j) {
        const uint32_t count = efs_ctx.erase_counts[efs_ctx.spare_map[j]];
        if (count >= hot_count) {
            hot_count = count;
            hot_slot = j;
        }
    }
    if (hot_count < cold_count || hot_count - cold_count < g_efs_wear_leveling_threshold) return 0;
    // A move whose commit cannot land is not started.
    if (const int rc = commit_refusal(); rc != 0) return rc;
    const uint8_t cold_phys = efs_ctx.valid_map[cold_logical];
    const uint8_t hot_phys = efs_ctx.spare_map[hot_slot];

    // block_buf holds the cold block from here; the erase and the copy below
    // use only verify_buf, so it survives them.
    if (const int rc = EFS_read_and_verify_data_block_header_and_footer(cold_phys, 1, 1); rc != 0) return rc;
    if (efs_ctx.spare_status[hot_slot] == EFS_SPARE_DIRTY) {
        if (const int rc = EFS_erase_data_block(hot_phys, efs_ctx.erase_counts[hot_phys]); rc != 0) return rc;
        efs_ctx.spare_status[hot_slot] = EFS_SPARE_FREE;
        efs_ctx.free_count += 1;
        efs_ctx.erase_counts[hot_phys] += 1;
    }
    // After the commit the slot holds the old cold block, which must be
    // erased before reuse; marked before the copy so a failure leaves it so.
    efs_ctx.spare_status[hot_slot] = EFS_SPARE_DIRTY;
    efs_ctx.free_count -= 1;

    // Payload and footer move together; the hot block keeps its own header
    // and so its erase count.
    uint32_t address = 0;
    if (!data_block_address(hot_phys, fmt::kPayloadOffset, &address)) return 22;
    if (const int rc = write_verified(address, fmt::kBlockSize - fmt::kPayloadOffset,
                                      efs_ctx.block_buf + fmt::kPayloadOffset, true);
        rc != 0) {
        return rc;
    }
    work.fill_from_committed();
    work.entry().spare_map[hot_slot] = cold_phys;
    work.entry().valid_map[cold_logical] = hot_phys;
    return EFS_commit_BME(&work.entry(), a, b);
}

int EFS_idle_reclaim(void) {
    if (!mounted()) return 1;
    const uint32_t bms = bm_blocks();
    // With a single BM block there is no next block: the one there is holds
    // the live state and is never erased here.
    if (bms >= 2) {
        const uint32_t next = (efs_ctx.current_bm + 1) % bms;
        if (efs_ctx.next_bm_state == EFS_BM_STATE_UNKNOWN) {
            if (const int rc = probe_next_bm(next); rc != 0) return rc;
        }
        if (efs_ctx.next_bm_state == EFS_BM_STATE_DIRTY &&
            static_cast<uint64_t>(efs_ctx.bme_offset) + bme_size() > kPreEraseFill) {
            efs_ctx.next_bm_state = EFS_BM_STATE_UNKNOWN;
            if (const int rc = kill_and_erase_block(next * fmt::kBlockSize); rc != 0) return rc;
            efs_ctx.next_bm_state = EFS_BM_STATE_ERASED;
            return 0;
        }
    }
    if (const int rc = scan_if_needed(); rc != 0) return rc;
    if (const int rc = EFS_wear_leveling(0, 0); rc != 0) return rc;
    if (efs_ctx.free_count < spare_blocks()) return EFS_erase_dirty_block();
    return 0;
}

DORV_C_END
