#include "diagnostics/noise_level.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <optional>
#include <vector>

#include "circuit/evaluate.hpp"
#include "support/total_order.hpp"
#include "linalg/cholesky.hpp"

namespace kelvara::diagnostics {
namespace {

// The weighted linear least-squares problem: columns R0, jwL, 1/(jwC) when the
// capacitance is in, then one per time constant; rows the real and imaginary
// parts of Z / scale, each divided by |Z|.
struct KkProblem {
    std::vector<double> omega;
    std::vector<double> weight;  // 1 / |Z / scale|
    std::vector<Complex> scaled;  // Z / scale
    std::vector<double> tau;
    bool capacitance = false;

    std::size_t fixed_count() const { return capacitance ? 3 : 2; }
    std::size_t size() const { return fixed_count() + tau.size(); }

    // The weighted real and imaginary rows of point i.
    void rows(std::size_t i, std::span<double> re, std::span<double> im) const {
        const double w = omega[i];
        const double g = weight[i];
        re[0] = g;
        im[0] = 0.0;
        re[1] = 0.0;
        im[1] = w * g;
        if (capacitance) {
            re[2] = 0.0;
            im[2] = -g / w;
        }
        const std::size_t first = fixed_count();
        for (std::size_t k = 0; k < tau.size(); ++k) {
            // 1 / (1 + jx) = (1 - jx) / (1 + x^2)
            const double x = w * tau[k];
            const double real = g / (1.0 + x * x);
            re[first + k] = real;
            im[first + k] = -x * real;
        }
    }

    // Held non-negative: the series capacitance and the elements slower than
    // the lowest frequency.
    std::vector<bool> bounded(double omega_min) const {
        std::vector<bool> out(size(), false);
        if (capacitance) out[2] = true;
        for (std::size_t k = 0; k < tau.size(); ++k) out[fixed_count() + k] = tau[k] * omega_min > 1.0 + 1e-9;
        return out;
    }
};

// The normal equations with the columns in `dropped` held at zero, factored;
// columns scaled to unit norm, so that L (~w) and 1/C (~1/w) do not rule the
// conditioning. A system too close to singular for the factorisation gets a
// small ridge.
struct Factored {
    linalg::Matrix cholesky;
    std::vector<double> norm;
    std::vector<bool> dropped;

    // (G restricted to the kept columns)^-1 b, zero in the dropped columns.
    void solve(std::span<const double> b, std::vector<double>& x) const {
        const std::size_t n = norm.size();
        x.assign(n, 0.0);
        for (std::size_t a = 0; a < n; ++a) {
            if (!dropped[a]) x[a] = b[a] / norm[a];
        }
        linalg::cholesky_solve(cholesky, x);
        for (std::size_t a = 0; a < n; ++a) x[a] = dropped[a] ? 0.0 : x[a] / norm[a];
    }
};

// nullopt when even the largest ridge leaves the system singular.
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

// tr(G^-1 S) over the kept columns, with S symmetric (its lower triangle
// given): G is D L L^T D with D the column norms, so the trace is the sum over
// the rows m of L^-1 of m^T (D^-1 S D^-1) m. Row operations only, about n^3 / 2
// multiplications.
double trace_solved(const Factored& f, const linalg::Matrix& s) {
    const std::size_t n = f.norm.size();
    linalg::Matrix scaled(n, n), inverse(n, n);
    for (std::size_t a = 0; a < n; ++a) {
        if (f.dropped[a]) continue;
        for (std::size_t b = 0; b <= a; ++b) {
            if (f.dropped[b]) continue;
            const double value = s(a, b) / (f.norm[a] * f.norm[b]);
            scaled(a, b) = value;
            scaled(b, a) = value;
        }
    }
    double trace = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        // row k of L^-1: (e_k - sum over i < k of L(k, i) (row i)) / L(k, k)
        const auto row = inverse.row(k);
        row[k] = 1.0;
        const auto lk = f.cholesky.row(k);
        for (std::size_t i = 0; i < k; ++i) {
            const double l = lk[i];
            if (l == 0.0) continue;
            const auto ri = inverse.row(i);
            for (std::size_t j = 0; j <= i; ++j) row[j] -= l * ri[j];
        }
        const double diagonal = lk[k];
        for (std::size_t j = 0; j <= k; ++j) row[j] /= diagonal;
        for (std::size_t a = 0; a <= k; ++a) {
            const auto sa = scaled.row(a);
            double sum = 0.0;
            for (std::size_t b = 0; b <= k; ++b) sum += sa[b] * row[b];
            trace += row[a] * sum;
        }
    }
    return trace;
}

}  // namespace

std::optional<double> noise_level(std::span<const double> frequencies_hz, std::span<const Complex> impedances) {
    const std::size_t n = frequencies_hz.size();
    if (n < noise_min_points || impedances.size() != n) return std::nullopt;
    std::size_t lowest = 0;
    double f_min = frequencies_hz[0], f_max = frequencies_hz[0], log_sum = 0.0, largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double f = frequencies_hz[i];
        const double magnitude = std::hypot(impedances[i].re, impedances[i].im);
        if (!(std::isfinite(f) && f > 0.0 && std::isfinite(magnitude) && magnitude > 0.0)) return std::nullopt;
        if (f < f_min) {
            f_min = f;
            lowest = i;
        }
        f_max = std::max(f_max, f);
        log_sum += std::log(magnitude);
        largest = std::max(largest, magnitude);
    }
    // The fit runs on Z / scale, so that any impedance scale gives the same equations.
    double scale = std::exp(log_sum / static_cast<double>(n));
    if (!std::isfinite(scale) || scale == 0.0) scale = largest;

    KkProblem problem;
    const Complex tail = impedances[lowest];
    problem.capacitance = -std::atan2(tail.im, tail.re) * 180.0 / std::numbers::pi > capacitive_tail_degrees;
    problem.omega.resize(n);
    problem.weight.resize(n);
    problem.scaled.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        problem.omega[i] = two_pi * frequencies_hz[i];
        const Complex scaled = (1.0 / scale) * impedances[i];
        problem.scaled[i] = scaled;
        problem.weight[i] = 1.0 / std::sqrt(scaled.re * scaled.re + scaled.im * scaled.im);
        // a spectrum spanning more than ~300 decades of |Z| overflows here
        if (!(std::isfinite(problem.weight[i]) && problem.weight[i] > 0.0)) return std::nullopt;
    }
    const double decades = std::log10(f_max / f_min) + 2.0 * noise_extend_decades;
    const auto count = static_cast<std::size_t>(
        std::clamp(std::ceil(noise_elements_per_decade * decades), 1.0, static_cast<double>(n)));
    // With a series capacitance the slow end is not widened: elements just below
    // the range would add only a real part falling off as 1/w^2.
    const double log_fast = -std::log10(two_pi * f_max) - noise_extend_decades;
    const double log_slow = -std::log10(two_pi * f_min) + (problem.capacitance ? 0.0 : noise_extend_decades);
    problem.tau.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        const double fraction = count == 1 ? 0.5 : static_cast<double>(k) / static_cast<double>(count - 1);
        problem.tau[k] = std::pow(10.0, log_fast + (log_slow - log_fast) * fraction);
    }

    const std::size_t size = problem.size();
    // J^T J and J^T b, accumulated over blocks of `block` points: each entry of
    // the triangle is loaded and stored once per block instead of once per point.
    constexpr std::size_t block = 4;
    linalg::Matrix gram(size, size);
    std::vector<double> rhs(size, 0.0), re(block * size), im(block * size);
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
            problem.rows(i, re_k, im_k);
            target_re[k] = problem.scaled[i].re * problem.weight[i];
            target_im[k] = problem.scaled[i].im * problem.weight[i];
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
            const auto row = gram.row(a);
            const double a0 = r0[a], a1 = r1[a], a2 = r2[a], a3 = r3[a];
            const double c0 = i0[a], c1 = i1[a], c2 = i2[a], c3 = i3[a];
            for (std::size_t b = 0; b <= a; ++b) {
                row[b] += (a0 * r0[b] + c0 * i0[b]) + (a1 * r1[b] + c1 * i1[b]) + (a2 * r2[b] + c2 * i2[b]) +
                          (a3 * r3[b] + c3 * i3[b]);
            }
            rhs[a] += (a0 * target_re[0] + c0 * target_im[0]) + (a1 * target_re[1] + c1 * target_im[1]) +
                      (a2 * target_re[2] + c2 * target_im[2]) + (a3 * target_re[3] + c3 * target_im[3]);
        }
    }
    std::vector<bool> dropped(size, false);
    std::vector<bool> held = problem.bounded(two_pi * f_min);
    std::optional<Factored> system = factored(gram, dropped);
    if (!system) return std::nullopt;
    std::vector<double> coef;
    system->solve(rhs, coef);
    // Active set: negative bounded coefficients are held at zero and the rest
    // solved again, a round or two.
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
        system = factored(gram, dropped);
        if (!system) return std::nullopt;
        system->solve(rhs, coef);
    }

    // The differences of neighbouring residuals, and (below the diagonal) the
    // sum of the outer products of the differences of neighbouring rows: what
    // the fit takes out of the differences of white scatter.
    const std::vector<std::size_t> order = ascending_order(frequencies_hz);
    linalg::Matrix spread(size, size);
    std::vector<double> previous_re(size), previous_im(size), d_re(size), d_im(size);
    double sum = 0.0;
    Complex previous{};
    for (std::size_t step = 0; step < n; ++step) {
        const std::size_t i = order[step];
        problem.rows(i, re, im);
        Complex residual{problem.scaled[i].re * problem.weight[i], problem.scaled[i].im * problem.weight[i]};
        for (std::size_t a = 0; a < size; ++a) {
            residual.re -= re[a] * coef[a];
            residual.im -= im[a] * coef[a];
        }
        if (step > 0) {
            const Complex d = residual - previous;
            sum += d.re * d.re + d.im * d.im;
            for (std::size_t a = 0; a < size; ++a) {
                d_re[a] = re[a] - previous_re[a];
                d_im[a] = im[a] - previous_im[a];
            }
            for (std::size_t a = 0; a < size; ++a) {
                const double x = d_re[a], y = d_im[a];
                const auto row = spread.row(a);
                for (std::size_t b = 0; b <= a; ++b) row[b] += x * d_re[b] + y * d_im[b];
            }
        }
        previous = residual;
        std::copy_n(re.begin(), size, previous_re.begin());
        std::copy_n(im.begin(), size, previous_im.begin());
    }
    // White scatter of deviation s in each part gives E[sum] = s^2 (4 (n - 1) -
    // tr(G^-1 S)), with G the normal matrix of the kept columns and S the
    // matrix above: without that term the estimate runs low by up to a tenth
    // at five points per decade, where the fit has a column for every two points.
    const double taken = trace_solved(*system, spread);
    const double differences = 4.0 * static_cast<double>(n - 1);
    // held to at most half the differences: beyond that the grid has nearly a
    // column per residual and the rest says little about the scatter
    const double expected = differences - std::clamp(taken, 0.0, 0.5 * differences);
    const double noise = std::sqrt(sum / expected);
    if (!std::isfinite(noise)) return std::nullopt;
    return noise;
}

}  // namespace kelvara::diagnostics
