/*
 * rk_platform.h - threads and synchronisation, time, random numbers, platform information, file-system utilities
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_PLATFORM_H
#define RK_PLATFORM_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- time, random numbers and platform information ---- */



/* ---- threads and synchronisation ---- */



/* ---- file-system utilities ---- */

/*
 * File-system utilities: descriptor I/O, whole files, queries, directory
 * changes and listings, temporary names and path helpers.
 *
 * Threading: every function here may be called from any thread; none keeps
 * state between calls. Concurrent calls on the same descriptor or path see
 * whatever the operating system gives them; callers serialise those. An arena
 * handed to rk_file_list_dir, rk_file_join or rk_file_dirname must not be
 * used by another thread during the call.
 *
 * Paths are rk_string_t views whose data must be NUL-terminated at data[len];
 * only the data pointer is read. A null view or null data is treated as a
 * path that cannot be used. rk_file_join, rk_file_mktemp and rk_file_mkdtemp
 * take plain NUL-terminated texts.
 *
 * Memory: "on the heap" below means allocated through the allocator hooks
 * (rk_malloc); release it with rk_free. "In the arena" means allocated from
 * the caller's arena; it goes with the arena.
 *
 * No function here logs or writes the error record.
 */

struct rk_arena_t;

/** A file descriptor: non-negative when valid, -1 for failure. */
typedef int rk_file_t;

/** Origins of rk_file_seek. */
#define RK_FILE_SEEK_SET 0
#define RK_FILE_SEEK_CUR 1
#define RK_FILE_SEEK_END 2

/**
 * Opens a file for raw binary I/O.
 * @param path  file path
 * @param mode  mode text; only its first two characters count: "r"/"rb"
 *              read-only, "r+" read-write, "w"/"wb" write-only created and
 *              truncated, "w+" read-write created and truncated, "a"/"ab"
 *              write-only created with every write appended; anything else
 *              (and a null mode) opens read-only. Created files get mode 0644.
 * @return the descriptor, or -1 when the file cannot be opened or a path is
 *         null. Close it with rk_file_close. Thread-safe.
 */
RK_API rk_file_t rk_file_open(const rk_string_t *path, const rk_string_t *mode);

/** Closes a descriptor: 0, or -1 when fd is invalid. Thread-safe. */
RK_API int rk_file_close(rk_file_t fd);

/**
 * Reads up to size bytes at the descriptor's position.
 * @return bytes read, 0 at end of file, -1 on error, a null buffer or a
 *         negative size. Thread-safe (the position is the descriptor's).
 */
RK_API int32_t rk_file_read(rk_file_t fd, void *buffer, int32_t size);

/**
 * Writes length bytes at the descriptor's position (at the end for "a").
 * @return length when every byte was written, -1 on error, a null data or a
 *         negative length. Thread-safe (the position is the descriptor's).
 */
RK_API int32_t rk_file_write(rk_file_t fd, const void *data, int32_t length);

/**
 * Moves the descriptor's position.
 * @param origin RK_FILE_SEEK_SET, RK_FILE_SEEK_CUR or RK_FILE_SEEK_END
 * @return the new position, or -1 on error, an unknown origin, or a position
 *         that does not fit in 32 bits (the position is then unspecified).
 */
RK_API int32_t rk_file_seek(rk_file_t fd, int32_t offset, int origin);

/**
 * Reads a whole file into a new buffer, followed by one NUL byte.
 * @param path      file path
 * @param size_out  optional; receives the size in bytes (without the NUL);
 *                  untouched on failure
 * @return the buffer, on the heap (release with rk_free), or null when the
 *         file cannot be opened or sized, the buffer cannot be allocated or
 *         fewer bytes arrive. Thread-safe.
 */
RK_API void *rk_file_read_all(const rk_string_t *path, uint64_t *size_out);

/**
 * Creates or truncates a file and writes length bytes to it.
 * @return RK_OK when every byte was written; RK_ERR_INVALID_ARG for a null
 *         data with a non-zero length; RK_ERR_IO when the file cannot be
 *         opened or a write fails (the file may then hold part of the data).
 */
RK_API rk_status_t rk_file_write_all(const rk_string_t *path, const void *data, uint64_t length);

/**
 * Copies a file in 4096-byte chunks, creating or truncating the destination.
 * @return RK_OK; RK_ERR_IO when either file cannot be opened or a read or
 *         write fails (the destination may then hold part of the data).
 */
RK_API rk_status_t rk_file_copy(const rk_string_t *source, const rk_string_t *destination);

/** 1 when the path can be examined (file or directory), else 0. */
RK_API int rk_file_exists(const rk_string_t *path);
/** 1 when the path is a directory, else 0 (also for a missing path). */
RK_API int rk_file_is_directory(const rk_string_t *path);
/** 1 when the path is a regular file, else 0 (also for a missing path). */
RK_API int rk_file_is_regular(const rk_string_t *path);
/** Size in bytes, or -1 when the path cannot be examined. */
RK_API int64_t rk_file_size(const rk_string_t *path);
/** Modification time in seconds since 1970-01-01 UTC, or -1. */
RK_API int64_t rk_file_mtime(const rk_string_t *path);

/** Creates one directory: RK_OK or RK_ERR_IO. */
RK_API rk_status_t rk_file_mkdir(const rk_string_t *path);
/** Removes one empty directory: RK_OK or RK_ERR_IO. */
RK_API rk_status_t rk_file_rmdir(const rk_string_t *path);
/** Removes a file: RK_OK or RK_ERR_IO. */
RK_API rk_status_t rk_file_unlink(const rk_string_t *path);
/** Renames or moves a path, replacing an existing file: RK_OK or RK_ERR_IO. */
RK_API rk_status_t rk_file_rename(const rk_string_t *from, const rk_string_t *to);

/**
 * Creates a directory and every missing directory above it ('/' and '\\'
 * both separate). Directories that exist already are fine.
 * @return RK_OK; RK_ERR_NO_MEMORY when the working copy cannot be had;
 *         RK_ERR_IO when a directory cannot be created (those created before
 *         stay).
 */
RK_API rk_status_t rk_file_mkdir_recursive(const rk_string_t *path);

/**
 * Removes a directory with everything below it. Symbolic links are removed,
 * never followed.
 * @return RK_OK; RK_ERR_NO_MEMORY when a child path cannot be formed;
 *         RK_ERR_IO when the directory cannot be listed or something cannot
 *         be removed (what was removed before stays removed).
 */
RK_API rk_status_t rk_file_rmdir_recursive(const rk_string_t *path);

/**
 * Lists a directory's entries, without "." and "..", in the order the system
 * yields them.
 * @return a null-terminated array of names: the array in the arena, each
 *         name on the heap (release each with rk_free). Null when the
 *         directory cannot be listed, the arena is null or exhausted, or a
 *         name cannot be copied (names copied before are then released).
 */
RK_API char **rk_file_list_dir(const rk_string_t *path, struct rk_arena_t *arena);

/**
 * Replaces the six 'X' characters that end template, in place, so that it
 * names a path not yet in use; the prefix is kept.
 * @return template, or null when it does not end in six 'X' or no free name
 *         was found (template's contents are then unspecified).
 */
RK_API char *rk_file_mktemp(char *template_text);

/** As rk_file_mktemp, then creates a directory (mode 0700) of that name; null on either failure. */
RK_API char *rk_file_mkdtemp(char *template_text);

/**
 * Joins NUL-terminated parts with '/': a '/' is written before every part
 * except while nothing has been written yet; separators are never merged.
 * The list ends with a null pointer.
 * @return the text in the arena, or null for a null arena or when the arena
 *         is exhausted.
 */
RK_API char *rk_file_join(struct rk_arena_t *arena, const char *part, ...);

/**
 * The last component of a path: a pointer into the path just after its last
 * '/', or, with no '/', after its last '\\'; the path itself when it has
 * neither. Borrowed from path; null for a null path.
 */
RK_API const char *rk_file_basename(const rk_string_t *path);

/**
 * The text before a path's last separator (last '/', or with none the last
 * '\\'); "" when that separator is the first character; "." when there is
 * no separator.
 * @return the text in the arena; null for a null arena or path, or when the
 *         arena is exhausted.
 */
RK_API char *rk_file_dirname(struct rk_arena_t *arena, const rk_string_t *path);

/**
 * The absolute form of a path, resolved lexically against the current
 * directory ("." and ".." removed, repeated separators merged; links are not
 * followed; the path need not exist).
 * @param arena not used
 * @return the text on the heap (release with rk_free), or null when the
 *         current directory cannot be had or the result needs 4096 characters
 *         or more.
 */
RK_API char *rk_file_abs_path(struct rk_arena_t *arena, const rk_string_t *path);

/**
 * A copy of the path, unchanged.
 * @param arena not used
 * @return the copy on the heap (release with rk_free), or null.
 */
RK_API char *rk_file_normalize_path(struct rk_arena_t *arena, const rk_string_t *path);

RK_EXTERN_C_END

#endif /* RK_PLATFORM_H */
