// The closed catalogue of circuit element kinds: one row per kind holds every
// fact about it (codes, parameters, units, defaults, bounds, which parameter
// is an exponent, how the data start places it, how its impedance goes at
// the ends of a parameter's range, the pair a shorthand stands for). The
// impedance formulas sit beside it in element_impedance.hpp. Indexed by the
// kind's position; a new kind is a new enumerator, a row and a formula.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

namespace kelvara {

enum class Kind : unsigned char { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T, H };

inline constexpr std::size_t kind_count = 15;
inline constexpr std::size_t max_params = 4;
inline constexpr std::size_t no_param = max_params;  // "no such parameter" for a parameter index

struct Bounds {
    double lo;
    double hi;
};

// What a parameter is. Its bounds follow from it, and the data start reads it.
enum class Quantity : unsigned char {
    other,        // positive, open above
    resistance,   // the element's DC resistance (ohm)
    time,         // its time constant (s)
    exponent,     // a dispersion exponent, in [0, 1]
    coefficient,  // a power-law coefficient whose unit carries s^exponent (a CPE's q)
};

// How the element's impedance goes as a parameter falls to its floor and as
// it runs off to infinity: what a fit that runs it there says.
enum class Drift : unsigned char {
    none,   // neither (or not simply)
    grows,  // shorted at the floor, open at infinity (a resistance)
    falls,  // open at the floor, shorted at infinity (a capacitance)
};

// The place the data start gives an element in a circuit.
enum class Role : unsigned char {
    resistor,   // series resistance, or a process's resistive branch
    inductor,   // the high-frequency inductance
    capacitor,  // only a capacitive path: a process's capacitive branch, else the tail
    tail,       // rises without bound towards DC
    process,    // a DC resistance and a time constant of its own
};

// A shorthand for a resistor r in parallel with `partner`.
struct Longhand {
    Kind partner;
    // The partner's values from the shorthand's.
    std::array<double, max_params> (*expand)(std::span<const double> shorthand);
    // The shorthand's values from r and the partner's.
    std::array<double, max_params> (*collapse)(double r, std::span<const double> partner);
};

struct KindInfo {
    std::string_view canonical_code;    // automatic labels, topology keys, Python classes
    std::string_view help_code;         // the help listing
    std::string_view alternative_code;  // a second spelling the parser accepts, or empty
    std::size_t param_count;
    std::array<std::string_view, max_params> param_names;
    std::array<std::string_view, max_params> units;
    std::array<double, max_params> defaults;
    std::array<Quantity, max_params> quantities;
    std::array<Drift, max_params> drifts;
    Role role;
    const Longhand* longhand = nullptr;  // K and Zarc
};

namespace detail {

std::array<double, max_params> k_expand(std::span<const double> p);
std::array<double, max_params> k_collapse(double r, std::span<const double> c);
std::array<double, max_params> zarc_expand(std::span<const double> p);
std::array<double, max_params> zarc_collapse(double r, std::span<const double> cpe);

inline constexpr Longhand k_longhand{Kind::C, k_expand, k_collapse};
inline constexpr Longhand zarc_longhand{Kind::Cpe, zarc_expand, zarc_collapse};

using Q = Quantity;
using D = Drift;
inline constexpr double inf = std::numeric_limits<double>::infinity();

}  // namespace detail

// clang-format off
inline constexpr std::array<KindInfo, kind_count> KINDS = {{
    {"R", "R", "", 1, {"r"}, {"ohm"}, {1.0}, {detail::Q::resistance}, {detail::D::grows}, Role::resistor},
    {"C", "C", "", 1, {"c"}, {"F"}, {0.001}, {detail::Q::other}, {detail::D::falls}, Role::capacitor},
    {"L", "L", "", 1, {"l"}, {"H"}, {1e-6}, {detail::Q::other}, {detail::D::grows}, Role::inductor},
    {"La", "La", "", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}, {detail::Q::other, detail::Q::exponent},
     {detail::D::grows}, Role::inductor},
    {"Cpe", "CPE", "CPE", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8},
     {detail::Q::coefficient, detail::Q::exponent}, {detail::D::falls}, Role::capacitor},
    {"W", "W", "", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}, {detail::Q::other}, {detail::D::grows}, Role::tail},
    {"Wo", "Wo", "", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}, {detail::Q::other, detail::Q::time},
     {detail::D::grows}, Role::tail},
    {"Ws", "Ws", "", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}, {detail::Q::resistance, detail::Q::time},
     {detail::D::grows}, Role::process},
    {"G", "G", "", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}, {detail::Q::resistance, detail::Q::time},
     {detail::D::grows}, Role::process},
    {"Gs", "Gs", "", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0},
     {detail::Q::resistance, detail::Q::time, detail::Q::other}, {detail::D::grows}, Role::process},
    {"K", "K", "", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}, {detail::Q::resistance, detail::Q::time},
     {detail::D::grows}, Role::process, &detail::k_longhand},
    {"Zarc", "Zarc", "", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8},
     {detail::Q::resistance, detail::Q::time, detail::Q::exponent}, {detail::D::grows}, Role::process,
     &detail::zarc_longhand},
    {"Tlmq", "TLMQ", "TLMQ", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"}, {1.0, 0.001, 0.8},
     {detail::Q::other, detail::Q::coefficient, detail::Q::exponent}, {}, Role::tail},
    {"T", "T", "", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"}, {1.0, 1.0, 1.0, 1.0},
     {detail::Q::other, detail::Q::other, detail::Q::other, detail::Q::time}, {}, Role::process},
    // Havriliak-Negami: r / (1 + (j w tau)^alpha)^beta
    {"H", "H", "", 4, {"r", "tau", "alpha", "beta"}, {"ohm", "s", "-", "-"}, {1.0, 0.001, 0.8, 0.8},
     {detail::Q::resistance, detail::Q::time, detail::Q::exponent, detail::Q::exponent}, {detail::D::grows},
     Role::process},
}};
// clang-format on

constexpr const KindInfo& kind_info(Kind kind) { return KINDS[static_cast<std::size_t>(kind)]; }
constexpr std::size_t kind_index(Kind kind) { return static_cast<std::size_t>(kind); }
constexpr Kind kind_at(std::size_t index) { return static_cast<Kind>(index); }

// Exponents live in [0, 1]; everything else is positive and open above.
constexpr Bounds bounds_of(Quantity quantity) {
    if (quantity == Quantity::exponent) return {0.0, 1.0};
    return {1e-12, detail::inf};
}

// The exponent of a kind's power of j*omega (its first exponent), or no_param.
constexpr std::size_t exponent_index(Kind kind) {
    const KindInfo& info = kind_info(kind);
    for (std::size_t i = 0; i < info.param_count; ++i) {
        if (info.quantities[i] == Quantity::exponent) return i;
    }
    return no_param;
}

struct Element {
    Kind kind = Kind::R;
    std::array<double, max_params> params{};  // only the first param_count are meaningful

    std::size_t param_count() const { return kind_info(kind).param_count; }
    std::span<const double> values() const { return {params.data(), param_count()}; }
};

// The codes of the help listing, in kind order.
inline constexpr std::array<std::string_view, kind_count> CODES = [] {
    std::array<std::string_view, kind_count> codes{};
    for (std::size_t i = 0; i < kind_count; ++i) codes[i] = KINDS[i].help_code;
    return codes;
}();

static_assert(
    [] {
        for (const KindInfo& info : KINDS) {
            if (info.help_code != info.canonical_code && info.help_code != info.alternative_code) return false;
        }
        return true;
    }(),
    "Element::CODES entries must all be valid");

// The element named by an exact notation code, at its default values.
std::optional<Element> default_for_code(std::string_view code);

// The kind whose canonical code is `code`.
std::optional<Kind> kind_of_canonical_code(std::string_view code);

// A shorthand as the resistor and partner it stands for; none for any other element.
struct Pair {
    Element resistor;
    Element partner;
};
std::optional<Pair> longhand_pair(const Element& element);

}  // namespace kelvara
