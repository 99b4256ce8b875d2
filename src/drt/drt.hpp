// The distribution of relaxation times of one spectrum:
//   Z(w) = R_inf + i w L + integral of gamma(ln tau) / (1 + i w tau) d ln tau,
// gamma on Gaussian radial basis functions, fitted to the real and imaginary
// parts together with rows weighted by 1/|Z| (relative residuals), a
// derivative penalty lambda * integral (d^k gamma / d ln tau^k)^2 on
// gamma / max|Z|, and gamma, R_inf, L >= 0.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/result.hpp"
#include "drt/peaks.hpp"
#include "circuit/measured_points.hpp"
#include "elements/complex.hpp"

namespace kelvara::drt {

struct DrtSettings {
    // none: chosen by generalised cross-validation, or smaller where that
    // resolves peaks that one ZARC each describes better (drt.cpp)
    std::optional<double> lambda;
    bool inductance = true;            // fit a series inductance
    int derivative_order = 2;          // 1 or 2
    double points_per_decade = 0.0;    // of basis functions; 0: from the data's density
    double margin_decades = 0.5;       // basis beyond the measured time constants, each side
    double peak_threshold = 0.1;       // prominence, relative to the tallest gamma inside the measured range
    bool fit_peaks = true;             // locate peaks by one fitted ZARC each (peak_fit.hpp)
};

struct DrtOutcome {
    std::vector<double> tau;    // seconds, ascending, four points per basis spacing
    std::vector<double> gamma;  // ohm, gamma(ln tau) at `tau`
    double r_inf = 0.0;
    double inductance = 0.0;
    double lambda = 0.0;
    bool lambda_chosen = false;  // chosen here rather than given
    std::vector<Complex> fitted;  // the model's impedance at each measured frequency
    std::vector<Peak> peaks;
    // The peaks' positions and resistances are those of one ZARC per peak
    // fitted to the spectrum; otherwise the maxima of gamma and its areas.
    bool peaks_fitted = false;
    double polarisation_resistance = 0.0;  // integral of gamma
    // Fractions of that integral at time constants outside the measured
    // range, below 1/w_max and above 1/w_min, and whether gamma grows
    // outwards there (by 5 % of the tallest gamma inside the range): a
    // process the data only show the edge of. Then maxima within a decade of
    // that end of the measured range are reported as peaks only when they
    // hold a tenth of the polarisation resistance (peaks.hpp).
    double share_below = 0.0;
    double share_above = 0.0;
    bool rising_below = false;
    bool rising_above = false;
    // ohm: gamma beyond the outermost peaks' ranges, in no peak (peaks.hpp).
    // The peaks' resistances and these two make up the polarisation
    // resistance (exactly for areas of gamma, to the fit's accuracy for
    // fitted peaks).
    double tail_below = 0.0;
    double tail_above = 0.0;
    bool converged = true;
    // The window needed more basis functions than a DRT takes (drt.cpp): it
    // was covered with fewer per decade than asked.
    bool basis_capped = false;
    // The basis and its coefficients, from which everything above follows.
    double first_ln_tau = 0.0;
    double spacing = 0.0;
    double shape = 0.0;
    std::vector<double> coefficients;
};

struct DrtError {
    std::string message;
};

// The message of a DRT stopped by interruption_requested() (fit/interruption.hpp).
extern const char* const interrupted_message;

Result<DrtOutcome, DrtError> compute_drt(const MeasuredSpectrum& spectrum, const DrtSettings& settings);
// The same for a spectrum not checked yet (unequal lengths refused after the settings).
Result<DrtOutcome, DrtError> compute_drt(std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                         const DrtSettings& settings);

// The settings' own checks, for callers that report them before any data.
std::optional<DrtError> check_settings(const DrtSettings& settings);

}  // namespace kelvara::drt
