#include "elements/catalogue.hpp"

#include <limits>

namespace kelvara {
namespace {

constexpr std::array<KindInfo, kind_count> KINDS = {{
    {"R", "", 1, {"r"}, {"ohm"}, {1.0}},
    {"C", "", 1, {"c"}, {"F"}, {0.001}},
    {"L", "", 1, {"l"}, {"H"}, {1e-6}},
    {"La", "", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}},
    {"Cpe", "CPE", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8}},
    {"W", "", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}},
    {"Wo", "", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"Ws", "", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"G", "", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}},
    {"Gs", "", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}},
    {"K", "", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}},
    {"Zarc", "", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8}},
    {"Tlmq", "TLMQ", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"},
     {1.0, 0.001, 0.8}},
    {"T", "", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"},
     {1.0, 1.0, 1.0, 1.0}},
}};

}  // namespace

const KindInfo& kind_info(Kind kind) { return KINDS[kind_index(kind)]; }

std::optional<Element> default_for_code(std::string_view code) {
    if (code.empty()) return std::nullopt;
    for (std::size_t i = 0; i < kind_count; ++i) {
        const KindInfo& info = KINDS[i];
        if (code == info.canonical_code || (!info.alternative_code.empty() && code == info.alternative_code)) {
            Element element{kind_at(i), info.defaults};
            return element;
        }
    }
    return std::nullopt;
}

Bounds bounds_for(std::string_view param_name) {
    if (param_name == "alpha" || param_name == "gamma") return {0.0, 1.0};
    return {1e-12, std::numeric_limits<double>::infinity()};
}

}  // namespace kelvara
