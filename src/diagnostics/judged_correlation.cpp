#include "diagnostics/judged_correlation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "circuit/layout.hpp"
#include "linalg/congruence.hpp"
#include "support/constants.hpp"

namespace kelvara::diagnostics {

JudgedCorrelation judged_correlation(const JudgedFit& fit) {
    const FitOutcome& o = fit.outcome;
    JudgedCorrelation out;
    for (std::size_t j = 0; j < o.param_names.size(); ++j) {
        if (!fit.is_fixed(j)) out.params.push_back(j);
    }
    const std::size_t n = out.params.size();
    if (n == 0 || o.covariance.size() != n * n) return {};
    for (const std::size_t j : out.params) out.labels.push_back(o.param_names[j]);
    std::vector<double> matrix = o.covariance;
    const bool has_data = o.residual_count != 0 && !o.spectrum.empty();
    if (has_data && std::all_of(matrix.begin(), matrix.end(), [](double v) { return std::isfinite(v); })) {
        const std::span<const double> f = o.spectrum.frequencies_hz();
        const auto [lo, hi] = std::minmax_element(f.begin(), f.end());
        const double ln_lo = std::log(two_pi * *lo);
        const double ln_hi = std::log(two_pi * *hi);
        const auto position = [&](std::size_t flat) -> std::optional<std::size_t> {
            for (std::size_t a = 0; a < n; ++a) {
                if (out.params[a] == flat) return a;
            }
            return std::nullopt;
        };
        for (std::size_t j = 0; j < o.param_names.size() && j < fit.carried_exponents.size(); ++j) {
            const std::size_t exponent = fit.carried_exponents[j];
            if (exponent == no_carried_exponent) continue;
            const std::string& name = o.param_names[j];
            const auto i = position(j), e = position(exponent);
            if (!i || !e || !(o.params[j] > 0.0)) continue;
            // the row of ln q; the other rows' scale does not enter a correlation
            const double q = o.params[j];
            const double variance = matrix[*e * n + *e];
            if (!(variance > 0.0)) continue;
            const double ln_w = std::clamp(-(matrix[*i * n + *e] / q) / variance, ln_lo, ln_hi);
            std::vector<double> transform(n * n, 0.0);
            for (std::size_t a = 0; a < n; ++a) transform[a * n + a] = 1.0;
            transform[*i * n + *i] = 1.0 / q;
            transform[*i * n + *e] = ln_w;
            matrix = linalg::congruence(transform, matrix, n);
            char where[64];
            std::snprintf(where, sizeof where, " (at %.3g Hz)", std::exp(ln_w) / (two_pi));
            out.labels[*i] = name + where;
        }
    }
    out.matrix.resize(n * n);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            out.matrix[a * n + b] = matrix[a * n + b] / (std::sqrt(matrix[a * n + a]) * std::sqrt(matrix[b * n + b]));
        }
    }
    return out;
}

}  // namespace kelvara::diagnostics
