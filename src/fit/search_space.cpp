#include "fit/search_space.hpp"

#include <algorithm>

namespace kelvara {

void SearchSpace::physical(std::span<const double> x, std::span<double> p) const {
    const std::size_t n = std::min({x.size(), p.size(), bounds_.size()});
    for (std::size_t j = 0; j < n; ++j) p[j] = log_scaled(j) ? std::pow(10.0, x[j]) + bounds_[j].lo : x[j];
}

std::vector<double> SearchSpace::physical(std::span<const double> x) const {
    std::vector<double> p(std::min(x.size(), bounds_.size()));
    physical(x, p);
    return p;
}

std::vector<double> SearchSpace::internal(std::span<const double> p) const {
    std::vector<double> x(p.begin(), p.end());
    for (std::size_t j = 0; j < std::min(x.size(), bounds_.size()); ++j) {
        if (log_scaled(j)) x[j] = std::log10(std::max(p[j] - bounds_[j].lo, 1e-300));
    }
    return x;
}

}  // namespace kelvara
