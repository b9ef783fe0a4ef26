// SPDX-License-Identifier: Apache-2.0
// Batch kernels on AVX2: eight rows per register.
// Only FMA-free instructions: a fused multiply-add would round once where
// the reference loop rounds twice.
// Everything in this file is compiled for the wider instruction set; it is
// only ever called after the CPU was found to support it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC target("avx2")
#endif
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "vector/simd.h"

namespace rk::kern::detail {
namespace {

struct Avx2 {
    using V = __m256;
    static constexpr size_t W = 8;
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float x) { return _mm256_set1_ps(x); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static void store(float *out, V v) { _mm256_storeu_ps(out, v); }
    // Rows i and i + 4 share register a[i] (low and high 128 bits); the
    // transpose then stays within each 128-bit half.
    static void columns4(const float *const *rows, uint32_t j, V c[4]) {
        V a[4];
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i)
            a[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[i] + j)),
                                        _mm_loadu_ps(rows[i + 4] + j), 1);
        const V t0 = _mm256_unpacklo_ps(a[0], a[1]);
        const V t1 = _mm256_unpackhi_ps(a[0], a[1]);
        const V t2 = _mm256_unpacklo_ps(a[2], a[3]);
        const V t3 = _mm256_unpackhi_ps(a[2], a[3]);
        c[0] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
        c[1] = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
        c[2] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        c[3] = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    }
    static V column(const float *const *rows, uint32_t j) {
        return _mm256_setr_ps(rows[0][j], rows[1][j], rows[2][j], rows[3][j], rows[4][j], rows[5][j],
                              rows[6][j], rows[7][j]);
    }
};

#include "vector/simd_ymm.h"

#include "vector/simd_impl.h"
#include "vector/simd_panel.h"

}  // namespace

const Table kAvx2Table = {many<Avx2, Op::L2>,
                          many<Avx2, Op::Dot>,
                          many<Avx2, Op::SqNorm>,
                          panels_many<YmmPanel, Op::L2>,
                          panels_many<YmmPanel, Op::Dot>,
                          bound_panels<YmmPanel>,
                          many_q2<Avx2, Op::L2>,
                          many_q2<Avx2, Op::Dot>};

}  // namespace rk::kern::detail

#if defined(__clang__)
#pragma clang attribute pop
#endif
