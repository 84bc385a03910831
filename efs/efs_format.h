// On-flash layout of the EFS image: every size and offset the EFS code uses,
// in one place. Fields are little-endian and read through common/le_bytes.h.
#ifndef DORV_EFS_EFS_FORMAT_H
#define DORV_EFS_EFS_FORMAT_H

#include <cstdint>

#include "dorv/efs.h"

namespace dorv::efs::fmt {

constexpr uint32_t kBlockSize = EFS_BLOCK_SIZE;

// Block-manager header, at offset 0 of a BM block.
constexpr uint32_t kBmHeaderSize = 16;
constexpr uint32_t kBmVersionOffset = 0;     // uint16, 1
constexpr uint32_t kBmSkuOffset = 2;         // uint16
constexpr uint32_t kBmGenerationOffset = 4;  // uint32
constexpr uint32_t kBmCountOffset = 8;       // uint8 B
constexpr uint32_t kBmValidOffset = 9;       // uint8 V
constexpr uint32_t kBmSpareOffset = 10;      // uint8 S
constexpr uint32_t kBmLayoutOffset = 11;     // uint8
constexpr uint32_t kBmVersion = 1;
// Both headers keep the CRC-32 of their first 12 bytes at offset 12; zeroing
// these 4 bytes before an erase kills the header.
constexpr uint32_t kHeaderCrcOffset = 12;
constexpr uint32_t kHeaderCrcSpan = 12;

// Block-manager entries follow the header back to back; a slot is used only
// when it ends at or before this byte.
constexpr uint32_t kFirstBmeOffset = 16;
constexpr uint32_t kBmeSlotEnd = 4095;
// Behind the two maps of a BME: reserved_a, reserved_b, crc32.
constexpr uint32_t kBmeTrailerSize = 12;
constexpr uint32_t kBmeCrcBack = 4;  // the crc32 is the last 4 bytes

// Data block: header, payload, footer (CRC-32 of the payload).
constexpr uint32_t kDataHeaderSize = EFS_BLOCK_HEADER_SIZE;
constexpr uint32_t kDataEraseCountOffset = 0;
constexpr uint32_t kPayloadOffset = EFS_BLOCK_HEADER_SIZE;
constexpr uint32_t kPayloadSize = EFS_PAYLOAD_SIZE;
constexpr uint32_t kFooterOffset = EFS_FOOTER_OFFSET;
constexpr uint32_t kFooterSize = 4;

// File record inside a payload: length, crc16, data.
constexpr uint32_t kRecordHeaderSize = 4;
constexpr uint32_t kRecordLengthOffset = 0;
constexpr uint32_t kRecordCrcOffset = 2;
constexpr uint16_t kRecordEmpty = 0xFFFF;
constexpr uint32_t kFileDataMax = EFS_FILE_DATA_MAX;
// Highest payload offset a record header fits at.
constexpr uint32_t kMaxRecordOffset = kPayloadSize - kRecordHeaderSize;

// "RDFS", written over the first four bytes of the image.
constexpr uint32_t kRdfsMarker = 0x53464452;

}  // namespace dorv::efs::fmt

#endif
