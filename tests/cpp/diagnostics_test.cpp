// The flags' noise estimate against the scatter put into a spectrum, and the
// referred correlation against the condition that defines it.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "circuit/layout.hpp"
#include "circuit/parser.hpp"
#include "diagnostics/judged_correlation.hpp"
#include "diagnostics/kk_fit.hpp"
#include "diagnostics/noise_level.hpp"
#include "diagnostics/sign_runs.hpp"
#include "support/constants.hpp"

namespace kelvara::diagnostics {
namespace {

// n frequencies from 1e5 Hz down over `decades` decades
std::vector<double> frequencies(std::size_t n, double decades = 7.0) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = std::pow(10.0, 5.0 - decades * static_cast<double>(i) / (n - 1.0));
    return f;
}

// R0 + R1 / (1 + (jw tau)^alpha) with complex scatter of `noise` |Z| in each part.
std::vector<Complex> arc(const std::vector<double>& f, double noise, unsigned seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> normal;
    std::vector<Complex> z;
    for (const double hz : f) {
        const std::complex<double> jwt(0.0, two_pi * hz * 1e-3);
        const std::complex<double> value = 10.0 + 100.0 / (1.0 + std::pow(jwt, 0.85));
        const double scatter = noise * std::abs(value);
        z.push_back({value.real() + scatter * normal(engine), value.imag() + scatter * normal(engine)});
    }
    return z;
}

class NoiseLevel : public ::testing::TestWithParam<double> {};

TEST_P(NoiseLevel, IsTheScatterOfEachPart) {
    const std::vector<double> f = frequencies(70);
    double mean = 0.0;
    for (unsigned seed = 0; seed < 10; ++seed) mean += noise_level(f, arc(f, GetParam(), seed)).value() / 10.0;
    EXPECT_NEAR(mean, GetParam(), 0.12 * GetParam());
}

INSTANTIATE_TEST_SUITE_P(Diagnostics, NoiseLevel, ::testing::Values(0.003, 0.01, 0.03));

TEST(Diagnostics, NoiseLevelOfASparseSweepIsNotLow) {
    // Five points per decade: the Kramers-Kronig fit has a column for about every
    // two points and takes a fifth of the scatter out of the differences. The
    // square of the estimate is unbiased, mean over 400 spectra within 3 % (its
    // standard error 1 %).
    const std::vector<double> f = frequencies(21, 4.0);
    const double noise = 0.01;
    double mean_square = 0.0;
    for (unsigned seed = 0; seed < 400; ++seed) {
        const double estimate = noise_level(f, arc(f, noise, seed)).value() / noise;
        mean_square += estimate * estimate / 400.0;
    }
    EXPECT_NEAR(mean_square, 1.0, 0.03);
}

TEST(Diagnostics, NoNoiseLevelWhereTheFitCannotRun) {
    const std::vector<double> f = frequencies(20);
    std::vector<Complex> z = arc(f, 0.0, 0);
    EXPECT_FALSE(noise_level(std::span(f).first(4), std::span(z).first(4)));
    EXPECT_FALSE(noise_level(f, std::span(z).first(19)));
    z[3] = {0.0, 0.0};
    EXPECT_FALSE(noise_level(f, z));
}

TEST(Diagnostics, SignRunsCountTheRunsOfEachPart) {
    // real parts + + - - - + in order (a zero left out): 3 runs of 3 + and 3 -,
    // mean 2 * 3 * 3 / 6 + 1 = 4, variance (4 - 1)(4 - 2) / 5; imaginary parts all +
    const std::vector<Complex> values = {{1, 1}, {2, 1}, {0, 1}, {-1, 1}, {-2, 1}, {-3, 1}, {4, 1}};
    const std::vector<std::size_t> order = {0, 1, 2, 3, 4, 5, 6};
    const SignRuns re = sign_runs(values, order, &Complex::re);
    EXPECT_EQ(re.runs, 3.0);
    EXPECT_DOUBLE_EQ(re.mean, 4.0);
    EXPECT_DOUBLE_EQ(re.variance, 6.0 / 5.0);
    EXPECT_DOUBLE_EQ(re.z(), -1.0 / std::sqrt(1.2));
    const SignRuns im = sign_runs(values, order, &Complex::im);
    EXPECT_EQ(im.z(), 0.0);
    SignRuns both = re;
    both += im;
    EXPECT_DOUBLE_EQ(both.z(), re.z());
    // the order given is the order read: reversed, the same runs
    const std::vector<std::size_t> reversed(order.rbegin(), order.rend());
    EXPECT_DOUBLE_EQ(sign_runs(values, reversed, &Complex::re).z(), re.z());
}

// 10 + 100 / (1 + jw tau) with tau = 1 / (2 pi) s, 1e4 down to 1e-2 Hz, six points per decade.
std::pair<std::vector<double>, std::vector<Complex>> one_rc() {
    std::vector<double> f;
    std::vector<Complex> z;
    for (int i = 0; i <= 36; ++i) {
        f.push_back(std::pow(10.0, 4.0 - i / 6.0));
        const std::complex<double> value = 10.0 + 100.0 / (1.0 + std::complex<double>(0.0, f.back()));
        z.push_back({value.real(), value.imag()});
    }
    return {f, z};
}

TEST(Diagnostics, KramersKronigFitRecoversAnRcOnItsGrid) {
    // seven time constants over the measured range put one at every decade, 1 Hz's included
    const auto [f, z] = one_rc();
    const auto fit = kramers_kronig_fit(f, z, {.rule = std::nullopt, .max_elements = 7, .extend_decades = 0.0});
    ASSERT_TRUE(fit);
    ASSERT_EQ(fit->resistances.size(), 7u);
    for (std::size_t k = 0; k < 7; ++k) EXPECT_NEAR(fit->resistances[k], k == 4 ? 100.0 : 0.0, 1e-8) << k;
    EXPECT_NEAR(fit->time_constants[4], 1.0 / (2.0 * std::numbers::pi), 1e-15);
    EXPECT_NEAR(fit->ohmic_resistance, 10.0, 1e-8);
    EXPECT_NEAR(fit->mu, 1.0, 1e-9);
    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_NEAR(fit->residuals[i].re, 0.0, 1e-10);
        EXPECT_NEAR(fit->residuals[i].im, 0.0, 1e-10);
    }
}

TEST(Diagnostics, KramersKronigFitTakesMoreElementsThanPoints) {
    // 12 elements on 6 points: more columns than residuals, least squares still exact
    auto [f, z] = one_rc();
    f.resize(6);
    z.resize(6);
    const auto fit = kramers_kronig_fit(f, z, {.rule = std::nullopt, .max_elements = 12});
    ASSERT_TRUE(fit);
    EXPECT_EQ(fit->time_constants.size(), 12u);
    for (std::size_t i = 0; i < f.size(); ++i) {
        EXPECT_NEAR(fit->fitted[i].re, z[i].re, 1e-6 * std::abs(z[i].re));
        EXPECT_NEAR(fit->fitted[i].im, z[i].im, 1e-6 * std::abs(z[i].re));
    }
    EXPECT_FALSE(kramers_kronig_fit(f, std::span(z).first(5), {}));
}

TEST(Diagnostics, ReferredCoefficientIsUncorrelatedWithItsExponent) {
    // covariance of (q, alpha) with ln q and alpha correlated at -0.999: the
    // coefficient at w_r, ln q + alpha ln w_r, is uncorrelated with alpha when
    // ln w_r = -cov(ln q, alpha) / var(alpha), here inside the window
    const double q = 1e-5, s_lnq = 0.5, s_alpha = 0.05, rho = -0.999;
    FitOutcome outcome;
    outcome.param_names = {"CPE1.q", "CPE1.alpha"};
    outcome.params = {q, 0.85};
    outcome.covariance = {q * q * s_lnq * s_lnq, q * rho * s_lnq * s_alpha, q * rho * s_lnq * s_alpha,
                          s_alpha * s_alpha};
    outcome.residual_count = 120;
    outcome.spectrum = *MeasuredSpectrum::check(frequencies(60), std::vector<Complex>(60, Complex{1.0, -1.0}));
    const std::vector<Bounds> bounds(2, Bounds{0.0, 1.0});
    const std::vector<std::size_t> exponents = param_carried_exponents(parse("CPE1").value());
    ASSERT_EQ(exponents, (std::vector<std::size_t>{1, no_carried_exponent}));
    const std::vector<bool> fixed;
    const JudgedCorrelation judged = judged_correlation({outcome, bounds, exponents, fixed});
    ASSERT_EQ(judged.matrix.size(), 4u);
    EXPECT_NEAR(judged.matrix[1], 0.0, 1e-9);
    const double hz = std::exp(-rho * s_lnq / s_alpha) / two_pi;
    char expected[64];
    std::snprintf(expected, sizeof expected, "CPE1.q (at %.3g Hz)", hz);
    EXPECT_EQ(judged.labels[0], expected);
}

}  // namespace
}  // namespace kelvara::diagnostics
