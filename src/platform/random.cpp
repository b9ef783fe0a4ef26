// SPDX-License-Identifier: Apache-2.0
// The process-wide pseudo-random generator: Knuth's MMIX linear
// congruential step on a 64-bit state. Index training, graph level draws and
// quantiser sampling replay this exact sequence, so the step and the
// conversions below must never change.
#include "platform/random.h"

#include <atomic>

#include "platform/os.h"
#include "rk_platform.h"

namespace {

constexpr uint64_t kMultiplier = 6364136223846793005ull;  // 0x5851F42D4C957F2D
constexpr uint64_t kIncrement = 1442695040888963407ull;   // 0x14057B7EF767814F

// Seeding states: the clock seeds the generator once, on the first draw of a
// process that never called rk_srand. The middle state keeps other threads
// from drawing off the placeholder state while the clock seed is stored.
enum : uint32_t { kUnseeded = 0, kSeeding = 1, kSeeded = 2 };

std::atomic<uint64_t> g_state{12345};
std::atomic<uint32_t> g_seeded{kUnseeded};

void seed_from_clock_once() {
    uint32_t expected = kUnseeded;
    if (g_seeded.compare_exchange_strong(expected, kSeeding, std::memory_order_acq_rel)) {
        g_state.store(static_cast<uint64_t>(rk::os::wall_seconds()), std::memory_order_relaxed);
        g_seeded.store(kSeeded, std::memory_order_release);
        return;
    }
    while (g_seeded.load(std::memory_order_acquire) != kSeeded) {
    }
}

}  // namespace

namespace rk {

uint64_t rand_next() {
    if (g_seeded.load(std::memory_order_acquire) != kSeeded) seed_from_clock_once();
    uint64_t old = g_state.load(std::memory_order_relaxed);
    uint64_t next;
    do {
        next = old * kMultiplier + kIncrement;
    } while (!g_state.compare_exchange_weak(old, next, std::memory_order_relaxed));
    return next;
}

namespace {
thread_local OwnedGenerator *t_owned = nullptr;
}  // namespace

OwnedGenerator::OwnedGenerator(uint64_t seed) : state_(seed), outer_(t_owned) { t_owned = this; }

OwnedGenerator::~OwnedGenerator() { t_owned = outer_; }

uint64_t draw() {
    OwnedGenerator *g = t_owned;
    if (!g) return rand_next();
    g->state_ = g->state_ * kMultiplier + kIncrement;
    return g->state_;
}

}  // namespace rk

extern "C" {

RK_API uint64_t rk_rand(void) { return rk::rand_next(); }

RK_API double rk_rand_double(void) {
    // 53 high bits scaled by 2^-53: exact, and at most 1 - 2^-53.
    return static_cast<double>(rk::rand_next() >> 11) * 0x1p-53;
}

RK_API float rk_rand_float(void) {
    // Rounding the 53 bits to a float first can reach 2^53, hence 1.0f.
    return static_cast<float>(rk::rand_next() >> 11) * 0x1p-53f;
}

RK_API void rk_srand(uint64_t seed) {
    g_state.store(seed, std::memory_order_relaxed);
    g_seeded.store(kSeeded, std::memory_order_release);
}

}  // extern "C"
