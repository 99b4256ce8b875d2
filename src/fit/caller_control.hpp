// The caller's own hold on a circuit's parameters (what with_fixed and
// with_bounds record), and what a fit and its starts make of it.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "circuit/tree.hpp"
#include "elements/catalogue.hpp"
#include "fit/fit_problem.hpp"

namespace kelvara {

// The caller's fixed parameters and own bounds, in parameter order: each
// list is empty or holds one entry per parameter.
struct CircuitControl {
    std::vector<std::optional<Bounds>> bounds;  // none: the catalogue's
    std::vector<bool> fixed;
    // Held without a value of the caller's on a circuit whose values are
    // placeholders: held at whatever the fit starts from (the guess or the
    // data start) rather than at the placeholder. Empty when none is.
    std::vector<bool> deferred;

    bool empty() const { return bounds.empty() && fixed.empty(); }
    bool is_deferred(std::size_t j) const { return j < deferred.size() && deferred[j]; }
    // Clears a list that says nothing (no bound given, nothing held), so
    // that such a circuit is one without control of its own.
    void drop_unused();
};

// The bounds in force: the caller's where given, the catalogue's elsewhere.
std::vector<Bounds> bounds_in_force(const SeriesList& tree, const CircuitControl& control);

// What the engine is told: empty (the catalogue's bounds, nothing held) for
// a circuit without control of its own.
ParameterControl engine_control(const SeriesList& tree, const CircuitControl& control);

// The start of a fit from a network's guess: the held parameters keep the
// circuit's values, the others are clamped into the caller's bounds.
std::vector<double> start_from_guess(const SeriesList& tree, const CircuitControl& control, std::vector<double> guess);

// What the data start is told: held parameters keep their values only where
// the caller gave them; the others take what the data say, as the fit will
// start there.
ParameterControl data_start_control(const SeriesList& tree, const CircuitControl& control);

}  // namespace kelvara
