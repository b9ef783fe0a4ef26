// SPDX-License-Identifier: Apache-2.0
// Seeded synthetic data: clustered vectors with a category and a price, the
// same on every machine (integer generator, no platform maths).
#pragma once

#include <cstdint>

#include "dataset.h"

namespace zcli {

class Rng {
public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    float uniform() { return float(next() >> 40) * (1.0f / 16777216.0f); }  // [0, 1)
    // Roughly normal (sum of four uniforms), mean 0, deviation 1.
    float normalish() { return (uniform() + uniform() + uniform() + uniform() - 2.0f) * 1.7320508f; }
    uint64_t below(uint64_t n) { return next() % n; }

private:
    uint64_t s_;
};

inline constexpr const char *kCategories[] = {"shoes", "books", "garden", "toys",
                                              "music", "tools", "food",   "games"};

// rows x dim vectors around `clusters` centres, with columns "category"
// (text, one per centre family) and "price" (1 to 200, two decimals).
Dataset make_clustered(uint64_t rows, uint32_t dim, uint32_t clusters, uint64_t seed);
// Queries from the same centres (same seed) but fresh noise.
Dataset make_queries(uint64_t rows, uint32_t dim, uint32_t clusters, uint64_t seed);

}  // namespace zcli
