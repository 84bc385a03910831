// Internals of DFS and the mini VFS: the store bits of a file number, the two
// rules that fold the codes of AFS and EFS, the packing of a file-table entry
// into a number, and the module state. Nothing here is exported.
#ifndef DORV_API_DFS_INTERNAL_H
#define DORV_API_DFS_INTERNAL_H

#include <cstdint>

#include "dorv/dfs.h"
#include "dorv/file_table.h"

namespace dorv::dfs {

// AFS mount parameters of the PQS image: 64-byte cache lines, 10 lines, 1024
// files, the partition at offset 0, and the flag word "keep the size table,
// work through and mount the translation layer, bind the image" (no header
// creation, no format: only a partition that is already there mounts).
constexpr uint32_t kMountLineSize = 64;
constexpr uint32_t kMountLines = 10;
constexpr uint32_t kMountFiles = 1024;
constexpr uint32_t kMountFlags = AFS_INIT_SIZE_TABLE | AFS_INIT_FTL | AFS_INIT_MOUNT_FTL | AFS_INIT_BIND_DEVICE;
static_assert(kMountFlags == 0x20025);
constexpr uint32_t kBounceBufferSize = 4096;

// The line cache never holds more than this many bytes, whatever the line size.
constexpr uint32_t kCacheBytes = 8192;

constexpr uint32_t kStoreShift = 11;
constexpr uint32_t kStoreBits = 0x3;
constexpr uint32_t kIndexBits = 0x7FF;
constexpr uint32_t kTopBits = 0xF0000000u;
// The number without the store bits and the top four bits: the file id that
// AFS or the file index that EFS gets for read, write and size.
constexpr uint32_t kStoreIndexMask = 0x0FFFE7FFu;

inline uint32_t store_of(dfs_file_number_t number) { return (number >> kStoreShift) & kStoreBits; }
inline uint32_t store_index_of(dfs_file_number_t number) { return number & kStoreIndexMask; }

// The two ways a code of AFS or EFS comes back through DFS: the codes a rule
// lets through pass unchanged, every other one (negative ones included)
// becomes STORAGE_IO_ERROR.
enum class FoldRule { Read, Write };
int fold(FoldRule rule, int64_t code);

// The file number of one file-table entry: the top four bits of its file
// number, the low 11 bits of its store index, and its store selector from
// bit 11 on (a selector of 1 adds nothing; the selector is not masked).
dfs_file_number_t file_number_of(const file_table_entry_t* entry);

// Module state: whether the current dfs_context is mounted.
extern bool g_mounted;

// Releases the current context and everything AFS allocated for it, leaving
// dfs_context null; also the reset used by tests.
void release_context();

}  // namespace dorv::dfs

#endif
