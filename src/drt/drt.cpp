#include "drt/drt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "circuit/unusable_points.hpp"
#include "linalg/cholesky.hpp"
#include "drt/discretisation.hpp"
#include "linalg/nonnegative_qp.hpp"
#include "drt/peak_fit.hpp"
#include "drt/rbf_basis.hpp"
#include "drt/regularisation.hpp"
#include "fit/interruption.hpp"
#include "support/constants.hpp"

namespace kelvara::drt {

using linalg::Matrix;
using linalg::NonnegativeSolution;
using linalg::cholesky;
using linalg::cholesky_solve;
using linalg::solve_nonnegative;

namespace {

constexpr std::size_t output_points_per_spacing = 4;
constexpr double rising_edge_height = 0.05;  // of the tallest gamma inside the measured range
constexpr double negligible_resistance = 1e-9;  // of the largest |Z|
// Smaller lambdas tried after the chosen one: each this many times smaller,
// down to the smallest the choice itself allows (regularisation.hpp).
constexpr int smaller_lambda_steps = 7;
constexpr double smaller_lambda_ratio = 3.1622776601683795;  // half a decade
// A difference in the Bayesian information criterion above 10 is "very
// strong" evidence (Kass and Raftery 1995).
constexpr double evidence_margin = 10.0;

double modulus(Complex z) { return std::hypot(z.re, z.im); }

}  // namespace

const char* const interrupted_message = "interrupted";

namespace {

std::optional<DrtError> check_data(const MeasuredSpectrum& spectrum) {
    if (auto problem = relaxation_data_problem(spectrum, 3)) return DrtError{*problem};
    return std::nullopt;
}

double automatic_density(std::span<const double> frequencies) {
    const auto [low, high] = std::minmax_element(frequencies.begin(), frequencies.end());
    const double decades = std::log10(*high / *low);
    const double measured = static_cast<double>(frequencies.size() - 1) / decades;
    return std::clamp(measured, 8.0, 12.0);
}

// Removes the peak of least resistance; its range goes to the neighbour
// whose maximum is nearer, so that its area stays in a peak.
void merge_smallest_peak(DrtOutcome& outcome, const RbfBasis& basis) {
    std::vector<Peak>& peaks = outcome.peaks;
    const auto smallest = static_cast<std::size_t>(
        std::min_element(peaks.begin(), peaks.end(),
                         [](const Peak& a, const Peak& b) { return a.resistance < b.resistance; }) -
        peaks.begin());
    const Peak gone = peaks[smallest];
    const bool has_left = smallest > 0, has_right = smallest + 1 < peaks.size();
    const bool to_left = has_left && (!has_right || gone.ln_tau - peaks[smallest - 1].ln_tau <=
                                                        peaks[smallest + 1].ln_tau - gone.ln_tau);
    Peak& neighbour = peaks[to_left ? smallest - 1 : smallest + 1];
    if (to_left) {
        neighbour.ln_tau_high = gone.ln_tau_high;
    } else {
        neighbour.ln_tau_low = gone.ln_tau_low;
    }
    neighbour.resistance = basis.integral(outcome.coefficients, neighbour.ln_tau_low, neighbour.ln_tau_high);
    peaks.erase(peaks.begin() + static_cast<std::ptrdiff_t>(smallest));
}


// Beyond this many basis functions the Gram matrix and its eigen solve grow
// as m^2 and m^3 for no gain: a window that needs more (hundreds of decades)
// is covered more coarsely.
constexpr std::size_t max_basis_functions = 500;

// The basis for the window, with at most max_basis_functions functions.
RbfBasis capped_basis(double min_w, double max_w, double density, double margin, bool& capped) {
    RbfBasis basis = make_basis(min_w, max_w, density, margin);
    capped = basis.count > max_basis_functions;
    if (capped) {
        const double decades = std::log10(max_w) - std::log10(min_w) + 2.0 * margin;  // max/min may overflow
        basis = make_basis(min_w, max_w, static_cast<double>(max_basis_functions - 1) / decades, margin);
    }
    return basis;
}

struct Normal {
    Matrix gram;                       // of [series columns, basis, data]
    std::vector<double> series_scale;  // the norms the R_inf and L columns were divided by
};

// One Gram matrix of [series columns, basis, data] serves both the choice of
// lambda and the normal equations. Rows: real parts, then imaginary parts,
// each divided by |Z_n|; gamma in units of the largest |Z| (`scale`) so that
// lambda means the same for any spectrum; the R_inf and L columns of unit
// norm. Built a row at a time, the map's rows computed as they are needed
// (all real parts, then all imaginary ones), so that memory stays that of the
// Gram matrix. Empty when interrupted.
std::optional<Normal> normal_equations(ImpedanceRows& map, std::size_t m, std::span<const Complex> impedances,
                                       std::span<const double> angular, bool inductance, double scale) {
    const std::size_t n = impedances.size();
    const std::size_t p = inductance ? 2 : 1;
    Normal out{Matrix(p + m + 1, p + m + 1), {}};
    double r_norm = 0.0, l_norm = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double weight = 1.0 / modulus(impedances[i]);
        r_norm += weight * weight;
        l_norm += (angular[i] * weight) * (angular[i] * weight);
    }
    out.series_scale.push_back(std::sqrt(r_norm));
    if (inductance) out.series_scale.push_back(std::sqrt(l_norm));
    const std::size_t unknowns = p + m;
    std::vector<double> row(unknowns + 1);
    for (std::size_t r = 0; r < 2 * n; ++r) {
        if (r % 256 == 0 && interruption_requested()) return std::nullopt;
        const bool imaginary = r >= n;
        const std::size_t i = imaginary ? r - n : r;
        const double weight = 1.0 / modulus(impedances[i]);
        row[0] = imaginary ? 0.0 : weight / out.series_scale[0];
        if (inductance) row[1] = imaginary ? angular[i] * weight / out.series_scale[1] : 0.0;
        const auto [map_real, map_imag] = map.row(i);
        const std::span<const double> source = imaginary ? map_imag : map_real;
        for (std::size_t j = 0; j < m; ++j) row[p + j] = source[j] * weight * scale;
        row[unknowns] = (imaginary ? impedances[i].im : impedances[i].re) * weight;
        for (std::size_t a = 0; a <= unknowns; ++a) {
            const double ra = row[a];
            if (ra == 0.0) continue;
            const auto g_row = out.gram.row(a);
            for (std::size_t b = 0; b <= a; ++b) g_row[b] += ra * row[b];
        }
    }
    for (std::size_t a = 0; a <= unknowns; ++a) {
        for (std::size_t b = 0; b < a; ++b) out.gram(b, a) = out.gram(a, b);
    }
    return out;
}

}  // namespace

std::optional<DrtError> check_settings(const DrtSettings& settings) {
    if (settings.lambda && !(*settings.lambda > 0.0 && std::isfinite(*settings.lambda))) {
        return DrtError{"lambda must be positive and finite"};
    }
    if (settings.derivative_order != 1 && settings.derivative_order != 2) {
        return DrtError{"derivative must be 1 or 2"};
    }
    // Fewer than one function per decade cannot resolve a process at all (a
    // handful of functions over the window puts a peak at tau = 0).
    if (!(settings.points_per_decade == 0.0 || (settings.points_per_decade >= 1.0 &&
                                                settings.points_per_decade <= 100.0))) {
        return DrtError{"points_per_decade must be 0 (automatic) or between 1 and 100"};
    }
    if (!(settings.margin_decades >= 0.0 && settings.margin_decades <= 5.0)) {
        return DrtError{"margin must be between 0 and 5 decades"};
    }
    if (!(settings.peak_threshold >= 0.0 && settings.peak_threshold < 1.0)) {
        return DrtError{"peak_threshold must be at least 0 and below 1"};
    }
    return std::nullopt;
}

Result<DrtOutcome, DrtError> compute_drt(std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                         const DrtSettings& settings) {
    if (auto error = check_settings(settings)) return fail(*error);
    const auto spectrum = MeasuredSpectrum::check({frequencies_hz.begin(), frequencies_hz.end()},
                                                  {impedances.begin(), impedances.end()});
    if (!spectrum) return fail(DrtError{"frequencies and impedances must have the same length"});
    return compute_drt(*spectrum, settings);
}

Result<DrtOutcome, DrtError> compute_drt(const MeasuredSpectrum& spectrum, const DrtSettings& settings) {
    if (auto error = check_settings(settings)) return fail(*error);
    if (auto error = check_data(spectrum)) return fail(*error);
    const std::span<const double> frequencies_hz = spectrum.frequencies_hz();
    const std::span<const Complex> impedances = spectrum.impedances();
    const std::size_t n = frequencies_hz.size();
    std::vector<double> angular(n);
    for (std::size_t i = 0; i < n; ++i) angular[i] = frequencies_hz[i] * two_pi;
    // Pointers, not structured bindings: a lambda below reads them, and clang cannot capture those.
    const auto [lowest, highest] = std::minmax_element(angular.begin(), angular.end());
    const double* const min_w = &*lowest;
    const double* const max_w = &*highest;
    const double density =
        settings.points_per_decade > 0.0 ? settings.points_per_decade : automatic_density(frequencies_hz);
    bool capped = false;
    const RbfBasis basis = capped_basis(*min_w, *max_w, density, settings.margin_decades, capped);
    const std::size_t m = basis.count;
    ImpedanceRows map(basis, angular);
    if (interruption_requested()) return fail(DrtError{interrupted_message});
    const Matrix penalty = derivative_penalty(basis, settings.derivative_order);

    double scale = 0.0;
    for (const Complex& z : impedances) scale = std::max(scale, modulus(z));
    const std::optional<Normal> normal = normal_equations(map, m, impedances, angular, settings.inductance, scale);
    if (!normal) return fail(DrtError{interrupted_message});
    const Matrix& gram = normal->gram;
    const std::vector<double>& series_scale = normal->series_scale;
    const std::size_t rows = 2 * n;
    const std::size_t p = series_scale.size();
    const std::size_t unknowns = p + m;

    DrtOutcome out;
    out.basis_capped = capped;
    if (settings.lambda) {
        out.lambda = *settings.lambda;
    } else {
        const LambdaChoice choice = choose_lambda(gram, p, rows, penalty);
        if (!choice.found) return fail(DrtError{"the regularisation weight could not be chosen; give lambda"});
        out.lambda = choice.lambda;
        out.lambda_chosen = true;
    }

    const double shortest_measured = -std::log(*max_w), longest_measured = -std::log(*min_w);
    // The regularised non-negative solution at one lambda and what follows
    // from gamma alone: everything in the outcome but the peaks' shapes.
    const auto solve_at = [&](double lambda, DrtOutcome& result) -> bool {
        Matrix h(unknowns, unknowns);
        std::vector<double> g(unknowns);
        for (std::size_t i = 0; i < unknowns; ++i) {
            g[i] = gram(i, unknowns);
            for (std::size_t j = 0; j < unknowns; ++j) h(i, j) = gram(i, j);
        }
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t j = 0; j < m; ++j) h(p + i, p + j) += lambda * penalty(i, j);
        }
        Matrix factor = h;
        std::vector<double> start = g;
        if (!cholesky(factor)) return false;
        cholesky_solve(factor, start);
        NonnegativeSolution solution = solve_nonnegative(h, g, start);
        result.lambda = lambda;
        result.converged = solution.converged;
        result.r_inf = solution.x[0] / series_scale[0];
        result.inductance = settings.inductance ? solution.x[1] / series_scale[1] : 0.0;
        result.coefficients.resize(m);
        for (std::size_t j = 0; j < m; ++j) result.coefficients[j] = solution.x[p + j] * scale;
        result.first_ln_tau = basis.first_centre;
        result.spacing = basis.spacing;
        result.shape = basis.shape;

        result.fitted.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const auto [map_real, map_imag] = map.row(i);
            Complex z{result.r_inf, angular[i] * result.inductance};
            for (std::size_t j = 0; j < m; ++j) {
                z.re += map_real[j] * result.coefficients[j];
                z.im += map_imag[j] * result.coefficients[j];
            }
            result.fitted[i] = z;
        }

        result.gamma = basis.sample(result.coefficients, output_points_per_spacing);
        const std::size_t points = result.gamma.size();
        const double step = basis.spacing / output_points_per_spacing;
        result.tau.resize(points);
        for (std::size_t j = 0; j < points; ++j) {
            result.tau[j] = std::exp(basis.first_centre + static_cast<double>(j) * step);
        }
        const double infinity = std::numeric_limits<double>::infinity();
        result.polarisation_resistance = basis.integral(result.coefficients, -infinity, infinity);
        result.share_below = result.share_above = 0.0;
        if (result.polarisation_resistance > 0.0) {
            result.share_below =
                basis.integral(result.coefficients, -infinity, shortest_measured) / result.polarisation_resistance;
            result.share_above =
                basis.integral(result.coefficients, longest_measured, infinity) / result.polarisation_resistance;
        }
        // Growing outwards past the measured range: gamma somewhere beyond it
        // is above its value at the range's edge by a visible amount, against
        // the tallest gamma inside the range (a tail beyond it sets no scale).
        double tallest_inside = 0.0;
        for (std::size_t j = 0; j < points; ++j) {
            const double y = std::log(result.tau[j]);
            if (y >= shortest_measured && y <= longest_measured) {
                tallest_inside = std::max(tallest_inside, result.gamma[j]);
            }
        }
        const double edge_below = basis.gamma(result.coefficients, shortest_measured);
        const double edge_above = basis.gamma(result.coefficients, longest_measured);
        const double excess = rising_edge_height * tallest_inside;
        result.rising_below = result.rising_above = false;
        for (std::size_t j = 0; j < points; ++j) {
            if (result.tau[j] * *max_w < 1.0 && result.gamma[j] > edge_below + excess) result.rising_below = true;
            if (result.tau[j] * *min_w > 1.0 && result.gamma[j] > edge_above + excess) result.rising_above = true;
        }
        PeakRules rules;
        rules.relative_threshold = settings.peak_threshold;
        rules.measured_low = shortest_measured;
        rules.measured_high = longest_measured;
        rules.rising_below = result.rising_below;
        rules.rising_above = result.rising_above;
        PeakSet found = find_peaks(basis, result.coefficients, rules);
        // A gamma at rounding level (a pure resistance) has maxima but no processes.
        if (!(result.polarisation_resistance > negligible_resistance * scale)) found = PeakSet{};
        result.peaks = std::move(found.peaks);
        result.tail_below = found.tail_below;
        result.tail_above = found.tail_above;
        result.peaks_fitted = false;
        return true;
    };
    const auto fit_shapes = [&](DrtOutcome& result) -> PeakFitVerdict {
        if (!settings.fit_peaks || result.peaks.empty()) return {};
        const FoundDrt found{basis, map, result.coefficients, result.fitted, result.r_inf, result.inductance,
                             settings.inductance, angular, impedances};
        const PeakFitVerdict verdict = fit_peaks(result.peaks, found, shortest_measured, longest_measured);
        result.peaks_fitted = verdict.accepted;
        return verdict;
    };

    if (!solve_at(out.lambda, out)) return fail(DrtError{"the regularised problem is singular; give a larger lambda"});
    PeakFitVerdict verdict = fit_shapes(out);

    // GCV weighs the whole spectrum, and where the data are sparse or noisy it
    // smooths two neighbouring processes into one, which one ZARC then fails
    // to describe. So then smaller lambdas are tried in turn; the first that
    // shows more peaks replaces the chosen one when its peaks, one ZARC each,
    // describe the spectrum better by the Bayesian information criterion
    // than the peaks found so far.
    if (out.lambda_chosen && settings.fit_peaks && !verdict.accepted && std::isfinite(verdict.cost) &&
        verdict.cost > 0.0) {
        const double observations = static_cast<double>(rows);
        const auto information = [&](double cost, std::size_t peaks) {
            return observations * std::log(cost / observations) +
                   static_cast<double>(3 * peaks) * std::log(observations);
        };
        double lower = out.lambda;
        for (int step = 0; step < smaller_lambda_steps; ++step) {
            lower /= smaller_lambda_ratio;
            if (lower < smallest_lambda) break;
            DrtOutcome candidate;
            candidate.lambda_chosen = true;
            if (!solve_at(lower, candidate)) break;
            if (candidate.peaks.size() <= out.peaks.size()) continue;
            // A smaller lambda lets noise through too: the new maxima may
            // include a lobe, so the set without its smallest peak competes.
            DrtOutcome pruned = candidate;
            const bool prunable = candidate.peaks.size() > out.peaks.size() + 1;
            if (prunable) merge_smallest_peak(pruned, basis);
            const PeakFitVerdict richer = fit_shapes(candidate);
            const PeakFitVerdict leaner = prunable ? fit_shapes(pruned) : PeakFitVerdict{};
            double best = information(verdict.cost, out.peaks.size()) - evidence_margin;
            DrtOutcome* chosen = nullptr;
            if (richer.accepted && information(richer.cost, candidate.peaks.size()) < best) {
                best = information(richer.cost, candidate.peaks.size());
                chosen = &candidate;
            }
            if (leaner.accepted && information(leaner.cost, pruned.peaks.size()) < best) chosen = &pruned;
            if (chosen != nullptr) out = std::move(*chosen);
            break;
        }
    }
    return out;
}

}  // namespace kelvara::drt
