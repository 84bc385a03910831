// AFS flash file system: the context of one mounted partition, the flash
// translation layer, the line cache, the checksums and the emulated SPI flash
// underneath. A host tool allocates a zeroed afs_context_t, supplies its
// bounce buffer and calls these functions directly.
#ifndef DORV_AFS_H
#define DORV_AFS_H

#include <stdint.h>

#include "dorv/export.h"

/* Status codes. Numbered like the POSIX errno values; the two internal codes
   pass only between the translation layer and the file layer. */
#define STORAGE_OK 0u
#define STORAGE_NO_FILE 2u
#define STORAGE_DEVICE_WRITE_ERROR 4u
#define STORAGE_IO_ERROR 5u
#define STORAGE_AGAIN 11u
#define STORAGE_NO_MEMORY 12u
#define STORAGE_INVALID_ARGUMENT 22u
#define STORAGE_FILE_TOO_LARGE 27u
#define STORAGE_NO_SPACE 28u
#define STORAGE_CACHE_BROKEN 99u
#define STORAGE_FLUSH_AND_RETRY 0xFFFDu
#define STORAGE_RECLAIM_NO_GAIN 0x9797u

/* Mount flags of afs_physical_ftl_init. */
#define AFS_FTL_ALLOCATE_STATE 0x10000u
#define AFS_FTL_BIND_DEVICE 0x20000u

/* Unit and slot "none" values of the translation layer's state. */
#define AFS_FTL_NONE 0xFFFFFFFFu

/* Victim kinds of the reclaim. */
#define AFS_RECLAIM_META 0u
#define AFS_RECLAIM_DATA 1u
#define AFS_RECLAIM_ANY 2u

DORV_C_BEGIN

typedef struct afs_context_t afs_context_t;

#pragma pack(push, 1)
/* Header of an erase unit, bytes 0-17 of every unit (little-endian on flash;
   the library reads and writes it field by field). */
typedef struct afs_eu_header_t {
    uint32_t magic;
    uint32_t sequence;
    uint32_t erase_count;
    uint16_t aux;
    uint16_t id;
    uint8_t crc;
    uint8_t complete;
} afs_eu_header_t;
#pragma pack(pop)

/* The translation layer's record of one erase unit. */
typedef struct afs_eu_info_t {
    uint32_t sequence;
    uint32_t erase_count;
    uint16_t id;
    uint8_t not_valid;
    uint8_t free;
} afs_eu_info_t;

/* Where one metadata page lives: unit index and slot, 0xFF/0xFF unmapped. */
typedef struct afs_page_map_entry_t {
    uint8_t eu;
    uint8_t slot;
} afs_page_map_entry_t;

/* Mount state of the translation layer, owned by the context. */
typedef struct afs_ftl_state_t {
    uint32_t max_sequence;
    uint32_t current_meta_eu;
    uint32_t next_meta_slot;
    uint32_t window_next;
    uint32_t window_end;
    afs_eu_info_t* eu_info;
    afs_page_map_entry_t* page_map;
    uint16_t spare_eu;
    uint16_t chain_last;
    uint8_t check_status;
    uint8_t retry_signalled;
    uint8_t eu_count;
    uint8_t meta_eu_count;
    uint8_t full_reclaim_cursor;
    /* Private. */
    uint16_t unfinished_eu;      /* accepted reclaim target whose complete byte is still open; 0xFFFF none */
    uint32_t eu_info_capacity;   /* records allocated in eu_info */
    uint32_t page_map_capacity;  /* entries allocated in page_map */
    /* Last unit found for each of the first 256 data-unit groups (0xFF none);
       a hint, checked against the unit's record before it is used. */
    uint8_t group_unit[256];
} afs_ftl_state_t;

/* The five physical operations every context points to. Each moves the one
   64-byte page that holds the address; length and base are not used. */
typedef struct afs_ops_t {
    uint32_t (*read)(afs_context_t* ctx, uint32_t address, uint32_t length, uint8_t* buffer, uint32_t base);
    uint32_t (*write)(afs_context_t* ctx, uint32_t address, uint32_t length, const uint8_t* buffer,
                      uint32_t base);
    uint32_t (*trim)(afs_context_t* ctx, uint32_t address, uint32_t length, uint32_t base);
    uint32_t (*force_full_reclaim)(afs_context_t* ctx);
    uint32_t (*force_dirty_erase)(afs_context_t* ctx);
} afs_ops_t;

/* Line cache descriptor: link word (bit 0 valid, bit 1 dirty, bits 2-15 next
   descriptor, 0xFFF ends the list) and the line number held. */
typedef struct afs_cache_entry_t {
    uint16_t link;
    uint16_t tag;
} afs_cache_entry_t;

/* One mounted AFS partition. Zeroed by its owner before the first mount. */
struct afs_context_t {
    uint32_t data_start;
    int32_t alloc_cursor;
    uint32_t base;
    uint32_t size;
    uint32_t vas;
    uint32_t header_word;
    uint32_t last_fat_page;
    afs_ftl_state_t* ftl_state;
    const afs_ops_t* ops;
    uint32_t* bitmap;
    afs_cache_entry_t* cache_entries;
    uint16_t mru_head;
    uint32_t* size_table;
    uint8_t* cache_buffer;
    uint8_t* bounce_buffer;
    uint16_t chunks;
    uint16_t line_size;
    uint16_t lines;
    uint16_t files;
    uint8_t ftl_alloc;
    uint8_t read_only;
    uint8_t idle_reclaim_enabled;
    uint8_t* image;
    /* Private: set by the partition layer after a successful mount. */
    uint8_t mounted;
    /* Private: the geometry the line cache was built with, and its per-page
       dirty marks (lines x line size / 64 bytes, kept in the cache_buffer
       allocation after the line bytes, so freeing cache_buffer frees them). */
    uint32_t cache_built_line_size;
    uint32_t cache_built_lines;
    uint8_t* cache_page_dirty;
};

/* ---- Emulated SPI flash ---- */

DORV_API extern uint8_t* gpBuffer;

/* Binds a device of unknown length: every access fails until a mount binds the
   partition's image with its extent. */
DORV_API uint32_t SpiFlashDrvInitialize(uint8_t* buffer);
/* Does nothing; always 0. */
DORV_API uint32_t SpiFlashDrvDeinitialize(void);
/* 0, or 5 when no device is bound or the range leaves the bound extent. */
DORV_API uint32_t SpiDrvRead(uint32_t offset, uint32_t length, uint8_t* destination);
/* Overwrites the bytes: 0, or 5 as for a read. */
DORV_API uint32_t SpiDrvWrite(uint32_t offset, uint32_t length, const uint8_t* source);
/* Sets the 4096 bytes from offset to 0xFF: 0, or 5 outside the bound extent. */
DORV_API uint32_t SpiDrvEraseBlock(uint32_t offset);
/* base + offset is taken as an offset into the bound device. */
DORV_API uint32_t mg_copyfrom(void* context, uint32_t base, uint32_t offset, uint8_t* destination,
                              uint32_t ignored, uint32_t length);
DORV_API uint32_t mg_copyto(void* context, uint32_t base, uint32_t offset, const uint8_t* source,
                            uint32_t ignored, uint32_t length);

/* ---- Checksums ---- */

DORV_API extern const uint8_t gCrc8_low[16];
DORV_API extern const uint8_t gCrc8_high[16];

/* Polynomial 0x1021 MSB first from 0xFFFF over the data, then over the seed's
   two bytes, low first (a null seed counts as 0); null data or a length of 0
   or less covers no data. */
DORV_API uint16_t crc16(const uint8_t* data, int32_t length, const uint16_t* seed);
/* The CRC-16 steps from 0x3FFF, the register cut to 14 bits after each byte. */
DORV_API uint16_t crc14(const uint8_t* data, int32_t length);
/* Polynomial 0x07 from 0x01, no final XOR; 0x01 for null data. */
DORV_API uint8_t crc8(const uint8_t* data, uint32_t length);

/* ---- Flash translation layer: format and mount ---- */

/* Mounts the translation layer over `size` bytes of erase units: reads every
   unit header and the page maps of the metadata units, finds the spare and
   an unfinished reclaim target (completed before the next change); writes
   nothing. The flags allocate the state and bind the device. 0, 5 (not a
   mountable layer), 12, 22. */
DORV_API uint32_t afs_physical_ftl_init(afs_context_t* ctx, uint32_t size, uint32_t flags);
/* Writes a fresh layer: every unit headered as metadata, data or (the last)
   spare; erase non-zero erases every unit first, else only those not blank. */
DORV_API uint32_t afs_physical_ftl_format(afs_context_t* ctx, uint32_t erase);
/* Bytes of data area the layer gives a partition of ctx->size bytes; 0 for
   none. */
DORV_API uint32_t afs_physical_ftl_get_data_vas(afs_context_t* ctx, uint32_t unused);
/* Replays the page map of one metadata unit into the state (the mount's
   step); current non-zero for the unit that takes the next writes. */
DORV_API uint32_t ftl_process_pages(afs_context_t* ctx, uint32_t unit, uint32_t current);

/* ---- Flash translation layer: pages and allocation ---- */

DORV_API extern const afs_ops_t afs_physical_spi_handler;

/* Reads the 64-byte logical page holding `address`, CRC checked; an
   unmapped metadata page reads as zeros. */
DORV_API uint32_t afs_physical_ftl_read_page(afs_context_t* ctx, uint32_t address, uint32_t length,
                                             uint8_t* buffer, uint32_t base);
/* Writes the 64-byte logical page holding `address`: a metadata page out of
   place into the current metadata unit, a data page into its fixed slot. */
DORV_API uint32_t afs_physical_ftl_write_page(afs_context_t* ctx, uint32_t address, uint32_t length,
                                              const uint8_t* buffer, uint32_t base);
/* Forgets the page holding `address` (it becomes obsolete); changes memory
   only. */
DORV_API uint32_t afs_physical_ftl_trim_page(afs_context_t* ctx, uint32_t address, uint32_t length,
                                             uint32_t base);
/* buffer holds count x 66 bytes; on success the first count x 64 hold the pages. */
DORV_API uint32_t afs_physical_ftl_read_data_pages(afs_context_t* ctx, uint8_t* buffer, uint32_t address,
                                                   uint32_t count);
/* Reads count records from `slot` of data unit `unit`, each CRC checked
   against its page number from first_page on; buffer as above. */
DORV_API uint32_t read_ftl_data_pages(afs_context_t* ctx, uint32_t unit, uint32_t slot, uint32_t count,
                                      uint32_t first_page, uint8_t* buffer);
/* Hands out a chunk whose data slot reads free, from the allocation window;
   28 when none is left. */
DORV_API uint32_t afs_physical_ftl_allocate_page(afs_context_t* ctx, uint16_t* chunk);
/* Rebuilds each data unit's free and obsolete counts from its status bytes
   and the chunk bitmap, and resets the allocation window. */
DORV_API uint32_t afs_physical_ftl_set_allocation_map(afs_context_t* ctx);

/* ---- Flash translation layer: reclaim and wear rule ---- */

/* Reclaims unit `victim` through the spare (copy non-zero copies its live
   pages first), the victim becoming the new spare; 28 for no victim or the
   spare, STORAGE_RECLAIM_NO_GAIN when the reclaim freed nothing. */
DORV_API uint32_t reclaim_eu(afs_context_t* ctx, uint32_t victim, uint32_t copy);
/* Writes the spare's new header (next sequence, erase count + 1, the victim
   as aux) and zeroes the victim's magic: the reclaim's commit. */
DORV_API uint32_t reclaim_eu_write_eu_header(afs_context_t* ctx, uint32_t spare, uint32_t victim,
                                             uint32_t spare_offset, uint32_t victim_offset);
/* Copies the live data run of count slots from first_slot of the victim into
   the same slots of the spare; work holds 8192 bytes. */
DORV_API uint32_t ftl_copy_pages(afs_context_t* ctx, uint32_t victim, uint32_t spare, uint32_t first_slot,
                                 uint32_t count, uint8_t* work);
/* Unit index or 0xFFFFFFFF when no unit is eligible. */
DORV_API uint32_t choose_eu_to_reclaim(afs_context_t* ctx, uint32_t kind, uint32_t wear, uint32_t* copy,
                                       uint32_t idle);
/* Chooses a victim of `kind` (AFS_RECLAIM_*) and reclaims it; when that
   gains nothing, tries the choice without the wear rule once. */
DORV_API uint32_t reclaim_eu_wrapper(afs_context_t* ctx, uint32_t kind);
/* 1 with the unit and kind to reclaim when the layer is short of room, free
   slots or holds a wholly obsolete unit; 0 otherwise (and for an unusable
   context). */
DORV_API uint32_t afs_physical_ftl_idle_reclaim_needed(afs_context_t* ctx, uint32_t* unit, uint32_t* kind);
/* One idle reclaim step when a victim worth copying is found; else 0. */
DORV_API uint32_t afs_physical_ftl_idle_reclaim(afs_context_t* ctx);
/* Reclaims the next data unit of a sweep, one per call: 11 while the sweep
   goes on, 0 when it is done. */
DORV_API uint32_t afs_physical_ftl_force_full_reclaim(afs_context_t* ctx);
/* Zeroes the records of obsolete data slots and of the spare. */
DORV_API uint32_t afs_physical_ftl_force_dirty_erase(afs_context_t* ctx);
/* Reclaims unit 0 unless it is the spare, then unit 1 unless it has become
   the spare; a reclaim that frees nothing counts as done. */
DORV_API uint32_t afs_physical_ftl_end_reserved_files_mode(afs_context_t* ctx);

/* ---- Line cache ---- */

/* (Re)builds the line cache with `lines` lines of line_size bytes (a
   multiple of 64); what the old cache held unflushed is dropped. */
DORV_API uint32_t cache_init(afs_context_t* ctx, uint32_t line_size, uint32_t lines);
/* Points *out at the cached bytes of table line `line`, reading it in (and
   evicting the least recently used line) on a miss. */
DORV_API uint32_t cache_ptr(afs_context_t* ctx, uint32_t line, uint8_t** out);
/* Marks the 64-byte page of the line slot that `pointer` falls in as changed
   (pass a pointer into the bytes that were changed). */
DORV_API void cache_line_written(afs_context_t* ctx, const uint8_t* pointer);
/* Writes every changed page back, least recently used line first. */
DORV_API uint32_t cache_flush(afs_context_t* ctx);
/* Drops every cached line, changed or not. */
DORV_API void cache_invalidate(afs_context_t* ctx);

/* Partition and file operations */

/* Flags of afs_init. */
#define AFS_INIT_SIZE_TABLE 0x1u
#define AFS_INIT_NOT_FTL 0x2u
#define AFS_INIT_FTL 0x4u
#define AFS_INIT_READ_ONLY 0x8u
#define AFS_INIT_CREATE 0x10u
#define AFS_INIT_MOUNT_FTL 0x20u
#define AFS_INIT_CLEAR 0x40u
#define AFS_INIT_PRELOAD 0x80u
#define AFS_INIT_FORCE_FORMAT 0x100u
#define AFS_INIT_BIND_DEVICE 0x20000u
#define AFS_INIT_FORMAT 0x40000u
#define AFS_INIT_FORMAT_ERASE 0x80000u

/* afs_mark_zombie_file: the id holds a file or is reserved already. */
#define STORAGE_ID_IN_USE 99u

/* Flag of afs_writefile: the file ends where the write ends. */
#define AFS_WRITE_TRUNCATE 0x1u

/* Mounts the partition of `size` bytes at `base` of `image` (creating or
   formatting it when the flags allow). header1/header2 go into the header
   word of a newly created partition. */
DORV_API uint32_t afs_init(afs_context_t* ctx, uint8_t* image, uint32_t line_size, uint32_t lines,
                           uint32_t files, uint32_t base, uint32_t size, uint32_t flags, uint32_t header1,
                           uint32_t header2);
/* Rebuilds the cache of a mounted partition with another geometry; 22 for
   a geometry outside the limits or an unmounted context. */
DORV_API uint32_t afs_setcache(afs_context_t* ctx, uint32_t line_size, uint32_t lines);
/* Frees what the mount allocated; the context and its bounce buffer stay. */
DORV_API void afs_free_context(afs_context_t* ctx);
/* Frees the table of file sizes; sizes are then read from the chains. */
DORV_API void afs_free_file_size_table(afs_context_t* ctx);
/* Reads and validates the table entry of a file or chunk id. */
DORV_API uint32_t afs_get_next_cid(afs_context_t* ctx, uint16_t id, uint16_t* entry);
/* Takes a free chunk id for a file and marks it in the chunk bitmap. */
DORV_API uint32_t afs_allocate_chunk(afs_context_t* ctx, uint16_t* chunk);
/* Releases the link-table page judged last when `chunk_index` moved past it
   and none of its chunks is allocated. */
DORV_API void afs_trim_fat_page_if_needed(afs_context_t* ctx, uint32_t chunk_index);

/* The file's size in bytes: 0, 2 (no such file), 22. */
DORV_API uint32_t afs_getfilesize(afs_context_t* ctx, int32_t id, uint32_t* size);
/* Reads up to *length bytes from `offset`; *length becomes the bytes read. */
DORV_API uint32_t afs_readfile(afs_context_t* ctx, int32_t id, uint32_t offset, int32_t* length,
                               uint8_t* destination);
/* Writes `length` bytes at `offset` copy-on-write: the file reads wholly old
   or wholly new after a power loss. AFS_WRITE_TRUNCATE ends the file there. */
DORV_API uint32_t afs_writefile(afs_context_t* ctx, int32_t id, uint32_t offset, uint32_t length,
                                const uint8_t* source, uint32_t flags);
/* Frees the file's entry, then its chunks: 0, 2 (no such file), or a code. */
DORV_API uint32_t afs_deletefile(afs_context_t* ctx, int32_t id);
/* Reserves a free id until the next mount: 0, STORAGE_ID_IN_USE, or a code. */
DORV_API uint32_t afs_mark_zombie_file(afs_context_t* ctx, int32_t id);

/* The maintenance calls of a writable mount (22 otherwise): one idle
   reclaim step; whether one is needed (1 or 0, and 0 for a context that
   cannot reclaim); a forced full reclaim step; a forced dirty erase. */
DORV_API uint32_t afs_idle_reclaim(afs_context_t* ctx);
DORV_API uint32_t afs_idle_reclaim_needed(afs_context_t* ctx);
DORV_API uint32_t afs_force_full_reclaim(afs_context_t* ctx);
DORV_API uint32_t afs_force_dirty_erase(afs_context_t* ctx);
/* The context's idle-reclaim flag (0 for a null context), and setting it. */
DORV_API uint32_t afs_get_idle_reclaim_enabled(afs_context_t* ctx);
DORV_API void afs_set_idle_reclaim_enabled(afs_context_t* ctx);

/* Direct access to the partition's bytes, without translation: read and
   write 0, 5 outside the partition, 22 for a null context; trim does
   nothing and answers 0. */
DORV_API uint32_t afs_sub_pt_read(afs_context_t* ctx, uint32_t address, uint32_t length, uint8_t* destination);
DORV_API uint32_t afs_sub_pt_write(afs_context_t* ctx, uint32_t address, uint32_t length, const uint8_t* source);
DORV_API uint32_t afs_sub_pt_trim(afs_context_t* ctx, uint32_t address, uint32_t length, uint32_t base);

/* End of partition and file operations */

DORV_C_END

#endif
