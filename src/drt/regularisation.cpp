#include "drt/regularisation.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/cholesky.hpp"
#include "linalg/symmetric_eigen.hpp"

namespace kelvara::drt {

using linalg::EigenProjection;
using linalg::Matrix;
using linalg::cholesky;
using linalg::eigen_projection;

namespace {

// GCV from the spectrum of the standard-form problem, with the trace
// counted twice: plain GCV (factor 1) under-smooths noisy spectra often
// enough to grow spurious peaks; a factor above 1 ("modified GCV", Cummins,
// Filloon and Nychka 2001; Kim and Gu 2004) is the usual remedy, and 2 gave
// the fewest spurious peaks with the same peak accuracy on synthetic ZARC
// spectra with 0.5 % noise.
constexpr double trace_factor = 2.0;

struct GcvCurve {
    std::vector<double> values;         // eigenvalues s_i^2 of B^T B
    std::vector<double> beta_squared;   // (u_i^T b)^2
    double outside = 0.0;               // |b|^2 not explained by any u_i
    double dof = 0.0;                   // rows - unpenalised columns

    double operator()(double lambda) const {
        double residual = outside, trace = 0.0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double filter = lambda / (values[i] + lambda);
            residual += filter * filter * beta_squared[i];
            trace += values[i] / (values[i] + lambda);
        }
        const double denominator = dof - trace_factor * trace;
        return residual / (denominator * denominator);
    }
};

}  // namespace

LambdaChoice choose_lambda(const Matrix& gram, std::size_t unpenalised, std::size_t rows, const Matrix& penalty) {
    const std::size_t p = unpenalised, m = gram.rows - p - 1, data = p + m;
    // With K' = (I - U U^T) K and b' = (I - U U^T) b for the orthonormal U:
    // K'^T K' = K^T K - (K^T U)(U^T K), h = K'^T b' = K^T b - (K^T U)(U^T b).
    Matrix projected(m, m);
    std::vector<double> h(m);
    double outside = gram(data, data);
    for (std::size_t s = 0; s < p; ++s) outside -= gram(s, data) * gram(s, data);
    for (std::size_t i = 0; i < m; ++i) {
        double hi = gram(p + i, data);
        for (std::size_t s = 0; s < p; ++s) hi -= gram(p + i, s) * gram(s, data);
        h[i] = hi;
        for (std::size_t j = 0; j <= i; ++j) {
            double value = gram(p + i, p + j);
            for (std::size_t s = 0; s < p; ++s) value -= gram(p + i, s) * gram(s, p + j);
            projected(i, j) = projected(j, i) = value;
        }
    }
    Matrix& gram_k = projected;
    // Whitening with P = L L^T: S = L^-1 G L^-T and y = L^-1 h.
    Matrix l = penalty;
    double largest_diagonal = 0.0;
    for (std::size_t i = 0; i < m; ++i) largest_diagonal = std::max(largest_diagonal, l(i, i));
    for (std::size_t i = 0; i < m; ++i) l(i, i) += 1e-10 * largest_diagonal;
    if (!cholesky(l)) return {};
    auto forward = [&](std::span<double> v) {
        for (std::size_t i = 0; i < m; ++i) {
            double sum = v[i];
            for (std::size_t t = 0; t < i; ++t) sum -= l(i, t) * v[t];
            v[i] = sum / l(i, i);
        }
    };
    for (std::size_t j = 0; j < m; ++j) {  // columns of G become columns of X = L^-1 G
        std::vector<double> col(m);
        for (std::size_t i = 0; i < m; ++i) col[i] = gram_k(i, j);
        forward(col);
        for (std::size_t i = 0; i < m; ++i) gram_k(i, j) = col[i];
    }
    Matrix s(m, m);  // S = L^-1 X^T
    for (std::size_t j = 0; j < m; ++j) {
        std::span<double> row = gram_k.row(j);  // row j of X is column j of X^T
        std::vector<double> col(row.begin(), row.end());
        forward(col);
        for (std::size_t i = 0; i < m; ++i) s(i, j) = col[i];
    }
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < i; ++j) s(i, j) = s(j, i) = 0.5 * (s(i, j) + s(j, i));
    }
    forward(h);

    const EigenProjection eigen = eigen_projection(std::move(s), h);
    if (!eigen.converged) return {};
    GcvCurve curve;
    curve.dof = static_cast<double>(rows - p);
    double largest = 0.0;
    for (double v : eigen.values) largest = std::max(largest, v);
    if (!(largest > 0.0)) return {};
    curve.outside = outside;
    for (std::size_t i = 0; i < m; ++i) {
        const double value = eigen.values[i];
        if (!(value > 1e-15 * largest)) continue;  // invisible to the data
        const double beta2 = eigen.coordinates[i] * eigen.coordinates[i] / value;
        curve.values.push_back(value);
        curve.beta_squared.push_back(beta2);
        curve.outside -= beta2;
    }
    curve.outside = std::max(curve.outside, 0.0);

    // A scan of log lambda, then a golden-section refinement around the best
    // scan point. The floor keeps noise-free spectra (for which GCV wants
    // lambda -> 0) from fitting the basis's own limits, e.g. an ideal RC
    // that Gaussians of finite width cannot reach, with ripples in gamma.
    constexpr int scan_points = 85;
    const double low = std::log(smallest_lambda);
    const double high = std::max(std::log(largest) + 2.302585092994046, low + 2.302585092994046);
    const double step = (high - low) / (scan_points - 1);
    int best = 0;
    double best_score = curve(std::exp(low));
    for (int i = 1; i < scan_points; ++i) {
        const double score = curve(std::exp(low + i * step));
        if (score < best_score) {
            best_score = score;
            best = i;
        }
    }
    double a = low + std::max(best - 1, 0) * step;
    double c = low + std::min(best + 1, scan_points - 1) * step;
    const double ratio = 0.6180339887498949;
    double x1 = c - ratio * (c - a), x2 = a + ratio * (c - a);
    double f1 = curve(std::exp(x1)), f2 = curve(std::exp(x2));
    for (int i = 0; i < 40; ++i) {
        if (f1 < f2) {
            c = x2;
            x2 = x1;
            f2 = f1;
            x1 = c - ratio * (c - a);
            f1 = curve(std::exp(x1));
        } else {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = a + ratio * (c - a);
            f2 = curve(std::exp(x2));
        }
    }
    double chosen = 0.5 * (a + c);
    if (best_score < std::min(f1, f2)) chosen = low + best * step;
    return {std::exp(chosen), std::isfinite(chosen)};
}

}  // namespace kelvara::drt
