#include "nn/conv_kernel.hpp"

#include <algorithm>

#include "nn/simd.hpp"

#if KELVARA_NN_X86
#include <immintrin.h>
#endif

namespace kelvara {
namespace {

struct Geometry {
    std::ptrdiff_t grid;  // positions per row
    std::size_t width;    // output row stride: the grid in whole tiles
    std::size_t stride;   // input row stride
    std::ptrdiff_t pad;
};

Geometry geometry(const ConvLayer& layer, std::size_t grid) {
    const std::size_t k = layer.kernel;
    return {static_cast<std::ptrdiff_t>(grid), tiled(grid), padded_row(grid),
            static_cast<std::ptrdiff_t>(layer.dilation * (k - (k > 0 ? 1 : 0)) / 2)};
}

// Grid position of the first input value tap k reads for the tile at t0.
std::ptrdiff_t window_start(const ConvLayer& layer, const Geometry& g, std::size_t t0, std::size_t k) {
    return static_cast<std::ptrdiff_t>(t0 + k * layer.dilation) - g.pad;
}

// A window wholly outside the grid reads only zeros: its products are zero.
bool outside(std::ptrdiff_t start, const Geometry& g) {
    return start + static_cast<std::ptrdiff_t>(conv_tile) <= 0 || start >= g.grid;
}

// Rows output rows by one tile of accumulators: the portable version. Each
// loaded input value serves Rows rows.
template <std::size_t Rows>
void tile_portable(const ConvLayer& layer, const Geometry& g, const double* input, std::size_t o, std::size_t t0,
                   double* out) {
    const std::size_t taps = layer.inputs * layer.kernel;
    const double* w = layer.weight.data() + o * taps;
    double acc[Rows][conv_tile];
    for (std::size_t r = 0; r < Rows; ++r) std::fill_n(acc[r], conv_tile, layer.bias[o + r]);
    for (std::size_t k = 0; k < layer.kernel; ++k) {
        const std::ptrdiff_t start = window_start(layer, g, t0, k);
        if (outside(start, g)) continue;
        const double* x = input + static_cast<std::ptrdiff_t>(conv_margin) + start;
        for (std::size_t i = 0; i < layer.inputs; ++i, x += g.stride) {
            for (std::size_t r = 0; r < Rows; ++r) {
                const double tap = w[r * taps + i * layer.kernel + k];
                for (std::size_t c = 0; c < conv_tile; ++c) acc[r][c] += tap * x[c];
            }
        }
    }
    for (std::size_t r = 0; r < Rows; ++r) std::copy_n(acc[r], conv_tile, out + (o + r) * g.width + t0);
}

void convolve_portable(const ConvLayer& layer, const Geometry& g, const double* input, double* out) {
    constexpr std::size_t rows = 4;
    std::size_t o = 0;
    for (; o + rows <= layer.outputs; o += rows) {
        for (std::size_t t0 = 0; t0 < g.width; t0 += conv_tile) tile_portable<rows>(layer, g, input, o, t0, out);
    }
    for (; o < layer.outputs; ++o) {
        for (std::size_t t0 = 0; t0 < g.width; t0 += conv_tile) tile_portable<1>(layer, g, input, o, t0, out);
    }
}

bool all_finite_portable(std::span<const double> values) {
    bool finite = true;
    for (const double v : values) finite &= v - v == 0.0;  // inf - inf and NaN - NaN are NaN
    return finite;
}

#if KELVARA_NN_X86
// x - x is +0 (no bits set) for a finite x and NaN otherwise: or-ing the
// differences leaves some bit set exactly when a value is not finite.
KELVARA_NN_AVX2 bool all_finite_avx2(std::span<const double> values) {
    const double* v = values.data();
    const std::size_t n = values.size();
    __m256d bits = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d x = _mm256_loadu_pd(v + i);
        bits = _mm256_or_pd(bits, _mm256_sub_pd(x, x));
    }
    const __m256i any = _mm256_castpd_si256(bits);
    return _mm256_testz_si256(any, any) && all_finite_portable(values.subspan(i));
}

static_assert(conv_tile == 8, "the AVX2 kernel holds a tile in two registers");

// Rows output rows by one tile: 2 * Rows accumulators stay in registers
// while the taps stream past; each input load serves Rows rows and each
// weight broadcast two vectors.
template <std::size_t Rows>
KELVARA_NN_AVX2 void tile_avx2(const ConvLayer& layer, const Geometry& g, const double* input, std::size_t o,
                               std::size_t t0, double* out) {
    const std::size_t taps = layer.inputs * layer.kernel;
    const double* w = layer.weight.data() + o * taps;
    __m256d lo[Rows], hi[Rows];
    for (std::size_t r = 0; r < Rows; ++r) lo[r] = hi[r] = _mm256_broadcast_sd(&layer.bias[o + r]);
    for (std::size_t k = 0; k < layer.kernel; ++k) {
        const std::ptrdiff_t start = window_start(layer, g, t0, k);
        if (outside(start, g)) continue;
        const double* x = input + static_cast<std::ptrdiff_t>(conv_margin) + start;
        const double* tap = w + k;
        for (std::size_t i = 0; i < layer.inputs; ++i, x += g.stride, tap += layer.kernel) {
            const __m256d x0 = _mm256_loadu_pd(x), x1 = _mm256_loadu_pd(x + 4);
            for (std::size_t r = 0; r < Rows; ++r) {
                const __m256d c = _mm256_broadcast_sd(tap + r * taps);
                lo[r] = _mm256_fmadd_pd(c, x0, lo[r]);
                hi[r] = _mm256_fmadd_pd(c, x1, hi[r]);
            }
        }
    }
    for (std::size_t r = 0; r < Rows; ++r) {
        double* row = out + (o + r) * g.width + t0;
        _mm256_storeu_pd(row, lo[r]);
        _mm256_storeu_pd(row + 4, hi[r]);
    }
}

KELVARA_NN_AVX2 void convolve_avx2(const ConvLayer& layer, const Geometry& g, const double* input, double* out) {
    constexpr std::size_t rows = 4;
    std::size_t o = 0;
    for (; o + rows <= layer.outputs; o += rows) {
        for (std::size_t t0 = 0; t0 < g.width; t0 += conv_tile) tile_avx2<rows>(layer, g, input, o, t0, out);
    }
    for (; o < layer.outputs; ++o) {
        for (std::size_t t0 = 0; t0 < g.width; t0 += conv_tile) tile_avx2<1>(layer, g, input, o, t0, out);
    }
}
#endif

}  // namespace

void convolve(const ConvLayer& layer, std::size_t grid, std::span<const double> input, std::span<double> out) {
    const Geometry g = geometry(layer, grid);
#if KELVARA_NN_X86
    if (use_avx2_fma()) {
        if (!all_finite_avx2(input)) return convolve_skipping_zero_taps(layer, grid, input, out);
        convolve_avx2(layer, g, input.data(), out.data());
        return;
    }
#endif
    // A zero tap changes a sum only by multiplying an infinity or a NaN.
    if (!all_finite_portable(input)) return convolve_skipping_zero_taps(layer, grid, input, out);
    convolve_portable(layer, g, input.data(), out.data());
}

void convolve_skipping_zero_taps(const ConvLayer& layer, std::size_t grid, std::span<const double> input,
                                 std::span<double> out) {
    const Geometry g = geometry(layer, grid);
    const std::size_t taps = layer.inputs * layer.kernel;
    for (std::size_t o = 0; o < layer.outputs; ++o) {
        for (std::ptrdiff_t t = 0; t < g.grid; ++t) {
            double acc = layer.bias[o];
            for (std::size_t i = 0; i < layer.inputs; ++i) {
                for (std::size_t k = 0; k < layer.kernel; ++k) {
                    const double tap = layer.weight[o * taps + i * layer.kernel + k];
                    if (tap == 0.0) continue;
                    const std::ptrdiff_t p = t + static_cast<std::ptrdiff_t>(k * layer.dilation) - g.pad;
                    // Positions off the grid are zero padding.
                    const double x = p >= 0 && p < g.grid ? input[i * g.stride + conv_margin + static_cast<std::size_t>(p)] : 0.0;
                    acc += tap * x;
                }
            }
            out[o * g.width + static_cast<std::size_t>(t)] = acc;
        }
    }
}

}  // namespace kelvara
