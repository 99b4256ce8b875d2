// Cost per frequency of evaluating the Randles circuit from a flat parameter
// vector, on one thread, next to a loop hand-written for that one circuit;
// then each element kind's sweep next to a loop that calls the textbook
// formula (general csqrt, cpow, ctanh) at every frequency.
// A fit evaluates one parameter vector over a spectrum of tens of points
// many times, so the data stay in cache: that is what is timed.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "circuit/compiled.hpp"
#include "circuit/evaluate.hpp"
#include "circuit/parser.hpp"
#include "elements/element_impedance.hpp"
#include "support/tree_walk.hpp"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double best_ns_per_item(std::size_t items, F&& body) {
    double best = 1e300;
    for (int repeat = 0; repeat < 9; ++repeat) {
        const auto start = Clock::now();
        body();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        best = std::min(best, ns / static_cast<double>(items));
    }
    return best;
}

// The formulas as written in the catalogue, with the general routines.
kelvara::Complex textbook(kelvara::Kind kind, const double* p, const kelvara::OmegaTerms& w) {
    using namespace kelvara;
    constexpr Complex one{1.0, 0.0};
    const Complex jw = w.j_omega;
    switch (kind) {
        case Kind::R: return {p[0], 0.0};
        case Kind::C: return one / (jw * p[0]);
        case Kind::L: return jw * p[0];
        case Kind::La: return cpow(jw * p[0], p[1]);
        case Kind::Cpe: return one / (p[0] * cpow(jw, p[1]));
        case Kind::W: return Complex{p[0], -p[0]} / Complex{std::sqrt(w.omega), 0.0};
        case Kind::Wo: {
            const Complex s = csqrt(jw * p[1]);
            return Complex{p[0], 0.0} / (s * ctanh(s));
        }
        case Kind::Ws: {
            const Complex s = csqrt(jw * p[1]);
            return p[0] * ctanh(s) / s;
        }
        case Kind::G: return Complex{p[0], 0.0} / csqrt(one + jw * p[1]);
        case Kind::Gs: {
            const Complex s = csqrt(one + jw * p[1]);
            return Complex{p[0], 0.0} / (s * ctanh(p[2] * s));
        }
        case Kind::K: return Complex{p[0], 0.0} / (one + jw * p[1]);
        case Kind::Zarc: return Complex{p[0], 0.0} / (one + cpow(jw * p[1], p[2]));
        case Kind::H: return Complex{p[0], 0.0} / cpow(one + cpow(jw * p[1], p[2]), p[3]);
        case Kind::Tlmq: {
            const Complex zq = one / (p[1] * cpow(jw, p[2]));
            return csqrt(p[0] * zq) / ctanh(csqrt(Complex{p[0], 0.0} / zq));
        }
        case Kind::T: {
            const Complex beta = csqrt(Complex{p[2], 0.0} + jw * p[3]);
            return p[0] / (ctanh(beta) * beta) + p[1] * (one / Complex{std::sinh(beta.re) * std::cos(beta.im),
                                                                        std::cosh(beta.re) * std::sin(beta.im)}) / beta;
        }
    }
    return {};
}

void per_kind_costs(std::span<const kelvara::OmegaTerms> omegas, double& sink) {
    using namespace kelvara;
    const std::size_t sweeps = 2000, items = omegas.size() * sweeps;
    std::vector<Complex> out(omegas.size());
    std::printf("\nPer kind, ns per frequency: sweep (what fits use) / textbook formula per frequency\n");
    for (std::size_t k = 0; k < kind_count; ++k) {
        const Kind kind = kind_at(k);
        const auto p = kind_info(kind).defaults;
        const double swept = best_ns_per_item(items, [&] {
            for (std::size_t s = 0; s < sweeps; ++s) {
                std::fill(out.begin(), out.end(), Complex{});
                with_kind(kind, [&](auto kc) { add_kind_sweep<decltype(kc)::value>(p.data(), omegas, out.data()); });
            }
            sink += out[7].re;
        });
        const double plain = best_ns_per_item(items, [&] {
            for (std::size_t s = 0; s < sweeps; ++s) {
                for (std::size_t i = 0; i < omegas.size(); ++i) out[i] = textbook(kind, p.data(), omegas[i]);
            }
            sink += out[7].re;
        });
        std::printf("  %-5s %7.1f / %7.1f  (%.2fx)\n", std::string(CODES[k]).c_str(), swept, plain, plain / swept);
    }
}

}  // namespace

int main() {
    using namespace kelvara;
    const SeriesList tree = std::move(parse("R0-(R1-W1,CPE1)")).value();
    const std::vector<double> params = {0.1, 2.0, 0.5, 1e-4, 0.85};
    const std::size_t points = 60, sweeps = 5000, items = points * sweeps;
    std::vector<OmegaTerms> omegas(points);
    for (std::size_t i = 0; i < points; ++i) {
        omegas[i] = omega_terms(two_pi * std::pow(10.0, -2.0 + 7.0 * double(i) / double(points - 1)));
    }
    std::vector<Complex> out(points);
    double sink = 0.0;

    const CompiledCircuit compiled(tree);
    std::vector<Complex> workspace(compiled.workspace_size(points));
    const double sweep = best_ns_per_item(items, [&] {
        for (std::size_t s = 0; s < sweeps; ++s) compiled.sweep(omegas, params.data(), out, workspace);
        sink += out[7].re;
    });
    const double single = best_ns_per_item(items, [&] {
        for (std::size_t s = 0; s < sweeps; ++s) {
            for (std::size_t i = 0; i < points; ++i) out[i] = compiled.impedance(omegas[i], params.data());
        }
        sink += out[7].re;
    });
    const double walk = best_ns_per_item(items, [&] {
        for (std::size_t s = 0; s < sweeps; ++s) {
            for (std::size_t i = 0; i < points; ++i) {
                out[i] = impedance_with_params_unchecked(tree, omegas[i], params.data());
            }
        }
        sink += out[7].re;
    });
    const double hand = best_ns_per_item(items, [&] {
        for (std::size_t s = 0; s < sweeps; ++s) {
            const double r0 = params[0], r1 = params[1], aw = params[2], q = params[3], alpha = params[4];
            const double c = std::cos(alpha * M_PI / 2), si = std::sin(alpha * M_PI / 2);
            for (std::size_t i = 0; i < points; ++i) {
                const double w = omegas[i].omega;
                const double a = aw / std::sqrt(w);
                const Complex branch{r1 + a, -a};
                const double m = q * std::pow(w, alpha);
                const Complex admittance = Complex{m * c, m * si} + 1.0 / branch;
                out[i] = Complex{r0, 0.0} + 1.0 / admittance;
            }
        }
        sink += out[7].re;
    });

    std::printf("Randles circuit, %zu points, one thread, ns per frequency\n", points);
    std::printf("  sweep over the spectrum (what fits use): %6.1f  (target < 40)\n", sweep);
    std::printf("  compiled, one frequency at a time:       %6.1f\n", single);
    std::printf("  tree walk, one frequency at a time:      %6.1f\n", walk);
    std::printf("  hand-written loop for this circuit:      %6.1f\n", hand);
    std::printf("  ratio sweep / hand-written:              %6.2f\n", sweep / hand);
    per_kind_costs(omegas, sink);
    return sink == 12345.0 ? 1 : 0;
}
