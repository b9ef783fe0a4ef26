/*
 * rk_collection.h - collections: records with ids, vectors and metadata;
 * exhaustive and index-backed search; metadata filters; collection files.
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_COLLECTION_H
#define RK_COLLECTION_H

#include "rk_common.h"
#include "rk_memory.h"

RK_EXTERN_C_BEGIN

/* ---- records, metadata and configuration ---- */

/** Type tag of a metadata entry. Other values are allowed and match every filter condition. */
typedef enum rk_meta_type_t {
    RK_META_INT32 = 1,
    RK_META_INT64 = 2,
    RK_META_FLOAT = 3,
    RK_META_DOUBLE = 4,
    RK_META_STRING = 5, /**< an rk_string_t in the value */
    RK_META_BOOL = 6    /**< held as a 32-bit integer, 0 false */
} rk_meta_type_t;

/** The 16-byte value of a metadata entry (or of a filter condition), read in the form its type names. */
typedef union rk_meta_value_t {
    int32_t i32;
    int64_t i64;
    float f32;
    double f64;
    rk_string_t str;
    int32_t b;
} rk_meta_value_t;

/** One typed metadata entry. */
typedef struct rk_meta_entry_t {
    rk_string_t key;
    int32_t type;          /**< rk_meta_type_t */
    rk_meta_value_t value;
} rk_meta_entry_t;

/** One stored record; every pointer is owned by the collection. */
typedef struct rk_record_t {
    uint64_t id;
    float *vector;                /**< dimension floats */
    rk_meta_entry_t *metadata;    /**< metadata_count entries, or null */
    uint64_t metadata_count;
} rk_record_t;

/** The record that creates a collection. */
typedef struct rk_collection_config_t {
    rk_string_t name;       /**< data must be NUL-terminated */
    uint32_t dimension;     /**< floats per vector; non-zero */
    uint32_t metric;        /**< rk_metric_t */
    int32_t index_type;     /**< rk_index_type_t, or -1 for the default index configuration */
    uint64_t reserved;      /**< not read */
    uint32_t auto_resize;   /**< stored only */
    uint32_t quantization;
    uint32_t pq_m;
    uint32_t pq_nbits;
} rk_collection_config_t;



RK_EXTERN_C_END

#endif /* RK_COLLECTION_H */
