// Physical parameter values and the search coordinates the optimisers move
// in. A parameter without a finite upper bound moves as log10 of its distance
// to the lower bound. A positive scale (a resistance, a capacitance: a
// parameter whose catalogue bounds are open above) that the caller bounded
// on both sides, above zero, moves as log10(p) between log10(lo) and
// log10(hi): its bounds may span decades, and a straight line through them
// would crowd every start and step onto the top decade. Everything else (the
// exponents, a range starting at or below zero) moves as the value itself.
#pragma once

#include <cmath>
#include <span>
#include <vector>

#include "elements/catalogue.hpp"

namespace kelvara {

inline constexpr double ln_10 = 2.302585092994046;

class SearchSpace {
public:
    // `scales[j]`: parameter j is a positive scale (empty: none is).
    explicit SearchSpace(std::vector<Bounds> bounds, std::vector<bool> scales = {});

    std::size_t size() const { return bounds_.size(); }
    const std::vector<Bounds>& bounds() const { return bounds_; }
    // Open above (infinite or NaN upper bound): searched as log10(p - lo).
    bool log_scaled(std::size_t j) const { return !std::isfinite(bounds_[j].hi); }
    // Bounded on both sides and searched as log10(p).
    bool log_bounded(std::size_t j) const { return log_bounded_[j]; }
    // The interval of a bounded parameter's search coordinate.
    Bounds box(std::size_t j) const {
        return log_bounded_[j] ? Bounds{std::log10(bounds_[j].lo), std::log10(bounds_[j].hi)} : bounds_[j];
    }

    // p = lo + 10^x (open), 10^x (log-bounded), x (linear); no clamping.
    // Covers the shorter of the two lists.
    void physical(std::span<const double> x, std::span<double> p) const;
    std::vector<double> physical(std::span<const double> x) const;
    double physical(std::size_t j, double x) const;
    // x = log10(max(p - lo, 1e-300)) (open), log10(p) (log-bounded; a value
    // not above zero is taken at the lower bound), p (linear).
    std::vector<double> internal(std::span<const double> p) const;
    double internal(std::size_t j, double p) const;
    // dp/dx at physical value p_j.
    double slope(std::size_t j, double p_j) const {
        if (log_scaled(j)) return (p_j - bounds_[j].lo) * ln_10;
        return log_bounded_[j] ? p_j * ln_10 : 1.0;
    }

private:
    std::vector<Bounds> bounds_;
    std::vector<bool> log_bounded_;
};

}  // namespace kelvara
