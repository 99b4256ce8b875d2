#include "fit/joint/joint_covariance.hpp"

#include <algorithm>

#include "fit/fit_outcome.hpp"
#include "linalg/inverse.hpp"

namespace kelvara {
namespace {

double dot(const double* a, const double* b, std::size_t n) {
    double sum = 0.0;
    for (std::size_t r = 0; r < n; ++r) sum += a[r] * b[r];
    return sum;
}

}  // namespace

std::optional<std::vector<std::vector<double>>> joint_covariance(std::span<const JacobianBlock> blocks,
                                                                 std::size_t columns,
                                                                 std::span<const std::size_t> shared, double scale) {
    std::vector<std::size_t> own;
    for (std::size_t c = 0; c < columns; ++c) {
        if (std::find(shared.begin(), shared.end(), c) == shared.end()) own.push_back(c);
    }
    const std::size_t k = own.size(), s = shared.size();
    // Per block: A = own columns, B = shared ones; (A^T A)^-1 and M = (A^T A)^-1 A^T B.
    std::vector<std::vector<double>> own_inverse, m;
    std::vector<double> schur(s * s, 0.0);
    for (const JacobianBlock& block : blocks) {
        auto column = [&](std::size_t c) { return block.values.data() + c * block.rows; };
        std::vector<double> aa(k * k), ab(k * s);
        for (std::size_t a = 0; a < k; ++a) {
            for (std::size_t b = 0; b <= a; ++b) aa[a * k + b] = aa[b * k + a] = dot(column(own[a]), column(own[b]), block.rows);
            for (std::size_t t = 0; t < s; ++t) ab[a * s + t] = dot(column(own[a]), column(shared[t]), block.rows);
        }
        auto inverse = linalg::invert(aa, k);
        if (!inverse) return std::nullopt;
        std::vector<double> mi(k * s, 0.0);
        for (std::size_t a = 0; a < k; ++a) {
            for (std::size_t t = 0; t < s; ++t) {
                for (std::size_t b = 0; b < k; ++b) mi[a * s + t] += (*inverse)[a * k + b] * ab[b * s + t];
            }
        }
        for (std::size_t t = 0; t < s; ++t) {
            for (std::size_t u = 0; u < s; ++u) {
                double entry = dot(column(shared[t]), column(shared[u]), block.rows);
                for (std::size_t a = 0; a < k; ++a) entry -= ab[a * s + t] * mi[a * s + u];
                schur[t * s + u] += entry;
            }
        }
        own_inverse.push_back(std::move(*inverse));
        m.push_back(std::move(mi));
    }
    auto shared_inverse = linalg::invert(schur, s);
    if (!shared_inverse) return std::nullopt;
    const std::vector<double>& cs = *shared_inverse;

    std::vector<std::vector<double>> out;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::vector<double>& mi = m[i];
        std::vector<double> mc(k * s, 0.0);  // M C_ss
        for (std::size_t a = 0; a < k; ++a) {
            for (std::size_t t = 0; t < s; ++t) {
                for (std::size_t u = 0; u < s; ++u) mc[a * s + t] += mi[a * s + u] * cs[u * s + t];
            }
        }
        std::vector<double> cov(columns * columns, 0.0);
        auto at = [&](std::size_t r, std::size_t c) -> double& { return cov[r * columns + c]; };
        for (std::size_t a = 0; a < k; ++a) {
            for (std::size_t b = 0; b < k; ++b) {
                double entry = own_inverse[i][a * k + b];
                for (std::size_t t = 0; t < s; ++t) entry += mc[a * s + t] * mi[b * s + t];
                at(own[a], own[b]) = scale * entry;
            }
            for (std::size_t t = 0; t < s; ++t) at(own[a], shared[t]) = at(shared[t], own[a]) = -scale * mc[a * s + t];
        }
        for (std::size_t t = 0; t < s; ++t) {
            for (std::size_t u = 0; u < s; ++u) at(shared[t], shared[u]) = scale * cs[t * s + u];
        }
        out.push_back(std::move(cov));
    }
    return out;
}

}  // namespace kelvara
