// Running a starting-point network on a measured spectrum: features on a
// log-frequency grid, a dilated residual 1-D CNN, and decoding to physical
// values with the spectrum's resistance and frequency scales. Double
// precision throughout. The single layers below are plain loops, kept for
// testing and for reuse; predict runs the whole network at once on
// vectorised kernels (nn/network.hpp).
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "support/result.hpp"
#include "elements/complex.hpp"
#include "nn/guesser.hpp"

namespace kelvara {

struct Features {
    std::vector<double> grid;  // 3 x n_grid, channel-major
    double extras[2] = {0.0, 0.0};
    double r_scale = 0.0;      // ohm
    double omega_scale = 0.0;  // rad/s
};

Result<Features, NnError> features(const Guesser& g, std::span<const double> f, std::span<const Complex> z);

// Linear interpolation over ascending xs, clamped to the end values.
double interpolate(std::span<const double> xs, std::span<const double> ys, double x);

// Zero-padded dilated convolution of an I x G map with layer `name`'s
// weights; taps whose weight is exactly zero are skipped.
Result<std::vector<double>, NnError> conv1d(const Guesser& g, std::span<const double> input, std::size_t in_channels,
                                            std::string_view name, std::size_t dilation);

// Group normalisation of a channels x G map, in place.
Result<bool, NnError> group_norm(const Guesser& g, std::span<double> map, std::string_view name);

double gelu(double u);

Result<std::vector<double>, NnError> linear(const Guesser& g, std::span<const double> input, std::string_view name);

// The network's P physical outputs, in the order of its param_names.
Result<std::vector<double>, NnError> predict(const Guesser& g, std::span<const double> f, std::span<const Complex> z);

}  // namespace kelvara
