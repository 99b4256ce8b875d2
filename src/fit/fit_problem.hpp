// One fit problem, built and checked once before any method runs: the
// measured data with their weights, the bounds in force, which parameters
// are held fixed, the search space of the free ones and the objective.
// Every method and the polish take it; nothing is checked twice.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/result.hpp"
#include "circuit/measured_points.hpp"
#include "circuit/tree.hpp"
#include "elements/catalogue.hpp"
#include "elements/complex.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/objective.hpp"
#include "fit/search_space.hpp"
#include "fit/weighting.hpp"

namespace kelvara {

// What the caller says about the parameters beyond the circuit itself, in
// parameter order. Empty lists mean the catalogue bounds and nothing held.
struct ParameterControl {
    std::vector<Bounds> bounds;  // the bounds in force, one per parameter
    std::vector<bool> fixed;     // held at the circuit's value

    bool empty() const { return bounds.empty() && fixed.empty(); }
};

// The bounds a caller may set for `name`: an error text naming the
// parameter when lo is not below hi, either is NaN, hi is -inf or lo is +inf,
// or lo <= 0 while hi is infinite (such a parameter is searched as
// log10(p - lo), which needs a positive floor to be a scale at all), or lo
// reaches below zero for a parameter whose catalogue bounds do not (every
// element's values are positive: a negative resistance or q is no fit).
// "[lo, hi]" with the short number texts, as messages quote bounds.
std::string interval_text(Bounds b);

std::optional<std::string> check_user_bounds(const std::string& name, Bounds bounds, Bounds catalogue);

class FitProblem {
public:
    // Checks in this order: empty spectrum, a circuit without parameters, a
    // zero impedance under modulus weighting, control lists of the wrong
    // length, bounds that cannot work, every parameter fixed, fixed values
    // that are not numbers or lie outside their bounds. The spectrum's own
    // facts come with it (measured_points.hpp).
    static Result<std::unique_ptr<FitProblem>, FitError> make(const SeriesList& circuit,
                                                              const MeasuredSpectrum& spectrum, Weighting scheme,
                                                              const ParameterControl& control);
    // The same for a spectrum not checked yet: unequal lengths first.
    static Result<std::unique_ptr<FitProblem>, FitError> make(const SeriesList& circuit,
                                                              std::span<const double> frequencies_hz,
                                                              std::span<const Complex> impedances, Weighting scheme,
                                                              const ParameterControl& control);

    FitProblem(const FitProblem&) = delete;
    FitProblem& operator=(const FitProblem&) = delete;

    const SeriesList& circuit() const { return circuit_; }  // holds the starting values
    const FitData& data() const { return data_; }
    const Objective& objective() const { return objective_; }
    const std::vector<std::string>& names() const { return names_; }
    const std::vector<Bounds>& bounds() const { return bounds_; }  // every parameter's, in force
    const std::vector<bool>& fixed() const { return fixed_; }
    bool any_fixed() const { return free_.size() != bounds_.size(); }
    std::span<const std::size_t> free() const { return free_; }
    // The search coordinates of the free parameters, in their order.
    const SearchSpace& space() const { return space_; }
    std::size_t param_count() const { return bounds_.size(); }
    std::size_t free_count() const { return free_.size(); }

    // Physical values of every parameter: the start, and the start with the
    // free ones replaced by `free_values` (physical, in free order).
    std::vector<double> start() const;
    void expand(std::span<const double> free_values, std::span<double> full) const;
    std::vector<double> expand(std::span<const double> free_values) const;
    std::vector<double> free_part(std::span<const double> full) const;

    // Another start for the same problem (the fixed values stay).
    void set_start(std::span<const double> full);

    // Residual evaluations of the global searches; a nested Levenberg-
    // Marquardt run counts its own and reports them in its outcome.
    mutable EvaluationCounter counter{0};

private:
    FitProblem(const SeriesList& circuit, FitData data, std::vector<Bounds> bounds, std::vector<bool> fixed);

    SeriesList circuit_;
    FitData data_;
    std::vector<std::string> names_;
    std::vector<Bounds> bounds_;
    std::vector<bool> fixed_;
    std::vector<std::size_t> free_;
    SearchSpace space_;
    Objective objective_;
};

}  // namespace kelvara
