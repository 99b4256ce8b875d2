// Impedance of a single element at one angular frequency.
//
// The formulas are inline templates on the kind so that a sweep over many
// frequencies (CompiledCircuit::sweep) dispatches on the kind once per
// element rather than once per frequency, and keeps parameter-only terms out
// of its loop.
#pragma once

#include <cmath>
#include <limits>
#include <type_traits>

#include "elements/catalogue.hpp"
#include "elements/complex.hpp"

namespace kelvara {

// Quantities that depend on the frequency alone, computed once per frequency
// and shared by every element of a circuit.
struct OmegaTerms {
    double omega = 0.0;
    double sqrt_omega = 0.0;       // W
    Complex j_omega{};             // j*omega
    Complex sqrt_j_omega{};        // csqrt(j*omega): exponent 0.5
    double log_abs_j_omega = 0.0;  // ln|j*omega|: general exponents
    double arg_j_omega = 0.0;      // atan2(omega, 0)
};

OmegaTerms omega_terms(double omega);

// cos and sin of the last angle asked for. Along a sweep with one parameter
// vector the angle of (j*omega)^p is p*pi/2 at every omega > 0, so the two
// most expensive calls of a constant-phase element run once per sweep.
class PhasorMemo {
public:
    void get(double angle, double& c, double& s) {
        if (!(angle == angle_)) {  // NaN never matches, so it is always recomputed
            angle_ = angle;
            cos_ = std::cos(angle);
            sin_ = std::sin(angle);
        }
        c = cos_;
        s = sin_;
    }

private:
    double angle_ = std::numeric_limits<double>::quiet_NaN();
    double cos_ = 0.0;
    double sin_ = 0.0;
};

// (j*omega)^p: exact for p = 1, 0.5 and 0; otherwise |j*omega|^p as
// exp(p * ln|j*omega|) (within a few ulp of pow() at a third of its cost)
// at the angle p * arg(j*omega).
inline Complex j_omega_power(const OmegaTerms& w, double p, PhasorMemo& memo) {
    if (p == 1.0) return w.j_omega;
    if (p == 0.5) return w.sqrt_j_omega;
    if (p == 0.0) return {1.0, 0.0};
    const double m = std::exp(p * w.log_abs_j_omega);
    double c, s;
    memo.get(p * w.arg_j_omega, c, s);
    return {m * c, m * s};
}

namespace detail {

// coth and csch of beta from its components; both saturate for |Re beta| > 20.
inline void coth_csch(Complex beta, Complex& coth, Complex& csch) {
    if (std::fabs(beta.re) > 20.0) {
        coth = {beta.re > 0.0 ? 1.0 : -1.0, 0.0};
        csch = {0.0, 0.0};
        return;
    }
    const double ch = std::cosh(beta.re), sh = std::sinh(beta.re);
    const double c = std::cos(beta.im), s = std::sin(beta.im);
    const Complex cosh_b{ch * c, sh * s};
    const Complex sinh_b{sh * c, ch * s};
    coth = cosh_b / sinh_b;
    csch = Complex{1.0, 0.0} / sinh_b;
}

}  // namespace detail

template <Kind K>
inline Complex kind_impedance(const double* p, const OmegaTerms& w, PhasorMemo& memo) {
    constexpr Complex one{1.0, 0.0};
    if constexpr (K == Kind::R) {
        return {p[0], 0.0};
    } else if constexpr (K == Kind::C) {
        return one / (w.j_omega * p[0]);
    } else if constexpr (K == Kind::L) {
        return w.j_omega * p[0];
    } else if constexpr (K == Kind::La) {
        return cpow(w.j_omega * p[0], p[1]);
    } else if constexpr (K == Kind::Cpe) {
        return one / (p[0] * j_omega_power(w, p[1], memo));
    } else if constexpr (K == Kind::W) {
        // A complex quotient, so that omega = 0 gives NaN like the capacitive elements.
        return Complex{p[0], -p[0]} / Complex{w.sqrt_omega, 0.0};
    } else if constexpr (K == Kind::Wo) {
        const Complex s = csqrt(w.j_omega * p[1]);
        return Complex{p[0], 0.0} / (s * ctanh(s));
    } else if constexpr (K == Kind::Ws) {
        const Complex s = csqrt(w.j_omega * p[1]);
        return p[0] * ctanh(s) / s;
    } else if constexpr (K == Kind::G) {
        return Complex{p[0], 0.0} / csqrt(one + w.j_omega * p[1]);
    } else if constexpr (K == Kind::Gs) {
        const Complex s = csqrt(one + w.j_omega * p[1]);
        return Complex{p[0], 0.0} / (s * ctanh(p[2] * s));
    } else if constexpr (K == Kind::K) {
        return Complex{p[0], 0.0} / (one + w.j_omega * p[1]);
    } else if constexpr (K == Kind::Zarc) {
        return Complex{p[0], 0.0} / (one + cpow(w.j_omega * p[1], p[2]));
    } else if constexpr (K == Kind::Tlmq) {
        const Complex zq = one / (p[1] * j_omega_power(w, p[2], memo));
        const Complex beta = csqrt(Complex{p[0], 0.0} / zq);
        const Complex big_p = csqrt(p[0] * zq);
        return big_p / ctanh(beta);
    } else {
        static_assert(K == Kind::T);
        const Complex beta = csqrt(Complex{p[2], 0.0} + w.j_omega * p[3]);
        Complex coth, csch;
        detail::coth_csch(beta, coth, csch);
        return p[0] * coth / beta + p[1] * csch / beta;
    }
}

// Calls f(std::integral_constant<Kind, kind>{}), turning a run-time kind
// into a compile-time one.
template <class F>
inline decltype(auto) with_kind(Kind kind, F&& f) {
    switch (kind) {
        case Kind::R: return f(std::integral_constant<Kind, Kind::R>{});
        case Kind::C: return f(std::integral_constant<Kind, Kind::C>{});
        case Kind::L: return f(std::integral_constant<Kind, Kind::L>{});
        case Kind::La: return f(std::integral_constant<Kind, Kind::La>{});
        case Kind::Cpe: return f(std::integral_constant<Kind, Kind::Cpe>{});
        case Kind::W: return f(std::integral_constant<Kind, Kind::W>{});
        case Kind::Wo: return f(std::integral_constant<Kind, Kind::Wo>{});
        case Kind::Ws: return f(std::integral_constant<Kind, Kind::Ws>{});
        case Kind::G: return f(std::integral_constant<Kind, Kind::G>{});
        case Kind::Gs: return f(std::integral_constant<Kind, Kind::Gs>{});
        case Kind::K: return f(std::integral_constant<Kind, Kind::K>{});
        case Kind::Zarc: return f(std::integral_constant<Kind, Kind::Zarc>{});
        case Kind::Tlmq: return f(std::integral_constant<Kind, Kind::Tlmq>{});
        case Kind::T: break;
    }
    return f(std::integral_constant<Kind, Kind::T>{});
}

// The catalogue impedance of `kind` with parameters `p` (catalogue order).
inline Complex element_impedance(Kind kind, const double* p, const OmegaTerms& w) {
    PhasorMemo memo;
    return with_kind(kind, [&](auto k) { return kind_impedance<decltype(k)::value>(p, w, memo); });
}

}  // namespace kelvara
