#include "support/afs_ftl_rig.h"

#include <algorithm>

#include "afs/afs_ftl.h"
#include "afs/afs_state.h"

namespace dorv::test {

AfsFtlRig::AfsFtlRig(uint32_t units, uint32_t meta_pages, uint32_t data_units)
    : image(static_cast<std::size_t>(units) * 8192, 0xFF) {
    ctx.image = image.data();
    ctx.size = static_cast<uint32_t>(image.size());
    ctx.data_start = 64 * meta_pages;
    ctx.vas = ctx.data_start + data_units * 7808;
    ctx.files = 65;
    ctx.chunks = static_cast<uint16_t>(data_units * 122);
    bitmap.assign(afs::layout::bitmap_words(ctx), 0);
    ctx.bitmap = bitmap.data();
    ctx.ops = &afs_physical_spi_handler;
}

AfsFtlRig::~AfsFtlRig() { afs::ftl_free_state(&ctx); }

uint32_t AfsFtlRig::data_pages() const { return afs::layout::data_unit_count(ctx.vas, ctx.data_start) * 122; }

uint32_t AfsFtlRig::format() {
    std::fill(image.begin(), image.end(), 0xFF);
    std::fill(bitmap.begin(), bitmap.end(), 0);
    afs_physical_ftl_init(&ctx, ctx.size, AFS_FTL_ALLOCATE_STATE | AFS_FTL_BIND_DEVICE);
    if (ctx.ftl_state == nullptr) return STORAGE_NO_MEMORY;
    const uint32_t status = afs_physical_ftl_format(&ctx, 1);
    return status != STORAGE_OK ? status : mount();
}

uint32_t AfsFtlRig::mount() {
    const uint32_t status = afs_physical_ftl_init(&ctx, ctx.size, AFS_FTL_ALLOCATE_STATE | AFS_FTL_BIND_DEVICE);
    return status != STORAGE_OK ? status : afs_physical_ftl_set_allocation_map(&ctx);
}

}  // namespace dorv::test
