// A measured spectrum checked once, where it comes in: equal lengths, and
// what the later stages ask of its points (which have no logarithm or
// weight, which impedance is zero), found in one pass and kept with it. The
// guess, the data start, the engine and the fit's outcome read these facts
// rather than looking at the points again.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "elements/complex.hpp"

namespace kelvara {

class MeasuredSpectrum {
public:
    MeasuredSpectrum() = default;  // no points

    // Nothing when the lengths differ.
    static std::optional<MeasuredSpectrum> check(std::vector<double> frequencies_hz, std::vector<Complex> impedances);

    std::span<const double> frequencies_hz() const { return frequencies_hz_; }
    std::span<const Complex> impedances() const { return impedances_; }
    std::size_t size() const { return frequencies_hz_.size(); }
    bool empty() const { return frequencies_hz_.empty(); }

    // first_unusable_point() of the points: why one has no logarithm or weight.
    const std::optional<std::string>& unusable() const { return unusable_; }
    // The first impedance that is exactly zero.
    std::optional<std::size_t> zero_impedance() const { return zero_impedance_; }
    // Whether there are points and their frequencies are all equal.
    bool one_frequency() const { return one_frequency_; }
    // The points with a positive finite frequency and a finite non-zero
    // impedance: every point unless `dropped` lists it.
    const std::vector<std::size_t>& dropped() const { return dropped_; }
    // The points not dropped, in order: a spectrum whose facts are known
    // without looking again.
    MeasuredSpectrum usable_part() const;

private:
    std::vector<double> frequencies_hz_;
    std::vector<Complex> impedances_;
    std::optional<std::string> unusable_;
    std::optional<std::size_t> zero_impedance_;
    std::vector<std::size_t> dropped_;
    bool one_frequency_ = false;
};

}  // namespace kelvara
