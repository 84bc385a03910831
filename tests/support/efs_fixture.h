// Fixture of the EFS tests: every test starts and ends with the layout and
// the EFS state as at load, and can adopt a test-built image.
#ifndef DORV_TESTS_SUPPORT_EFS_FIXTURE_H
#define DORV_TESTS_SUPPORT_EFS_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <cstring>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "efs/efs_layout.h"
#include "efs/efs_state.h"
#include "support/efs_image_builder.h"
#include "support/flash_harness.h"

namespace dorv::test {

class EfsTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        dorv::efs::reset_efs_state();
        dorv::efs::reset_layout();
    }

    // Loads the layout and adopts `image` (not mounted).
    void adopt(const EfsLayoutRow& row, std::vector<uint8_t>& image) {
        ASSERT_EQ(load_efs_layout(row), 0);
        efs_image = image.data();
        ASSERT_EQ(EFS_physical_init(0), 0);
        ASSERT_EQ(efs_size, image.size());
    }

    // Puts the mount state a mount of `image` would leave, worked out by the
    // test-side reader, without running the library's mount.
    void set_mounted(const std::vector<uint8_t>& image, const EfsLayoutRow& row) {
        const auto view = read_efs_state(image, row);
        ASSERT_TRUE(view.has_value());
        const uint32_t v = row.valid_block_num, s = row.non_valid_block_num;
        dorv::efs::release_mount_tables();
        efs_ctx.valid_map = static_cast<uint8_t*>(std::calloc(v + 1, 1));
        efs_ctx.spare_map = static_cast<uint8_t*>(std::calloc(s + 1, 1));
        efs_ctx.spare_status = static_cast<uint8_t*>(std::calloc(s + 1, 1));
        efs_ctx.erase_counts = static_cast<uint32_t*>(std::calloc(v + s + 1, 4));
        std::memcpy(efs_ctx.valid_map, view->valid.data(), v);
        std::memcpy(efs_ctx.spare_map, view->spare.data(), s);
        efs_ctx.retry_count = EFS_RETRY_COUNT;
        efs_ctx.current_bm = view->bm;
        efs_ctx.generation = view->generation;
        efs_ctx.bme_offset = view->bme_offset;
        efs_ctx.force_bm_switch = view->force_switch ? 1 : 0;
        efs_ctx.mounted = 1;
    }

    flash::MediumSlot& medium() { return dorv::efs::state().medium; }
};

// An EFS test that formats an image of a layout in the test, may change it,
// and mounts it through the sized mount.
class EfsMountedTest : public EfsTest {
protected:
    void mount(const EfsLayoutRow& row, const std::function<void(EfsImage&)>& change = {}) {
        row_ = row;
        image_ = EfsImage::formatted(row);
        if (change) change(image_);
        ASSERT_EQ(load_efs_layout(row), 0);
        ASSERT_EQ(efs_mount_image(image_.bytes.data(), static_cast<uint32_t>(image_.bytes.size())), 0);
    }
    EfsLayoutRow row_;
    EfsImage image_{efs_row(2, 7, 3)};
};

}  // namespace dorv::test

#endif
