#include "fit/starting_values.hpp"

#include <cmath>
#include <string>

#include "circuit/layout.hpp"
#include "support/number_text.hpp"
#include "fit/fit_problem.hpp"
#include "fit/objective.hpp"
#include "fit/search_space.hpp"

namespace kelvara {
namespace {

constexpr int lowest_decade = -12, highest_decade = 12;

FitError refused(const std::string& name, double value, Bounds bounds, const std::string& why) {
    return FitError{FitError::Kind::invalid_start,
                    "starting value of " + name + " is " + short_number_text(value) + why + " (bounds [" +
                        short_number_text(bounds.lo) + ", " + short_number_text(bounds.hi) + "])"};
}

}  // namespace

Result<SettledStart, FitError> settle_start(const FitProblem& problem) {
    const std::vector<std::string>& names = problem.names();
    const std::vector<Bounds>& bounds = problem.bounds();
    std::vector<double> start = problem.start();
    std::vector<std::size_t> on_bound;
    for (std::size_t j = 0; j < start.size(); ++j) {
        if (problem.fixed()[j]) continue;
        const Bounds b = bounds[j];
        const double p = start[j];
        if (std::isnan(p)) return fail(refused(names[j], p, b, ": every starting value must be a number"));
        if (std::isfinite(b.hi)) continue;  // moved into its bounds by the fit itself
        if (p < b.lo) {
            return fail(refused(names[j], p, b,
                                ", below its lower bound: a parameter without an upper bound must start above it"));
        }
        if (std::isinf(p)) return fail(refused(names[j], p, b, ": every starting value must be finite"));
        if (p == b.lo) on_bound.push_back(j);
    }
    SettledStart settled{start, 0};
    if (on_bound.empty()) return settled;

    const Objective& objective = problem.objective();
    ResidualWorkspace workspace = objective.make_workspace();
    std::vector<double> r(objective.residual_count());
    EvaluationCounter counter{0};
    for (const std::size_t j : on_bound) {
        const double lo = bounds[j].lo;
        double costs[highest_decade - lowest_decade + 1];
        double smallest = INFINITY;
        for (int k = lowest_decade; k <= highest_decade; ++k) {
            start[j] = lo + std::pow(10.0, k);
            objective.residuals(start.data(), r, workspace, counter);
            const double cost = cost_of(r);
            costs[k - lowest_decade] = cost;
            if (cost < smallest) smallest = cost;
        }
        int chosen = 0;  // no finite cost anywhere: a plain lo + 1
        if (std::isfinite(smallest)) {
            for (int k = highest_decade; k >= lowest_decade; --k) {
                if (costs[k - lowest_decade] <= smallest + 1e-9 * smallest) {
                    chosen = k;
                    break;
                }
            }
        }
        start[j] = lo + std::pow(10.0, chosen);
    }
    settled.values = std::move(start);
    settled.evaluations = counter.load();
    return settled;
}

}  // namespace kelvara
