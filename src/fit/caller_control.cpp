#include "fit/caller_control.hpp"

#include <algorithm>
#include <cmath>

#include "circuit/layout.hpp"

namespace kelvara {

void CircuitControl::drop_unused() {
    for (std::size_t j = 0; j < deferred.size(); ++j) deferred[j] = deferred[j] && j < fixed.size() && fixed[j];
    if (std::none_of(deferred.begin(), deferred.end(), [](bool b) { return b; })) deferred.clear();
    if (std::none_of(fixed.begin(), fixed.end(), [](bool b) { return b; })) fixed.clear();
    if (std::none_of(bounds.begin(), bounds.end(), [](const auto& b) { return b.has_value(); })) bounds.clear();
}

std::vector<Bounds> bounds_in_force(const SeriesList& tree, const CircuitControl& control) {
    std::vector<Bounds> bounds = param_bounds(tree);
    for (std::size_t j = 0; j < bounds.size() && j < control.bounds.size(); ++j) {
        if (control.bounds[j]) bounds[j] = *control.bounds[j];
    }
    return bounds;
}

ParameterControl engine_control(const SeriesList& tree, const CircuitControl& control) {
    if (control.empty()) return {};
    ParameterControl out{bounds_in_force(tree, control), control.fixed};
    if (out.fixed.empty()) out.fixed.assign(out.bounds.size(), false);
    return out;
}

std::vector<double> start_from_guess(const SeriesList& tree, const CircuitControl& control, std::vector<double> guess) {
    const std::vector<double> values = param_values(tree);
    for (std::size_t j = 0; j < guess.size(); ++j) {
        if (j < control.fixed.size() && control.fixed[j] && !control.is_deferred(j)) {
            guess[j] = values[j];
        } else if (j < control.bounds.size() && control.bounds[j] && !std::isnan(guess[j])) {
            guess[j] = std::clamp(guess[j], control.bounds[j]->lo, control.bounds[j]->hi);
        }
    }
    return guess;
}

ParameterControl data_start_control(const SeriesList& tree, const CircuitControl& control) {
    CircuitControl released = control;
    for (std::size_t j = 0; j < released.fixed.size(); ++j) {
        if (released.is_deferred(j)) released.fixed[j] = false;
    }
    return engine_control(tree, released);
}

}  // namespace kelvara
