// Mount: the BM block with the highest generation, its newest sound record,
// and the block maps it carries, checked before they are used.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "efs/efs_format.h"
#include "efs/efs_internal.h"
#include "efs/efs_layout.h"
#include "efs/efs_state.h"

namespace le = dorv::le;
namespace fmt = dorv::efs::fmt;
using namespace dorv::efs;

namespace {

// Physical data block numbers are bytes, so a record is at most this long.
constexpr uint32_t kMaxBmeSize = 256 + fmt::kBmeTrailerSize;

bool all_bytes(const uint8_t* p, uint32_t n, uint8_t value) {
    return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

uint32_t slot_offset(uint32_t k, uint32_t r) { return fmt::kFirstBmeOffset + k * r; }
bool slot_exists(uint32_t k, uint32_t r) {
    return static_cast<uint64_t>(fmt::kFirstBmeOffset) + (static_cast<uint64_t>(k) + 1) * r <= fmt::kBmeSlotEnd;
}

bool bme_sound(const uint8_t* record, uint32_t r) {
    return EFS_crc32(0, record, r - fmt::kBmeCrcBack) == le::load32(record + r - fmt::kBmeCrcBack);
}

int allocate_tables() {
    const uint32_t v = valid_blocks(), s = spare_blocks();
    efs_ctx.spare_status = static_cast<uint8_t*>(std::calloc(std::max<uint32_t>(s, 1), 1));
    efs_ctx.erase_counts = static_cast<uint32_t*>(std::calloc(std::max<uint32_t>(v + s, 1), sizeof(uint32_t)));
    efs_ctx.valid_map = static_cast<uint8_t*>(std::calloc(std::max<uint32_t>(v, 1), 1));
    efs_ctx.spare_map = static_cast<uint8_t*>(std::calloc(std::max<uint32_t>(s, 1), 1));
    // Before the check: when one allocation fails, the others stay in
    // efs_ctx until release_mount_tables frees them.
    keep_mount_tables();
    if (efs_ctx.spare_status == nullptr || efs_ctx.erase_counts == nullptr || efs_ctx.valid_map == nullptr ||
        efs_ctx.spare_map == nullptr) {
        return 12;
    }
    return 0;
}

// Outcome of reading one BM header.
enum class Header { skip, valid, foreign };

Header read_header(uint32_t bm, uint32_t* generation) {
    uint8_t h[fmt::kBmHeaderSize];
    for (uint32_t t = 0; t < retries(); ++t) {
        if (EFS_physical_read(bm * fmt::kBlockSize, sizeof h, h) != 0) return Header::skip;
        // Erased, or retired by a switch.
        if (all_bytes(h, sizeof h, 0xFF) || all_bytes(h, sizeof h, 0x00)) return Header::skip;
        if (EFS_crc32(0, h, fmt::kHeaderCrcSpan) != le::load32(h + fmt::kHeaderCrcOffset)) continue;
        if (h[fmt::kBmCountOffset] != bm_blocks() || h[fmt::kBmValidOffset] != valid_blocks() ||
            h[fmt::kBmSpareOffset] != spare_blocks() || h[fmt::kBmLayoutOffset] != g_efs_layout_id) {
            return Header::foreign;
        }
        *generation = le::load32(h + fmt::kBmGenerationOffset);
        return Header::valid;
    }
    return Header::skip;
}

// Offset of the newest record in block_buf.
uint32_t newest_record(uint32_t r) {
    if (!slot_exists(1, r)) return slot_offset(0, r);
    for (uint32_t k = 1;; ++k) {
        if (all_bytes(efs_ctx.block_buf + slot_offset(k, r), r, 0xFF)) return slot_offset(k - 1, r);
        if (!slot_exists(k + 1, r)) return slot_offset(k, r);
    }
}

// Re-reads the record at `offset` of the current BM block into `out`: 0 when
// one reading is sound, 11 when one reads erased, 41 when none is sound, or
// a read's code.
int reread_record(uint32_t offset, uint32_t r, uint8_t* out, bool stop_on_blank) {
    const uint32_t address = efs_ctx.current_bm * fmt::kBlockSize + offset;
    for (uint32_t t = 0; t < retries(); ++t) {
        if (const int rc = EFS_physical_read(address, r, out); rc != 0) return rc;
        if (bme_sound(out, r)) return 0;
        if (stop_on_blank && all_bytes(out, r, 0xFF)) return 11;
    }
    return 41;
}

// One pass: reads the BM block, finds the newest record and the record to
// load into `out`; 11 asks for another pass.
int locate_record(uint32_t r, uint8_t* out, uint32_t* offset, bool* fell_back) {
    if (const int rc = EFS_physical_read(efs_ctx.current_bm * fmt::kBlockSize, fmt::kBlockSize, efs_ctx.block_buf);
        rc != 0) {
        return rc;
    }
    *offset = newest_record(r);
    *fell_back = false;
    std::memcpy(out, efs_ctx.block_buf + *offset, r);
    if (bme_sound(out, r)) return 0;
    const int rc = reread_record(*offset, r, out, true);
    if (rc != 41) return rc;
    // The newest record is torn: the one before it holds the last commit.
    if (*offset == fmt::kFirstBmeOffset) return 41;
    *offset -= r;
    *fell_back = true;
    std::memcpy(out, efs_ctx.block_buf + *offset, r);
    if (bme_sound(out, r)) return 0;
    return reread_record(*offset, r, out, false);
}

int mount(uint8_t create) {
    // A second mount releases the first one's tables and starts from a clear
    // state, retry count too; from here unmounted.
    release_mount_tables();
    efs_ctx.retry_count = 0;
    if (g_efs_autogen_data_loaded == 0) return 1;
    if (const int rc = allocate_tables(); rc != 0) return rc;
    efs_ctx.retry_count = EFS_RETRY_COUNT;
    if (const int rc = EFS_physical_init(create); rc != 0) return rc;
    // A layout needing more than the image was adopted with: no write could
    // use such a mount. The caller adopts the image again for that layout.
    if (!image_reaches(efs_size)) return 22;
    if (create != 0) {
        if (const int rc = format_image(false); rc != 0) return rc;
    }
    const uint32_t b = bm_blocks();
    if (b == 0) return 41;

    uint32_t best_generation = 0;
    bool chosen = false;
    for (uint32_t i = 0; i < b; ++i) {
        uint32_t generation = 0;
        const Header h = read_header(i, &generation);
        if (h == Header::foreign) return 41;
        if (h == Header::valid && generation > best_generation) {
            best_generation = generation;
            efs_ctx.current_bm = i;
            chosen = true;
        }
    }
    if (!chosen) return 41;
    efs_ctx.generation = best_generation;

    const uint32_t r = bme_size();
    if (r > kMaxBmeSize) return 41;
    uint8_t record[kMaxBmeSize];
    uint32_t offset = 0;
    bool fell_back = false;
    int rc = 11;
    for (uint32_t pass = 0; pass < retries() && rc == 11; ++pass) rc = locate_record(r, record, &offset, &fell_back);
    if (rc == 11) rc = 41;
    if (rc != 0) return rc;
    const uint32_t v = valid_blocks(), s = spare_blocks();
    // Every map entry names an existing block, and no block twice.
    if (!maps_name_each_block_once(record, record + v)) return 41;

    std::memcpy(efs_ctx.valid_map, record, v);
    std::memcpy(efs_ctx.spare_map, record + v, s);
    efs_ctx.reserved_a = le::load32(record + v + s);
    efs_ctx.reserved_b = le::load32(record + v + s + 4);
    efs_ctx.bme_crc = le::load32(record + v + s + 8);
    efs_ctx.bme_offset = offset;
    efs_ctx.force_bm_switch = fell_back ? 1 : 0;
    efs_ctx.mounted = 1;
    remember_mounted_layout();
    return 0;
}

// Puts a caller's buffer in place of the image; one the library allocated
// is released first (unless it is the very buffer given back, which keeps
// the size it was allocated with as its limit, whatever the caller claims:
// the library knows that size, so a smaller claim never lowers it).
void adopt_image(uint8_t* image, uint32_t limit) {
    EfsState& s = state();
    if (efs_image != image) {
        if (s.image_owned) std::free(efs_image);
        efs_image = image;
        s.image_owned = false;
    } else if (s.image_owned) {
        return;
    }
    s.image_limit = limit;
}

}  // namespace

DORV_C_BEGIN

int EFS_init(int create) { return mount(static_cast<uint8_t>(create)); }

int EFS_init_tools(uint8_t* image) {
    if (image == nullptr) return 22;
    // No length comes with the image: the caller vouches for the size the
    // loaded layout needs now, and that stays the limit when a later layout
    // needs more.
    adopt_image(image, EFS_get_efs_size());
    return EFS_init(0);
}

uint32_t EFS_get_efs_size(void) {
    return (g_efs_valid_block_num + g_efs_bm_num + g_efs_non_valid_block_num) * fmt::kBlockSize;
}

DORV_C_END

int efs_mount_image(uint8_t* image, uint32_t length) {
    if (image == nullptr || length < EFS_get_efs_size()) return 22;
    adopt_image(image, length);
    return EFS_init(0);
}

namespace dorv::efs {

void remember_mounted_layout() {
    EfsState& s = state();
    std::free(s.mounted_places);
    s.mounted_places = nullptr;
    s.mounted_bm = bm_blocks();
    s.mounted_valid = valid_blocks();
    s.mounted_spare = spare_blocks();
    s.mounted_files = g_efs_files_num;
    s.mounted_layout_id = g_efs_layout_id;
    const uint32_t count = std::min(layout_record_count(), g_efs_files_num);
    s.mounted_places = static_cast<efs_file_layout_t*>(std::calloc(std::max<uint32_t>(g_efs_files_num, 1),
                                                                   sizeof(efs_file_layout_t)));
    // Without the copy every later load counts as a change.
    if (s.mounted_places != nullptr && count != 0) {
        std::memcpy(s.mounted_places, EFS_files, count * sizeof(efs_file_layout_t));
    }
}

void unmount_if_layout_changed() {
    if (efs_ctx.mounted == 0) return;
    const EfsState& s = state();
    bool same = s.mounted_places != nullptr && s.mounted_bm == bm_blocks() && s.mounted_valid == valid_blocks() &&
                s.mounted_spare == spare_blocks() && s.mounted_files == g_efs_files_num &&
                s.mounted_layout_id == g_efs_layout_id;
    for (uint32_t i = 0; same && i < g_efs_files_num; ++i) {
        const efs_file_layout_t* now = layout_record(i);
        const efs_file_layout_t empty{};
        const efs_file_layout_t& was = s.mounted_places[i];
        const efs_file_layout_t& cur = now != nullptr ? *now : empty;
        same = was.first_block == cur.first_block && was.offset == cur.offset && was.max_size == cur.max_size &&
               was.flags == cur.flags;
    }
    if (!same) release_mount_tables();
}

}  // namespace dorv::efs
