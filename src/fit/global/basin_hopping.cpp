// Basin hopping: random jumps in search coordinates, each followed by a
// complete Levenberg-Marquardt fit, keeping the best fit found.
#include <cmath>

#include "fit/fit_problem.hpp"
#include "fit/global/global_search.hpp"
#include "fit/interruption.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/global/random.hpp"
#include "fit/search_space.hpp"
#include "fit/methods.hpp"
#include "support/number_text.hpp"

namespace kelvara {

Result<FitOutcome, FitError> basin_hopping_fit(const FitProblem& problem, std::uint64_t hops, double step_size,
                                               double temperature, std::optional<std::uint64_t> seed) {
    ChaChaRng rng = ChaChaRng::from_seed(seed);
    const LmSettings local;  // ftol, xtol, gtol 1e-8, max_iterations 200
    const SearchSpace& space = problem.space();

    auto first = levenberg_marquardt_fit(problem, problem.start(), local);
    if (!first) return fail(first.error());
    FitOutcome current = std::move(first).value();
    std::vector<double> best = current.params;
    double best_cost = current.cost;
    std::string best_message = current.message;
    std::uint64_t iterations = current.iterations;
    std::uint64_t evaluations = current.impedance_evals;

    for (std::uint64_t hop = 0; hop < hops; ++hop) {
        if (interruption_requested()) return fail(FitError{FitError::Kind::interrupted, {}});
        std::vector<double> x = space.internal(problem.free_part(current.params));
        for (double& coordinate : x) coordinate += rng.between(-step_size, step_size);
        auto local_fit = levenberg_marquardt_fit(problem, problem.expand(space.physical(x)), local);
        if (!local_fit) return fail(local_fit.error());
        FitOutcome candidate = std::move(local_fit).value();
        iterations += candidate.iterations;
        evaluations += candidate.impedance_evals;
        if (!std::isfinite(candidate.cost)) continue;  // never best, never accepted
        if (candidate.cost < best_cost) {
            best = candidate.params;
            best_cost = candidate.cost;
            best_message = candidate.message;
        }
        const bool accept = current.cost > candidate.cost ||
                            std::exp(-(candidate.cost - current.cost) / temperature) > rng.uniform53();
        if (accept) current = std::move(candidate);
    }
    EvaluationCounter counter{evaluations};
    return build_outcome(problem, best, true, iterations, counter,
                         "basin hopping: " + std::to_string(hops) + " hops; best local fit " + best_message);
}

Result<FitOutcome, FitError> run_basin_hopping(const FitProblem& problem, const FitSettings& settings) {
    const basin_hopping_settings& s = settings.basin_hopping;
    if (!(s.basin_hopping_step_size >= 0.0) || !std::isfinite(s.basin_hopping_step_size)) {
        return fail(FitError{FitError::Kind::invalid_setting, "basin_hopping_step_size must be finite and >= 0, got " +
                                                                  short_number_text(s.basin_hopping_step_size)});
    }
    return basin_hopping_fit(problem, s.basin_hopping_hops, s.basin_hopping_step_size, s.basin_hopping_temperature,
                             settings.seed);
}

}  // namespace kelvara
