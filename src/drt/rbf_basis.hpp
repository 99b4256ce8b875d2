// The discretisation of gamma(ln tau): Gaussian radial basis functions on an
// evenly spaced grid of ln tau that covers the measured time constants plus
// a margin on both sides.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kelvara::drt {

struct RbfBasis {
    double first_centre = 0.0;  // ln tau of the first function's centre
    double spacing = 1.0;       // between centres, in ln tau
    std::size_t count = 0;
    double shape = 1.0;  // phi(y) = exp(-(shape * (y - centre))^2)

    double centre(std::size_t i) const { return first_centre + static_cast<double>(i) * spacing; }
    double last_centre() const { return centre(count - 1); }

    // gamma(y) = sum of coefficients[i] * phi_i(y).
    double gamma(std::span<const double> coefficients, double ln_tau) const;
    // The integral of gamma over [low, high] (ln tau), exact through erf.
    double integral(std::span<const double> coefficients, double low, double high) const;
    // The integral of one function over the whole line.
    double function_area() const;
    // gamma at first_centre + j * spacing / per_spacing for j = 0 ..
    // (count - 1) * per_spacing: every centre sits on this grid, so one
    // table of Gaussian values serves all functions.
    std::vector<double> sample(std::span<const double> coefficients, std::size_t per_spacing) const;
};

// Centres from 1/(2 pi f_max) to 1/(2 pi f_min), widened by `margin_decades`
// on each side, `points_per_decade` apart; each function's full width at half
// maximum is two spacings, so neighbours overlap and gamma stays smooth.
RbfBasis make_basis(double min_angular, double max_angular, double points_per_decade, double margin_decades);

}  // namespace kelvara::drt
