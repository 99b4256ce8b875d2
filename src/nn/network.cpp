#include "nn/network.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "nn/activation.hpp"
#include "nn/conv_kernel.hpp"
#include "nn/dense_kernel.hpp"
#include "nn/layers.hpp"

namespace kelvara {
namespace {

// Up to this many doubles (8 MiB) stay allocated per thread between calls;
// a larger network (only a strange weight file asks for one) gets its own.
constexpr std::size_t kept_doubles = std::size_t{1} << 20;

// The activations of one forward pass. stem_input, stream (the residual
// path h) and middle (a block's inner activation u) are maps of padded
// rows with zero margins; raw holds a convolution's output before it is
// normalised, in rows of tiled(grid).
class Workspace {
public:
    Workspace(std::size_t channels, std::size_t grid)
        : channels_(channels), grid_(grid), row_(padded_row(grid)), width_(tiled(grid)) {
        const std::size_t size = (3 + 2 * channels) * row_ + channels * width_;
        thread_local std::vector<double> kept;
        std::vector<double>& storage = size <= kept_doubles ? kept : own_;
        if (storage.size() < size) storage.resize(size);
        data_ = std::span<double>(storage).first(size);
        // Only the margins need clearing: every pass writes the grid part before reading it.
        for (std::size_t r = 0; r < 3 + 2 * channels; ++r) {
            const auto row = data_.subspan(r * row_, row_);
            std::fill(row.begin(), row.begin() + static_cast<std::ptrdiff_t>(conv_margin), 0.0);
            std::fill(row.begin() + static_cast<std::ptrdiff_t>(conv_margin + grid), row.end(), 0.0);
        }
    }

    std::span<double> stem_input() { return data_.first(3 * row_); }
    std::span<double> stream() { return data_.subspan(3 * row_, channels_ * row_); }
    std::span<double> middle() { return data_.subspan((3 + channels_) * row_, channels_ * row_); }
    std::span<double> raw() { return data_.subspan((3 + 2 * channels_) * row_, channels_ * width_); }

    // Grid part of row c of a padded map, of a raw map.
    std::span<double> padded(std::span<double> map, std::size_t c) const {
        return map.subspan(c * row_ + conv_margin, grid_);
    }
    std::span<double> unpadded(std::span<double> map, std::size_t c) const { return map.subspan(c * width_, grid_); }

private:
    std::size_t channels_, grid_, row_, width_;
    std::vector<double> own_;
    std::span<double> data_;
};

// A group's mean and 1 / sqrt(variance + 1e-5) (population variance), in
// one pass: sums of the deviations from the group's first value, which
// keeps the textbook formula's cancellation away when the mean is large.
struct Moments {
    double mean;
    double scale;
};

Moments group_moments(Workspace& ws, std::span<double> raw, std::size_t first, std::size_t channels,
                      std::size_t grid) {
    const double count = static_cast<double>(channels * grid);
    if (channels * grid == 0) return {0.0 / count, 0.0 / count};  // NaN, as the plain sums give
    const double shift = ws.unpadded(raw, first)[0];
    double s1[4] = {0.0, 0.0, 0.0, 0.0}, s2[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t c = first; c < first + channels; ++c) {
        const auto row = ws.unpadded(raw, c);
        std::size_t t = 0;
        for (; t + 4 <= grid; t += 4) {
            for (std::size_t l = 0; l < 4; ++l) {
                const double d = row[t + l] - shift;
                s1[l] += d;
                s2[l] += d * d;
            }
        }
        for (; t < grid; ++t) {
            const double d = row[t] - shift;
            s1[0] += d;
            s2[0] += d * d;
        }
    }
    const double mean_deviation = ((s1[0] + s1[1]) + (s1[2] + s1[3])) / count;
    const double variance = std::max(((s2[0] + s2[1]) + (s2[2] + s2[3])) / count - mean_deviation * mean_deviation, 0.0);
    return {shift + mean_deviation, 1.0 / std::sqrt(variance + 1e-5)};
}

// Group norm of the raw map, then into each destination row either
// gelu(normalised) or, for the residual step, gelu(destination + normalised).
// Channels past the last whole group are not normalised.
void norm_gelu(Workspace& ws, const NormLayer& norm, std::span<double> raw, std::span<double> dest, bool add,
               std::size_t grid) {
    const std::size_t per_group = norm.channels / norm.groups;
    Moments m{};  // of the group of channel c, computed at its first channel
    for (std::size_t c = 0; c < norm.channels; ++c) {
        Affine a;  // identity
        if (c < norm.groups * per_group) {
            if (c % per_group == 0) m = group_moments(ws, raw, c, per_group, grid);
            a = {m.mean, m.scale, norm.weight[c], norm.bias[c]};
        }
        affine_gelu(ws.unpadded(raw, c), ws.padded(dest, c), a, add);
    }
}

// "blocks.<index>.<layer>" without a heap allocation.
class BlockLayerName {
public:
    BlockLayerName(std::size_t block, std::string_view layer) {
        constexpr std::string_view prefix = "blocks.";
        char* out = prefix.copy(text_.data(), prefix.size()) + text_.data();
        out = std::to_chars(out, text_.data() + text_.size(), block).ptr;
        *out++ = '.';
        out += layer.copy(out, layer.size());
        size_ = static_cast<std::size_t>(out - text_.data());
    }
    std::string_view view() const { return {text_.data(), size_}; }

private:
    std::array<char, 48> text_{};  // 7 + 20 digits + 1 + the layer's short name
    std::size_t size_ = 0;
};

}  // namespace

Result<std::vector<double>, NnError> network_outputs(const Guesser& g, std::span<const double> features,
                                                     std::span<const double, 2> extras) {
    const std::size_t grid = g.n_grid;
    const auto stem = conv_layer(g, "stem", 3, 1, features.size());
    if (!stem) return fail(stem.error());
    // The stem's checked shape bounds the width: channels x 3 x kernel weights exist.
    const std::size_t channels = stem.value().outputs;
    Workspace ws(channels, grid);

    const auto x = ws.stem_input();
    for (std::size_t i = 0; i < 3; ++i) {
        std::copy_n(features.begin() + static_cast<std::ptrdiff_t>(i * grid), grid, ws.padded(x, i).begin());
    }
    const auto h = ws.stream(), u = ws.middle(), raw = ws.raw();
    convolve(stem.value(), grid, x, raw);
    for (std::size_t c = 0; c < channels; ++c) {
        const auto row = ws.unpadded(raw, c);
        std::copy(row.begin(), row.end(), ws.padded(h, c).begin());
    }

    for (std::size_t block = 0; block < g.dilations.size(); ++block) {
        const std::size_t dilation = g.dilations[block];
        const auto conv1 = conv_layer(g, BlockLayerName(block, "conv1").view(), channels, dilation, channels * grid);
        if (!conv1) return fail(conv1.error());
        convolve(conv1.value(), grid, h, raw);
        const auto norm1 = norm_layer(g, BlockLayerName(block, "norm1").view());
        if (!norm1) return fail(norm1.error());
        norm_gelu(ws, norm1.value(), raw, u, false, grid);

        const auto conv2 = conv_layer(g, BlockLayerName(block, "conv2").view(), channels, dilation, channels * grid);
        if (!conv2) return fail(conv2.error());
        convolve(conv2.value(), grid, u, raw);
        const auto norm2 = norm_layer(g, BlockLayerName(block, "norm2").view());
        if (!norm2) return fail(norm2.error());
        norm_gelu(ws, norm2.value(), raw, h, true, grid);
    }

    // Mean and maximum of each channel over the grid (a NaN never counts as
    // the maximum), then the extras. Four partial sums and maxima per row.
    std::vector<double> pooled(2 * channels + 2);
    for (std::size_t c = 0; c < channels; ++c) {
        const auto row = ws.padded(h, c);
        double sum[4] = {0.0, 0.0, 0.0, 0.0};
        double maximum[4];
        std::fill_n(maximum, 4, -std::numeric_limits<double>::infinity());
        std::size_t t = 0;
        for (; t + 4 <= grid; t += 4) {
            for (std::size_t l = 0; l < 4; ++l) {
                sum[l] += row[t + l];
                if (row[t + l] > maximum[l]) maximum[l] = row[t + l];  // NaN never compares greater
            }
        }
        for (; t < grid; ++t) {
            sum[0] += row[t];
            if (row[t] > maximum[0]) maximum[0] = row[t];
        }
        double most = maximum[0];
        for (const double m : maximum) {
            if (m > most) most = m;
        }
        pooled[c] = ((sum[0] + sum[1]) + (sum[2] + sum[3])) / static_cast<double>(grid);
        pooled[channels + c] = most;
    }
    pooled[2 * channels] = extras[0];
    pooled[2 * channels + 1] = extras[1];

    const auto head0 = dense_layer(g, "head.0", pooled.size());
    if (!head0) return fail(head0.error());
    std::vector<double> z0(head0.value().outputs);
    apply_dense(head0.value(), pooled, z0);
    gelu_in_place(z0);
    const auto head2 = dense_layer(g, "head.2", z0.size());
    if (!head2) return fail(head2.error());
    std::vector<double> z1(head2.value().outputs);
    apply_dense(head2.value(), z0, z1);
    gelu_in_place(z1);
    const auto head4 = dense_layer(g, "head.4", z1.size());
    if (!head4) return fail(head4.error());
    std::vector<double> out(head4.value().outputs);
    apply_dense(head4.value(), z1, out);
    return out;
}

}  // namespace kelvara
