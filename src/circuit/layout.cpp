#include "circuit/layout.hpp"

#include <algorithm>
#include <array>
#include <numeric>

#include "circuit/parser.hpp"
#include "support/utf8.hpp"

namespace kelvara {
namespace {

SeriesList rebuild_from(const SeriesList& series, std::span<const double> values, std::size_t& next) {
    SeriesList out;
    out.reserve(series.size());
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            Leaf copy = *leaf;
            const std::size_t n = leaf->element.param_count();
            std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(next), n, copy.element.params.begin());
            next += n;
            out.push_back(Node{std::move(copy)});
        } else {
            ParallelGroup group;
            for (const SeriesList& branch : std::get<ParallelGroup>(node.value).branches) {
                group.branches.push_back(rebuild_from(branch, values, next));
            }
            out.push_back(Node{std::move(group)});
        }
    }
    return out;
}

std::size_t levenshtein(const std::u32string& a, const std::u32string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::size_t param_count(const SeriesList& series) {
    std::size_t count = 0;
    for_each_leaf(series, [&](const Leaf& leaf) { count += leaf.element.param_count(); });
    return count;
}

std::vector<std::string> param_names(const SeriesList& series) {
    std::vector<std::string> names;
    std::array<std::size_t, kind_count> counters{};
    for_each_leaf(series, [&](const Leaf& leaf) {
        const KindInfo& info = kind_info(leaf.element.kind);
        std::string label;
        if (leaf.has_label()) {
            label = leaf.label;
        } else {
            std::size_t& counter = counters[kind_index(leaf.element.kind)];
            label = std::string(info.canonical_code) + std::to_string(counter++);
        }
        for (std::size_t i = 0; i < info.param_count; ++i) {
            names.push_back(label + "." + std::string(info.param_names[i]));
        }
    });
    return names;
}

std::vector<std::string> param_units(const SeriesList& series) {
    std::vector<std::string> units;
    for_each_leaf(series, [&](const Leaf& leaf) {
        const KindInfo& info = kind_info(leaf.element.kind);
        for (std::size_t i = 0; i < info.param_count; ++i) units.emplace_back(info.units[i]);
    });
    return units;
}

std::vector<Bounds> param_bounds(const SeriesList& series) {
    std::vector<Bounds> bounds;
    for_each_leaf(series, [&](const Leaf& leaf) {
        const KindInfo& info = kind_info(leaf.element.kind);
        for (std::size_t i = 0; i < info.param_count; ++i) bounds.push_back(bounds_of(info.quantities[i]));
    });
    return bounds;
}

std::vector<std::size_t> param_carried_exponents(const SeriesList& series) {
    std::vector<std::size_t> out;
    for_each_leaf(series, [&](const Leaf& leaf) {
        const KindInfo& info = kind_info(leaf.element.kind);
        const std::size_t first = out.size();
        const std::size_t exponent = exponent_index(leaf.element.kind);
        for (std::size_t i = 0; i < info.param_count; ++i) {
            const bool carries = info.quantities[i] == Quantity::coefficient && exponent != no_param;
            out.push_back(carries ? first + exponent : no_carried_exponent);
        }
    });
    return out;
}

std::vector<double> param_values(const SeriesList& series) {
    std::vector<double> values;
    for_each_leaf(series, [&](const Leaf& leaf) {
        const auto v = leaf.element.values();
        values.insert(values.end(), v.begin(), v.end());
    });
    return values;
}

SeriesList rebuild(const SeriesList& series, std::span<const double> values) {
    std::size_t next = 0;
    return rebuild_from(series, values, next);
}

std::optional<std::string> closest_param_name(std::string_view unknown, const std::vector<std::string>& valid) {
    const std::u32string target = decode_utf8(unknown);
    const std::size_t k = target.size();
    const std::size_t threshold = k < 6 ? 2 : k / 2;
    const std::string* best = nullptr;
    std::size_t best_distance = 0;
    for (const std::string& name : valid) {
        const std::size_t distance = levenshtein(target, decode_utf8(name));
        if (best == nullptr || distance < best_distance) {
            best = &name;
            best_distance = distance;
        }
    }
    if (best != nullptr && best_distance <= threshold) return *best;
    return std::nullopt;
}

}  // namespace kelvara
