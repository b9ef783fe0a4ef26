// SPDX-License-Identifier: Apache-2.0
// Placing the first centroids: the farthest-point start and k-means++.
// Both measure rows against centroids in ascending centroid order with the
// L2 kernels and keep, per row, the nearest centroid and its score, so the
// first Lloyd assignment is known when they finish.
#include <cfloat>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/kmeans.h"
#include "index/kmeans_bounds.h"
#include "platform/random.h"
#include "rk_error.h"
#include "rk_platform.h"
#include "vector/kernels.h"

namespace rk::km {

rk_status_t SeedRows::init(uint64_t n) {
    owner = hook_unique_array<uint32_t>(n);
    dist = hook_unique_array<float>(n);
    other = hook_unique_array<float>(n);
    far_cc = hook_unique_array<float>(n);
    lo = hook_unique_array<float>(n);
    RK_RETURN_IF(!owner || !dist || !other || !far_cc || !lo, RK_ERR_NO_MEMORY);
    for (uint64_t r = 0; r < n; ++r) {
        // FLT_MAX stands for "no owner yet": only a smaller score is taken.
        owner.get()[r] = 0;
        dist.get()[r] = FLT_MAX;
        other.get()[r] = kInf;
        far_cc.get()[r] = kInf;
        lo.get()[r] = kInf;
    }
    return RK_OK;
}

void SeedRows::retire_owner(uint64_t r, const Margins &mg) {
    const float d = dist.get()[r];
    if (!(d < FLT_MAX)) return;  // no real owner yet
    if (d < other.get()[r]) other.get()[r] = d;
    float &fc = far_cc.get()[r];
    if (fc < kInf) {
        // |x - c| >= |c - a| - |x - a| for every c skipped under owner a.
        const float b = (dist_down(fc, mg) - dist_up(d, mg)) * kDown;
        if (b < lo.get()[r]) lo.get()[r] = b > 0.0f ? b : 0.0f;
        fc = kInf;
    }
}

void SeedRows::offer_block(uint64_t r, uint32_t c0, const float *d, uint32_t n, const Margins &mg) {
    if (n == 0) return;
    // Scores are squared L2, never -0, so the least value is one bit pattern.
    const Least least = least_of(d, n);
    if (least.unbounded) lo.get()[r] = 0.0f;
    // In turn, each score below the owner's so far takes the row and
    // retires the one before into `other`; every other finite score lands
    // in `other` directly. Together: the first least score wins when it
    // beats the owner, and `other` takes all the rest.
    uint32_t win = n;
    if (least.value < dist.get()[r]) {
        win = first_equal(d, n, least.value);
        retire_owner(r, mg);
        owner.get()[r] = c0 + win;
        dist.get()[r] = least.value;
    }
    float o = other.get()[r];
    if (win == n) {
        const Least rest = least_of(d, n);
        o = rest.value < o ? rest.value : o;
    } else {
        const Least before = least_of(d, win), after = least_of(d + win + 1, n - win - 1);
        o = before.value < o ? before.value : o;
        o = after.value < o ? after.value : o;
    }
    other.get()[r] = o;
}

float SeedRows::lower(uint64_t r, const Margins &mg) const {
    float l = lo.get()[r];
    const float o = other.get()[r];
    if (o < kInf) {
        const float b = dist_down(o, mg);
        if (b < l) l = b;
    }
    const float fc = far_cc.get()[r];
    if (fc < kInf) {
        const float b = (dist_down(fc, mg) - dist_up(dist.get()[r], mg)) * kDown;
        if (b < l) l = b;
    }
    return l > 0.0f ? l : 0.0f;  // NaN to 0 too
}

namespace {

constexpr size_t kBlock = 256;  // rows scored per kernel call
constexpr size_t kGather = 32;  // rows per panel-kernel call

// Measures the rows against centroid c (number i) of the farthest-point
// start; cc[a] is the squared distance from centroid a to c for a < i.
// Rows that the bound rules out are skipped; the others are scored in
// batches through the kernels.
void lower_nearest(const float *rows, uint64_t count, uint32_t dim, const float *c, uint32_t i,
                   const float *cc, const PruneBound &pb, const Margins &mg, SeedRows *s) {
    const float *ptr[kBlock];
    uint64_t at[kBlock];
    float d[kBlock];
    size_t n = 0;
    auto flush = [&] {
        kern::l2sq_many(c, ptr, n, dim, d);
        for (size_t t = 0; t < n; ++t) s->offer(at[t], i, d[t], mg);
        n = 0;
    };
    const uint32_t *owner = s->owner.get();
    const float *dist = s->dist.get();
    for (uint64_t r = 0; r < count; ++r) {
        if (i > 0 && pb.skips(cc[owner[r]], dist[r])) {
            s->skipped(r, cc[owner[r]]);
            continue;
        }
        ptr[n] = rows + r * dim;
        at[n++] = r;
        if (n == kBlock) flush();
    }
    if (n) flush();
}

}  // namespace

rk_status_t farthest_point_start(const KmeansJob &job, const float *rows, float *centroids, bool settle,
                                 SeedRows *s) {
    const uint32_t dim = job.dim;
    const Margins mg = margins(dim);
    const PruneBound pb = prune_bound(dim);
    uint64_t pick = rk::draw() % job.count;
    std::memcpy(centroids, rows + pick * dim, sizeof(float) * dim);
    HookPtr<float> cc = hook_unique_array<float>(job.k);
    RK_RETURN_IF(!cc, RK_ERR_NO_MEMORY);
    for (uint32_t i = 1; i < job.k; ++i) {
        const float *c = centroids + static_cast<size_t>(i - 1) * dim;
        kern::l2sq_block(c, centroids, i - 1, dim, dim, cc.get());
        lower_nearest(rows, job.count, dim, c, i - 1, cc.get(), pb, mg, s);
        float best = 0.0f;
        const float *dist = s->dist.get();
        for (uint64_t r = 0; r < job.count; ++r) {
            if (dist[r] > best) {
                best = dist[r];
                pick = r;
            }
        }
        std::memcpy(centroids + static_cast<size_t>(i) * dim, rows + pick * dim, sizeof(float) * dim);
    }
    if (settle) {
        // The last pick has not been measured yet.
        const uint32_t last = job.k - 1;
        const float *c = centroids + static_cast<size_t>(last) * dim;
        kern::l2sq_block(c, centroids, last, dim, dim, cc.get());
        lower_nearest(rows, job.count, dim, c, last, cc.get(), pb, mg, s);
    }
    return RK_OK;
}

namespace {

// k-means++ by rejection sampling against stale weights (kmeans.h says
// the procedure). Measuring every row against each new centroid would read
// all rows k times; measuring them against batches of new centroids reads
// them a few dozen times and lets the panel kernels score a batch at once,
// while a draw that lands on a stale row measures only that row.
class PlusPlus {
public:
    PlusPlus(const KmeansJob &job, const float *rows, float *centroids, SeedRows *s)
        : job_(job),
          rows_(rows),
          cents_(centroids),
          s_(s),
          mg_(margins(job.dim)),
          pb_(prune_bound(job.dim)) {}

    rk_status_t run(bool settle);
    rk_status_t run_uniform(bool settle);

private:
    rk_status_t allocate();
    float weight(uint64_t r) const {
        const float d = s_->dist.get()[r];
        return d > 0.0f && d < FLT_MAX ? d : 0.0f;
    }
    void sum_block(uint64_t b);
    void sum_total();
    void refresh(uint32_t upto);
    void catch_up(uint64_t r, uint32_t upto);
    uint64_t walk(float t) const;
    uint64_t largest(uint64_t previous) const;
    float draw();

    const KmeansJob &job_;
    const float *rows_;
    float *cents_;
    SeedRows *s_;
    const Margins mg_;
    const PruneBound pb_;
    uint64_t nblocks_ = 0;
    float total_ = 0.0f;
    uint32_t measured_ = 0;    // every row is measured against centroids below this
    HookPtr<uint32_t> stamp_;  // per row: measured against centroids below this
    HookPtr<float> block_sum_;
    HookPtr<float> packed_;  // the batch of new centroids, in panels
    HookPtr<float> min_cc_;  // per centroid: nearest batch centroid's squared distance
    HookPtr<float> cc_;      // one centroid against all
    HookPtr<float> scores_;  // kGather x batch scores
    HookPtr<float> row_sq_;  // per row: its squared norm
    HookPtr<float> cnorm_;   // per batch centroid: its squared norm
    ScreenedL2 screen_;
};

rk_status_t PlusPlus::allocate() {
    nblocks_ = (job_.count + kPlusPlusBlockRows - 1) / kPlusPlusBlockRows;
    size_t packed, scores;
    RK_RETURN_IF(!mul_size(kern::panel_floats(job_.k, job_.dim), 1, &packed), RK_ERR_NO_MEMORY);
    RK_RETURN_IF(!mul_size(kGather, job_.k, &scores), RK_ERR_NO_MEMORY);
    stamp_ = hook_unique_array<uint32_t>(job_.count);
    block_sum_ = hook_unique_array<float>(nblocks_);
    packed_ = hook_unique_array<float>(packed);
    min_cc_ = hook_unique_array<float>(job_.k);
    cc_ = hook_unique_array<float>(job_.k);
    scores_ = hook_unique_array<float>(scores);
    row_sq_ = hook_unique_array<float>(job_.count);
    cnorm_ = hook_unique_array<float>(kern::panel_floats(job_.k, 1));
    RK_RETURN_IF(!stamp_ || !block_sum_ || !packed_ || !min_cc_ || !cc_ || !scores_ || !row_sq_ || !cnorm_,
                 RK_ERR_NO_MEMORY);
    RK_TRY(screen_.reserve(kGather));
    for (uint64_t r = 0; r < job_.count; ++r) row_sq_.get()[r] = kern::sqnorm(rows_ + r * job_.dim, job_.dim);
    std::memset(stamp_.get(), 0, sizeof(uint32_t) * job_.count);
    return RK_OK;
}

float PlusPlus::draw() { return static_cast<float>(rk::draw() >> 40) * 0x1p-24f; }

void PlusPlus::sum_block(uint64_t b) {
    const uint64_t end = b + 1 == nblocks_ ? job_.count : (b + 1) * kPlusPlusBlockRows;
    float sum = 0.0f;
    for (uint64_t r = b * kPlusPlusBlockRows; r < end; ++r) sum += weight(r);
    block_sum_.get()[b] = sum;
}

void PlusPlus::sum_total() {
    float sum = 0.0f;
    for (uint64_t b = 0; b < nblocks_; ++b) sum += block_sum_.get()[b];
    total_ = sum;
}

// Brings every row up to centroids [0, upto): the new ones are packed and
// scored in panels, except for rows the prune test clears against all of
// them at once.
void PlusPlus::refresh(uint32_t upto) {
    const uint32_t first = measured_, dim = job_.dim;
    if (first >= upto) return;
    const uint32_t batch = upto - first;
    kern::pack_panels(cents_ + static_cast<size_t>(first) * dim, batch, dim, dim, packed_.get());
    panel_sqnorms(packed_.get(), batch, dim, cnorm_.get());
    float *min_cc = min_cc_.get();
    for (uint32_t a = 0; a < upto; ++a) min_cc[a] = kInf;
    for (uint32_t c = first; c < upto; ++c) {
        kern::l2sq_block(cents_ + static_cast<size_t>(c) * dim, cents_, upto, dim, dim, cc_.get());
        for (uint32_t a = 0; a < upto; ++a) {
            // NaN distances must not look far: they make the test fail.
            const float v = cc_.get()[a] == cc_.get()[a] ? cc_.get()[a] : 0.0f;
            if (a != c && v < min_cc[a]) min_cc[a] = v;
        }
    }
    const float *ptr[kGather];
    uint64_t at[kGather];
    size_t n = 0;
    float xn[kGather], bound[kGather];
    auto flush = [&] {
        // Only each row's least score and lower bounds of the others are
        // needed; every centroid a row has met is at least its dist.
        for (size_t g = 0; g < n; ++g) {
            xn[g] = row_sq_.get()[at[g]];
            bound[g] = s_->dist.get()[at[g]];
        }
        screen_.run(ptr, xn, n, packed_.get(), cnorm_.get(), batch, dim, bound, nullptr, scores_.get(),
                    batch);
        for (size_t g = 0; g < n; ++g) {
            const uint64_t r = at[g];
            const float *sc = scores_.get() + g * batch;
            const uint32_t from = stamp_.get()[r];
            s_->offer_block(r, from, sc + (from - first), upto - from, mg_);
            stamp_.get()[r] = upto;
        }
        n = 0;
    };
    const uint32_t *owner = s_->owner.get();
    const float *dist = s_->dist.get();
    for (uint64_t r = 0; r < job_.count; ++r) {
        if (stamp_.get()[r] >= upto) continue;
        const float cc = min_cc[owner[r]];
        if (stamp_.get()[r] > 0 && pb_.skips(cc, dist[r])) {
            s_->skipped(r, cc);
            stamp_.get()[r] = upto;
            continue;
        }
        ptr[n] = rows_ + r * dim;
        at[n++] = r;
        if (n == kGather) flush();
    }
    if (n) flush();
    measured_ = upto;
    for (uint64_t b = 0; b < nblocks_; ++b) sum_block(b);
    sum_total();
}

// Brings one row up to centroids [0, upto).
void PlusPlus::catch_up(uint64_t r, uint32_t upto) {
    const uint32_t from = stamp_.get()[r], dim = job_.dim;
    const float *x = rows_ + r * dim;
    float *d = cc_.get();
    kern::l2sq_block(x, cents_ + static_cast<size_t>(from) * dim, upto - from, dim, dim, d);
    s_->offer_block(r, from, d, upto - from, mg_);
    stamp_.get()[r] = upto;
    sum_block(r / kPlusPlusBlockRows);
    sum_total();
}

// The row whose weight's running sum first exceeds t (total_ > 0).
uint64_t PlusPlus::walk(float t) const {
    float acc = 0.0f;
    uint64_t b = 0, last_positive = 0;
    for (; b < nblocks_; ++b) {
        const float next = acc + block_sum_.get()[b];
        if (t < next) break;
        if (block_sum_.get()[b] > 0.0f) last_positive = b;
        acc = next;
    }
    const bool found = b < nblocks_;
    if (!found) b = last_positive;
    const uint64_t begin = b * kPlusPlusBlockRows;
    const uint64_t end = b + 1 == nblocks_ ? job_.count : begin + kPlusPlusBlockRows;
    uint64_t last = begin;
    if (found) {
        const float t2 = t - acc;
        float run = 0.0f;
        for (uint64_t r = begin; r < end; ++r) {
            const float w = weight(r);
            run += w;
            if (t2 < run) return r;
            if (w > 0.0f) last = r;
        }
        return last;
    }
    for (uint64_t r = begin; r < end; ++r)
        if (weight(r) > 0.0f) last = r;
    return last;
}

uint64_t PlusPlus::largest(uint64_t previous) const {
    float best = 0.0f;
    uint64_t pick = previous;
    for (uint64_t r = 0; r < job_.count; ++r) {
        if (weight(r) > best) {
            best = weight(r);
            pick = r;
        }
    }
    return pick;
}

rk_status_t PlusPlus::run(bool settle) {
    RK_TRY(allocate());
    const uint32_t dim = job_.dim;
    uint64_t pick = rk::draw() % job_.count;
    std::memcpy(cents_, rows_ + pick * dim, sizeof(float) * dim);
    refresh(1);
    uint32_t next = 1 + kPlusPlusFirstBatch;
    for (uint32_t i = 1; i < job_.k; ++i) {
        if (i == next) {
            refresh(i);
            next = i + (i / 2 > kPlusPlusFirstBatch ? i / 2 : kPlusPlusFirstBatch);
        }
        uint32_t refusals = 0;
        for (;;) {
            if (!(total_ > 0.0f && total_ <= FLT_MAX)) {
                refresh(i);
                pick = largest(pick);
                break;
            }
            const float t = draw() * total_;
            const uint64_t r = walk(t);
            if (job_.stats) ++job_.stats->seed_draws;
            if (stamp_.get()[r] < i) {
                const float before = weight(r);
                catch_up(r, i);
                const float after = weight(r);
                if (after != before && !(draw() * before < after)) {
                    if (++refusals == kPlusPlusMaxTries) refresh(i);
                    continue;
                }
            }
            pick = r;
            break;
        }
        std::memcpy(cents_ + static_cast<size_t>(i) * dim, rows_ + pick * dim, sizeof(float) * dim);
    }
    if (settle) refresh(job_.k);
    return RK_OK;
}

// k distinct rows drawn uniformly: a Fisher-Yates shuffle of the row
// numbers stopped after k steps, step i swapping position i with position
// i + rk_rand-draw % (count - i). Then every row is measured against them all.
rk_status_t PlusPlus::run_uniform(bool settle) {
    RK_TRY(allocate());
    HookPtr<uint32_t> order = hook_unique_array<uint32_t>(job_.count);
    RK_RETURN_IF(!order, RK_ERR_NO_MEMORY);
    uint32_t *o = order.get();
    for (uint64_t r = 0; r < job_.count; ++r) o[r] = static_cast<uint32_t>(r);
    for (uint32_t i = 0; i < job_.k; ++i) {
        const uint64_t j = i + rk::draw() % (job_.count - i);
        std::swap(o[i], o[j]);
        std::memcpy(cents_ + static_cast<size_t>(i) * job_.dim, rows_ + static_cast<size_t>(o[i]) * job_.dim,
                    sizeof(float) * job_.dim);
    }
    if (settle) refresh(job_.k);
    return RK_OK;
}

}  // namespace

rk_status_t uniform_start(const KmeansJob &job, const float *rows, float *centroids, bool settle,
                          SeedRows *s) {
    PlusPlus pp(job, rows, centroids, s);
    return pp.run_uniform(settle);
}

rk_status_t plus_plus_start(const KmeansJob &job, const float *rows, float *centroids, bool settle,
                            SeedRows *s) {
    PlusPlus pp(job, rows, centroids, s);
    return pp.run(settle);
}

}  // namespace rk::km
