#include "fit/joint/orthogonal_complement.hpp"

#include <cmath>

namespace kelvara {
namespace {

double dot(std::size_t rows, const double* a, const double* b) {
    double sum = 0.0;
    for (std::size_t r = 0; r < rows; ++r) sum += a[r] * b[r];
    return sum;
}

void subtract_along(std::size_t rows, const double* q, std::size_t count, double* v) {
    for (std::size_t c = 0; c < count; ++c) {
        const double* column = q + c * rows;
        const double along = dot(rows, column, v);
        for (std::size_t r = 0; r < rows; ++r) v[r] -= along * column[r];
    }
}

}  // namespace

std::size_t orthonormalise(std::size_t rows, std::size_t k, std::span<double> basis, double rank_tolerance) {
    std::size_t kept = 0;
    for (std::size_t c = 0; c < k; ++c) {
        double* column = basis.data() + c * rows;
        const double norm = std::sqrt(dot(rows, column, column));
        if (!(norm > 0.0) || !std::isfinite(norm)) continue;
        double* target = basis.data() + kept * rows;
        if (target != column) {
            for (std::size_t r = 0; r < rows; ++r) target[r] = column[r];
        }
        // Twice is enough: the second pass removes what rounding left of the first.
        subtract_along(rows, basis.data(), kept, target);
        subtract_along(rows, basis.data(), kept, target);
        const double left = std::sqrt(dot(rows, target, target));
        if (!(left > rank_tolerance * norm)) continue;
        for (std::size_t r = 0; r < rows; ++r) target[r] /= left;
        ++kept;
    }
    return kept;
}

void remove_span(std::size_t rows, std::span<const double> q, std::size_t count, std::span<double> v) {
    subtract_along(rows, q.data(), count, v.data());
    subtract_along(rows, q.data(), count, v.data());
}

}  // namespace kelvara
