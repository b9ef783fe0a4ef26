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

// Eight lanes for the panel kernel: 256-bit registers, of which AVX-512
// has twice as many to hold sums in flight.
#include "vector/simd_ymm.h"

#include "vector/simd_impl.h"
#include "vector/simd_panel.h"

}  // namespace

const Table kAvx512Table = {many<Avx512, Op::L2>,
                            many<Avx512, Op::Dot>,
                            many<Avx512, Op::SqNorm>,
                            panels_many<YmmPanel, Op::L2>,
                            panels_many<YmmPanel, Op::Dot>,
                            bound_panels<YmmPanel>};

}  // namespace rk::kern::detail

#if defined(__clang__)
#pragma clang attribute pop
#endif
