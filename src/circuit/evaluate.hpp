// Impedance of a whole circuit tree.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "circuit/result.hpp"
#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "elements/element_impedance.hpp"

namespace kelvara {

inline constexpr double two_pi = 6.283185307179586;

// Below this many frequencies a list is evaluated on the calling thread.
inline constexpr std::size_t parallel_frequency_threshold = 1000;

// Impedance with the values stored in the leaves.
Complex impedance(const SeriesList& series, const OmegaTerms& w);
inline Complex impedance(const SeriesList& series, double omega) { return impedance(series, omega_terms(omega)); }

// A forward-only read position in a flat parameter vector.
struct ParamCursor {
    std::span<const double> values;
    std::size_t position = 0;
    std::size_t remaining() const { return values.size() - position; }
};

struct NotEnoughValues {
    static constexpr std::string_view message = "impedance_from_iter: not enough values supplied";
};

// Impedance with parameters read from the cursor in parameter order (the
// stored values are ignored). Allocates nothing; the cursor advances by the
// tree's parameter count.
Result<Complex, NotEnoughValues> series_impedance_with_params(const SeriesList& series, const OmegaTerms& w,
                                                              ParamCursor& cursor);

// The same without the length check, for callers that have checked that
// `params` holds at least param_count values.
Complex impedance_with_params_unchecked(const SeriesList& series, const OmegaTerms& w, const double* params);

// Impedances at frequencies in hertz, written to `out` (same length), on the
// worker pool from parallel_frequency_threshold frequencies on.
void impedance_at_frequencies(const SeriesList& series, std::span<const double> frequencies_hz,
                              std::span<Complex> out);

class CompiledCircuit;
// The same for a compiled circuit and its parameter values.
void impedance_at_frequencies(const CompiledCircuit& circuit, std::span<const double> params,
                              std::span<const double> frequencies_hz, std::span<Complex> out);

}  // namespace kelvara
