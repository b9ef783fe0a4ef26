// SPDX-License-Identifier: Apache-2.0
// Nearest-centroid scoring screened through dot products.
//
// For a row x and centroid c, with X, C and D the computed |x|^2, |c|^2 and
// x.c (each a sum in index order, off by at most gamma times the sum of its
// terms' magnitudes, and |x.c| <= (|x|^2 + |c|^2) / 2):
//   |x - c|^2 >= (X + C - 2 D) - 3 gamma (X + C),
// where 3 gamma covers the three sums' rounding and that of the combining
// arithmetic (gamma as in kmeans_bounds.h, at least 16 roundings of 2^-24).
// The computed score of |x - c|^2 is at least (1 - gamma) times it, less
// underflow far below 2^-120. A centroid whose bound exceeds a score the row
// is known to reach cannot be its nearest, and its bound stands in for its
// score; all others are summed exactly. NaN and overflow make no bound, so
// such centroids are always summed.
#include <cfloat>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/kmeans_bounds.h"
#include "rk_error.h"
#include "vector/kernels.h"

namespace rk::km {
namespace {

// The plain loop's score of q against row l of a panel.
float column_l2sq(const float *q, const float *panel, size_t l, uint32_t dim) {
    float s = 0.0f;
    for (uint32_t j = 0; j < dim; ++j) {
        const float d = q[j] - panel[size_t(8) * j + l];
        s = s + d * d;
    }
    return s;
}

// Sums of norms at or above this could overflow what is built from them;
// at or below the other, relative bounds lose to underflow. Both, and NaN,
// mean: sum exactly.
constexpr float kNormMax = 0x1p121f;
constexpr float kNormMin = 0x1p-60f;
constexpr float kSlack = 0x1p-120f;

}  // namespace

void panel_sqnorms(const float *panels, size_t n, uint32_t dim, float *out) {
    const size_t padded = (n + 7) / 8 * 8;
    for (size_t c = 0; c < padded; ++c) {
        const float *col = panels + (c / 8) * 8 * size_t(dim) + c % 8;
        float s = 0.0f;
        for (uint32_t j = 0; j < dim; ++j) s = s + col[size_t(8) * j] * col[size_t(8) * j];
        out[c] = s;
    }
}

rk_status_t ScreenedL2::reserve(size_t nq) {
    size_t floats;
    RK_RETURN_IF(!mul_size(nq, 8, &floats), RK_ERR_NO_MEMORY);
    least8_ = hook_unique_array<float>(floats);
    RK_RETURN_IF(!least8_, RK_ERR_NO_MEMORY);
    return RK_OK;
}

void ScreenedL2::run(const float *const *qs, const float *qnorm, size_t nq, const float *panels,
                     const float *cnorm, size_t n, uint32_t dim, const float *bound, const uint32_t *known,
                     float *out, size_t ldo, uint32_t *nearest, float *cleared, const uint32_t *number) {
    if (nq == 0 || n == 0) return;
    if (dim < kScreenFrom) {
        // Too few indices for the screen to pay: every score summed.
        kern::l2sq_panels(qs, nq, panels, n, dim, out, ldo);
        for (size_t i = 0; i < nq; ++i) {
            if (cleared) cleared[i] = __builtin_nanf("");
            if (nearest) nearest[i] = least_place(out + i * ldo, static_cast<uint32_t>(n), number);
        }
        return;
    }
    const size_t pstride = size_t(8) * dim;
    const Margins mg = margins(dim);
    const kern::ScreenArgs args{qnorm,    cnorm,   3.0f * mg.gamma * kUp, (1.0f - mg.gamma) * kDown, kSlack,
                                kNormMin, kNormMax};
    float *least8 = least8_.get();
    for (size_t i = 0; i < nq * 8; ++i) least8[i] = __builtin_inff();
    kern::l2_bound_panels(qs, nq, panels, n, dim, args, out, ldo, least8);
    const size_t whole = n / 8 * 8;
    for (size_t i = 0; i < nq; ++i) {
        float *o = out + i * ldo;
        const Least least = least_of(least8 + i * 8, 8);
        float limit = bound ? bound[i] : __builtin_inff();
        const uint32_t kn = known ? known[i] : UINT32_MAX;
        // Every centroid proved farther than a score the row reaches: the
        // bounds stand in for all of them.
        if (cleared) cleared[i] = __builtin_nanf("");
        if (least.value > limit) {
            if (cleared && !(kn < n)) cleared[i] = least.value;
            if (kn < n) o[kn] = bound[i];
            if (nearest) nearest[i] = kn < n && bound[i] < FLT_MAX ? kn : static_cast<uint32_t>(n);
            continue;
        }
        // The centroid with the least bound is likely the nearest: summing
        // it first lowers the limit the others must beat.
        size_t b = first_equal(o, static_cast<uint32_t>(n), least.value);
        if (b >= n) b = 0;  // not reached: the least is one of the values
        float exact_b;
        if (b == kn) {
            exact_b = limit;
        } else {
            exact_b = column_l2sq(qs[i], panels + (b / 8) * pstride, b % 8, dim);
            if (exact_b < limit || limit != limit) limit = exact_b;
        }
        o[b] = exact_b;
        if (kn < n) o[kn] = bound[i];
        // The plain argmin among what is summed: nothing left as a bound
        // can reach it.
        float best = exact_b < FLT_MAX ? exact_b : FLT_MAX;
        size_t at = exact_b < FLT_MAX ? b : n;
        // Ties go to the lowest centroid number (the place, unless numbers
        // are given).
        auto before = [&](size_t c, size_t than) {
            return than < n && (number ? number[c] < number[than] : c < than);
        };
        if (kn < n && kn != b && (bound[i] < best || (bound[i] == best && before(kn, at)))) {
            best = bound[i];
            at = kn;
        }
        auto consider = [&](size_t c) {
            if (o[c] > limit || c == b || c == kn) return;  // the bound stands in for the score
            const float v = column_l2sq(qs[i], panels + (c / 8) * pstride, c % 8, dim);
            o[c] = v;
            if (v < best || (v == best && before(c, at))) {
                best = v;
                at = c;
            }
        };
        size_t c = 0;
        for (; c < whole; c += 8) {
            bool open = false;
            for (size_t l = 0; l < 8; ++l) open |= !(o[c + l] > limit);
            if (open)
                for (size_t l = 0; l < 8; ++l) consider(c + l);
        }
        for (; c < n; ++c) consider(c);
        if (nearest) nearest[i] = static_cast<uint32_t>(at);
    }
}

}  // namespace rk::km
