#include "diagnostics/kk_select.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "diagnostics/kk_normal_equations.hpp"

namespace kelvara::diagnostics {
namespace {

struct Scanned {
    double mu = std::numeric_limits<double>::quiet_NaN();  // NaN: the fit could not be solved
    double sse = std::numeric_limits<double>::infinity();
};

// The weighted sum of squared residuals, from the residuals themselves: no
// cancellation for near-exact fits.
double sum_of_squares(const KkProblem& problem, std::span<const double> tau, std::span<const double> coef) {
    std::vector<double> re(coef.size()), im(coef.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < problem.points(); ++i) {
        problem.rows(i, tau, re, im);
        Complex residual = problem.target[i];
        for (std::size_t a = 0; a < coef.size(); ++a) {
            residual.re -= re[a] * coef[a];
            residual.im -= im[a] * coef[a];
        }
        sum += residual.re * residual.re + residual.im * residual.im;
    }
    return sum;
}

Scanned scan(const KkProblem& problem, std::size_t m) {
    const std::vector<double> tau = kk_time_constants(problem.log_tau_range(), m);
    const std::optional<BoundedSolution> fit = bounded_solve(problem, tau, normal_equations(problem, tau));
    if (!fit) return {};
    const std::span<const double> coef(fit->coef);
    return {kk_mu(coef.subspan(problem.fixed_count())), sum_of_squares(problem, tau, coef)};
}

// 2N ln(SSE / 2N) + p ln(2N), over 2N real residuals and p fitted terms.
double bic(const KkProblem& problem, std::size_t m, double sse) {
    const double n2 = 2.0 * static_cast<double>(problem.points());
    const double terms = static_cast<double>(problem.fixed_count() + m);
    return n2 * std::log(std::max(sse, std::numeric_limits<double>::min()) / n2) + terms * std::log(n2);
}

std::size_t first_below(const std::vector<Scanned>& fits, double c) {
    for (std::size_t k = 0; k < fits.size(); ++k) {
        if (fits[k].mu < c) return k + 1;
    }
    return fits.size();
}

}  // namespace

double kk_mu(std::span<const double> resistances) {
    double positive = 0.0, negative = 0.0;
    for (const double r : resistances) {
        if (r > 0.0) positive += r;
        if (r < 0.0) negative -= r;
    }
    if (positive == 0.0) return negative == 0.0 ? 1.0 : -std::numeric_limits<double>::infinity();
    return 1.0 - negative / positive;
}

std::size_t choose_element_count(const KkProblem& problem, std::size_t cap, KkRule rule, double c) {
    std::vector<Scanned> fits;
    fits.reserve(cap);
    for (std::size_t m = 1; m <= cap; ++m) {
        fits.push_back(scan(problem, m));
        if (rule == KkRule::first && fits.back().mu < c) return m;
    }
    if (rule == KkRule::first) return cap;
    std::size_t chosen = 0;
    double lowest = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < cap; ++k) {
        const double guard = rule == KkRule::automatic ? kk_auto_mu : c;
        if (!(fits[k].mu >= guard)) continue;
        const double score = rule == KkRule::automatic ? bic(problem, k + 1, fits[k].sse) : fits[k].sse;
        if (score < lowest) {
            lowest = score;
            chosen = k + 1;
        }
    }
    if (chosen > 0) return chosen;
    return rule == KkRule::automatic ? cap : first_below(fits, c);
}

}  // namespace kelvara::diagnostics
