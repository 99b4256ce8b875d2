#include "linalg/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvara::linalg {

EigenProjection eigen_projection(Matrix a, std::span<const double> y) {
    const std::size_t n = a.rows;
    EigenProjection out;
    std::vector<double> z(y.begin(), y.end());
    std::vector<double> v(n), w(n);
    // Householder: zero column k below the subdiagonal with H = I - 2 v v^T.
    for (std::size_t k = 0; k + 2 < n; ++k) {
        double norm = 0.0;
        for (std::size_t i = k + 1; i < n; ++i) norm += a(i, k) * a(i, k);
        norm = std::sqrt(norm);
        if (norm == 0.0) continue;
        const double alpha = a(k + 1, k) > 0.0 ? -norm : norm;
        double v_norm = 0.0;
        for (std::size_t i = k + 1; i < n; ++i) {
            v[i] = a(i, k) - (i == k + 1 ? alpha : 0.0);
            v_norm += v[i] * v[i];
        }
        v_norm = std::sqrt(v_norm);
        if (v_norm == 0.0) continue;
        for (std::size_t i = k + 1; i < n; ++i) v[i] /= v_norm;
        // Trailing block: A -= v w^T + w v^T with w = 2 (A v - (v^T A v) v).
        // Only the lower triangle is kept up to date.
        for (std::size_t i = k + 1; i < n; ++i) w[i] = 0.0;
        for (std::size_t i = k + 1; i < n; ++i) {
            const auto row = a.row(i);
            double sum = row[i] * v[i];
            for (std::size_t j = k + 1; j < i; ++j) {
                sum += row[j] * v[j];
                w[j] += row[j] * v[i];
            }
            w[i] += sum;
        }
        double vav = 0.0;
        for (std::size_t i = k + 1; i < n; ++i) vav += v[i] * w[i];
        for (std::size_t i = k + 1; i < n; ++i) w[i] = 2.0 * (w[i] - vav * v[i]);
        for (std::size_t i = k + 1; i < n; ++i) {
            const auto row = a.row(i);
            const double vi = v[i], wi = w[i];
            for (std::size_t j = k + 1; j <= i; ++j) row[j] -= vi * w[j] + wi * v[j];
        }
        a(k + 1, k) = alpha;
        for (std::size_t i = k + 2; i < n; ++i) a(i, k) = 0.0;
        double vz = 0.0;
        for (std::size_t i = k + 1; i < n; ++i) vz += v[i] * z[i];
        for (std::size_t i = k + 1; i < n; ++i) z[i] -= 2.0 * vz * v[i];
    }
    std::vector<double> d(n), e(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) d[i] = a(i, i);
    for (std::size_t i = 0; i + 1 < n; ++i) e[i] = a(i + 1, i);

    // Implicit QL with Wilkinson-like shifts on the tridiagonal (d, e).
    const double eps = std::numeric_limits<double>::epsilon();
    // Couplings below rounding of the largest entry also split the matrix:
    // eigenvalues that small are rounding noise anyway, and waiting for a
    // relative split there can take forever.
    double norm = 0.0;
    for (std::size_t i = 0; i < n; ++i) norm = std::max(norm, std::fabs(d[i]) + std::fabs(e[i]));
    const double negligible = 1e-3 * eps * norm;
    const auto size = static_cast<long>(n);
    for (long l = 0; l < size; ++l) {
        int iterations = 0;
        long m = l;
        do {
            for (m = l; m < size - 1; ++m) {
                const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
                if (std::fabs(e[m]) <= eps * dd || std::fabs(e[m]) <= negligible) break;
            }
            if (m == l) break;
            if (++iterations > 60) {
                out.converged = false;
                break;
            }
            double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
            double r = std::hypot(g, 1.0);
            g = d[m] - d[l] + e[l] / (g + std::copysign(r, g));
            double s = 1.0, c = 1.0, p = 0.0;
            long i = m - 1;
            bool underflow = false;
            for (; i >= l; --i) {
                const double f = s * e[i];
                const double b = c * e[i];
                r = std::hypot(f, g);
                e[i + 1] = r;
                if (r == 0.0) {
                    d[i + 1] -= p;
                    e[m] = 0.0;
                    underflow = true;
                    break;
                }
                s = f / r;
                c = g / r;
                g = d[i + 1] - p;
                r = (d[i] - g) * s + 2.0 * c * b;
                p = s * r;
                d[i + 1] = g + p;
                g = c * r - b;
                const double zf = z[i + 1];
                z[i + 1] = s * z[i] + c * zf;
                z[i] = c * z[i] - s * zf;
            }
            if (underflow) continue;
            d[l] -= p;
            e[l] = g;
            e[m] = 0.0;
        } while (true);
        if (!out.converged) break;
    }
    out.values = std::move(d);
    out.coordinates = std::move(z);
    return out;
}

}  // namespace kelvara::linalg
