#include "circuit/unusable_points.hpp"

#include <cmath>

#include "support/number_text.hpp"

namespace kelvara {

std::optional<std::string> first_unusable_point(std::span<const double> frequencies,
                                                std::span<const Complex> impedances) {
    for (std::size_t i = 0; i < frequencies.size(); ++i) {
        if (!(std::isfinite(frequencies[i]) && frequencies[i] > 0.0)) {
            return "frequencies must be finite and positive, but point " + std::to_string(i) + " has frequency " +
                   short_number_text(frequencies[i]);
        }
    }
    for (std::size_t i = 0; i < impedances.size(); ++i) {
        const Complex z = impedances[i];
        if (!(std::isfinite(z.re) && std::isfinite(z.im))) {
            return "impedances must be finite, but point " + std::to_string(i) + " has impedance " +
                   short_number_text(z.re) + (std::signbit(z.im) && !std::isnan(z.im) ? "" : "+") +
                   short_number_text(z.im) + "j";
        }
    }
    return std::nullopt;
}

}  // namespace kelvara
