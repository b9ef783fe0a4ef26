/*
 * rk_index.h - index object, HNSW graph, IVF lists, index files, result heap and sorts
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_INDEX_H
#define RK_INDEX_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- result heap and sorts ---- */



/* ---- HNSW graph ---- */



/* ---- IVF index ---- */



/* ---- index object ---- */



/* ---- index files ---- */

RK_EXTERN_C_END

#endif /* RK_INDEX_H */
