// The flat parameter layout of a circuit: leaves in collect_leaves order,
// each leaf's parameters in catalogue order.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/tree.hpp"

namespace kelvara {

std::size_t param_count(const SeriesList& series);
// "{label}.{param}"; unlabelled leaves get the canonical code and a per-code counter.
std::vector<std::string> param_names(const SeriesList& series);
std::vector<std::string> param_units(const SeriesList& series);
std::vector<Bounds> param_bounds(const SeriesList& series);
std::vector<double> param_values(const SeriesList& series);

// For each parameter that is a power-law coefficient (a CPE's q, whose unit
// carries s^alpha), the position of the exponent it carries; for any other,
// no_carried_exponent.
inline constexpr std::size_t no_carried_exponent = static_cast<std::size_t>(-1);
std::vector<std::size_t> param_carried_exponents(const SeriesList& series);

// The same tree with values taken in parameter order; `values` must hold at
// least param_count entries (extra ones are ignored).
SeriesList rebuild(const SeriesList& series, std::span<const double> values);

// The valid name closest to `unknown` by Levenshtein distance over code
// points, if it is close enough to be a plausible typo.
std::optional<std::string> closest_param_name(std::string_view unknown, const std::vector<std::string>& valid);

}  // namespace kelvara
