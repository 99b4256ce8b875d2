// Dilated 1-D convolution of a zero-margined feature map, as a small matrix
// product over all grid positions: out (O x T) = bias + sum over taps k of
// W_k (O x I) times the input shifted by k * dilation - pad.
//
// The input is laid out so that no read needs a bounds check: each of the
// I rows holds conv_margin zeros, the T values, then zeros up to the row
// stride. Blocks of conv_tile positions whose shifted window lies wholly in
// the zeros are skipped, so the margins never need to be wider than a tile
// whatever the dilation.
#pragma once

#include <cstddef>
#include <span>

#include "nn/layers.hpp"

namespace kelvara {

inline constexpr std::size_t conv_tile = 8;
inline constexpr std::size_t conv_margin = conv_tile;

// The grid rounded up to whole tiles: the width of an output row.
constexpr std::size_t tiled(std::size_t grid) { return (grid + conv_tile - 1) / conv_tile * conv_tile; }

// Input row stride for a grid: margin, tiled grid, margin.
constexpr std::size_t padded_row(std::size_t grid) { return conv_margin + tiled(grid) + conv_margin; }

// `input`: layer.inputs rows of padded_row(grid); `out`: layer.outputs rows
// of tiled(grid), of which the first `grid` of each row are the result.
// Every tap is multiplied in, as in a matrix product, when the input is all
// finite; otherwise the sums are those of convolve_skipping_zero_taps.
void convolve(const ConvLayer& layer, std::size_t grid, std::span<const double> input, std::span<double> out);

// The same sums with taps whose weight is exactly zero left out, so that a
// non-finite input value meets no zero weight (0 * inf would be NaN).
// Plain loops, summing taps in (input channel, kernel position) order.
void convolve_skipping_zero_taps(const ConvLayer& layer, std::size_t grid, std::span<const double> input,
                                 std::span<double> out);

}  // namespace kelvara
