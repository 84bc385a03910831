// Test-side EFS images: reference checksums computed bit by bit, layouts
// loaded through ftbl buffers, images written byte by byte without library
// code, and an independent reader of the block-manager state. No gtest here,
// so fuzz targets and benchmarks can use it too.
#ifndef DORV_TESTS_SUPPORT_EFS_IMAGE_BUILDER_H
#define DORV_TESTS_SUPPORT_EFS_IMAGE_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/ftbl_builder.h"

namespace dorv::test {

constexpr uint32_t kEfsBlock = 4096;
constexpr uint32_t kEfsPayload = 4076;

uint32_t ref_crc32(uint32_t seed, const uint8_t* data, size_t length);
uint16_t ref_crc16(uint16_t seed, const uint8_t* data, size_t length);

// The ftbl buffer that carries `row`, and the result of loading it.
std::vector<uint8_t> efs_ftbl(const EfsLayoutRow& row);
int load_efs_layout(const EfsLayoutRow& row);

// A row with the given geometry and files.
EfsLayoutRow efs_row(uint32_t b, uint32_t v, uint32_t s, std::vector<EfsLayoutFile> files = {},
                     uint32_t files_num = 16);

class EfsImage {
public:
    explicit EfsImage(const EfsLayoutRow& row);

    uint32_t b() const { return b_; }
    uint32_t v() const { return v_; }
    uint32_t s() const { return s_; }
    uint32_t r() const { return v_ + s_ + 12; }
    uint32_t data_offset(uint32_t physical) const { return (b_ + physical) * kEfsBlock; }

    // A valid BM header; fields may be overridden for hostile cases.
    EfsImage& bm_header(uint32_t bm, uint32_t generation);
    EfsImage& bm_header_raw(uint32_t bm, uint32_t generation, uint8_t b, uint8_t v, uint8_t s,
                            uint8_t layout_id);
    // BME in record slot k of BM block `bm` (offset 16 + k * R).
    EfsImage& bme(uint32_t bm, uint32_t slot, const std::vector<uint8_t>& valid,
                  const std::vector<uint8_t>& spare, uint32_t ra = 0, uint32_t rb = 0);
    // The identity maps of a fresh format.
    std::vector<uint8_t> identity_valid() const;
    std::vector<uint8_t> identity_spare() const;
    EfsImage& data_header(uint32_t physical, uint32_t erase_count);
    // Payload (4076 bytes) and its footer.
    EfsImage& payload(uint32_t physical, const std::vector<uint8_t>& payload);
    uint8_t* at(uint32_t offset) { return bytes.data() + offset; }

    // The image a format of the layout writes.
    static EfsImage formatted(const EfsLayoutRow& row);

    std::vector<uint8_t> bytes;

private:
    EfsLayoutRow row_;
    uint32_t b_, v_, s_;
};

// A payload of 0xFF with empty records {0xFFFF, CRC-16 of FF FF seeded with
// the block} at every file place of logical block d.
std::vector<uint8_t> empty_records_payload(const EfsLayoutRow& row, uint32_t d);

// What a mount should find, worked out independently of the library.
struct EfsMountView {
    uint32_t bm = 0;
    uint32_t generation = 0;
    uint32_t bme_offset = 0;
    bool force_switch = false;
    std::vector<uint8_t> valid;
    std::vector<uint8_t> spare;
};
// nullopt when the image does not mount (no valid header, a header of
// another geometry, unreadable records or bad maps).
std::optional<EfsMountView> read_efs_state(const std::vector<uint8_t>& image, const EfsLayoutRow& row);

// A file as the image holds it, decoded from the mount view by the format
// alone: `sound` when every record CRC it needs holds, `empty` for a length
// of 0xFFFF.
struct EfsFileView {
    bool sound = false;
    bool empty = false;
    std::vector<uint8_t> data;
};
EfsFileView decode_efs_file(const std::vector<uint8_t>& image, const EfsLayoutRow& row, const EfsMountView& view,
                            const EfsLayoutFile& file);

// Checks what every committed state must hold: a BM header that mounts (no
// two valid headers share a generation), maps that name every physical data
// block once, and sound header and footer CRCs in every mapped block. Empty
// when all holds, else what failed.
std::string efs_image_fault(const std::vector<uint8_t>& image, const EfsLayoutRow& row);

// Erase count in the header of physical data block p.
uint32_t efs_erase_count(const std::vector<uint8_t>& image, const EfsLayoutRow& row, uint32_t physical);

}  // namespace dorv::test

#endif
