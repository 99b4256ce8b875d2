// A circuit with one element taken to a limit: shorted (zero impedance: an
// R or L going to 0, a C or CPE growing without bound) or opened (infinite
// impedance: an R growing without bound, a C or CPE going to 0). What a fit
// says when it runs an element off to such a limit: the data describe the
// smaller circuit.
#pragma once

#include <cstddef>
#include <optional>

#include "circuit/tree.hpp"

namespace kelvara {

enum class Limit { short_circuit, open_circuit };

// The leaf at `leaf_index` (collect_leaves order) replaced by its limit. A
// short removes it from its series list; an open removes the parallel
// branch that holds it. A group left with one branch becomes that branch, a
// group with a shorted branch is itself a short. None when the whole
// circuit would be open or shorted, or the index is past the last leaf.
std::optional<SeriesList> reduced(const SeriesList& series, std::size_t leaf_index, Limit limit);

// The leaf at `leaf_index` replaced by the ideal element its exponent has
// reached: a CPE with alpha at 1 is the capacitor C (c = q), at 0 the
// resistor R (r = 1 / q); its label keeps its number. None for any other
// leaf, or a CPE whose exponent lies inside its range.
std::optional<SeriesList> idealised(const SeriesList& series, std::size_t leaf_index);

}  // namespace kelvara
