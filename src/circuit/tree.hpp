// A circuit's element tree: a series list of nodes, each an element leaf or a
// parallel group of series branches.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "elements/catalogue.hpp"

namespace kelvara {

struct Node;
using SeriesList = std::vector<Node>;

struct Leaf {
    Element element;
    // Empty for leaves built from element objects or by expansion; notation
    // labels are never empty (letters followed by digits).
    std::string label;

    bool has_label() const { return !label.empty(); }
};

struct ParallelGroup {
    std::vector<SeriesList> branches;
};

struct Node {
    std::variant<Leaf, ParallelGroup> value;
};

// Trees are walked recursively (evaluation, layout, copies, destruction), so
// parallel groups may nest at most this deep. The parser and the composition
// functions refuse deeper trees; everything else may rely on the bound.
inline constexpr std::size_t max_nesting_depth = 100;
// The shorthand elements K and Zarc expand into a parallel pair one level below
// them (expand.hpp), so an expanded tree may nest one level deeper.
inline constexpr std::size_t max_expanded_depth = max_nesting_depth + 1;

// Levels of parallel groups nested inside one another (0 for a plain series).
std::size_t nesting_depth(const SeriesList& series);

}  // namespace kelvara
