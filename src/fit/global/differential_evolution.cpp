// Ten self-adaptive differential-evolution runs (DE/rand/1/bin, population
// 100) in single precision over the search box, then the polish. Each run
// performs exactly its budget of evaluations, one trial per step.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "fit/global/global_search.hpp"
#include "fit/interruption.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/global/random.hpp"
#include "fit/fit_problem.hpp"
#include "fit/global/search_setup.hpp"
#include "fit/methods.hpp"

namespace kelvara {
namespace {

constexpr std::size_t population_size = 100;
constexpr int runs = 10;
constexpr float redraw_probability = 0.1f;

struct Individual {
    std::vector<float> position;
    std::optional<float> cost;
    float crossover = 0.0f;  // CR in [0, 1)
    float weight = 0.0f;     // F in [0.1, 1)
};

class Population {
public:
    Population(const std::vector<float>& lower, const std::vector<float>& upper, Xorshift128& rng)
        : parents_(population_size), trials_(population_size), rng_(rng) {
        for (Individual& trial : trials_) {
            trial.position.resize(lower.size());
            for (std::size_t d = 0; d < lower.size(); ++d) trial.position[d] = rng_.uniform(lower[d], upper[d]);
            trial.crossover = rng_.uniform(0.0f, 1.0f);
            trial.weight = rng_.uniform(0.1f, 1.0f);
        }
        for (Individual& parent : parents_) parent.position.assign(lower.size(), 0.0f);
    }

    // Evaluates the next trial with `cost` (opening a new generation first
    // when every trial of this one is evaluated).
    template <class Cost>
    void step(Cost&& cost) {
        if (remaining_ == 0) next_generation();
        const std::size_t index = --remaining_;
        const float value = cost(trials_[index].position);
        trials_[index].cost = value;
        if (!best_index_ || value < best_cost_) {
            best_index_ = index;
            best_cost_ = value;
        }
    }

    // The lower-cost individual stored at the best slot.
    const Individual* best() const {
        if (!best_index_) return nullptr;
        const Individual& parent = parents_[*best_index_];
        const Individual& trial = trials_[*best_index_];
        if (parent.cost && (!trial.cost || *parent.cost <= *trial.cost)) return &parent;
        return &trial;
    }

private:
    void next_generation() {
        for (std::size_t i = 0; i < population_size; ++i) {
            if (!parents_[i].cost || (trials_[i].cost && *trials_[i].cost <= *parents_[i].cost)) parents_[i] = trials_[i];
        }
        const std::size_t dimensions = parents_.front().position.size();
        for (std::size_t i = 0; i < population_size; ++i) {
            Individual& trial = trials_[i];
            const Individual& parent = parents_[i];
            trial.crossover = rng_.uniform(0.0f, 1.0f) < redraw_probability ? rng_.uniform(0.0f, 1.0f) : parent.crossover;
            trial.weight = rng_.uniform(0.0f, 1.0f) < redraw_probability ? rng_.uniform(0.1f, 1.0f) : parent.weight;
            std::array<std::size_t, 3> picks{};
            for (std::size_t k = 0; k < 3; ++k) {
                std::size_t candidate;
                do {
                    candidate = rng_.below(static_cast<std::uint32_t>(population_size));
                } while (candidate == i || std::find(picks.begin(), picks.begin() + k, candidate) != picks.begin() + k);
                picks[k] = candidate;
            }
            const std::size_t forced = dimensions == 0 ? 0 : rng_.below(static_cast<std::uint32_t>(dimensions));
            const Individual& base = parents_[picks[0]];
            const Individual& first = parents_[picks[1]];
            const Individual& second = parents_[picks[2]];
            for (std::size_t d = 0; d < dimensions; ++d) {
                const bool cross = rng_.uniform(0.0f, 1.0f) < trial.crossover;
                trial.position[d] = (d == forced || cross)
                                        ? base.position[d] + trial.weight * (first.position[d] - second.position[d])
                                        : parent.position[d];
            }
            trial.cost.reset();
        }
        remaining_ = population_size;
    }

    std::vector<Individual> parents_;
    std::vector<Individual> trials_;
    Xorshift128& rng_;
    std::size_t remaining_ = population_size;
    std::optional<std::size_t> best_index_;
    float best_cost_ = 0.0f;
};

}  // namespace

Result<FitOutcome, FitError> differential_evolution_fit(const FitProblem& problem, std::uint64_t evaluations) {
    const std::vector<double> start = problem.free_part(problem.start());
    if (auto error = check_searchable(problem, "differential evolution")) return fail(*error);
    const SearchBox box = pso_search_box(problem.space(), start);
    std::vector<float> lower, upper;
    for (std::size_t d = 0; d < box.lower.size(); ++d) {
        lower.push_back(static_cast<float>(box.lower[d]));
        upper.push_back(static_cast<float>(box.upper[d]));
        if (!std::isfinite(lower.back()) || !std::isfinite(upper.back()) || !(lower.back() < upper.back())) {
            return fail(FitError{FitError::Kind::invalid_setting,
                                 "differential evolution needs a finite search box of positive width in every "
                                 "coordinate; check that the starting values are finite and not huge"});
        }
    }
    CostProblem scorer(problem, problem.counter);
    std::vector<double> x(lower.size());
    auto cost32 = [&](const std::vector<float>& position) {
        std::copy(position.begin(), position.end(), x.begin());
        return static_cast<float>(scorer.cost(x));
    };

    std::optional<std::vector<double>> best;
    double best_cost = 0.0;
    std::uint64_t population_evaluations = 0;
    const std::uint64_t steps = std::max<std::uint64_t>(evaluations, 1);
    for (int run = 0; run < runs; ++run) {
        Xorshift128 rng = Xorshift128::from_entropy();
        Population population(lower, upper, rng);
        for (std::uint64_t step = 0; step < steps; ++step) {
            if (interruption_requested()) return fail(FitError{FitError::Kind::interrupted, {}});
            population.step(cost32);
        }
        population_evaluations += steps;
        const Individual* winner = population.best();
        if (winner == nullptr) continue;
        std::copy(winner->position.begin(), winner->position.end(), x.begin());
        const double cost = scorer.cost(x);
        if (!best || cost < best_cost) {
            best = problem.space().physical(x);
            best_cost = cost;
        }
    }
    if (!best) return fail(FitError{FitError::Kind::solver, "differential evolution found no best position"});
    const std::string search = "differential evolution: " + std::to_string(runs) + " runs of " +
                               std::to_string(steps) + " evaluations";
    return polish_or_fallback(problem, problem.expand(*best), population_evaluations, search, problem.counter);
}

Result<FitOutcome, FitError> run_differential_evolution(const FitProblem& problem, const FitSettings& settings) {
    return differential_evolution_fit(problem, settings.differential_evolution.de_evaluations);
}

}  // namespace kelvara
