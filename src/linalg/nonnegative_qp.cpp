#include "linalg/nonnegative_qp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/cholesky.hpp"

namespace kelvara::linalg {
namespace {

// Solves H_FF s_F = g_F on the free set, s = 0 elsewhere. False when the
// block is not positive definite (rounding on a near-singular H).
bool solve_free(const Matrix& h, std::span<const double> g, const std::vector<bool>& free,
                std::vector<std::size_t>& index, Matrix& block, std::vector<double>& s) {
    index.clear();
    for (std::size_t i = 0; i < free.size(); ++i) {
        if (free[i]) index.push_back(i);
    }
    std::fill(s.begin(), s.end(), 0.0);
    const std::size_t k = index.size();
    if (k == 0) return true;
    block.rows = block.cols = k;
    block.data.resize(k * k);
    std::vector<double> rhs(k);
    for (std::size_t a = 0; a < k; ++a) {
        rhs[a] = g[index[a]];
        for (std::size_t b = 0; b <= a; ++b) block(a, b) = h(index[a], index[b]);
    }
    if (!cholesky(block)) return false;
    cholesky_solve(block, rhs);
    for (std::size_t a = 0; a < k; ++a) s[index[a]] = rhs[a];
    return true;
}

}  // namespace

NonnegativeSolution solve_nonnegative(const Matrix& h, std::span<const double> g, std::span<const double> start) {
    const std::size_t n = g.size();
    NonnegativeSolution out;
    out.x.assign(n, 0.0);
    std::vector<bool> free(n);
    for (std::size_t i = 0; i < n; ++i) free[i] = start[i] > 0.0;
    std::vector<std::size_t> index;
    Matrix block;
    std::vector<double> s(n);

    // Shrink the starting free set until its solution is positive: a
    // feasible point with every free variable above zero.
    for (std::size_t round = 0; round <= n; ++round) {
        if (!solve_free(h, g, free, index, block, s)) return out;
        bool positive = true;
        for (std::size_t i = 0; i < n; ++i) {
            if (free[i] && !(s[i] > 0.0)) {
                free[i] = false;
                positive = false;
            }
        }
        if (positive) break;
    }
    for (std::size_t i = 0; i < n; ++i) out.x[i] = free[i] ? s[i] : 0.0;

    double g_scale = 0.0;
    for (double value : g) g_scale = std::max(g_scale, std::fabs(value));
    const double tolerance = 1e-11 * std::max(g_scale, std::numeric_limits<double>::min());
    std::vector<bool> blocked(n, false);  // entered and left at once: rounding, not progress
    std::vector<double> gradient(n);
    for (std::size_t iteration = 0; iteration < 3 * n + 10; ++iteration) {
        // The negative gradient g - H x; its largest entry on a bound enters.
        std::size_t entering = n;
        double best = tolerance;
        for (std::size_t i = 0; i < n; ++i) {
            if (free[i] || blocked[i]) continue;
            double sum = g[i];
            const auto row = h.row(i);
            for (std::size_t j = 0; j < n; ++j) sum -= row[j] * out.x[j];
            if (sum > best) {
                best = sum;
                entering = i;
            }
        }
        if (entering == n) {
            out.converged = true;
            return out;
        }
        free[entering] = true;
        bool first_step = true;
        while (true) {
            if (!solve_free(h, g, free, index, block, s)) return out;
            double step = 1.0;
            std::size_t limiting = n;
            for (std::size_t i : index) {
                if (s[i] > 0.0) continue;
                const double to_bound = out.x[i] / (out.x[i] - s[i]);
                if (to_bound < step) {
                    step = to_bound;
                    limiting = i;
                }
            }
            if (step >= 1.0) break;
            if (first_step && s[entering] <= 0.0 && step <= 0.0) {
                free[entering] = false;
                blocked[entering] = true;
                break;
            }
            first_step = false;
            for (std::size_t i : index) {
                out.x[i] += step * (s[i] - out.x[i]);
                if (i == limiting || out.x[i] <= 0.0) {
                    out.x[i] = 0.0;
                    free[i] = false;
                }
            }
        }
        if (!blocked[entering]) {
            for (std::size_t i : index) out.x[i] = s[i];
            std::fill(blocked.begin(), blocked.end(), false);
        }
    }
    return out;  // not converged: the last feasible point
}

}  // namespace kelvara::linalg
