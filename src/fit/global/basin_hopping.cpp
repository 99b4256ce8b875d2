// Basin hopping: random jumps in search coordinates, each followed by a
// complete Levenberg-Marquardt fit, keeping the best fit found.
#include <cmath>

#include "circuit/layout.hpp"
#include "circuit/number_text.hpp"
#include "fit/global/global_search.hpp"
#include "fit/interruption.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/global/random.hpp"
#include "fit/search_space.hpp"

namespace kelvara {

Result<FitOutcome, FitError> basin_hopping_fit(const SpectrumInput& input, std::uint64_t hops, double step_size,
                                               double temperature, std::optional<std::uint64_t> seed) {
    if (auto error = check_fit_inputs(input.circuit, input.frequencies_hz.size(), input.impedances.size())) {
        return fail(*error);
    }
    // The caller's own value, so an ordinary error rather than an internal one.
    if (!(step_size >= 0.0) || !std::isfinite(step_size)) {
        return fail(FitError{FitError::Kind::invalid_setting,
                             "basin_hopping_step_size must be finite and >= 0, got " + short_number_text(step_size)});
    }
    ChaChaRng rng = ChaChaRng::from_seed(seed);
    const LmSettings local;  // ftol, xtol, gtol 1e-8, max_iterations 200
    const SearchSpace space(param_bounds(input.circuit));

    auto first = levenberg_marquardt_fit(input.circuit, input.frequencies_hz, input.impedances, input.scheme, local);
    if (!first) return fail(first.error());
    FitOutcome current = std::move(first).value();
    std::vector<double> best = current.params;
    double best_cost = current.cost;
    std::string best_message = current.message;
    std::uint64_t iterations = current.iterations;
    std::uint64_t evaluations = current.impedance_evals;

    for (std::uint64_t hop = 0; hop < hops; ++hop) {
        if (interruption_requested()) return fail(FitError{FitError::Kind::interrupted, {}});
        std::vector<double> x = space.internal(current.params);
        for (double& coordinate : x) coordinate += rng.between(-step_size, step_size);
        const SeriesList jumped = rebuild(input.circuit, space.physical(x));
        auto local_fit = levenberg_marquardt_fit(jumped, input.frequencies_hz, input.impedances, input.scheme, local);
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
    const FitData data = prepare_fit_data(input.frequencies_hz, input.impedances, input.scheme);
    return build_outcome(input.circuit, best, true, iterations, data, counter,
                         "basin hopping: " + std::to_string(hops) + " hops; best local fit " + best_message);
}

}  // namespace kelvara
