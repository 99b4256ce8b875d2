#include "nn/dense_kernel.hpp"

#include "nn/simd.hpp"

#if KELVARA_NN_X86
#include <immintrin.h>
#endif

namespace kelvara {
namespace {

#if KELVARA_NN_X86
// Each row's dot product in eight partial sums (two vectors), so that the
// additions do not wait on one another.
KELVARA_NN_AVX2 void apply_dense_avx2(const DenseLayer& layer, const double* x, double* out) {
    const std::size_t n = layer.inputs;
    for (std::size_t o = 0; o < layer.outputs; ++o) {
        const double* w = layer.weight.data() + o * n;
        __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            lo = _mm256_fmadd_pd(_mm256_loadu_pd(w + i), _mm256_loadu_pd(x + i), lo);
            hi = _mm256_fmadd_pd(_mm256_loadu_pd(w + i + 4), _mm256_loadu_pd(x + i + 4), hi);
        }
        const __m256d both = _mm256_add_pd(lo, hi);
        const __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(both), _mm256_extractf128_pd(both, 1));
        double sum = _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
        for (; i < n; ++i) sum += w[i] * x[i];
        out[o] = layer.bias[o] + sum;
    }
}
#endif

}  // namespace

void apply_dense(const DenseLayer& layer, std::span<const double> input, std::span<double> out) {
#if KELVARA_NN_X86
    if (use_avx2_fma()) {
        apply_dense_avx2(layer, input.data(), out.data());
        return;
    }
#endif
    for (std::size_t o = 0; o < layer.outputs; ++o) {
        double sum = layer.bias[o];
        const auto row = layer.weight.subspan(o * layer.inputs, layer.inputs);
        for (std::size_t i = 0; i < layer.inputs; ++i) sum += row[i] * input[i];
        out[o] = sum;
    }
}

}  // namespace kelvara
