// MINPACK lmpar: finds the Levenberg-Marquardt parameter par >= 0 for which
// the step x solving (J^T J + par D^2) x = -J^T r satisfies ||D x|| ~ delta
// (within 10%), by a safeguarded Newton iteration on par, at most 10 steps.
#include <algorithm>
#include <cmath>
#include <limits>

#include "fit/minpack/minpack.hpp"

namespace kelvara::minpack {

void lmpar(std::size_t n, std::span<double> r, std::size_t ld, std::span<const std::size_t> ipvt,
           std::span<const double> diag, std::span<const double> qtb, double delta, double& par, std::span<double> x,
           std::span<double> sdiag, std::span<double> wa1, std::span<double> wa2) {
    constexpr double p1 = 0.1, p001 = 0.001;
    const double dwarf = std::numeric_limits<double>::min();

    // The Gauss-Newton direction; least squares if the Jacobian is rank-deficient.
    std::size_t nsing = n;
    for (std::size_t j = 0; j < n; ++j) {
        wa1[j] = qtb[j];
        if (r[j + j * ld] == 0.0 && nsing == n) nsing = j;
        if (nsing < n) wa1[j] = 0.0;
    }
    for (std::size_t k = 0; k < nsing; ++k) {
        const std::size_t j = nsing - 1 - k;
        wa1[j] /= r[j + j * ld];
        const double temp = wa1[j];
        for (std::size_t i = 0; i < j; ++i) wa1[i] -= r[i + j * ld] * temp;
    }
    for (std::size_t j = 0; j < n; ++j) x[ipvt[j]] = wa1[j];

    // Accept the Gauss-Newton step if it lies within the trust region.
    int iter = 0;
    for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
    double dxnorm = enorm(wa2.first(n));
    double fp = dxnorm - delta;
    if (fp <= p1 * delta) {
        par = 0.0;
        return;
    }

    // Lower bound parl for the zero of the secular function (full rank only).
    double parl = 0.0;
    if (nsing >= n) {
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t l = ipvt[j];
            wa1[j] = diag[l] * (wa2[l] / dxnorm);
        }
        for (std::size_t j = 0; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t i = 0; i < j; ++i) sum += r[i + j * ld] * wa1[i];
            wa1[j] = (wa1[j] - sum) / r[j + j * ld];
        }
        const double temp = enorm(wa1.first(n));
        parl = ((fp / delta) / temp) / temp;
    }

    // Upper bound paru.
    for (std::size_t j = 0; j < n; ++j) {
        double sum = 0.0;
        for (std::size_t i = 0; i <= j; ++i) sum += r[i + j * ld] * qtb[i];
        wa1[j] = sum / diag[ipvt[j]];
    }
    const double gnorm = enorm(wa1.first(n));
    double paru = gnorm / delta;
    if (paru == 0.0) paru = dwarf / std::min(delta, p1);

    // Start inside (parl, paru); the first guess is the caller's par.
    par = std::max(par, parl);
    par = std::min(par, paru);
    if (par == 0.0) par = gnorm / dxnorm;

    while (true) {
        ++iter;
        if (par == 0.0) par = std::max(dwarf, p001 * paru);
        const double root = std::sqrt(par);
        for (std::size_t j = 0; j < n; ++j) wa1[j] = root * diag[j];
        qrsolv(n, r, ld, ipvt, wa1, qtb, x, sdiag, wa2);
        for (std::size_t j = 0; j < n; ++j) wa2[j] = diag[j] * x[j];
        dxnorm = enorm(wa2.first(n));
        const double previous = fp;
        fp = dxnorm - delta;
        // Close enough, or the secular function has no positive root above parl = 0.
        if (std::fabs(fp) <= p1 * delta || (parl == 0.0 && fp <= previous && previous < 0.0) || iter == 10) break;

        // Newton correction.
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t l = ipvt[j];
            wa1[j] = diag[l] * (wa2[l] / dxnorm);
        }
        for (std::size_t j = 0; j < n; ++j) {
            wa1[j] /= sdiag[j];
            const double temp = wa1[j];
            for (std::size_t i = j + 1; i < n; ++i) wa1[i] -= r[i + j * ld] * temp;
        }
        const double temp = enorm(wa1.first(n));
        const double parc = ((fp / delta) / temp) / temp;
        if (fp > 0.0) parl = std::max(parl, par);
        if (fp < 0.0) paru = std::min(paru, par);
        par = std::max(parl, par + parc);
    }
}

}  // namespace kelvara::minpack
