// The trained guessing models the module carries, one per circuit topology,
// in matching priority order.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "circuit/tree.hpp"
#include "models/topology.hpp"
#include "nn/guesser.hpp"

namespace kelvara {

struct Model {
    std::string_view name;
    std::string_view circuit;  // notation the network was trained for
};

inline constexpr std::array<Model, 11> MODELS = {{
    {"rc", "R0-(R1,C1)"},
    {"rc_l", "L0-R0-(R1,C1)"},
    {"rq", "R0-(R1,CPE1)"},
    {"rq_l", "L0-R0-(R1,CPE1)"},
    {"two_rc", "R0-(R1,C1)-(R2,C2)"},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)"},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)"},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)"},
    {"randles", "R0-(R1-W1,CPE1)"},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)"},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)"},
}};

// The entry whose name equals `text` ignoring ASCII case (the caller strips
// surrounding white space first).
std::optional<Model> model_by_name(std::string_view text);

// 'rc', 'rc_l', ... in registry order, for messages.
std::string quoted_names();

// The weight file carried for a model (empty if the build had none).
std::span<const std::uint8_t> embedded_weights(std::string_view name);

// The loaded network of registry entry `index`, loaded on first use (once
// per process, however many threads ask), or the text of why it failed.
std::variant<const Guesser*, std::string> model_guesser(std::size_t index);

struct RegistryMatch {
    std::size_t index;  // into MODELS
    Match match;
};

// The first registry entry whose circuit matches `user`.
std::optional<RegistryMatch> find_for_topology(const SeriesList& user);

}  // namespace kelvara
