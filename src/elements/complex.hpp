// Complex arithmetic with plain IEEE semantics.
//
// std::complex multiplication and division recover from NaN/inf and rescale
// quotients; the model formulas want the textbook operations instead
// (a * conj(b) / |b|^2, no scaling), which are also faster.
#pragma once

#include <cmath>

namespace kelvara {

// Trivial on purpose: evaluation stacks of Complex are left uninitialised
// until used. Write Complex{} for zero.
struct Complex {
    double re;
    double im;
};

constexpr Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
constexpr Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
constexpr Complex operator*(Complex a, Complex b) {
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
constexpr Complex operator*(double s, Complex a) { return {s * a.re, s * a.im}; }
constexpr Complex operator*(Complex a, double s) { return {a.re * s, a.im * s}; }
constexpr Complex& operator+=(Complex& a, Complex b) {
    a.re += b.re;
    a.im += b.im;
    return a;
}

// a / b as a * conj(b) / |b|^2: a zero or non-finite denominator gives non-finite parts.
constexpr Complex operator/(Complex a, Complex b) {
    const double norm = b.re * b.re + b.im * b.im;
    return {(a.re * b.re + a.im * b.im) / norm, (a.im * b.re - a.re * b.im) / norm};
}
constexpr Complex operator/(double a, Complex b) { return Complex{a, 0.0} / b; }

inline Complex reciprocal(Complex z) { return 1.0 / z; }

// Principal square root with the sign conventions of the model formulas.
inline Complex csqrt(Complex z) {
    if (z.im == 0.0) {
        if (!std::signbit(z.re)) return {std::sqrt(z.re), z.im};
        const double t = std::sqrt(-z.re);
        return {0.0, std::signbit(z.im) ? -t : t};
    }
    if (z.re == 0.0) {
        const double t = std::sqrt(std::fabs(z.im) / 2.0);
        return {t, z.im > 0.0 ? t : -t};
    }
    const double r = std::hypot(z.re, z.im);
    const double half_theta = std::atan2(z.im, z.re) / 2.0;
    const double sr = std::sqrt(r);
    return {sr * std::cos(half_theta), sr * std::sin(half_theta)};
}

// z raised to a real power, exact for the exponents 1, 0.5 and 0.
inline Complex cpow(Complex z, double p) {
    if (p == 1.0) return z;
    if (p == 0.5) return csqrt(z);
    if (p == 0.0) return {1.0, 0.0};
    const double r = std::hypot(z.re, z.im);
    const double theta = std::atan2(z.im, z.re);
    const double m = std::pow(r, p);
    return {m * std::cos(p * theta), m * std::sin(p * theta)};
}

// The principal square root of z with Re z > 0 and finite parts: the
// half-angle identity sqrt((|z| + Re z) / 2) has no cancellation there and
// needs no atan2, cos or sin. Within 2 ulp of csqrt().
inline Complex csqrt_right_half(Complex z) {
    const double t = std::sqrt(std::hypot(0.5 * z.re, 0.5 * z.im) + 0.5 * z.re);
    return {t, z.im / (2.0 * t)};
}

// csqrt() through csqrt_right_half() where that applies.
inline Complex csqrt_fast(Complex z) {
    constexpr double huge = 1.7976931348623157e308;
    if (z.re > 0.0 && z.re <= huge && std::fabs(z.im) <= huge) return csqrt_right_half(z);
    return csqrt(z);
}

// Hyperbolic tangent, saturated to +-1 beyond |Re z| > 20 where the
// textbook quotient overflows.
inline Complex ctanh(Complex z) {
    if (std::fabs(z.re) > 20.0) return {z.re > 0.0 ? 1.0 : -1.0, 0.0};
    const Complex num{std::sinh(2.0 * z.re), std::sin(2.0 * z.im)};
    const double den = std::cosh(2.0 * z.re) + std::cos(2.0 * z.im);
    return {num.re / den, num.im / den};
}

// sinh and cosh of x from one expm1 (which keeps sinh accurate near 0).
inline void sinh_cosh(double x, double& sh, double& ch) {
    const double em1 = std::expm1(x);
    const double inverse = 1.0 / (em1 + 1.0);  // e^-x
    sh = 0.5 * em1 * (1.0 + inverse);           // (e^x - e^-x) / 2 = em1 (1 + e^-x) / 2
    ch = 0.5 * (em1 + 1.0 + inverse);
}

// ctanh() with one expm1 and one sincos in place of sinh, cosh, sin and
// cos: within a few ulp of it, saturated the same way.
inline Complex ctanh_fast(Complex z) {
    if (std::fabs(z.re) > 20.0) return {z.re > 0.0 ? 1.0 : -1.0, 0.0};
    double sh, ch;
    sinh_cosh(2.0 * z.re, sh, ch);
    const double den = ch + std::cos(2.0 * z.im);
    return {sh / den, std::sin(2.0 * z.im) / den};
}

}  // namespace kelvara
