#include "circuit/expand.hpp"

#include <cmath>

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
            const auto& p = leaf->element.params;
            if (leaf->element.kind == Kind::K) {
                expanded = true;
                out.push_back(pair_of(Element{Kind::R, {p[0]}}, Element{Kind::C, {p[1] / p[0]}}));
            } else if (leaf->element.kind == Kind::Zarc) {
                expanded = true;
                const double q = std::pow(p[1], p[2]) / p[0];
                out.push_back(pair_of(Element{Kind::R, {p[0]}}, Element{Kind::Cpe, {q, p[2]}}));
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
