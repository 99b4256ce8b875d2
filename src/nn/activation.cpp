#include "nn/activation.hpp"

#include <algorithm>
#include <cmath>

#include "nn/simd.hpp"

#if KELVARA_NN_X86
#include <immintrin.h>
#endif

namespace kelvara {
namespace {

#if KELVARA_NN_X86
// expm1(x) for x in [-40, 0] (NaN stays NaN): x = n ln2 + r with |r| <= ln2 / 2,
// expm1(x) = 2^n expm1(r) + (2^n - 1). The second term is exact for these n,
// so the result is rounded about once, and stays accurate near zero (n = 0).
KELVARA_NN_AVX2 inline __attribute__((always_inline)) __m256d expm1_nonpositive(__m256d x) {
    const __m256d n = _mm256_round_pd(_mm256_mul_pd(x, _mm256_set1_pd(1.4426950408889634)),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    // ln 2 in two parts (the high one with trailing zero bits) for an exact reduction.
    __m256d r = _mm256_fnmadd_pd(n, _mm256_set1_pd(6.93147180369123816490e-01), x);
    r = _mm256_fnmadd_pd(n, _mm256_set1_pd(1.90821492927058770002e-10), r);
    // expm1(r) = r + r^2 q(r), q the Taylor series to r^11 (the next term is
    // below 2e-17 relative for |r| <= ln2 / 2), evaluated in Estrin's
    // scheme: a short dependency chain, so that neighbouring vectors overlap.
    const __m256d r2 = _mm256_mul_pd(r, r), r4 = _mm256_mul_pd(r2, r2);
    const __m256d a0 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 6), r, _mm256_set1_pd(1.0 / 2)), a1 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 120), r, _mm256_set1_pd(1.0 / 24));
    const __m256d a2 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 5040), r, _mm256_set1_pd(1.0 / 720));
    const __m256d a3 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 362880), r, _mm256_set1_pd(1.0 / 40320));
    const __m256d a4 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 39916800), r, _mm256_set1_pd(1.0 / 3628800));
    const __m256d a5 = _mm256_fmadd_pd(_mm256_set1_pd(1.0 / 6227020800), r, _mm256_set1_pd(1.0 / 479001600));
    const __m256d b0 = _mm256_fmadd_pd(a1, r2, a0), b1 = _mm256_fmadd_pd(a3, r2, a2), b2 = _mm256_fmadd_pd(a5, r2, a4);
    const __m256d q = _mm256_fmadd_pd(_mm256_fmadd_pd(b2, r4, b1), r4, b0);
    const __m256d p = _mm256_fmadd_pd(r2, q, r);
    // 2^n from its exponent bits; n >= -58 keeps it a normal number.
    const __m256i n64 = _mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(n));
    const __m256d scale = _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_add_epi64(n64, _mm256_set1_epi64x(1023)), 52));
    return _mm256_fmadd_pd(scale, p, _mm256_sub_pd(scale, _mm256_set1_pd(1.0)));
}

KELVARA_NN_AVX2 inline __attribute__((always_inline)) __m256d gelu4(__m256d u) {
    // The argument exactly as gelu() forms it.
    const __m256d cube = _mm256_mul_pd(_mm256_mul_pd(_mm256_mul_pd(u, _mm256_set1_pd(0.044715)), u), u);
    const __m256d a = _mm256_mul_pd(_mm256_add_pd(cube, u), _mm256_set1_pd(0.7978845608028654));
    const __m256d sign_bit = _mm256_set1_pd(-0.0);
    const __m256d sign = _mm256_and_pd(a, sign_bit);
    // tanh|a| = -expm1(-2|a|) / (expm1(-2|a|) + 2); from 2|a| = 40 on it
    // rounds to 1. The limit comes first so that a NaN passes through.
    const __m256d y = _mm256_min_pd(_mm256_set1_pd(40.0), _mm256_add_pd(_mm256_andnot_pd(sign_bit, a),
                                                                       _mm256_andnot_pd(sign_bit, a)));
    const __m256d e = expm1_nonpositive(_mm256_xor_pd(y, sign_bit));
    const __m256d t = _mm256_or_pd(_mm256_div_pd(_mm256_xor_pd(e, sign_bit), _mm256_add_pd(e, _mm256_set1_pd(2.0))), sign);
    return _mm256_mul_pd(_mm256_mul_pd(_mm256_add_pd(t, _mm256_set1_pd(1.0)), u), _mm256_set1_pd(0.5));
}

KELVARA_NN_AVX2 void gelu_avx2(std::span<double> values) {
    double* v = values.data();
    const std::size_t n = values.size();
    std::size_t i = 0;
    // Two vectors a step: the chains of both are in flight together.
    for (; i + 8 <= n; i += 8) {
        const __m256d lo = gelu4(_mm256_loadu_pd(v + i)), hi = gelu4(_mm256_loadu_pd(v + i + 4));
        _mm256_storeu_pd(v + i, lo);
        _mm256_storeu_pd(v + i + 4, hi);
    }
    for (; i + 4 <= n; i += 4) _mm256_storeu_pd(v + i, gelu4(_mm256_loadu_pd(v + i)));
    if (i == n) return;
    // The last few through the same code, so a value's result does not depend on its position.
    double tail[4] = {0.0, 0.0, 0.0, 0.0};
    std::copy(v + i, v + n, tail);
    _mm256_storeu_pd(tail, gelu4(_mm256_loadu_pd(tail)));
    std::copy(tail, tail + (n - i), v + i);
}

// The same operations, in the same order, as the one-value version of affine_gelu.
KELVARA_NN_AVX2 inline __attribute__((always_inline)) void affine_gelu4(const double* x, double* out, const Affine& a,
                                                                        bool add) {
    const __m256d centred = _mm256_sub_pd(_mm256_loadu_pd(x), _mm256_set1_pd(a.mean));
    const __m256d scaled = _mm256_mul_pd(_mm256_mul_pd(centred, _mm256_set1_pd(a.scale)), _mm256_set1_pd(a.weight));
    __m256d y = _mm256_add_pd(scaled, _mm256_set1_pd(a.bias));
    if (add) y = _mm256_add_pd(_mm256_loadu_pd(out), y);
    _mm256_storeu_pd(out, gelu4(y));
}

// Two vectors a step: the chains of both are in flight together.
KELVARA_NN_AVX2 inline __attribute__((always_inline)) void affine_gelu8(const double* x, double* out, const Affine& a,
                                                                        bool add) {
    const __m256d mean = _mm256_set1_pd(a.mean), scale = _mm256_set1_pd(a.scale);
    const __m256d weight = _mm256_set1_pd(a.weight), bias = _mm256_set1_pd(a.bias);
    __m256d lo = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(x), mean), scale), weight), bias);
    __m256d hi = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(x + 4), mean), scale), weight), bias);
    if (add) {
        lo = _mm256_add_pd(_mm256_loadu_pd(out), lo);
        hi = _mm256_add_pd(_mm256_loadu_pd(out + 4), hi);
    }
    lo = gelu4(lo);
    hi = gelu4(hi);
    _mm256_storeu_pd(out, lo);
    _mm256_storeu_pd(out + 4, hi);
}

KELVARA_NN_AVX2 void affine_gelu_avx2(std::span<const double> source, std::span<double> target, const Affine& a,
                                      bool add) {
    const double* s = source.data();
    double* v = target.data();
    const std::size_t n = target.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) affine_gelu8(s + i, v + i, a, add);
    for (; i + 4 <= n; i += 4) affine_gelu4(s + i, v + i, a, add);
    if (i == n) return;
    double x[4] = {0.0, 0.0, 0.0, 0.0}, out[4] = {0.0, 0.0, 0.0, 0.0};
    std::copy(s + i, s + n, x);
    std::copy(v + i, v + n, out);
    affine_gelu4(x, out, a, add);
    std::copy(out, out + (n - i), v + i);
}
#endif

}  // namespace

double gelu(double u) {
    const double t = std::tanh((u * 0.044715 * u * u + u) * 0.7978845608028654);
    return (t + 1.0) * u * 0.5;
}

void gelu_in_place(std::span<double> values) {
#if KELVARA_NN_X86
    if (use_avx2_fma()) {
        gelu_avx2(values);
        return;
    }
#endif
    for (double& v : values) v = gelu(v);
}

void affine_gelu(std::span<const double> source, std::span<double> target, const Affine& a, bool add) {
#if KELVARA_NN_X86
    if (use_avx2_fma()) {
        affine_gelu_avx2(source, target, a, add);
        return;
    }
#endif
    for (std::size_t i = 0; i < target.size(); ++i) {
        const double y = (source[i] - a.mean) * a.scale * a.weight + a.bias;
        target[i] = gelu(add ? target[i] + y : y);
    }
}

}  // namespace kelvara
