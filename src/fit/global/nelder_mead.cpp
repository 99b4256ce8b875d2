// Nelder-Mead simplex search from the start, then the polish.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "support/total_order.hpp"
#include "fit/interruption.hpp"
#include "support/quoted.hpp"
#include "fit/global/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/fit_problem.hpp"
#include "fit/global/search_setup.hpp"
#include "fit/methods.hpp"

namespace kelvara {
namespace {

constexpr double reflection = 1.0, expansion = 2.0, contraction = 0.5, shrink = 0.5;
constexpr double spread_tolerance = 2.220446049250313e-16;

struct Vertex {
    std::vector<double> x;
    double cost;
};

void sort_vertices(std::vector<Vertex>& simplex) {
    std::stable_sort(simplex.begin(), simplex.end(),
                     [](const Vertex& a, const Vertex& b) { return total_order_key(a.cost) < total_order_key(b.cost); });
}

// Sample standard deviation of the vertex costs over P = vertices - 1.
double cost_spread(const std::vector<Vertex>& simplex) {
    double mean = 0.0;
    for (const Vertex& v : simplex) mean += v.cost;
    mean /= static_cast<double>(simplex.size());
    double sum = 0.0;
    for (const Vertex& v : simplex) sum += (v.cost - mean) * (v.cost - mean);
    return std::sqrt(sum / static_cast<double>(simplex.size() - 1));
}

std::vector<double> along(const std::vector<double>& from, const std::vector<double>& to, double t) {
    std::vector<double> out(from.size());
    for (std::size_t d = 0; d < from.size(); ++d) out[d] = from[d] + t * (to[d] - from[d]);
    return out;
}

}  // namespace

Result<FitOutcome, FitError> nelder_mead_fit(const FitProblem& problem, std::uint64_t iterations) {
    const std::vector<double> start = problem.free_part(problem.start());
    CostEvaluator evaluator(problem);
    const std::vector<double> x0 = problem.space().internal(start);
    const std::size_t n = x0.size();

    std::vector<Vertex> simplex;
    simplex.push_back({x0, 0.0});
    for (std::size_t j = 0; j < n; ++j) {
        std::vector<double> x = x0;
        x[j] += std::fabs(x0[j]) > 1e-8 ? 0.1 * std::fabs(x0[j]) : 0.1;
        simplex.push_back({std::move(x), 0.0});
    }
    for (Vertex& v : simplex) v.cost = evaluator.cost(v.x);
    sort_vertices(simplex);

    std::uint64_t done = 0;
    while (done < iterations && !(cost_spread(simplex) < spread_tolerance)) {
        if (interruption_requested()) return fail(FitError{FitError::Kind::interrupted, {}});
        ++done;
        Vertex& worst = simplex.back();
        std::vector<double> centroid(n, 0.0);
        for (std::size_t v = 0; v + 1 < simplex.size(); ++v) {
            for (std::size_t d = 0; d < n; ++d) centroid[d] += simplex[v].x[d];
        }
        for (double& c : centroid) c /= static_cast<double>(simplex.size() - 1);
        // r = c + alpha (c - worst)
        const std::vector<double> reflected = along(centroid, worst.x, -reflection);
        const double reflected_cost = evaluator.cost(reflected);
        const double best = simplex.front().cost;
        const double second_worst = simplex[simplex.size() - 2].cost;
        if (best <= reflected_cost && reflected_cost < second_worst) {
            worst = {reflected, reflected_cost};
        } else if (reflected_cost < best) {
            const std::vector<double> expanded = along(centroid, reflected, expansion);
            const double expanded_cost = evaluator.cost(expanded);
            worst = expanded_cost < reflected_cost ? Vertex{expanded, expanded_cost} : Vertex{reflected, reflected_cost};
        } else if (reflected_cost >= second_worst) {
            const std::vector<double> contracted = along(centroid, worst.x, contraction);
            const double contracted_cost = evaluator.cost(contracted);
            if (contracted_cost < worst.cost) {
                worst = {contracted, contracted_cost};
            } else {
                for (std::size_t v = 1; v < simplex.size(); ++v) {
                    simplex[v].x = along(simplex.front().x, simplex[v].x, shrink);
                    simplex[v].cost = evaluator.cost(simplex[v].x);
                }
            }
        } else {
            // Only a NaN reflected cost fails every comparison above.
            return fail(FitError{FitError::Kind::solver,
                                 "Potential bug: " + quoted("`NelderMead`: Reached unreachable point.") +
                                     ". The cost at a trial point is not a number: check that the frequencies and "
                                     "impedances are finite and that the starting values give a finite "
                                     "impedance."});
        }
        sort_vertices(simplex);
    }
    if (simplex.empty()) return fail(FitError{FitError::Kind::solver, "nelder-mead found no best position"});
    const std::string search = done < iterations ? "Nelder-Mead: simplex collapsed after " + std::to_string(done) +
                                                       " iterations"
                                                 : "Nelder-Mead: iteration limit of " + std::to_string(iterations) +
                                                       " reached";
    return polish_or_fallback(problem, problem.expand(problem.space().physical(simplex.front().x)), done, search, problem.counter);
}

Result<FitOutcome, FitError> run_nelder_mead(const FitProblem& problem, const FitSettings& settings) {
    return nelder_mead_fit(problem, settings.nelder_mead.nelder_mead_iterations);
}

}  // namespace kelvara
