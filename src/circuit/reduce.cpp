#include "circuit/reduce.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>
#include <variant>

namespace kelvara {
namespace {

enum class State { kept, shorted, opened };

State reduce_series(SeriesList& series, std::size_t& index, std::size_t target, Limit limit) {
    for (std::size_t k = 0; k < series.size();) {
        Node& node = series[k];
        if (std::holds_alternative<Leaf>(node.value)) {
            if (index++ != target) {
                ++k;
                continue;
            }
            if (limit == Limit::open_circuit) return State::opened;
            series.erase(series.begin() + static_cast<std::ptrdiff_t>(k));
            continue;
        }
        auto& branches = std::get<ParallelGroup>(node.value).branches;
        bool shorted = false;
        for (std::size_t b = 0; b < branches.size();) {
            const State state = reduce_series(branches[b], index, target, limit);
            if (state == State::opened) {
                branches.erase(branches.begin() + static_cast<std::ptrdiff_t>(b));
                continue;
            }
            shorted = shorted || state == State::shorted;
            ++b;
        }
        if (shorted) {
            series.erase(series.begin() + static_cast<std::ptrdiff_t>(k));
        } else if (branches.empty()) {
            return State::opened;
        } else if (branches.size() == 1) {
            SeriesList only = std::move(branches.front());
            series.erase(series.begin() + static_cast<std::ptrdiff_t>(k));
            series.insert(series.begin() + static_cast<std::ptrdiff_t>(k), std::make_move_iterator(only.begin()),
                          std::make_move_iterator(only.end()));
            k += only.size();
        } else {
            ++k;
        }
    }
    return series.empty() ? State::shorted : State::kept;
}

Leaf* find_leaf(SeriesList& series, std::size_t& index, std::size_t target) {
    for (Node& node : series) {
        if (Leaf* leaf = std::get_if<Leaf>(&node.value)) {
            if (index++ == target) return leaf;
            continue;
        }
        for (SeriesList& branch : std::get<ParallelGroup>(node.value).branches) {
            if (Leaf* leaf = find_leaf(branch, index, target)) return leaf;
        }
    }
    return nullptr;
}

void collect_labels(const SeriesList& series, std::vector<std::string>& out) {
    for (const Node& node : series) {
        if (const Leaf* leaf = std::get_if<Leaf>(&node.value)) {
            out.push_back(leaf->label);
            continue;
        }
        for (const SeriesList& branch : std::get<ParallelGroup>(node.value).branches) collect_labels(branch, out);
    }
}

std::vector<std::string> labels(const SeriesList& series) {
    std::vector<std::string> out;
    collect_labels(series, out);
    return out;
}

}  // namespace

std::optional<SeriesList> idealised(const SeriesList& series, std::size_t leaf_index) {
    SeriesList copy = series;
    std::size_t index = 0;
    Leaf* leaf = find_leaf(copy, index, leaf_index);
    if (leaf == nullptr || leaf->element.kind != Kind::Cpe) return std::nullopt;
    const double q = leaf->element.params[0], alpha = leaf->element.params[1];
    Element ideal;
    if (alpha >= 1.0) {
        ideal.kind = Kind::C;
        ideal.params[0] = q;
    } else if (alpha <= 0.0) {
        ideal.kind = Kind::R;
        ideal.params[0] = 1.0 / q;
    } else {
        return std::nullopt;
    }
    if (leaf->has_label()) {
        // Its own number, or the next one free for the new kind (CPE1 beside R1 becomes R2).
        const std::size_t digits = leaf->label.find_first_of("0123456789");
        unsigned long long number = digits == std::string::npos ? 0 : std::stoull(leaf->label.substr(digits));
        const std::string code(kind_info(ideal.kind).canonical_code);
        const std::vector<std::string> taken = labels(copy);
        while (std::find(taken.begin(), taken.end(), code + std::to_string(number)) != taken.end()) ++number;
        leaf->label = code + std::to_string(number);
    }
    leaf->element = ideal;
    return copy;
}

std::optional<SeriesList> reduced(const SeriesList& series, std::size_t leaf_index, Limit limit) {
    SeriesList copy = series;
    std::size_t index = 0;
    const State state = reduce_series(copy, index, leaf_index, limit);
    if (index <= leaf_index || state != State::kept) return std::nullopt;
    return copy;
}

}  // namespace kelvara
