#include "circuit/unusable_points.hpp"

#include <algorithm>
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

std::string too_few_points(std::size_t needed, std::size_t got) {
    return "need at least " + std::to_string(needed) + (needed == 1 ? " point" : " points") + ", got " +
           std::to_string(got);
}

std::optional<std::string> relaxation_data_problem(const MeasuredSpectrum& spectrum, std::size_t needed) {
    if (spectrum.size() < needed) return too_few_points(needed, spectrum.size());
    if (spectrum.unusable()) return spectrum.unusable();
    if (const auto zero = spectrum.zero_impedance()) {
        return "impedances must be non-zero, but point " + std::to_string(*zero) + " is zero";
    }
    if (spectrum.one_frequency()) return "frequencies must span a range, all are equal";
    return std::nullopt;
}

std::optional<std::string> relaxation_data_problem(std::span<const double> frequencies,
                                                   std::span<const Complex> impedances, std::size_t needed) {
    const auto spectrum = MeasuredSpectrum::check({frequencies.begin(), frequencies.end()},
                                                  {impedances.begin(), impedances.end()});
    if (!spectrum) return "frequencies and impedances must have the same length";
    return relaxation_data_problem(*spectrum, needed);
}

}  // namespace kelvara
