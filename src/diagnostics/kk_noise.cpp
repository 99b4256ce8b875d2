#include "diagnostics/kk_noise.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "support/total_order.hpp"

namespace kelvara::diagnostics {
namespace {

// tr(G^-1 S) over the kept columns, with S symmetric (its lower triangle
// given): G is D L L^T D with D the column norms, so the trace is the sum over
// the rows m of L^-1 of m^T (D^-1 S D^-1) m. Row operations only, about n^3 / 2
// multiplications.
double trace_solved(const Factored& f, const linalg::Matrix& s) {
    const std::size_t n = f.norm.size();
    linalg::Matrix scaled(n, n), inverse(n, n);
    for (std::size_t a = 0; a < n; ++a) {
        if (f.dropped[a]) continue;
        for (std::size_t b = 0; b <= a; ++b) {
            if (f.dropped[b]) continue;
            const double value = s(a, b) / (f.norm[a] * f.norm[b]);
            scaled(a, b) = value;
            scaled(b, a) = value;
        }
    }
    double trace = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        // row k of L^-1: (e_k - sum over i < k of L(k, i) (row i)) / L(k, k)
        const auto row = inverse.row(k);
        row[k] = 1.0;
        const auto lk = f.cholesky.row(k);
        for (std::size_t i = 0; i < k; ++i) {
            const double l = lk[i];
            if (l == 0.0) continue;
            const auto ri = inverse.row(i);
            for (std::size_t j = 0; j <= i; ++j) row[j] -= l * ri[j];
        }
        const double diagonal = lk[k];
        for (std::size_t j = 0; j <= k; ++j) row[j] /= diagonal;
        for (std::size_t a = 0; a <= k; ++a) {
            const auto sa = scaled.row(a);
            double sum = 0.0;
            for (std::size_t b = 0; b <= k; ++b) sum += sa[b] * row[b];
            trace += row[a] * sum;
        }
    }
    return trace;
}

// The sum of the squared differences of neighbouring residuals, and in
// `spread` (below the diagonal) the sum of the outer products of the
// differences of neighbouring rows: what the fit takes out of the differences
// of white scatter.
double squared_differences(const KkProblem& problem, std::span<const double> tau, std::span<const double> coef,
                           std::span<const double> frequencies_hz, linalg::Matrix& spread) {
    const std::size_t size = coef.size();
    const std::vector<std::size_t> order = ascending_order(frequencies_hz);
    std::vector<double> re(size), im(size), previous_re(size), previous_im(size), d_re(size), d_im(size);
    double sum = 0.0;
    Complex previous{};
    for (std::size_t step = 0; step < order.size(); ++step) {
        const std::size_t i = order[step];
        problem.rows(i, tau, re, im);
        Complex residual = problem.target[i];
        for (std::size_t a = 0; a < size; ++a) {
            residual.re -= re[a] * coef[a];
            residual.im -= im[a] * coef[a];
        }
        if (step > 0) {
            const Complex d = residual - previous;
            sum += d.re * d.re + d.im * d.im;
            for (std::size_t a = 0; a < size; ++a) {
                d_re[a] = re[a] - previous_re[a];
                d_im[a] = im[a] - previous_im[a];
            }
            for (std::size_t a = 0; a < size; ++a) {
                const double x = d_re[a], y = d_im[a];
                const auto row = spread.row(a);
                for (std::size_t b = 0; b <= a; ++b) row[b] += x * d_re[b] + y * d_im[b];
            }
        }
        previous = residual;
        std::swap(previous_re, re);
        std::swap(previous_im, im);
    }
    return sum;
}

}  // namespace

std::optional<DifferenceNoise> difference_noise(const KkProblem& problem, std::span<const double> tau,
                                                const BoundedSolution& fit, std::span<const double> frequencies_hz) {
    const std::size_t n = problem.points();
    if (n < 2) return std::nullopt;
    linalg::Matrix spread(fit.coef.size(), fit.coef.size());
    const double sum = squared_differences(problem, tau, fit.coef, frequencies_hz, spread);
    // White scatter of deviation s in each part gives E[sum] = s^2 (4 (n - 1) -
    // tr(G^-1 S)), with G the normal matrix of the kept columns and S the
    // matrix above: without that term the estimate runs low by up to a tenth
    // at five points per decade, where the fit has a column for every two points.
    const double taken = trace_solved(fit.system, spread);
    const double differences = 4.0 * static_cast<double>(n - 1);
    // held to at most half the differences: beyond that the grid has nearly a
    // column per residual and the rest says little about the scatter
    const double expected = differences - std::clamp(taken, 0.0, 0.5 * differences);
    const DifferenceNoise noise{std::sqrt(sum / differences), std::sqrt(sum / expected)};
    if (!std::isfinite(noise.successive) || !std::isfinite(noise.unbiased)) return std::nullopt;
    return noise;
}

}  // namespace kelvara::diagnostics
