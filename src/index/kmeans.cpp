// k-means with a seeded farthest-point start. Every distance goes through the
// batch kernels, which return exactly the bits of the one-pair loops, so the
// centroids depend only on the data, the seed and the iteration count.
#include "index/kmeans.h"

#include <cfloat>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "rk_error.h"
#include "rk_platform.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk {
namespace {

constexpr size_t kBlock = 256;  // rows scored per kernel call

// Rows of the job as the clustering sees them: the caller's data for L2, a
// normalised copy for the angular rule.
struct Rows {
    const float *base = nullptr;
    HookPtr<float> owned;
};

rk_status_t prepare_rows(const KmeansJob &job, Rows *rows) {
    if (job.rule == CentroidRule::kL2) {
        rows->base = job.data;
        return RK_OK;
    }
    size_t n;
    if (!mul_size(job.count, job.dim, &n)) return RK_ERR_NO_MEMORY;
    rows->owned = hook_unique_array<float>(n);
    if (!rows->owned) return RK_ERR_NO_MEMORY;
    for (uint64_t r = 0; r < job.count; ++r)
        normalise_copy(job.data + r * job.dim, rows->owned.get() + r * job.dim, job.dim);
    rows->base = rows->owned.get();
    return RK_OK;
}

// Pruning by the triangle inequality. A row whose nearest centroid so far
// is a, at computed squared distance m, cannot come strictly nearer to a new
// centroid c when |c - a|^2 > 4 m: then |x - c| >= |c - a| - |x - a| > |x - a|.
// The computed sums carry a relative error of at most about (dim + 2) * 2^-24
// each (non-negative terms added in order), so the test asks for a margin
// well beyond that, plus an absolute slack far above any underflow; a row
// that passes would have computed a distance >= m and changed nothing, so
// skipping it leaves every bit of the result as the full scan gives it.
struct PruneBound {
    float factor;
    bool skips(float cc, float m) const {
        const float bound = 4.0f * m * factor + 1e-20f;
        return cc <= FLT_MAX && cc > bound;
    }
};

PruneBound prune_bound(uint32_t dim) {
    const float gamma = (static_cast<float>(dim) + 8.0f) * 0x1p-23f;
    return PruneBound{1.0f + 4.0f * gamma + 1e-6f};
}

// State of the farthest-point start: for every row the smallest squared
// distance to a picked centroid and which centroid that is.
struct Nearest {
    float *dist;
    uint32_t *owner;
};

// Lowers the nearest distances by centroid c (number i); cc[a] is the squared
// distance from centroid a to c for a < i. Rows that the bound rules out are
// skipped; the others are scored in batches through the kernels.
void lower_nearest(const float *rows, uint64_t count, uint32_t dim, const float *c, uint32_t i,
                   const float *cc, const PruneBound &pb, Nearest *nr) {
    const float *ptr[kBlock];
    uint64_t at[kBlock];
    float d[kBlock];
    size_t n = 0;
    auto flush = [&] {
        kern::l2sq_many(c, ptr, n, dim, d);
        for (size_t t = 0; t < n; ++t) {
            if (d[t] < nr->dist[at[t]]) {
                nr->dist[at[t]] = d[t];
                nr->owner[at[t]] = i;
            }
        }
        n = 0;
    };
    for (uint64_t r = 0; r < count; ++r) {
        if (i > 0 && pb.skips(cc[nr->owner[r]], nr->dist[r])) continue;
        ptr[n] = rows + r * dim;
        at[n++] = r;
        if (n == kBlock) flush();
    }
    if (n) flush();
}

// Centroid 0 is a random row; centroid i is the row farthest from its nearest
// earlier centroid (the first row on ties; the previous pick again when every
// row coincides with some centroid).
rk_status_t farthest_point_start(const KmeansJob &job, const float *rows, float *centroids) {
    const uint32_t dim = job.dim;
    uint64_t pick = rk_rand() % job.count;
    std::memcpy(centroids, rows + pick * dim, sizeof(float) * dim);
    if (job.k == 1) return RK_OK;
    HookPtr<float> dist = hook_unique_array<float>(job.count);
    HookPtr<uint32_t> owner = hook_unique_array<uint32_t>(job.count);
    HookPtr<float> cc = hook_unique_array<float>(job.k);
    if (!dist || !owner || !cc) return RK_ERR_NO_MEMORY;
    Nearest nr{dist.get(), owner.get()};
    for (uint64_t r = 0; r < job.count; ++r) {
        nr.dist[r] = FLT_MAX;
        nr.owner[r] = 0;
    }
    const PruneBound pb = prune_bound(dim);
    for (uint32_t i = 1; i < job.k; ++i) {
        const float *c = centroids + static_cast<size_t>(i - 1) * dim;
        kern::l2sq_block(c, centroids, i - 1, dim, dim, cc.get());
        lower_nearest(rows, job.count, dim, c, i - 1, cc.get(), pb, &nr);
        float best = 0.0f;
        for (uint64_t r = 0; r < job.count; ++r) {
            if (nr.dist[r] > best) {
                best = nr.dist[r];
                pick = r;
            }
        }
        std::memcpy(centroids + static_cast<size_t>(i) * dim, rows + pick * dim, sizeof(float) * dim);
    }
    return RK_OK;
}

// One Lloyd round: assign every row (old centroids), accumulate the sums in
// row order, then move each non-empty centroid to its mean.
void lloyd_round(const KmeansJob &job, const float *rows, float *centroids, float *scores, float *sums,
                 uint64_t *sizes) {
    const uint32_t dim = job.dim, k = job.k;
    std::memset(sums, 0, sizeof(float) * k * dim);
    std::memset(sizes, 0, sizeof(uint64_t) * k);
    for (uint64_t r = 0; r < job.count; ++r) {
        const float *x = rows + r * dim;
        centroid_scores(job.rule, x, centroids, k, dim, scores);
        const uint32_t c = argmin_score(scores, k);
        float *s = sums + static_cast<size_t>(c) * dim;
        for (uint32_t j = 0; j < dim; ++j) s[j] += x[j];
        ++sizes[c];
    }
    for (uint32_t c = 0; c < k; ++c) {
        if (sizes[c] == 0) continue;  // an empty cluster keeps its place
        const float n = static_cast<float>(sizes[c]);
        float *dst = centroids + static_cast<size_t>(c) * dim;
        const float *s = sums + static_cast<size_t>(c) * dim;
        for (uint32_t j = 0; j < dim; ++j) dst[j] = s[j] / n;
        if (job.rule == CentroidRule::kAngular) normalise_copy(dst, dst, dim);
    }
}

}  // namespace

void normalise_copy(const float *src, float *dst, uint32_t dim) {
    const float n = rk_math_sqrt_f32(kern::dot(src, src, dim));
    if (n < kZeroNorm) {
        if (dst != src) std::memcpy(dst, src, sizeof(float) * dim);
        return;
    }
    const float f = 1.0f / n;
    for (uint32_t j = 0; j < dim; ++j) dst[j] = src[j] * f;
}

void centroid_scores(CentroidRule rule, const float *x, const float *centroids, uint32_t k, uint32_t dim,
                     float *out) {
    if (rule == CentroidRule::kL2) {
        kern::l2sq_block(x, centroids, k, dim, dim, out);
        return;
    }
    kern::dot_block(x, centroids, k, dim, dim, out);
    for (uint32_t c = 0; c < k; ++c) out[c] = -out[c];
}

uint32_t argmin_score(const float *scores, uint32_t k) {
    float best = FLT_MAX;
    uint32_t at = 0;
    for (uint32_t c = 0; c < k; ++c) {
        if (scores[c] < best) {
            best = scores[c];
            at = c;
        }
    }
    return at;
}

rk_status_t kmeans_train(const KmeansJob &job, float *centroids) {
    RK_RETURN_IF(!job.data || !centroids || job.dim == 0, RK_ERR_INVALID_ARG);
    RK_RETURN_IF(job.k == 0 || job.k > job.count, RK_ERR_INVALID_ARG);
    size_t ncentroid_floats;
    RK_RETURN_IF(!mul_size(job.k, job.dim, &ncentroid_floats), RK_ERR_NO_MEMORY);

    Rows rows;
    RK_TRY(prepare_rows(job, &rows));
    RK_TRY(farthest_point_start(job, rows.base, centroids));
    if (job.iterations == 0) return RK_OK;

    HookPtr<float> scores = hook_unique_array<float>(job.k);
    HookPtr<float> sums = hook_unique_array<float>(ncentroid_floats);
    HookPtr<uint64_t> sizes = hook_unique_array<uint64_t>(job.k);
    RK_RETURN_IF(!scores || !sums || !sizes, RK_ERR_NO_MEMORY);
    for (uint32_t it = 0; it < job.iterations; ++it)
        lloyd_round(job, rows.base, centroids, scores.get(), sums.get(), sizes.get());
    return RK_OK;
}

}  // namespace rk
