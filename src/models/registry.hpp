// The trained guessing models the module carries, one per circuit topology,
// in matching priority order.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

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

}  // namespace kelvara
