// The block maps of a block-manager entry: checked to name every physical
// data block exactly once before anything adopts them.
#include <cstdint>

#include "efs/efs_internal.h"

namespace dorv::efs {

bool maps_name_each_block_once(const uint8_t* valid_map, const uint8_t* spare_map) {
    const uint32_t v = valid_blocks();
    const uint32_t total = data_blocks();
    // Physical block numbers are bytes: no layout the loader takes has more.
    constexpr uint32_t kMaxBlocks = 256;
    if (total > kMaxBlocks || (v != 0 && valid_map == nullptr) || (total != v && spare_map == nullptr)) {
        return false;
    }
    uint8_t seen[kMaxBlocks / 8] = {};
    for (uint32_t i = 0; i < total; ++i) {
        const uint8_t p = i < v ? valid_map[i] : spare_map[i - v];
        const auto bit = static_cast<uint8_t>(1u << (p % 8));
        if (p >= total || (seen[p / 8] & bit) != 0) return false;
        seen[p / 8] = static_cast<uint8_t>(seen[p / 8] | bit);
    }
    return true;
}

}  // namespace dorv::efs
