#include "fit/search_space.hpp"

#include <algorithm>

namespace kelvara {

SearchSpace::SearchSpace(std::vector<Bounds> bounds, std::vector<bool> scales)
    : bounds_(std::move(bounds)), log_bounded_(bounds_.size(), false) {
    for (std::size_t j = 0; j < bounds_.size() && j < scales.size(); ++j) {
        log_bounded_[j] = scales[j] && std::isfinite(bounds_[j].hi) && bounds_[j].lo > 0.0;
    }
}

double SearchSpace::physical(std::size_t j, double x) const {
    if (log_scaled(j)) return std::pow(10.0, x) + bounds_[j].lo;
    return log_bounded_[j] ? std::pow(10.0, x) : x;
}

void SearchSpace::physical(std::span<const double> x, std::span<double> p) const {
    const std::size_t n = std::min({x.size(), p.size(), bounds_.size()});
    for (std::size_t j = 0; j < n; ++j) p[j] = physical(j, x[j]);
}

std::vector<double> SearchSpace::physical(std::span<const double> x) const {
    std::vector<double> p(std::min(x.size(), bounds_.size()));
    physical(x, p);
    return p;
}

double SearchSpace::internal(std::size_t j, double p) const {
    if (log_scaled(j)) return std::log10(std::max(p - bounds_[j].lo, 1e-300));
    if (log_bounded_[j]) return std::log10(p > 0.0 ? p : bounds_[j].lo);
    return p;
}

std::vector<double> SearchSpace::internal(std::span<const double> p) const {
    std::vector<double> x(p.begin(), p.end());
    for (std::size_t j = 0; j < std::min(x.size(), bounds_.size()); ++j) x[j] = internal(j, p[j]);
    return x;
}

}  // namespace kelvara
