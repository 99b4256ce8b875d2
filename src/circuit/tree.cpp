#include "circuit/tree.hpp"

#include <algorithm>

namespace kelvara {

std::size_t nesting_depth(const SeriesList& series) {
    std::size_t depth = 0;
    for (const Node& node : series) {
        if (const auto* group = std::get_if<ParallelGroup>(&node.value)) {
            std::size_t inner = 0;
            for (const SeriesList& branch : group->branches) inner = std::max(inner, nesting_depth(branch));
            depth = std::max(depth, inner + 1);
        }
    }
    return depth;
}

}  // namespace kelvara
