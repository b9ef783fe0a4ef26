// SPDX-License-Identifier: Apache-2.0
// Test helper: the bit pattern of a float, for comparisons that must tell
// -0.0 from +0.0 and one NaN from another.
#ifndef RK_TESTS_SUPPORT_FLOAT_BITS_H
#define RK_TESTS_SUPPORT_FLOAT_BITS_H

#include <cstdint>
#include <cstring>

namespace rk_test {

inline uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

}  // namespace rk_test

#endif
