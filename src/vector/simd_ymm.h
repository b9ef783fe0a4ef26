// SPDX-License-Identifier: Apache-2.0
// The eight-lane panel registers of the AVX2 and AVX-512 units: one 256-bit
// register per eight sums (simd_panel.h). Included only by those units after
// their `#pragma GCC target`, inside an anonymous namespace, like
// simd_impl.h, so each compiles it for its own set.

struct YmmPanel {
    using V = __m256;
    static V zero() { return _mm256_setzero_ps(); }
    static V load(const float *p) { return _mm256_loadu_ps(p); }
    static V bcast(const float *p) { return _mm256_broadcast_ss(p); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V min(V a, V b) { return _mm256_min_ps(a, b); }
    static V within(V s, V lo, V hi, V v, V alt) {
        const V in = _mm256_and_ps(_mm256_cmp_ps(s, lo, _CMP_GT_OQ), _mm256_cmp_ps(s, hi, _CMP_LT_OQ));
        return _mm256_blendv_ps(alt, v, in);
    }
    static void store(float *out, V v) { _mm256_storeu_ps(out, v); }
};
