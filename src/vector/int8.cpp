// SPDX-License-Identifier: Apache-2.0
// Signed 8-bit vectors with one float scale per vector.
#include <cstdint>

#include "rk_vector.h"

namespace {

constexpr float kFltMax = 3.4028235e38f;

// The code of one element. Codes rebuild as code * scale, so the value to
// round is x / scale. Rounding adds one half and truncates toward zero; it
// is applied to the magnitude and the sign put back, so negative values
// round to nearest like positive ones (halves away from zero) instead of
// being pulled up by as much as one and a half steps. Saturation happens in
// float, before any integer conversion, so huge quotients and infinities
// cannot overflow it.
int8_t code_of(float x, float scale) {
    const float y = x / scale;
    if (y != y) return -128;
    const float t = (y < 0.0f ? -y : y) + 0.5f;
    if (y < 0.0f) return t >= 128.0f ? int8_t{-128} : static_cast<int8_t>(-static_cast<int32_t>(t));
    return t >= 127.0f ? int8_t{127} : static_cast<int8_t>(static_cast<int32_t>(t));
}

}  // namespace

extern "C" {

RK_API void rk_vec_quantize_int8(const float *v, uint32_t dim, int8_t *codes, float *scale) {
    if (!v || !codes || !scale || dim == 0) return;
    float hi = -kFltMax, lo = kFltMax;
    for (uint32_t i = 0; i < dim; ++i) {
        if (v[i] > hi) hi = v[i];
        if (v[i] < lo) lo = v[i];
    }
    const float range = hi - lo;
    if (static_cast<double>(range) < 1e-6) {
        *scale = 1.0f;
        for (uint32_t i = 0; i < dim; ++i) codes[i] = 0;
        return;
    }
    const float s = range / 255.0f;
    *scale = s;
    for (uint32_t i = 0; i < dim; ++i) codes[i] = code_of(v[i], s);
}

RK_API void rk_vec_dequantize_int8(const int8_t *codes, uint32_t dim, float scale, float *out) {
    if (!codes || !out) return;
    for (uint32_t i = 0; i < dim; ++i) out[i] = static_cast<float>(codes[i]) * scale;
}

RK_API int32_t rk_vec_dot_int8(const int8_t *a, const int8_t *b, uint32_t dim) {
    if (!a || !b) return 0;
    // Unsigned arithmetic wraps modulo 2^32 without undefined behaviour, and
    // integer sums may be split and reordered freely: the compiler
    // vectorises this loop and the result is the same integer.
    uint32_t s = 0;
    for (uint32_t i = 0; i < dim; ++i) {
        s += static_cast<uint32_t>(static_cast<int32_t>(a[i]) * static_cast<int32_t>(b[i]));
    }
    return static_cast<int32_t>(s);
}

}  // extern "C"
