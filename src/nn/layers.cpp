#include "nn/layers.hpp"

#include <array>
#include <string>

namespace kelvara {
namespace {

// Dilations beyond this cannot come from a sensible network.
constexpr std::size_t max_dilation = 1 << 20;

// "w.<layer><suffix>", built on the stack for the lookups a forward pass
// makes (the names of a real network are short); a long name goes to the heap.
class TensorName {
public:
    TensorName(std::string_view layer, std::string_view suffix) {
        constexpr std::string_view prefix = "w.";
        size_ = prefix.size() + layer.size() + suffix.size();
        if (size_ > small_.size()) {
            large_ = std::string(prefix) + std::string(layer) + std::string(suffix);
            return;
        }
        char* out = small_.data();
        for (const std::string_view part : {prefix, layer, suffix}) {
            part.copy(out, part.size());
            out += part.size();
        }
    }
    std::string_view view() const { return size_ > small_.size() ? std::string_view(large_) : std::string_view(small_.data(), size_); }
    std::string text() const { return std::string(view()); }

private:
    std::array<char, 64> small_{};
    std::size_t size_ = 0;
    std::string large_;
};

struct Tensors {
    const Tensor* weight;
    const Tensor* bias;
};

// The weight and bias tensors, or the missing error naming the first absent one.
Result<Tensors, NnError> lookup(const Guesser& g, const TensorName& weight_name, const TensorName& bias_name) {
    const Tensor* weight = g.tensor(weight_name.view());
    if (weight == nullptr) return fail(NnError::missing(weight_name.text()));
    const Tensor* bias = g.tensor(bias_name.view());
    if (bias == nullptr) return fail(NnError::missing(bias_name.text()));
    return Tensors{weight, bias};
}

}  // namespace

Result<ConvLayer, NnError> conv_layer(const Guesser& g, std::string_view name, std::size_t in_channels,
                                      std::size_t dilation, std::size_t input_size) {
    const TensorName weight_name(name, ".weight"), bias_name(name, ".bias");
    const auto tensors = lookup(g, weight_name, bias_name);
    if (!tensors) return fail(tensors.error());
    const Tensor& w = *tensors.value().weight;
    const Tensor& b = *tensors.value().bias;
    const std::size_t kernel = g.kernel;
    const std::size_t out_channels = w.dims.empty() ? 0 : w.dims.front();
    if (dilation > max_dilation) return fail(NnError::bad_value("dilations"));
    // The layer must map exactly in_channels to the network's width. The
    // product of header sizes may wrap; a wrapped product never matches,
    // so no loop below can index past the tensor.
    std::size_t expected = 0;
    const bool wrapped = __builtin_mul_overflow(g.channels, in_channels, &expected) ||
                         __builtin_mul_overflow(expected, kernel, &expected);
    if (wrapped) return fail(NnError::bad_value("kernel"));  // no weight file holds that many weights
    if (out_channels != g.channels || w.data.size() != expected) {
        return fail(NnError::shape(weight_name.text(), w.data.size(), expected));
    }
    if (b.data.size() != out_channels) return fail(NnError::shape(bias_name.text(), b.data.size(), out_channels));
    std::size_t wanted_input = 0;
    if (__builtin_mul_overflow(in_channels, g.n_grid, &wanted_input) || input_size != wanted_input) {
        return fail(NnError::shape(weight_name.text(), input_size, in_channels * g.n_grid));
    }
    return ConvLayer{w.data, b.data, out_channels, in_channels, kernel, dilation};
}

Result<NormLayer, NnError> norm_layer(const Guesser& g, std::string_view name) {
    const TensorName weight_name(name, ".weight"), bias_name(name, ".bias");
    const auto tensors = lookup(g, weight_name, bias_name);
    if (!tensors) return fail(tensors.error());
    const Tensor& weight = *tensors.value().weight;
    const Tensor& bias = *tensors.value().bias;
    const std::size_t channels = g.channels;
    // More groups than channels would mean empty groups, and a loop over
    // up to 2^64 of them.
    if (g.groups == 0 || g.groups > channels) return fail(NnError::bad_value("groups"));
    if (weight.data.size() != channels) return fail(NnError::shape(weight_name.text(), weight.data.size(), channels));
    if (bias.data.size() != channels) return fail(NnError::shape(bias_name.text(), bias.data.size(), channels));
    return NormLayer{weight.data, bias.data, channels, g.groups};
}

Result<DenseLayer, NnError> dense_layer(const Guesser& g, std::string_view name, std::size_t input_size) {
    const TensorName weight_name(name, ".weight"), bias_name(name, ".bias");
    const auto tensors = lookup(g, weight_name, bias_name);
    if (!tensors) return fail(tensors.error());
    const Tensor& w = *tensors.value().weight;
    const Tensor& b = *tensors.value().bias;
    // Two 32-bit dimensions: their product cannot wrap.
    const std::size_t outputs = w.dims.size() == 2 ? w.dims[0] : 0;
    const std::size_t inputs = w.dims.size() == 2 ? w.dims[1] : 0;
    if (w.dims.size() != 2 || w.data.size() != outputs * inputs) {
        return fail(NnError::shape(weight_name.text(), w.data.size(), outputs * inputs));
    }
    if (input_size != inputs) return fail(NnError::shape(std::string(name), input_size, inputs));
    if (b.data.size() != outputs) return fail(NnError::shape(bias_name.text(), b.data.size(), outputs));
    return DenseLayer{w.data, b.data, outputs, inputs};
}

}  // namespace kelvara
