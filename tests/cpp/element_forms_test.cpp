// The closed and cheaper element formulas against the textbook ones built
// from the general csqrt, cpow and ctanh: Zarc and La bit for bit, G, Gs, T
// and TLMQ within a few ulp.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "elements/element_impedance.hpp"

namespace kelvara {
namespace {

constexpr Complex one{1.0, 0.0};

Complex textbook(Kind kind, const double* p, const OmegaTerms& w) {
    const Complex jw = w.j_omega;
    switch (kind) {
        case Kind::La: return cpow(jw * p[0], p[1]);
        case Kind::Zarc: return Complex{p[0], 0.0} / (one + cpow(jw * p[1], p[2]));
        case Kind::G: return Complex{p[0], 0.0} / csqrt(one + jw * p[1]);
        case Kind::Gs: {
            const Complex s = csqrt(one + jw * p[1]);
            return Complex{p[0], 0.0} / (s * ctanh(p[2] * s));
        }
        case Kind::Tlmq: {
            const Complex zq = one / (p[1] * cpow(jw, p[2]));
            return csqrt(p[0] * zq) / ctanh(csqrt(Complex{p[0], 0.0} / zq));
        }
        case Kind::T: {
            const Complex beta = csqrt(Complex{p[2], 0.0} + jw * p[3]);
            if (std::fabs(beta.re) > 20.0) return (p[0] * Complex{beta.re > 0.0 ? 1.0 : -1.0, 0.0}) / beta;
            const Complex cosh_b{std::cosh(beta.re) * std::cos(beta.im), std::sinh(beta.re) * std::sin(beta.im)};
            const Complex sinh_b{std::sinh(beta.re) * std::cos(beta.im), std::cosh(beta.re) * std::sin(beta.im)};
            return p[0] * (cosh_b / sinh_b) / beta + p[1] * (one / sinh_b) / beta;
        }
        default: return {};
    }
}

// Distance in units in the last place, NaN matching NaN.
std::uint64_t ulps(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return 0;
    if (a == b) return 0;
    auto key = [](double x) {
        std::int64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::int64_t d = key(a) - key(b);
    return static_cast<std::uint64_t>(d < 0 ? -d : d);
}

struct Case {
    Kind kind;
    std::uint64_t max_ulps;  // per part, or relative to the modulus where a part nearly cancels
    std::vector<std::vector<double>> params;
};

class ElementForms : public ::testing::TestWithParam<Case> {};

TEST_P(ElementForms, AgreeWithTheTextbookFormulas) {
    const Case& c = GetParam();
    for (const double omega : {-5.0, 0.0, 1e-6, 1e-3, 0.37, 1.0, 6.3, 80.0, 1e3, 1e5, 1e8}) {
        const OmegaTerms w = omega_terms(omega);
        for (const std::vector<double>& p : c.params) {
            const Complex fast = element_impedance(c.kind, p.data(), w);
            const Complex slow = textbook(c.kind, p.data(), w);
            const double modulus = std::hypot(slow.re, slow.im);
            for (const auto& [a, b] : {std::pair{fast.re, slow.re}, std::pair{fast.im, slow.im}}) {
                // a part far below the modulus carries the modulus's rounding
                const bool close = ulps(a, b) <= c.max_ulps ||
                                   std::fabs(a - b) <= 8.0 * std::numeric_limits<double>::epsilon() * modulus;
                EXPECT_TRUE(close) << kind_info(c.kind).canonical_code << " omega " << omega << " p0 " << p[0]
                                   << ": " << a << " vs " << b << " (" << ulps(a, b) << " ulp)";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ElementForms,
    ::testing::Values(
        Case{Kind::Zarc, 0, {{1.0, 1e-3, 0.8}, {2.0, 0.5, 0.5}, {1.0, 1e-3, 1.0}, {3.0, 1e-2, 0.0}, {1.0, -2.0, 0.7},
                             {1.0, 0.0, 0.7}, {1.0, 1e-3, 0.31}}},
        Case{Kind::La, 0, {{1e-6, 0.8}, {1e-3, 0.5}, {2.0, 1.0}, {1e-4, 0.0}, {-1e-3, 0.6}, {0.0, 0.6}}},
        Case{Kind::G, 4, {{1.0, 1.0}, {5.0, 1e-3}, {0.3, 200.0}, {1.0, -3.0}}},
        Case{Kind::Gs, 8, {{1.0, 1.0, 1.0}, {5.0, 1e-3, 0.2}, {0.3, 20.0, 3.0}, {1.0, 0.5, 1e-3}}},
        Case{Kind::T, 8, {{1.0, 1.0, 1.0, 1.0}, {2.0, 0.5, 0.1, 1e-3}, {1.0, 3.0, 30.0, 0.2}, {1.0, 1.0, 1e-4, 10.0}}},
        Case{Kind::Tlmq, 8, {{1.0, 1e-3, 0.8}, {20.0, 0.5, 0.95}, {1.0, 1e-3, 0.5}, {1.0, 1e-2, 1.0}, {0.5, 3.0, 0.2}}}),
    [](const auto& info) { return std::string(kind_info(info.param.kind).canonical_code); });

}  // namespace
}  // namespace kelvara
