// Simulated annealing from the start (temperature T0 / n at iteration n,
// logistic acceptance), then the polish.
#include <cmath>

#include "support/number_text.hpp"
#include "support/quoted.hpp"
#include "fit/global/global_search.hpp"
#include "fit/interruption.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/global/random.hpp"
#include "fit/fit_problem.hpp"
#include "fit/global/search_setup.hpp"
#include "fit/methods.hpp"

namespace kelvara {

Result<FitOutcome, FitError> simulated_annealing_fit(const FitProblem& problem, std::uint64_t iterations,
                                                     double initial_temperature, std::optional<std::uint64_t> seed) {
    const std::vector<double> start = problem.free_part(problem.start());
    CostProblem scorer(problem, problem.counter);
    std::vector<double> current = problem.space().internal(start);

    ChaChaRng moves = ChaChaRng::from_seed(seed);
    ChaChaRng acceptance = ChaChaRng::from_seed(seed ? std::optional<std::uint64_t>(*seed + 1) : std::nullopt);
    if (initial_temperature <= 0.0) {
        return fail(FitError{FitError::Kind::solver,
                             "Invalid parameter: " + quoted("`SimulatedAnnealing`: Initial temperature must be > 0.")});
    }

    double current_cost = scorer.cost(current);
    std::vector<double> best = current;
    double best_cost = current_cost;
    double temperature = initial_temperature;
    std::vector<double> moved(current.size());
    for (std::uint64_t n = 1; n <= iterations; ++n) {
        if (interruption_requested()) return fail(FitError{FitError::Kind::interrupted, {}});
        if (!(temperature >= 0.0) || !std::isfinite(2.0 * temperature)) {
            // The caller's own value, so an ordinary error rather than an internal one.
            return fail(FitError{FitError::Kind::invalid_setting,
                                 "sa_initial_temperature must be > 0 and small enough that moves stay finite, got " +
                                     short_number_text(initial_temperature)});
        }
        for (std::size_t d = 0; d < current.size(); ++d) moved[d] = current[d] + moves.between(-temperature, temperature);
        const double cost = scorer.cost(moved);
        const bool accept =
            cost < current_cost || acceptance.uniform53() < 1.0 / (1.0 + std::exp((cost - current_cost) / temperature));
        if (accept) {
            current = moved;
            current_cost = cost;
        }
        if (cost < best_cost) {
            best = moved;
            best_cost = cost;
        }
        temperature = initial_temperature / static_cast<double>(n + 1);
    }
    const std::string search = "simulated annealing: " + std::to_string(iterations) + " iterations";
    return polish_or_fallback(problem, problem.expand(problem.space().physical(best)), iterations, search, problem.counter);
}

Result<FitOutcome, FitError> run_simulated_annealing(const FitProblem& problem, const FitSettings& settings) {
    const simulated_annealing_settings& s = settings.simulated_annealing;
    return simulated_annealing_fit(problem, s.sa_iterations, s.sa_initial_temperature, settings.seed);
}

}  // namespace kelvara
