#include "fit/weighting.hpp"

#include <cmath>

#include "support/quoted.hpp"

namespace kelvara {

std::optional<Weighting> parse_weighting(std::string_view name) {
    if (name == "unit") return Weighting::unit;
    if (name == "modulus") return Weighting::modulus;
    return std::nullopt;
}

std::string unknown_weighting_message(std::string_view name) {
    return "unknown weight scheme " + quoted(name) + ", expected \"modulus\" or \"unit\"";
}

std::vector<double> compute_weights(std::span<const Complex> measured, Weighting scheme) {
    std::vector<double> weights(measured.size(), 1.0);
    if (scheme == Weighting::modulus) {
        for (std::size_t i = 0; i < measured.size(); ++i) {
            const double modulus = std::hypot(measured[i].re, measured[i].im);
            // NaN fails the comparison and so also gets the floor.
            weights[i] = modulus > 1e-30 ? modulus : 1e-30;
        }
    }
    return weights;
}

std::optional<std::string> weighting_problem(const MeasuredSpectrum& spectrum, Weighting scheme) {
    const std::optional<std::size_t> zero = spectrum.zero_impedance();
    if (scheme != Weighting::modulus || !zero) return std::nullopt;
    return "impedance " + std::to_string(*zero) + " is zero: the modulus weighting divides each residual by |Z|; "
           "drop the point or fit with weight=\"unit\"";
}

}  // namespace kelvara
