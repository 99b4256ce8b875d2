// The flags of a fit: what is wrong with it, each as a short code and a
// sentence. The limits and codes are documented in kelvara.diagnostics.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "diagnostics/judged_fit.hpp"

namespace kelvara::diagnostics {

struct Flag {
    std::string code;
    std::string text;
};

inline constexpr double correlation_limit = 0.99;
inline constexpr double relative_error_limit = 1.0;
// A value beyond this is running off to infinity.
inline constexpr double runaway = 1e15;
// Within this factor of a 1e-12 floor counts as on it.
inline constexpr double floor_factor = 1.01;
// `misfit` when the rms relative misfit, scaled by sqrt(2N / (2N - free
// parameters)), is above the noise times misfit_limit(N) and the misfit itself
// is above misfit_floor. The scaling undoes what the fit takes out of 2N
// residuals of white noise; the limit allows for the spread of the ratio of
// the misfit to the noise estimate, sd about 0.6 / sqrt(2N) for a right circuit.
inline constexpr double misfit_spread = 1.7;
inline constexpr double misfit_floor = 0.002;
// The limit for n points: 1 + misfit_spread / sqrt(2n), 1.16 for 60 points.
double misfit_limit(std::size_t points);
// `structure` when the pooled runs test's z (both parts together) is below this.
inline constexpr double runs_z_limit = -3.0;

// The flags of `fit` in the order not_converged, not_finite, at_bound and
// undetermined (parameter by parameter), correlated, misfit, structure. `noise`
// is the spectrum's noise as a fraction of |Z|; nullopt estimates it from the
// fitted spectrum (noise_level.hpp). Without the fitted spectrum (a result
// restored from an earlier version) there are no misfit flags.
std::vector<Flag> fit_flags(const JudgedFit& fit, std::optional<double> noise);

// The rms of the relative residuals (Z_fit - Z) / |Z| over real and imaginary
// parts, whatever the fit's weighting; +inf when it cannot be worked out.
double relative_misfit(const FitOutcome& outcome);

}  // namespace kelvara::diagnostics
