#include "circuit/evaluate.hpp"

#include <algorithm>
#include <vector>

#include "circuit/compiled.hpp"

#include "circuit/layout.hpp"
#include "circuit/worker_pool.hpp"

namespace kelvara {

void impedance_at_frequencies(const SeriesList& series, std::span<const double> frequencies_hz,
                              std::span<Complex> out) {
    impedance_at_frequencies(CompiledCircuit(series), param_values(series), frequencies_hz, out);
}

void impedance_at_frequencies(const CompiledCircuit& circuit, std::span<const double> params,
                              std::span<const double> frequencies_hz, std::span<Complex> out) {
    // Blocks small enough for the frequency terms and the scratch rows to stay in cache.
    constexpr std::size_t block = 256;
    const TermNeeds needs = circuit.needs(params.data());
    auto evaluate_range = [&](std::size_t begin, std::size_t end) {
        const std::size_t rows = std::min(block, end - begin);
        std::vector<OmegaTerms> terms(rows);
        std::vector<Complex> workspace(circuit.workspace_size(rows));
        for (std::size_t start = begin; start < end; start += block) {
            const std::size_t count = std::min(block, end - start);
            for (std::size_t i = 0; i < count; ++i) terms[i] = omega_terms(frequencies_hz[start + i] * two_pi, needs);
            circuit.sweep(std::span(terms).first(count), params.data(), out.subspan(start, count), workspace);
        }
    };
    if (frequencies_hz.size() < parallel_frequency_threshold) {
        evaluate_range(0, frequencies_hz.size());
        return;
    }
    run_chunked(frequencies_hz.size(), parallel_frequency_threshold / 2, evaluate_range);
}

}  // namespace kelvara
