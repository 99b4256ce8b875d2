#include "elements/catalogue.hpp"

#include <algorithm>
#include <cmath>

namespace kelvara {
namespace detail {

// K = r || C with c = tau_k / r.
std::array<double, max_params> k_expand(std::span<const double> p) { return {p[1] / p[0]}; }
std::array<double, max_params> k_collapse(double r, std::span<const double> c) { return {r, r * c[0]}; }

// Zarc = r || CPE with q = tau_k^gamma / r and alpha = gamma.
std::array<double, max_params> zarc_expand(std::span<const double> p) { return {std::pow(p[1], p[2]) / p[0], p[2]}; }
std::array<double, max_params> zarc_collapse(double r, std::span<const double> cpe) {
    const double q = cpe[0], alpha = cpe[1];
    return {r, std::pow(r * q, 1.0 / std::max(alpha, 1e-6)), alpha};
}

}  // namespace detail

std::optional<Element> default_for_code(std::string_view code) {
    if (code.empty()) return std::nullopt;
    for (std::size_t i = 0; i < kind_count; ++i) {
        const KindInfo& info = KINDS[i];
        if (code == info.canonical_code || (!info.alternative_code.empty() && code == info.alternative_code)) {
            return Element{kind_at(i), info.defaults};
        }
    }
    return std::nullopt;
}

std::optional<Kind> kind_of_canonical_code(std::string_view code) {
    for (std::size_t i = 0; i < kind_count; ++i) {
        if (KINDS[i].canonical_code == code) return kind_at(i);
    }
    return std::nullopt;
}

std::optional<Pair> longhand_pair(const Element& element) {
    const Longhand* longhand = kind_info(element.kind).longhand;
    if (longhand == nullptr) return std::nullopt;
    return Pair{Element{Kind::R, {element.params[0]}},
                Element{longhand->partner, longhand->expand(element.values())}};
}

}  // namespace kelvara
