/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_storage.h - the block-structured storage file and its engine.
 *
 * A storage is a 192-byte file header followed by a data region whose
 * contents its user lays down: typed values, vector records, blocks and the
 * collection header record. One rk_storage_t holds the region behind one of
 * three backings: a growable memory buffer, a file used through a descriptor,
 * or a file mapped into memory.
 *
 * Threading: each storage object has one mutex. rk_storage_write,
 * rk_storage_read, the typed readers and writers, rk_storage_verify,
 * rk_storage_get_stats and rk_storage_close take it for the whole of their
 * work, so single calls from several threads are safe. Multi-field writers
 * (rk_storage_write_header, rk_storage_write_collection_header, a caller's
 * cursor chain) take it once per field: two threads writing to one storage
 * can interleave fields, so callers serialise such writers. rk_storage_sync
 * and rk_storage_alloc_block (counter included) take the lock too. An
 * iterator belongs to one thread.
 * Close and destroy must not race with any other call on the object.
 *
 * Memory: all state of a storage (the object, its path copy, its memory
 * buffers, iterators and mutex) lives in one arena, the caller's or one the
 * storage owns and destroys at close. Scratch buffers of the typed readers
 * and writers come from the allocator hooks and are freed before the call
 * returns.
 *
 * On-disk layout (all integers little-endian, records packed):
 *   storage header, 192 bytes at offset 0:
 *     0 magic u32 0x524B5644 ("DVKR" on disk)   4 version u32 0x00010000
 *     8 created i64   16 modified i64   24 header_size u64 (192)
 *     32 data_size u64 (bytes written through the storage since the header
 *     was made, appends and overwrites alike)   40..191 reserved
 *   block: 32-byte header (block_id u64, payload_size u32, reserved,
 *     state u8 at 20, reserved) and the zero-filled payload.
 *   vector record: id u64, dimension u32, dimension binary32 values.
 *   collection header record: 192 bytes, see rk_storage_collection_header_t.
 *
 * A storage file is validated by its magic and major version only; any minor
 * version is accepted and reserved bytes are ignored.
 */
#ifndef RK_STORAGE_H
#define RK_STORAGE_H

#include "rk_common.h"
#include "rk_error.h"
#include "rk_memory.h"

RK_EXTERN_C_BEGIN

#define RK_STORAGE_MAGIC 0x524B5644u            /**< "RKVD" */
#define RK_STORAGE_VERSION 0x00010000u          /**< major 1, minor 0 */
#define RK_STORAGE_HEADER_SIZE 192u             /**< where the data region begins */
#define RK_STORAGE_BLOCK_HEADER_SIZE 32u
#define RK_STORAGE_COLLECTION_HEADER_SIZE 192u
#define RK_STORAGE_COLLECTION_MAGIC 0x524B434Fu /**< "RKCO" */

/** Backing of a storage. */
typedef enum rk_storage_mode_t {
    RK_STORAGE_MEMORY = 0, /**< growable memory buffer; nothing reaches a file */
    RK_STORAGE_FILE = 1,   /**< file used through a descriptor */
    RK_STORAGE_MAPPED = 2  /**< file mapped into memory */
} rk_storage_mode_t;

/**
 * How a storage file is opened (rk_storage_config_t.access). Files that are
 * created get mode 0644.
 */
typedef enum rk_storage_access_t {
    RK_STORAGE_READ_ONLY = 0,     /**< header read and validated; every write is refused */
    RK_STORAGE_WRITE_ONLY = 1,    /**< refused: the header cannot be read */
    RK_STORAGE_READ_WRITE = 2,    /**< existing file; header read and validated */
    RK_STORAGE_APPEND = 3,        /**< refused: the header cannot be read */
    RK_STORAGE_CREATE = 4,        /**< created if missing, not truncated; a fresh header is written */
    RK_STORAGE_CREATE_TRUNCATE = 5 /**< created or truncated; a fresh header is written */
} rk_storage_access_t;

/** The creation record of a storage; the engine copies it. */
typedef struct rk_storage_config_t {
    int32_t mode;        /**< rk_storage_mode_t */
    int32_t access;      /**< rk_storage_access_t; any other value reads only; ignored in memory mode */
    rk_string_t path;    /**< file path, NUL-terminated (len is ignored); modes 1 and 2 */
    uint64_t page_size;  /**< carried, not used; callers give 4096 */
    uint64_t capacity;   /**< memory mode: initial buffer size, 0 meaning 16 MiB; callers give 64 MiB */
    uint64_t reserved0;  /**< callers give 0 */
    int32_t reserved1;   /**< callers give 0 */
    int32_t reserved2;   /**< callers give 1 */
    int32_t sync;        /**< non-zero: every write is made durable before it returns */
    int32_t reserved3;   /**< callers give 0 */
    uint64_t reserved4;  /**< callers give 1 */
    uint64_t reserved5;  /**< callers give 0 */
} rk_storage_config_t;

/**
 * The first 184 bytes of a storage header, field for field
 * (rk_storage_read_header, rk_storage_write_header).
 */
typedef struct rk_storage_header_t {
    uint32_t magic;
    uint32_t version;
    int64_t created;        /**< seconds since 1970-01-01 UTC */
    int64_t modified;       /**< seconds since 1970-01-01 UTC */
    uint64_t header_size;   /**< 192 */
    uint64_t data_size;
    uint64_t reserved[2];   /**< offsets 40 and 48 */
    uint32_t reserved32[2]; /**< offsets 56 and 60 */
    uint8_t reserved_bytes[120]; /**< offsets 64 to 183 */
} rk_storage_header_t;

/** A block header, as it lies on disk (32 bytes). */
typedef struct rk_storage_block_header_t {
    uint64_t block_id;     /**< the storage's block counter at allocation */
    uint32_t payload_size; /**< payload bytes following the header */
    uint32_t reserved0;
    uint32_t reserved1;
    uint8_t state;         /**< 0 */
    uint8_t reserved2[11];
} rk_storage_block_header_t;

/** Statistics of a storage (rk_storage_get_stats). */
typedef struct rk_storage_stats_t {
    uint64_t total_bytes;      /**< memory mode: buffer capacity; else 0 */
    uint64_t used_bytes;       /**< memory mode: bytes in use; else bytes written since creation or open */
    uint64_t free_bytes;       /**< memory mode: capacity - used; else 0 */
    uint64_t blocks_allocated; /**< blocks allocated since creation or open */
    uint64_t reserved[2];      /**< 0 */
} rk_storage_stats_t;

/**
 * The collection header record: 192 packed bytes on disk, in this field
 * order (offsets in the record):
 *   0 magic u32, 4 version u32, 8 created_at i64, 16 modified_at i64,
 *   24 name[64], 88 dimension u32, 92 metric u32, 96 index_type u32
 *   (0xFFFFFFFF: no index), 100 count u32, 104 next_id u64, 112 hnsw_m u32,
 *   116 hnsw_ef_construction u32, 120 hnsw_ef_search u32, 124 ivf_nlist u32,
 *   128 ivf_nprobe u32, 132 data_offset u64, 140 data_size u64,
 *   148 reserved u64[4], 180 index_threshold u32, 184 checksum u32,
 *   188 reserved_tail[4].
 * The struct is packed to the same 192 bytes and offsets, so a record can
 * be copied to or from a file image as it lies. The u64 fields from offset
 * 132 on are not 8-aligned: take them by value, never by address.
 */
#pragma pack(push, 1)
typedef struct rk_storage_collection_header_t {
    uint32_t magic;
    uint32_t version;
    int64_t created_at;
    int64_t modified_at;
    char name[64];
    uint32_t dimension;
    uint32_t metric;
    uint32_t index_type;
    uint32_t count;
    uint64_t next_id;
    uint32_t hnsw_m;
    uint32_t hnsw_ef_construction;
    uint32_t hnsw_ef_search;
    uint32_t ivf_nlist;
    uint32_t ivf_nprobe;
    uint64_t data_offset;
    uint64_t data_size;
    uint64_t reserved[4];
    uint32_t index_threshold;
    uint32_t checksum;
    uint8_t reserved_tail[4];
} rk_storage_collection_header_t;
#pragma pack(pop)

/** A storage object; owned by the library, reached through these functions. */
typedef struct rk_storage rk_storage_t;
/** A block iterator; lives in its storage's arena. */
typedef struct rk_storage_iterator rk_storage_iterator_t;

/* ---- lifecycle ------------------------------------------------------------ */

/**
 * Creates a storage.
 * @param arena  arena for all state, or null to let the storage own one
 *               (4 MiB blocks) that it destroys at close
 * @param config creation record (copied). File and mapped modes need a path.
 *               Access kinds 4 and 5 create the file and write a fresh header
 *               (data_size 0); the others read and validate the existing
 *               header (magic, major version 1); kinds 1 and 3 are refused
 *               without touching the file system. Mapped mode takes its data
 *               end from the header's data_size (never past the file's end).
 * @return the storage, or null for a null config, an unknown mode, a missing
 *         path, a file that cannot be opened, a header that cannot be read,
 *         written or validated, or exhausted memory; everything made so far
 *         (descriptor, mutex, owned arena) is released. A caller's arena keeps
 *         what was allocated from it.
 */
RK_API rk_storage_t *rk_storage_create(rk_arena_t *arena, const rk_storage_config_t *config);

/**
 * rk_storage_create in file mode with the given access kind, the path
 * (NUL-terminated), page size 4096, capacity 64 MiB and sync off.
 */
RK_API rk_storage_t *rk_storage_open(rk_arena_t *arena, const char *path, int32_t access);

/**
 * Closes a storage. A writable file or mapped storage writes its header back
 * at offset 0 (modified = now, the accumulated data_size); a mapped file is
 * unmapped and cut back to its data end (never below its size at open);
 * with sync set the view is flushed and the file, header included, is
 * committed. A read-only storage writes nothing. The descriptor is closed, the mutex destroyed and an owned
 * arena released (the handle is invalid afterwards) whatever happened.
 * @return RK_OK; RK_ERR_INVALID_ARG for null; RK_ERR_IO when writing the
 *         header back, flushing or closing failed (the data written before
 *         may then not carry its size in the header).
 */
RK_API rk_status_t rk_storage_close(rk_storage_t *storage);

/**
 * Deletes the file of a file or mapped storage, then closes the storage (see
 * rk_storage_close); the storage is closed even when the file cannot be
 * deleted.
 * @return close's status, or RK_ERR_IO when the file cannot be deleted;
 *         RK_ERR_INVALID_ARG for null.
 */
RK_API rk_status_t rk_storage_destroy(rk_storage_t *storage);

/**
 * Makes written data durable: a mapped view's data is flushed, a descriptor
 * committed; nothing to do in memory mode. Takes the lock, so it never
 * races a write that replaces a mapped view.
 * @return RK_OK, RK_ERR_INVALID_ARG for null, -1 (RK_ERR_UNKNOWN) when the
 *         flush or commit fails.
 */
RK_API rk_status_t rk_storage_sync(rk_storage_t *storage);

/**
 * Checks the storage's header image (not the file) under the lock.
 * @return RK_OK; RK_ERR_INVALID_ARG for null; RK_ERR_FILE_CORRUPTED for a
 *         wrong magic; RK_ERR_NOT_SUPPORTED for a major version other than 1.
 */
RK_API rk_status_t rk_storage_verify(rk_storage_t *storage);

/** Does nothing: RK_OK, or RK_ERR_INVALID_ARG for null. */
RK_API rk_status_t rk_storage_compact(rk_storage_t *storage);

/** No backend can be added: always RK_ERR_NOT_SUPPORTED. */
RK_API rk_status_t rk_storage_register_backend(const char *name, const void *backend);

/**
 * Fills *out (see rk_storage_stats_t) under the lock.
 * @return RK_OK, or RK_ERR_INVALID_ARG for a null argument (out untouched).
 */
RK_API rk_status_t rk_storage_get_stats(rk_storage_t *storage, rk_storage_stats_t *out);

/* ---- raw I/O ----------------------------------------------------------- */

/**
 * Writes length bytes.
 * Memory and mapped mode append at the data end and ignore the cursor's
 * input value. File mode writes at *cursor when a cursor is given, else at
 * the end of the file. Memory and mapped storages grow by doubling.
 * @param cursor optional in/out: on success it holds the offset just past the
 *               written bytes; untouched on failure
 * @return RK_OK; RK_ERR_INVALID_ARG for null storage or data or length 0;
 *         RK_ERR_IO for a read-only storage (refused before the file is
 *         touched); RK_ERR_NO_MEMORY when a
 *         memory buffer cannot grow (the old one stays intact);
 *         RK_ERR_DISK_FULL when a file write fails on a full disk; RK_ERR_IO when
 *         a file write fails or is short, a mapped file cannot grow (the
 *         storage goes on through its descriptor), or, with sync set, the
 *         commit fails; -1 when a mapped view cannot be flushed with sync set.
 *         On failure the counters and data_size are unchanged.
 */
RK_API rk_status_t rk_storage_write(rk_storage_t *storage, const void *data, uint64_t length,
                                    uint64_t *cursor);

/**
 * Reads size bytes at offset (a file offset in file and mapped mode, an
 * offset from the buffer's start in memory mode).
 * @return size in memory and mapped mode when the whole range lies within the
 *         data, else -1 and nothing copied; in file mode the count read
 *         (short or 0 at the end of the file) or -1 on error; -1 for null
 *         storage or buffer, size 0 or size above INT32_MAX.
 */
RK_API int32_t rk_storage_read(rk_storage_t *storage, uint64_t offset, void *buffer, uint64_t size);

/**
 * Writes at the end (rk_storage_write without a cursor).
 * @return the offset just past the written bytes, truncated to 32 bits, or -1
 *         on any failure.
 */
RK_API int32_t rk_storage_append(rk_storage_t *storage, const void *data, uint64_t length);

/* ---- typed writers: one rk_storage_write each, with the optional cursor --- */

/** 4 bytes. Statuses as rk_storage_write (only the storage is checked). */
RK_API rk_status_t rk_storage_write_u32(rk_storage_t *storage, uint32_t value, uint64_t *cursor);
/** 8 bytes. Statuses as rk_storage_write. */
RK_API rk_status_t rk_storage_write_u64(rk_storage_t *storage, uint64_t value, uint64_t *cursor);
/** 4 bytes, binary32. Statuses as rk_storage_write. */
RK_API rk_status_t rk_storage_write_f32(rk_storage_t *storage, float value, uint64_t *cursor);
/**
 * 4 x count bytes, no count prefix.
 * @return as rk_storage_write; RK_ERR_INVALID_ARG for null values or count 0;
 *         RK_ERR_NO_MEMORY when 4 x count overflows or the scratch copy
 *         cannot be had.
 */
RK_API rk_status_t rk_storage_write_f32_array(rk_storage_t *storage, const float *values,
                                              uint64_t count, uint64_t *cursor);
/**
 * A vector record: id, dimension, the values (12 + 4 x dimension bytes).
 * @return as rk_storage_write; RK_ERR_INVALID_ARG for null values or dimension
 *         0; RK_ERR_NO_MEMORY when the scratch record cannot be had.
 */
RK_API rk_status_t rk_storage_write_vector(rk_storage_t *storage, uint64_t id, const float *values,
                                           uint32_t dimension, uint64_t *cursor);

/* ---- typed readers -------------------------------------------------------- */

/**
 * Reads a u32 at offset.
 * @return RK_OK; RK_ERR_INVALID_ARG for null arguments; -1 unless exactly 4
 *         bytes were read (*out untouched).
 */
RK_API rk_status_t rk_storage_read_u32(rk_storage_t *storage, uint64_t offset, uint32_t *out);
/** As rk_storage_read_u32, 8 bytes. */
RK_API rk_status_t rk_storage_read_u64(rk_storage_t *storage, uint64_t offset, uint64_t *out);
/** As rk_storage_read_u32, a binary32. */
RK_API rk_status_t rk_storage_read_f32(rk_storage_t *storage, uint64_t offset, float *out);
/**
 * Reads count binary32 values at offset into out.
 * @return RK_OK; RK_ERR_INVALID_ARG for null arguments or count 0; -1 when the
 *         range does not lie within the data (checked before any allocation)
 *         or fewer bytes arrive; RK_ERR_NO_MEMORY when the scratch buffer
 *         cannot be had. out is untouched on every failure.
 */
RK_API rk_status_t rk_storage_read_f32_array(rk_storage_t *storage, uint64_t offset, float *out,
                                             uint64_t count);
/**
 * Reads a vector record at offset.
 * @param id_out     receives the id once the 12-byte head is read
 * @param values_out receives dimension values
 * @return RK_OK; RK_ERR_INVALID_ARG for null arguments, dimension 0, or a
 *         stored dimension other than dimension (id_out already set); -1 when
 *         the head or the values cannot be read whole (values_out may then
 *         hold part of them in file mode).
 */
RK_API rk_status_t rk_storage_read_vector(rk_storage_t *storage, uint64_t offset, uint64_t *id_out,
                                          float *values_out, uint32_t dimension);

/* ---- header records --------------------------------------------------- */

/**
 * Writes a header record field by field from cursor 0 (offsets 0 to 183),
 * then the u32 1 at offset 184. In file mode they land at offsets 0 to 187;
 * memory and mapped mode append them like any other write.
 * @return RK_OK, RK_ERR_INVALID_ARG for null arguments, or the status of the
 *         first failing write (the fields before it are written).
 */
RK_API rk_status_t rk_storage_write_header(rk_storage_t *storage, const rk_storage_header_t *record);

/**
 * Reads the first 184 bytes of the file (memory mode: of the buffer).
 * @return RK_OK; RK_ERR_INVALID_ARG for null arguments; -1 when fewer bytes
 *         arrive; RK_ERR_FILE_CORRUPTED for a wrong magic (record filled
 *         anyway). The version is not checked.
 */
RK_API rk_status_t rk_storage_read_header(rk_storage_t *storage, rk_storage_header_t *record);

/**
 * Writes a collection header record in its 192-byte packed layout, field by
 * field (one write each) from the cursor's value (0 without a cursor).
 * @return RK_OK with the cursor past the record; RK_ERR_INVALID_ARG for null
 *         arguments; else the first failing write's status, the cursor
 *         untouched.
 */
RK_API rk_status_t rk_storage_write_collection_header(rk_storage_t *storage,
                                                      const rk_storage_collection_header_t *record,
                                                      uint64_t *cursor);

/**
 * Reads a 192-byte collection header record at offset. Nothing is checked.
 * @return RK_OK; RK_ERR_INVALID_ARG for null arguments; -1 unless all 192
 *         bytes arrived (record untouched).
 */
RK_API rk_status_t rk_storage_read_collection_header(rk_storage_t *storage, uint64_t offset,
                                                     rk_storage_collection_header_t *record);

/* ---- blocks and iteration --------------------------------------------- */

/**
 * Appends a block: a 32-byte header (block_id = the block counter,
 * payload_size = size) and size zero bytes; the counter then grows by one.
 * @return the offset just past the block, truncated to 32 bits; -1 for a null
 *         storage, a size above 0xFFFFFFFF, a scratch buffer that cannot be
 *         had or a failed write (the counter is then unchanged).
 */
RK_API int32_t rk_storage_alloc_block(rk_storage_t *storage, uint64_t size);

/** Does nothing: RK_OK. Blocks are never freed. */
RK_API rk_status_t rk_storage_free_block(rk_storage_t *storage, uint64_t offset);

/**
 * Reads the 32-byte block header at offset.
 * @return RK_OK; RK_ERR_INVALID_ARG for null arguments; -1 unless 32 bytes
 *         arrived (out untouched).
 */
RK_API rk_status_t rk_storage_get_block_info(rk_storage_t *storage, uint64_t offset,
                                             rk_storage_block_header_t *out);

/**
 * A block iterator from header_size to header_size + data_size (as they are
 * now). The first rk_storage_iterator_next visits the block at header_size.
 * @return the iterator, in the storage's arena (never freed on its own), or
 *         null for a null storage or an exhausted arena.
 */
RK_API rk_storage_iterator_t *rk_storage_iterator_create(rk_storage_t *storage);

/**
 * Moves to the next block: every call after the first advances by 32 +
 * payload_size of the current block.
 * @return 1 when a whole block header was read before the end; 0 at the end,
 *         on a read failure, or for a null iterator. Always ends: each step
 *         moves forward.
 */
RK_API int rk_storage_iterator_next(rk_storage_iterator_t *iterator);

/**
 * Copies min(payload_size, length) payload bytes of the current block.
 * @return the count copied, or 0 for null arguments, length 0 or a failed
 *         read.
 */
RK_API uint64_t rk_storage_iterator_get_data(rk_storage_iterator_t *iterator, void *buffer,
                                             uint64_t length);

/** Does nothing; the iterator goes with the storage's arena. */
RK_API void rk_storage_iterator_destroy(rk_storage_iterator_t *iterator);

RK_EXTERN_C_END

#endif /* RK_STORAGE_H */
