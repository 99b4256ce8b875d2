#include "diagnostics/sign_runs.hpp"

#include <cmath>

namespace kelvara::diagnostics {

double SignRuns::z() const { return variance > 0.0 ? (runs - mean) / std::sqrt(variance) : 0.0; }

SignRuns sign_runs(std::span<const Complex> values, std::span<const std::size_t> order, double Complex::*part) {
    double count = 0.0, positive = 0.0, changes = 0.0;
    int previous = 0;
    for (const std::size_t i : order) {
        const double value = values[i].*part;
        if (value == 0.0) continue;
        const int sign = value > 0.0 ? 1 : -1;
        if (previous != 0 && sign != previous) changes += 1.0;
        previous = sign;
        count += 1.0;
        if (sign > 0) positive += 1.0;
    }
    const double negative = count - positive;
    if (count < 2.0 || positive == 0.0 || negative == 0.0) return {};
    const double mean = 2.0 * positive * negative / count + 1.0;
    return {1.0 + changes, mean, (mean - 1.0) * (mean - 2.0) / (count - 1.0)};
}

}  // namespace kelvara::diagnostics
