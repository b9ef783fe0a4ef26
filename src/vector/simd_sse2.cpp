// SPDX-License-Identifier: Apache-2.0
// Batch kernels on SSE2, which every x86-64 processor has: four rows per
// register.
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "vector/simd.h"

namespace rk::kern::detail {
namespace {

struct Sse2 {
    using V = __m128;
    static constexpr size_t W = 4;
    static V zero() { return _mm_setzero_ps(); }
    static V set1(float x) { return _mm_set1_ps(x); }
    static V add(V a, V b) { return _mm_add_ps(a, b); }
    static V sub(V a, V b) { return _mm_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm_mul_ps(a, b); }
    static void store(float *out, V v) { _mm_storeu_ps(out, v); }
    static void columns4(const float *const *rows, uint32_t j, V c[4]) {
        c[0] = _mm_loadu_ps(rows[0] + j);
        c[1] = _mm_loadu_ps(rows[1] + j);
        c[2] = _mm_loadu_ps(rows[2] + j);
        c[3] = _mm_loadu_ps(rows[3] + j);
        _MM_TRANSPOSE4_PS(c[0], c[1], c[2], c[3]);
    }
    static V column(const float *const *rows, uint32_t j) {
        return _mm_setr_ps(rows[0][j], rows[1][j], rows[2][j], rows[3][j]);
    }
};

// Eight lanes for the panel kernel: a pair of registers.
struct Sse2Panel {
    struct V {
        __m128 lo, hi;
    };
    static V zero() { return V{_mm_setzero_ps(), _mm_setzero_ps()}; }
    static V load(const float *p) { return V{_mm_loadu_ps(p), _mm_loadu_ps(p + 4)}; }
    static V bcast(const float *p) {
        const __m128 x = _mm_load1_ps(p);
        return V{x, x};
    }
    static V add(V a, V b) { return V{_mm_add_ps(a.lo, b.lo), _mm_add_ps(a.hi, b.hi)}; }
    static V sub(V a, V b) { return V{_mm_sub_ps(a.lo, b.lo), _mm_sub_ps(a.hi, b.hi)}; }
    static V mul(V a, V b) { return V{_mm_mul_ps(a.lo, b.lo), _mm_mul_ps(a.hi, b.hi)}; }
    static V min(V a, V b) { return V{_mm_min_ps(a.lo, b.lo), _mm_min_ps(a.hi, b.hi)}; }
    static __m128 pick(__m128 s, __m128 lo, __m128 hi, __m128 v, __m128 alt) {
        const __m128 in = _mm_and_ps(_mm_cmpgt_ps(s, lo), _mm_cmplt_ps(s, hi));
        return _mm_or_ps(_mm_and_ps(in, v), _mm_andnot_ps(in, alt));
    }
    static V within(V s, V lo, V hi, V v, V alt) {
        return V{pick(s.lo, lo.lo, hi.lo, v.lo, alt.lo), pick(s.hi, lo.hi, hi.hi, v.hi, alt.hi)};
    }
    static void store(float *out, V v) {
        _mm_storeu_ps(out, v.lo);
        _mm_storeu_ps(out + 4, v.hi);
    }
};

#include "vector/simd_impl.h"
#include "vector/simd_panel.h"

}  // namespace

const Table kSse2Table = {many<Sse2, Op::L2>,
                          many<Sse2, Op::Dot>,
                          many<Sse2, Op::SqNorm>,
                          panels_many<Sse2Panel, Op::L2>,
                          panels_many<Sse2Panel, Op::Dot>,
                          bound_panels<Sse2Panel>,
                          many_q2<Sse2, Op::L2>,
                          many_q2<Sse2, Op::Dot>};

}  // namespace rk::kern::detail
