/*
 * rk_vector.h - distance kernels, SIMD switches, vector arithmetic and statistics, int8 vectors, scalar maths
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_VECTOR_H
#define RK_VECTOR_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- scalar maths ---- */



/* ---- distances, norms and SIMD switches ---- */



/* ---- vector arithmetic and statistics ---- */



/* ---- int8 vectors ---- */

RK_EXTERN_C_END

#endif /* RK_VECTOR_H */
