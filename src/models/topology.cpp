#include "models/topology.hpp"

#include <algorithm>
#include <numeric>

#include "circuit/expand.hpp"

namespace kelvara {
namespace {

void collect_spans(const std::vector<Shape>& series, std::vector<std::pair<std::size_t, std::size_t>>& spans) {
    for (const Shape& shape : series) {
        if (shape.is_leaf) {
            spans.emplace_back(shape.offset, shape.count);
        } else {
            for (const auto& branch : shape.branches) collect_spans(branch, spans);
        }
    }
}

}  // namespace

std::string series_key(const std::vector<Shape>& shapes) {
    std::string key = "[";
    for (std::size_t i = 0; i < shapes.size(); ++i) {
        if (i) key += ',';
        key += shapes[i].key;
    }
    return key + "]";
}

std::vector<Shape> shapes(const SeriesList& series, std::size_t& offset) {
    std::vector<Shape> out;
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            Shape shape;
            shape.key = std::string(kind_info(leaf->element.kind).canonical_code);
            shape.offset = offset;
            shape.count = leaf->element.param_count();
            offset += shape.count;
            out.push_back(std::move(shape));
            continue;
        }
        const auto& group = std::get<ParallelGroup>(node.value);
        std::vector<std::vector<Shape>> branches;
        std::vector<std::string> keys;
        for (const SeriesList& branch : group.branches) {
            branches.push_back(shapes(branch, offset));
            keys.push_back(series_key(branches.back()));
        }
        std::vector<std::size_t> order(branches.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return keys[a] != keys[b] ? keys[a] < keys[b] : a < b;
        });
        Shape shape;
        shape.is_leaf = false;
        shape.key = "(";
        for (std::size_t i = 0; i < order.size(); ++i) {
            if (i) shape.key += ',';
            shape.key += keys[order[i]];
            shape.branches.push_back(std::move(branches[order[i]]));
        }
        shape.key += ")";
        out.push_back(std::move(shape));
    }
    std::stable_sort(out.begin(), out.end(), [](const Shape& a, const Shape& b) { return a.key < b.key; });
    return out;
}

Canonical canonical(const SeriesList& series) {
    std::size_t offset = 0;
    const std::vector<Shape> canonical_shapes = shapes(series, offset);
    Canonical out{series_key(canonical_shapes), {}};
    collect_spans(canonical_shapes, out.spans);
    return out;
}

std::optional<ParameterMap> match_topology(const SeriesList& model, const SeriesList& user) {
    const Canonical m = canonical(model);
    const Canonical u = canonical(user);
    if (m.key != u.key) return std::nullopt;
    std::size_t total = 0;
    for (const auto& span : u.spans) total += span.second;
    ParameterMap map(total, 0);
    for (std::size_t k = 0; k < u.spans.size() && k < m.spans.size(); ++k) {
        for (std::size_t t = 0; t < u.spans[k].second; ++t) map[u.spans[k].first + t] = m.spans[k].first + t;
    }
    return map;
}

std::optional<Match> match_or_expand(const SeriesList& model, const SeriesList& user) {
    if (auto map = match_topology(model, user)) return Match{std::move(*map), false};
    const Expanded rewritten = expand_series(user);
    if (!rewritten.expanded) return std::nullopt;
    if (auto map = match_topology(model, rewritten.series)) return Match{std::move(*map), true};
    return std::nullopt;
}

}  // namespace kelvara
