/*
 * rk_config.h - a tree of dotted keys with typed values, presets for
 * embedded and mobile targets, and conversion into database and collection
 * configuration records.
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_CONFIG_H
#define RK_CONFIG_H

#include "rk_common.h"
#include "rk_memory.h"
#include "rk_database.h"
#include "rk_collection.h"

RK_EXTERN_C_BEGIN

/* ---- configuration store ---- */



/* ---- presets and conversion ---- */



RK_EXTERN_C_END

#endif /* RK_CONFIG_H */
