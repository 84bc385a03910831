// On-flash layout of an AFS partition: erase units, their headers, the
// metadata and data unit bodies, and the sizes derived from them. Every AFS
// source reads and writes flash through these names.
#ifndef DORV_AFS_AFS_LAYOUT_H
#define DORV_AFS_AFS_LAYOUT_H

#include <cstdint>

#include "dorv/afs.h"

namespace dorv::afs::layout {

// Erase units and pages.
inline constexpr uint32_t kEuSize = 8192;
inline constexpr uint32_t kEuShift = 13;
inline constexpr uint32_t kEraseBlock = 4096;
inline constexpr uint32_t kPageSize = 64;
inline constexpr uint32_t kPageShift = 6;
inline constexpr uint32_t kRecordSize = 66;  // page bytes + little-endian crc16
inline constexpr uint32_t kMaxUnits = 255;   // the unit count is kept in 8 bits

// Unit header (bytes 0-17 of every unit).
inline constexpr uint32_t kHdrMagic = 0;
inline constexpr uint32_t kHdrSequence = 4;
inline constexpr uint32_t kHdrEraseCount = 8;
inline constexpr uint32_t kHdrAux = 12;
inline constexpr uint32_t kHdrId = 14;
inline constexpr uint32_t kHdrCrc = 16;
inline constexpr uint32_t kHdrComplete = 17;
inline constexpr uint32_t kHdrSize = 18;
inline constexpr uint32_t kHdrCrcSpan = 16;   // bytes covered by the crc
inline constexpr uint32_t kHdrFirstWrite = 17; // bytes 0-16, written before complete
inline constexpr uint32_t kHdrProbe = 20;      // header + first map entry / two status bytes

inline constexpr uint32_t kMagic = 0xAA557887u;
inline constexpr uint32_t kMagicAltA = 0x82416801u;  // accepted with either crc
inline constexpr uint32_t kMagicAltB = 0xAA050887u;  // accepted with the crc of kMagic
inline constexpr uint8_t kComplete = 0x00;
inline constexpr uint8_t kIncomplete = 0xFF;

// Metadata unit body.
inline constexpr uint32_t kMetaMap = 18;          // 121 16-bit map entries
inline constexpr uint32_t kMetaMapEntries = 121;
inline constexpr uint32_t kMetaSlots = 120;
inline constexpr uint32_t kMetaRecords = 260;     // + slot x 66
inline constexpr uint16_t kMapErased = 0xFFFF;
inline constexpr uint16_t kMapEndMark = 0x7FFF;
inline constexpr uint8_t kEndMarkByte = 0x7F;     // high byte of the next entry
inline constexpr uint16_t kMapCommitBit = 0x8000;

// Data unit body.
inline constexpr uint32_t kDataStatus = 18;       // one status byte per slot
inline constexpr uint32_t kDataSlots = 122;
inline constexpr uint32_t kDataRecords = 140;     // + slot x 66
inline constexpr uint32_t kDataUnitBytes = kDataSlots * kPageSize;  // 7808 logical bytes
inline constexpr uint8_t kStatusFree = 0xFF;
inline constexpr uint8_t kStatusBegun = 0x7F;
inline constexpr uint8_t kStatusWritten = 0x00;

// Runs moved with one read (and one write) fit one half of the work buffer.
inline constexpr uint32_t kMaxRunPages = 62;
inline constexpr uint32_t kWorkBuffer = 8192;
// Reads of one write's verification, and of one checked read.
inline constexpr uint32_t kTries = 7;

inline constexpr uint32_t meta_record_offset(uint32_t slot) { return kMetaRecords + slot * kRecordSize; }
inline constexpr uint32_t meta_entry_offset(uint32_t entry) { return kMetaMap + 2 * entry; }
inline constexpr uint32_t data_record_offset(uint32_t slot) { return kDataRecords + slot * kRecordSize; }
inline constexpr uint32_t data_status_offset(uint32_t slot) { return kDataStatus + slot; }

// Data units of a layout: (vas - data_start) / 7808, 0 when vas < data_start.
inline constexpr uint32_t data_unit_count(uint32_t vas, uint32_t data_start) {
    return vas > data_start ? (vas - data_start) / kDataUnitBytes : 0;
}

// Bits of the chunk bitmap: every chunk and every data page slot of the data
// units (the rebuild of the allocation map visits the latter). Words of 32.
inline constexpr uint32_t bitmap_bits(uint32_t chunks, uint32_t vas, uint32_t data_start) {
    const uint32_t pages = data_unit_count(vas, data_start) * kDataSlots;
    return chunks > pages ? chunks : pages;
}
inline constexpr uint32_t bitmap_words(uint32_t chunks, uint32_t vas, uint32_t data_start) {
    return (bitmap_bits(chunks, vas, data_start) + 31) / 32;
}
// The bitmap size every user of ctx->bitmap allocates and checks against.
inline uint32_t bitmap_words(const afs_context_t& ctx) { return bitmap_words(ctx.chunks, ctx.vas, ctx.data_start); }
inline uint32_t bitmap_bits(const afs_context_t& ctx) { return bitmap_bits(ctx.chunks, ctx.vas, ctx.data_start); }

// ---- Logical layout of a partition (header, file table, link table) ----

// Header at logical address 0.
inline constexpr uint32_t kPartMagic = 0x724F6201u;
inline constexpr uint32_t kPartMagicAt = 0;
inline constexpr uint32_t kPartWordAt = 4;     // bits 0-7 first caller value, 8-19 second
inline constexpr uint32_t kPartSizeAt = 8;     // logical size in bytes
inline constexpr uint32_t kPartFilesAt = 12;   // 16-bit count of file ids
inline constexpr uint32_t kPartHeaderBytes = 14;
inline constexpr uint32_t kPartTable = 14;     // 16-bit entries indexed by id

// File-table entry values.
inline constexpr uint16_t kFileFree = 0;
inline constexpr uint16_t kFileZombie = 0xFFFE;
inline constexpr uint16_t kFileEmpty = 0xFFFF;
// Link-table entry values below the first chunk id: bytes held by a last chunk.
inline constexpr uint16_t kLinkFree = 0;
inline constexpr uint16_t kChunkBytes = 64;
inline constexpr uint32_t kChunkCost = 66;     // data bytes plus the 2-byte link

// Mount bounds.
inline constexpr uint32_t kMinFiles = 65;      // chunk ids then never look like byte counts
inline constexpr uint32_t kMaxFiles = 2048;
inline constexpr uint32_t kMinPartition = 0x8000;
inline constexpr uint32_t kMaxPartition = 0x200000;
inline constexpr uint32_t kMinLineSize = 64;
inline constexpr uint32_t kMaxLineSize = 0xFFFF;
inline constexpr uint32_t kMinLines = 2;
inline constexpr uint32_t kMaxLines = 1000;
inline constexpr uint32_t kMaxFileSize = 0x40000;
// Chunks of the largest file: a longer chain is corrupt.
inline constexpr uint32_t kMaxFileChunks = kMaxFileSize / kChunkBytes;
inline constexpr uint32_t kBounceBytes = 4096;
// A new partition keeps this many free slots in its metadata units, so that
// the metadata reclaim always finds room.
inline constexpr uint32_t kMetaSlack = 30;

inline constexpr uint32_t entry_address(uint32_t id) { return kPartTable + 2 * id; }
// Chunk count and data start of a logical size (same formulas for every mount).
inline constexpr uint16_t chunks_of(uint32_t vas, uint32_t files) {
    return vas >= 2 * files + kPartTable ? static_cast<uint16_t>((vas - 2 * files - kPartTable) / kChunkCost) : 0;
}
inline constexpr uint32_t data_start_of(uint32_t files, uint32_t chunks) {
    return (kPartTable + 2 * files + 2 * chunks + kPageSize - 1) & ~(kPageSize - 1);
}

}  // namespace dorv::afs::layout

#endif
