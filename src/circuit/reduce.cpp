#include "circuit/reduce.hpp"

#include <iterator>
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

}  // namespace

std::optional<SeriesList> reduced(const SeriesList& series, std::size_t leaf_index, Limit limit) {
    SeriesList copy = series;
    std::size_t index = 0;
    const State state = reduce_series(copy, index, leaf_index, limit);
    if (index <= leaf_index || state != State::kept) return std::nullopt;
    return copy;
}

}  // namespace kelvara
