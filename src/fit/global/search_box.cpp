#include <algorithm>
#include <cmath>

#include "fit/global/global_search.hpp"

namespace kelvara {

SearchBox pso_search_box(const SearchSpace& space, std::span<const double> start) {
    SearchBox box;
    const std::size_t n = std::min(space.size(), start.size());
    for (std::size_t j = 0; j < n; ++j) {
        const Bounds b = space.bounds()[j];
        if (!space.log_scaled(j)) {
            box.lower.push_back(space.box(j).lo);
            box.upper.push_back(space.box(j).hi);
            continue;
        }
        const double magnitude = std::fabs(start[j]);
        const double m = magnitude > 1e-6 ? magnitude : 1e-6;  // NaN takes the floor
        const double a = std::isnan(b.lo) ? 1e-4 * m : std::max(1e-4 * m, b.lo);
        const double top = 1e4 * m;
        box.lower.push_back(std::log10(std::max(a - b.lo, 1e-300)));
        box.upper.push_back(std::log10(std::max(top - b.lo, 1e-300)));
    }
    return box;
}

}  // namespace kelvara
