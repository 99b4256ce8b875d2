// The closed catalogue of circuit element kinds: codes, parameters, units,
// defaults and validity bounds. Every other module reaches element kinds
// through these tables, indexed by the kind's position.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace kelvara {

enum class Kind : unsigned char { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };

inline constexpr std::size_t kind_count = 14;
inline constexpr std::size_t max_params = 4;

struct KindInfo {
    std::string_view canonical_code;  // automatic labels and topology keys
    std::string_view alternative_code;  // a second spelling the parser accepts, or empty
    std::size_t param_count;
    std::array<std::string_view, max_params> param_names;
    std::array<std::string_view, max_params> units;
    std::array<double, max_params> defaults;
};

const KindInfo& kind_info(Kind kind);
constexpr std::size_t kind_index(Kind kind) { return static_cast<std::size_t>(kind); }
constexpr Kind kind_at(std::size_t index) { return static_cast<Kind>(index); }

struct Element {
    Kind kind = Kind::R;
    std::array<double, max_params> params{};  // only the first param_count are meaningful

    std::size_t param_count() const { return kind_info(kind).param_count; }
    std::span<const double> values() const { return {params.data(), param_count()}; }
};

struct Bounds {
    double lo;
    double hi;
};

// The codes of the help listing, in kind order.
inline constexpr std::array<std::string_view, kind_count> CODES = {
    "R", "C", "L", "La", "CPE", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "TLMQ", "T"};

// The element named by an exact notation code, at its default values.
std::optional<Element> default_for_code(std::string_view code);

// Exponents (alpha, gamma) live in [0, 1]; everything else is positive and open above.
Bounds bounds_for(std::string_view param_name);

}  // namespace kelvara
