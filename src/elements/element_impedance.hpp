// Impedance of a single element at one angular frequency.
//
// The formulas are inline templates on the kind so that a sweep over many
// frequencies (CompiledCircuit::sweep) dispatches on the kind once per
// element rather than once per frequency, and keeps parameter-only terms out
// of its loop.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
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

// Which of the costlier terms a circuit reads; the others may stay zero.
struct TermNeeds {
    bool sqrt_omega = false;    // W
    bool sqrt_j_omega = false;  // an exponent of 0.5
    bool exponent = false;      // a general exponent: ln|j*omega| and its angle
};
inline constexpr TermNeeds all_terms{true, true, true};

// Inline so that a loop over frequencies keeps the tests of `needs` out of
// its body and the terms in registers.
inline OmegaTerms omega_terms(double omega, TermNeeds needs = all_terms) {
    // Closed forms of hypot(0, w), atan2(w, 0) and csqrt(j*w): the same
    // values without the general routines, since this runs for every
    // frequency of every call.
    const double magnitude = std::fabs(omega);
    const double half_turn = 1.5707963267948966;  // atan2(w, 0) for w != 0
    OmegaTerms w;
    w.omega = omega;
    w.j_omega = {0.0, omega};
    if (needs.sqrt_omega) w.sqrt_omega = std::sqrt(omega);
    if (needs.sqrt_j_omega) {
        if (omega == 0.0) {
            w.sqrt_j_omega = csqrt(w.j_omega);
        } else {
            const double t = std::sqrt(magnitude / 2.0);
            w.sqrt_j_omega = {t, omega > 0.0 ? t : -t};
        }
    }
    if (needs.exponent) {
        // atan2(+-0, 0) = +-0
        w.arg_j_omega = omega == 0.0 || std::isnan(omega) ? omega : (omega > 0.0 ? half_turn : -half_turn);
        w.log_abs_j_omega = std::log(magnitude);
    }
    return w;
}

// The exponents 1, 0.5 and 0 have exact forms; the others take the general route.
inline bool special_exponent(double p) { return p == 1.0 || p == 0.5 || p == 0.0; }

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
// Special = false skips the tests for the special exponents, for a sweep
// that has made them once.
template <bool Special = true>
inline Complex j_omega_power(const OmegaTerms& w, double p, PhasorMemo& memo) {
    if constexpr (Special) {
        if (p == 1.0) return w.j_omega;
        if (p == 0.5) return w.sqrt_j_omega;
        if (p == 0.0) return {1.0, 0.0};
    }
    const double m = std::exp(p * w.log_abs_j_omega);
    double c, s;
    memo.get(p * w.arg_j_omega, c, s);
    return {m * c, m * s};
}

// cpow(z, p) for z = s * (j*omega), whose real part is a signed zero
// wherever s is finite: there hypot(+-0, y) = |y| and atan2(y, +-0) = +-pi/2
// exactly, so only pow() is left per frequency and the angle is the same
// along a sweep. The same bits as cpow().
template <bool Special = true>
inline Complex scaled_j_omega_power(Complex z, double p, PhasorMemo& memo) {
    constexpr double half_turn = 1.5707963267948966;
    if constexpr (Special) {
        if (p == 1.0) return z;
        if (p == 0.5) return csqrt(z);
        if (p == 0.0) return {1.0, 0.0};
    }
    if (z.re == 0.0 && (z.im > 0.0 || z.im < 0.0)) {
        const double m = std::pow(std::fabs(z.im), p);
        double c, s;
        memo.get(p * (z.im > 0.0 ? half_turn : -half_turn), c, s);
        return {m * c, m * s};
    }
    return cpow(z, p);
}

namespace detail {

// coth and csch of beta from its components; both saturate for |Re beta| > 20.
inline void coth_csch(Complex beta, Complex& coth, Complex& csch) {
    if (std::fabs(beta.re) > 20.0) {
        coth = {beta.re > 0.0 ? 1.0 : -1.0, 0.0};
        csch = {0.0, 0.0};
        return;
    }
    double sh, ch;
    sinh_cosh(beta.re, sh, ch);
    const double c = std::cos(beta.im), s = std::sin(beta.im);
    const Complex cosh_b{ch * c, sh * s};
    const Complex sinh_b{sh * c, ch * s};
    coth = cosh_b / sinh_b;
    csch = Complex{1.0, 0.0} / sinh_b;
}

}  // namespace detail

// The parameter index of a kind's exponent, or 0 for a kind without one.
template <Kind K>
inline constexpr std::size_t exponent_index_of = exponent_index(K) == no_param ? 0 : exponent_index(K);

// The frequency terms a kind's formula reads beyond j*omega: W its sqrt(omega),
// the kinds that raise j*omega alone to their exponent (j_omega_power) the
// exponent terms.
template <Kind K>
inline constexpr TermNeeds kind_terms = K == Kind::W                      ? TermNeeds{true, false, false}
                                        : K == Kind::Cpe || K == Kind::Tlmq ? TermNeeds{false, true, true}
                                                                            : TermNeeds{};

template <Kind K, bool Special = true>
inline Complex kind_impedance(const double* p, const OmegaTerms& w, PhasorMemo& memo) {
    constexpr Complex one{1.0, 0.0};
    if constexpr (K == Kind::R) {
        return {p[0], 0.0};
    } else if constexpr (K == Kind::C) {
        return one / (w.j_omega * p[0]);
    } else if constexpr (K == Kind::L) {
        return w.j_omega * p[0];
    } else if constexpr (K == Kind::La) {
        return scaled_j_omega_power<Special>(w.j_omega * p[0], p[1], memo);
    } else if constexpr (K == Kind::Cpe) {
        return one / (p[0] * j_omega_power<Special>(w, p[1], memo));
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
        return Complex{p[0], 0.0} / csqrt_fast(one + w.j_omega * p[1]);
    } else if constexpr (K == Kind::Gs) {
        const Complex s = csqrt_fast(one + w.j_omega * p[1]);
        return Complex{p[0], 0.0} / (s * ctanh_fast(p[2] * s));
    } else if constexpr (K == Kind::K) {
        return Complex{p[0], 0.0} / (one + w.j_omega * p[1]);
    } else if constexpr (K == Kind::Zarc) {
        return Complex{p[0], 0.0} / (one + scaled_j_omega_power<Special>(w.j_omega * p[1], p[2], memo));
    } else if constexpr (K == Kind::Tlmq) {
        const Complex zq = one / (p[1] * j_omega_power<Special>(w, p[2], memo));
        const Complex beta = csqrt_fast(Complex{p[0], 0.0} / zq);
        const Complex big_p = csqrt_fast(p[0] * zq);
        return big_p / ctanh_fast(beta);
    } else if constexpr (K == Kind::T) {
        const Complex beta = csqrt_fast(Complex{p[2], 0.0} + w.j_omega * p[3]);
        Complex coth, csch;
        detail::coth_csch(beta, coth, csch);
        return p[0] * coth / beta + p[1] * csch / beta;
    } else {
        static_assert(K == Kind::H);
        // With beta = 1 (cpow's exact case) this is the Zarc's formula.
        return Complex{p[0], 0.0} / cpow(one + scaled_j_omega_power<Special>(w.j_omega * p[1], p[2], memo), p[3]);
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
        case Kind::T: return f(std::integral_constant<Kind, Kind::T>{});
        case Kind::H: break;
    }
    return f(std::integral_constant<Kind, Kind::H>{});
}

// acc[i] += the impedance of kind K at w[i]: kind_impedance's values, with
// the exponent tested once per sweep instead of once per frequency.
template <Kind K>
inline void add_kind_sweep(const double* p, std::span<const OmegaTerms> w, Complex* acc) {
    PhasorMemo memo;
    if constexpr (exponent_index_of<K> != 0) {
        if (!special_exponent(p[exponent_index_of<K>])) {
            for (std::size_t i = 0; i < w.size(); ++i) acc[i] += kind_impedance<K, false>(p, w[i], memo);
            return;
        }
    }
    for (std::size_t i = 0; i < w.size(); ++i) acc[i] += kind_impedance<K>(p, w[i], memo);
}

// The catalogue impedance of `kind` with parameters `p` (catalogue order).
inline Complex element_impedance(Kind kind, const double* p, const OmegaTerms& w) {
    PhasorMemo memo;
    return with_kind(kind, [&](auto k) { return kind_impedance<decltype(k)::value>(p, w, memo); });
}

}  // namespace kelvara
