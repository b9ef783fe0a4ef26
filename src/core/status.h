// SPDX-License-Identifier: Apache-2.0
// Internal status helpers shared by every subsystem.
#ifndef RK_CORE_STATUS_H
#define RK_CORE_STATUS_H

#include "rk_error.h"

// Return `code` from the enclosing function when `cond` holds.
#define RK_RETURN_IF(cond, code) \
    do {                         \
        if (cond) return (code); \
    } while (0)

// Evaluate a status expression and return it from the enclosing function
// when it is a failure.
#define RK_TRY(expr)                              \
    do {                                          \
        const rk_status_t rk_try_status_ = (expr); \
        if (rk_try_status_ != RK_OK) return rk_try_status_; \
    } while (0)

#endif
