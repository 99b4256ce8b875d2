#include "drt/rbf_basis.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kelvara::drt {
namespace {

// Beyond this many shape units a Gaussian is below 1e-18 of its peak.
constexpr double negligible_distance = 6.5;

}  // namespace

double RbfBasis::gamma(std::span<const double> coefficients, double ln_tau) const {
    const double reach = negligible_distance / shape;
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double distance = ln_tau - centre(i);
        if (std::fabs(distance) > reach) continue;
        const double scaled = shape * distance;
        sum += coefficients[i] * std::exp(-scaled * scaled);
    }
    return sum;
}

double RbfBasis::integral(std::span<const double> coefficients, double low, double high) const {
    const double half_area = 0.5 * function_area();
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double c = centre(i);
        sum += coefficients[i] * half_area * (std::erf(shape * (high - c)) - std::erf(shape * (low - c)));
    }
    return sum;
}

std::vector<double> RbfBasis::sample(std::span<const double> coefficients, std::size_t per_spacing) const {
    const double step = spacing / static_cast<double>(per_spacing);
    const auto reach = static_cast<std::size_t>(std::ceil(negligible_distance / (shape * step)));
    std::vector<double> table(reach + 1);
    for (std::size_t k = 0; k <= reach; ++k) {
        const double u = shape * static_cast<double>(k) * step;
        table[k] = std::exp(-u * u);
    }
    std::vector<double> out((count - 1) * per_spacing + 1, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
        if (coefficients[i] == 0.0) continue;
        const std::size_t centre = i * per_spacing;
        const std::size_t first = centre > reach ? centre - reach : 0;
        const std::size_t last = std::min(out.size() - 1, centre + reach);
        for (std::size_t j = first; j <= last; ++j) {
            out[j] += coefficients[i] * table[j > centre ? j - centre : centre - j];
        }
    }
    return out;
}

double RbfBasis::function_area() const { return std::sqrt(std::numbers::pi) / shape; }

RbfBasis make_basis(double min_angular, double max_angular, double points_per_decade, double margin_decades) {
    const double decade = std::numbers::ln10;
    const double low = -std::log(max_angular) - margin_decades * decade;
    const double high = -std::log(min_angular) + margin_decades * decade;
    RbfBasis basis;
    basis.spacing = decade / points_per_decade;
    const double intervals = std::ceil((high - low) / basis.spacing - 1e-9);
    basis.count = static_cast<std::size_t>(intervals) + 1;
    // Centred on the covered range, so the margins come out equal.
    basis.first_centre = 0.5 * (low + high) - 0.5 * intervals * basis.spacing;
    // FWHM = 2 sqrt(ln 2) / shape = 2 spacings.
    basis.shape = std::sqrt(std::numbers::ln2) / basis.spacing;
    return basis;
}

}  // namespace kelvara::drt
