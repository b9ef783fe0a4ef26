// SPDX-License-Identifier: Apache-2.0
// Internal access to the process-wide generator.
#ifndef RK_PLATFORM_RANDOM_H
#define RK_PLATFORM_RANDOM_H

#include <cstdint>

namespace rk {

// One step of the process-wide generator (what rk_rand returns).
uint64_t rand_next();

}  // namespace rk

#endif
