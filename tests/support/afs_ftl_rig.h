// A formatted and mounted translation layer over an in-memory image, with a
// chunk bitmap, for the page, reclaim and cache tests, the benchmark and the
// fuzz target.
#ifndef DORV_TESTS_SUPPORT_AFS_FTL_RIG_H
#define DORV_TESTS_SUPPORT_AFS_FTL_RIG_H

#include <cstdint>
#include <vector>

#include "dorv/afs.h"

namespace dorv::test {

struct AfsFtlRig {
    // Metadata pages below data_start, `data_units` data units of 122 pages,
    // the remaining units metadata, and the spare.
    AfsFtlRig(uint32_t units, uint32_t meta_pages, uint32_t data_units);
    ~AfsFtlRig();
    AfsFtlRig(const AfsFtlRig&) = delete;
    AfsFtlRig& operator=(const AfsFtlRig&) = delete;

    std::vector<uint8_t> image;
    std::vector<uint32_t> bitmap;
    afs_context_t ctx{};

    // Erases the image, formats it and mounts it (allocation map included).
    uint32_t format();
    // Mounts the image as it is, with a new state, and rebuilds the
    // allocation map from the bitmap as it is.
    uint32_t mount();
    afs_ftl_state_t& st() { return *ctx.ftl_state; }
    uint32_t data_address(uint32_t k) const { return ctx.data_start + 64 * k; }
    uint32_t data_pages() const;
    bool bit(uint32_t k) const { return (bitmap[k / 32] >> (k % 32)) & 1u; }
};

}  // namespace dorv::test

#endif
