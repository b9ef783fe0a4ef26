// k-means for the IVF coarse quantiser, and the nearest-centroid helpers that
// training, adding and searching share so they all agree on ties.
#ifndef RK_INDEX_KMEANS_H
#define RK_INDEX_KMEANS_H

#include <cstddef>
#include <cstdint>

#include "rk_common.h"

namespace rk {

// Norms below 2^-23 count as zero (no direction to normalise or compare).
constexpr float kZeroNorm = 1.1920929e-7f;

// How vectors are compared with centroids. Squared L2 is the classic
// clustering; the angular form clusters directions: rows are normalised,
// centroids are kept at unit length and "nearest" is the largest dot product
// (scored as its negation so smaller is always nearer).
enum class CentroidRule : uint32_t { kL2 = 0, kAngular = 1 };

struct KmeansJob {
    const float *data = nullptr;  // count rows of dim floats
    uint64_t count = 0;
    uint32_t dim = 0;
    uint32_t k = 0;  // centroids wanted, 1 <= k <= count
    uint32_t iterations = 0;
    CentroidRule rule = CentroidRule::kL2;
};

// Fills centroids (k * dim floats). The first centroid is the row picked by
// one draw of rk_rand(), the others farthest-point picks, then `iterations`
// Lloyd rounds. RK_ERR_INVALID_ARG for k == 0, k > count or null pointers;
// RK_ERR_NO_MEMORY when scratch cannot be had (centroids then undefined).
rk_status_t kmeans_train(const KmeansJob &job, float *centroids);

// Scores of x against k centroids (k * dim floats, contiguous): squared L2,
// or the negated dot product for the angular rule.
void centroid_scores(CentroidRule rule, const float *x, const float *centroids, uint32_t k, uint32_t dim,
                     float *out);

// Position of the smallest score: starts from FLT_MAX at position 0 and only a
// strictly smaller score wins, so the lowest position wins ties.
uint32_t argmin_score(const float *scores, uint32_t k);

// dst = src scaled to unit length (multiplied by 1 / norm); a vector whose
// norm is below 2^-23 is copied unchanged.
void normalise_copy(const float *src, float *dst, uint32_t dim);

}  // namespace rk

#endif
