// The dense linear algebra against independent references: the
// eigen-decomposition against its defining identities, the non-negative QP
// against the optimality (KKT) conditions and brute force, the inverses
// against the identity, the congruence against its entries written out.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "linalg/cholesky.hpp"
#include "linalg/congruence.hpp"
#include "linalg/inverse.hpp"
#include "linalg/nonnegative_qp.hpp"
#include "linalg/symmetric_eigen.hpp"

namespace kelvara::linalg {
namespace {

// B^T B + shift I for a random B: symmetric positive definite.
Matrix random_gram(std::size_t n, unsigned seed, double shift) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> normal;
    Matrix b(n, n), a(n, n);
    for (double& v : b.data) v = normal(engine);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t k = 0; k < n; ++k) a(i, j) += b(k, i) * b(k, j);
        }
        a(i, i) += shift;
    }
    return a;
}

class Eigen : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Eigen, ProjectionKeepsTraceNormAndQuadraticForms) {
    const std::size_t n = GetParam();
    const Matrix a = random_gram(n, static_cast<unsigned>(n), 0.0);
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = std::sin(1.0 + static_cast<double>(i));
    const EigenProjection e = eigen_projection(a, y);
    ASSERT_TRUE(e.converged);
    // sum lambda = trace, sum c^2 = |y|^2, sum lambda c^2 = y^T A y, sum lambda^2 c^2 = |A y|^2.
    double trace = 0, norm = 0, quadratic = 0, image = 0, sum_l = 0, sum_c = 0, sum_lc = 0, sum_llc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        trace += a(i, i);
        norm += y[i] * y[i];
        double ay = 0;
        for (std::size_t j = 0; j < n; ++j) ay += a(i, j) * y[j];
        quadratic += y[i] * ay;
        image += ay * ay;
        const double c2 = e.coordinates[i] * e.coordinates[i];
        sum_l += e.values[i];
        sum_c += c2;
        sum_lc += e.values[i] * c2;
        sum_llc += e.values[i] * e.values[i] * c2;
    }
    EXPECT_NEAR(sum_l, trace, 1e-10 * trace);
    EXPECT_NEAR(sum_c, norm, 1e-10 * norm);
    EXPECT_NEAR(sum_lc, quadratic, 1e-9 * std::fabs(quadratic));
    EXPECT_NEAR(sum_llc, image, 1e-9 * image);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Eigen, ::testing::Values(1, 2, 3, 17, 90));

TEST(Eigen, DiagonalMatrixGivesItsEntriesAndTheVector) {
    Matrix a(3, 3);
    a(0, 0) = 3;
    a(1, 1) = -1;
    a(2, 2) = 7;
    const std::vector<double> y{1, 2, 3};
    const EigenProjection e = eigen_projection(a, y);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(e.values[i], a(i, i));
        EXPECT_DOUBLE_EQ(std::fabs(e.coordinates[i]), y[i]);
    }
}

class Nonnegative : public ::testing::TestWithParam<unsigned> {};

TEST_P(Nonnegative, SatisfiesTheOptimalityConditions) {
    const std::size_t n = 12;
    const Matrix h = random_gram(n, GetParam(), 0.01);
    std::mt19937 engine(GetParam() + 100);
    std::normal_distribution<double> normal;
    std::vector<double> g(n), start(n);
    for (double& v : g) v = 5.0 * normal(engine);
    for (double& v : start) v = normal(engine);  // any warm start, good or bad
    const NonnegativeSolution s = solve_nonnegative(h, g, start);
    ASSERT_TRUE(s.converged);
    for (std::size_t i = 0; i < n; ++i) {
        double gradient = -g[i];  // of 1/2 x^T H x - g^T x
        for (std::size_t j = 0; j < n; ++j) gradient += h(i, j) * s.x[j];
        EXPECT_GE(s.x[i], 0.0);
        if (s.x[i] > 0) {
            EXPECT_NEAR(gradient, 0.0, 1e-8);
        } else {
            EXPECT_GE(gradient, -1e-8);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Nonnegative, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

TEST(Nonnegative, MatchesBruteForceOverEveryActiveSet) {
    const std::size_t n = 5;
    const Matrix h = random_gram(n, 42, 0.1);
    const std::vector<double> g{1.0, -2.0, 0.5, 3.0, -0.1};
    auto objective = [&](const std::vector<double>& x) {
        double value = 0;
        for (std::size_t i = 0; i < n; ++i) {
            value -= g[i] * x[i];
            for (std::size_t j = 0; j < n; ++j) value += 0.5 * x[i] * h(i, j) * x[j];
        }
        return value;
    };
    double best = INFINITY;
    for (unsigned mask = 0; mask < (1u << n); ++mask) {  // solve on each free set, keep feasible ones
        std::vector<std::size_t> free;
        for (std::size_t i = 0; i < n; ++i) {
            if (mask & (1u << i)) free.push_back(i);
        }
        Matrix block(free.size(), free.size());
        std::vector<double> rhs(free.size()), x(n, 0.0);
        for (std::size_t a = 0; a < free.size(); ++a) {
            rhs[a] = g[free[a]];
            for (std::size_t b = 0; b < free.size(); ++b) block(a, b) = h(free[a], free[b]);
        }
        if (!free.empty() && (!cholesky(block) || (cholesky_solve(block, rhs), false))) continue;
        bool feasible = true;
        for (std::size_t a = 0; a < free.size(); ++a) {
            x[free[a]] = rhs[a];
            feasible = feasible && rhs[a] >= 0;
        }
        if (feasible) best = std::min(best, objective(x));
    }
    const NonnegativeSolution s = solve_nonnegative(h, g, std::vector<double>(n, 1.0));
    EXPECT_NEAR(objective(s.x), best, 1e-12 * std::fabs(best));
}

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

INSTANTIATE_TEST_SUITE_P(Sizes, Inverse, ::testing::Values(1, 2, 3, 4, 5, 7),
                         [](const auto& info) { return std::to_string(info.param) + "x" + std::to_string(info.param); });

TEST(InverseSingular, ZeroDeterminantOrPivotGivesNone) {
    for (const std::size_t n : {1u, 2u, 3u, 4u, 6u}) {
        std::vector<double> a(n * n, 1.0);  // rank one (or zero when n == 1 is set below)
        if (n == 1) a[0] = 0.0;
        EXPECT_FALSE(invert(a, n).has_value()) << n;
    }
}

TEST(Congruence, IsTheSumOfTMTOverEveryPair) {
    const std::size_t n = 3;
    const std::vector<double> t{1.0, 0.0, 2.0, -1.0, 3.0, 0.5, 0.0, 4.0, 1.0};
    const std::vector<double> m{2.0, 0.3, -0.1, 0.3, 1.0, 0.2, -0.1, 0.2, 5.0};
    const std::vector<double> out = congruence(t, m, n);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            double expected = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                for (std::size_t j = 0; j < n; ++j) expected += t[a * n + i] * m[i * n + j] * t[b * n + j];
            }
            EXPECT_NEAR(out[a * n + b], expected, 1e-12) << a << " " << b;
        }
    }
}

}  // namespace
}  // namespace kelvara::linalg
