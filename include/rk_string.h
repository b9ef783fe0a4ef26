/*
 * rk_string.h - counted strings and formatted output
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_STRING_H
#define RK_STRING_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- counted strings ---- */



/* ---- formatted output ---- */

RK_EXTERN_C_END

#endif /* RK_STRING_H */
