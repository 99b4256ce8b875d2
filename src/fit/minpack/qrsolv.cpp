// MINPACK qrsolv: given the QR factors of A P and Q^T b, solves the damped
// least-squares system [A; D] x ~ [b; 0] by eliminating D with Givens
// rotations, keeping R (upper triangle and diagonal) intact for the caller.
#include <cmath>

#include "fit/minpack/minpack.hpp"

namespace kelvara::minpack {

void qrsolv(std::size_t n, std::span<double> r, std::size_t ld, std::span<const std::size_t> ipvt,
            std::span<const double> diag, std::span<const double> qtb, std::span<double> x, std::span<double> sdiag,
            std::span<double> wa) {
    // Copy R's upper triangle into the strict lower triangle, save its diagonal in x.
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = j; i < n; ++i) r[i + j * ld] = r[j + i * ld];
        x[j] = r[j + j * ld];
        wa[j] = qtb[j];
    }
    // Eliminate the diagonal matrix D with Givens rotations.
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t l = ipvt[j];
        if (diag[l] != 0.0) {
            for (std::size_t k = j; k < n; ++k) sdiag[k] = 0.0;
            sdiag[j] = diag[l];
            double qtbpj = 0.0;
            for (std::size_t k = j; k < n; ++k) {
                if (sdiag[k] == 0.0) continue;
                double sin, cos;
                const double rkk = r[k + k * ld];
                if (std::fabs(rkk) < std::fabs(sdiag[k])) {
                    const double cotan = rkk / sdiag[k];
                    sin = 0.5 / std::sqrt(0.25 + 0.25 * cotan * cotan);
                    cos = sin * cotan;
                } else {
                    const double tan = sdiag[k] / rkk;
                    cos = 0.5 / std::sqrt(0.25 + 0.25 * tan * tan);
                    sin = cos * tan;
                }
                r[k + k * ld] = cos * rkk + sin * sdiag[k];
                const double temp = cos * wa[k] + sin * qtbpj;
                qtbpj = -sin * wa[k] + cos * qtbpj;
                wa[k] = temp;
                for (std::size_t i = k + 1; i < n; ++i) {
                    const double t = cos * r[i + k * ld] + sin * sdiag[i];
                    sdiag[i] = -sin * r[i + k * ld] + cos * sdiag[i];
                    r[i + k * ld] = t;
                }
            }
        }
        sdiag[j] = r[j + j * ld];
        r[j + j * ld] = x[j];
    }
    // Back-substitute; a singular system is solved in the least-squares sense.
    std::size_t nsing = n;
    for (std::size_t j = 0; j < n; ++j) {
        if (sdiag[j] == 0.0 && nsing == n) nsing = j;
        if (nsing < n) wa[j] = 0.0;
    }
    for (std::size_t k = 0; k < nsing; ++k) {
        const std::size_t j = nsing - 1 - k;
        double sum = 0.0;
        for (std::size_t i = j + 1; i < nsing; ++i) sum += r[i + j * ld] * wa[i];
        wa[j] = (wa[j] - sum) / sdiag[j];
    }
    for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = wa[j];
}

}  // namespace kelvara::minpack
