// Physical parameter values and the search coordinates the optimisers move
// in: log10 of the distance to the lower bound for parameters without a
// finite upper bound, the value itself for the others.
#pragma once

#include <cmath>
#include <span>
#include <vector>

#include "elements/catalogue.hpp"

namespace kelvara {

inline constexpr double ln_10 = 2.302585092994046;

class SearchSpace {
public:
    explicit SearchSpace(std::vector<Bounds> bounds) : bounds_(std::move(bounds)) {}

    std::size_t size() const { return bounds_.size(); }
    const std::vector<Bounds>& bounds() const { return bounds_; }
    // Log-scaled when the upper bound is not finite (infinite or NaN).
    bool log_scaled(std::size_t j) const { return !std::isfinite(bounds_[j].hi); }

    // p = lo + 10^x for log-scaled parameters, p = x otherwise; no clamping.
    // Covers the shorter of the two lists.
    void physical(std::span<const double> x, std::span<double> p) const;
    std::vector<double> physical(std::span<const double> x) const;
    // x = log10(max(p - lo, 1e-300)) for log-scaled parameters, x = p otherwise.
    std::vector<double> internal(std::span<const double> p) const;
    // dp/dx at physical value p_j: (p_j - lo) ln 10 for log-scaled, 1 otherwise.
    double slope(std::size_t j, double p_j) const { return log_scaled(j) ? (p_j - bounds_[j].lo) * ln_10 : 1.0; }

private:
    std::vector<Bounds> bounds_;
};

}  // namespace kelvara
