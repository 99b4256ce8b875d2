#include "circuit/expand.hpp"

namespace kelvara {
namespace {

Node pair_of(Element resistor, Element other) {
    ParallelGroup group;
    group.branches.push_back(SeriesList{Node{Leaf{resistor, {}}}});
    group.branches.push_back(SeriesList{Node{Leaf{other, {}}}});
    return Node{std::move(group)};
}

SeriesList expand(const SeriesList& series, bool& expanded) {
    SeriesList out;
    out.reserve(series.size());
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            if (const auto pair = longhand_pair(leaf->element)) {
                expanded = true;
                out.push_back(pair_of(pair->resistor, pair->partner));
            } else {
                out.push_back(node);
            }
        } else {
            ParallelGroup group;
            for (const SeriesList& branch : std::get<ParallelGroup>(node.value).branches) {
                group.branches.push_back(expand(branch, expanded));
            }
            out.push_back(Node{std::move(group)});
        }
    }
    return out;
}

}  // namespace

Expanded expand_series(const SeriesList& series) {
    Expanded result;
    result.series = expand(series, result.expanded);
    return result;
}

}  // namespace kelvara
