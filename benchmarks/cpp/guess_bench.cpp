// Time of one network inference (predict) per built-in model on a 60-point
// Randles spectrum, on one thread: the part of a default fit spent guessing.
//
//     build/<dir>/guess_bench [repeats]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "elements/complex.hpp"
#include "models/registry.hpp"
#include "nn/inference.hpp"
#include "support/constants.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// R0-(R1-W1,CPE1) at 60 log-spaced frequencies from 100 kHz to 10 mHz.
void randles_spectrum(std::vector<double>& f, std::vector<kelvara::Complex>& z) {
    const std::size_t n = 60;
    f.resize(n);
    z.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        f[i] = std::pow(10.0, 5.0 - 7.0 * double(i) / double(n - 1));
        const double w = kelvara::two_pi * f[i];
        // Z = R0 + 1 / (1/(R1 + aw (1-j)/sqrt(w)) + q (jw)^alpha)
        const double r0 = 0.1, r1 = 2.0, aw = 0.5, q = 1e-4, alpha = 0.85;
        const double zr = r1 + aw / std::sqrt(w), zi = -aw / std::sqrt(w);
        const double d = zr * zr + zi * zi;
        const double mag = q * std::pow(w, alpha), phase = alpha * 1.5707963267948966;
        const double yr = zr / d + mag * std::cos(phase), yi = -zi / d + mag * std::sin(phase);
        const double e = yr * yr + yi * yi;
        z[i] = {r0 + yr / e, -yi / e};
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kelvara;
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    std::vector<double> f;
    std::vector<Complex> z;
    randles_spectrum(f, z);
    double sink = 0.0;
    std::printf("%-16s %4s %12s %12s\n", "model", "ch", "median us", "best us");
    for (std::size_t m = 0; m < MODELS.size(); ++m) {
        const auto loaded = model_guesser(m);
        if (!std::holds_alternative<const Guesser*>(loaded)) {
            std::printf("%-16s not trained\n", std::string(MODELS[m].name).c_str());
            continue;
        }
        const Guesser& g = *std::get<const Guesser*>(loaded);
        std::vector<double> times;
        times.reserve(static_cast<std::size_t>(repeats));
        for (int r = 0; r < repeats; ++r) {
            const auto start = Clock::now();
            const auto out = predict(g, f, z);
            times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            if (out) sink += out.value()[0];
        }
        std::sort(times.begin(), times.end());
        std::printf("%-16s %4zu %12.1f %12.1f\n", std::string(MODELS[m].name).c_str(), g.channels,
                    times[times.size() / 2], times.front());
    }
    return sink == 42.0;  // keeps the calls from being optimised away
}
