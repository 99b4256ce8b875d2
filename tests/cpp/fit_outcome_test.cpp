// Small matrix inverses of the standard errors, and the outcome builder.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "circuit/layout.hpp"
#include "circuit/parser.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace kelvara {
namespace {

class Inverse : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Inverse, TimesTheMatrixIsTheIdentity) {
    const std::size_t n = GetParam();
    std::mt19937 engine(static_cast<unsigned>(n));
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    // A symmetric positive definite matrix, as J^T J is.
    std::vector<double> b(n * n), a(n * n, 0.0);
    for (double& v : b) v = uniform(engine);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < n; ++k) a[i * n + j] += b[k * n + i] * b[k * n + j];
        }
        a[i * n + i] += 0.1;
    }
    const auto inverse = invert(a, n);
    ASSERT_TRUE(inverse.has_value());
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < n; ++k) sum += a[i * n + k] * (*inverse)[k * n + j];
            EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-9) << n << " " << i << " " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, Inverse, ::testing::Values(1, 2, 3, 4, 5, 7));

TEST(InverseSingular, ZeroDeterminantOrPivotGivesNone) {
    for (const std::size_t n : {1u, 2u, 3u, 4u, 6u}) {
        std::vector<double> a(n * n, 1.0);  // rank one (or zero when n == 1 is set below)
        if (n == 1) a[0] = 0.0;
        EXPECT_FALSE(invert(a, n).has_value()) << n;
    }
}

TEST(BuildOutcome, ClampsCountsAndSkipsStandardErrorsWithoutDegreesOfFreedom) {
    const SeriesList circuit = std::move(parse("R0-(R1,CPE1)")).value();
    const std::vector<double> truth = {1.0, 2.0, 1e-3, 0.9};
    const std::vector<double> f = {1.0};
    std::vector<Complex> z(1);
    const FitData data = prepare_fit_data(f, z, Weighting::unit);
    EvaluationCounter counter{0};
    const FitOutcome outcome = build_outcome(circuit, std::vector<double>{1.0, 2.0, 1e-3, 1.7}, true, 3, data, counter, "");
    EXPECT_EQ(outcome.params[3], 1.0);  // clamped into [0, 1]
    EXPECT_FALSE(outcome.stderr_values.has_value());  // 2 residuals, 4 parameters
    EXPECT_EQ(outcome.impedance_evals, 1u + 2u * 4u);
    EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
    EXPECT_EQ(param_values(outcome.circuit), outcome.params);
    (void)truth;
}

}  // namespace
}  // namespace kelvara
