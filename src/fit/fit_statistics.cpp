#include "fit/fit_statistics.hpp"

#include <cmath>
#include <limits>

namespace kelvara {

FitStatistics fit_statistics(double chi_square, std::size_t residual_count, std::size_t free_count) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const double n = static_cast<double>(residual_count), k = static_cast<double>(free_count);
    FitStatistics s;
    s.residual_count = residual_count;
    s.free_count = free_count;
    s.reduced_chi_square = n > k ? chi_square / (n - k) : nan;
    s.misfit = n > 0 ? std::sqrt(chi_square / n) : nan;
    const double log_likelihood_term = n > 0 ? n * std::log(chi_square / n) : nan;
    s.aic = log_likelihood_term + 2.0 * k;
    s.aicc = n - k - 1.0 > 0.0 ? s.aic + 2.0 * k * (k + 1.0) / (n - k - 1.0) : nan;
    s.bic = n > 0 ? log_likelihood_term + k * std::log(n) : nan;
    return s;
}

std::vector<double> correlation_of(std::span<const double> covariance, std::size_t n) {
    std::vector<double> correlation(n * n);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            const double scale = covariance[a * n + a] * covariance[b * n + b];
            correlation[a * n + b] = scale > 0.0 ? covariance[a * n + b] / std::sqrt(scale)
                                                 : std::numeric_limits<double>::quiet_NaN();
        }
    }
    return correlation;
}

}  // namespace kelvara
