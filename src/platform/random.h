// SPDX-License-Identifier: Apache-2.0
// Internal access to the process-wide generator.
#ifndef RK_PLATFORM_RANDOM_H
#define RK_PLATFORM_RANDOM_H

#include <cstdint>

namespace rk {

// One step of the process-wide generator (what rk_rand returns).
uint64_t rand_next();

// One step of the generator the library's own draws use on this thread:
// the innermost OwnedGenerator alive on the thread, else the process-wide
// one. Level draws, k-means seeding, training samples and PQ codebook picks
// all come from here; rk_rand and friends always use the process-wide one.
uint64_t draw();

// While alive, makes draw() on the constructing thread step a state of its
// own, started from seed, with the same step as the process-wide generator.
// A collection's index build owns one, so the same records, settings and
// seed give the same index, and the host's generator is left alone.
// Scopes nest; each restores the one before it.
class OwnedGenerator {
public:
    explicit OwnedGenerator(uint64_t seed);
    ~OwnedGenerator();
    OwnedGenerator(const OwnedGenerator &) = delete;
    OwnedGenerator &operator=(const OwnedGenerator &) = delete;

private:
    uint64_t state_;
    OwnedGenerator *outer_;
    friend uint64_t draw();
};

}  // namespace rk

#endif
