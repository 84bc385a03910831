// DFS: the thin layer that sends a file operation to AFS or EFS by the store
// bits of its file number and folds their status codes into the few the API
// tells apart; and the mini VFS, which turns a file-table name into such a
// number. DFS owns the one AFS context of the PQS image.
#ifndef DORV_DFS_H
#define DORV_DFS_H

#include <stdbool.h>
#include <stdint.h>

#include "dorv/afs.h"
#include "dorv/export.h"

/* A file number: bits 0-10 the index in its store, bits 11-12 the store,
   bits 28-31 the top four bits of the file-table file number. 0 is no file. */
typedef uint32_t dfs_file_number_t;

/* Store values of bits 11-12; 1 and 3 are invalid. */
#define DFS_STORE_AFS 0u
#define DFS_STORE_EFS 2u

DORV_C_BEGIN

/* The one AFS context, null until dfs_init. */
DORV_API extern afs_context_t* dfs_context;

/* Mounts the PQS image (an AFS partition at offset 0, `size` bytes). 0, -1
   when the context or its bounce buffer cannot be allocated, otherwise the
   mount's code unchanged. A second call releases the earlier context. */
DORV_API int dfs_init(uint8_t* image, uint32_t size);

/* File operations. Reading, sizing and deleting answer 0, 2, 22 or 5; writing
   answers 0, 22, 27, 28 or 5. */
DORV_API int dfs_getsize(dfs_file_number_t number, uint32_t* size);
/* *length: in, bytes wanted; out, bytes read, as the store sets it. */
DORV_API int dfs_read(dfs_file_number_t number, uint32_t offset, uint32_t* length, uint8_t* buffer);
/* flags bit 0 asks AFS to cut the file at the end of the written range; EFS
   always replaces the whole file. */
DORV_API int dfs_write(dfs_file_number_t number, uint32_t offset, uint32_t length, const uint8_t* data,
                       int flags);
/* AFS files only; the whole number is the file id. */
DORV_API int dfs_delete_file(dfs_file_number_t number);
/* The whole number is the file id; AFS's code unchanged. */
DORV_API int dfs_mark_zombie_file(dfs_file_number_t number);

/* Cache of AFS lines of `page` bytes, at most 8192 bytes in all. */
DORV_API int dfs_set_page_size(uint32_t page);

/* Reclaim controls of AFS, answered unchanged. */
DORV_API int dfs_force_full_reclaim(void);
DORV_API int dfs_force_dirty_erase(void);
/* 22 and 0 while no partition is mounted. */
DORV_API int dfs_idle_reclaim(void);
DORV_API int dfs_idle_reclaim_needed(void);
/* The context's idle-reclaim flag; false without a context. */
DORV_API bool dfs_get_idle_reclaim_enabled(void);
/* Sets the flag (there is no call that clears it). */
DORV_API void dfs_set_idle_reclaim_enabled(void);

/* Always 0. */
DORV_API int dfs_is_fs_erased(void);
/* Always 0; the context stays mounted. */
DORV_API int dfs_terminate(void);

/* ---- Mini VFS ---- */

/* 0 and *out written; 1 out (or name) is null; 2 no entry has that name. */
DORV_API int pathToFileNumber(const char* name, dfs_file_number_t* out);
/* Reads up to `length` bytes at `offset` of the named file into `buffer`.
   0 read; 2 no entry has that name (or the name is null); 6 the read failed.
   The count of bytes read is not reported. */
DORV_API int readVfs(const char* name, uint32_t offset, uint8_t* buffer, uint32_t length);
/* Mounts the PQS image through dfs_init: 0 mounted, else 1. */
DORV_API int mini_vfs_init(uint8_t* image, uint32_t size);

DORV_C_END

#endif
