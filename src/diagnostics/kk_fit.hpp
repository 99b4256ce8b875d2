// The linear Kramers-Kronig fit of a spectrum (Lin-KK): R0 + jwL + 1/(jwC) +
// sum R_k / (1 + jw tau_k) with fixed, log-spaced time constants, fitted by
// linear least squares to the real and imaginary parts weighted by 1/|Z|.
// What kelvara.validate.kramers_kronig judges a spectrum by.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "diagnostics/kk_problem.hpp"
#include "diagnostics/kk_select.hpp"
#include "elements/complex.hpp"

namespace kelvara::diagnostics {

struct KkSettings {
    std::optional<KkRule> rule = KkRule::automatic;  // nullopt: exactly max_elements elements
    double c = 0.85;                                 // threshold on mu of the rules first and best
    std::size_t max_elements = 50;                   // cap on the element count
    bool inductance = true;
    std::optional<bool> capacitance = std::nullopt;  // nullopt: when the lowest-frequency point is capacitive
    double extend_decades = 0.5;
};

struct KkFit {
    bool capacitance = false;          // whether the model has the series capacitance
    std::vector<double> time_constants;  // s, ascending
    std::vector<double> resistances;     // ohm, one per time constant
    double ohmic_resistance = 0.0;       // ohm
    double inductance = 0.0;             // H; 0 without it
    double elastance = 0.0;              // 1/C in 1/F; 0 without the capacitance
    double mu = 1.0;
    std::vector<Complex> fitted;     // ohm, at the given frequencies
    std::vector<Complex> residuals;  // (Z - Z_fit) / |Z|
    // The successive-difference noise of these residuals (kk_noise.hpp);
    // nullopt when not finite.
    std::optional<double> noise;
    double runs_z = 0.0;  // the smaller runs-test z of the real and imaginary residuals
};

// nullopt for a spectrum the fit cannot take (kk_problem) or a singular system.
std::optional<KkFit> kramers_kronig_fit(std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                        const KkSettings& settings);

}  // namespace kelvara::diagnostics
