// SPDX-License-Identifier: Apache-2.0
// k-means: the driver, and the nearest-centroid helpers that training,
// adding and searching share so they all agree on ties. The seeding lives
// in kmeans_seed.cpp, the Lloyd rounds in kmeans_lloyd.cpp.
#include "index/kmeans.h"

#include <cfloat>
#include <cstring>

#include "core/alloc.h"
#include "core/status.h"
#include "index/kmeans_bounds.h"
#include "rk_error.h"
#include "rk_vector.h"
#include "vector/kernels.h"

namespace rk {
namespace {

constexpr size_t kGather = 32;  // rows per panel-kernel call

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

rk_status_t nearest_centroids(CentroidRule rule, const float *rows, uint64_t n, const float *centroids,
                              uint32_t k, uint32_t dim, uint32_t *out) {
    size_t gk;
    RK_RETURN_IF(!mul_size(kGather, k, &gk), RK_ERR_NO_MEMORY);
    HookPtr<float> scores = hook_unique_array<float>(gk);
    RK_RETURN_IF(!scores, RK_ERR_NO_MEMORY);
    // Packing costs about one row's scoring: worth it from a few rows on.
    if (n < 4) {
        for (uint64_t r = 0; r < n; ++r) {
            centroid_scores(rule, rows + r * dim, centroids, k, dim, scores.get());
            out[r] = argmin_score(scores.get(), k);
        }
        return RK_OK;
    }
    HookPtr<float> packed = hook_unique_array<float>(kern::panel_floats(k, dim));
    RK_RETURN_IF(!packed, RK_ERR_NO_MEMORY);
    kern::pack_panels(centroids, k, dim, dim, packed.get());
    // Squared L2 is screened through dot products: only the smallest score
    // of each row is needed.
    km::ScreenedL2 screen;
    HookPtr<float> cnorm;
    float qnorm[kGather];
    if (rule == CentroidRule::kL2) {
        RK_TRY(screen.reserve(kGather));
        cnorm = hook_unique_array<float>(kern::panel_floats(k, 1));
        RK_RETURN_IF(!cnorm, RK_ERR_NO_MEMORY);
        km::panel_sqnorms(packed.get(), k, dim, cnorm.get());
    }
    const float *ptr[kGather];
    for (uint64_t at = 0; at < n; at += kGather) {
        const size_t g = n - at < kGather ? size_t(n - at) : kGather;
        for (size_t i = 0; i < g; ++i) ptr[i] = rows + (at + i) * dim;
        if (rule == CentroidRule::kL2) {
            kern::sqnorm_many(ptr, g, dim, qnorm);
            screen.run(ptr, qnorm, g, packed.get(), cnorm.get(), k, dim, nullptr, nullptr, scores.get(), k,
                       out + at);
            for (size_t i = 0; i < g; ++i)
                if (out[at + i] >= k) out[at + i] = 0;  // nothing below FLT_MAX: centroid 0
            continue;
        } else {
            kern::dot_panels(ptr, g, packed.get(), k, dim, scores.get(), k);
            for (size_t i = 0; i < g * k; ++i) scores.get()[i] = -scores.get()[i];
        }
        for (size_t i = 0; i < g; ++i) out[at + i] = argmin_score(scores.get() + i * k, k);
    }
    return RK_OK;
}

rk_status_t kmeans_train(const KmeansJob &job, float *centroids) {
    RK_RETURN_IF(!job.data || !centroids || job.dim == 0, RK_ERR_INVALID_ARG);
    RK_RETURN_IF(job.k == 0 || job.k > job.count, RK_ERR_INVALID_ARG);
    RK_RETURN_IF(job.seeding > Seeding::kUniform, RK_ERR_INVALID_ARG);
    size_t ncentroid_floats;
    RK_RETURN_IF(!mul_size(job.k, job.dim, &ncentroid_floats), RK_ERR_NO_MEMORY);

    Rows rows;
    RK_TRY(prepare_rows(job, &rows));
    km::SeedRows seeds;
    RK_TRY(seeds.init(job.count));
    const bool settle = job.iterations > 0;
    if (job.seeding == Seeding::kPlusPlus) {
        RK_TRY(km::plus_plus_start(job, rows.base, centroids, settle, &seeds));
    } else if (job.seeding == Seeding::kUniform) {
        RK_TRY(km::uniform_start(job, rows.base, centroids, settle, &seeds));
    } else {
        RK_TRY(km::farthest_point_start(job, rows.base, centroids, settle, &seeds));
    }
    if (!settle) return RK_OK;
    return km::lloyd_rounds(job, rows.base, centroids, seeds);
}

}  // namespace rk
