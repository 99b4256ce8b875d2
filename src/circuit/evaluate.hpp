// Impedance of a whole circuit tree.
#pragma once

#include <cstddef>
#include <span>

#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "elements/element_impedance.hpp"
#include "support/constants.hpp"

namespace kelvara {

// Below this many frequencies a list is evaluated on the calling thread.
inline constexpr std::size_t parallel_frequency_threshold = 1000;

// Impedances at frequencies in hertz, written to `out` (same length), on the
// worker pool from parallel_frequency_threshold frequencies on.
void impedance_at_frequencies(const SeriesList& series, std::span<const double> frequencies_hz,
                              std::span<Complex> out);

class CompiledCircuit;
// The same for a compiled circuit and its parameter values.
void impedance_at_frequencies(const CompiledCircuit& circuit, std::span<const double> params,
                              std::span<const double> frequencies_hz, std::span<Complex> out);

}  // namespace kelvara
