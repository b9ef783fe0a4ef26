// SPDX-License-Identifier: Apache-2.0
// Batch kernels on AVX-512F: sixteen rows per register. No fused
// multiply-add (see simd_avx2.cpp).
// Everything in this file is compiled for the wider instruction set; it is
// only ever called after the CPU was found to support it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC target("avx512f")
#endif
// GCC 12's unpack intrinsics pass an intentionally undefined register as the
// unused merge source, which -Wmaybe-uninitialized flags after inlining.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "vector/simd.h"

namespace rk::kern::detail {
namespace {

struct Avx512 {
    using V = __m512;
    static constexpr size_t W = 16;
    static V zero() { return _mm512_setzero_ps(); }
    static V set1(float x) { return _mm512_set1_ps(x); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static void store(float *out, V v) { _mm512_storeu_ps(out, v); }
    // Register a[i] holds rows i, i + 4, i + 8, i + 12 in its four 128-bit
    // quarters; the transpose stays within each quarter.
    static void columns4(const float *const *rows, uint32_t j, V c[4]) {
        V a[4];
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            V v = _mm512_castps128_ps512(_mm_loadu_ps(rows[i] + j));
            v = _mm512_insertf32x4(v, _mm_loadu_ps(rows[i + 4] + j), 1);
            v = _mm512_insertf32x4(v, _mm_loadu_ps(rows[i + 8] + j), 2);
            a[i] = _mm512_insertf32x4(v, _mm_loadu_ps(rows[i + 12] + j), 3);
        }
        const V t0 = _mm512_unpacklo_ps(a[0], a[1]);
        const V t1 = _mm512_unpackhi_ps(a[0], a[1]);
        const V t2 = _mm512_unpacklo_ps(a[2], a[3]);
        const V t3 = _mm512_unpackhi_ps(a[2], a[3]);
        c[0] = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
        c[1] = _mm512_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
        c[2] = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        c[3] = _mm512_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    }
    static V column(const float *const *rows, uint32_t j) {
        return _mm512_setr_ps(rows[0][j], rows[1][j], rows[2][j], rows[3][j], rows[4][j], rows[5][j],
                              rows[6][j], rows[7][j], rows[8][j], rows[9][j], rows[10][j], rows[11][j],
                              rows[12][j], rows[13][j], rows[14][j], rows[15][j]);
    }
};

// Eight lanes for the panel kernel's odd last panels and its screening:
// 256-bit registers, of which AVX-512 has twice as many to hold sums in
// flight.
#include "vector/simd_ymm.h"

// Sixteen lanes for the panel kernel: two neighbouring panels' columns in
// one register, so each multiply and add serves sixteen (query, row) sums.
struct ZmmPanel {
    using V = __m512;
    using Narrow = YmmPanel;
    static constexpr size_t kSpan = 2;
    static V zero() { return _mm512_setzero_ps(); }
    // insertf64x4 moves the same bits as AVX512DQ's insertf32x8.
    static V load2(const float *a, const float *b) {
        const __m512d lo = _mm512_castps_pd(_mm512_castps256_ps512(_mm256_loadu_ps(a)));
        return _mm512_castpd_ps(_mm512_insertf64x4(lo, _mm256_castps_pd(_mm256_loadu_ps(b)), 1));
    }
    static V load(const float *p) { return _mm512_loadu_ps(p); }
    static V bcast(const float *p) { return _mm512_set1_ps(*p); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V sub(V a, V b) { return _mm512_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
    static V within(V s, V lo, V hi, V v, V alt) {
        const __mmask16 in = _mm512_cmp_ps_mask(s, lo, _CMP_GT_OQ) & _mm512_cmp_ps_mask(s, hi, _CMP_LT_OQ);
        return _mm512_mask_blend_ps(in, alt, v);
    }
    // Lowers eight running least values by both halves of b. min_ps keeps
    // its second operand when the first is NaN, so a NaN lane is passed
    // over, as the eight-lane path's min(b, m) passes it over.
    // The halves go through memory: GCC 12's own half extractions warn of
    // an uninitialised operand.
    static void lower8(float *m, V b) {
        float t[16];
        _mm512_storeu_ps(t, b);
        const __m256 hi_m = _mm256_min_ps(_mm256_loadu_ps(t + 8), _mm256_loadu_ps(m));
        _mm256_storeu_ps(m, _mm256_min_ps(_mm256_loadu_ps(t), hi_m));
    }
    static void store(float *out, V v) { _mm512_storeu_ps(out, v); }
};

#include "vector/simd_impl.h"
#include "vector/simd_panel.h"

// Sixteen rows per register pay from a few hundred dimensions on. In graph
// walks on an AMD Zen 5 core, against the AVX2 kernel: 7 to 9 % more
// queries per second at 784 dimensions, 8 % fewer at 128, where a walk's
// short batches leave many of sixteen lanes padded. Below this, and for the
// last rows of a batch (fewer than sixteen), the AVX2 kernel runs: the same
// sums, and the eight-lane code compiled for AVX2 measured faster than the
// same code compiled here.
constexpr uint32_t kWideFrom = 256;

template <Op op>
ManyFn narrow() {
    if constexpr (op == Op::L2) return kAvx2Table.l2sq;
    if constexpr (op == Op::Dot) return kAvx2Table.dot;
    return kAvx2Table.sqnorm;
}

template <Op op>
void wide_many(const float *q, const float *const *rows, size_t n, size_t ahead, uint32_t dim, float *out) {
    if (dim < kWideFrom) return narrow<op>()(q, rows, n, ahead, dim, out);
    const size_t wide = n / Avx512::W * Avx512::W;
    // The narrow tail's rows are the next ones measured: fetched ahead too.
    if (wide) many<Avx512, op>(q, rows, wide, n - wide + ahead, dim, out);
    if (wide < n) narrow<op>()(q, rows + wide, n - wide, ahead, dim, out + wide);
}

// The same split for two queries at once.
template <Op op>
void wide_q2(const float *q0, const float *q1, const float *const *rows, size_t n, uint32_t dim, float *out0,
             float *out1) {
    const Many2Fn tail = op == Op::L2 ? kAvx2Table.l2sq2 : kAvx2Table.dot2;
    if (dim < kWideFrom) return tail(q0, q1, rows, n, dim, out0, out1);
    const size_t wide = n / Avx512::W * Avx512::W;
    if (wide) many_q2<Avx512, op>(q0, q1, rows, wide, dim, out0, out1);
    if (wide < n) tail(q0, q1, rows + wide, n - wide, dim, out0 + wide, out1 + wide);
}

}  // namespace

const Table kAvx512Table = {wide_many<Op::L2>,
                            wide_many<Op::Dot>,
                            wide_many<Op::SqNorm>,
                            panels_many<ZmmPanel, Op::L2>,
                            panels_many<ZmmPanel, Op::Dot>,
                            bound_panels<ZmmPanel>,
                            wide_q2<Op::L2>,
                            wide_q2<Op::Dot>};

}  // namespace rk::kern::detail

#if defined(__clang__)
#pragma clang attribute pop
#endif
