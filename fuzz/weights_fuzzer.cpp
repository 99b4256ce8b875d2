// libFuzzer harness for the .eisnn weight-file loader: the input is the
// file's bytes. What loads goes on the way a user's weight file does in a
// guess: its circuit is parsed and matched, and the network runs once on a
// small fixed spectrum, so inference sees every odd header and tensor shape
// the loader lets through.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "circuit/parser.hpp"
#include "elements/complex.hpp"
#include "models/topology.hpp"
#include "nn/guesser.hpp"
#include "nn/inference.hpp"
#include "support/constants.hpp"

namespace {

using namespace kelvara;

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "weights_fuzzer: invariant violated: %s\n", what);
    std::abort();
}

// A Randles-like spectrum, high frequency first as instruments write it.
struct Spectrum {
    std::vector<double> f;
    std::vector<Complex> z;
};

Spectrum make_spectrum() {
    Spectrum s;
    constexpr int n = 24;
    for (int i = 0; i < n; ++i) {
        const double f = std::pow(10.0, 5.0 - 7.0 * i / (n - 1));
        const double w = two_pi * f;
        // R0 = 0.1, R1 = 2 in parallel with C1 = 1e-4, plus a Warburg tail.
        const double d = 1.0 + (w * 2.0 * 1e-4) * (w * 2.0 * 1e-4);
        const double warburg = 0.5 / std::sqrt(w);
        s.f.push_back(f);
        s.z.push_back({0.1 + 2.0 / d + warburg, -2.0 * (w * 2.0 * 1e-4) / d - warburg});
    }
    return s;
}

void exercise(std::span<const std::uint8_t> bytes) {
    auto loaded = Guesser::from_bytes(bytes);
    if (!loaded) {
        require(!loaded.error().display().empty(), "empty loader error message");
        return;
    }
    const Guesser& g = loaded.value();
    require(g.scaling.size() * 4 == g.tensor("scaling")->data.size(), "scaling rows lost");

    static const Spectrum spectrum = make_spectrum();
    auto predicted = predict(g, spectrum.f, spectrum.z);
    if (!predicted) {
        require(!predicted.error().display().empty(), "empty inference error message");
    } else {
        require(predicted.value().size() == g.param_names.size(), "one output per parameter name");
    }

    // A user's weight file names its circuit; a guess parses it and maps the
    // user's parameters onto the network's outputs.
    auto tree = parse(g.circuit);
    if (tree) {
        const auto match = match_or_expand(tree.value(), tree.value());
        require(match.has_value(), "a weight file's circuit does not match itself");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    exercise(std::span<const std::uint8_t>(data, size));
    return 0;
}
