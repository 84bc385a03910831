// Format: an empty file system over the whole image, its header written last.
#include <cstdlib>
#include <cstring>
#include <memory>

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

Buffer zeroed(uint32_t size) { return Buffer(static_cast<uint8_t*>(std::calloc(size == 0 ? 1 : size, 1))); }

// Format may run before any mount has set the retry count; it then uses the
// mounted count and puts the old value back.
class FormatRetries {
public:
    FormatRetries() : saved_(efs_ctx.retry_count) {
        if (saved_ == 0) efs_ctx.retry_count = EFS_RETRY_COUNT;
    }
    ~FormatRetries() { efs_ctx.retry_count = saved_; }
    FormatRetries(const FormatRetries&) = delete;
    FormatRetries& operator=(const FormatRetries&) = delete;

private:
    uint32_t saved_;
};

// Calls visit for the place of every configured file.
template <typename Visit>
void for_each_place(Visit visit) {
    for (uint32_t i = 0; i < g_efs_files_num; ++i) {
        const efs_file_layout_t* place = layout_record(i);
        if (place != nullptr && (place->flags & EFS_FILE_CONFIGURED) != 0) visit(*place);
    }
}

// The payload of logical block d: 0xFF with an empty record at every file
// place in it (format_refusal has checked that every record header fits).
void build_empty_payload(uint32_t d, uint8_t* payload) {
    std::memset(payload, 0xFF, fmt::kPayloadSize);
    const uint8_t empty[2] = {0xFF, 0xFF};
    const uint16_t crc = static_cast<uint16_t>(EFS_crc16(d, empty, sizeof empty));
    for_each_place([&](const efs_file_layout_t& place) {
        if (place.first_block != d) return;
        le::store16(payload + place.offset + fmt::kRecordLengthOffset, fmt::kRecordEmpty);
        le::store16(payload + place.offset + fmt::kRecordCrcOffset, crc);
    });
}

// What a format refuses with before its first store: 1 without a layout or
// an image, 41 without a BM block (the header would land on a data block),
// 22 when the layout needs more than the image reaches, 99 when a file place
// leaves no room for its record header. 0: the format can be laid out whole.
int format_refusal() {
    if (g_efs_autogen_data_loaded == 0 || EFS_physical_init(0) != 0) return 1;
    if (bm_blocks() == 0) return 41;
    if (!image_reaches(efs_size)) return 22;
    bool fits = true;
    for_each_place([&](const efs_file_layout_t& place) { fits = fits && place.offset <= fmt::kMaxRecordOffset; });
    return fits ? 0 : 99;
}

}  // namespace

namespace dorv::efs {

int format_image(bool unmount) {
    // A refused format leaves the image, and so any mount over it, as it was.
    if (const int rc = format_refusal(); rc != 0) return rc;
    FormatRetries retries_for_format;
    const uint32_t v = valid_blocks();
    const uint32_t s = spare_blocks();
    const uint32_t r = bme_size();
    Buffer valid = zeroed(v);
    Buffer spare = zeroed(s);
    Buffer record = zeroed(r);
    if (!valid || !spare || !record) return 12;
    // From here the image changes under any mount: its maps, statuses and
    // record offset would describe the old file system. The caller mounts
    // the new one when it wants it.
    if (unmount) release_mount_tables();

    for (uint32_t i = 0; i < bm_blocks(); ++i) {
        if (const int rc = EFS_physical_erase(i * fmt::kBlockSize, fmt::kBlockSize); rc != 0) return rc;
    }
    for (uint32_t p = 0; p < data_blocks(); ++p) {
        if (const int rc = EFS_erase_data_block(p, 0); rc != 0) return rc;
    }
    uint8_t payload[fmt::kPayloadSize];
    for (uint32_t d = 0; d < v; ++d) {
        build_empty_payload(d, payload);
        uint32_t address = 0;
        if (!data_block_address(d, fmt::kPayloadOffset, &address)) return 22;
        if (const int rc = write_verified(address, fmt::kPayloadSize, payload, true); rc != 0) return rc;
        if (const int rc = EFS_write_data_footer(d, payload); rc != 0) return rc;
    }

    for (uint32_t d = 0; d < v; ++d) valid.get()[d] = static_cast<uint8_t>(d);
    for (uint32_t j = 0; j < s; ++j) spare.get()[j] = static_cast<uint8_t>(v + j);
    efs_bme_t first{valid.get(), spare.get(), 0, 0, 0};
    serialise_bme(first, record.get());
    first.crc32 = EFS_crc32(0, record.get(), r - fmt::kBmeCrcBack);
    le::store32(record.get() + r - fmt::kBmeCrcBack, first.crc32);
    if (const int rc = EFS_write_with_read_check(fmt::kFirstBmeOffset, r, record.get(), 1); rc != 0) return rc;

    // The header last: a format cut short leaves nothing that mounts.
    uint8_t header[16];
    build_bm_header(1, header);
    return EFS_write_with_read_check(0, header, 1);
}

}  // namespace dorv::efs

DORV_C_BEGIN

int EFS_do_format(void) { return format_image(true); }

DORV_C_END
