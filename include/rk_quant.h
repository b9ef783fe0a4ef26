/*
 * rk_quant.h - scalar and product quantisers and their size estimates
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_QUANT_H
#define RK_QUANT_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- scalar quantiser ---- */



/* ---- product quantiser ---- */

RK_EXTERN_C_END

#endif /* RK_QUANT_H */
