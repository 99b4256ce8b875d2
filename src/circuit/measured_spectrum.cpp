#include "circuit/measured_spectrum.hpp"

#include <cmath>

#include "circuit/unusable_points.hpp"

namespace kelvara {

std::optional<MeasuredSpectrum> MeasuredSpectrum::check(std::vector<double> frequencies_hz,
                                                         std::vector<Complex> impedances) {
    if (frequencies_hz.size() != impedances.size()) return std::nullopt;
    MeasuredSpectrum out;
    bool all_finite = true;
    for (std::size_t i = 0; i < frequencies_hz.size(); ++i) {
        const double f = frequencies_hz[i];
        const Complex z = impedances[i];
        const bool finite = std::isfinite(f) && f > 0.0 && std::isfinite(z.re) && std::isfinite(z.im);
        const bool zero = z.re == 0.0 && z.im == 0.0;
        if (zero && !out.zero_impedance_) out.zero_impedance_ = i;
        all_finite = all_finite && finite;
        if (!finite || zero) out.dropped_.push_back(i);
    }
    // Described in the words of every other refusal of such a point.
    if (!all_finite) out.unusable_ = first_unusable_point(frequencies_hz, impedances);
    out.frequencies_hz_ = std::move(frequencies_hz);
    out.impedances_ = std::move(impedances);
    return out;
}

std::pair<std::vector<double>, std::vector<Complex>> MeasuredSpectrum::usable_points() const {
    std::pair<std::vector<double>, std::vector<Complex>> out;
    out.first.reserve(size() - dropped_.size());
    out.second.reserve(size() - dropped_.size());
    std::size_t next = 0;  // into dropped_, which is ascending
    for (std::size_t i = 0; i < size(); ++i) {
        if (next < dropped_.size() && dropped_[next] == i) {
            ++next;
            continue;
        }
        out.first.push_back(frequencies_hz_[i]);
        out.second.push_back(impedances_[i]);
    }
    return out;
}

}  // namespace kelvara
