#include "circuit/incremental_sweep.hpp"

#include <algorithm>

namespace kelvara {

IncrementalSweep::IncrementalSweep(const SeriesList& series) {
    series_.emplace_back();
    fill_series(0, series, none);
}

void IncrementalSweep::fill_series(std::uint32_t slot, const SeriesList& series, std::uint32_t group) {
    std::vector<std::uint32_t> items;  // construction only
    for (const Node& node : series) {
        const auto id = static_cast<std::uint32_t>(items_.size());
        items.push_back(id);
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            const Kind kind = leaf->element.kind;
            items_.push_back({true, kind, static_cast<std::uint32_t>(leaf_of_param_.size()), 0, 0, slot});
            leaf_of_param_.insert(leaf_of_param_.end(), kind_info(kind).param_count, id);
        } else {
            const auto& branches = std::get<ParallelGroup>(node.value).branches;
            // A group's branches take consecutive series slots, filled after reserving them all.
            const auto first = static_cast<std::uint32_t>(series_.size());
            items_.push_back({false, Kind::R, 0, first, static_cast<std::uint32_t>(branches.size()), slot});
            series_.resize(series_.size() + branches.size());
            for (std::size_t b = 0; b < branches.size(); ++b) {
                fill_series(first + static_cast<std::uint32_t>(b), branches[b], id);
            }
        }
    }
    series_[slot] = {static_cast<std::uint32_t>(item_order_.size()), static_cast<std::uint32_t>(items.size()), group};
    item_order_.insert(item_order_.end(), items.begin(), items.end());
}

void IncrementalSweep::record_series(std::uint32_t s, std::span<const OmegaTerms> w, const double* params,
                                     Complex* sum, Complex* recording) const {
    const std::size_t n = w.size();
    std::fill_n(sum, n, Complex{});
    const Series& series = series_[s];
    for (std::uint32_t k = 0; k < series.item_count; ++k) {
        const std::uint32_t id = item_order_[series.first_item + k];
        const Item& item = items_[id];
        Complex* row = item_row(recording, id, n);
        std::fill_n(row, n, Complex{});
        if (item.is_leaf) {
            with_kind(item.kind, [&](auto kind) { add_kind_sweep<decltype(kind)::value>(params + item.param_offset, w, row); });
        } else {
            // The row sums the branches' admittances, then holds the group's impedance.
            for (std::uint32_t b = item.first_branch; b < item.first_branch + item.branch_count; ++b) {
                Complex* branch = branch_row(recording, b, n);
                record_series(b, w, params, branch, recording);
                for (std::size_t i = 0; i < n; ++i) {
                    branch[i] = reciprocal(branch[i]);
                    row[i] += branch[i];
                }
            }
            for (std::size_t i = 0; i < n; ++i) row[i] = reciprocal(row[i]);
        }
        for (std::size_t i = 0; i < n; ++i) sum[i] += row[i];
    }
}

void IncrementalSweep::record(std::span<const OmegaTerms> w, const double* params, std::span<Complex> out,
                              std::span<Complex> recording) const {
    record_series(0, w, params, out.data(), recording.data());
}

void IncrementalSweep::moved(std::size_t param_index, std::span<const OmegaTerms> w, const double* params,
                             std::span<const Complex> recording, std::span<Complex> out,
                             std::span<Complex> scratch) const {
    const std::size_t n = w.size();
    Complex* value = scratch.data();  // the new value of the item that changed
    Complex* sum = value + n;
    Complex* admittance = sum + n;
    const Complex* recorded = recording.data();

    std::uint32_t changed = leaf_of_param_[param_index];
    const Item& leaf = items_[changed];
    std::fill_n(value, n, Complex{});
    with_kind(leaf.kind, [&](auto kind) { add_kind_sweep<decltype(kind)::value>(params + leaf.param_offset, w, value); });
    for (std::uint32_t s = leaf.series;;) {
        const Series& series = series_[s];
        Complex* target = s == 0 ? out.data() : sum;
        std::fill_n(target, n, Complex{});
        for (std::uint32_t k = 0; k < series.item_count; ++k) {
            const std::uint32_t id = item_order_[series.first_item + k];
            const Complex* row = id == changed ? value : item_row(recorded, id, n);
            for (std::size_t i = 0; i < n; ++i) target[i] += row[i];
        }
        if (s == 0) return;
        const Item& group = items_[series.group];
        std::fill_n(admittance, n, Complex{});
        for (std::uint32_t b = group.first_branch; b < group.first_branch + group.branch_count; ++b) {
            if (b == s) {
                for (std::size_t i = 0; i < n; ++i) admittance[i] += reciprocal(sum[i]);
            } else {
                const Complex* branch = branch_row(recorded, b, n);
                for (std::size_t i = 0; i < n; ++i) admittance[i] += branch[i];
            }
        }
        for (std::size_t i = 0; i < n; ++i) value[i] = reciprocal(admittance[i]);
        changed = series.group;
        s = group.series;
    }
}

}  // namespace kelvara
