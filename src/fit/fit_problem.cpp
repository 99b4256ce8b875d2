#include "fit/fit_problem.hpp"

#include <cmath>

#include "circuit/layout.hpp"
#include "circuit/notation_text.hpp"
#include "support/number_text.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace kelvara {

std::string interval_text(Bounds b) { return "[" + short_number_text(b.lo) + ", " + short_number_text(b.hi) + "]"; }

namespace {

std::vector<Bounds> search_bounds(const std::vector<Bounds>& bounds, const std::vector<bool>& fixed) {
    std::vector<Bounds> out;
    for (std::size_t j = 0; j < bounds.size(); ++j) {
        if (!fixed[j]) out.push_back(bounds[j]);
    }
    return out;
}

// The free parameters that are positive scales: open above in the catalogue.
std::vector<bool> search_scales(const SeriesList& circuit, const std::vector<bool>& fixed) {
    const std::vector<Bounds> catalogue = param_bounds(circuit);
    std::vector<bool> out;
    for (std::size_t j = 0; j < catalogue.size(); ++j) {
        if (!fixed[j]) out.push_back(!std::isfinite(catalogue[j].hi));
    }
    return out;
}

}  // namespace

std::optional<std::string> check_user_bounds(const std::string& name, Bounds b, Bounds catalogue) {
    const std::string prefix = "bounds of " + name + " " + interval_text(b) + ": ";
    if (std::isnan(b.lo) || std::isnan(b.hi)) return prefix + "a bound must be a number";
    if (b.lo < 0.0 && catalogue.lo >= 0.0) {
        return prefix + name + " cannot be negative (its catalogue bounds are " + interval_text(catalogue) +
               "); give a lower bound of 0 or above";
    }
    if (!(b.lo < b.hi)) return prefix + "the lower bound must be below the upper bound";
    if (b.lo == INFINITY || b.hi == -INFINITY) return prefix + "the interval is empty";
    if (std::isinf(b.hi) && !(b.lo > 0.0)) {
        return prefix +
               "a parameter without a finite upper bound is searched on a log scale above its lower bound, "
               "which must be above zero";
    }
    return std::nullopt;
}

FitProblem::FitProblem(const SeriesList& circuit, FitData data, std::vector<Bounds> bounds, std::vector<bool> fixed)
    : circuit_(circuit),
      data_(std::move(data)),
      names_(distinct_param_names(circuit)),  // a composed circuit's repeated names told apart
      bounds_(std::move(bounds)),
      fixed_(std::move(fixed)),
      space_(search_bounds(bounds_, fixed_), search_scales(circuit, fixed_)),
      objective_(circuit, data_.omega, data_.measured, data_.weights) {
    for (std::size_t j = 0; j < bounds_.size(); ++j) {
        if (!fixed_[j]) free_.push_back(j);
    }
}

Result<std::unique_ptr<FitProblem>, FitError> FitProblem::make(const SeriesList& circuit,
                                                              std::span<const double> frequencies_hz,
                                                              std::span<const Complex> impedances, Weighting scheme,
                                                              const ParameterControl& control) {
    auto spectrum = MeasuredSpectrum::check({frequencies_hz.begin(), frequencies_hz.end()},
                                            {impedances.begin(), impedances.end()});
    if (!spectrum) return fail(FitError{FitError::Kind::length_mismatch, {}});
    return make(circuit, *spectrum, scheme, control);
}

Result<std::unique_ptr<FitProblem>, FitError> FitProblem::make(const SeriesList& circuit,
                                                              const MeasuredSpectrum& spectrum, Weighting scheme,
                                                              const ParameterControl& control) {
    if (auto error = check_fit_inputs(circuit, spectrum.size(), spectrum.size())) return fail(*error);
    if (auto problem = weighting_problem(spectrum, scheme)) {
        return fail(FitError{FitError::Kind::invalid_setting, *problem});
    }
    const std::size_t count = kelvara::param_count(circuit);
    std::vector<Bounds> bounds = control.bounds.empty() ? param_bounds(circuit) : control.bounds;
    std::vector<bool> fixed = control.fixed.empty() ? std::vector<bool>(count, false) : control.fixed;
    if (bounds.size() != count || fixed.size() != count) {
        return fail(FitError{FitError::Kind::invalid_setting, "bounds and fixed parameters must cover every parameter"});
    }
    const std::vector<std::string> names = param_names(circuit);
    if (!control.bounds.empty()) {
        const std::vector<Bounds> catalogue = param_bounds(circuit);
        for (std::size_t j = 0; j < count; ++j) {
            if (auto error = check_user_bounds(names[j], bounds[j], catalogue[j])) {
                return fail(FitError{FitError::Kind::invalid_setting, *error});
            }
        }
    }
    const std::vector<double> values = param_values(circuit);
    std::size_t free_count = 0;
    for (std::size_t j = 0; j < count; ++j) {
        if (!fixed[j]) {
            ++free_count;
            continue;
        }
        if (!(values[j] >= bounds[j].lo && values[j] <= bounds[j].hi)) {
            return fail(FitError{FitError::Kind::invalid_start, "fixed value of " + names[j] + " is " +
                                                                     short_number_text(values[j]) +
                                                                     ", outside its bounds " + interval_text(bounds[j])});
        }
    }
    if (free_count == 0) {
        return fail(FitError{FitError::Kind::invalid_setting, "every parameter is fixed: there is nothing to fit"});
    }
    FitData data = prepare_fit_data(spectrum.frequencies_hz(), spectrum.impedances(), scheme);
    return std::unique_ptr<FitProblem>(new FitProblem(circuit, std::move(data), std::move(bounds), std::move(fixed)));
}

std::vector<double> FitProblem::start() const { return param_values(circuit_); }

void FitProblem::expand(std::span<const double> free_values, std::span<double> full) const {
    for (std::size_t i = 0; i < free_.size() && i < free_values.size(); ++i) full[free_[i]] = free_values[i];
}

std::vector<double> FitProblem::expand(std::span<const double> free_values) const {
    std::vector<double> full = start();
    expand(free_values, full);
    return full;
}

std::vector<double> FitProblem::free_part(std::span<const double> full) const {
    std::vector<double> out;
    out.reserve(free_.size());
    for (const std::size_t j : free_) out.push_back(full[j]);
    return out;
}

void FitProblem::set_start(std::span<const double> full) { circuit_ = rebuild(circuit_, full); }

}  // namespace kelvara
