// The working block-manager entry of a writer: copies of the committed maps
// that a change edits before it hands them to EFS_commit_BME. Not exported.
#ifndef DORV_EFS_EFS_WORKING_ENTRY_H
#define DORV_EFS_EFS_WORKING_ENTRY_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dorv/efs.h"
#include "efs/efs_internal.h"

namespace dorv::efs {

class WorkingEntry {
public:
    // Allocates the two maps (V and S bytes); check ok() before use.
    WorkingEntry()
        : valid_(static_cast<uint8_t*>(std::malloc(valid_blocks() == 0 ? 1 : valid_blocks()))),
          spare_(static_cast<uint8_t*>(std::malloc(spare_blocks() == 0 ? 1 : spare_blocks()))) {
        entry_.valid_map = valid_;
        entry_.spare_map = spare_;
    }
    ~WorkingEntry() {
        std::free(valid_);
        std::free(spare_);
    }
    WorkingEntry(const WorkingEntry&) = delete;
    WorkingEntry& operator=(const WorkingEntry&) = delete;

    bool ok() const { return valid_ != nullptr && spare_ != nullptr; }

    // The committed state: maps, reserved words and CRC of the newest entry.
    void fill_from_committed() {
        if (valid_blocks() != 0) std::memcpy(valid_, efs_ctx.valid_map, valid_blocks());
        if (spare_blocks() != 0) std::memcpy(spare_, efs_ctx.spare_map, spare_blocks());
        entry_.reserved_a = efs_ctx.reserved_a;
        entry_.reserved_b = efs_ctx.reserved_b;
        entry_.crc32 = efs_ctx.bme_crc;
    }

    efs_bme_t& entry() { return entry_; }

private:
    uint8_t* valid_;
    uint8_t* spare_;
    efs_bme_t entry_{};
};

}  // namespace dorv::efs

#endif
