#include "circuit/measured_points.hpp"

#include <algorithm>
#include <cmath>

#include "circuit/unusable_points.hpp"

namespace kelvara {

namespace {

bool all_equal(std::span<const double> frequencies) {
    if (frequencies.empty()) return false;
    const auto [low, high] = std::minmax_element(frequencies.begin(), frequencies.end());
    return !(*high > *low);
}

}  // namespace

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
    out.one_frequency_ = all_equal(frequencies_hz);
    out.frequencies_hz_ = std::move(frequencies_hz);
    out.impedances_ = std::move(impedances);
    return out;
}

MeasuredSpectrum MeasuredSpectrum::usable_part() const {
    if (dropped_.empty()) return *this;
    MeasuredSpectrum out;
    out.frequencies_hz_.reserve(size() - dropped_.size());
    out.impedances_.reserve(size() - dropped_.size());
    std::size_t next = 0;  // into dropped_, which is ascending
    for (std::size_t i = 0; i < size(); ++i) {
        if (next < dropped_.size() && dropped_[next] == i) {
            ++next;
            continue;
        }
        out.frequencies_hz_.push_back(frequencies_hz_[i]);
        out.impedances_.push_back(impedances_[i]);
    }
    out.one_frequency_ = all_equal(out.frequencies_hz_);
    return out;
}

}  // namespace kelvara
