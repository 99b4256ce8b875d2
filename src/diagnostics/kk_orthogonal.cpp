#include "diagnostics/kk_orthogonal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/minpack/minpack.hpp"

namespace kelvara::diagnostics {
namespace {

// The design, column-major (2N rows: real parts, then imaginary parts, then
// rows of zeros up to `rows`), with dropped columns zero and the others scaled
// to unit norm; `norm` gets the scales.
std::vector<double> scaled_design(const KkProblem& problem, std::span<const double> tau,
                                  const std::vector<bool>& dropped, std::size_t rows, std::vector<double>& norm) {
    const std::size_t n = problem.points(), size = dropped.size();
    std::vector<double> design(rows * size), re(size), im(size);
    for (std::size_t i = 0; i < n; ++i) {
        problem.rows(i, tau, re, im);
        for (std::size_t a = 0; a < size; ++a) {
            design[a * rows + i] = dropped[a] ? 0.0 : re[a];
            design[a * rows + n + i] = dropped[a] ? 0.0 : im[a];
        }
    }
    norm.assign(size, 1.0);
    for (std::size_t a = 0; a < size; ++a) {
        double sum = 0.0;
        for (std::size_t r = 0; r < rows; ++r) sum += design[a * rows + r] * design[a * rows + r];
        if (sum == 0.0) continue;
        norm[a] = std::sqrt(sum);
        for (std::size_t r = 0; r < rows; ++r) design[a * rows + r] /= norm[a];
    }
    return design;
}

}  // namespace

std::vector<double> orthogonal_solve(const KkProblem& problem, std::span<const double> tau,
                                     const std::vector<bool>& dropped) {
    const std::size_t n = problem.points(), size = dropped.size();
    // more columns than residuals: zero rows make the factorisation square
    const std::size_t rows = std::max(2 * n, size);
    std::vector<double> norm;
    std::vector<double> a = scaled_design(problem, tau, dropped, rows, norm);
    std::vector<std::size_t> pivot(size);
    std::vector<double> rdiag(size), acnorm(size), work(size);
    minpack::qrfac(rows, size, a, rows, pivot, rdiag, acnorm, work);
    // Q^T b, from the Householder vectors below the diagonal
    std::vector<double> qtb(rows);
    for (std::size_t i = 0; i < n; ++i) {
        qtb[i] = problem.target[i].re;
        qtb[n + i] = problem.target[i].im;
    }
    for (std::size_t j = 0; j < size; ++j) {
        const double head = a[j * rows + j];
        if (head == 0.0) continue;
        double sum = 0.0;
        for (std::size_t r = j; r < rows; ++r) sum += a[j * rows + r] * qtb[r];
        const double factor = -sum / head;
        for (std::size_t r = j; r < rows; ++r) qtb[r] += a[j * rows + r] * factor;
    }
    // R z = Q^T b over the columns the factorisation can tell apart
    const double cutoff = static_cast<double>(2 * n) * std::numeric_limits<double>::epsilon() * std::fabs(rdiag[0]);
    std::size_t rank = 0;
    while (rank < size && std::fabs(rdiag[rank]) > cutoff) ++rank;
    std::vector<double> z(size, 0.0);
    for (std::size_t j = rank; j-- > 0;) {
        double sum = qtb[j];
        for (std::size_t k = j + 1; k < rank; ++k) sum -= a[k * rows + j] * z[k];
        z[j] = sum / rdiag[j];
    }
    std::vector<double> coef(size, 0.0);
    for (std::size_t j = 0; j < size; ++j) coef[pivot[j]] = z[j] / norm[pivot[j]];
    return coef;
}

}  // namespace kelvara::diagnostics
