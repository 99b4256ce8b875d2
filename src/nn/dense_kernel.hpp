// A dense layer applied to one input vector.
#pragma once

#include <span>

#include "nn/layers.hpp"

namespace kelvara {

// out = bias + weight * input; input has layer.inputs values, out layer.outputs.
void apply_dense(const DenseLayer& layer, std::span<const double> input, std::span<double> out);

}  // namespace kelvara
