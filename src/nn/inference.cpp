#include "nn/inference.hpp"

#include <algorithm>
#include <cmath>

#include "support/total_order.hpp"
#include "nn/conv_kernel.hpp"
#include "nn/dense_kernel.hpp"
#include "nn/layers.hpp"
#include "nn/network.hpp"
#include "support/constants.hpp"

namespace kelvara {
namespace {

constexpr double pi = 3.141592653589793;

// Grids beyond this cannot come from a sensible network; refusing them
// keeps a hostile header from asking for gigabytes.
constexpr std::size_t max_grid = 1 << 16;

}  // namespace

double interpolate(std::span<const double> xs, std::span<const double> ys, double x) {
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n == 0 || std::isnan(x)) return std::nan("");
    if (x <= xs.front()) return ys.front();
    if (x >= xs[n - 1]) return ys[n - 1];
    // NaN knots leave the knots unordered, and the search may then end at
    // either end: stay between two knots whatever it returns.
    const auto end = xs.begin() + static_cast<std::ptrdiff_t>(n);
    const std::size_t i =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::upper_bound(xs.begin(), end, x) - xs.begin()), 1, n - 1);
    if (xs[i - 1] == xs[i]) return ys[i - 1];
    return ys[i - 1] + (x - xs[i - 1]) * (ys[i] - ys[i - 1]) / (xs[i] - xs[i - 1]);
}

Result<Features, NnError> features(const Guesser& g, std::span<const double> f, std::span<const Complex> z) {
    const std::size_t nf = f.size(), nz = z.size();
    if (nf < 2 || nz < 2) return fail(NnError::too_few_points(std::min(nf, nz)));
    if (g.n_grid > max_grid) return fail(NnError::bad_value("n_grid"));
    Features out;

    // Scales: the centroid of the capacitive points in log frequency and log magnitude.
    double w_sum = 0.0, a = 0.0, b = 0.0;
    for (std::size_t i = 0; i < std::min(nf, nz); ++i) {
        const double magnitude = std::hypot(z[i].re, z[i].im);
        if (!(f[i] > 0.0) || !(magnitude > 0.0)) continue;
        const double w = std::max(0.0, -z[i].im / magnitude);
        w_sum += w;
        a += w * std::log(two_pi * f[i]);
        b += w * std::log(magnitude);
    }
    if (w_sum >= 1e-9) {
        out.omega_scale = std::exp(a / w_sum);
        out.r_scale = std::exp(b / w_sum);
    } else {
        double log_sum = 0.0;
        for (const double fi : f) log_sum += std::log(two_pi * fi);
        out.omega_scale = std::exp(log_sum / static_cast<double>(nf));
        std::vector<double> magnitudes(nz);
        for (std::size_t i = 0; i < nz; ++i) magnitudes[i] = std::hypot(z[i].re, z[i].im);
        std::sort(magnitudes.begin(), magnitudes.end(),
                  [](double x, double y) { return total_order_key(x) < total_order_key(y); });
        out.r_scale = magnitudes[nz / 2];
    }

    // Points in ascending frequency (stable, IEEE total order), with unwrapped phase.
    const std::vector<std::size_t> order = ascending_order(f);
    std::vector<double> lf(nf), lm(nf), ph(nf);
    for (std::size_t k = 0; k < nf; ++k) {
        const std::size_t i = order[k];
        const Complex zi = i < nz ? z[i] : Complex{std::nan(""), std::nan("")};
        lf[k] = std::log10(f[i]);
        lm[k] = std::log10(std::hypot(zi.re, zi.im));
        const double raw = std::atan2(zi.im, zi.re);
        if (k == 0) {
            ph[k] = raw;
        } else {
            const double d = raw - ph[k - 1];
            double wrapped = d - two_pi * std::floor((d + pi) / two_pi);
            if (wrapped == -pi && ph[k - 1] < raw) wrapped = pi;
            ph[k] = ph[k - 1] + wrapped;
        }
    }

    const std::size_t grid = g.n_grid;
    const double x0 = lf.front();
    const double span = lf.back() - lf.front();
    const double step = grid > 1 ? span / static_cast<double>(grid - 1) : 0.0;
    const double l_r = std::log10(out.r_scale);
    const double l_w = std::log10(out.omega_scale / two_pi);
    out.grid.assign(3 * grid, 0.0);
    for (std::size_t k = 0; k < grid; ++k) {
        const double x = static_cast<double>(k) * step + x0;
        out.grid[k] = interpolate(lf, lm, x) - l_r;
        out.grid[grid + k] = interpolate(lf, ph, x) / (pi / 2.0);
        out.grid[2 * grid + k] = (x - l_w) * 0.25;
    }
    out.extras[0] = span * 0.125;
    out.extras[1] = std::log10(static_cast<double>(nf)) * 0.5;
    return out;
}

Result<std::vector<double>, NnError> conv1d(const Guesser& g, std::span<const double> input, std::size_t in_channels,
                                            std::string_view name, std::size_t dilation) {
    const auto layer = conv_layer(g, name, in_channels, dilation, input.size());
    if (!layer) return fail(layer.error());
    const std::size_t grid = g.n_grid, row = padded_row(grid), width = tiled(grid);
    std::vector<double> padded(in_channels * row, 0.0);
    for (std::size_t i = 0; i < in_channels; ++i) {
        std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(i * grid), grid,
                    padded.begin() + static_cast<std::ptrdiff_t>(i * row + conv_margin));
    }
    const std::size_t outputs = layer.value().outputs;
    std::vector<double> out(outputs * width);
    convolve_skipping_zero_taps(layer.value(), grid, padded, out);
    for (std::size_t o = 1; o < outputs; ++o) {
        std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(o * width), grid,
                    out.begin() + static_cast<std::ptrdiff_t>(o * grid));
    }
    out.resize(outputs * grid);
    return out;
}

Result<bool, NnError> group_norm(const Guesser& g, std::span<double> map, std::string_view name) {
    const auto layer = norm_layer(g, name);
    if (!layer) return fail(layer.error());
    const NormLayer& norm = layer.value();
    const std::size_t grid = g.n_grid;
    const std::size_t per_group = norm.channels / norm.groups;
    const double count = static_cast<double>(per_group * grid);
    for (std::size_t j = 0; j < norm.groups; ++j) {
        double* values = map.data() + j * per_group * grid;
        const std::size_t n = per_group * grid;
        double mean = 0.0;
        for (std::size_t k = 0; k < n; ++k) mean += values[k];
        mean /= count;
        double variance = 0.0;
        for (std::size_t k = 0; k < n; ++k) variance += (values[k] - mean) * (values[k] - mean);
        variance /= count;
        const double r = 1.0 / std::sqrt(variance + 1e-5);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t channel = j * per_group + k / grid;
            values[k] = (values[k] - mean) * r * norm.weight[channel] + norm.bias[channel];
        }
    }
    return true;
}

Result<std::vector<double>, NnError> linear(const Guesser& g, std::span<const double> input, std::string_view name) {
    const auto layer = dense_layer(g, name, input.size());
    if (!layer) return fail(layer.error());
    std::vector<double> out(layer.value().outputs);
    apply_dense(layer.value(), input, out);
    return out;
}

Result<std::vector<double>, NnError> predict(const Guesser& g, std::span<const double> f, std::span<const Complex> z) {
    auto input = features(g, f, z);
    if (!input) return fail(input.error());
    const Features& x = input.value();
    const std::size_t outputs = g.param_names.size();
    if (g.alpha_min > g.alpha_max || std::isnan(g.alpha_min) || std::isnan(g.alpha_max)) {
        return fail(NnError::bad_value("alpha_min"));
    }
    for (const auto& [name, size] : {std::pair<const char*, std::size_t>{"target_mean", g.target_mean.size()},
                                     {"target_std", g.target_std.size()},
                                     {"log_params", g.log_params.size()},
                                     {"scaling", g.scaling.size()}}) {
        if (size < outputs) return fail(NnError::shape(name, size, outputs));
    }

    auto network = network_outputs(g, x.grid, std::span<const double, 2>(x.extras));
    if (!network) return fail(network.error());
    const std::vector<double>& raw = network.value();
    if (raw.size() < outputs) return fail(NnError::shape("w.head.4.weight", raw.size(), outputs));

    std::vector<double> v(outputs);
    for (std::size_t j = 0; j < outputs; ++j) {
        const double y = g.target_mean[j] + g.target_std[j] * raw[j];
        v[j] = g.log_params[j] ? std::pow(10.0, y) : y;
    }
    for (std::size_t j = 0; j < outputs; ++j) {
        if (!g.log_params[j]) v[j] = std::clamp(v[j], g.alpha_min, g.alpha_max);
    }
    if (g.scaling.empty()) return v;
    std::vector<double> physical(outputs);
    for (std::size_t j = 0; j < outputs; ++j) {
        const Scaling& s = g.scaling[j];
        double e = 0.0;
        if (s.alpha_index >= 0) {
            if (static_cast<std::size_t>(s.alpha_index) >= outputs) return fail(NnError::bad_value("scaling"));
            e = s.alpha_omega_power * v[static_cast<std::size_t>(s.alpha_index)];
        }
        physical[j] = v[j] * std::pow(x.r_scale, s.r_power) * std::pow(x.omega_scale, s.omega_power + e);
    }
    return physical;
}

}  // namespace kelvara
