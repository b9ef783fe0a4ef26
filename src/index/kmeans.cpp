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

constexpr size_t kBlock = 256;              // rows scored per kernel call

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

// Lowers nearest[r] to the distance between row r and centroid c where that
// is strictly nearer; the running minimum equals the minimum over all
// centroids picked so far.
void lower_nearest(const float *rows, uint64_t count, uint32_t dim, const float *c, float *nearest) {
    float d[kBlock];
    for (uint64_t r0 = 0; r0 < count; r0 += kBlock) {
        const size_t n = count - r0 < kBlock ? static_cast<size_t>(count - r0) : kBlock;
        kern::l2sq_block(c, rows + r0 * dim, n, dim, dim, d);
        for (size_t i = 0; i < n; ++i)
            if (d[i] < nearest[r0 + i]) nearest[r0 + i] = d[i];
    }
}

// Centroid 0 is a random row; centroid i is the row farthest from its nearest
// earlier centroid (the first row on ties; the previous pick again when every
// row coincides with some centroid).
rk_status_t farthest_point_start(const KmeansJob &job, const float *rows, float *centroids) {
    const uint32_t dim = job.dim;
    uint64_t pick = rk_rand() % job.count;
    std::memcpy(centroids, rows + pick * dim, sizeof(float) * dim);
    if (job.k == 1) return RK_OK;
    HookPtr<float> nearest = hook_unique_array<float>(job.count);
    if (!nearest) return RK_ERR_NO_MEMORY;
    for (uint64_t r = 0; r < job.count; ++r) nearest.get()[r] = FLT_MAX;
    for (uint32_t i = 1; i < job.k; ++i) {
        lower_nearest(rows, job.count, dim, centroids + static_cast<size_t>(i - 1) * dim,
                      nearest.get());
        float best = 0.0f;
        for (uint64_t r = 0; r < job.count; ++r) {
            if (nearest.get()[r] > best) {
                best = nearest.get()[r];
                pick = r;
            }
        }
        std::memcpy(centroids + static_cast<size_t>(i) * dim, rows + pick * dim, sizeof(float) * dim);
    }
    return RK_OK;
}

// One Lloyd round: assign every row (old centroids), accumulate the sums in
// row order, then move each non-empty centroid to its mean.
void lloyd_round(const KmeansJob &job, const float *rows, float *centroids, float *scores,
                 float *sums, uint64_t *sizes) {
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

void centroid_scores(CentroidRule rule, const float *x, const float *centroids, uint32_t k,
                     uint32_t dim, float *out) {
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
