// A circuit tree flattened into a postfix program. The fitting engine
// evaluates one parameter vector at every measured frequency many thousand
// times; the program runs element by element over all frequencies at once,
// so the kind dispatch and the parameter-only terms are paid once per
// element instead of once per frequency. Results are bit-for-bit those of
// the tree walk: sums and reciprocals are formed in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "elements/element_impedance.hpp"

namespace kelvara {

class CompiledCircuit {
public:
    CompiledCircuit() = default;
    explicit CompiledCircuit(const SeriesList& series);

    std::size_t param_count() const { return param_count_; }

    // Complex values of scratch space that sweep() needs for `n` frequencies.
    std::size_t workspace_size(std::size_t n) const { return 2 * max_depth_ * n; }

    // out[i] = impedance at w[i] with parameters read from `params` (at least
    // param_count() values) in layout order. `workspace` holds at least
    // workspace_size(w.size()) values. Allocates nothing.
    void sweep(std::span<const OmegaTerms> w, const double* params, std::span<Complex> out,
               std::span<Complex> workspace) const;

    // The frequency terms this circuit's elements may read at any values
    // (the others are left at zero), and those they read at `params`.
    TermNeeds needs() const { return needs_; }
    TermNeeds needs(const double* params) const;
    OmegaTerms terms(double omega) const { return omega_terms(omega, needs_); }

    // One frequency; needs no workspace.
    Complex impedance(const OmegaTerms& w, const double* params) const;

private:
    struct Op {
        enum class Code : std::uint8_t { leaf, open_group, end_branch, close_group };
        Code code;
        Kind kind;
        std::uint32_t param_offset;
    };

    void emit(const SeriesList& series, std::size_t depth);

    std::vector<Op> ops_;
    std::size_t param_count_ = 0;
    std::size_t max_depth_ = 0;
    TermNeeds needs_;
};

}  // namespace kelvara
