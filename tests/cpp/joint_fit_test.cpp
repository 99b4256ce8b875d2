// The linear algebra of the joint series fit: the projection that leaves a
// spectrum's shared columns once its own parameters have followed a step, and
// the block-arrow covariance against the dense inverse of the whole J^T J.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "fit/fit_outcome.hpp"
#include "fit/joint/joint_covariance.hpp"
#include "fit/joint/orthogonal_complement.hpp"
#include "linalg/inverse.hpp"

namespace kelvara {
namespace {

std::vector<double> random_values(std::size_t n, unsigned seed) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> out(n);
    for (double& v : out) v = uniform(engine);
    return out;
}

double dot(const double* a, const double* b, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
    return sum;
}

TEST(OrthogonalComplement, LeavesWhatNoOwnColumnExplains) {
    const std::size_t rows = 30, k = 4;
    std::vector<double> own = random_values(rows * k, 1);
    // The fourth column repeats a combination of the first two: the span has rank 3.
    for (std::size_t r = 0; r < rows; ++r) own[3 * rows + r] = 2.0 * own[r] - 0.5 * own[rows + r];
    const std::vector<double> original = own;
    std::vector<double> v = random_values(rows, 2);
    const std::vector<double> v0 = v;
    const std::size_t rank = orthonormalise(rows, k, own);
    EXPECT_EQ(rank, 3u);
    remove_span(rows, own, rank, v);
    for (std::size_t c = 0; c < k; ++c) {
        EXPECT_NEAR(dot(original.data() + c * rows, v.data(), rows), 0.0, 1e-12);
    }
    // What was removed lies in the span: v0 - v is orthogonal to the remainder.
    std::vector<double> removed(rows);
    for (std::size_t r = 0; r < rows; ++r) removed[r] = v0[r] - v[r];
    EXPECT_NEAR(dot(removed.data(), v.data(), rows), 0.0, 1e-12);
}

TEST(JointCovariance, EqualsTheDenseInverseOfTheWholeProblem) {
    // Three spectra of 12 residuals; per spectrum two own columns and one
    // shared one, placed in the middle of the block (parameter order).
    const std::size_t blocks = 3, rows = 12, columns = 3, own = 2;
    const std::vector<std::size_t> shared = {1};
    std::vector<std::vector<double>> jacobians;
    std::vector<JacobianBlock> views;
    for (std::size_t i = 0; i < blocks; ++i) jacobians.push_back(random_values(rows * columns, 10 + static_cast<unsigned>(i)));
    for (const auto& jacobian : jacobians) views.push_back({jacobian, rows});
    const double scale = 0.7;
    const auto covariances = joint_covariance(views, columns, shared, scale);
    ASSERT_TRUE(covariances.has_value());

    // The whole problem's unknowns: the shared one first, then each block's own.
    const std::size_t n = 1 + blocks * own;
    auto unknown = [&](std::size_t i, std::size_t c) { return c == 1 ? 0 : 1 + i * own + (c == 0 ? 0 : 1); };
    std::vector<double> jtj(n * n, 0.0);
    for (std::size_t i = 0; i < blocks; ++i) {
        for (std::size_t a = 0; a < columns; ++a) {
            for (std::size_t b = 0; b < columns; ++b) {
                jtj[unknown(i, a) * n + unknown(i, b)] +=
                    dot(jacobians[i].data() + a * rows, jacobians[i].data() + b * rows, rows);
            }
        }
    }
    const auto inverse = linalg::invert(jtj, n);
    ASSERT_TRUE(inverse.has_value());
    for (std::size_t i = 0; i < blocks; ++i) {
        for (std::size_t a = 0; a < columns; ++a) {
            for (std::size_t b = 0; b < columns; ++b) {
                const double expected = scale * (*inverse)[unknown(i, a) * n + unknown(i, b)];
                EXPECT_NEAR((*covariances)[i][a * columns + b], expected, 1e-10 * (1.0 + std::fabs(expected)));
            }
        }
    }
}

}  // namespace
}  // namespace kelvara
