#include "circuit/evaluate.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "circuit/compiled.hpp"

#include "circuit/layout.hpp"
#include "circuit/worker_pool.hpp"

namespace kelvara {
namespace {

constexpr Complex zero{0.0, 0.0};

// The reciprocal sum of a parallel group; an empty group gives NaN.
template <class BranchImpedance>
Complex parallel_of(const ParallelGroup& group, BranchImpedance&& branch_impedance) {
    if (group.branches.empty()) return {std::nan(""), std::nan("")};
    Complex admittance = zero;
    for (const SeriesList& branch : group.branches) admittance += reciprocal(branch_impedance(branch));
    return reciprocal(admittance);
}

Complex walk_stored(const SeriesList& series, const OmegaTerms& w) {
    Complex total = zero;
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            total += element_impedance(leaf->element.kind, leaf->element.params.data(), w);
        } else {
            total += parallel_of(std::get<ParallelGroup>(node.value),
                                 [&](const SeriesList& branch) { return walk_stored(branch, w); });
        }
    }
    return total;
}

Complex walk_params(const SeriesList& series, const OmegaTerms& w, const double*& params) {
    Complex total = zero;
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            total += element_impedance(leaf->element.kind, params, w);
            params += kind_info(leaf->element.kind).param_count;
        } else {
            total += parallel_of(std::get<ParallelGroup>(node.value),
                                 [&](const SeriesList& branch) { return walk_params(branch, w, params); });
        }
    }
    return total;
}

}  // namespace

Complex impedance(const SeriesList& series, const OmegaTerms& w) { return walk_stored(series, w); }

Result<Complex, NotEnoughValues> series_impedance_with_params(const SeriesList& series, const OmegaTerms& w,
                                                              ParamCursor& cursor) {
    const std::size_t needed = param_count(series);
    if (cursor.remaining() < needed) return fail(NotEnoughValues{});
    const Complex z = impedance_with_params_unchecked(series, w, cursor.values.data() + cursor.position);
    cursor.position += needed;
    return z;
}

Complex impedance_with_params_unchecked(const SeriesList& series, const OmegaTerms& w, const double* params) {
    return walk_params(series, w, params);
}

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
