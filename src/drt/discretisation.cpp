#include "drt/discretisation.hpp"

#include <cmath>
#include <numbers>
#include <vector>

#include "fit/interruption.hpp"

namespace kelvara::drt {

using linalg::Matrix;

namespace {

constexpr double negligible_distance = 6.5;  // shape units, as in rbf_basis.cpp

}  // namespace

ImpedanceMap impedance_map(const RbfBasis& basis, std::span<const double> angular) {
    const std::size_t n = angular.size();
    const std::size_t m = basis.count;
    const double step = 0.5 * basis.spacing;
    const auto reach = static_cast<std::size_t>(std::ceil(negligible_distance / (basis.shape * step)));
    std::vector<double> weights(2 * reach + 1);
    for (std::size_t k = 0; k < weights.size(); ++k) {
        const double u = basis.shape * (static_cast<double>(k) - static_cast<double>(reach)) * step;
        weights[k] = step * std::exp(-u * u);
    }
    // Fine grid point j sits at first_centre + (j - reach) * step.
    const std::size_t fine_count = 2 * (m - 1) + weights.size();
    std::vector<double> kernel_real(fine_count), kernel_imag(fine_count);
    ImpedanceMap map{Matrix(n, m), Matrix(n, m)};
    for (std::size_t row = 0; row < n; ++row) {
        if (row % 256 == 0 && interruption_requested()) break;  // the caller asks again and stops
        const double ln_w = std::log(angular[row]);
        for (std::size_t j = 0; j < fine_count; ++j) {
            // x = ln(w tau): 1/(1 + e^2x) and -e^x/(1 + e^2x) without overflow.
            const double x = ln_w + basis.first_centre + (static_cast<double>(j) - static_cast<double>(reach)) * step;
            const double e = std::exp(-2.0 * std::fabs(x));
            kernel_real[j] = x > 0.0 ? e / (1.0 + e) : 1.0 / (1.0 + e);
            kernel_imag[j] = -std::sqrt(e) / (1.0 + e);
        }
        const auto real_row = map.real.row(row);
        const auto imag_row = map.imag.row(row);
        for (std::size_t i = 0; i < m; ++i) {
            const double* kr = kernel_real.data() + 2 * i;
            const double* ki = kernel_imag.data() + 2 * i;
            double re = 0.0, im = 0.0;
            for (std::size_t k = 0; k < weights.size(); ++k) {
                re += weights[k] * kr[k];
                im += weights[k] * ki[k];
            }
            real_row[i] = re;
            imag_row[i] = im;
        }
    }
    return map;
}

Matrix derivative_penalty(const RbfBasis& basis, int order) {
    const std::size_t m = basis.count;
    const double a = basis.shape * basis.shape;
    const double overlap_scale = std::sqrt(std::numbers::pi / 2.0) / basis.shape;
    Matrix penalty(m, m);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            const double d = basis.centre(i) - basis.centre(j);
            const double ad2 = a * d * d;
            // The overlap c(d) of two Gaussians and its derivatives: -c'' or c''''.
            const double overlap = overlap_scale * std::exp(-0.5 * ad2);
            penalty(i, j) = order == 1 ? overlap * a * (1.0 - ad2) : overlap * a * a * (ad2 * ad2 - 6.0 * ad2 + 3.0);
        }
    }
    return penalty;
}

}  // namespace kelvara::drt
