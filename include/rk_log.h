/*
 * rk_log.h - levelled logging to the console, a file or a callback
 *
 * Threading: (the family's threading rules go here)
 */
#ifndef RK_LOG_H
#define RK_LOG_H

#include "rk_common.h"

RK_EXTERN_C_BEGIN

/* ---- logging ---- */

RK_EXTERN_C_END

#endif /* RK_LOG_H */
