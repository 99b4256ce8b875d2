#include "circuit/evaluate.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "circuit/compiled.hpp"

#include "circuit/layout.hpp"
#include "support/worker_pool.hpp"

namespace kelvara {

void impedance_at_frequencies(const SeriesList& series, std::span<const double> frequencies_hz,
                              std::span<Complex> out) {
    impedance_at_frequencies(CompiledCircuit(series), param_values(series), frequencies_hz, out);
}

namespace {

// Blocks small enough for the frequency terms and the scratch rows to stay in cache.
constexpr std::size_t block = 256;

void fill_terms(std::span<const double> frequencies_hz, TermNeeds needs, std::span<OmegaTerms> terms) {
    for (std::size_t i = 0; i < frequencies_hz.size(); ++i) terms[i] = omega_terms(frequencies_hz[i] * two_pi, needs);
}

// `out` for `frequencies_hz`, a block at a time through `terms` (at least one
// block long, or the list's length) and `workspace`.
void sweep_in_blocks(const CompiledCircuit& circuit, std::span<const double> params, TermNeeds needs,
                     std::span<const double> frequencies_hz, std::span<Complex> out, std::span<OmegaTerms> terms,
                     std::span<Complex> workspace) {
    for (std::size_t start = 0; start < frequencies_hz.size(); start += block) {
        const std::size_t count = std::min(block, frequencies_hz.size() - start);
        fill_terms(frequencies_hz.subspan(start, count), needs, terms);
        circuit.sweep(terms.first(count), params.data(), out.subspan(start, count), workspace);
    }
}

bool covers(TermNeeds held, TermNeeds asked) {
    return (held.sqrt_omega || !asked.sqrt_omega) && (held.sqrt_j_omega || !asked.sqrt_j_omega) &&
           (held.exponent || !asked.exponent);
}

// A calling thread's scratch for lists the pool would not split, kept between
// calls. The frequency terms of the last list of at most one block are kept
// with it: a caller evaluating many parameter sets on one grid (a plot, its
// own optimiser) pays the logarithms and roots once. The list is compared bit
// for bit, so the terms are exactly the ones a new computation would give.
struct ThreadScratch {
    std::vector<double> frequencies_hz;  // the list `terms` belong to
    std::vector<OmegaTerms> terms;
    TermNeeds needs{false, false, false};
    std::vector<Complex> workspace;
};

void evaluate_on_calling_thread(const CompiledCircuit& circuit, std::span<const double> params,
                                std::span<const double> frequencies_hz, std::span<Complex> out) {
    thread_local ThreadScratch kept;
    ThreadScratch& scratch = kept;  // one thread-local lookup, not one per access
    const std::size_t n = frequencies_hz.size();
    if (n == 0) return;
    const TermNeeds needs = circuit.needs(params.data());
    const std::size_t rows = std::min(block, n);
    if (scratch.terms.size() < rows) scratch.terms.resize(rows);
    if (scratch.workspace.size() < circuit.workspace_size(rows)) scratch.workspace.resize(circuit.workspace_size(rows));
    const auto terms = std::span(scratch.terms);
    if (n <= block) {
        const bool same = scratch.frequencies_hz.size() == n && covers(scratch.needs, needs) &&
                          std::memcmp(scratch.frequencies_hz.data(), frequencies_hz.data(), n * sizeof(double)) == 0;
        if (!same) {
            scratch.frequencies_hz.assign(frequencies_hz.begin(), frequencies_hz.end());
            fill_terms(frequencies_hz, needs, terms);
            scratch.needs = needs;
        }
        circuit.sweep(terms.first(n), params.data(), out, scratch.workspace);
        return;
    }
    scratch.frequencies_hz.clear();  // the terms are overwritten block by block
    sweep_in_blocks(circuit, params, needs, frequencies_hz, out, terms, scratch.workspace);
}

}  // namespace

void impedance_at_frequencies(const CompiledCircuit& circuit, std::span<const double> params,
                              std::span<const double> frequencies_hz, std::span<Complex> out) {
    if (frequencies_hz.size() < parallel_frequency_threshold) {
        evaluate_on_calling_thread(circuit, params, frequencies_hz, out);
        return;
    }
    const TermNeeds needs = circuit.needs(params.data());
    run_chunked(frequencies_hz.size(), parallel_frequency_threshold / 2, [&](std::size_t begin, std::size_t end) {
        const std::size_t rows = std::min(block, end - begin);
        std::vector<OmegaTerms> terms(rows);
        std::vector<Complex> workspace(circuit.workspace_size(rows));
        sweep_in_blocks(circuit, params, needs, frequencies_hz.subspan(begin, end - begin),
                        out.subspan(begin, end - begin), terms, workspace);
    });
}

}  // namespace kelvara
