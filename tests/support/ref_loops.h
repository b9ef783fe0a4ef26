// SPDX-License-Identifier: Apache-2.0
// Test helper: the plain one-pair loops every distance kernel must match bit
// for bit (single precision, one term at a time, in index order, from +0.0).
#ifndef RK_TESTS_SUPPORT_REF_LOOPS_H
#define RK_TESTS_SUPPORT_REF_LOOPS_H

#include <cstdint>

namespace rk_test {

inline float ref_l2(const float *a, const float *b, uint32_t d) {
    float s = 0.0f;
    for (uint32_t i = 0; i < d; ++i) {
        const float t = a[i] - b[i];
        s += t * t;
    }
    return s;
}

inline float ref_dot(const float *a, const float *b, uint32_t d) {
    float s = 0.0f;
    for (uint32_t i = 0; i < d; ++i) s += a[i] * b[i];
    return s;
}

}  // namespace rk_test

#endif
