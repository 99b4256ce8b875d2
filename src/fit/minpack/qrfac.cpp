// MINPACK qrfac with column pivoting: Householder QR of A P, choosing at each
// stage the remaining column of largest norm, with the column norms updated
// rather than recomputed unless cancellation makes the update unreliable.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "fit/minpack/minpack.hpp"

namespace kelvara::minpack {

void qrfac(std::size_t m, std::size_t n, std::span<double> a, std::size_t ld, std::span<std::size_t> ipvt,
           std::span<double> rdiag, std::span<double> acnorm, std::span<double> wa) {
    constexpr double epsmch = 2.220446049250313e-16;
    auto column = [&](std::size_t j, std::size_t from) { return a.subspan(j * ld + from, m - from); };
    for (std::size_t j = 0; j < n; ++j) {
        acnorm[j] = enorm(column(j, 0));
        rdiag[j] = acnorm[j];
        wa[j] = rdiag[j];
        ipvt[j] = j;
    }
    const std::size_t minmn = std::min(m, n);
    for (std::size_t j = 0; j < minmn; ++j) {
        // Bring the column of largest remaining norm into the pivot position.
        std::size_t kmax = j;
        for (std::size_t k = j; k < n; ++k) {
            if (rdiag[k] > rdiag[kmax]) kmax = k;
        }
        if (kmax != j) {
            for (std::size_t i = 0; i < m; ++i) std::swap(a[i + j * ld], a[i + kmax * ld]);
            rdiag[kmax] = rdiag[j];
            wa[kmax] = wa[j];
            std::swap(ipvt[j], ipvt[kmax]);
        }
        // The Householder transformation that reduces column j below the diagonal.
        double ajnorm = enorm(column(j, j));
        if (ajnorm != 0.0) {
            if (a[j + j * ld] < 0.0) ajnorm = -ajnorm;
            for (std::size_t i = j; i < m; ++i) a[i + j * ld] /= ajnorm;
            a[j + j * ld] += 1.0;
            // Apply it to the remaining columns and update their norms.
            for (std::size_t k = j + 1; k < n; ++k) {
                double sum = 0.0;
                for (std::size_t i = j; i < m; ++i) sum += a[i + j * ld] * a[i + k * ld];
                const double temp = sum / a[j + j * ld];
                for (std::size_t i = j; i < m; ++i) a[i + k * ld] -= temp * a[i + j * ld];
                if (rdiag[k] != 0.0) {
                    const double ratio = a[j + k * ld] / rdiag[k];
                    rdiag[k] *= std::sqrt(std::max(0.0, 1.0 - ratio * ratio));
                    const double drift = rdiag[k] / wa[k];
                    if (0.05 * drift * drift <= epsmch) {
                        rdiag[k] = enorm(column(k, j + 1));
                        wa[k] = rdiag[k];
                    }
                }
            }
        }
        rdiag[j] = -ajnorm;
    }
}

}  // namespace kelvara::minpack
