// SPDX-License-Identifier: Apache-2.0
// Small pieces shared by the quantisers.
#ifndef RK_QUANT_COMMON_H
#define RK_QUANT_COMMON_H

#include <cstdint>

namespace rk {

// Stands for "no distance".
inline constexpr float kNoDistance = 3.4028235e38f;

}  // namespace rk

#endif
