// The DRT core's numerical parts against independent references: the
// impedance map and the penalty against direct fine quadrature, the
// peak-shape fit against ZARCs written out with std::complex.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "drt/discretisation.hpp"
#include "drt/drt.hpp"
#include "drt/peaks.hpp"
#include "drt/zarc_fit.hpp"
#include "drt/rbf_basis.hpp"
#include "support/constants.hpp"

namespace kelvara::drt {
namespace {

TEST(ImpedanceMap, MatchesDirectQuadratureOfTheKernel) {
    const RbfBasis basis = make_basis(two_pi * 0.01, two_pi * 1e5, 10.0, 0.5);
    const std::vector<double> angular{0.05, 3.0, 700.0, 4e5};
    const ImpedanceMap map = impedance_map(basis, angular);
    for (std::size_t row = 0; row < angular.size(); ++row) {
        for (std::size_t i : {std::size_t{0}, basis.count / 3, basis.count - 1}) {
            double re = 0, im = 0;
            const double step = 1e-4, c = basis.centre(i);
            for (double y = c - 12 / basis.shape; y <= c + 12 / basis.shape; y += step) {
                const double phi = std::exp(-std::pow(basis.shape * (y - c), 2));
                const double wt = angular[row] * std::exp(y);
                re += step * phi / (1 + wt * wt);
                im -= step * phi * wt / (1 + wt * wt);
            }
            EXPECT_NEAR(map.real(row, i), re, 1e-9) << row << " " << i;
            EXPECT_NEAR(map.imag(row, i), im, 1e-9) << row << " " << i;
        }
    }
}

TEST(Penalty, MatchesQuadratureOfTheDerivatives) {
    const RbfBasis basis = make_basis(1.0, 1e3, 8.0, 0.5);
    const double a = basis.shape * basis.shape;
    const linalg::Matrix first = derivative_penalty(basis, 1), second = derivative_penalty(basis, 2);
    for (std::size_t j : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
        double d1 = 0, d2 = 0;
        const double ci = basis.centre(0), cj = basis.centre(j), step = 1e-4;
        for (double y = ci - 10 / basis.shape; y <= cj + 10 / basis.shape; y += step) {
            const double u = y - ci, v = y - cj;
            const double pi = std::exp(-a * u * u), pj = std::exp(-a * v * v);
            d1 += step * (-2 * a * u * pi) * (-2 * a * v * pj);
            d2 += step * ((4 * a * a * u * u - 2 * a) * pi) * ((4 * a * a * v * v - 2 * a) * pj);
        }
        EXPECT_NEAR(first(0, j), d1, 1e-7 * std::fabs(first(0, 0)));
        EXPECT_NEAR(second(0, j), d2, 1e-7 * std::fabs(second(0, 0)));
    }
}

TEST(RbfBasis, IntegralMatchesTheSumOfAreas) {
    const RbfBasis basis = make_basis(1.0, 1e4, 10.0, 0.5);
    std::vector<double> c(basis.count, 0.0);
    c[3] = 2.0;
    c[7] = 0.5;
    EXPECT_NEAR(basis.integral(c, -INFINITY, INFINITY), 2.5 * std::sqrt(std::numbers::pi) / basis.shape, 1e-12);
    EXPECT_NEAR(basis.integral(c, -INFINITY, basis.centre(3)), std::sqrt(std::numbers::pi) / basis.shape, 1e-6);
}

// Two bumps, a ripple between them and a tail rising to the end of the basis:
// the ripple's area goes to a neighbour, the tail beyond the last minimum is
// counted apart, and peaks and tails make up the integral, each against
// erf-exact areas of the single functions.
TEST(FindPeaks, EveryOhmIsInAPeakOrATail) {
    const RbfBasis basis = make_basis(1.0, 1e6, 10.0, 0.0);  // ln tau from -ln 1e6 to 0
    std::vector<double> c(basis.count, 0.0);
    c[10] = 2.0;
    c[20] = 0.1;  // a ripple: 5 % of the tallest
    c[50] = 1.0;  // 0.8 decades inside the longest measured time constant
    c[60] = 3.0;  // the tail, taller than anything inside
    ASSERT_EQ(basis.count, 61u);
    PeakRules rules;
    rules.measured_low = basis.centre(0);
    rules.measured_high = basis.centre(58);
    const PeakSet set = find_peaks(basis, c, rules);
    ASSERT_EQ(set.peaks.size(), 2u);
    EXPECT_NEAR(set.peaks[0].ln_tau, basis.centre(10), 1e-3);
    EXPECT_NEAR(set.peaks[1].ln_tau, basis.centre(50), 1e-3);
    const double area = std::sqrt(std::numbers::pi) / basis.shape;
    EXPECT_EQ(set.tail_below, 0.0);
    EXPECT_NEAR(set.tail_above, 3.0 * area, 0.01 * area);
    EXPECT_NEAR(set.peaks[0].resistance + set.peaks[1].resistance, 3.1 * area, 0.01 * area);
    EXPECT_NEAR(set.peaks[0].resistance + set.peaks[1].resistance + set.tail_above,
                basis.integral(c, -INFINITY, INFINITY), 1e-12);
    // Beside a rising edge, a maximum within a decade of it holds a fifth of the resistance or is no peak.
    rules.rising_above = true;
    EXPECT_EQ(find_peaks(basis, c, rules).peaks.size(), 1u);  // the bump at 50 holds 1.0 / 6.1
    c[50] = 3.0;
    EXPECT_EQ(find_peaks(basis, c, rules).peaks.size(), 2u);
}

// The whole path (also what the sanitized build exercises): an RC element,
// Z = R0 + R / (1 + i w tau), has gamma = R delta(ln tau - ln tau0).
TEST(ComputeDrt, RcElementGivesOnePeakWithItsResistance) {
    std::vector<double> f;
    std::vector<Complex> z;
    for (int i = 0; i <= 40; ++i) {
        f.push_back(std::pow(10.0, 5.0 - 0.175 * i));
        const double wt = two_pi * f.back() * 2e-3;
        z.push_back(Complex{5.0, 0.0} + Complex{40.0, 0.0} / Complex{1.0, wt});
    }
    const auto result = compute_drt(f, z, DrtSettings{});
    ASSERT_TRUE(result.ok());
    const DrtOutcome& out = result.value();
    ASSERT_EQ(out.peaks.size(), 1u);
    EXPECT_NEAR(out.peaks[0].ln_tau, std::log(2e-3), 0.03);
    EXPECT_NEAR(out.peaks[0].resistance, 40.0, 0.4);
    EXPECT_NEAR(out.r_inf, 5.0, 0.05);
    EXPECT_TRUE(out.lambda_chosen && out.converged);
    // Gaussians two spacings wide approach the delta only so far: a few percent near the arc's top.
    for (std::size_t i = 0; i < f.size(); ++i) {
        const double misfit = std::hypot(out.fitted[i].re - z[i].re, out.fitted[i].im - z[i].im);
        EXPECT_LT(misfit, 0.04 * std::hypot(z[i].re, z[i].im)) << i;
    }
}

// Two overlapping ZARCs written out directly, R / (1 + (i w tau)^alpha) through
// std::pow on std::complex, and an inductance: the fit recovers them from
// seeds as far off as the maxima of a regularised gamma are.
TEST(ZarcFit, RecoversOverlappingZarcsFromDisplacedSeeds) {
    const PeakShape truth[2] = {{std::log(1e-3), 100.0, 0.7}, {std::log(10.0 * std::sqrt(10.0) * 1e-3), 60.0, 0.85}};
    std::vector<double> angular;
    std::vector<Complex> z;
    for (int i = 0; i <= 60; ++i) {
        angular.push_back(two_pi * std::pow(10.0, 6.0 - 0.125 * i));
        std::complex<double> sum{10.0, angular.back() * 1e-6};
        for (const PeakShape& shape : truth) {
            const std::complex<double> iwt{0.0, angular.back() * std::exp(shape.ln_tau)};
            sum += shape.resistance / (1.0 + std::pow(iwt, shape.alpha));
        }
        z.push_back(Complex{sum.real(), sum.imag()});
    }
    const PeakShape seeds[2] = {{truth[0].ln_tau + 0.2, 80.0, alpha_from_height(80.0, 20.0)},
                                {truth[1].ln_tau - 0.2, 80.0, 0.95}};
    const PeakFit fit = fit_peak_shapes({angular, z, {}, 9.0, 0.0, true}, seeds);
    ASSERT_TRUE(fit.converged);
    EXPECT_LT(fit.cost, 1e-20);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_NEAR(fit.shapes[k].ln_tau, truth[k].ln_tau, 1e-8) << k;
        EXPECT_NEAR(fit.shapes[k].resistance, truth[k].resistance, 1e-6) << k;
        EXPECT_NEAR(fit.shapes[k].alpha, truth[k].alpha, 1e-8) << k;
    }
    EXPECT_NEAR(fit.r_inf, 10.0, 1e-8);
    EXPECT_NEAR(fit.inductance, 1e-6, 1e-14);
}

// An ideal RC (alpha = 1) with no series resistance: the exponent and R_inf
// end on their bounds, not past them, and the rest is recovered.
TEST(ZarcFit, EndsOnTheBoundsWhereTheDataPutTheOptimum) {
    std::vector<double> angular;
    std::vector<Complex> z;
    for (int i = 0; i <= 40; ++i) {
        angular.push_back(two_pi * std::pow(10.0, 5.0 - 0.15 * i));
        const std::complex<double> rc = 100.0 / (1.0 + std::complex<double>{0.0, angular.back() * 1e-3});
        z.push_back(Complex{rc.real(), rc.imag()});
    }
    const PeakShape seeds[1] = {{std::log(1e-3) + 0.3, 80.0, 0.8}};
    const PeakFit fit = fit_peak_shapes({angular, z, {}, 0.0, 0.0, false}, seeds);
    ASSERT_TRUE(fit.converged);
    EXPECT_GE(fit.r_inf, 0.0);
    EXPECT_LT(fit.r_inf, 1e-6);
    EXPECT_LE(fit.shapes[0].alpha, 1.0);
    EXPECT_GT(fit.shapes[0].alpha, 1.0 - 1e-6);
    EXPECT_NEAR(fit.shapes[0].ln_tau, std::log(1e-3), 1e-6);
    EXPECT_NEAR(fit.shapes[0].resistance, 100.0, 1e-4);
}

// A ZARC's DRT peaks at R / (2 pi) sin((1 - a) pi) / (1 + cos(a pi)).
TEST(ZarcFit, AlphaFromHeightInvertsTheZarcMaximum) {
    for (double alpha : {0.5, 0.7, 0.9, 0.99}) {
        const double height = 50.0 / (2 * std::numbers::pi) * std::sin((1 - alpha) * std::numbers::pi) /
                              (1 + std::cos(alpha * std::numbers::pi));
        EXPECT_NEAR(alpha_from_height(50.0, height), alpha, 1e-12) << alpha;
    }
    EXPECT_NEAR(alpha_from_height(50.0, 1e6), 1.0, 1e-5);
    EXPECT_EQ(alpha_from_height(50.0, 1e-6), smallest_alpha);
}

TEST(ComputeDrt, BadInputIsAnErrorValue) {
    const std::vector<double> f{1.0, 10.0, 100.0};
    const std::vector<Complex> z{{1, -1}, {1, -0.5}, {1, 0}};
    EXPECT_FALSE(compute_drt(std::span(f).first(2), std::span(z).first(2), {}).ok());
    EXPECT_FALSE(compute_drt(std::vector<double>{1.0, 1.0, 1.0}, z, {}).ok());
    EXPECT_FALSE(compute_drt(f, std::vector<Complex>{{1, 0}, {0, 0}, {1, 0}}, {}).ok());
    DrtSettings settings;
    settings.lambda = -1.0;
    EXPECT_FALSE(compute_drt(f, z, settings).ok());
}

}  // namespace
}  // namespace kelvara::drt
