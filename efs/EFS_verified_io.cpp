// Verified input/output: block reads that check the header and footer CRCs,
// file-record reads that check the record CRC, and writes that check the
// target is erased first and compare a read-back afterwards. Reads are tried
// up to the retry count; a write is issued once.
#include <algorithm>
#include <array>
#include <cstring>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "efs/efs_format.h"
#include "efs/efs_internal.h"

namespace le = dorv::le;
namespace fmt = dorv::efs::fmt;

namespace dorv::efs {

uint32_t bm_blocks() { return g_efs_bm_num; }
uint32_t valid_blocks() { return g_efs_valid_block_num; }
uint32_t spare_blocks() { return g_efs_non_valid_block_num; }
uint32_t data_blocks() { return g_efs_valid_block_num + g_efs_non_valid_block_num; }
uint32_t bme_size() { return data_blocks() + fmt::kBmeTrailerSize; }
uint32_t retries() { return efs_ctx.retry_count; }

bool data_block_address(uint32_t physical_block, uint32_t offset, uint32_t* address) {
    if (physical_block >= data_blocks() || offset >= fmt::kBlockSize) return false;
    const uint64_t at = (static_cast<uint64_t>(bm_blocks()) + physical_block) * fmt::kBlockSize + offset;
    if (at > UINT32_MAX) return false;
    *address = static_cast<uint32_t>(at);
    return true;
}

bool reads_erased(const uint8_t* bytes, uint32_t length) {
    // Compared in whole blocks against erased bytes: every blank check of a
    // write and every spare of a scan passes through here.
    static const auto erased = [] {
        std::array<uint8_t, fmt::kBlockSize> block{};
        block.fill(0xFF);
        return block;
    }();
    while (length > 0) {
        const uint32_t n = std::min<uint32_t>(length, fmt::kBlockSize);
        if (std::memcmp(bytes, erased.data(), n) != 0) return false;
        bytes += n;
        length -= n;
    }
    return true;
}

namespace {

bool header_crc_holds(const uint8_t* header) {
    return EFS_crc32(0, header, fmt::kHeaderCrcSpan) == le::load32(header + fmt::kHeaderCrcOffset);
}

// While mounted, a write of [address, address + length) from outside must
// not touch a BM block or a data block that holds files: only the block
// manager and the copy-on-write writers change those, or the mount no longer
// describes the image. False when it would.
bool admit_outside_write(uint32_t address, uint32_t length) {
    if (efs_ctx.mounted == 0) return true;
    const uint64_t first = address / fmt::kBlockSize;
    const uint64_t last = (static_cast<uint64_t>(address) + length - 1) / fmt::kBlockSize;
    for (uint64_t block = first; block <= last; ++block) {
        if (block < bm_blocks()) return false;
        const uint64_t physical = block - bm_blocks();
        if (physical < data_blocks() && holds_files(static_cast<uint32_t>(physical))) return false;
    }
    return true;
}

// The spares an outside write of [address, address + length) stored into are
// no longer free (admit_outside_write has kept it out of the BM blocks).
void note_outside_write(uint32_t address, uint32_t length) {
    const uint64_t first = address / fmt::kBlockSize;
    const uint64_t last = (static_cast<uint64_t>(address) + length - 1) / fmt::kBlockSize;
    for (uint64_t block = first; block <= last; ++block) {
        if (block - bm_blocks() < data_blocks()) note_spare_written(static_cast<uint32_t>(block - bm_blocks()));
    }
}

}  // namespace

int check_blank(uint32_t address, uint32_t length) {
    if (retries() == 0) return 41;
    for (uint32_t t = 0; t < retries(); ++t) {
        const int rc = EFS_physical_read(address, length, efs_ctx.verify_buf);
        if (rc != 0) return rc;
        if (reads_erased(efs_ctx.verify_buf, length)) return 0;
    }
    // A target that holds data means the bookkeeping is broken: never write
    // over it.
    return 41;
}

int write_verified(uint32_t address, uint32_t length, const uint8_t* data, bool blank_check, bool* stored) {
    if (stored != nullptr) *stored = false;
    if (retries() == 0) return 41;
    uint8_t* verify = efs_ctx.verify_buf;
    if (blank_check) {
        if (const int rc = check_blank(address, length); rc != 0) return rc;
    }
    const int rc = EFS_physical_write(address, length, data);
    if (rc != 0) return rc;
    if (stored != nullptr) *stored = true;
    for (uint32_t t = 0; t < retries(); ++t) {
        const int read = EFS_physical_read(address, length, verify);
        if (read != 0) return read;
        if (std::memcmp(verify, data, length) == 0) return 0;
    }
    return 41;
}

}  // namespace dorv::efs

DORV_C_BEGIN

int EFS_read_and_verify_data_block_header_and_footer(uint32_t physical_block,
                                                     uint8_t check_footer, uint8_t whole_block) {
    // The footer lies outside a header-only read.
    if (check_footer != 0 && whole_block == 0) return 22;
    if (dorv::efs::retries() == 0) return 41;
    uint32_t address = 0;
    if (!dorv::efs::data_block_address(physical_block, 0, &address)) return 22;
    const uint32_t length = whole_block != 0 ? fmt::kBlockSize : fmt::kDataHeaderSize;
    uint8_t* buf = efs_ctx.block_buf;
    for (uint32_t t = 0; t < dorv::efs::retries(); ++t) {
        const int rc = EFS_physical_read(address, length, buf);
        if (rc != 0) return rc;
        if (!dorv::efs::header_crc_holds(buf)) continue;
        if (check_footer != 0 &&
            EFS_crc32(0, buf + fmt::kPayloadOffset, fmt::kPayloadSize) != le::load32(buf + fmt::kFooterOffset)) {
            continue;
        }
        return 0;
    }
    return 41;
}

int EFS_read_and_verify_file(uint8_t logical_block, uint16_t payload_offset,
                             uint8_t use_stored_length, uint16_t expected_length) {
    if (logical_block >= dorv::efs::valid_blocks() || dorv::efs::retries() == 0 ||
        efs_ctx.valid_map == nullptr) {
        return 41;
    }
    // A record must start where its header fits in the payload, and its data
    // must end inside the payload, so nothing lands past block_buf.
    if (payload_offset > fmt::kMaxRecordOffset) return 22;
    const uint32_t room = fmt::kFileDataMax - payload_offset;
    if (use_stored_length == 0 && expected_length > room) return 22;
    uint32_t address = 0;
    if (!dorv::efs::data_block_address(efs_ctx.valid_map[logical_block],
                                       fmt::kPayloadOffset + payload_offset, &address)) {
        return 41;
    }
    uint8_t* buf = efs_ctx.block_buf;
    for (uint32_t t = 0; t < dorv::efs::retries(); ++t) {
        if (EFS_physical_read(address, fmt::kRecordHeaderSize, buf) != 0) return 41;
        const uint16_t length = le::load16(buf + fmt::kRecordLengthOffset);
        const uint16_t stored = le::load16(buf + fmt::kRecordCrcOffset);
        uint32_t crc = EFS_crc16(logical_block, buf + fmt::kRecordLengthOffset, 2);
        uint32_t n = expected_length;
        if (use_stored_length != 0) {
            if (length == fmt::kRecordEmpty) {
                if (crc == stored) return 2;
                // A damaged empty record still means empty when the block
                // as a whole verifies.
                return EFS_read_and_verify_data_block_header_and_footer(
                           efs_ctx.valid_map[logical_block], 1, 1) == 0
                           ? 2
                           : 41;
            }
            n = std::min<uint32_t>(length, room);
        }
        if (n > 0) {
            if (EFS_physical_read(address + fmt::kRecordHeaderSize, n, buf + fmt::kRecordHeaderSize) != 0) {
                return 41;
            }
            crc = EFS_crc16(crc, buf + fmt::kRecordHeaderSize, n);
        }
        if (crc == stored) return 0;
    }
    return 41;
}

int EFS_write_with_read_check(uint32_t address, uint32_t length, const uint8_t* data,
                              uint8_t blank_check) {
    if (length == 0 || length > fmt::kBlockSize || data == nullptr ||
        !dorv::efs::admit_outside_write(address, length)) {
        return 22;
    }
    // A spare counts as used only once the write reached it: a refused or
    // blank-check-failed write leaves the mount's spare statuses as they were.
    bool stored = false;
    const int rc = dorv::efs::write_verified(address, length, data, blank_check != 0, &stored);
    if (stored) dorv::efs::note_outside_write(address, length);
    return rc;
}

DORV_C_END

int EFS_write_with_read_check(uint32_t address, const uint8_t (&header)[16], uint8_t blank_check) {
    return dorv::efs::write_verified(address, sizeof header, header, blank_check != 0);
}
