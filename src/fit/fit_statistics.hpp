// What a fit's residuals say about the fit as a whole: reduced chi-square,
// the typical misfit and the information criteria that rank candidate
// circuits fitted to the same spectrum.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kelvara {

// With n weighted residuals (two per frequency), k free parameters and
// chi-square X = sum r^2, as for a least-squares fit with Gaussian errors of
// unknown common variance:
//   reduced chi-square  X / (n - k)
//   misfit              sqrt(X / n), the rms of the weighted residuals
//   AIC                 n ln(X / n) + 2k
//   AICc                AIC + 2k(k + 1) / (n - k - 1)
//   BIC                 n ln(X / n) + k ln n
// Each is NaN where its denominator is not positive.
struct FitStatistics {
    std::size_t residual_count = 0;
    std::size_t free_count = 0;
    double reduced_chi_square = 0.0;
    double misfit = 0.0;
    double aic = 0.0;
    double aicc = 0.0;
    double bic = 0.0;
};

FitStatistics fit_statistics(double chi_square, std::size_t residual_count, std::size_t free_count);

// The correlation matrix of an n x n covariance (row-major): c_ab / sqrt(c_aa c_bb),
// NaN where a variance is not positive.
std::vector<double> correlation_of(std::span<const double> covariance, std::size_t n);

}  // namespace kelvara
