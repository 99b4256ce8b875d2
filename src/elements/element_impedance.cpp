#include "elements/element_impedance.hpp"

#include <cmath>

namespace kelvara {
namespace {

constexpr Complex one{1.0, 0.0};

// coth and csch of beta built from its components; both saturate for |Re beta| > 20.
struct CothCsch {
    Complex coth;
    Complex csch;
};

CothCsch coth_csch(Complex beta) {
    if (std::fabs(beta.re) > 20.0) return {{beta.re > 0.0 ? 1.0 : -1.0, 0.0}, {0.0, 0.0}};
    const double ch = std::cosh(beta.re), sh = std::sinh(beta.re);
    const double c = std::cos(beta.im), s = std::sin(beta.im);
    const Complex cosh_b{ch * c, sh * s};
    const Complex sinh_b{sh * c, ch * s};
    return {cosh_b / sinh_b, one / sinh_b};
}

}  // namespace

OmegaTerms omega_terms(double omega) {
    OmegaTerms w;
    w.omega = omega;
    w.sqrt_omega = std::sqrt(omega);
    w.j_omega = {0.0, omega};
    w.sqrt_j_omega = csqrt(w.j_omega);
    w.abs_j_omega = std::hypot(0.0, omega);
    w.arg_j_omega = std::atan2(omega, 0.0);
    return w;
}

Complex j_omega_power(const OmegaTerms& w, double p) {
    if (p == 1.0) return w.j_omega;
    if (p == 0.5) return w.sqrt_j_omega;
    if (p == 0.0) return one;
    const double m = std::pow(w.abs_j_omega, p);
    const double angle = p * w.arg_j_omega;
    return {m * std::cos(angle), m * std::sin(angle)};
}

Complex element_impedance(Kind kind, const double* p, const OmegaTerms& w) {
    switch (kind) {
        case Kind::R:
            return {p[0], 0.0};
        case Kind::C:
            return one / (w.j_omega * p[0]);
        case Kind::L:
            return w.j_omega * p[0];
        case Kind::La:
            return cpow(w.j_omega * p[0], p[1]);
        case Kind::Cpe:
            return one / (p[0] * j_omega_power(w, p[1]));
        case Kind::W: {
            const double a = p[0] / w.sqrt_omega;
            return {a, -a};
        }
        case Kind::Wo: {
            const Complex s = csqrt(w.j_omega * p[1]);
            return Complex{p[0], 0.0} / (s * ctanh(s));
        }
        case Kind::Ws: {
            const Complex s = csqrt(w.j_omega * p[1]);
            return p[0] * ctanh(s) / s;
        }
        case Kind::G:
            return Complex{p[0], 0.0} / csqrt(one + w.j_omega * p[1]);
        case Kind::Gs: {
            const Complex s = csqrt(one + w.j_omega * p[1]);
            return Complex{p[0], 0.0} / (s * ctanh(p[2] * s));
        }
        case Kind::K:
            return Complex{p[0], 0.0} / (one + w.j_omega * p[1]);
        case Kind::Zarc:
            return Complex{p[0], 0.0} / (one + cpow(w.j_omega * p[1], p[2]));
        case Kind::Tlmq: {
            const Complex zq = one / (p[1] * j_omega_power(w, p[2]));
            const Complex beta = csqrt(Complex{p[0], 0.0} / zq);
            const Complex big_p = csqrt(p[0] * zq);
            return big_p / ctanh(beta);
        }
        case Kind::T: {
            const Complex beta = csqrt(Complex{p[2], 0.0} + w.j_omega * p[3]);
            const CothCsch h = coth_csch(beta);
            return p[0] * h.coth / beta + p[1] * h.csch / beta;
        }
    }
    return {std::nan(""), std::nan("")};
}

}  // namespace kelvara
