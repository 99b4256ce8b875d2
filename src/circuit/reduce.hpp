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

}  // namespace kelvara
