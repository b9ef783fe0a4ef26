// SPDX-License-Identifier: Apache-2.0
// Reference loops and the once-chosen dispatch of the batch kernels.
#include "vector/kernels.h"

#include <atomic>

#include "vector/simd.h"

namespace rk::kern {

// The loops keep one accumulator: the compiler may not vectorise them (that
// would reassociate the sum without -ffast-math, which we never use), and
// -ffp-contract=off keeps the multiply and add separately rounded.
float l2sq(const float *a, const float *b, uint32_t dim) {
    float s = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) {
        const float d = a[i] - b[i];
        s = s + d * d;
    }
    return s;
}

float dot(const float *a, const float *b, uint32_t dim) {
    float s = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) s = s + a[i] * b[i];
    return s;
}

float sqnorm(const float *v, uint32_t dim) {
    float s = 0.0f;
    for (uint32_t i = 0; i < dim; ++i) s = s + v[i] * v[i];
    return s;
}

namespace detail {
namespace {

void scalar_l2sq(const float *q, const float *const *rows, size_t n, size_t, uint32_t dim, float *out) {
    for (size_t i = 0; i < n; ++i) out[i] = l2sq(q, rows[i], dim);
}
void scalar_dot(const float *q, const float *const *rows, size_t n, size_t, uint32_t dim, float *out) {
    for (size_t i = 0; i < n; ++i) out[i] = dot(q, rows[i], dim);
}
void scalar_sqnorm(const float *, const float *const *rows, size_t n, size_t, uint32_t dim, float *out) {
    for (size_t i = 0; i < n; ++i) out[i] = sqnorm(rows[i], dim);
}

// Panels one lane at a time: the same sums in the same order as the wide
// paths, for processors without them and as their oracle.
template <bool kL2>
void scalar_panels(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim, float *out,
                   size_t ldo) {
    for (size_t i = 0; i < nq; ++i) {
        const float *q = qs[i];
        for (size_t r = 0; r < n; ++r) {
            const float *col = panels + (r / 8) * 8 * size_t(dim) + r % 8;
            float s = 0.0f;
            for (uint32_t j = 0; j < dim; ++j) {
                const float x = col[size_t(8) * j];
                if constexpr (kL2) {
                    const float d = q[j] - x;
                    s = s + d * d;
                } else {
                    s = s + q[j] * x;
                }
            }
            out[i * ldo + r] = s;
        }
    }
}

void scalar_bounds(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim,
                   const ScreenArgs &a, float *out, size_t ldo, float *least8) {
    scalar_panels<false>(qs, nq, panels, n, dim, out, ldo);
    for (size_t i = 0; i < nq; ++i) {
        for (size_t r = 0; r < n; ++r) {
            const float s = a.qnorm[i] + a.rnorm[r], d = out[i * ldo + r];
            const float v = ((s - (d + d)) - s * a.widen) * a.shrink - a.slack;
            const float b = s > a.floor && s < a.ceil ? v : -1.0f;
            out[i * ldo + r] = b;
            float &m = least8[i * 8 + r % 8];
            m = b < m ? b : m;
        }
    }
}

template <ManyFn one>
void scalar_q2(const float *q0, const float *q1, const float *const *rows, size_t n, uint32_t dim, float *out0,
               float *out1) {
    one(q0, rows, n, 0, dim, out0);
    one(q1, rows, n, 0, dim, out1);
}

}  // namespace

const Table kScalarTable = {scalar_l2sq,         scalar_dot,           scalar_sqnorm,
                            scalar_panels<true>, scalar_panels<false>, scalar_bounds,
                            scalar_q2<scalar_l2sq>, scalar_q2<scalar_dot>};

}  // namespace detail

namespace {

using detail::Table;

#if defined(__x86_64__) || defined(__i386__)
const Table *table_of(Path p) {
    switch (p) {
        case Path::Sse2:
            return &detail::kSse2Table;
        case Path::Avx2:
            return &detail::kAvx2Table;
        case Path::Avx512:
            return &detail::kAvx512Table;
        case Path::Scalar:
            break;
    }
    return &detail::kScalarTable;
}

bool cpu_has(Path p) {
    switch (p) {
        case Path::Scalar:
            return true;
        // x86-64 guarantees SSE2.
        case Path::Sse2:
            return true;
        case Path::Avx2:
            return __builtin_cpu_supports("avx2");
        case Path::Avx512:
            return __builtin_cpu_supports("avx512f");
    }
    return false;
}
#else
// Other processors build only the portable loops, whose sums are the same.
const Table *table_of(Path) { return &detail::kScalarTable; }
bool cpu_has(Path p) { return p == Path::Scalar; }
#endif

// Preference order of the automatic choice. AVX2 ranks above AVX-512 on
// Intel cores: the kernels are bound by their transposing shuffles, which
// those issue on one port for 512-bit registers against two for 256-bit
// ones, and wide code there risks lower clocks. AMD cores run 512-bit
// instructions at full clock (Zen 4 as two 256-bit halves, Zen 5 whole),
// and on a Zen 5 core the AVX-512 table (sixteen rows per register from 256
// dimensions, the AVX2 kernels below) measured 7 % more graph-walk queries
// per second at 784 dimensions and the same elsewhere: there it comes first.
constexpr Path kPreference[] = {Path::Avx2, Path::Avx512, Path::Sse2};

Path best_path() {
#if defined(__x86_64__) || defined(__i386__)
    if (cpu_has(Path::Avx512) && __builtin_cpu_is("amd")) return Path::Avx512;
#endif
    for (Path p : kPreference) {
        if (cpu_has(p)) return p;
    }
    return Path::Scalar;
}

// Null until the first batch call picks the best path. Racing first calls
// all store the same answer.
std::atomic<const Table *> g_table{nullptr};
std::atomic<int> g_path{0};

const Table &table() {
    const Table *t = g_table.load(std::memory_order_acquire);
    if (t) return *t;
    const Path p = best_path();
    g_path.store(int(p), std::memory_order_relaxed);
    t = table_of(p);
    g_table.store(t, std::memory_order_release);
    return *t;
}

// Rows per call of the block functions' pointer chunks, and rows of the
// next chunk passed along so the kernel can fetch them early.
constexpr size_t kBlockChunk = 256;
constexpr size_t kBlockAhead = 128;

// Rows [n, n + beyond) of the block are valid too and measured next: only
// fetched.
template <class Fn>
void over_block(const float *q, const float *base, size_t n, size_t beyond, size_t stride, uint32_t dim,
                float *out, Fn fn) {
    const float *rows[kBlockChunk + kBlockAhead];
    for (size_t done = 0; done < n;) {
        const size_t m = n - done < kBlockChunk ? n - done : kBlockChunk;
        const size_t rest = n - done - m + beyond;
        const size_t ahead = rest < kBlockAhead ? rest : kBlockAhead;
        for (size_t i = 0; i < m + ahead; ++i) rows[i] = base + (done + i) * stride;
        fn(q, rows, m, ahead, dim, out + done);
        done += m;
    }
}

}  // namespace

void l2sq_many(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out) {
    table().l2sq(q, rows, n, 0, dim, out);
}

void dot_many(const float *q, const float *const *rows, size_t n, uint32_t dim, float *out) {
    table().dot(q, rows, n, 0, dim, out);
}

void l2sq_many_ahead(const float *q, const float *const *rows, size_t n, size_t ahead, uint32_t dim,
                     float *out) {
    table().l2sq(q, rows, n, ahead, dim, out);
}

void dot_many_ahead(const float *q, const float *const *rows, size_t n, size_t ahead, uint32_t dim,
                    float *out) {
    table().dot(q, rows, n, ahead, dim, out);
}

void l2sq_many2(const float *q0, const float *q1, const float *const *rows, size_t n, uint32_t dim, float *out0,
                float *out1) {
    table().l2sq2(q0, q1, rows, n, dim, out0, out1);
}

void dot_many2(const float *q0, const float *q1, const float *const *rows, size_t n, uint32_t dim, float *out0,
               float *out1) {
    table().dot2(q0, q1, rows, n, dim, out0, out1);
}

void sqnorm_many(const float *const *rows, size_t n, uint32_t dim, float *out) {
    table().sqnorm(nullptr, rows, n, 0, dim, out);
}

void l2sq_block(const float *q, const float *base, size_t n, size_t stride, uint32_t dim, float *out) {
    over_block(q, base, n, 0, stride, dim, out, table().l2sq);
}

void dot_block(const float *q, const float *base, size_t n, size_t stride, uint32_t dim, float *out) {
    over_block(q, base, n, 0, stride, dim, out, table().dot);
}

void l2sq_block_ahead(const float *q, const float *base, size_t n, size_t ahead, size_t stride, uint32_t dim,
                      float *out) {
    over_block(q, base, n, ahead, stride, dim, out, table().l2sq);
}

void dot_block_ahead(const float *q, const float *base, size_t n, size_t ahead, size_t stride, uint32_t dim,
                     float *out) {
    over_block(q, base, n, ahead, stride, dim, out, table().dot);
}

size_t panel_floats(size_t n, uint32_t dim) { return (n + kPanelRows - 1) / kPanelRows * kPanelRows * dim; }

void pack_panels(const float *base, size_t n, size_t stride, uint32_t dim, float *out) {
    const size_t padded = (n + kPanelRows - 1) / kPanelRows * kPanelRows;
    for (size_t r = 0; r < padded; ++r) {
        // Unused places of the last panel repeat its last row: they are
        // computed and never stored, and must not be signalling garbage.
        const float *src = base + (r < n ? r : n - 1) * stride;
        float *dst = out + (r / kPanelRows) * kPanelRows * dim + r % kPanelRows;
        for (uint32_t j = 0; j < dim; ++j) dst[kPanelRows * j] = src[j];
    }
}

void l2sq_panels(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim, float *out,
                 size_t ldo) {
    table().l2sq_panels(qs, nq, panels, n, dim, out, ldo);
}

void dot_panels(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim, float *out,
                size_t ldo) {
    table().dot_panels(qs, nq, panels, n, dim, out, ldo);
}

void l2_bound_panels(const float *const *qs, size_t nq, const float *panels, size_t n, uint32_t dim,
                     const ScreenArgs &a, float *out, size_t ldo, float *least8) {
    table().l2_bounds(qs, nq, panels, n, dim, a, out, ldo, least8);
}

bool path_supported(Path p) { return int(p) >= 0 && int(p) < kPathCount && cpu_has(p); }

Path active_path() {
    table();
    return Path(g_path.load(std::memory_order_relaxed));
}

bool force_path(Path p) {
    if (!path_supported(p)) return false;
    g_path.store(int(p), std::memory_order_relaxed);
    g_table.store(table_of(p), std::memory_order_release);
    return true;
}

void reset_path() { g_table.store(nullptr, std::memory_order_release); }

const char *path_name(Path p) {
    static const char *const kNames[kPathCount] = {"scalar", "sse2", "avx2", "avx512"};
    const int i = int(p);
    return i >= 0 && i < kPathCount ? kNames[i] : "unknown";
}

}  // namespace rk::kern
