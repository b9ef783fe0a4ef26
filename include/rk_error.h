/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_error.h - status codes, their messages and categories, and the
 * process-wide error record.
 *
 * Threading: every lookup here is pure and safe from any thread. The error
 * record is one record per process with no lock; the library itself never
 * writes it (only rk_error_set / rk_error_clear do), so a host that sets it
 * from several threads must serialise those calls. A reader running beside a
 * writer may see fields of two different settings.
 *
 * Memory: every text returned here is static; never free it.
 */
#ifndef RK_ERROR_H
#define RK_ERROR_H

#include <stdarg.h>
#include "rk_common.h"

RK_EXTERN_C_BEGIN

/*
 * The one status table: X(constant, value, category, message, description).
 * The enum below, the message and description tables and the categories are
 * all expanded from it, so they cannot drift apart.
 */
#define RK_STATUS_MAP(X) \
    X(RK_OK,                       0,   0, "Success",                     "Operation completed successfully") \
    X(RK_ERR_UNKNOWN,             -1,   1, "Unknown error",               "An unknown error occurred") \
    X(RK_ERR_INVALID_ARG,         -2,   1, "Invalid argument",            "The provided argument is invalid or out of range") \
    X(RK_ERR_NO_MEMORY,           -3,   1, "Out of memory",               "Memory allocation failed - system is low on memory") \
    X(RK_ERR_NOT_FOUND,           -4,   1, "Not found",                   "The requested resource or item was not found") \
    X(RK_ERR_EXISTS,              -5,   1, "Already exists",              "The item already exists and cannot be created") \
    X(RK_ERR_BUFFER_TOO_SMALL,    -6,   1, "Buffer too small",            "The provided buffer is too small to hold the data") \
    X(RK_ERR_NOT_SUPPORTED,       -7,   1, "Not supported",               "This operation is not supported on this platform") \
    X(RK_ERR_PERMISSION,          -8,   1, "Permission denied",           "Permission denied - check file access rights") \
    X(RK_ERR_TIMEOUT,             -9,   1, "Timeout",                     "Operation timed out - try again later") \
    X(RK_ERR_BUSY,               -10,   1, "Resource busy",               "The resource is busy - try again") \
    X(RK_ERR_EMPTY,              -11,   1, "Empty object",                "The object is empty and operation requires data") \
    X(RK_ERR_TOO_LARGE,          -12,   1, "Too large",                   "The data exceeds the maximum allowed size") \
    X(RK_ERR_CANCELLED,          -13,   1, "Operation cancelled",         "The operation was cancelled by user") \
    X(RK_ERR_INVALID_VECTOR,    -100,   2, "Invalid vector data",         "The vector data is invalid (wrong dimension or NaN)") \
    X(RK_ERR_INDEX_CORRUPTED,   -101,   2, "Index file corrupted",        "The index file is corrupted - rebuild required") \
    X(RK_ERR_COLLECTION_FULL,   -102,   2, "Collection is full",          "The collection has reached maximum capacity") \
    X(RK_ERR_DIMENSION,         -103,   2, "Invalid vector dimension",    "Vector dimension does not match collection dimension") \
    X(RK_ERR_INDEX_NOT_READY,   -104,   2, "Index not ready",             "Index is not built yet - call build() first") \
    X(RK_ERR_ID_EXISTS,         -105,   2, "Vector ID already exists",    "A vector with this ID already exists") \
    X(RK_ERR_VECTOR_NOT_FOUND,  -106,   2, "Vector not found",            "No vector found with the specified ID") \
    X(RK_ERR_COLLECTION_EXISTS, -107,   2, "Collection already exists",   "A collection with this name already exists") \
    X(RK_ERR_COLLECTION_NOT_FOUND, -108, 2, "Collection not found",       "No collection found with the specified name") \
    X(RK_ERR_INDEX_TYPE_MISMATCH, -109, 2, "Index type mismatch",         "Index type does not match collection configuration") \
    X(RK_ERR_QUANTIZATION,      -110,   2, "Quantization error",          "Error during quantization training or encoding") \
    X(RK_ERR_FILE_NOT_FOUND,    -200,   3, "File not found",              "The specified file does not exist") \
    X(RK_ERR_FILE_CORRUPTED,    -201,   3, "File corrupted",              "The file is corrupted and cannot be read") \
    X(RK_ERR_DISK_FULL,         -202,   3, "Disk full",                   "Disk is full - cannot write data") \
    X(RK_ERR_IO,                -203,   3, "I/O error",                   "An I/O error occurred during the operation") \
    X(RK_ERR_FILE_LOCKED,       -204,   3, "File is locked",              "The file is locked by another process") \
    X(RK_ERR_PATH_TOO_LONG,     -205,   3, "Path too long",               "The file path exceeds maximum allowed length") \
    X(RK_ERR_READ_ONLY,         -206,   3, "Read-only mode",              "Database is opened in read-only mode") \
    X(RK_ERR_LOCK_TIMEOUT,      -300,   4, "Lock acquisition timeout",    "Failed to acquire lock within timeout period") \
    X(RK_ERR_DEADLOCK,          -301,   4, "Deadlock detected",           "Deadlock detected - circular dependency") \
    X(RK_ERR_THREAD,            -302,   4, "Thread creation failed",      "Failed to create or join thread") \
    X(RK_ERR_MUTEX,             -303,   4, "Mutex error",                 "Mutex operation failed")

#define RK_STATUS_ENUM_ENTRY_(name, value, category, message, description) name = (value),
enum { RK_STATUS_MAP(RK_STATUS_ENUM_ENTRY_) };
#undef RK_STATUS_ENUM_ENTRY_

/** Category of a status, decided by its numeric band alone. */
typedef enum rk_error_category_t {
    RK_CATEGORY_SUCCESS = 0,         /**< 0 and every positive value */
    RK_CATEGORY_GENERAL = 1,         /**< -1 to -99 */
    RK_CATEGORY_VECTOR_DATABASE = 2, /**< -100 to -199 */
    RK_CATEGORY_STORAGE = 3,         /**< -200 to -299 */
    RK_CATEGORY_CONCURRENCY = 4,     /**< -300 to -399 */
    RK_CATEGORY_UNKNOWN = 5          /**< below -399 */
} rk_error_category_t;

/**
 * The process-wide error record. detail, file and function are whatever the
 * host passed to rk_error_set; the library never dereferences them.
 */
typedef struct rk_error_t {
    int32_t status;       /**< last status recorded */
    int32_t category;     /**< category of status */
    const char *message;  /**< static short message of status; never freed */
    const void *detail;   /**< caller's value, stored unchanged */
    const void *file;     /**< caller's value, stored unchanged */
    int32_t line;         /**< caller's value */
    const void *function; /**< caller's value, stored unchanged */
    int64_t timestamp;    /**< seconds since 1970-01-01 UTC at the last rk_error_set */
} rk_error_t;

/**
 * What to show a user for a status a function returned: rk_error_message for
 * a short message, rk_error_description for a sentence. For example
 *
 *   rk_status_t st = rk_vecdb_open_ex(&cfg, &db);
 *   if (st != RK_OK) fprintf(stderr, "open: %s (%d)\n", rk_error_message(st), st);
 *
 * Short message of a status: "Success" for 0 and every positive value, the
 * table's message for a defined code, "Unknown error" for any other negative.
 * Returns a static text. Pure, thread-safe.
 */
RK_API const char *rk_error_message(rk_status_t status);

/**
 * Long description of a status: "Operation completed successfully" for 0 and
 * above, the table's description for a defined code, "An unknown error
 * occurred" for any other negative. Returns a static text. Pure, thread-safe.
 */
RK_API const char *rk_error_description(rk_status_t status);

/** Category number of a status by its band (0..5). Pure, thread-safe. */
RK_API int rk_error_get_category(rk_status_t status);

/** Name of a category ("Success" .. "Concurrency"); "Unknown" outside 0..4. Static text. */
RK_API const char *rk_error_category_name(int category);

/** 1 if status is exactly RK_OK, else 0 (a positive value is not success). */
RK_API int rk_error_is_success(rk_status_t status);

/**
 * 1 for RK_ERR_NO_MEMORY, RK_ERR_FILE_CORRUPTED, RK_ERR_DISK_FULL and
 * RK_ERR_DEADLOCK, 0 for everything else.
 */
RK_API int rk_error_is_fatal(rk_status_t status);

/**
 * Fills the whole error record: status, its category and message, the four
 * caller values (stored, never dereferenced) and the current calendar time.
 * Not thread-safe against other writers of the record.
 */
RK_API void rk_error_set(rk_status_t status, const void *file, int line,
                         const void *function, const void *detail);

/** Copies the error record into *out; a null out does nothing. */
RK_API void rk_error_get(rk_error_t *out);

/**
 * Resets status, category, message, detail, file, function and line; the
 * timestamp keeps the value of the last rk_error_set.
 */
RK_API void rk_error_clear(void);

/** The record's status. */
RK_API rk_status_t rk_error_get_last_status(void);

/** 1 if the record's status is non-zero, else 0. */
RK_API int rk_error_has_error(void);

/**
 * Writes "[<category name>] <message>" into buf (at most size - 1 characters
 * and a NUL, as snprintf), then, when fmt is non-null and the prefix fitted
 * whole, the formatted detail right after it.
 * Returns the length of the full prefix text (as snprintf counts it) plus the
 * detail's formatted length when one was written; 0 when buf is null or size
 * is 0 (nothing written).
 */
RK_API int64_t rk_error_format(char *buf, size_t size, rk_status_t status, const char *fmt, ...);

/**
 * Maps a C errno value to a status: 2 -> RK_ERR_NOT_FOUND, 5 -> RK_ERR_IO,
 * 12 -> RK_ERR_NO_MEMORY, 16 -> RK_ERR_BUSY, 22 -> RK_ERR_INVALID_ARG,
 * 138 -> RK_ERR_TIMEOUT, anything else (0 included) -> RK_ERR_UNKNOWN.
 */
RK_API rk_status_t rk_status_from_errno(int errnum);

/**
 * Entry of the compact message table (indexes 0..17, a numbering of its own,
 * unrelated to status codes); "Unknown error" for any other value, negative
 * status codes included. Static text.
 * Not for the status a function returned: rk_strerror(RK_ERR_NOT_FOUND) says
 * "Unknown error". Use rk_error_message(status) for a short message and
 * rk_error_description(status) for a sentence.
 */
RK_API const char *rk_strerror(int index);

/** Same operation as rk_strerror (same separate numbering; see above). */
RK_API const char *rk_status_to_string(int index);

RK_EXTERN_C_END

#endif /* RK_ERROR_H */
