// SPDX-License-Identifier: Apache-2.0
// MurmurHash3 internals the exported wrappers build on.
#ifndef RK_UTIL_HASH_H
#define RK_UTIL_HASH_H

#include <cstdint>

namespace rk {

// MurmurHash3 x64 128-bit of len bytes with both lanes seeded by seed;
// out[0] is the first half (h1), out[1] the second (h2).
void murmur3_x64_128(const void *data, uint64_t len, uint64_t seed, uint64_t out[2]);

}  // namespace rk

#endif
