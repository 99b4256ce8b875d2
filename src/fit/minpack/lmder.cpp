// MINPACK lmder: Levenberg-Marquardt with a trust region on the scaled step,
// the Jacobian factorised by QR with column pivoting at every outer iteration.
// See minpack.hpp for where this port departs from the original.
#include <algorithm>
#include <cmath>
#include <vector>

#include "fit/interruption.hpp"
#include "fit/minpack/minpack.hpp"

namespace kelvara::minpack {
namespace {

constexpr double epsmch = 2.220446049250313e-16;

bool all_finite(std::span<const double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

}  // namespace

bool LmderResult::success() const {
    switch (status) {
        case LmderStatus::residuals_zero:
        case LmderStatus::converged_ftol:
        case LmderStatus::converged_xtol:
        case LmderStatus::converged_both:
        case LmderStatus::orthogonal:
            return true;
        default:
            return false;
    }
}

LmderResult lmder(LeastSquaresProblem& problem, const LmderSettings& settings) {
    const std::size_t n = problem.param_count();
    const std::size_t residuals = problem.residual_count();
    if (n == 0) return {LmderStatus::no_parameters, 0};
    if (residuals == 0) return {LmderStatus::no_residuals, 0};
    // Fewer residuals than unknowns: pad with zero rows so that R is n x n.
    const std::size_t m = std::max(residuals, n);
    const std::uint64_t max_evaluations = settings.patience * (n + 1);

    // Everything the iteration touches, allocated once.
    std::vector<double> x(problem.x().begin(), problem.x().end());
    std::vector<double> fvec(m, 0.0), trial_fvec(m, 0.0), fjac(m * n, 0.0), raw_jacobian;
    if (m != residuals) raw_jacobian.resize(residuals * n);
    std::vector<double> diag(n, 0.0), qtf(n, 0.0), wa1(n, 0.0), wa2(n, 0.0), wa3(n, 0.0), wa4(m, 0.0);
    std::vector<double> trial_x(n, 0.0);
    std::vector<std::size_t> ipvt(n, 0);

    auto evaluate = [&](std::span<double> out) { problem.residuals(out.first(residuals)); };

    std::uint64_t evaluations = 1;
    evaluate(fvec);
    double fnorm = enorm(fvec);
    if (!std::isfinite(fnorm)) return {LmderStatus::numerical_failure, evaluations};
    if (fnorm == 0.0) return {LmderStatus::residuals_zero, evaluations};

    double par = 0.0, delta = 0.0, xnorm = 0.0;
    bool first = true;
    while (true) {
        // Jacobian at x, QR-factorised with pivoting.
        if (m == residuals) {
            problem.jacobian(fjac);
        } else {
            problem.jacobian(raw_jacobian);
            for (std::size_t j = 0; j < n; ++j) {
                std::copy_n(raw_jacobian.begin() + static_cast<std::ptrdiff_t>(j * residuals), residuals,
                            fjac.begin() + static_cast<std::ptrdiff_t>(j * m));
                std::fill_n(fjac.begin() + static_cast<std::ptrdiff_t>(j * m + residuals), m - residuals, 0.0);
            }
        }
        if (!all_finite(fjac)) return {LmderStatus::numerical_failure, evaluations};
        qrfac(m, n, fjac, m, ipvt, wa1, wa2, wa3);

        if (first) {
            // Scale by the column norms; a zero column gets scale 1.
            for (std::size_t j = 0; j < n; ++j) diag[j] = wa2[j] == 0.0 ? 1.0 : wa2[j];
            for (std::size_t j = 0; j < n; ++j) wa3[j] = diag[j] * x[j];
            xnorm = enorm(wa3);
            delta = settings.step_bound * xnorm;
            if (delta == 0.0) delta = settings.step_bound;
        }

        // Q^T r, and R's diagonal back in place.
        std::copy(fvec.begin(), fvec.end(), wa4.begin());
        for (std::size_t j = 0; j < n; ++j) {
            const double rjj = fjac[j + j * m];
            if (rjj != 0.0) {
                double sum = 0.0;
                for (std::size_t i = j; i < m; ++i) sum += fjac[i + j * m] * wa4[i];
                const double temp = -sum / rjj;
                for (std::size_t i = j; i < m; ++i) wa4[i] += fjac[i + j * m] * temp;
            }
            fjac[j + j * m] = wa1[j];
            qtf[j] = wa4[j];
        }

        // Largest scaled cosine between r and a Jacobian column.
        double gnorm = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t l = ipvt[j];
            if (wa2[l] != 0.0) {
                double sum = 0.0;
                for (std::size_t i = 0; i <= j; ++i) sum += fjac[i + j * m] * (qtf[i] / fnorm);
                gnorm = std::max(gnorm, std::fabs(sum / wa2[l]));
            }
        }
        if (gnorm <= settings.gtol) return {LmderStatus::orthogonal, evaluations};

        if (!first) {
            for (std::size_t j = 0; j < n; ++j) diag[j] = std::max(diag[j], wa2[j]);
        }

        // Inner loop: shrink the trust region until a step reduces the sum of squares enough.
        double ratio = 0.0;
        do {
            if (interruption_requested()) return {LmderStatus::interrupted, evaluations};
            lmpar(n, fjac, m, ipvt, diag, qtf, delta, par, wa1, wa2, wa3, wa4);
            for (std::size_t j = 0; j < n; ++j) {
                wa1[j] = -wa1[j];
                trial_x[j] = x[j] + wa1[j];
                wa3[j] = diag[j] * wa1[j];
            }
            const double pnorm = enorm(wa3);
            if (!std::isfinite(pnorm) || !all_finite(trial_x)) return {LmderStatus::numerical_failure, evaluations};
            if (first) delta = std::min(delta, pnorm);

            problem.set_x(trial_x);
            evaluate(trial_fvec);
            ++evaluations;
            // A trial point whose residuals are not finite (an overflowing step
            // in log coordinates) is a failed step, as in MINPACK: the actual
            // reduction is -1, the step is rejected and the trust region shrinks.
            const double fnorm1 = enorm(trial_fvec);
            double actred = -1.0;
            if (0.1 * fnorm1 < fnorm) actred = 1.0 - (fnorm1 / fnorm) * (fnorm1 / fnorm);
            // Predicted reduction and directional derivative of the quadratic model.
            for (std::size_t j = 0; j < n; ++j) {
                wa3[j] = 0.0;
                const double temp = wa1[ipvt[j]];
                for (std::size_t i = 0; i <= j; ++i) wa3[i] += fjac[i + j * m] * temp;
            }
            const double temp1 = enorm(wa3) / fnorm;
            const double temp2 = (std::sqrt(par) * pnorm) / fnorm;
            const double prered = temp1 * temp1 + temp2 * temp2 / 0.5;
            const double dirder = -(temp1 * temp1 + temp2 * temp2);
            ratio = prered != 0.0 ? actred / prered : 0.0;

            // Trust-region update.
            if (ratio <= 0.25) {
                double temp = actred >= 0.0 ? 0.5 : 0.5 * dirder / (dirder + 0.5 * actred);
                if (0.1 * fnorm1 >= fnorm || temp < 0.1) temp = 0.1;
                delta = temp * std::min(delta, pnorm / 0.1);
                par /= temp;
            } else if (par == 0.0 || ratio >= 0.75) {
                delta = pnorm / 0.5;
                par *= 0.5;
            }

            if (ratio >= 1e-4) {
                // Successful step: move there.
                x = trial_x;
                fvec.swap(trial_fvec);
                for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
                xnorm = enorm(wa2);
                fnorm = fnorm1;
                first = false;
            } else {
                problem.set_x(x);
            }

            const bool ftol_met = std::fabs(actred) <= settings.ftol && prered <= settings.ftol && 0.5 * ratio <= 1.0;
            const bool xtol_met = delta <= settings.xtol * xnorm;
            if (ftol_met && xtol_met) return {LmderStatus::converged_both, evaluations};
            if (ftol_met) return {LmderStatus::converged_ftol, evaluations};
            if (xtol_met) return {LmderStatus::converged_xtol, evaluations};

            if (evaluations >= max_evaluations) return {LmderStatus::lost_patience, evaluations};
            if ((std::fabs(actred) <= epsmch && prered <= epsmch && 0.5 * ratio <= 1.0) || delta <= epsmch * xnorm ||
                gnorm <= epsmch) {
                return {LmderStatus::no_improvement, evaluations};
            }
        } while (ratio < 1e-4);
        first = false;
    }
}

}  // namespace kelvara::minpack
