#include "drt/discretisation.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "fit/interruption.hpp"

namespace kelvara::drt {

using linalg::Matrix;

namespace {

constexpr double negligible_distance = 6.5;  // shape units, as in rbf_basis.cpp

}  // namespace

ImpedanceRows::ImpedanceRows(const RbfBasis& basis, std::span<const double> angular)
    : basis_(basis), angular_(angular), step_(0.5 * basis.spacing) {
    reach_ = static_cast<std::size_t>(std::ceil(negligible_distance / (basis.shape * step_)));
    weights_.resize(2 * reach_ + 1);
    for (std::size_t k = 0; k < weights_.size(); ++k) {
        const double u = basis.shape * (static_cast<double>(k) - static_cast<double>(reach_)) * step_;
        weights_[k] = step_ * std::exp(-u * u);
    }
    // Fine grid point j sits at first_centre + (j - reach) * step.
    const std::size_t fine_count = 2 * (basis.count - 1) + weights_.size();
    kernel_real_.resize(fine_count);
    kernel_imag_.resize(fine_count);
    const std::size_t m = basis.count;
    cached_ = angular.size() * m <= cache_limit;
    real_.resize(cached_ ? angular.size() * m : m);
    imag_.resize(real_.size());
    if (!cached_) return;
    for (std::size_t i = 0; i < angular.size(); ++i) {
        if (i % 256 == 0 && interruption_requested()) break;  // the caller asks again and stops
        compute(angular[i], std::span(real_).subspan(i * m, m), std::span(imag_).subspan(i * m, m));
    }
}

std::pair<std::span<const double>, std::span<const double>> ImpedanceRows::row(std::size_t i) {
    const std::size_t m = basis_.count;
    if (cached_) return {std::span<const double>(real_).subspan(i * m, m), std::span<const double>(imag_).subspan(i * m, m)};
    compute(angular_[i], real_, imag_);
    return {real_, imag_};
}

void ImpedanceRows::compute(double angular, std::span<double> real_row, std::span<double> imag_row) {
    const double ln_w = std::log(angular);
    for (std::size_t j = 0; j < kernel_real_.size(); ++j) {
        // x = ln(w tau): 1/(1 + e^2x) and -e^x/(1 + e^2x) without overflow.
        const double x = ln_w + basis_.first_centre + (static_cast<double>(j) - static_cast<double>(reach_)) * step_;
        const double e = std::exp(-2.0 * std::fabs(x));
        kernel_real_[j] = x > 0.0 ? e / (1.0 + e) : 1.0 / (1.0 + e);
        kernel_imag_[j] = -std::sqrt(e) / (1.0 + e);
    }
    for (std::size_t i = 0; i < basis_.count; ++i) {
        const double* kr = kernel_real_.data() + 2 * i;
        const double* ki = kernel_imag_.data() + 2 * i;
        double re = 0.0, im = 0.0;
        for (std::size_t k = 0; k < weights_.size(); ++k) {
            re += weights_[k] * kr[k];
            im += weights_[k] * ki[k];
        }
        real_row[i] = re;
        imag_row[i] = im;
    }
}

ImpedanceMap impedance_map(const RbfBasis& basis, std::span<const double> angular) {
    ImpedanceRows rows(basis, angular);
    ImpedanceMap map{Matrix(angular.size(), basis.count), Matrix(angular.size(), basis.count)};
    for (std::size_t i = 0; i < angular.size(); ++i) {
        const auto [re, im] = rows.row(i);
        std::copy(re.begin(), re.end(), map.real.row(i).begin());
        std::copy(im.begin(), im.end(), map.imag.row(i).begin());
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
