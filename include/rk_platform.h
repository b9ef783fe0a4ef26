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

RK_EXTERN_C_END

#endif /* RK_PLATFORM_H */
