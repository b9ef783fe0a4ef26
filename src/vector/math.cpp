// SPDX-License-Identifier: Apache-2.0
// The library's own scalar maths. Distances, norms, normalisation, Gaussian
// draws and HNSW levels all go through these routines, so their results are
// fixed bit for bit, approximations included: every step below runs in the
// function's own precision, in the order written, and nothing here may be
// replaced by a <cmath> call or reassociated by the compiler.
#include <bit>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "rk_vector.h"

namespace rk {
namespace {

template <class F>
struct MathTraits;

template <>
struct MathTraits<float> {
    using Bits = int32_t;
    static constexpr Bits kSqrtMagic = 0x5F3759D5;
    static constexpr float kLogOfNonPositive = -1e30f;
    static constexpr float kLn2 = 0.6931472f;
    static constexpr int kLogLastOdd = 49;
    static constexpr float kPi = 3.1415927f;
    static constexpr float kTwoPi = 6.2831855f;
    static constexpr int kTrigTerms = 20;
    static constexpr float kTrigEps = 1e-15f;
};

template <>
struct MathTraits<double> {
    using Bits = int64_t;
    static constexpr Bits kSqrtMagic = 0x5FE6EB50C7B537A9;
    static constexpr double kLogOfNonPositive = -1e300;
    static constexpr double kLn2 = 0.6931471805599453;
    static constexpr int kLogLastOdd = 99;
    static constexpr double kPi = 3.141592653589793;
    static constexpr double kTwoPi = 6.283185307179586;
    static constexpr int kTrigTerms = 100;
    static constexpr double kTrigEps = 1e-15;
};

template <class F>
constexpr F kInf = std::numeric_limits<F>::infinity();

template <class F>
bool is_nan(F x) { return x != x; }

template <class F>
bool is_inf(F x) { return x == kInf<F> || x == -kInf<F>; }

template <class F>
F abs_bits(F x) {
    using U = std::conditional_t<sizeof(F) == 4, uint32_t, uint64_t>;
    const U mask = ~(U(1) << (sizeof(F) * 8 - 1));
    return std::bit_cast<F>(std::bit_cast<U>(x) & mask);
}

// Inverse-square-root estimate from the bit pattern, three Newton steps,
// then one multiplication by x.
template <class F>
F sqrt_approx(F x) {
    using T = MathTraits<F>;
    if (x <= F(0)) return F(0);
    // The Newton steps turn +inf into -inf (inf * y changes sign mid-way);
    // the square root of an overflowed sum must stay the largest distance.
    if (x == kInf<F>) return x;
    const typename T::Bits i = T::kSqrtMagic - (std::bit_cast<typename T::Bits>(x) >> 1);
    F y = std::bit_cast<F>(i);
    const F h = x * F(0.5);
    for (int step = 0; step < 3; ++step) y = y * (F(1.5) - (h * y) * y);
    return y * x;
}

// Natural logarithm: scale into [1, 2) by halving/doubling, then the atanh
// series 2 * sum t^i / i over odd i.
template <class F>
F log_series(F x) {
    using T = MathTraits<F>;
    if (x <= F(0)) return T::kLogOfNonPositive;
    // Halving infinity never reaches [1, 2): answer it directly.
    if (x == kInf<F>) return x;
    int k = 0;
    while (x >= F(2)) {
        x = x / F(2);
        ++k;
    }
    while (x < F(1)) {
        x = x + x;
        --k;
    }
    const F t = (x - F(1)) / (x + F(1));
    const F t2 = t * t;
    F c = t;
    F s = F(0);
    for (int i = 1; i <= T::kLogLastOdd; i += 2) {
        s = s + c / F(i);
        c = c * t2;
    }
    return (s + s) + F(k) * T::kLn2;
}

// Beyond this many loop steps the stepwise reduction below gives way to a
// direct one; far beyond the angles the library itself passes (0..2pi).
constexpr double kStepwiseReductionLimit = 65536.0;
// From here on a double holds no fractional part, and the direct reduction's
// error exceeds a period: such arguments have no usable phase.
constexpr double kPhaseLost = 4503599627370496.0;  // 2^52

// Brings x into [-pi, pi]. Moderate arguments are reduced by repeatedly
// adding -2pi / 2pi in F, exactly as the series expects. Huge arguments would
// need millions of steps (or never finish once 2pi is below half an ulp), so
// they are first reduced directly in double with a two-part 2pi. Returns NaN
// when even that cannot locate the argument within a period.
template <class F>
F reduce_angle(F x) {
    using T = MathTraits<F>;
    const double limit = kStepwiseReductionLimit * T::kTwoPi;
    const double xd = double(x);
    if (xd > limit || xd < -limit) {
        if (xd >= kPhaseLost || xd <= -kPhaseLost) return std::numeric_limits<F>::quiet_NaN();
        constexpr double kTwoPiHi = 6.28318530717958623200e+00;
        constexpr double kTwoPiLo = 2.44929359829470635445e-16;
        const double q = double(int64_t(xd / kTwoPiHi + (xd < 0 ? -0.5 : 0.5)));
        x = F((xd - q * kTwoPiHi) - q * kTwoPiLo);
    }
    while (x > T::kPi) x = x + -T::kTwoPi;
    while (x < -T::kPi) x = x + T::kTwoPi;
    return x;
}

// Taylor series of cos (odd == false) or sin (odd == true) after reduction.
template <class F, bool odd>
F trig_series(F x) {
    using T = MathTraits<F>;
    if (is_nan(x)) return x;
    // sin/cos of an infinity have no value.
    if (is_inf(x)) return std::numeric_limits<F>::quiet_NaN();
    x = reduce_angle(x);
    if (is_nan(x)) return x;
    const F a = -(x * x);
    F term = odd ? x : F(1);
    F sum = term;
    for (int n = 1; n <= T::kTrigTerms; ++n) {
        const F f1 = odd ? F(2 * n) : F(2 * n - 1);
        const F f2 = odd ? F(2 * n + 1) : F(2 * n);
        term = term * (a / (f1 * f2));
        sum = sum + term;
        if (abs_bits(term) < T::kTrigEps) break;
    }
    return sum;
}

template <class F>
F clamp_plain(F x, F lo, F hi) {
    if (lo > x) return lo;
    if (x > hi) return hi;
    return x;
}

}  // namespace
}  // namespace rk

extern "C" {

RK_API float rk_math_abs_f32(float x) { return rk::abs_bits(x); }
RK_API double rk_math_abs_f64(double x) { return rk::abs_bits(x); }

RK_API float rk_math_clamp_f32(float x, float lo, float hi) { return rk::clamp_plain(x, lo, hi); }
RK_API double rk_math_clamp_f64(double x, double lo, double hi) { return rk::clamp_plain(x, lo, hi); }

RK_API float rk_math_sqrt_f32(float x) { return rk::sqrt_approx(x); }
RK_API double rk_math_sqrt_f64(double x) { return rk::sqrt_approx(x); }

RK_API float rk_math_log_f32(float x) { return rk::log_series(x); }
RK_API double rk_math_log_f64(double x) { return rk::log_series(x); }

RK_API float rk_math_sin_f32(float x) { return rk::trig_series<float, true>(x); }
RK_API float rk_math_cos_f32(float x) { return rk::trig_series<float, false>(x); }
RK_API double rk_math_sin_f64(double x) { return rk::trig_series<double, true>(x); }
RK_API double rk_math_cos_f64(double x) { return rk::trig_series<double, false>(x); }

RK_API double rk_math_expm1(double x) {
    if (x == 0.0) return 0.0;
    if (x > 50.0) return 1e20;
    if (x < -50.0) return -1.0;
    double sum = 0.0;
    double term = x;
    for (int n = 2; n <= 101; ++n) {
        sum = sum + term;
        term = term * (x / double(n));
        if (rk::abs_bits(term) < 1e-15) break;
    }
    return sum;
}

RK_API double rk_math_log1p(double x) {
    if (x == 0.0) return 0.0;
    if (x <= -1.0) return -1e300;
    if (x > 0.001 || x < -0.001) return rk_math_log_f64(x + 1.0);
    double sum = 0.0;
    double p = x;
    for (int n = 1; n <= 100; ++n) {
        sum = sum + p / double(n);
        p = p * -x;
        if (rk::abs_bits(p) < 1e-15) break;
    }
    return sum;
}

}  // extern "C"
