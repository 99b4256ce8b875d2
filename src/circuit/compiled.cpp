#include "circuit/compiled.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace kelvara {

CompiledCircuit::CompiledCircuit(const SeriesList& series) { emit(series, 0); }

void CompiledCircuit::emit(const SeriesList& series, std::size_t depth) {
    max_depth_ = std::max(max_depth_, depth);
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            ops_.push_back({Op::Code::leaf, leaf->element.kind, static_cast<std::uint32_t>(param_count_)});
            param_count_ += leaf->element.param_count();
            const TermNeeds terms = with_kind(leaf->element.kind, [](auto k) { return kind_terms<decltype(k)::value>; });
            needs_.sqrt_omega |= terms.sqrt_omega;
            needs_.sqrt_j_omega |= terms.sqrt_j_omega;
            needs_.exponent |= terms.exponent;
        } else {
            ops_.push_back({Op::Code::open_group, Kind::R, 0});
            max_depth_ = std::max(max_depth_, depth + 1);
            for (const SeriesList& branch : std::get<ParallelGroup>(node.value).branches) {
                emit(branch, depth + 1);
                ops_.push_back({Op::Code::end_branch, Kind::R, 0});
            }
            ops_.push_back({Op::Code::close_group, Kind::R, 0});
        }
    }
}

void CompiledCircuit::sweep(std::span<const OmegaTerms> w, const double* params, std::span<Complex> out,
                            std::span<Complex> workspace) const {
    const std::size_t n = w.size();
    // Level 0 sums into `out`; level d >= 1 has a series and an admittance row.
    auto series_row = [&](std::size_t depth) { return depth == 0 ? out.data() : workspace.data() + (2 * depth - 2) * n; };
    auto admittance_row = [&](std::size_t depth) { return workspace.data() + (2 * depth - 1) * n; };
    std::fill_n(out.data(), n, Complex{});
    std::size_t depth = 0;
    for (const Op& op : ops_) {
        switch (op.code) {
            case Op::Code::leaf: {
                Complex* acc = series_row(depth);
                const double* p = params + op.param_offset;
                with_kind(op.kind, [&](auto k) { add_kind_sweep<decltype(k)::value>(p, w, acc); });
                break;
            }
            case Op::Code::open_group:
                ++depth;
                std::fill_n(series_row(depth), n, Complex{});
                std::fill_n(admittance_row(depth), n, Complex{});
                break;
            case Op::Code::end_branch: {
                Complex* series = series_row(depth);
                Complex* admittance = admittance_row(depth);
                for (std::size_t i = 0; i < n; ++i) {
                    admittance[i] += reciprocal(series[i]);
                    series[i] = Complex{};
                }
                break;
            }
            case Op::Code::close_group: {
                const Complex* admittance = admittance_row(depth);
                --depth;
                Complex* series = series_row(depth);
                for (std::size_t i = 0; i < n; ++i) series[i] += reciprocal(admittance[i]);
                break;
            }
        }
    }
}

TermNeeds CompiledCircuit::needs(const double* params) const {
    TermNeeds out;
    out.sqrt_omega = needs_.sqrt_omega;
    for (const Op& op : ops_) {
        if (op.code != Op::Code::leaf) continue;
        if (!with_kind(op.kind, [](auto k) { return kind_terms<decltype(k)::value>.exponent; })) continue;
        const double exponent = params[op.param_offset + exponent_index(op.kind)];
        out.sqrt_j_omega |= exponent == 0.5;
        out.exponent |= !special_exponent(exponent);
    }
    return out;
}

Complex CompiledCircuit::impedance(const OmegaTerms& w, const double* params) const {
    // One running series sum and one admittance sum per open group level.
    std::array<Complex, max_expanded_depth + 1> series;  // levels are initialised on entry
    std::array<Complex, max_expanded_depth + 1> admittance;
    series[0] = Complex{};
    std::size_t depth = 0;
    for (const Op& op : ops_) {
        switch (op.code) {
            case Op::Code::leaf:
                series[depth] += element_impedance(op.kind, params + op.param_offset, w);
                break;
            case Op::Code::open_group:
                ++depth;
                series[depth] = Complex{};
                admittance[depth] = Complex{};
                break;
            case Op::Code::end_branch:
                admittance[depth] += reciprocal(series[depth]);
                series[depth] = Complex{};
                break;
            case Op::Code::close_group: {
                const Complex group = reciprocal(admittance[depth]);
                --depth;
                series[depth] += group;
                break;
            }
        }
    }
    return series[0];
}

}  // namespace kelvara
