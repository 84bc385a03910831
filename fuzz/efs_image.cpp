// Mounts fuzzed EFS images under a few layouts, each loaded from an ftbl
// buffer. A mounted image then has every configured file record read, its
// status scanned, one block rewritten by copy-on-write and committed, and is
// mounted again: a committed change must leave an image that mounts. Then the
// file operations run over it: reads, a write, a delete, idle steps and wear
// levelling; a write or delete that reports success must still be there
// after a remount. With the top bit of the first byte set, the input is an
// operation list instead (fuzz/efs_operations.h).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "efs/efs_layout.h"
#include "efs/efs_state.h"
#include "fuzz/efs_image_input.h"
#include "fuzz/efs_operations.h"
#include "support/ftbl_builder.cpp"       // test-side builders, compiled into this target only
#include "support/efs_image_builder.cpp"

namespace {

void read_every_file() {
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        const efs_file_layout_t* place = dorv::efs::layout_record(i);
        if (place == nullptr || (place->flags & EFS_FILE_CONFIGURED) == 0) continue;
        (void)EFS_read_and_verify_file(place->first_block, place->offset, 1, 0);
    }
}

// Rewrites logical block 0 the way a file write does: read it whole, change
// a byte, copy it into a free spare, commit.
void rewrite_one_block() {
    if (EFS_scan_for_Data_Blocks_status_and_EC() != 0 || g_efs_valid_block_num == 0) return;
    if (efs_ctx.free_count == 0 && EFS_erase_dirty_block() != 0) return;
    if (EFS_read_and_verify_data_block_header_and_footer(efs_ctx.valid_map[0], 1, 1) != 0) return;
    std::vector<uint8_t> payload(efs_ctx.block_buf + EFS_BLOCK_HEADER_SIZE,
                                 efs_ctx.block_buf + EFS_BLOCK_HEADER_SIZE + EFS_PAYLOAD_SIZE);
    payload[EFS_PAYLOAD_SIZE - 1] ^= 0x5A;
    std::vector<uint8_t> valid(efs_ctx.valid_map, efs_ctx.valid_map + g_efs_valid_block_num);
    std::vector<uint8_t> spare(g_efs_non_valid_block_num + 1);
    std::memcpy(spare.data(), efs_ctx.spare_map, g_efs_non_valid_block_num);
    efs_bme_t entry{valid.data(), spare.data(), efs_ctx.reserved_a, efs_ctx.reserved_b, efs_ctx.bme_crc};
    if (EFS_bme_swap_and_write_new_block(&entry, 0, payload.data()) != 0) return;
    if (EFS_commit_BME(&entry, 0, 0) != 0) return;
    const std::vector<uint8_t> committed(efs_ctx.valid_map, efs_ctx.valid_map + g_efs_valid_block_num);
    const uint32_t length = efs_size;
    if (efs_mount_image(efs_image, length) != 0) std::abort();
    if (std::memcmp(committed.data(), efs_ctx.valid_map, committed.size()) != 0) std::abort();
}

bool remount() { return efs_mount_image(efs_image, efs_size) == 0; }

void exercise_files(const uint8_t* input, size_t size) {
    auto byte = [&](size_t i) -> uint32_t { return size == 0 ? 0 : input[i % size]; };
    static std::vector<uint8_t> buf(70000);
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        uint32_t length = static_cast<uint32_t>(buf.size());
        (void)EFS_read(i, 0, &length, buf.data());
        uint32_t file_size = 0;
        (void)EFS_get_file_size(i, &file_size);
        length = byte(i) * 17;
        (void)EFS_read(i, byte(i + 1) * 29, &length, buf.data());
    }
    const uint32_t target = byte(2) % (g_efs_files_num + 1);
    const efs_file_layout_t* place = dorv::efs::layout_record(target);
    const uint32_t limit = place != nullptr ? place->max_size + 2u : 300u;
    const uint32_t write_size = (byte(3) * 256 + byte(4)) % limit;
    std::vector<uint8_t> data(write_size + 1u);
    for (uint32_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(byte(5 + i) ^ i);
    const int wrote = EFS_write(target, 0, write_size, data.data());
    (void)EFS_idle_reclaim();
    (void)EFS_wear_leveling(0, 0);
    if (wrote == 0) {
        if (!remount()) std::abort();
        uint32_t length = static_cast<uint32_t>(buf.size());
        if (EFS_read(target, 0, &length, buf.data()) != 0 || length != write_size ||
            std::memcmp(buf.data(), data.data(), write_size) != 0) {
            std::abort();
        }
    }
    const uint32_t victim = byte(6) % (g_efs_files_num + 1);
    if (EFS_delete(victim) == 0) {
        (void)EFS_idle_reclaim();
        if (!remount()) std::abort();
        uint32_t length = 1;
        if (EFS_read(victim, 0, &length, buf.data()) != 2) std::abort();
    }
    (void)EFS_idle_reclaim();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const auto layouts = dorv::fuzz::efs_fuzz_layouts();
    const auto& row = layouts[data[0] % layouts.size()];
    dorv::efs::reset_efs_state();
    dorv::efs::reset_layout();
    if ((data[0] & 0x80) != 0) {
        dorv::fuzz::EfsOperations(data + 1, size - 1).run();
        dorv::efs::reset_efs_state();
        dorv::efs::reset_layout();
        return 0;
    }
    if (dorv::test::load_efs_layout(row) != 0) std::abort();
    // The image is exactly the input, so any read past it shows.
    std::vector<uint8_t> image(data + 1, data + size);
    const auto length = static_cast<uint32_t>(image.size());
    if (efs_mount_image(image.empty() ? nullptr : image.data(), length) == 0) {
        read_every_file();
        rewrite_one_block();
        read_every_file();
        if (efs_ctx.mounted != 0) exercise_files(data + 1, size - 1);
    }
    dorv::efs::reset_efs_state();
    dorv::efs::reset_layout();
    return 0;
}
