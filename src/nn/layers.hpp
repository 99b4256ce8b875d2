// A network layer's tensors looked up by name and checked against the
// shapes the forward pass will read, with the errors the loader reports.
// After a successful lookup every index the layer's loops form is inside
// its tensors.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "support/result.hpp"
#include "nn/guesser.hpp"
#include "nn/nn_error.hpp"

namespace kelvara {

// weight: outputs x inputs x kernel, row-major; bias: outputs.
struct ConvLayer {
    std::span<const double> weight;
    std::span<const double> bias;
    std::size_t outputs = 0;
    std::size_t inputs = 0;
    std::size_t kernel = 0;
    std::size_t dilation = 0;
};

// A convolution from in_channels to the network's width, fed input_size values.
Result<ConvLayer, NnError> conv_layer(const Guesser& g, std::string_view name, std::size_t in_channels,
                                      std::size_t dilation, std::size_t input_size);

// weight and bias: one value per channel; `groups` divides the first
// groups * (channels / groups) channels, the rest are left alone.
struct NormLayer {
    std::span<const double> weight;
    std::span<const double> bias;
    std::size_t channels = 0;
    std::size_t groups = 0;
};

Result<NormLayer, NnError> norm_layer(const Guesser& g, std::string_view name);

// weight: outputs x inputs, row-major; bias: outputs.
struct DenseLayer {
    std::span<const double> weight;
    std::span<const double> bias;
    std::size_t outputs = 0;
    std::size_t inputs = 0;
};

Result<DenseLayer, NnError> dense_layer(const Guesser& g, std::string_view name, std::size_t input_size);

}  // namespace kelvara
