#include "drt/zarc_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "linalg/cholesky.hpp"

namespace kelvara::drt {

using linalg::Matrix;
using linalg::cholesky;
using linalg::cholesky_solve;

namespace {

constexpr int most_iterations = 200;
constexpr int most_damping_increases = 12;
constexpr double half_pi = 0.5 * std::numbers::pi;

double modulus(Complex z) { return std::hypot(z.re, z.im); }

// One ZARC at ln(w) and its derivatives by ln tau and alpha. With
// u = (i w tau)^alpha: Z = R / (1 + u), dZ/d ln tau = -R alpha u / (1 + u)^2,
// dZ/d alpha = -R u (ln(w tau) + i pi/2) / (1 + u)^2. For w tau > 1 the same
// through 1/u, so that nothing overflows far from the peak.
struct ZarcTerms {
    Complex value;
    Complex by_ln_tau;
    Complex by_alpha;
};

ZarcTerms zarc_terms(double ln_w, const PeakShape& shape) {
    const double x = ln_w + shape.ln_tau;
    const double size = std::exp(-shape.alpha * std::fabs(x));
    const double phase = shape.alpha * half_pi;
    const Complex one{1.0, 0.0};
    // v = u when x <= 0, 1/u otherwise; u / (1 + u)^2 = v / (1 + v)^2 either way.
    const Complex v{size * std::cos(phase), (x > 0.0 ? -1.0 : 1.0) * size * std::sin(phase)};
    const Complex denominator = one + v;
    const Complex fraction = one / denominator;  // 1 / (1 + v)
    const Complex q = v * fraction * fraction;
    ZarcTerms terms;
    terms.value = shape.resistance * (x > 0.0 ? v * fraction : fraction);
    terms.by_ln_tau = -shape.resistance * shape.alpha * q;
    terms.by_alpha = -shape.resistance * (q * Complex{x, half_pi});
    return terms;
}

// Parameters: R_inf, [L], then ln R, ln tau, alpha per peak.
struct Layout {
    std::size_t series = 0;
    std::size_t count = 0;
    std::size_t peaks = 0;
};

struct Bounds {
    std::vector<double> low, high;
};

Bounds parameter_bounds(const Layout& layout) {
    constexpr double unbounded = std::numeric_limits<double>::infinity();
    Bounds bounds{std::vector<double>(layout.count, -unbounded), std::vector<double>(layout.count, unbounded)};
    for (std::size_t s = 0; s < layout.series; ++s) bounds.low[s] = 0.0;
    for (std::size_t k = 0; k < layout.peaks; ++k) {
        bounds.low[layout.series + 3 * k + 2] = smallest_alpha;
        bounds.high[layout.series + 3 * k + 2] = 1.0;
    }
    return bounds;
}

class Model {
public:
    Model(const PeakFitProblem& problem, const Layout& layout)
        : problem_(problem), layout_(layout), ln_w_(problem.angular.size()), weight_(problem.angular.size()),
          shapes_(layout.peaks) {
        for (std::size_t i = 0; i < ln_w_.size(); ++i) {
            ln_w_[i] = std::log(problem.angular[i]);
            weight_[i] = 1.0 / modulus(problem.measured[i]);
        }
    }

    // Residuals (model - measured) / |measured|, real parts then imaginary;
    // with `jacobian`, also their derivatives (rows as residuals).
    double residuals(std::span<const double> theta, std::span<double> out, Matrix* jacobian) {
        const std::size_t n = ln_w_.size();
        unpack(theta);
        const double inductance = layout_.series > 1 ? theta[1] : 0.0;
        double cost = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            Complex z = problem_.background.empty() ? Complex{} : problem_.background[i];
            z += Complex{theta[0], problem_.angular[i] * inductance};
            const double w = weight_[i];
            for (std::size_t k = 0; k < layout_.peaks; ++k) {
                const ZarcTerms terms = zarc_terms(ln_w_[i], shapes_[k]);
                z += terms.value;
                if (jacobian == nullptr) continue;
                const std::size_t column = layout_.series + 3 * k;
                const Complex by[3] = {terms.value, terms.by_ln_tau, terms.by_alpha};
                for (std::size_t c = 0; c < 3; ++c) {
                    (*jacobian)(i, column + c) = by[c].re * w;
                    (*jacobian)(n + i, column + c) = by[c].im * w;
                }
            }
            if (jacobian != nullptr) {
                (*jacobian)(i, 0) = w;
                (*jacobian)(n + i, 0) = 0.0;
                if (layout_.series > 1) {
                    (*jacobian)(i, 1) = 0.0;
                    (*jacobian)(n + i, 1) = problem_.angular[i] * w;
                }
            }
            out[i] = (z.re - problem_.measured[i].re) * w;
            out[n + i] = (z.im - problem_.measured[i].im) * w;
            cost += out[i] * out[i] + out[n + i] * out[n + i];
        }
        return cost;
    }

    const std::vector<PeakShape>& shapes(std::span<const double> theta) {
        unpack(theta);
        return shapes_;
    }

private:
    void unpack(std::span<const double> theta) {
        for (std::size_t k = 0; k < layout_.peaks; ++k) {
            const std::size_t at = layout_.series + 3 * k;
            shapes_[k] = PeakShape{theta[at + 1], std::exp(theta[at]), theta[at + 2]};
        }
    }

    const PeakFitProblem& problem_;
    Layout layout_;
    std::vector<double> ln_w_;
    std::vector<double> weight_;
    std::vector<PeakShape> shapes_;
};

}  // namespace

PeakFit fit_peak_shapes(const PeakFitProblem& problem, std::span<const PeakShape> seeds) {
    Layout layout;
    layout.series = problem.fit_inductance ? 2 : 1;
    layout.peaks = seeds.size();
    layout.count = layout.series + 3 * layout.peaks;
    const std::size_t p = layout.count;
    const std::size_t rows = 2 * problem.angular.size();
    const Bounds bounds = parameter_bounds(layout);

    std::vector<double> theta(p), trial(p), step(p), gradient(p);
    theta[0] = std::max(problem.r_inf, 0.0);
    if (problem.fit_inductance) theta[1] = std::max(problem.inductance, 0.0);
    for (std::size_t k = 0; k < seeds.size(); ++k) {
        const std::size_t at = layout.series + 3 * k;
        theta[at] = std::log(seeds[k].resistance);
        theta[at + 1] = seeds[k].ln_tau;
        theta[at + 2] = std::clamp(seeds[k].alpha, smallest_alpha, 1.0);
    }
    Model model(problem, layout);
    Matrix jacobian(rows, p), normal(p, p), system(p, p);
    std::vector<double> residual(rows), trial_residual(rows);
    std::vector<bool> held(p);
    std::vector<std::size_t> free_index;
    free_index.reserve(p);

    PeakFit fit;
    double cost = model.residuals(theta, residual, &jacobian);
    double damping = 1e-3;
    for (int iteration = 0; iteration < most_iterations && std::isfinite(cost); ++iteration) {
        // Gauss-Newton system J^T J, J^T r; parameters on a bound that the
        // descent direction pushes outwards stay there this step.
        for (std::size_t a = 0; a < p; ++a) {
            double g = 0.0;
            for (std::size_t r = 0; r < rows; ++r) g += jacobian(r, a) * residual[r];
            gradient[a] = g;
            for (std::size_t b = 0; b <= a; ++b) {
                double sum = 0.0;
                for (std::size_t r = 0; r < rows; ++r) sum += jacobian(r, a) * jacobian(r, b);
                normal(a, b) = normal(b, a) = sum;
            }
        }
        free_index.clear();
        for (std::size_t a = 0; a < p; ++a) {
            held[a] = (theta[a] <= bounds.low[a] && gradient[a] > 0.0) ||
                      (theta[a] >= bounds.high[a] && gradient[a] < 0.0);
            if (!held[a]) free_index.push_back(a);
        }
        bool accepted = false;
        double trial_cost = cost;
        for (int attempt = 0; attempt < most_damping_increases && !accepted; ++attempt) {
            const std::size_t f = free_index.size();
            system.rows = system.cols = f;
            for (std::size_t a = 0; a < f; ++a) {
                for (std::size_t b = 0; b < f; ++b) system(a, b) = normal(free_index[a], free_index[b]);
                const double diagonal = normal(free_index[a], free_index[a]);
                system(a, a) += damping * (diagonal > 0.0 ? diagonal : 1.0);
                step[a] = -gradient[free_index[a]];
            }
            if (!cholesky(system)) {
                damping *= 4.0;
                continue;
            }
            cholesky_solve(system, std::span<double>(step.data(), f));
            trial = theta;
            for (std::size_t a = 0; a < f; ++a) {
                const std::size_t at = free_index[a];
                trial[at] = std::clamp(theta[at] + step[a], bounds.low[at], bounds.high[at]);
            }
            trial_cost = model.residuals(trial, trial_residual, nullptr);
            if (std::isfinite(trial_cost) && trial_cost < cost) {
                accepted = true;
                damping = std::max(damping / 3.0, 1e-12);
            } else {
                damping *= 4.0;
            }
        }
        system.rows = system.cols = p;
        if (!accepted) {  // no step lowers the cost: a minimum to working precision
            fit.converged = true;
            break;
        }
        const double decrease = cost - trial_cost;
        theta.swap(trial);
        cost = model.residuals(theta, residual, &jacobian);
        if (decrease <= 1e-12 * cost) {
            fit.converged = true;
            break;
        }
    }
    fit.shapes = model.shapes(theta);
    fit.r_inf = theta[0];
    fit.inductance = problem.fit_inductance ? theta[1] : 0.0;
    fit.cost = cost;
    fit.converged = fit.converged && std::isfinite(cost);
    return fit;
}

double alpha_from_height(double resistance, double height) {
    if (!(resistance > 0.0 && height > 0.0)) return 1.0;
    const double alpha = 1.0 - 2.0 / std::numbers::pi * std::atan(resistance / (2.0 * std::numbers::pi * height));
    return std::clamp(alpha, smallest_alpha, 1.0);
}

double relative_cost(std::span<const Complex> model, std::span<const Complex> measured) {
    double cost = 0.0;
    for (std::size_t i = 0; i < measured.size(); ++i) {
        const double w = 1.0 / modulus(measured[i]);
        const double re = (model[i].re - measured[i].re) * w, im = (model[i].im - measured[i].im) * w;
        cost += re * re + im * im;
    }
    return cost;
}

}  // namespace kelvara::drt
