#include "diagnostics/kk_normal_equations.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kelvara::diagnostics {

NormalEquations normal_equations(const KkProblem& problem, std::span<const double> tau) {
    const std::size_t n = problem.points();
    const std::size_t size = problem.fixed_count() + tau.size();
    // Accumulated over blocks of `block` points: each entry of the triangle is
    // loaded and stored once per block instead of once per point.
    constexpr std::size_t block = 4;
    NormalEquations out{linalg::Matrix(size, size), std::vector<double>(size, 0.0)};
    std::vector<double> re(block * size), im(block * size);
    for (std::size_t start = 0; start < n; start += block) {
        std::array<double, block> target_re{}, target_im{};
        for (std::size_t k = 0; k < block; ++k) {
            const std::span<double> re_k(re.data() + k * size, size), im_k(im.data() + k * size, size);
            if (start + k >= n) {  // past the end: rows of zeros
                std::fill(re_k.begin(), re_k.end(), 0.0);
                std::fill(im_k.begin(), im_k.end(), 0.0);
                continue;
            }
            const std::size_t i = start + k;
            problem.rows(i, tau, re_k, im_k);
            target_re[k] = problem.target[i].re;
            target_im[k] = problem.target[i].im;
        }
        const double* r0 = re.data();
        const double* r1 = r0 + size;
        const double* r2 = r1 + size;
        const double* r3 = r2 + size;
        const double* i0 = im.data();
        const double* i1 = i0 + size;
        const double* i2 = i1 + size;
        const double* i3 = i2 + size;
        for (std::size_t a = 0; a < size; ++a) {
            const auto row = out.gram.row(a);
            const double a0 = r0[a], a1 = r1[a], a2 = r2[a], a3 = r3[a];
            const double c0 = i0[a], c1 = i1[a], c2 = i2[a], c3 = i3[a];
            for (std::size_t b = 0; b <= a; ++b) {
                row[b] += (a0 * r0[b] + c0 * i0[b]) + (a1 * r1[b] + c1 * i1[b]) + (a2 * r2[b] + c2 * i2[b]) +
                          (a3 * r3[b] + c3 * i3[b]);
            }
            out.rhs[a] += (a0 * target_re[0] + c0 * target_im[0]) + (a1 * target_re[1] + c1 * target_im[1]) +
                          (a2 * target_re[2] + c2 * target_im[2]) + (a3 * target_re[3] + c3 * target_im[3]);
        }
    }
    return out;
}

void Factored::solve(std::span<const double> b, std::vector<double>& x) const {
    const std::size_t n = norm.size();
    x.assign(n, 0.0);
    for (std::size_t a = 0; a < n; ++a) {
        if (!dropped[a]) x[a] = b[a] / norm[a];
    }
    linalg::cholesky_solve(cholesky, x);
    for (std::size_t a = 0; a < n; ++a) x[a] = dropped[a] ? 0.0 : x[a] / norm[a];
}

std::optional<Factored> factored(const linalg::Matrix& gram, const std::vector<bool>& dropped) {
    const std::size_t n = gram.rows;
    Factored out{linalg::Matrix(n, n), std::vector<double>(n, 1.0), dropped};
    for (std::size_t a = 0; a < n; ++a) {
        if (gram(a, a) > 0.0) {
            out.norm[a] = std::sqrt(gram(a, a));
        } else {
            out.dropped[a] = true;  // an empty column: its coefficient is zero
        }
    }
    for (double ridge = 0.0; ridge <= 1e-6; ridge = ridge == 0.0 ? 1e-12 : ridge * 1e3) {
        linalg::Matrix& system = out.cholesky;
        std::fill(system.data.begin(), system.data.end(), 0.0);
        for (std::size_t a = 0; a < n; ++a) {
            if (out.dropped[a]) {
                system(a, a) = 1.0;  // decoupled
                continue;
            }
            for (std::size_t b = 0; b <= a; ++b) {
                if (!out.dropped[b]) system(a, b) = gram(a, b) / (out.norm[a] * out.norm[b]);
            }
            system(a, a) += ridge;
        }
        if (linalg::cholesky(system)) return out;
    }
    return std::nullopt;
}

std::optional<BoundedSolution> bounded_solve(const KkProblem& problem, std::span<const double> tau,
                                             const NormalEquations& equations) {
    const std::size_t size = equations.rhs.size();
    std::vector<bool> dropped(size, false);
    std::vector<bool> held = problem.bounded(tau);
    std::optional<Factored> system = factored(equations.gram, dropped);
    if (!system) return std::nullopt;
    std::vector<double> coef;
    system->solve(equations.rhs, coef);
    for (bool changed = true; changed;) {
        changed = false;
        for (std::size_t a = 0; a < size; ++a) {
            if (held[a] && coef[a] < 0.0) {
                held[a] = false;
                dropped[a] = true;
                changed = true;
            }
        }
        if (!changed) break;
        system = factored(equations.gram, dropped);
        if (!system) return std::nullopt;
        system->solve(equations.rhs, coef);
    }
    return BoundedSolution{std::move(coef), std::move(*system)};
}

}  // namespace kelvara::diagnostics
