// SPDX-License-Identifier: Apache-2.0
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

// How the first centroids are placed (the IVF parameters' first spare word).
enum class Seeding : uint32_t {
    // Centroid i is the row farthest from its nearest earlier centroid (the
    // first row on ties; the previous pick again when every row coincides
    // with some centroid).
    kFarthest = 0,
    // k-means++: centroid i is drawn with probability proportional to a
    // row's squared distance to its nearest earlier centroid. Draws are made
    // as follows, so a seed (rk_srand) fixes every pick on every machine:
    // - A row's weight is its squared distance (the L2 kernel's float) to
    //   the nearest of the centroids it has been measured against, 0 when
    //   that is not positive (NaN included). Rows are measured against new
    //   centroids in batches: all of them once centroid 0 is placed, and
    //   again each time the centroid count reaches kPlusPlusFirstBatch more,
    //   or half again as many, as at the last time (whichever is more).
    // - Weights are summed in blocks of kPlusPlusBlockRows rows (floats
    //   added one at a time in row order), the block sums likewise in block
    //   order. A draw u is (r >> 40) * 2^-24, and t = u * total.
    //   The first block whose running sum exceeds t is taken, then within
    //   it the first row whose running sum of weights exceeds t minus the
    //   sums of the blocks before (the block's last row of positive weight
    //   when rounding leaves none; likewise the last such block).
    // - A row that has not been measured against every centroid so far is
    //   measured now; unless its weight stayed the same it is taken only
    //   when a second draw u satisfies u * old weight < new weight, and the
    //   draw starts over otherwise. After kPlusPlusMaxTries such refusals
    //   all rows are measured against every centroid. This is rejection
    //   sampling: a taken row has exactly the k-means++ probability.
    // - When the total is not a positive finite float, all rows are
    //   measured and the row of largest weight is taken (the first on
    //   ties), or the previous pick again when no weight is positive.
    kPlusPlus = 1,
    // Centroid i is row o[i] of a Fisher-Yates shuffle o of the row numbers
    // stopped after k steps: step i swaps o[i] with o[i + r % (count - i)],
    // r the next rk::draw(). Every row is an equally likely centroid, so
    // dense regions get centroids in proportion to their rows.
    kUniform = 2,
};

inline constexpr uint32_t kPlusPlusFirstBatch = 8;
inline constexpr uint64_t kPlusPlusBlockRows = 1024;
inline constexpr uint32_t kPlusPlusMaxTries = 64;

// Work the bounds saved, for tests and benchmarks.
struct KmeansStats {
    uint64_t kept = 0;             // Lloyd rows the bounds settled without scoring
    uint64_t tightened = 0;        // rows scored against their own centroid
    uint64_t scanned = 0;          // rows then scored against some groups of centroids
    uint64_t centroid_scores = 0;  // (row, centroid) pairs those scans scored
    uint64_t seed_draws = 0;       // k-means++ draws, refused ones included
};

struct KmeansJob {
    const float *data = nullptr;  // count rows of dim floats
    uint64_t count = 0;
    uint32_t dim = 0;
    uint32_t k = 0;  // centroids wanted, 1 <= k <= count
    uint32_t iterations = 0;
    CentroidRule rule = CentroidRule::kL2;
    Seeding seeding = Seeding::kFarthest;
    KmeansStats *stats = nullptr;  // optional, counts added to
};

// Fills centroids (k * dim floats). The first centroid is the row picked by
// one draw of the library generator (modulo count), the others placed by the seeding,
// then `iterations` Lloyd rounds: assign every row to its nearest centroid
// (the lowest number on ties), sum each centroid's rows in row order, move
// every non-empty centroid to the sum divided by its size. The angular rule
// measures normalised rows and renormalises centroids. Rows whose nearest
// centroid cannot change are skipped by bounds from the triangle
// inequality, so the result has the bits of the plain loops.
// RK_ERR_INVALID_ARG for k == 0, k > count, null pointers or an unknown
// seeding; RK_ERR_NO_MEMORY when scratch cannot be had (centroids then
// undefined).
rk_status_t kmeans_train(const KmeansJob &job, float *centroids);

// Nearest centroid of each of n rows (row i at rows + i * dim): the
// smallest score, the lowest number on ties, as argmin_score over
// centroid_scores. RK_ERR_NO_MEMORY when scratch cannot be had.
rk_status_t nearest_centroids(CentroidRule rule, const float *rows, uint64_t n, const float *centroids,
                              uint32_t k, uint32_t dim, uint32_t *out);

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
