// SPDX-License-Identifier: Apache-2.0
// The Lloyd rounds, with bounds that skip rows whose nearest centroid cannot
// have changed. Centroids are split into groups of neighbours; each row
// keeps an upper bound on its distance to its own centroid and, per group, a
// lower bound on its distance to every other centroid of the group. When a
// round moves the centroids, the upper bound grows by the own centroid's
// drift and each group's bound shrinks by the largest drift in that group,
// so one centroid that jumps far unsettles its group, not every row (the
// group bounds of Ding et al.'s Yinyang k-means, with one bound per row as
// Hamerly's when there is a single group). A row is scored against the
// groups its bounds cannot settle, through the panel kernels; the others are
// skipped. Skipping needs the bounds to prove the computed scores strictly
// worse than the own centroid's (kmeans_bounds.h), so every assignment,
// and so every sum and centroid, has the bits of the plain rounds.
#include <cfloat>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/kmeans.h"
#include "index/kmeans_bounds.h"
#include "rk_error.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk::km {
namespace {

constexpr size_t kGather = 32;       // rows per panel-kernel call
constexpr size_t kChunk = 512;       // rows settled together
constexpr uint32_t kGroupSize = 32;  // centroids per group, about
constexpr uint32_t kMaxGroups = 64;
constexpr int kGroupRounds = 5;
constexpr uint32_t kRetryBounds = 3;  // full rounds before the bounds are tried again

// Sums of four terms of mixed sign near cancellation: the rounding of the
// additions is relative to the terms, not to the result, so the slack is
// too.
float sum_up(float a, float b, float c, float d) {
    const float m = __builtin_fabsf(a) + __builtin_fabsf(b) + __builtin_fabsf(c) + __builtin_fabsf(d);
    return (a + b + c + d) + m * 0x1p-20f;
}

float sum_down(float a, float b, float c, float d) {
    const float m = __builtin_fabsf(a) + __builtin_fabsf(b) + __builtin_fabsf(c) + __builtin_fabsf(d);
    return (a + b + c + d) - m * 0x1p-20f;
}

// Square roots of squared-distance bounds that are already bounds.
float root_up(float sq) {
    if (!(sq < FLT_MAX)) return kInf;
    if (sq < kTiny) return kTinyDist;
    return rk_math_sqrt_f32(sq * kUp) * kUp;
}

float root_down(float sq) {
    if (!(sq >= kTiny) || !(sq < FLT_MAX)) return 0.0f;
    return rk_math_sqrt_f32(sq * kDown) * kDown;
}

// What the angular rule needs to turn dot products into distance bounds:
// |x - c|^2 = |x|^2 + |c|^2 - 2 x.c, with every norm and dot product known
// only up to its rounding. Norm bounds of the current centroids, and a
// bound e on the rounding of any computed dot product.
struct AngularNorms {
    HookPtr<float> row_sq;  // computed |x|^2 per row
    HookPtr<float> c_hi;
    HookPtr<float> need;  // per centroid a: what l^2 - u^2 must exceed
    float row_max_hi = 0.0f;
    float c_min_lo = 0.0f;
    float e = 0.0f;
};

// Best and second-best score of one row over one group's centroids.
struct GroupBest {
    float best, second;
    uint32_t at;    // centroid number of the best
    bool overflow;  // some other centroid's score overflowed
};

class Lloyd {
public:
    Lloyd(const KmeansJob &job, const float *rows, float *centroids)
        : job_(job),
          rows_(rows),
          cents_(centroids),
          mg_(margins(job.dim)),
          angular_(job.rule == CentroidRule::kAngular) {}

    rk_status_t init(const SeedRows &s);
    void run();

private:
    // Whether a lower bound l proves every centroid it covers worse than
    // row r's own, whose upper bound is u.
    bool clears(float l, float u, uint32_t a) const {
        if (!angular_) return l > u * mg_.ratio + 2.0f * kTinyDist;
        return l * l * kDown > (u * u + an_.need.get()[a]) * kUp;
    }
    float *lb(uint64_t r) { return lb_.get() + r * groups_; }
    bool settled(uint64_t r) {
        const float u = up_.get()[r];
        const uint32_t a = assign_.get()[r];
        const float *l = lb(r);
        for (uint32_t g = 0; g < groups_; ++g)
            if (!clears(l[g], u, a)) return false;
        return true;
    }
    float upper_of(uint64_t r, uint32_t a, float score) const;
    float lower_of(uint64_t r, float second) const;
    rk_status_t make_groups();
    void centroid_norms();
    void pack_groups();
    void settle_chunk(uint64_t first, uint64_t end);
    void scan_groups(uint64_t first, size_t rows);
    void finish_row(uint64_t r, size_t i);
    void settle();
    void settle_all();
    void move_centroids();
    void move_bounds();

    const KmeansJob &job_;
    const float *rows_;
    float *cents_;
    const Margins mg_;
    const bool angular_;
    AngularNorms an_;
    uint32_t groups_ = 1;
    HookPtr<uint32_t> group_of_;  // per centroid
    HookPtr<uint32_t> members_;   // centroids by group, ascending within one
    HookPtr<uint32_t> gstart_;    // groups_ + 1 offsets into members_
    HookPtr<float> gpacked_;      // each group's centroids in panels
    HookPtr<size_t> gpack_at_;    // groups_ offsets into gpacked_
    HookPtr<uint32_t> assign_;
    HookPtr<float> up_, lb_;
    HookPtr<float> own_;        // per chunk row: own centroid's score
    HookPtr<uint8_t> open_;     // per chunk row: 0 settled, 1 scanned
    HookPtr<GroupBest> found_;  // per chunk row and group
    HookPtr<uint32_t> pairs_;   // chunk rows needing a group, by group
    HookPtr<uint32_t> pair_count_;
    HookPtr<float> old_, sums_, scores_, drift_, gdrift_;
    HookPtr<uint64_t> sizes_;
    // Squared L2: row norms, centroid norms by group, and the screen.
    HookPtr<float> row_sq_, gnorm_;
    HookPtr<uint32_t> slot_;  // per centroid: its place within its group
    ScreenedL2 screen_;
    // Rounds that score every row against every centroid:
    // all centroids in group order, packed, and their norms.
    HookPtr<float> all_packed_, all_norm_, all_scores_;
    uint64_t round_scores_ = 0;  // (row, centroid) pairs the last bounded round scored
    uint32_t since_bounded_ = 0;
    bool bounds_pay_ = true;
};

// Neighbouring centroids share a group: a few plain k-means rounds over the
// centroids themselves, started from centroids spread over the numbering.
// The grouping only decides which work is done, never a result, and draws
// nothing from the generator.
rk_status_t Lloyd::make_groups() {
    const uint32_t k = job_.k, dim = job_.dim;
    groups_ = k / kGroupSize;
    if (groups_ < 1) groups_ = 1;
    if (groups_ > kMaxGroups) groups_ = kMaxGroups;
    size_t gd;
    RK_RETURN_IF(!mul_size(groups_, dim, &gd), RK_ERR_NO_MEMORY);
    group_of_ = hook_unique_array<uint32_t>(k);
    members_ = hook_unique_array<uint32_t>(k);
    gstart_ = hook_unique_array<uint32_t>(groups_ + 1);
    gpack_at_ = hook_unique_array<size_t>(groups_ + 1);
    gdrift_ = hook_unique_array<float>(groups_);
    HookPtr<float> centre = hook_unique_array<float>(gd), gsum = hook_unique_array<float>(gd);
    HookPtr<float> d = hook_unique_array<float>(groups_);
    HookPtr<uint64_t> gsize = hook_unique_array<uint64_t>(groups_);
    RK_RETURN_IF(
        !group_of_ || !members_ || !gstart_ || !gpack_at_ || !gdrift_ || !centre || !gsum || !d || !gsize,
        RK_ERR_NO_MEMORY);
    for (uint32_t g = 0; g < groups_; ++g) {
        const size_t c = static_cast<size_t>(g) * k / groups_;
        std::memcpy(centre.get() + static_cast<size_t>(g) * dim, cents_ + c * dim, sizeof(float) * dim);
    }
    for (int round = 0; round <= kGroupRounds; ++round) {
        for (uint32_t c = 0; c < k; ++c) {
            kern::l2sq_block(cents_ + static_cast<size_t>(c) * dim, centre.get(), groups_, dim, dim, d.get());
            group_of_.get()[c] = argmin_score(d.get(), groups_);
        }
        if (round == kGroupRounds) break;
        std::memset(gsum.get(), 0, sizeof(float) * gd);
        std::memset(gsize.get(), 0, sizeof(uint64_t) * groups_);
        for (uint32_t c = 0; c < k; ++c) {
            const uint32_t g = group_of_.get()[c];
            float *s = gsum.get() + static_cast<size_t>(g) * dim;
            for (uint32_t j = 0; j < dim; ++j) s[j] += cents_[static_cast<size_t>(c) * dim + j];
            ++gsize.get()[g];
        }
        for (uint32_t g = 0; g < groups_; ++g) {
            if (gsize.get()[g] == 0) continue;
            for (uint32_t j = 0; j < dim; ++j)
                centre.get()[static_cast<size_t>(g) * dim + j] =
                    gsum.get()[static_cast<size_t>(g) * dim + j] / static_cast<float>(gsize.get()[g]);
        }
    }
    // Members by group, ascending centroid numbers within each.
    uint32_t *start = gstart_.get();
    std::memset(start, 0, sizeof(uint32_t) * (groups_ + 1));
    for (uint32_t c = 0; c < k; ++c) ++start[group_of_.get()[c] + 1];
    for (uint32_t g = 0; g < groups_; ++g) start[g + 1] += start[g];
    HookPtr<uint32_t> fill = hook_unique_array<uint32_t>(groups_);
    RK_RETURN_IF(!fill, RK_ERR_NO_MEMORY);
    std::memcpy(fill.get(), start, sizeof(uint32_t) * groups_);
    for (uint32_t c = 0; c < k; ++c) members_.get()[fill.get()[group_of_.get()[c]]++] = c;
    size_t at = 0;
    for (uint32_t g = 0; g < groups_; ++g) {
        gpack_at_.get()[g] = at;
        const uint32_t n = start[g + 1] - start[g];
        if (n) at += kern::panel_floats(n, dim);
    }
    gpack_at_.get()[groups_] = at;
    gpacked_ = hook_unique_array<float>(at);
    RK_RETURN_IF(!gpacked_, RK_ERR_NO_MEMORY);
    if (job_.rule == CentroidRule::kL2) {
        RK_TRY(screen_.reserve(kGather));
        gnorm_ = hook_unique_array<float>(at / dim);  // padded like the panels
        slot_ = hook_unique_array<uint32_t>(k);
        RK_RETURN_IF(!gnorm_ || !slot_, RK_ERR_NO_MEMORY);
        for (uint32_t g = 0; g < groups_; ++g)
            for (uint32_t i = start[g]; i < start[g + 1]; ++i) slot_.get()[members_.get()[i]] = i - start[g];
    }
    size_t gk;
    RK_RETURN_IF(!mul_size(kGather, k, &gk), RK_ERR_NO_MEMORY);
    all_packed_ = hook_unique_array<float>(kern::panel_floats(k, dim));
    all_norm_ = hook_unique_array<float>(kern::panel_floats(k, 1));
    all_scores_ = hook_unique_array<float>(gk);
    RK_RETURN_IF(!all_packed_ || !all_norm_ || !all_scores_, RK_ERR_NO_MEMORY);
    return RK_OK;
}

rk_status_t Lloyd::init(const SeedRows &s) {
    const uint64_t n = job_.count;
    const uint32_t k = job_.k, dim = job_.dim;
    RK_TRY(make_groups());
    size_t kd, gk, nl, pairs;
    RK_RETURN_IF(!mul_size(k, dim, &kd) || !mul_size(kGather, k, &gk) || !mul_size(n, groups_, &nl) ||
                     !mul_size(kChunk, groups_, &pairs),
                 RK_ERR_NO_MEMORY);
    assign_ = hook_unique_array<uint32_t>(n);
    up_ = hook_unique_array<float>(n);
    lb_ = hook_unique_array<float>(nl);
    own_ = hook_unique_array<float>(kChunk);
    open_ = hook_unique_array<uint8_t>(kChunk);
    found_ = hook_unique_array<GroupBest>(pairs);
    pairs_ = hook_unique_array<uint32_t>(pairs);
    pair_count_ = hook_unique_array<uint32_t>(groups_ + 1);
    old_ = hook_unique_array<float>(kd);
    sums_ = hook_unique_array<float>(kd);
    scores_ = hook_unique_array<float>(gk);
    drift_ = hook_unique_array<float>(k);
    sizes_ = hook_unique_array<uint64_t>(k);
    RK_RETURN_IF(!assign_ || !up_ || !lb_ || !own_ || !open_ || !found_ || !pairs_ || !pair_count_ || !old_ ||
                     !sums_ || !scores_ || !drift_ || !sizes_,
                 RK_ERR_NO_MEMORY);
    for (uint64_t r = 0; r < n; ++r) {
        assign_.get()[r] = s.owner.get()[r];
        up_.get()[r] = dist_up(s.dist.get()[r], mg_);
        const float l = s.lower(r, mg_);
        for (uint32_t g = 0; g < groups_; ++g) lb(r)[g] = l;
    }
    if (!angular_) {
        row_sq_ = hook_unique_array<float>(n);
        RK_RETURN_IF(!row_sq_, RK_ERR_NO_MEMORY);
        for (uint64_t r = 0; r < n; ++r) row_sq_.get()[r] = kern::sqnorm(rows_ + r * dim, dim);
        return RK_OK;
    }
    an_.row_sq = hook_unique_array<float>(n);
    an_.c_hi = hook_unique_array<float>(k);
    an_.need = hook_unique_array<float>(k);
    RK_RETURN_IF(!an_.row_sq || !an_.c_hi || !an_.need, RK_ERR_NO_MEMORY);
    float top = 0.0f;
    for (uint64_t r = 0; r < n; ++r) {
        const float v = kern::sqnorm(rows_ + r * dim, dim);
        an_.row_sq.get()[r] = v;
        // NaN rows are never settled by bounds, whatever this says.
        if (v > top) top = v;
    }
    an_.row_max_hi = top * mg_.hi + kTiny;
    return RK_OK;
}

// Norm bounds of the current centroids, and per centroid a the margin by
// which l^2 - u^2 must beat |c|^2 - |a|^2 plus the dot products' rounding
// before no c can outscore a.
void Lloyd::centroid_norms() {
    const uint32_t k = job_.k, dim = job_.dim;
    float lo_min = kInf, hi_max = 0.0f;
    float *c_lo = an_.need.get();  // the low bounds first, then the margins over them
    for (uint32_t c = 0; c < k; ++c) {
        const float v = kern::sqnorm(cents_ + static_cast<size_t>(c) * dim, dim);
        float lo = v * mg_.lo - kTiny, hi = v * mg_.hi + kTiny;
        if (!(lo > 0.0f)) lo = 0.0f;
        if (!(hi < kInf)) hi = kInf;  // NaN too: nothing is settled
        c_lo[c] = lo;
        an_.c_hi.get()[c] = hi;
        if (lo < lo_min) lo_min = lo;
        if (hi > hi_max) hi_max = hi;
    }
    an_.c_min_lo = lo_min;
    // |fl(x.c) - x.c| <= gamma |x| |c|.
    an_.e = mg_.gamma * root_up(an_.row_max_hi) * root_up(hi_max) * kUp;
    for (uint32_t a = 0; a < k; ++a) an_.need.get()[a] = sum_up(hi_max, -c_lo[a], 4.0f * an_.e, kTiny);
}

// Upper bound on the distance from row r to centroid a, which it scored
// `score` against (squared L2, or the negated dot product).
float Lloyd::upper_of(uint64_t r, uint32_t a, float score) const {
    if (!angular_) return dist_up(score, mg_);
    const float x = an_.row_sq.get()[r] * mg_.hi + kTiny;
    return root_up(sum_up(x, an_.c_hi.get()[a], 2.0f * score, 2.0f * an_.e));
}

// Lower bound on the distance from row r to centroids that scored at least
// `second`.
float Lloyd::lower_of(uint64_t r, float second) const {
    if (!(second < kInf)) return second == kInf ? kInf : 0.0f;
    if (!angular_) return dist_down(second, mg_);
    const float x = an_.row_sq.get()[r] * mg_.lo - kTiny;
    return root_down(sum_down(x, an_.c_min_lo, 2.0f * second, -2.0f * an_.e));
}

void Lloyd::pack_groups() {
    const uint32_t dim = job_.dim;
    float *tmp = old_.get();  // gathered members, then packed
    for (uint32_t g = 0; g < groups_; ++g) {
        const uint32_t b = gstart_.get()[g], n = gstart_.get()[g + 1] - b;
        if (n == 0) continue;
        for (uint32_t i = 0; i < n; ++i)
            std::memcpy(tmp + static_cast<size_t>(i) * dim,
                        cents_ + static_cast<size_t>(members_.get()[b + i]) * dim, sizeof(float) * dim);
        kern::pack_panels(tmp, n, dim, dim, gpacked_.get() + gpack_at_.get()[g]);
        if (!angular_)
            panel_sqnorms(gpacked_.get() + gpack_at_.get()[g], n, dim,
                          gnorm_.get() + gpack_at_.get()[g] / dim);
    }
}

// Scores the chunk's rows against the groups their bounds did not clear,
// group by group, keeping each row's best and second score per group.
void Lloyd::scan_groups(uint64_t first, size_t rows) {
    const uint32_t dim = job_.dim;
    uint32_t *count = pair_count_.get();
    std::memset(count, 0, sizeof(uint32_t) * (groups_ + 1));
    for (size_t i = 0; i < rows; ++i) {
        if (!open_.get()[i]) continue;
        const uint64_t r = first + i;
        const float u = up_.get()[r];
        const uint32_t a = assign_.get()[r];
        for (uint32_t g = 0; g < groups_; ++g)
            if (!clears(lb(r)[g], u, a)) ++count[g + 1];
    }
    for (uint32_t g = 0; g < groups_; ++g) count[g + 1] += count[g];
    uint32_t *pairs = pairs_.get();
    for (size_t i = 0; i < rows; ++i) {
        if (!open_.get()[i]) continue;
        const uint64_t r = first + i;
        const float u = up_.get()[r];
        const uint32_t a = assign_.get()[r];
        for (uint32_t g = 0; g < groups_; ++g)
            if (!clears(lb(r)[g], u, a)) pairs[count[g]++] = static_cast<uint32_t>(i);
    }
    // count[g] now ends group g's pairs; group g starts where g - 1 ended.
    const float *ptr[kGather];
    float cleared[kGather];
    for (uint32_t g = 0; g < groups_; ++g) {
        const uint32_t begin = g == 0 ? 0 : count[g - 1], end = count[g];
        const uint32_t mb = gstart_.get()[g], m = gstart_.get()[g + 1] - mb;
        if (m == 0 || begin == end) continue;
        const float *pan = gpacked_.get() + gpack_at_.get()[g];
        round_scores_ += uint64_t(end - begin) * m;
        if (job_.stats) job_.stats->centroid_scores += uint64_t(end - begin) * m;
        for (uint32_t at = begin; at < end; at += kGather) {
            const size_t q = end - at < kGather ? end - at : kGather;
            for (size_t i = 0; i < q; ++i) ptr[i] = rows_ + (first + pairs[at + i]) * dim;
            if (angular_) {
                kern::dot_panels(ptr, q, pan, m, dim, scores_.get(), m);
            } else {
                // Centroids proved farther than the own one keep a lower
                // bound in place of their score: they bound the group all
                // the same.
                float own[kGather], xn[kGather];
                uint32_t known[kGather];
                for (size_t i = 0; i < q; ++i) {
                    const uint64_t r = first + pairs[at + i];
                    own[i] = own_.get()[pairs[at + i]];
                    xn[i] = row_sq_.get()[r];
                    const uint32_t a = assign_.get()[r];
                    known[i] = group_of_.get()[a] == g ? slot_.get()[a] : UINT32_MAX;
                }
                screen_.run(ptr, xn, q, pan, gnorm_.get() + gpack_at_.get()[g] / dim, m, dim, own, known,
                            scores_.get(), m, nullptr, cleared);
            }
            for (size_t i = 0; i < q; ++i) {
                GroupBest &out = found_.get()[static_cast<size_t>(pairs[at + i]) * groups_ + g];
                if (!angular_ && cleared[i] == cleared[i]) {
                    // Every member proved farther than the own centroid,
                    // which lies elsewhere: the group cannot win, and its
                    // least bound bounds it.
                    out = GroupBest{cleared[i], kInf, members_.get()[mb], false};
                    continue;
                }
                float *sc = scores_.get() + i * m;
                if (angular_)
                    for (uint32_t j = 0; j < m; ++j) sc[j] = -sc[j];
                // As a strictly-smaller scan in ascending member order: the
                // first least score below FLT_MAX is best (members ascend, so
                // that is the lowest number, as argmin_score picks); second
                // is the least of all the others.
                const Least least = least_of(sc, m);
                GroupBest b{FLT_MAX, kInf, UINT32_MAX, least.unbounded};
                if (least.value < FLT_MAX) {
                    const uint32_t win = first_equal(sc, m, least.value);
                    b.best = sc[win];
                    b.at = members_.get()[mb + win];
                    const Least before = least_of(sc, win), after = least_of(sc + win + 1, m - win - 1);
                    b.second = before.value < after.value ? before.value : after.value;
                } else {
                    b.second = least.value;
                }
                out = b;
            }
        }
    }
}

// Combines a scanned row's groups with its own centroid's score into the
// argmin over all centroids (groups left out score strictly worse than the
// own centroid), then renews its bounds.
void Lloyd::finish_row(uint64_t r, size_t i) {
    const uint32_t old = assign_.get()[r];
    const float u = up_.get()[r];
    float *l = lb(r);
    float best = own_.get()[i] < FLT_MAX ? own_.get()[i] : FLT_MAX;
    uint32_t at = own_.get()[i] < FLT_MAX ? old : UINT32_MAX;
    for (uint32_t g = 0; g < groups_; ++g) {
        if (clears(l[g], u, old)) continue;
        const GroupBest &b = found_.get()[i * groups_ + g];
        if (b.at == UINT32_MAX) continue;
        if (b.best < best || (b.best == best && b.at < at)) {
            best = b.best;
            at = b.at;
        }
    }
    // Nothing below FLT_MAX anywhere: the plain loop's answer is centroid 0.
    const bool none = at == UINT32_MAX;
    const uint32_t a = none ? 0 : at;
    const float own_score = own_.get()[i];
    for (uint32_t g = 0; g < groups_; ++g) {
        if (clears(l[g], u, old)) {
            // Not scanned: its bound stands, but the old centroid joins the
            // others when the row leaves it.
            if (a != old && group_of_.get()[old] == g) {
                const float b = lower_of(r, own_score);
                if (b < l[g]) l[g] = b;
            }
            continue;
        }
        const GroupBest &b = found_.get()[i * groups_ + g];
        // With no score below FLT_MAX in the group, its smallest is second.
        const float other = b.at == UINT32_MAX || b.at == a ? b.second : b.best;
        l[g] = b.overflow ? 0.0f : lower_of(r, other);
    }
    assign_.get()[r] = a;
    up_.get()[r] = none ? kInf : upper_of(r, a, best);
}

void Lloyd::settle_chunk(uint64_t first, uint64_t end) {
    const uint32_t dim = job_.dim;
    const size_t rows = static_cast<size_t>(end - first);
    size_t open = 0, kept = 0;
    for (size_t i = 0; i < rows; ++i) {
        const uint64_t r = first + i;
        open_.get()[i] = 0;
        if (settled(r)) {
            ++kept;
            continue;
        }
        // Measure the own centroid, which tightens the upper bound.
        const uint32_t a = assign_.get()[r];
        const float *x = rows_ + r * dim, *c = cents_ + static_cast<size_t>(a) * dim;
        const float score = angular_ ? -kern::dot(x, c, dim) : kern::l2sq(x, c, dim);
        own_.get()[i] = score;
        up_.get()[r] = upper_of(r, a, score);
        if (settled(r)) continue;
        open_.get()[i] = 1;
        ++open;
    }
    if (job_.stats) {
        job_.stats->kept += kept;
        job_.stats->tightened += rows - kept;
        job_.stats->scanned += open;
    }
    if (open == 0) return;
    scan_groups(first, rows);
    for (size_t i = 0; i < rows; ++i)
        if (open_.get()[i]) finish_row(first + i, i);
}

void Lloyd::settle() {
    if (angular_) centroid_norms();
    pack_groups();
    for (uint64_t first = 0; first < job_.count; first += kChunk) {
        const uint64_t end = job_.count - first < kChunk ? job_.count : first + kChunk;
        settle_chunk(first, end);
    }
}

// When the bounds save little: every row scored against every centroid in
// one pass (far fewer calls, no bookkeeping per group), which also renews
// every bound from the scores (for squared L2, from the screen's scores and
// lower bounds).
void Lloyd::settle_all() {
    const uint32_t dim = job_.dim, k = job_.k;
    if (angular_) centroid_norms();
    std::memcpy(old_.get(), cents_, sizeof(float) * k * dim);  // scratch: members in group order
    for (uint32_t i = 0; i < k; ++i)
        std::memcpy(old_.get() + static_cast<size_t>(i) * dim,
                    cents_ + static_cast<size_t>(members_.get()[i]) * dim, sizeof(float) * dim);
    kern::pack_panels(old_.get(), k, dim, dim, all_packed_.get());
    if (!angular_) panel_sqnorms(all_packed_.get(), k, dim, all_norm_.get());
    const float *ptr[kGather];
    float xn[kGather];
    uint32_t near[kGather];
    for (uint64_t first = 0; first < job_.count; first += kGather) {
        const size_t q = job_.count - first < kGather ? size_t(job_.count - first) : kGather;
        for (size_t i = 0; i < q; ++i) ptr[i] = rows_ + (first + i) * dim;
        if (angular_) {
            kern::dot_panels(ptr, q, all_packed_.get(), k, dim, all_scores_.get(), k);
            for (size_t i = 0; i < q; ++i) {
                float *sc = all_scores_.get() + i * k;
                for (uint32_t c = 0; c < k; ++c) sc[c] = -sc[c];
                near[i] = least_place(sc, k, members_.get());
            }
        } else {
            for (size_t i = 0; i < q; ++i) xn[i] = row_sq_.get()[first + i];
            screen_.run(ptr, xn, q, all_packed_.get(), all_norm_.get(), k, dim, nullptr, nullptr,
                        all_scores_.get(), k, near, nullptr, members_.get());
        }
        for (size_t i = 0; i < q; ++i) {
            const uint64_t r = first + i;
            const float *sc = all_scores_.get() + i * k;
            const uint32_t w = near[i];
            // Nothing below FLT_MAX: the plain loop's answer is centroid 0.
            const bool none = w >= k;
            const uint32_t a = none ? 0 : members_.get()[w];
            assign_.get()[r] = a;
            up_.get()[r] = none ? kInf : upper_of(r, a, sc[w]);
            float *l = lb(r);
            for (uint32_t g = 0; g < groups_; ++g) {
                const uint32_t b = gstart_.get()[g], e = gstart_.get()[g + 1];
                Least rest;
                if (w >= b && w < e) {
                    const Least x = least_of(sc + b, w - b), y = least_of(sc + w + 1, e - w - 1);
                    rest = Least{x.value < y.value ? x.value : y.value, x.unbounded || y.unbounded};
                } else {
                    rest = least_of(sc + b, e - b);
                }
                l[g] = rest.unbounded ? 0.0f : lower_of(r, rest.value);
            }
        }
    }
    if (job_.stats) {
        job_.stats->scanned += job_.count;
        job_.stats->centroid_scores += job_.count * k;
    }
}

// Sums each centroid's rows in row order and moves every non-empty centroid
// to its mean (renormalised for the angular rule), keeping the old places.
void Lloyd::move_centroids() {
    const uint32_t dim = job_.dim, k = job_.k;
    float *sums = sums_.get();
    uint64_t *sizes = sizes_.get();
    std::memcpy(old_.get(), cents_, sizeof(float) * k * dim);
    std::memset(sums, 0, sizeof(float) * k * dim);
    std::memset(sizes, 0, sizeof(uint64_t) * k);
    for (uint64_t r = 0; r < job_.count; ++r) {
        const float *x = rows_ + r * dim;
        const uint32_t c = assign_.get()[r];
        float *s = sums + static_cast<size_t>(c) * dim;
        for (uint32_t j = 0; j < dim; ++j) s[j] += x[j];
        ++sizes[c];
    }
    for (uint32_t c = 0; c < k; ++c) {
        if (sizes[c] == 0) continue;  // an empty cluster keeps its place
        const float n = static_cast<float>(sizes[c]);
        float *dst = cents_ + static_cast<size_t>(c) * dim;
        const float *s = sums + static_cast<size_t>(c) * dim;
        for (uint32_t j = 0; j < dim; ++j) dst[j] = s[j] / n;
        if (angular_) normalise_copy(dst, dst, dim);
    }
}

// Moves the bounds by how far the centroids moved: the upper bound by the
// own centroid's drift, each group's lower bound by its largest drift.
void Lloyd::move_bounds() {
    const uint32_t dim = job_.dim, k = job_.k;
    float *drift = drift_.get(), *gdrift = gdrift_.get();
    for (uint32_t g = 0; g < groups_; ++g) gdrift[g] = 0.0f;
    for (uint32_t c = 0; c < k; ++c) {
        const size_t o = static_cast<size_t>(c) * dim;
        const float d = dist_up(kern::l2sq(cents_ + o, old_.get() + o, dim), mg_);
        drift[c] = d;
        float &gd = gdrift[group_of_.get()[c]];
        if (d > gd) gd = d;
    }
    for (uint64_t r = 0; r < job_.count; ++r) {
        up_.get()[r] = (up_.get()[r] + drift[assign_.get()[r]]) * kUp;
        float *l = lb(r);
        for (uint32_t g = 0; g < groups_; ++g) {
            const float v = (l[g] - gdrift[g]) * kDown;
            l[g] = v > 0.0f ? v : 0.0f;
        }
    }
}

void Lloyd::run() {
    for (uint32_t it = 0; it < job_.iterations; ++it) {
        // The seeding measured every row against every centroid with the
        // L2 kernels: for the L2 rule its owners are the first assignment.
        if (it > 0 || angular_) {
            // Everything is scored in one pass once a bounded round scored
            // three pairs in four anyway (the break-even measured: squared
            // L2 at 82 % ran 15 % faster in full rounds, cosine at 68 % the
            // same either way), and tries the bounds again every
            // few rounds, as the centroids settle.
            if (!bounds_pay_ && since_bounded_ < kRetryBounds && job_.dim >= kScreenFrom) {
                settle_all();
                ++since_bounded_;
            } else {
                round_scores_ = 0;
                settle();
                since_bounded_ = 0;
                bounds_pay_ = round_scores_ < job_.count * job_.k / 4 * 3;
            }
        }
        move_centroids();
        if (it + 1 < job_.iterations) move_bounds();
    }
}

}  // namespace

rk_status_t lloyd_rounds(const KmeansJob &job, const float *rows, float *centroids, const SeedRows &s) {
    Lloyd lloyd(job, rows, centroids);
    RK_TRY(lloyd.init(s));
    lloyd.run();
    return RK_OK;
}

}  // namespace rk::km
