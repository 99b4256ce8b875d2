// The IEEE-754 total order of doubles as an integer key: -NaN < -inf < ... <
// -0 < +0 < ... < +inf < +NaN. Sorting costs by it puts NaN last and keeps
// equal keys in their order under a stable sort.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

namespace kelvara {

inline std::int64_t total_order_key(double value) {
    const auto bits = std::bit_cast<std::int64_t>(value);
    return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
}

inline bool total_order_less(double a, double b) { return total_order_key(a) < total_order_key(b); }

// The positions of `values` in ascending total order, ties in their own order.
inline std::vector<std::size_t> ascending_order(std::span<const double> values) {
    std::vector<std::size_t> order(values.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return total_order_less(values[a], values[b]); });
    return order;
}

}  // namespace kelvara
