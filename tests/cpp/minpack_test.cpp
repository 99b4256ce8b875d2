// The Levenberg-Marquardt routines on problems with published or
// closed-form answers (Moré, Garbow and Hillstrom, "Testing unconstrained
// optimization software", ACM TOMS 7, 1981).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "fit/minpack/minpack.hpp"

namespace kelvara::minpack {
namespace {

// A problem given by residual and Jacobian functions of x.
class FunctionProblem final : public LeastSquaresProblem {
public:
    using Residuals = std::function<void(const std::vector<double>&, std::span<double>)>;
    using Jacobian = std::function<void(const std::vector<double>&, std::span<double>)>;  // column-major

    FunctionProblem(std::size_t m, std::vector<double> x0, Residuals r, Jacobian j)
        : m_(m), x_(std::move(x0)), r_(std::move(r)), j_(std::move(j)) {}

    std::size_t param_count() const override { return x_.size(); }
    std::size_t residual_count() const override { return m_; }
    void set_x(std::span<const double> x) override { x_.assign(x.begin(), x.end()); }
    std::span<const double> x() const override { return x_; }
    void residuals(std::span<double> out) override {
        ++residual_calls;
        r_(x_, out);
    }
    void jacobian(std::span<double> out) override { j_(x_, out); }

    std::size_t residual_calls = 0;

private:
    std::size_t m_;
    std::vector<double> x_;
    Residuals r_;
    Jacobian j_;
};

LmderSettings tight(std::uint64_t patience = 200) {
    return {1e-10, 1e-10, 0.0, 100.0, patience};
}

double sum_of_squares(FunctionProblem& problem) {
    std::vector<double> r(problem.residual_count());
    problem.residuals(r);
    double s = 0.0;
    for (const double v : r) s += v * v;
    return s;
}

FunctionProblem rosenbrock() {
    return FunctionProblem(
        2, {-1.2, 1.0},
        [](const auto& x, std::span<double> r) {
            r[0] = 10.0 * (x[1] - x[0] * x[0]);
            r[1] = 1.0 - x[0];
        },
        [](const auto& x, std::span<double> j) {
            j[0] = -20.0 * x[0];
            j[1] = -1.0;
            j[2] = 10.0;
            j[3] = 0.0;
        });
}

TEST(Lmder, Rosenbrock) {
    FunctionProblem p = rosenbrock();
    const LmderResult result = lmder(p, tight());
    EXPECT_TRUE(result.success());
    EXPECT_NEAR(p.x()[0], 1.0, 1e-9);
    EXPECT_NEAR(p.x()[1], 1.0, 1e-9);
    EXPECT_EQ(result.evaluations, p.residual_calls);
}

TEST(Lmder, HelicalValley) {
    const double pi = 3.141592653589793;
    auto theta = [pi](double a, double b) { return (a > 0 ? std::atan(b / a) : std::atan(b / a) + pi) / (2 * pi); };
    FunctionProblem p(
        3, {-1.0, 0.0, 0.0},
        [&](const auto& x, std::span<double> r) {
            r[0] = 10.0 * (x[2] - 10.0 * theta(x[0], x[1]));
            r[1] = 10.0 * (std::sqrt(x[0] * x[0] + x[1] * x[1]) - 1.0);
            r[2] = x[2];
        },
        [&](const auto& x, std::span<double> j) {
            const double s = x[0] * x[0] + x[1] * x[1];
            const double t = 100.0 / (2 * pi * s);
            const double root = std::sqrt(s);
            j[0] = t * x[1];
            j[1] = 10.0 * x[0] / root;
            j[2] = 0.0;
            j[3] = -t * x[0];
            j[4] = 10.0 * x[1] / root;
            j[5] = 0.0;
            j[6] = 10.0;
            j[7] = 0.0;
            j[8] = 1.0;
        });
    EXPECT_TRUE(lmder(p, tight()).success());
    EXPECT_NEAR(p.x()[0], 1.0, 1e-8);
    EXPECT_NEAR(p.x()[1], 0.0, 1e-8);
    EXPECT_NEAR(p.x()[2], 0.0, 1e-8);
}

TEST(Lmder, BardPublishedMinimum) {
    const double y[15] = {0.14, 0.18, 0.22, 0.25, 0.29, 0.32, 0.35, 0.39, 0.37, 0.58, 0.73, 0.96, 1.34, 2.10, 4.39};
    FunctionProblem p(
        15, {1.0, 1.0, 1.0},
        [&](const auto& x, std::span<double> r) {
            for (int i = 0; i < 15; ++i) {
                const double u = i + 1, v = 15 - i, w = std::min(u, v);
                r[static_cast<std::size_t>(i)] = y[i] - (x[0] + u / (v * x[1] + w * x[2]));
            }
        },
        [&](const auto& x, std::span<double> j) {
            for (int i = 0; i < 15; ++i) {
                const double u = i + 1, v = 15 - i, w = std::min(u, v);
                const double d = v * x[1] + w * x[2];
                const auto k = static_cast<std::size_t>(i);
                j[k] = -1.0;
                j[15 + k] = u * v / (d * d);
                j[30 + k] = u * w / (d * d);
            }
        });
    EXPECT_TRUE(lmder(p, tight()).success());
    EXPECT_NEAR(sum_of_squares(p), 8.21487e-3, 1e-8);
}

TEST(Lmder, KowalikOsbornePublishedMinimum) {
    const double y[11] = {0.1957, 0.1947, 0.1735, 0.16, 0.0844, 0.0627, 0.0456, 0.0342, 0.0323, 0.0235, 0.0246};
    const double u[11] = {4.0, 2.0, 1.0, 0.5, 0.25, 0.167, 0.125, 0.1, 0.0833, 0.0714, 0.0625};
    FunctionProblem p(
        11, {0.25, 0.39, 0.415, 0.39},
        [&](const auto& x, std::span<double> r) {
            for (std::size_t i = 0; i < 11; ++i) {
                r[i] = y[i] - x[0] * (u[i] * u[i] + u[i] * x[1]) / (u[i] * u[i] + u[i] * x[2] + x[3]);
            }
        },
        [&](const auto& x, std::span<double> j) {
            for (std::size_t i = 0; i < 11; ++i) {
                const double num = u[i] * u[i] + u[i] * x[1];
                const double den = u[i] * u[i] + u[i] * x[2] + x[3];
                j[i] = -num / den;
                j[11 + i] = -x[0] * u[i] / den;
                j[22 + i] = x[0] * num * u[i] / (den * den);
                j[33 + i] = x[0] * num / (den * den);
            }
        });
    EXPECT_TRUE(lmder(p, tight()).success());
    EXPECT_NEAR(sum_of_squares(p), 3.07505e-4, 1e-9);
}

TEST(Lmder, LinearFullRankHasClosedFormMinimum) {
    // f_i = x_i - (2/m) sum x - 1 (i < n), f_i = -(2/m) sum x - 1 (i >= n): minimum at x = -1, sum f^2 = m - n.
    const std::size_t m = 10, n = 5;
    FunctionProblem p(
        m, std::vector<double>(n, 1.0),
        [&](const auto& x, std::span<double> r) {
            double sum = 0.0;
            for (const double v : x) sum += v;
            for (std::size_t i = 0; i < m; ++i) r[i] = (i < n ? x[i] : 0.0) - 2.0 * sum / m - 1.0;
        },
        [&](const auto&, std::span<double> j) {
            for (std::size_t c = 0; c < n; ++c) {
                for (std::size_t i = 0; i < m; ++i) j[c * m + i] = (i == c ? 1.0 : 0.0) - 2.0 / m;
            }
        });
    EXPECT_TRUE(lmder(p, tight()).success());
    for (const double v : p.x()) EXPECT_NEAR(v, -1.0, 1e-9);
    EXPECT_NEAR(sum_of_squares(p), double(m - n), 1e-9);
}

TEST(Lmder, FewerResidualsThanParameters) {
    FunctionProblem p(
        1, {0.0, 0.0},
        [](const auto& x, std::span<double> r) { r[0] = x[0] + 2.0 * x[1] - 3.0; },
        [](const auto&, std::span<double> j) {
            j[0] = 1.0;
            j[1] = 2.0;
        });
    EXPECT_TRUE(lmder(p, tight()).success());
    EXPECT_NEAR(p.x()[0] + 2.0 * p.x()[1], 3.0, 1e-12);
}

TEST(Lmder, ZeroResidualAtStartEndsAfterOneEvaluation) {
    FunctionProblem p(
        1, {2.0}, [](const auto& x, std::span<double> r) { r[0] = x[0] - 2.0; },
        [](const auto&, std::span<double> j) { j[0] = 1.0; });
    const LmderResult result = lmder(p, tight());
    EXPECT_EQ(result.status, LmderStatus::residuals_zero);
    EXPECT_EQ(result.evaluations, 1u);
}

TEST(Lmder, BudgetIsPatienceTimesParametersPlusOne) {
    FunctionProblem p = rosenbrock();
    const LmderResult result = lmder(p, tight(1));
    EXPECT_EQ(result.status, LmderStatus::lost_patience);
    EXPECT_EQ(result.evaluations, 3u);
}

// y = a exp(-k t) in log coordinates (a = 10^x0, k = 10^x1): from this start
// two trial points overflow. scipy.optimize.leastsq (MINPACK's lmder, analytic
// Jacobian, factor 100, the same tolerances) rejects them, shrinks the trust
// region and converges after 43 residual evaluations.
TEST(Lmder, NonFiniteTrialPointIsARejectedStep) {
    std::size_t non_finite = 0;
    FunctionProblem p(
        6, {-3.0, 0.5},
        [&](const auto& x, std::span<double> r) {
            const double a = std::pow(10.0, x[0]), k = std::pow(10.0, x[1]);
            for (std::size_t i = 0; i < 6; ++i) {
                const double t = static_cast<double>(i);
                r[i] = a * std::exp(-k * t) - 3.0 * std::exp(-0.7 * t);
                if (!std::isfinite(r[i])) ++non_finite;
            }
        },
        [](const auto& x, std::span<double> j) {
            const double a = std::pow(10.0, x[0]), k = std::pow(10.0, x[1]), ln10 = std::log(10.0);
            for (std::size_t i = 0; i < 6; ++i) {
                const double t = static_cast<double>(i), e = std::exp(-k * t);
                j[i] = a * ln10 * e;
                j[i + 6] = -a * k * t * ln10 * e;
            }
        });
    const LmderResult result = lmder(p, tight());
    EXPECT_TRUE(result.success());
    EXPECT_GT(non_finite, 0u);
    EXPECT_EQ(result.evaluations, 43u);
    EXPECT_NEAR(p.x()[0], std::log10(3.0), 1e-9);
    EXPECT_NEAR(p.x()[1], std::log10(0.7), 1e-9);
}

TEST(Lmder, NonFiniteJacobianEndsTheRunUnsuccessfully) {
    FunctionProblem p(
        1, {1.0}, [](const auto& x, std::span<double> r) { r[0] = x[0] - 2.0; },
        [](const auto&, std::span<double> j) { j[0] = std::nan(""); });
    const LmderResult result = lmder(p, tight());
    EXPECT_EQ(result.status, LmderStatus::numerical_failure);
    EXPECT_EQ(p.x()[0], 1.0);
}

TEST(Enorm, NeitherOverflowsNorUnderflows) {
    EXPECT_DOUBLE_EQ(enorm(std::vector<double>{3e200, 4e200}), 5e200);
    EXPECT_DOUBLE_EQ(enorm(std::vector<double>{3e-200, 4e-200}), 5e-200);
    EXPECT_DOUBLE_EQ(enorm(std::vector<double>{3.0, 4.0}), 5.0);
    EXPECT_EQ(enorm(std::vector<double>{}), 0.0);
    EXPECT_DOUBLE_EQ(enorm(std::vector<double>{1e-30, 1e30, 1.0}), 1e30);
}

TEST(Qrfac, FactorsThePivotedMatrix) {
    const std::size_t m = 6, n = 4;
    std::mt19937 engine(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> a(m * n);
    for (double& v : a) v = uniform(engine);
    std::vector<double> work = a, rdiag(n), acnorm(n), wa(n);
    std::vector<std::size_t> ipvt(n);
    qrfac(m, n, work, m, ipvt, rdiag, acnorm, wa);
    // |R_jj| is non-increasing with pivoting, and R^T R = (A P)^T (A P).
    for (std::size_t j = 1; j < n; ++j) EXPECT_LE(std::fabs(rdiag[j]), std::fabs(rdiag[j - 1]) + 1e-12);
    auto r_at = [&](std::size_t i, std::size_t j) { return i == j ? rdiag[j] : (i < j ? work[i + j * m] : 0.0); };
    for (std::size_t p = 0; p < n; ++p) {
        for (std::size_t q = 0; q < n; ++q) {
            double rtr = 0.0, ata = 0.0;
            for (std::size_t k = 0; k < n; ++k) rtr += r_at(k, p) * r_at(k, q);
            for (std::size_t i = 0; i < m; ++i) ata += a[i + ipvt[p] * m] * a[i + ipvt[q] * m];
            EXPECT_NEAR(rtr, ata, 1e-12);
        }
    }
}

}  // namespace
}  // namespace kelvara::minpack
