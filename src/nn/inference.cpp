#include "nn/inference.hpp"

#include "circuit/total_order.hpp"

#include <algorithm>
#include <cstring>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <string>

namespace kelvara {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double two_pi_value = 6.283185307179586;

// Sizes beyond these cannot come from a sensible network; refusing them
// keeps a hostile header from asking for gigabytes.
constexpr std::size_t max_grid = 1 << 16;
constexpr std::size_t max_dilation = 1 << 20;

std::string weight_name(std::string_view layer) { return "w." + std::string(layer) + ".weight"; }
std::string bias_name(std::string_view layer) { return "w." + std::string(layer) + ".bias"; }

// A layer's weight and bias tensors, or the missing error naming the first absent one.
struct Layer {
    const Tensor* weight;
    const Tensor* bias;
};

Result<Layer, NnError> layer_tensors(const Guesser& g, std::string_view name) {
    const Tensor* weight = g.tensor(weight_name(name));
    if (weight == nullptr) return fail(NnError::missing(weight_name(name)));
    const Tensor* bias = g.tensor(bias_name(name));
    if (bias == nullptr) return fail(NnError::missing(bias_name(name)));
    return Layer{weight, bias};
}

// out[o][t] = bias[o] + sum over taps j, in order, of weight[o][j] * unfolded[j][t],
// skipping taps whose weight is exactly zero. Blocks of outputs and grid
// positions reuse each loaded value several times; the sums run in the same
// order as the plain loop, so the result does not depend on the blocking.
constexpr std::size_t out_block = 4;
constexpr std::size_t grid_block = 8;

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void convolve_unfolded(const double* weight, const double* bias, std::size_t outputs, std::size_t taps,
                       const double* unfolded, std::size_t grid, double* out) {
    std::size_t o = 0;
    for (; o + out_block <= outputs; o += out_block) {
        std::size_t t = 0;
        for (; t + grid_block <= grid; t += grid_block) {
            double acc[out_block][grid_block];
            for (std::size_t r = 0; r < out_block; ++r) {
                for (std::size_t c = 0; c < grid_block; ++c) acc[r][c] = bias[o + r];
            }
            for (std::size_t j = 0; j < taps; ++j) {
                const double* x = unfolded + j * grid + t;
                for (std::size_t r = 0; r < out_block; ++r) {
                    const double tap = weight[(o + r) * taps + j];
                    if (tap == 0.0) continue;
                    for (std::size_t c = 0; c < grid_block; ++c) acc[r][c] += tap * x[c];
                }
            }
            for (std::size_t r = 0; r < out_block; ++r) {
                for (std::size_t c = 0; c < grid_block; ++c) out[(o + r) * grid + t + c] = acc[r][c];
            }
        }
        for (; t < grid; ++t) {
            for (std::size_t r = 0; r < out_block; ++r) {
                double acc = bias[o + r];
                for (std::size_t j = 0; j < taps; ++j) {
                    const double tap = weight[(o + r) * taps + j];
                    if (tap != 0.0) acc += tap * unfolded[j * grid + t];
                }
                out[(o + r) * grid + t] = acc;
            }
        }
    }
    for (; o < outputs; ++o) {
        for (std::size_t t = 0; t < grid; ++t) {
            double acc = bias[o];
            for (std::size_t j = 0; j < taps; ++j) {
                const double tap = weight[o * taps + j];
                if (tap != 0.0) acc += tap * unfolded[j * grid + t];
            }
            out[o * grid + t] = acc;
        }
    }
}

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

double gelu(double u) {
    const double t = std::tanh((u * 0.044715 * u * u + u) * 0.7978845608028654);
    return (t + 1.0) * u * 0.5;
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
        a += w * std::log(two_pi_value * f[i]);
        b += w * std::log(magnitude);
    }
    if (w_sum >= 1e-9) {
        out.omega_scale = std::exp(a / w_sum);
        out.r_scale = std::exp(b / w_sum);
    } else {
        double log_sum = 0.0;
        for (const double fi : f) log_sum += std::log(two_pi_value * fi);
        out.omega_scale = std::exp(log_sum / static_cast<double>(nf));
        std::vector<double> magnitudes(nz);
        for (std::size_t i = 0; i < nz; ++i) magnitudes[i] = std::hypot(z[i].re, z[i].im);
        std::sort(magnitudes.begin(), magnitudes.end(),
                  [](double x, double y) { return total_order_key(x) < total_order_key(y); });
        out.r_scale = magnitudes[nz / 2];
    }

    // Points in ascending frequency (stable, IEEE total order), with unwrapped phase.
    std::vector<std::size_t> order(nf);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return total_order_key(f[x]) < total_order_key(f[y]); });
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
            double wrapped = d - two_pi_value * std::floor((d + pi) / two_pi_value);
            if (wrapped == -pi && ph[k - 1] < raw) wrapped = pi;
            ph[k] = ph[k - 1] + wrapped;
        }
    }

    const std::size_t grid = g.n_grid;
    const double x0 = lf.front();
    const double span = lf.back() - lf.front();
    const double step = grid > 1 ? span / static_cast<double>(grid - 1) : 0.0;
    const double l_r = std::log10(out.r_scale);
    const double l_w = std::log10(out.omega_scale / two_pi_value);
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
    const auto tensors = layer_tensors(g, name);
    if (!tensors) return fail(tensors.error());
    const Tensor& w = *tensors.value().weight;
    const Tensor& b = *tensors.value().bias;
    const std::size_t grid = g.n_grid, kernel = g.kernel;
    const std::size_t out_channels = w.dims.empty() ? 0 : w.dims.front();
    if (dilation > max_dilation) return fail(NnError::bad_value("dilations"));
    // The layer must map exactly in_channels to the network's width.
    if (out_channels != g.channels || w.data.size() != out_channels * in_channels * kernel) {
        return fail(NnError::shape(weight_name(name), w.data.size(), g.channels * in_channels * kernel));
    }
    if (b.data.size() != out_channels) return fail(NnError::shape(bias_name(name), b.data.size(), out_channels));
    if (input.size() != in_channels * grid) return fail(NnError::shape(weight_name(name), input.size(), in_channels * grid));

    const auto pad = static_cast<std::ptrdiff_t>(dilation * (kernel - (kernel > 0 ? 1 : 0)) / 2);
    // Unfold the input once: row (i, k) holds input channel i shifted by
    // k * dilation - pad, with zeros where the shift leaves the grid.
    const std::size_t taps = in_channels * kernel;
    // Every element is written below, so the buffer need not be zeroed first.
    const auto unfolded = std::make_unique_for_overwrite<double[]>(taps * grid);
    const auto size = static_cast<std::ptrdiff_t>(grid);
    for (std::size_t i = 0; i < in_channels; ++i) {
        for (std::size_t k = 0; k < kernel; ++k) {
            const std::ptrdiff_t shift = static_cast<std::ptrdiff_t>(k * dilation) - pad;
            const std::ptrdiff_t begin = std::clamp<std::ptrdiff_t>(-shift, 0, size);
            const std::ptrdiff_t end = std::clamp<std::ptrdiff_t>(size - shift, begin, size);
            double* row = unfolded.get() + (i * kernel + k) * grid;
            std::fill(row, row + begin, 0.0);
            for (std::ptrdiff_t t = begin; t < end; ++t) row[t] = input[static_cast<std::size_t>(t + shift) + i * grid];
            std::fill(row + end, row + size, 0.0);
        }
    }
    std::vector<double> out(out_channels * grid);
    convolve_unfolded(w.data.data(), b.data.data(), out_channels, taps, unfolded.get(), grid, out.data());
    return out;
}


Result<bool, NnError> group_norm(const Guesser& g, std::span<double> map, std::string_view name) {
    const auto tensors = layer_tensors(g, name);
    if (!tensors) return fail(tensors.error());
    const Tensor& weight = *tensors.value().weight;
    const Tensor& bias = *tensors.value().bias;
    const std::size_t channels = g.channels, grid = g.n_grid;
    // More groups than channels would mean empty groups, and a loop over
    // up to 2^64 of them.
    if (g.groups == 0 || g.groups > channels) return fail(NnError::bad_value("groups"));
    if (weight.data.size() != channels) {
        return fail(NnError::shape(weight_name(name), weight.data.size(), channels));
    }
    if (bias.data.size() != channels) {
        return fail(NnError::shape(bias_name(name), bias.data.size(), channels));
    }
    const std::size_t per_group = channels / g.groups;
    const double count = static_cast<double>(per_group * grid);
    for (std::size_t j = 0; j < g.groups; ++j) {
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
            values[k] = (values[k] - mean) * r * weight.data[channel] + bias.data[channel];
        }
    }
    return true;
}

Result<std::vector<double>, NnError> linear(const Guesser& g, std::span<const double> input, std::string_view name) {
    const auto tensors = layer_tensors(g, name);
    if (!tensors) return fail(tensors.error());
    const Tensor& w = *tensors.value().weight;
    const Tensor& b = *tensors.value().bias;
    const std::size_t outputs = w.dims.size() == 2 ? w.dims[0] : 0;
    const std::size_t inputs = w.dims.size() == 2 ? w.dims[1] : 0;
    if (w.dims.size() != 2 || w.data.size() != outputs * inputs) {
        return fail(NnError::shape(weight_name(name), w.data.size(), outputs * inputs));
    }
    if (input.size() != inputs) return fail(NnError::shape(std::string(name), input.size(), inputs));
    if (b.data.size() != outputs) return fail(NnError::shape(bias_name(name), b.data.size(), outputs));
    std::vector<double> out(outputs);
    for (std::size_t o = 0; o < outputs; ++o) {
        double sum = b.data[o];
        const double* row = w.data.data() + o * inputs;
        for (std::size_t i = 0; i < inputs; ++i) sum += row[i] * input[i];
        out[o] = sum;
    }
    return out;
}

Result<std::vector<double>, NnError> predict(const Guesser& g, std::span<const double> f, std::span<const Complex> z) {
    auto input = features(g, f, z);
    if (!input) return fail(input.error());
    const Features& x = input.value();
    const std::size_t channels = g.channels, grid = g.n_grid;
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

    auto stem = conv1d(g, x.grid, 3, "stem", 1);
    if (!stem) return fail(stem.error());
    std::vector<double> h = std::move(stem).value();
    for (std::size_t block = 0; block < g.dilations.size(); ++block) {
        const std::string prefix = "blocks." + std::to_string(block) + ".";
        auto u = conv1d(g, h, channels, prefix + "conv1", g.dilations[block]);
        if (!u) return fail(u.error());
        if (auto normed = group_norm(g, u.value(), prefix + "norm1"); !normed) return fail(normed.error());
        for (double& v : u.value()) v = gelu(v);
        auto v = conv1d(g, u.value(), channels, prefix + "conv2", g.dilations[block]);
        if (!v) return fail(v.error());
        if (auto normed = group_norm(g, v.value(), prefix + "norm2"); !normed) return fail(normed.error());
        for (std::size_t k = 0; k < h.size(); ++k) h[k] = gelu(h[k] + v.value()[k]);
    }

    std::vector<double> pooled(2 * channels + 2);
    for (std::size_t c = 0; c < channels; ++c) {
        double sum = 0.0, maximum = -std::numeric_limits<double>::infinity();
        for (std::size_t t = 0; t < grid; ++t) {
            const double v = h[c * grid + t];
            sum += v;
            if (v > maximum) maximum = v;  // NaN never compares greater
        }
        pooled[c] = sum / static_cast<double>(grid);
        pooled[channels + c] = maximum;
    }
    pooled[2 * channels] = x.extras[0];
    pooled[2 * channels + 1] = x.extras[1];

    auto z0 = linear(g, pooled, "head.0");
    if (!z0) return fail(z0.error());
    for (double& v : z0.value()) v = gelu(v);
    auto z1 = linear(g, z0.value(), "head.2");
    if (!z1) return fail(z1.error());
    for (double& v : z1.value()) v = gelu(v);
    auto z2 = linear(g, z1.value(), "head.4");
    if (!z2) return fail(z2.error());
    const std::vector<double>& raw = z2.value();
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
