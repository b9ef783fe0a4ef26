// SPDX-License-Identifier: Apache-2.0
// What the k-means sources share among themselves: the rounding margins
// that make skipped work safe, and the per-row state the seeding hands to
// the Lloyd rounds.
//
// Every bound here is about true (real-number) Euclidean distances between
// the float vectors. A computed score differs from its true value by the
// rounding of its sum, at most gamma times the sum of the magnitudes of its
// terms (gamma well above (dim + 2) * 2^-24), plus underflow far below any
// value the bounds act on. A row is skipped only when its bounds prove that
// the computed scores would have decided the same way, strictly, so
// skipping changes no bit of any result. The margins are wide: bounds only
// decide which work to do, and a loose bound costs a little time, not a bit.
#ifndef RK_INDEX_KMEANS_BOUNDS_H
#define RK_INDEX_KMEANS_BOUNDS_H

#include <cfloat>
#include <cstddef>
#include <cstdint>

#include "core/alloc.h"
#include "index/kmeans.h"
#include "rk_common.h"
#include "rk_vector.h"

namespace rk::km {

constexpr float kInf = __builtin_inff();
// Relative slack folded into every bound after a float operation on it
// (far above the 2^-24 of one rounding, and above the library square
// root's 2.2e-7).
constexpr float kUp = 1.0f + 0x1p-16f;
constexpr float kDown = 1.0f - 0x1p-16f;
// Squared values below this are too small for relative error bounds
// (underflow, the square root's subnormal range): a distance behind such a
// score is taken as anything in [0, 2^-49].
constexpr float kTiny = 0x1p-100f;
constexpr float kTinyDist = 0x1p-49f;

struct Margins {
    float gamma;  // relative error of a computed sum of dim terms
    float hi;     // (1 + gamma) * kUp
    float lo;     // (1 - gamma) * kDown
    float ratio;  // (1 + gamma) / (1 - gamma) * kUp: settles squared-L2 comparisons
};

inline Margins margins(uint32_t dim) {
    const float gamma = (static_cast<float>(dim) + 8.0f) * 0x1p-23f;
    return Margins{gamma, (1.0f + gamma) * kUp, (1.0f - gamma) * kDown,
                   (1.0f + gamma) / (1.0f - gamma) * kUp};
}

// Upper bound on the distance behind a computed squared-L2 score; infinite
// for scores that overflowed, reached FLT_MAX or are NaN.
inline float dist_up(float f, const Margins &m) {
    if (!(f < FLT_MAX)) return kInf;
    if (f < kTiny) return kTinyDist;
    return rk_math_sqrt_f32(f * m.hi) * kUp;
}

// Lower bound on the distance behind a computed squared-L2 score (0 for
// NaN, overflow and tiny scores).
inline float dist_down(float f, const Margins &m) {
    if (!(f >= kTiny) || !(f < FLT_MAX)) return 0.0f;
    return rk_math_sqrt_f32(f * m.lo) * kDown;
}

// The farthest-point start's test: a row whose nearest centroid so far is
// a, at computed squared distance m, cannot come strictly nearer to a new
// centroid c when |c - a|^2 > 4 m, for then |x - c| >= |c - a| - |x - a| >
// |x - a|. The margin covers both computed sums; a row that passes would
// have computed a distance >= m and changed nothing.
struct PruneBound {
    float factor;
    bool skips(float cc, float m) const {
        const float bound = 4.0f * m * factor + 1e-20f;
        return cc <= FLT_MAX && cc > bound;
    }
};

inline PruneBound prune_bound(uint32_t dim) {
    const float gamma = (static_cast<float>(dim) + 8.0f) * 0x1p-23f;
    return PruneBound{1.0f + 4.0f * gamma + 1e-6f};
}

// The smallest of n scores (NaN passed over; +inf when there is none) and
// whether any score is NaN or +inf. Comparisons only, so the order the
// scores are visited in cannot change the result.
struct Least {
    float value;
    bool unbounded;
};
inline Least least_of(const float *d, size_t n) {
    float m[8] = {kInf, kInf, kInf, kInf, kInf, kInf, kInf, kInf};
    bool bad[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (size_t l = 0; l < 8; ++l) {
            const float v = d[i + l];
            m[l] = v < m[l] ? v : m[l];
            bad[l] |= !(v < kInf);
        }
    for (; i < n; ++i) {
        m[0] = d[i] < m[0] ? d[i] : m[0];
        bad[0] |= !(d[i] < kInf);
    }
    Least out{m[0], bad[0]};
    for (size_t l = 1; l < 8; ++l) {
        out.value = m[l] < out.value ? m[l] : out.value;
        out.unbounded |= bad[l];
    }
    return out;
}

// Squared-L2 scores of rows against packed centroids, screened first
// through dot products (kmeans_screen.cpp). |x - c|^2 = |x|^2 + |c|^2 -
// 2 x.c costs a multiply and an add per index where the difference costs a
// subtract, a multiply and an add; with a bound on its rounding it proves
// most centroids farther than one the row reaches, and only the rest are
// summed in the plain way. The screening decides which work is done, never
// a score.
// Below this many dimensions a score costs less than the passes over the
// scores that screening, or a whole round, adds per pair: the plain sums
// and the bounded rounds are used there.
constexpr uint32_t kScreenFrom = 16;

class ScreenedL2 {
public:
    // Scratch for up to nq rows a call.
    rk_status_t reserve(size_t nq);
    // For i < nq and c < n, out[i * ldo + c] is the computed score of row
    // qs[i] against centroid c, or, where that cannot be the row's
    // smallest, a value v with limit_i < v <= the computed score. limit_i
    // is bound[i] (+inf with no bounds), lowered to the computed score of
    // one of the n centroids when that is smaller. So each out row's
    // smallest value, and its lowest position, are the plain loop's, and
    // every value is a lower bound of its score. qnorm[i] and cnorm[c] are
    // sqnorm of the row and of the centroid (cnorm padded as panel_sqnorms
    // leaves it); nq within reserve's.
    // known[i], when given and below n, is a centroid whose computed score
    // is bound[i]: it is taken as it is, not summed again. nearest, when
    // given, receives the place of each row's smallest score below FLT_MAX
    // (n when there is none), as argmin_score finds it over the out row. cleared,
    // when given, receives for each row the least of its out row when
    // every value there is a bound above limit_i (nothing summed), and NaN
    // otherwise. number, when given, numbers the n centroids for nearest's
    // ties (the lowest number wins; without it, the lowest place).
    void run(const float *const *qs, const float *qnorm, size_t nq, const float *panels, const float *cnorm,
             size_t n, uint32_t dim, const float *bound, const uint32_t *known, float *out, size_t ldo,
             uint32_t *nearest = nullptr, float *cleared = nullptr, const uint32_t *number = nullptr);

private:
    HookPtr<float> least8_;
};

// sqnorm of each of n centroids packed in panels, into out, and of the
// panels' padding after them (panel_floats(n, 1) floats in all).
void panel_sqnorms(const float *panels, size_t n, uint32_t dim, float *out);

// Position of the first score equal to v among n (n when none): eight
// compares per branch, then the place within the eight.
inline uint32_t first_equal(const float *d, uint32_t n, float v) {
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        bool hit = false;
        for (uint32_t l = 0; l < 8; ++l) hit |= d[i + l] == v;
        if (hit) break;
    }
    for (; i < n; ++i)
        if (d[i] == v) return i;
    return n;
}

// The place among k scores of the least one below FLT_MAX (k when there is
// none), ties to the lowest number (number[place], or the place itself
// without numbers) as argmin_score breaks them.
inline uint32_t least_place(const float *sc, uint32_t k, const uint32_t *number) {
    const Least least = least_of(sc, k);
    if (!(least.value < FLT_MAX)) return k;
    uint32_t w = first_equal(sc, k, least.value);
    if (!number) return w;
    for (uint32_t p = w + 1; p < k;) {
        const uint32_t t = p + first_equal(sc + p, k - p, least.value);
        if (t >= k) break;
        if (number[t] < number[w]) w = t;
        p = t + 1;
    }
    return w;
}

// Per row, while centroids are placed: the nearest centroid so far and its
// computed squared distance, and what is known about every other centroid,
// from which the Lloyd rounds start their bounds.
struct SeedRows {
    HookPtr<uint32_t> owner;
    HookPtr<float> dist;
    // Smallest computed score of another centroid measured against the row
    // (previous owners included).
    HookPtr<float> other;
    // Smallest squared distance from the current owner to a centroid the
    // prune test skipped for this row.
    HookPtr<float> far_cc;
    // Lower bound on the distance to centroids skipped under earlier owners.
    HookPtr<float> lo;

    rk_status_t init(uint64_t n);
    // Row r measured against centroid c at computed score d (centroids in
    // ascending number): a strictly smaller score moves the row to c. A NaN
    // or infinite score bounds nothing, so the row's lower bound goes.
    void offer(uint64_t r, uint32_t c, float d, const Margins &mg) {
        if (!(d < kInf)) {
            lo.get()[r] = 0.0f;
            return;
        }
        float *dr = dist.get() + r;
        if (d < *dr) {
            retire_owner(r, mg);
            owner.get()[r] = c;
            *dr = d;
        } else if (d < other.get()[r]) {
            other.get()[r] = d;
        }
    }
    // The same as offer(r, c0 + i, d[i]) for i = 0 .. n - 1 in turn, in a
    // few passes that need no branch per score.
    void offer_block(uint64_t r, uint32_t c0, const float *d, uint32_t n, const Margins &mg);
    // Row r skipped for a centroid at squared distance cc from its owner.
    void skipped(uint64_t r, float cc) {
        if (cc < far_cc.get()[r]) far_cc.get()[r] = cc;
    }
    // Lower bound on the distance from row r to every centroid but its owner.
    float lower(uint64_t r, const Margins &mg) const;

private:
    void retire_owner(uint64_t r, const Margins &mg);
};

// The seeding strategies (kmeans_seed.cpp). Each fills centroids and, when
// settle is set, leaves every row measured against all k of them in s.
rk_status_t farthest_point_start(const KmeansJob &job, const float *rows, float *centroids, bool settle,
                                 SeedRows *s);
rk_status_t plus_plus_start(const KmeansJob &job, const float *rows, float *centroids, bool settle,
                            SeedRows *s);
rk_status_t uniform_start(const KmeansJob &job, const float *rows, float *centroids, bool settle,
                          SeedRows *s);

// The Lloyd rounds (kmeans_lloyd.cpp), starting from the seeding's
// measurements; the first assignment of the L2 rule is its owners.
rk_status_t lloyd_rounds(const KmeansJob &job, const float *rows, float *centroids, const SeedRows &s);

}  // namespace rk::km

#endif
