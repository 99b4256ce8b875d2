// A sweep that remembers every element's and every parallel branch's values
// at one parameter vector, so that a sweep with one element's parameters
// moved recomputes only that element and the sums on its way to the root.
// A finite-difference Jacobian moves one parameter per evaluation: this
// spares it re-evaluating the elements that did not move. The sums are
// formed from the same terms in the same order as CompiledCircuit::sweep,
// so the results are bit for bit the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "elements/element_impedance.hpp"

namespace kelvara {

class IncrementalSweep {
public:
    IncrementalSweep() = default;
    explicit IncrementalSweep(const SeriesList& series);

    std::size_t param_count() const { return leaf_of_param_.size(); }

    // Values of memory a Recording for `n` frequencies holds, and of scratch
    // one moved() call needs.
    std::size_t recording_size(std::size_t n) const { return (items_.size() + series_.size() - 1) * n; }
    std::size_t scratch_size(std::size_t n) const { return 3 * n; }

    // out = the impedance at `params`, and `recording` (recording_size(n)
    // values) = what moved() needs. Allocates nothing.
    void record(std::span<const OmegaTerms> w, const double* params, std::span<Complex> out,
                std::span<Complex> recording) const;

    // out = the impedance at `params`, which differ from the recorded ones at
    // most in the parameters of the element that holds `param_index`.
    // `scratch` holds scratch_size(n) values. Allocates nothing; any number
    // of threads may call it on one recording.
    void moved(std::size_t param_index, std::span<const OmegaTerms> w, const double* params,
               std::span<const Complex> recording, std::span<Complex> out, std::span<Complex> scratch) const;

private:
    static constexpr std::uint32_t none = UINT32_MAX;
    struct Item {  // an element or a parallel group in a series list
        bool is_leaf;
        Kind kind;
        std::uint32_t param_offset;  // leaves
        std::uint32_t first_branch;  // groups: their branches are series first_branch ...
        std::uint32_t branch_count;
        std::uint32_t series;        // the series list holding this item
    };
    struct Series {
        std::uint32_t first_item;    // its items are item_order_[first_item ... + item_count]
        std::uint32_t item_count;
        std::uint32_t group;         // the item of the group this is a branch of, or none at the root
    };

    void fill_series(std::uint32_t slot, const SeriesList& series, std::uint32_t group);
    void record_series(std::uint32_t s, std::span<const OmegaTerms> w, const double* params, Complex* sum,
                       Complex* recording) const;
    // Rows of a recording: one per item, then one per branch (series 1 on)
    // holding the reciprocal of its sum.
    template <class T>
    T* item_row(T* recording, std::uint32_t item, std::size_t n) const {
        return recording + item * n;
    }
    template <class T>
    T* branch_row(T* recording, std::uint32_t series, std::size_t n) const {
        return recording + (items_.size() + series - 1) * n;
    }

    std::vector<Item> items_;
    std::vector<Series> series_;           // series_[0] is the root
    std::vector<std::uint32_t> item_order_;  // items of each series, contiguous
    std::vector<std::uint32_t> leaf_of_param_;  // the item of the element holding each parameter
};

}  // namespace kelvara
