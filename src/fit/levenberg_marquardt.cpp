#include "fit/levenberg_marquardt.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/total_order.hpp"
#include "circuit/evaluate.hpp"
#include "circuit/layout.hpp"
#include "fit/minpack/minpack.hpp"
#include "fit/methods.hpp"
#include "support/constants.hpp"

namespace kelvara {
namespace {

constexpr double step_bound = 100.0;

// Well inside the bounds: a settled start ends the multi-start loop.
bool interior(std::span<const double> p, std::span<const double> start, const SearchSpace& space) {
    for (std::size_t j = 0; j < p.size(); ++j) {
        const Bounds b = space.bounds()[j];
        if (space.log_scaled(j)) {
            const double ratio = p[j] / std::max(std::fabs(start[j]), 1e-300);
            if (!(p[j] > 100.0 * b.lo) || !std::isfinite(ratio) || !(ratio >= 1e-6) || !(ratio < 1e6)) return false;
        } else {
            // In search coordinates: a log-bounded parameter by its decades.
            const Bounds box = space.box(j);
            const double x = space.internal(j, p[j]);
            const double margin = 1e-6 * (box.hi - box.lo);
            if (!(std::fabs(x - box.lo) > margin) || !(std::fabs(box.hi - x) > margin)) return false;
        }
    }
    return true;
}

bool within_bounds(std::span<const double> p, const SearchSpace& space) {
    for (std::size_t j = 0; j < p.size(); ++j) {
        if (!(p[j] >= space.bounds()[j].lo && p[j] <= space.bounds()[j].hi)) return false;
    }
    return true;
}

double cost_at(const Objective& objective, std::span<const double> params, EvaluationCounter& counter) {
    ResidualWorkspace workspace = objective.make_workspace();
    std::vector<double> r(objective.residual_count());
    objective.residuals(params.data(), r, workspace, counter);
    return cost_of(r);
}

}  // namespace

minpack::LmderSettings solver_settings(const LmSettings& settings) {
    return {settings.ftol, settings.xtol, settings.gtol, step_bound, std::max<std::uint64_t>(settings.max_iterations, 1)};
}

std::string stop_reason(minpack::LmderStatus status) {
    using minpack::LmderStatus;
    switch (status) {
        case LmderStatus::residuals_zero: return "converged: residuals exactly zero";
        case LmderStatus::converged_ftol: return "converged: relative reduction of the sum of squares below ftol";
        case LmderStatus::converged_xtol: return "converged: relative step size below xtol";
        case LmderStatus::converged_both:
            return "converged: relative reduction of the sum of squares below ftol and relative step size below xtol";
        case LmderStatus::orthogonal: return "converged: residuals orthogonal to every Jacobian column (gtol)";
        case LmderStatus::no_parameters:
        case LmderStatus::no_residuals: return "stopped: nothing to fit";
        case LmderStatus::lost_patience: return "stopped: evaluation budget used up (max_iterations)";
        case LmderStatus::no_improvement:
            return "stopped: no further reduction possible in double precision before ftol or xtol was met";
        case LmderStatus::numerical_failure: return "stopped: not-a-number cost, Jacobian or step";
        case LmderStatus::interrupted: return "stopped: interrupted";
    }
    return "stopped";
}

std::string stop_reason(const SingleStartResult& run) {
    return run.rounding_level ? std::string(rounding_level_reason) : stop_reason(run.status);
}

double rounding_level_cost(const FitData& data) {
    constexpr double epsilon = 2.220446049250313e-16;
    double sum = 0.0;
    for (std::size_t i = 0; i < data.measured.size() && i < data.weights.size(); ++i) {
        const double scaled = std::hypot(data.measured[i].re, data.measured[i].im) / data.weights[i];
        if (std::isfinite(scaled)) sum += scaled * scaled;
    }
    return epsilon * sum;
}

std::optional<FitError> check_fit_inputs(const SeriesList& circuit, std::size_t frequencies, std::size_t impedances) {
    if (frequencies != impedances) return FitError{FitError::Kind::length_mismatch, {}};
    if (frequencies == 0) return FitError{FitError::Kind::empty, {}};
    if (param_count(circuit) == 0) return FitError{FitError::Kind::no_parameters, {}};
    return std::nullopt;
}

FitData prepare_fit_data(std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                         Weighting scheme) {
    FitData data;
    data.omega.reserve(frequencies_hz.size());
    for (const double f : frequencies_hz) data.omega.push_back(f * two_pi);
    data.measured.assign(impedances.begin(), impedances.end());
    data.weights = compute_weights(impedances, scheme);
    return data;
}

std::optional<FitError> check_lm_settings(const LmSettings& settings) {
    // The caller's own values: refused as a clear error, not an internal failure.
    if (!(settings.ftol >= 0.0)) return FitError{FitError::Kind::invalid_setting, "ftol must be >= 0"};
    if (!(settings.xtol >= 0.0)) return FitError{FitError::Kind::invalid_setting, "xtol must be >= 0"};
    if (!(settings.gtol >= 0.0)) return FitError{FitError::Kind::invalid_setting, "gtol must be >= 0"};
    return std::nullopt;
}

SingleStartResult levenberg_marquardt_single_start(const FitProblem& problem, std::span<const double> start,
                                                   std::vector<bool> pinned, const LmSettings& settings,
                                                   EvaluationCounter& counter) {
    LmProblem lm(problem, std::move(pinned), counter, start);
    const minpack::LmderResult run = minpack::lmder(lm, solver_settings(settings));
    SingleStartResult out{problem.expand(problem.space().physical(lm.x())), run.success(), run.evaluations,
                          run.status};
    if (run.status == minpack::LmderStatus::lost_patience || run.status == minpack::LmderStatus::no_improvement) {
        std::vector<double> r(lm.residual_count());
        lm.residuals(r);
        out.success = out.rounding_level = cost_of(r) <= rounding_level_cost(problem.data());
    }
    return out;
}

std::vector<Candidate> candidate_starting_points(std::span<const double> start, const SearchSpace& space,
                                                 CostProblem& scorer) {
    std::vector<std::vector<double>> points;
    points.emplace_back(start.begin(), start.end());
    for (const double factor : {3.0, 0.3333333333333333, 8.0, 0.125}) {
        std::vector<double> p(start.begin(), start.end());
        for (std::size_t j = 0; j < p.size(); ++j) {
            if (space.log_scaled(j)) p[j] *= factor;
        }
        points.push_back(std::move(p));
    }
    for (const double fraction : {0.2, 0.4, 0.6, 0.8}) {
        std::vector<double> p(start.begin(), start.end());
        for (std::size_t j = 0; j < p.size(); ++j) {
            if (space.log_scaled(j)) continue;
            const Bounds box = space.box(j);
            p[j] = space.log_bounded(j) ? std::pow(10.0, box.lo + fraction * (box.hi - box.lo))
                                        : box.lo + fraction * (box.hi - box.lo);
        }
        points.push_back(std::move(p));
    }
    std::vector<Candidate> candidates;
    for (auto& p : points) {
        const double cost = scorer.cost(space.internal(p));
        candidates.push_back({std::move(p), cost});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return total_order_key(a.cost) < total_order_key(b.cost);
    });
    return candidates;
}

namespace {

// Where a descent ended.
struct Descent {
    std::vector<double> params;  // every parameter
    double cost;
    bool success;
    std::string message;
};

// The end of a run with parameters held on their bounds, clamped into the
// bounds, with its cost; a success only when it ended inside them.
Descent held_end(const FitProblem& problem, const SingleStartResult& run, const Objective& objective,
                 EvaluationCounter& counter) {
    const SearchSpace& space = problem.space();
    std::vector<double> ended = problem.free_part(run.params);
    bool inside = true;
    for (std::size_t j = 0; j < ended.size(); ++j) {
        const Bounds b = space.bounds()[j];
        inside = inside && ended[j] >= b.lo && ended[j] <= b.hi;
        ended[j] = std::clamp(ended[j], b.lo, b.hi);
    }
    std::vector<double> full = problem.expand(ended);
    const double cost = cost_at(objective, full, counter);
    return {std::move(full), cost, run.success && inside,
            stop_reason(run) + " (refitted with the parameters on a bound held there)"};
}

// A linear or log-bounded parameter that ended on a bound is frozen there
// and the rest refitted. The refit moves the other bounded parameters
// freely, and one may leave its bounds: the outcome would then clamp it and
// end above the cost this step compared. Such a parameter is pinned on its
// bound as well and the refit repeated (at most once per parameter), from
// the lower of the clamped vectors so far. `d` holds the unclamped end of a
// run and becomes what the fit would return.
// A restart must beat the end it restarts from by more than the solver's
// own resolution, so that a fit already at its optimum keeps its end.
constexpr double restart_gain = 1e-6;

std::optional<FitError> settle_on_bounds(const FitProblem& problem, Descent& d, std::span<const double> origin,
                                         const LmSettings& settings, EvaluationCounter& counter,
                                         std::uint64_t& iterations) {
    const SearchSpace& space = problem.space();
    const Objective& objective = problem.objective();
    const std::vector<double> best_free = problem.free_part(d.params);
    const std::size_t p = best_free.size();
    std::vector<double> clamped = best_free;
    std::vector<bool> pinned(p, false);
    bool any_pinned = false;
    for (std::size_t j = 0; j < p; ++j) {
        const Bounds b = space.bounds()[j];
        clamped[j] = std::clamp(clamped[j], b.lo, b.hi);
        if (std::isfinite(b.hi) && (best_free[j] <= b.lo || best_free[j] >= b.hi)) {
            pinned[j] = true;
            any_pinned = true;
        }
    }
    if (!any_pinned) return std::nullopt;
    std::vector<double> from = clamped;
    double from_cost = 0.0;
    d.params = problem.expand(clamped);
    for (std::size_t round = 0; round < p; ++round) {
        SingleStartResult repair = levenberg_marquardt_single_start(problem, space.internal(from), pinned, settings, counter);
        if (repair.status == minpack::LmderStatus::interrupted) return FitError{FitError::Kind::interrupted, {}};
        iterations += repair.evaluations;
        const double repaired_cost = cost_at(objective, repair.params, counter);
        // Against what would be returned otherwise: the clamped vector, whose
        // cost can be far above the out-of-bounds optimum it came from.
        if (round == 0) d.cost = from_cost = cost_at(objective, d.params, counter);
        std::vector<double> moved = problem.free_part(repair.params);
        bool left_bounds = false;
        for (std::size_t j = 0; j < p; ++j) {
            const Bounds b = space.bounds()[j];
            if (pinned[j] || !std::isfinite(b.hi) || (moved[j] >= b.lo && moved[j] <= b.hi)) continue;
            pinned[j] = left_bounds = true;
            moved[j] = std::clamp(moved[j], b.lo, b.hi);
        }
        if (!left_bounds) {
            if (repair.success && repaired_cost < from_cost) {
                d.params = std::move(repair.params);
                d.cost = repaired_cost;
                d.success = true;
                d.message = stop_reason(repair) + " (refitted with the parameters on a bound held there)";
            }
            break;
        }
        std::vector<double> moved_full = problem.expand(moved);
        const double moved_cost = cost_at(objective, moved_full, counter);
        if (moved_cost < from_cost) {
            from = std::move(moved);
            d.cost = from_cost = moved_cost;
            d.params = std::move(moved_full);
        }
    }
    if (origin.empty()) return std::nullopt;
    // Outside its bounds the run may have gone where the bounded problem
    // would never go (an exponent below its range, and an arc's R run off to
    // infinity to make up for it): the same parameters held on their bounds
    // from where the run started may end lower.
    std::vector<double> again(origin.begin(), origin.end());
    for (std::size_t j = 0; j < p; ++j) {
        const Bounds b = space.bounds()[j];
        again[j] = pinned[j] ? clamped[j] : std::clamp(again[j], b.lo, b.hi);
    }
    SingleStartResult run = levenberg_marquardt_single_start(problem, space.internal(again), pinned, settings, counter);
    if (run.status == minpack::LmderStatus::interrupted) return FitError{FitError::Kind::interrupted, {}};
    iterations += run.evaluations;
    Descent ended = held_end(problem, run, objective, counter);
    if (ended.cost < d.cost * (1.0 - restart_gain)) d = std::move(ended);
    return std::nullopt;
}

// The open parameters (free order) in a corner of the parameter space: on
// their floor, or six decades or more from where the fit started. There an
// element is shorted or cut out (an arc's R at 1e-12, a CPE's q at 1e80),
// the cost no longer depends on the parameter, and a descent that arrives
// stays, whether or not a lower point lies elsewhere.
std::vector<std::size_t> corner_parameters(std::span<const double> p, std::span<const double> start,
                                           const SearchSpace& space) {
    std::vector<std::size_t> out;
    for (std::size_t j = 0; j < p.size(); ++j) {
        if (!space.log_scaled(j)) continue;
        const double ratio = p[j] / std::max(std::fabs(start[j]), 1e-300);
        if (!(p[j] > 100.0 * space.bounds()[j].lo) || !(ratio >= 1e-6) || !(ratio < 1e6)) out.push_back(j);
    }
    return out;
}

}  // namespace

Result<FitOutcome, FitError> levenberg_marquardt_fit(const FitProblem& problem, std::span<const double> start_values,
                                                     const LmSettings& settings) {
    EvaluationCounter counter{0};
    const SearchSpace& space = problem.space();
    const Objective& objective = problem.objective();
    // The fixed parameters keep the problem's values whatever `start_values` holds.
    const std::vector<double> start = problem.free_part(start_values);
    const std::size_t p = start.size();
    // Scoring goes through the cost of a search vector, as the optimisers see it.
    CostProblem scorer(problem, counter);
    const std::vector<Candidate> candidates = candidate_starting_points(start, space, scorer);

    struct Best {
        std::vector<double> params;  // every parameter
        bool success;
        double cost;
        minpack::LmderStatus status;
        std::string message;
        std::vector<double> origin;  // where its run started
    };
    std::optional<Best> best;
    std::uint64_t iterations = 0;
    std::uint64_t tried = 0;
    for (const Candidate& candidate : candidates) {
        if (tried >= std::max<std::uint64_t>(settings.max_starts, 1)) break;
        ++tried;
        SingleStartResult result = levenberg_marquardt_single_start(problem, space.internal(candidate.params),
                                                                    std::vector<bool>(p, false), settings, counter);
        if (result.status == minpack::LmderStatus::interrupted) return fail(FitError{FitError::Kind::interrupted, {}});
        iterations += result.evaluations;
        const double cost = cost_at(objective, result.params, counter);
        const std::vector<double> free_params = problem.free_part(result.params);
        const bool better = !best || (result.success && !best->success) ||
                            (result.success == best->success && cost < best->cost);
        const bool settled = result.success && std::isfinite(cost) && interior(free_params, start, space);
        if (better) {
            best = Best{std::move(result.params), result.success, cost, result.status, stop_reason(result),
                        problem.expand(candidate.params)};
        }
        if (settled) break;
    }

    Descent chosen{best->params, best->cost, best->success, best->message};
    if (auto error = settle_on_bounds(problem, chosen, problem.free_part(best->origin), settings, counter, iterations)) {
        return fail(*error);
    }

    // An end in a corner may have a lower point elsewhere: the starts left
    // may reach it, and so may a restart from the end itself (a fresh trust
    // region) or from the end with its corner parameters put back where the
    // fit started. Where the caller bounded or held parameters, local
    // minima on and near the bounds are common (an exponent held at 0.85,
    // an arc shorted to make up for it), and every end is restarted; a fit
    // without either restarts only from a corner, and keeps its cost.
    // (None whose residuals are at rounding level: nothing lies lower.)
    const bool constrained = problem.any_fixed() || [&] {
        const std::vector<Bounds> catalogue = param_bounds(problem.circuit());
        for (std::size_t j = 0; j < catalogue.size(); ++j) {
            const Bounds b = problem.bounds()[j];
            if (b.lo != catalogue[j].lo || !(b.hi == catalogue[j].hi)) return true;
        }
        return false;
    }();
    const bool suspect = !(chosen.cost <= rounding_level_cost(problem.data())) &&
                         (!corner_parameters(problem.free_part(chosen.params), start, space).empty() ||
                          constrained);
    if (suspect) {
        auto descend = [&](std::span<const double> from) -> Result<Descent, FitError> {
            SingleStartResult run = levenberg_marquardt_single_start(problem, space.internal(from),
                                                                     std::vector<bool>(p, false), settings, counter);
            if (run.status == minpack::LmderStatus::interrupted) return fail(FitError{FitError::Kind::interrupted, {}});
            iterations += run.evaluations;
            const double cost = cost_at(objective, run.params, counter);
            Descent d{std::move(run.params), cost, run.success, stop_reason(run)};
            if (auto error = settle_on_bounds(problem, d, from, settings, counter, iterations)) return fail(*error);
            return d;
        };
        auto keep_lower = [&](Descent d) {
            const bool lower = std::isnan(chosen.cost) ? std::isfinite(d.cost)
                                                       : d.cost < chosen.cost * (1.0 - restart_gain);
            if (!lower) return false;
            chosen = std::move(d);
            return true;
        };
        const std::uint64_t limit = std::max<std::uint64_t>(settings.max_starts, 1);
        for (std::size_t k = tried; k < candidates.size() && k < limit; ++k) {
            auto d = descend(candidates[k].params);
            if (!d) return fail(d.error());
            keep_lower(std::move(d).value());
        }
        for (std::uint64_t round = 0; round < settings.corner_rounds; ++round) {
            bool improved = false;
            std::vector<double> from = problem.free_part(chosen.params);
            const std::vector<std::size_t> corner = corner_parameters(from, start, space);
            bool reset = false;
            for (const std::size_t j : corner) {
                if (!(start[j] > 100.0 * space.bounds()[j].lo)) continue;
                from[j] = start[j];
                reset = true;
            }
            if (reset) {
                auto d = descend(from);
                if (!d) return fail(d.error());
                improved = keep_lower(std::move(d).value());
            }
            // A corner is often held by a bounded parameter on its bound as
            // well (a CPE exponent at 0 with its R gone to infinity): that one
            // goes back to its start, or to the middle of its range when it
            // started on a bound itself.
            bool moved = false;
            for (std::size_t j = 0; j < p && reset; ++j) {
                const Bounds b = space.bounds()[j];
                if (!std::isfinite(b.hi) || (from[j] > b.lo && from[j] < b.hi)) continue;
                const Bounds box = space.box(j);
                const double x = space.internal(j, start[j]);
                from[j] = space.physical(j, x > box.lo && x < box.hi ? x : 0.5 * (box.lo + box.hi));
                moved = true;
            }
            if (moved) {
                auto d = descend(from);
                if (!d) return fail(d.error());
                improved = keep_lower(std::move(d).value()) || improved;
                // ... or to the far end of its range, where the other
                // element of the pair (a CPE turned resistor, alpha near 0)
                // may describe the data instead.
                from = problem.free_part(chosen.params);
                for (const std::size_t j : corner) {
                    if (start[j] > 100.0 * space.bounds()[j].lo) from[j] = start[j];
                }
                for (std::size_t j = 0; j < p; ++j) {
                    const Bounds b = space.bounds()[j];
                    if (!std::isfinite(b.hi) || (from[j] > b.lo && from[j] < b.hi)) continue;
                    const Bounds box = space.box(j);
                    from[j] = space.physical(j, from[j] <= b.lo ? box.hi - 0.1 * (box.hi - box.lo)
                                                                : box.lo + 0.1 * (box.hi - box.lo));
                }
                auto far = descend(from);
                if (!far) return fail(far.error());
                improved = keep_lower(std::move(far).value()) || improved;
            }
            // A bounded parameter that ended just inside a bound may belong
            // on it, where the others find a lower point.
            from = problem.free_part(chosen.params);
            std::vector<bool> hold(p, false);
            bool near = false;
            for (std::size_t j = 0; j < p; ++j) {
                const Bounds b = space.bounds()[j];
                if (!std::isfinite(b.hi)) continue;
                const Bounds box = space.box(j);
                const double x = space.internal(j, std::clamp(from[j], b.lo, b.hi));
                const double width = box.hi - box.lo;
                if (x - box.lo <= 0.01 * width) {
                    near = near || from[j] > b.lo;
                    from[j] = b.lo;
                    hold[j] = true;
                } else if (box.hi - x <= 0.01 * width) {
                    near = near || from[j] < b.hi;
                    from[j] = b.hi;
                    hold[j] = true;
                }
            }
            if (near) {
                SingleStartResult run = levenberg_marquardt_single_start(problem, space.internal(from), hold, settings, counter);
                if (run.status == minpack::LmderStatus::interrupted) {
                    return fail(FitError{FitError::Kind::interrupted, {}});
                }
                iterations += run.evaluations;
                improved = keep_lower(held_end(problem, run, objective, counter)) || improved;
            }
            auto d = descend(problem.free_part(chosen.params));
            if (!d) return fail(d.error());
            improved = keep_lower(std::move(d).value()) || improved;
            if (round == 0 && !improved && constrained) {
                // The nine starts again, built around the end instead of the
                // start (its corner parameters put back): another basin of the
                // same shape may lie next to the one found. (Only where the
                // caller's bounds or held values shaped the basins: elsewhere
                // it costs more than it finds.)
                std::vector<double> around = problem.free_part(chosen.params);
                for (const std::size_t j : corner_parameters(around, start, space)) {
                    if (start[j] > 100.0 * space.bounds()[j].lo) around[j] = start[j];
                }
                for (std::size_t j = 0; j < p; ++j) {
                    around[j] = std::clamp(around[j], space.bounds()[j].lo, space.bounds()[j].hi);
                }
                for (const Candidate& c : candidate_starting_points(around, space, scorer)) {
                    auto e = descend(c.params);
                    if (!e) return fail(e.error());
                    improved = keep_lower(std::move(e).value()) || improved;
                }
            }
            if (!improved) break;
        }
    }

    std::vector<double> chosen_params = std::move(chosen.params);
    bool success = chosen.success;
    std::string message = std::move(chosen.message);
    // Every run descends from its start, but a run that left the bounds is
    // clamped or refitted above it: never return a point worse than the best
    // starting point, which lies inside the bounds. (Within ftol the two are
    // the same optimum, and the fit's own end is kept.)
    const auto lowest_start = std::find_if(candidates.begin(), candidates.end(), [&](const Candidate& c) {
        return within_bounds(c.params, space) && std::isfinite(c.cost);
    });
    if (lowest_start != candidates.end() &&
        (lowest_start->cost * (1.0 + settings.ftol) < chosen.cost || std::isnan(chosen.cost))) {
        chosen_params = problem.expand(lowest_start->params);
        success = false;
        message = "stopped: every run ended above the best starting point inside the bounds, which is returned";
        if (lowest_start->cost <= rounding_level_cost(problem.data())) {
            success = true;
            message = rounding_level_reason;
        }
    }
    return build_outcome(problem, chosen_params, success, iterations, counter, std::move(message));
}

Result<FitOutcome, FitError> polish_or_fallback(const FitProblem& problem, std::span<const double> best,
                                                std::uint64_t search_iterations, std::string_view search,
                                                EvaluationCounter& counter) {
    FitOutcome fallback = build_outcome(problem, best, true, search_iterations, counter, std::string(search));
    auto polished = levenberg_marquardt_fit(problem, best, LmSettings{});
    if (!polished) return fail(polished.error());
    counter.fetch_add(polished.value().impedance_evals);
    const bool polish_wins = std::isfinite(polished.value().cost) && polished.value().cost <= fallback.cost;
    FitOutcome chosen = polish_wins ? std::move(polished).value() : std::move(fallback);
    chosen.message = polish_wins ? std::string(search) + "; polished: " + chosen.message
                                 : chosen.message + "; the polish did not lower the cost";
    chosen.impedance_evals = counter.load();
    return chosen;
}

Result<FitOutcome, FitError> run_levenberg_marquardt(const FitProblem& problem, const FitSettings& settings) {
    const levenberg_marquardt_settings& s = settings.levenberg_marquardt;
    const LmSettings lm{s.ftol, s.xtol, 1e-8, s.max_iterations, settings.max_starts};
    if (auto error = check_lm_settings(lm)) return fail(*error);
    return levenberg_marquardt_fit(problem, problem.start(), lm);
}

}  // namespace kelvara
