// The starting-point network's forward pass: a stem convolution, residual
// blocks of two dilated convolutions with group norm and GELU, mean and max
// pooling, and a three-layer dense head.
#pragma once

#include <span>
#include <vector>

#include "support/result.hpp"
#include "nn/guesser.hpp"
#include "nn/nn_error.hpp"

namespace kelvara {

// The head's raw outputs for a 3 x n_grid feature map (channel-major) and
// the two extra inputs. Layers are checked in the order they run, so the
// first bad tensor is the one reported. Runs on a per-thread workspace:
// several threads may run networks at once.
Result<std::vector<double>, NnError> network_outputs(const Guesser& g, std::span<const double> features,
                                                     std::span<const double, 2> extras);

}  // namespace kelvara
