// Particle swarm over the search box around the start, then the polish.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/total_order.hpp"
#include "fit/interruption.hpp"
#include "fit/global/global_search.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/global/random.hpp"
#include "fit/fit_problem.hpp"
#include "fit/global/search_setup.hpp"
#include "fit/methods.hpp"

namespace kelvara {
namespace {

constexpr double inertia = 0.7213475204444817;    // 1 / (2 ln 2)
constexpr double attraction = 1.1931471805599454;  // 0.5 + ln 2, cognitive and social
constexpr std::uint64_t max_particle_state_bytes = std::uint64_t{4} << 30;

}  // namespace

Result<FitOutcome, FitError> particle_swarm_fit(const FitProblem& problem, std::uint64_t num_particles,
                                                std::uint64_t generations, std::optional<std::uint64_t> seed) {
    const std::vector<double> start = problem.free_part(problem.start());
    if (auto error = check_searchable(problem, "particle swarm")) return fail(*error);
    const SearchBox box = pso_search_box(problem.space(), start);
    if (auto error = check_box(box)) return fail(*error);
    const std::size_t n = box.lower.size();
    ChaChaRng rng = ChaChaRng::from_seed(seed);
    CostEvaluator evaluator(problem);

    // Two vectors per particle: refuse what cannot be held, before allocating it.
    const std::uint64_t bytes_per_particle = 2 * (n * sizeof(double) + sizeof(std::vector<double>) + 16) + 40;
    if (num_particles > max_particle_state_bytes / bytes_per_particle) {
        return fail(FitError{FitError::Kind::too_large,
                             "num_particles = " + std::to_string(num_particles) + " with " + std::to_string(n) +
                                 " parameters needs more than the " + std::to_string(max_particle_state_bytes >> 30) +
                                 " GiB a particle swarm may take"});
    }
    const auto count = static_cast<std::size_t>(num_particles);
    std::vector<std::vector<double>> position(count, std::vector<double>(n));
    std::vector<std::vector<double>> velocity(count, std::vector<double>(n));
    std::vector<double> cost;
    for (auto& p : position) {
        for (std::size_t d = 0; d < n; ++d) p[d] = rng.between(box.lower[d], box.upper[d]);
    }
    evaluator.costs(position, cost);
    for (auto& v : velocity) {
        for (std::size_t d = 0; d < n; ++d) {
            const double width = box.upper[d] - box.lower[d];
            v[d] = rng.between(-width, width);
        }
    }
    // Particles in order of ascending cost; the first is the swarm's best.
    const std::vector<std::size_t> order = ascending_order(cost);
    {
        std::vector<std::vector<double>> sorted_position, sorted_velocity;
        std::vector<double> sorted_cost;
        for (const std::size_t i : order) {
            sorted_position.push_back(std::move(position[i]));
            sorted_velocity.push_back(std::move(velocity[i]));
            sorted_cost.push_back(cost[i]);
        }
        position = std::move(sorted_position);
        velocity = std::move(sorted_velocity);
        cost = std::move(sorted_cost);
    }
    if (count == 0) return fail(FitError{FitError::Kind::solver, "particle swarm found no best position"});
    std::vector<std::vector<double>> best_position = position;
    std::vector<double> best_cost = cost;
    std::vector<double> swarm_best = position.front();
    double swarm_best_cost = cost.front();

    for (std::uint64_t generation = 0; generation < generations; ++generation) {
        if (interruption_requested()) return fail(FitError{FitError::Kind::interrupted, {}});
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t d = 0; d < n; ++d) {
                const double own = rng.between(0.0, best_position[i][d] - position[i][d]);
                const double social = rng.between(0.0, swarm_best[d] - position[i][d]);
                velocity[i][d] = inertia * velocity[i][d] + attraction * own + attraction * social;
                position[i][d] = std::clamp(position[i][d] + velocity[i][d], box.lower[d], box.upper[d]);
            }
        }
        evaluator.costs(position, cost);
        for (std::size_t i = 0; i < count; ++i) {
            if (cost[i] < best_cost[i]) {
                best_cost[i] = cost[i];
                best_position[i] = position[i];
                if (cost[i] < swarm_best_cost) {
                    swarm_best_cost = cost[i];
                    swarm_best = position[i];
                }
            }
        }
    }
    const std::string search = "particle swarm: " + std::to_string(generations) + " generations of " +
                               std::to_string(count) + " particles";
    return polish_or_fallback(problem, problem.expand(problem.space().physical(swarm_best)), generations, search, problem.counter);
}

Result<FitOutcome, FitError> run_particle_swarm(const FitProblem& problem, const FitSettings& settings) {
    return particle_swarm_fit(problem, settings.particle_swarm.num_particles, settings.particle_swarm.generations,
                              settings.seed);
}

}  // namespace kelvara
