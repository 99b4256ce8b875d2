// The plain recursive walk of a circuit tree: the impedance with the values
// stored in the leaves, or with values read in parameter order from a cursor.
// The module evaluates compiled circuits (circuit/compiled.hpp); the tests,
// the notation fuzzer and the evaluation benchmark check it against this walk.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <string_view>

#include "circuit/layout.hpp"
#include "support/result.hpp"
#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "elements/element_impedance.hpp"

namespace kelvara {

namespace tree_walk {

// The reciprocal sum of a parallel group; an empty group gives NaN.
template <class BranchImpedance>
Complex parallel_of(const ParallelGroup& group, BranchImpedance&& branch_impedance) {
    if (group.branches.empty()) return {std::nan(""), std::nan("")};
    Complex admittance{0.0, 0.0};
    for (const SeriesList& branch : group.branches) admittance += reciprocal(branch_impedance(branch));
    return reciprocal(admittance);
}

inline Complex stored(const SeriesList& series, const OmegaTerms& w) {
    Complex total{0.0, 0.0};
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            total += element_impedance(leaf->element.kind, leaf->element.params.data(), w);
        } else {
            total += parallel_of(std::get<ParallelGroup>(node.value),
                                 [&](const SeriesList& branch) { return stored(branch, w); });
        }
    }
    return total;
}

inline Complex with_params(const SeriesList& series, const OmegaTerms& w, const double*& params) {
    Complex total{0.0, 0.0};
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            total += element_impedance(leaf->element.kind, params, w);
            params += kind_info(leaf->element.kind).param_count;
        } else {
            total += parallel_of(std::get<ParallelGroup>(node.value),
                                 [&](const SeriesList& branch) { return with_params(branch, w, params); });
        }
    }
    return total;
}

}  // namespace tree_walk

// Impedance with the values stored in the leaves.
inline Complex impedance(const SeriesList& series, const OmegaTerms& w) { return tree_walk::stored(series, w); }
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

// Impedance with `params` read in parameter order (the stored values are
// ignored); `params` must hold at least param_count values.
inline Complex impedance_with_params_unchecked(const SeriesList& series, const OmegaTerms& w, const double* params) {
    return tree_walk::with_params(series, w, params);
}

// The same from a cursor, which advances by the tree's parameter count.
inline Result<Complex, NotEnoughValues> series_impedance_with_params(const SeriesList& series, const OmegaTerms& w,
                                                                     ParamCursor& cursor) {
    const std::size_t needed = param_count(series);
    if (cursor.remaining() < needed) return fail(NotEnoughValues{});
    const Complex z = impedance_with_params_unchecked(series, w, cursor.values.data() + cursor.position);
    cursor.position += needed;
    return z;
}

}  // namespace kelvara
