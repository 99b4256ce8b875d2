#include "drt/zarc_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "fit/levenberg_marquardt.hpp"
#include "fit/minpack/minpack.hpp"
#include "support/constants.hpp"

namespace kelvara::drt {
namespace {

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

// Parameters: R_inf, [L], then ln R, ln tau and u per peak, with the
// exponent alpha = smallest_alpha + (1 - smallest_alpha) (1 + sin u) / 2:
// every point the solver tries is a ZARC of the allowed range, so that a
// step past alpha = 1 does not drag the other peaks along before it is
// undone. R_inf and L >= 0 are held on zero while their descent points
// below it.
struct Layout {
    std::size_t series = 0;
    std::size_t count = 0;
    std::size_t peaks = 0;
};

constexpr double alpha_span = 1.0 - smallest_alpha;

double alpha_at(double u) { return smallest_alpha + 0.5 * alpha_span * (1.0 + std::sin(u)); }
double alpha_slope(double u) { return 0.5 * alpha_span * std::cos(u); }
// A seed on a bound starts just inside it, where the slope is not zero.
double alpha_coordinate(double alpha) {
    return std::asin(std::clamp(2.0 * (alpha - smallest_alpha) / alpha_span - 1.0, -1.0 + 1e-6, 1.0 - 1e-6));
}

// The fits' stopping rule, taken to the last digits of the relative
// reduction: near alpha = 1 the exponent's coordinate converges slowly, and
// the peaks are reported to more digits than a circuit fit's noise allows.
LmSettings peak_fit_settings() {
    LmSettings settings;
    settings.ftol = settings.xtol = 1e-12;
    return settings;
}

struct ParameterBounds {
    std::vector<double> low, high;
};

ParameterBounds parameter_bounds(const Layout& layout) {
    constexpr double unbounded = std::numeric_limits<double>::infinity();
    ParameterBounds bounds{std::vector<double>(layout.count, -unbounded),
                           std::vector<double>(layout.count, unbounded)};
    for (std::size_t s = 0; s < layout.series; ++s) bounds.low[s] = 0.0;
    return bounds;
}

// The least-squares problem of the engine's Levenberg-Marquardt solver:
// residuals (model - measured) / |measured|, real parts then imaginary. A
// pinned parameter's Jacobian column is exactly zero, so that the solver
// leaves it where it is.
class PeakProblem final : public minpack::LeastSquaresProblem {
public:
    PeakProblem(const PeakFitProblem& problem, const Layout& layout, std::vector<double> x0)
        : problem_(problem), layout_(layout), x_(std::move(x0)), pinned_(layout.count, false),
          ln_w_(problem.angular.size()), weight_(problem.angular.size()), shapes_(layout.peaks),
          scratch_(2 * problem.angular.size()) {
        for (std::size_t i = 0; i < ln_w_.size(); ++i) {
            ln_w_[i] = std::log(problem.angular[i]);
            weight_[i] = 1.0 / modulus(problem.measured[i]);
        }
    }

    std::size_t param_count() const override { return x_.size(); }
    std::size_t residual_count() const override { return 2 * ln_w_.size(); }
    void set_x(std::span<const double> x) override { std::copy(x.begin(), x.end(), x_.begin()); }
    std::span<const double> x() const override { return x_; }

    void residuals(std::span<double> out) override { evaluate(out, {}); }

    void jacobian(std::span<double> out) override {
        evaluate(scratch_, out);
        const std::size_t rows = residual_count();
        for (std::size_t a = 0; a < x_.size(); ++a) {
            if (pinned_[a]) std::fill(out.begin() + a * rows, out.begin() + (a + 1) * rows, 0.0);
        }
    }

    void pin(const std::vector<bool>& pinned) { pinned_ = pinned; }

    // The sum of squared residuals at x and, given room for them, its
    // derivatives by every parameter, pinned or not (`jacobian_scratch` holds
    // param_count() columns of residual_count()).
    double cost(std::span<double> gradient, std::span<double> jacobian_scratch) {
        const bool with_gradient = !gradient.empty();
        evaluate(scratch_, with_gradient ? jacobian_scratch : std::span<double>{});
        double cost = 0.0;
        for (const double r : scratch_) cost += r * r;
        const std::size_t rows = residual_count();
        for (std::size_t a = 0; a < gradient.size(); ++a) {
            double g = 0.0;
            for (std::size_t r = 0; r < rows; ++r) g += jacobian_scratch[a * rows + r] * scratch_[r];
            gradient[a] = 2.0 * g;
        }
        return cost;
    }

    const std::vector<PeakShape>& shapes() {
        unpack();
        return shapes_;
    }

private:
    // Residuals at x; with `jacobian` (column-major, residual_count() rows)
    // also their derivatives.
    void evaluate(std::span<double> out, std::span<double> jacobian) {
        const std::size_t n = ln_w_.size(), rows = 2 * n;
        const bool with_jacobian = !jacobian.empty();
        unpack();
        const double inductance = layout_.series > 1 ? x_[1] : 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            Complex z = problem_.background.empty() ? Complex{} : problem_.background[i];
            z += Complex{x_[0], problem_.angular[i] * inductance};
            const double w = weight_[i];
            for (std::size_t k = 0; k < layout_.peaks; ++k) {
                const ZarcTerms terms = zarc_terms(ln_w_[i], shapes_[k]);
                z += terms.value;
                if (!with_jacobian) continue;
                const std::size_t column = layout_.series + 3 * k;
                const Complex by[3] = {terms.value, terms.by_ln_tau, terms.by_alpha * alpha_slope(x_[column + 2])};
                for (std::size_t c = 0; c < 3; ++c) {
                    jacobian[(column + c) * rows + i] = by[c].re * w;
                    jacobian[(column + c) * rows + n + i] = by[c].im * w;
                }
            }
            if (with_jacobian) {
                jacobian[i] = w;
                jacobian[n + i] = 0.0;
                if (layout_.series > 1) {
                    jacobian[rows + i] = 0.0;
                    jacobian[rows + n + i] = problem_.angular[i] * w;
                }
            }
            out[i] = (z.re - problem_.measured[i].re) * w;
            out[n + i] = (z.im - problem_.measured[i].im) * w;
        }
    }

    void unpack() {
        for (std::size_t k = 0; k < layout_.peaks; ++k) {
            const std::size_t at = layout_.series + 3 * k;
            shapes_[k] = PeakShape{x_[at + 1], std::exp(x_[at]), alpha_at(x_[at + 2])};
        }
    }

    const PeakFitProblem& problem_;
    Layout layout_;
    std::vector<double> x_;
    std::vector<bool> pinned_;
    std::vector<double> ln_w_;
    std::vector<double> weight_;
    std::vector<PeakShape> shapes_;
    std::vector<double> scratch_;
};

// The bound rule of an active-set method: a parameter on its bound whose
// descent points outwards is held there for the next run.
void hold_on_bounds(std::span<const double> theta, std::span<const double> gradient, const ParameterBounds& bounds,
                    std::vector<bool>& pinned) {
    for (std::size_t a = 0; a < theta.size(); ++a) {
        pinned[a] = (theta[a] <= bounds.low[a] && gradient[a] > 0.0) || (theta[a] >= bounds.high[a] && gradient[a] < 0.0);
    }
}

}  // namespace

PeakFit fit_peak_shapes(const PeakFitProblem& problem, std::span<const PeakShape> seeds) {
    Layout layout;
    layout.series = problem.fit_inductance ? 2 : 1;
    layout.peaks = seeds.size();
    layout.count = layout.series + 3 * layout.peaks;
    const std::size_t p = layout.count;
    const ParameterBounds bounds = parameter_bounds(layout);

    std::vector<double> theta(p);
    theta[0] = std::max(problem.r_inf, 0.0);
    if (problem.fit_inductance) theta[1] = std::max(problem.inductance, 0.0);
    for (std::size_t k = 0; k < seeds.size(); ++k) {
        const std::size_t at = layout.series + 3 * k;
        theta[at] = std::log(seeds[k].resistance);
        theta[at + 1] = seeds[k].ln_tau;
        theta[at + 2] = alpha_coordinate(seeds[k].alpha);
    }
    PeakProblem lm(problem, layout, theta);
    std::vector<bool> pinned(p, false);
    std::vector<double> gradient(p), jacobian(p * lm.residual_count());
    const minpack::LmderSettings settings = solver_settings(peak_fit_settings());

    PeakFit fit;
    // Each run starts inside the bounds with the parameters held that
    // would leave them. A run that ends outside is clamped back and run
    // again, at most once per parameter.
    for (std::size_t round = 0; round <= p && !fit.converged; ++round) {
        lm.cost(gradient, jacobian);
        hold_on_bounds(lm.x(), gradient, bounds, pinned);
        lm.pin(pinned);
        const minpack::LmderResult run = minpack::lmder(lm, settings);
        // An end where no step lowers the cost is a minimum to working precision.
        if (!run.success() && run.status != minpack::LmderStatus::no_improvement) break;
        theta.assign(lm.x().begin(), lm.x().end());
        fit.converged = true;
        for (std::size_t a = 0; a < p; ++a) {
            fit.converged = fit.converged && theta[a] >= bounds.low[a] && theta[a] <= bounds.high[a];
            theta[a] = std::clamp(theta[a], bounds.low[a], bounds.high[a]);
        }
        lm.set_x(theta);
    }
    fit.cost = lm.cost({}, {});
    fit.shapes = lm.shapes();
    fit.r_inf = lm.x()[0];
    fit.inductance = problem.fit_inductance ? lm.x()[1] : 0.0;
    fit.converged = fit.converged && std::isfinite(fit.cost);
    return fit;
}

double alpha_from_height(double resistance, double height) {
    if (!(resistance > 0.0 && height > 0.0)) return 1.0;
    const double alpha = 1.0 - 2.0 / std::numbers::pi * std::atan(resistance / (two_pi * height));
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
