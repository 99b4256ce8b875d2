#include "linalg/cholesky.hpp"

#include <cmath>

namespace kelvara::linalg {

bool cholesky(Matrix& a) {
    const std::size_t n = a.rows;
    for (std::size_t j = 0; j < n; ++j) {
        double diagonal = a(j, j);
        const auto row_j = a.row(j);
        for (std::size_t k = 0; k < j; ++k) diagonal -= row_j[k] * row_j[k];
        if (!(diagonal > 0.0)) return false;  // NaN fails too
        const double pivot = std::sqrt(diagonal);
        a(j, j) = pivot;
        for (std::size_t i = j + 1; i < n; ++i) {
            const auto row_i = a.row(i);
            double sum = row_i[j];
            for (std::size_t k = 0; k < j; ++k) sum -= row_i[k] * row_j[k];
            row_i[j] = sum / pivot;
        }
    }
    return true;
}

void cholesky_solve(const Matrix& l, std::span<double> b) {
    const std::size_t n = l.rows;
    for (std::size_t i = 0; i < n; ++i) {
        double sum = b[i];
        const auto row = l.row(i);
        for (std::size_t k = 0; k < i; ++k) sum -= row[k] * b[k];
        b[i] = sum / row[i];
    }
    for (std::size_t i = n; i-- > 0;) {
        double sum = b[i];
        for (std::size_t k = i + 1; k < n; ++k) sum -= l(k, i) * b[k];
        b[i] = sum / l(i, i);
    }
}

}  // namespace kelvara::linalg
