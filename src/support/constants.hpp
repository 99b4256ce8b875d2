// Mathematical constants written once.
#pragma once

#include <numbers>

namespace kelvara {

// Angular frequency per hertz.
inline constexpr double two_pi = 2.0 * std::numbers::pi;

}  // namespace kelvara
