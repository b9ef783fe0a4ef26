/* SPDX-License-Identifier: Apache-2.0 */
/*
 * rk_common.h - export macro, version numbers and the types every family shares.
 *
 * Threading: the types here are plain records; nothing in this header has state.
 *
 * Conventions that hold for every rk_ function:
 *  - functions that can fail return rk_status_t (0 is RK_OK, failures are
 *    negative, see rk_error.h) and deliver results through out-parameters;
 *  - functions that return a count, a pointer or a value report failure as 0,
 *    null or the neutral value their doc block names;
 *  - a null required pointer is RK_ERR_INVALID_ARG (-2);
 *  - no C++ exception ever leaves the library.
 */
#ifndef RK_COMMON_H
#define RK_COMMON_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(RK_BUILDING_LIBRARY)
#    define RK_API __declspec(dllexport)
#  elif defined(RK_STATIC)
     /* Linking the static archive (zevud_static) instead of the DLL. */
#    define RK_API
#  else
#    define RK_API __declspec(dllimport)
#  endif
#else
#  define RK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define RK_EXTERN_C_BEGIN extern "C" {
#  define RK_EXTERN_C_END }
#else
#  define RK_EXTERN_C_BEGIN
#  define RK_EXTERN_C_END
#endif

#define RK_VERSION_MAJOR 0
#define RK_VERSION_MINOR 1
#define RK_VERSION_PATCH 32
#define RK_VERSION_STRING "0.1.32"

RK_EXTERN_C_BEGIN

/** Signed 32-bit status: 0 is RK_OK, failures are negative (rk_error.h). */
typedef int32_t rk_status_t;

/**
 * A counted string: a data pointer and a length in bytes. Receivers that keep
 * or open the text (collection names, paths) require data to be
 * NUL-terminated at data[len].
 */
typedef struct rk_string_t {
    const char *data;
    uint64_t len;
} rk_string_t;

/** Distance metric. Smaller distances are always nearer. */
typedef enum rk_metric_t {
    RK_METRIC_L2 = 0,     /**< Euclidean ("l2") */
    RK_METRIC_IP = 1,     /**< negated dot product ("ip") */
    RK_METRIC_COSINE = 2  /**< 1 - cosine similarity ("cosine") */
} rk_metric_t;

/** Index type of a collection or index object. */
typedef enum rk_index_type_t {
    RK_INDEX_FLAT = 0,    /**< no index object: exhaustive scan */
    RK_INDEX_IVF = 1,
    RK_INDEX_HNSW = 2,
    RK_INDEX_IVF_PQ = 3,
    RK_INDEX_HNSW_PQ = 4,
    RK_INDEX_IVF_SQ = 5,
    RK_INDEX_HNSW_SQ = 6
} rk_index_type_t;

RK_EXTERN_C_END

#endif /* RK_COMMON_H */
