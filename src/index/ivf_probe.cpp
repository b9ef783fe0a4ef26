// SPDX-License-Identifier: Apache-2.0
// Choosing the lists to probe without scoring every centroid in full.
//
// A query's cost at small nprobe is mostly the ranking of the centroids:
// nlist sums of dim terms, each summed in index order. The sums are taken in
// stages instead (a quarter of the indices, then half, then the rest) and a
// panel of eight centroids is dropped between stages once none of its
// centroids can be among the np best:
// - squared L2 adds only terms >= 0, and adding a float >= 0 never lowers a
//   float, so a partial sum already above the np-th best full score stays
//   above it;
// - a dot product's remaining terms add at most |q_tail| * |c_tail|
//   (Cauchy-Schwarz), plus a margin covering every rounding of both sums.
// The lists that survive are summed to the end by the same kernels in the
// same order, so their scores carry the bits of the one-pass ranking; the
// dropped ones score +infinity, strictly behind the np best, which leaves
// the choice and the order of the probes as the full ranking makes them.
// Nothing is dropped when a value is not finite or could overflow, so NaN
// and infinity rank exactly as before.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "core/alloc.h"
#include "rk_vector.h"
#include "index/ivf.h"
#include "index/kmeans.h"
#include "vector/kernels.h"

namespace rk {
namespace {

// Below these sizes the ranking is cheap or there is little to drop.
constexpr uint32_t kMinDim = 32;
constexpr uint32_t kMinLists = 64;
// Products of norms at or past this leave no room for the margin argument.
constexpr double kNormLimit = 0x1p100;

uint32_t cut(uint32_t dim, int stage) { return stage == 1 ? dim / 4 : dim / 2; }

// sqrt of the sum of squares of x[from..to) in double, rounded up to float.
float norm_up(const float *x, uint32_t from, uint32_t to, uint32_t step) {
    double s = 0.0;
    for (uint32_t j = from; j < to; ++j) {
        const double v = x[size_t(j) * step];
        s += v * v;
    }
    // The library's square root is an estimate: step it up until it bounds.
    double r = rk_math_sqrt_f64(s) * (1.0 + 0x1p-30);
    for (int i = 0; i < 64 && r * r < s; ++i) r = r * (1.0 + 0x1p-20) + 0x1p-1000;
    if (r * r < s) r = INFINITY;
    float f = static_cast<float>(r);
    if (static_cast<double>(f) < r) f = std::nextafter(f, INFINITY);
    return f;  // NaN or infinity when x holds one
}

struct Stages {
    const rk_ivf_t *ivf;
    const float *q;
    bool l2;
    uint32_t dim, nlist;
    size_t npan;
    float *acc;              // npan * 8 partial sums
    uint32_t *which;         // panels to advance
    unsigned char *state;    // per panel: 0 running, 1 finished, 2 dropped
    double qn[3];            // |q|, |q tail| from cut 1 and from cut 2

    void advance(size_t count, uint32_t j0, uint32_t j1) {
        if (l2)
            kern::l2sq_panel_step(q, ivf->panels, which, count, dim, j0, j1, acc);
        else
            kern::dot_panel_step(q, ivf->panels, which, count, dim, j0, j1, acc);
    }

    // Whether lane c (a real list) may still reach threshold t after the
    // terms up to cut `stage`: t is the np-th best full score (squared
    // distance for L2, dot product otherwise).
    bool may_reach(uint32_t c, int stage, float t) const {
        const float a = acc[c];
        const float *tn = ivf->tail_norms + size_t(c) * 3;
        if (l2) return !(a > t) || !(tn[0] < INFINITY);
        const double span = qn[0] * double(tn[0]);
        if (!(span < kNormLimit)) return true;
        // Each float sum of n products is within (n + 1) u of the exact sum
        // of |q_j c_j| <= |q| |c|; twice that covers the partial and the full
        // sum, and the absolute term covers products lost below the
        // smallest normal float.
        const double margin = 4.0 * double(dim + 2) * 0x1p-24 * span + double(dim + 2) * 0x1p-148;
        const double up = double(a) + qn[stage] * double(tn[stage]) + margin;
        return !(up < double(t));
    }
};

// The np-th best of the finished real lanes, or NaN when one of them is NaN.
float threshold(const Stages &s, uint32_t np, float *tmp) {
    size_t n = 0;
    for (size_t p = 0; p < s.npan; ++p) {
        if (s.state[p] != 1) continue;
        for (uint32_t c = uint32_t(p * 8); c < s.nlist && c < p * 8 + 8; ++c) {
            if (s.acc[c] != s.acc[c]) return NAN;
            tmp[n++] = s.acc[c];
        }
    }
    if (n < np) return NAN;
    if (s.l2) {
        std::nth_element(tmp, tmp + np - 1, tmp + n);
    } else {
        std::nth_element(tmp, tmp + np - 1, tmp + n, [](float x, float y) { return x > y; });
    }
    return tmp[np - 1];
}

}  // namespace

void ivf_pack_tail_norms(rk_ivf_t *ivf) {
    const uint32_t dim = ivf->dim;
    for (uint32_t c = 0; c < ivf->nlist; ++c) {
        const float *x = ivf->centroids + size_t(c) * dim;
        float *tn = ivf->tail_norms + size_t(c) * 3;
        tn[0] = norm_up(x, 0, dim, 1);
        tn[1] = norm_up(x, cut(dim, 1), dim, 1);
        tn[2] = norm_up(x, cut(dim, 2), dim, 1);
    }
}

void ivf_probe_scores(const rk_ivf_t *ivf, const float *query, uint32_t np, float *out) {
    const uint32_t nlist = ivf->nlist, dim = ivf->dim;
    if (!ivf->panels_current || dim < kMinDim || nlist < kMinLists || np == 0 || np > nlist / 8) {
        ivf_centroid_scores(ivf, query, out);
        return;
    }
    Stages s{ivf, query, ivf_rule(ivf) == CentroidRule::kL2, dim, nlist, (size_t(nlist) + 7) / 8,
             nullptr, nullptr, nullptr, {0, 0, 0}};
    const float qn0 = norm_up(query, 0, dim, 1);
    if (!(qn0 < INFINITY)) {  // a NaN or infinity in the query: rank in full
        ivf_centroid_scores(ivf, query, out);
        return;
    }
    s.qn[0] = qn0;
    s.qn[1] = norm_up(query, cut(dim, 1), dim, 1);
    s.qn[2] = norm_up(query, cut(dim, 2), dim, 1);
    HookPtr<float> acc = hook_unique_array<float>(s.npan * 8);
    HookPtr<float> tmp = hook_unique_array<float>(s.npan * 8);
    HookPtr<uint32_t> which = hook_unique_array<uint32_t>(s.npan > np ? s.npan : np);
    HookPtr<unsigned char> state = hook_unique_array<unsigned char>(s.npan);
    if (!acc || !tmp || !which || !state) {
        ivf_centroid_scores(ivf, query, out);
        return;
    }
    s.acc = acc.get();
    s.which = which.get();
    s.state = state.get();

    // Stage one: the first quarter of every centroid.
    const uint32_t c1 = cut(dim, 1), c2 = cut(dim, 2);
    for (size_t p = 0; p < s.npan; ++p) {
        s.which[p] = uint32_t(p);
        s.state[p] = 0;
    }
    s.advance(s.npan, 0, c1);

    // The panels of the np most promising centroids so far are summed to
    // the end; their scores set the bar the others must be able to reach.
    {
        float *key = tmp.get();
        uint32_t *order = which.get();
        for (uint32_t c = 0; c < nlist; ++c) {
            const float *tn = ivf->tail_norms + size_t(c) * 3;
            key[c] = s.l2 ? s.acc[c] : -(s.acc[c] + float(s.qn[1]) * tn[1]);
        }
        // Indices of the np smallest keys (NaN keys sort anywhere: a bad
        // pick only weakens the bar, never the result).
        HookPtr<uint32_t> idx = hook_unique_array<uint32_t>(nlist);
        if (!idx) {
            ivf_centroid_scores(ivf, query, out);
            return;
        }
        for (uint32_t c = 0; c < nlist; ++c) idx.get()[c] = c;
        std::nth_element(idx.get(), idx.get() + np - 1, idx.get() + nlist,
                         [&](uint32_t x, uint32_t y) { return key[x] < key[y] || (key[x] == key[y] && x < y); });
        size_t m = 0;
        for (uint32_t i = 0; i < np; ++i) {
            const uint32_t p = idx.get()[i] / 8;
            if (s.state[p] == 0) {
                s.state[p] = 1;
                order[m++] = p;
            }
        }
        s.advance(m, c1, dim);
    }
    const float t = threshold(s, np, tmp.get());

    // Stages two and three: only panels that may still reach the bar.
    const uint32_t from[2] = {c1, c2}, to[2] = {c2, dim};
    for (int st = 0; st < 2; ++st) {
        size_t m = 0;
        for (size_t p = 0; p < s.npan; ++p) {
            if (s.state[p] != 0) continue;
            bool keep = t != t;
            for (uint32_t c = uint32_t(p * 8); !keep && c < nlist && c < p * 8 + 8; ++c)
                keep = s.may_reach(c, st + 1, t);
            if (keep)
                s.which[m++] = uint32_t(p);
            else
                s.state[p] = 2;
        }
        s.advance(m, from[st], to[st]);
    }
    for (uint32_t c = 0; c < nlist; ++c) {
        if (s.state[c / 8] == 2)
            out[c] = INFINITY;
        else
            out[c] = s.l2 ? s.acc[c] : -s.acc[c];
    }
}

}  // namespace rk
