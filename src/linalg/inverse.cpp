#include "linalg/inverse.hpp"

#include <cmath>
#include <utility>

namespace kelvara::linalg {
namespace {

std::optional<std::vector<double>> invert_small(std::span<const double> a, std::size_t n) {
    auto at = [&](std::size_t r, std::size_t c) { return a[r * n + c]; };
    if (n == 1) {
        if (a[0] == 0.0) return std::nullopt;
        return std::vector<double>{1.0 / a[0]};
    }
    if (n == 2) {
        const double det = at(0, 0) * at(1, 1) - at(0, 1) * at(1, 0);
        if (det == 0.0) return std::nullopt;
        return std::vector<double>{at(1, 1) / det, -at(0, 1) / det, -at(1, 0) / det, at(0, 0) / det};
    }
    // Adjugate over determinant, by cofactors.
    auto minor3 = [&](std::size_t r0, std::size_t r1, std::size_t r2, std::size_t c0, std::size_t c1, std::size_t c2) {
        return at(r0, c0) * (at(r1, c1) * at(r2, c2) - at(r1, c2) * at(r2, c1)) -
               at(r0, c1) * (at(r1, c0) * at(r2, c2) - at(r1, c2) * at(r2, c0)) +
               at(r0, c2) * (at(r1, c0) * at(r2, c1) - at(r1, c1) * at(r2, c0));
    };
    std::vector<double> inverse(n * n);
    if (n == 3) {
        const double det = minor3(0, 1, 2, 0, 1, 2);
        if (det == 0.0) return std::nullopt;
        for (std::size_t r = 0; r < 3; ++r) {
            for (std::size_t c = 0; c < 3; ++c) {
                // cofactor of (c, r) for the adjugate's (r, c)
                const std::size_t r1 = c == 0 ? 1 : 0, r2 = c == 2 ? 1 : 2;
                const std::size_t c1 = r == 0 ? 1 : 0, c2 = r == 2 ? 1 : 2;
                const double cof = at(r1, c1) * at(r2, c2) - at(r1, c2) * at(r2, c1);
                inverse[r * 3 + c] = ((r + c) % 2 == 0 ? cof : -cof) / det;
            }
        }
        return inverse;
    }
    // n == 4
    auto others = [](std::size_t skip, std::size_t out[3]) {
        for (std::size_t i = 0, k = 0; i < 4; ++i) {
            if (i != skip) out[k++] = i;
        }
    };
    double det = 0.0;
    for (std::size_t c = 0; c < 4; ++c) {
        std::size_t cols[3];
        others(c, cols);
        const double m = minor3(1, 2, 3, cols[0], cols[1], cols[2]);
        det += (c % 2 == 0 ? 1.0 : -1.0) * at(0, c) * m;
    }
    if (det == 0.0) return std::nullopt;
    for (std::size_t r = 0; r < 4; ++r) {
        for (std::size_t c = 0; c < 4; ++c) {
            std::size_t rows[3], cols[3];
            others(c, rows);  // transpose: cofactor of (c, r)
            others(r, cols);
            const double m = minor3(rows[0], rows[1], rows[2], cols[0], cols[1], cols[2]);
            inverse[r * 4 + c] = ((r + c) % 2 == 0 ? m : -m) / det;
        }
    }
    return inverse;
}

std::optional<std::vector<double>> invert_lu(std::span<const double> a, std::size_t n) {
    std::vector<double> lu(a.begin(), a.end());
    std::vector<std::size_t> perm(n);
    for (std::size_t i = 0; i < n; ++i) perm[i] = i;
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t pivot = k;
        for (std::size_t i = k + 1; i < n; ++i) {
            if (std::fabs(lu[i * n + k]) > std::fabs(lu[pivot * n + k])) pivot = i;
        }
        if (lu[pivot * n + k] == 0.0) return std::nullopt;
        if (pivot != k) {
            for (std::size_t c = 0; c < n; ++c) std::swap(lu[k * n + c], lu[pivot * n + c]);
            std::swap(perm[k], perm[pivot]);
        }
        for (std::size_t i = k + 1; i < n; ++i) {
            lu[i * n + k] /= lu[k * n + k];
            for (std::size_t c = k + 1; c < n; ++c) lu[i * n + c] -= lu[i * n + k] * lu[k * n + c];
        }
    }
    std::vector<double> inverse(n * n, 0.0), column(n);
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t i = 0; i < n; ++i) column[i] = perm[i] == c ? 1.0 : 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < i; ++k) column[i] -= lu[i * n + k] * column[k];
        }
        for (std::size_t i = n; i-- > 0;) {
            for (std::size_t k = i + 1; k < n; ++k) column[i] -= lu[i * n + k] * column[k];
            column[i] /= lu[i * n + i];
        }
        for (std::size_t i = 0; i < n; ++i) inverse[i * n + c] = column[i];
    }
    return inverse;
}

}  // namespace

std::optional<std::vector<double>> invert(std::span<const double> matrix, std::size_t n) {
    if (n == 0) return std::vector<double>{};
    if (n <= 4) return invert_small(matrix, n);
    return invert_lu(matrix, n);
}

}  // namespace kelvara::linalg
