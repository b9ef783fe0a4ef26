// SPDX-License-Identifier: Apache-2.0
// Internal distance kernels. Every subsystem computes distances through
// these, so a faster path here serves every search.
//
// The contract that makes results reproducible: each distance is a single
// single-precision accumulator starting at +0.0, fed one rounded term at a
// time in ascending index order, with no fused multiply-add. The batch
// functions return exactly the bits of the one-row loops for every row and
// every dimension; their speed comes from computing several rows at once
// (one SIMD lane per row), never from splitting or reordering one sum.
#ifndef RK_VECTOR_KERNELS_H
#define RK_VECTOR_KERNELS_H

#include <cstddef>
#include <cstdint>

namespace rk::kern {

// Reference loops: one single-precision accumulator, terms added in index
// order, no FMA. A dimension of 0 gives +0.0.
float l2sq(const float *a, const float *b, uint32_t dim);  // sum of (a[i]-b[i])^2
float dot(const float *a, const float *b, uint32_t dim);   // sum of a[i]*b[i]
float sqnorm(const float *v, uint32_t dim);                // sum of v[i]*v[i]

// Batches: out[i] equals l2sq(q, rows[i], dim) / dot(q, rows[i], dim) bit for
// bit. Every rows[i] must be valid for dim floats.
void l2sq_many(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out);
void dot_many(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out);
// As above, where rows[n .. n + ahead) are further valid rows the caller
// will measure next: their memory is fetched early, nothing is computed from
// them. A scan split into calls passes the next call's first rows here so
// no call starts on rows still in main memory.
void l2sq_many_ahead(const float *q, const float *const *rows, size_t n, size_t ahead, uint32_t dim,
                     float *out);
void dot_many_ahead(const float *q, const float *const *rows, size_t n, size_t ahead, uint32_t dim,
                    float *out);
// Asks for every cache line of a row about to be measured. A batch of rows
// met at random (graph neighbours, index hits) is measured right after it is
// gathered: fetching only each row's first line leaves the kernel waiting on
// the rest one row at a time. Rows need not start on a line.
// Always inlined: a helper whose only effects are prefetches looks free of
// effects to GCC, which at -O2 dropped every call to it before inlining
// (the graph walk then ran a third slower than at -O3).
[[gnu::always_inline]] inline void fetch_row(const float *v, uint32_t dim) {
    for (uint32_t o = 0; o < dim; o += 16) __builtin_prefetch(v + o);
    __builtin_prefetch(v + dim - 1);
}

// Two queries against the same rows: out0[i] equals l2sq(q0, rows[i], dim)
// (dot for dot_many2) and out1[i] the same for q1, bit for bit. The rows'
// values are read once for both; two sums run side by side.
void l2sq_many2(const float *q0, const float *q1, const float *const *rows, size_t n, uint32_t dim, float *out0,
                float *out1);
void dot_many2(const float *q0, const float *q1, const float *const *rows, size_t n, uint32_t dim, float *out0,
               float *out1);

// out[i] equals sqnorm(rows[i], dim).
void sqnorm_many(const float *const *rows, size_t n, uint32_t dim, float *out);

// Contiguous block: row i starts at base + i * stride floats.
void l2sq_block(const float *q, const float *base, size_t n, size_t stride, uint32_t dim, float *out);
void dot_block(const float *q, const float *base, size_t n, size_t stride, uint32_t dim, float *out);
// As above, where the ahead rows after the n (same stride) are valid and
// measured next: fetched, not computed.
void l2sq_block_ahead(const float *q, const float *base, size_t n, size_t ahead, size_t stride, uint32_t dim,
                      float *out);
void dot_block_ahead(const float *q, const float *base, size_t n, size_t ahead, size_t stride, uint32_t dim,
                     float *out);

// ---- many queries against many rows ----
// Rows packed for scoring many queries against the same rows (k-means
// assignment, nearest centroids of a batch): panels of kPanelRows rows, each
// panel index-major, index j of its rows side by side at panel + j *
// kPanelRows. A kernel then reads one index of eight rows with one load and
// keeps several queries' sums in flight: no transposing.
inline constexpr size_t kPanelRows = 8;
// Floats that packing n rows takes (the last panel padded to full width).
size_t panel_floats(size_t n, uint32_t dim);
// Packs n >= 1 rows (row i at base + i * stride) into out (panel_floats
// floats); the last panel's unused places repeat row n - 1.
void pack_panels(const float *base, size_t n, size_t stride, uint32_t dim, float *out);
// out[i * ldo + r] equals l2sq(qs[i], row r, dim) / dot(qs[i], row r, dim)
// bit for bit, for i < nq and r < n, where the n rows are packed in panels.
// Nothing is written for r >= n.
void l2sq_panels(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim, float *out,
                 size_t ldo);
void dot_panels(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim, float *out,
                size_t ldo);

// Lower bounds of squared L2 read off dot products, for screening out rows
// far from a query before summing them the exact way. With s = qnorm[i] +
// rnorm[r] and d = dot(qs[i], row r, dim) (its bits):
//   out[i * ldo + r] = ((s - 2 d) - s * widen) * shrink - slack
// when floor < s < ceil, and -1 otherwise (NaN s included); every operation
// rounded in that order, so all paths agree bit for bit. least8[i * 8 ..
// i * 8 + 8) are lowered by the values written for query i, so the least
// of the eight falls to the least value written. rnorm holds
// panel_floats(n, 1) floats, its padding repeating rnorm[n - 1] as packing
// does; whether the values bound anything is the caller's arithmetic.
struct ScreenArgs {
    const float *qnorm;
    const float *rnorm;
    float widen, shrink, slack, floor, ceil;
};
void l2_bound_panels(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim,
                     const ScreenArgs &a, float *out, size_t ldo, float *least8);

// ---- code-path selection (tests and benchmarks) ----
// The fastest path the processor supports is chosen on first use; all paths
// give identical results, so the choice only affects speed.
enum class Path : int { Scalar = 0, Sse2 = 1, Avx2 = 2, Avx512 = 3 };
inline constexpr int kPathCount = 4;

bool path_supported(Path p);
Path active_path();
// Makes p the path of every later batch call; false (nothing changed) when
// the processor lacks it. Not meant to race with running kernels.
bool force_path(Path p);
// Back to the automatic choice.
void reset_path();
const char *path_name(Path p);

}  // namespace rk::kern

#endif
