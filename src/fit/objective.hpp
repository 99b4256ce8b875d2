// The misfit between a circuit and a measured spectrum: weighted residuals
// (model minus measurement, real and imaginary part of each point
// interleaved), their cost, and the central-difference Jacobian.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/compiled.hpp"
#include "circuit/incremental_sweep.hpp"
#include "circuit/tree.hpp"
#include "elements/complex.hpp"

namespace kelvara {

using EvaluationCounter = std::atomic<std::uint64_t>;

// cost(r) = 1/2 sum r_k^2; chi_square(r) = sum r_k^2.
double cost_of(std::span<const double> residuals);
double chi_square_of(std::span<const double> residuals);

// Scratch space for one residual evaluation, allocated once per thread of a fit.
struct ResidualWorkspace {
    std::vector<Complex> model;
    std::vector<Complex> sweep;
};

// A circuit and a spectrum prepared for repeated evaluation: the circuit
// compiled, the frequency terms computed once. Immutable, so any number of
// threads may evaluate it at once, each with its own workspace.
class Objective {
public:
    Objective(const SeriesList& circuit, std::span<const double> omega, std::span<const Complex> measured,
              std::span<const double> weights);

    std::size_t param_count() const { return circuit_.param_count(); }
    std::size_t points() const { return measured_.size(); }
    std::size_t residual_count() const { return 2 * measured_.size(); }

    ResidualWorkspace make_workspace() const;

    // Writes the 2N residuals at physical `params` (at least param_count()
    // values) into `out` and adds 1 to `counter`. Allocates nothing.
    void residuals(const double* params, std::span<double> out, ResidualWorkspace& workspace,
                   EvaluationCounter& counter) const;

    // The same evaluation kept in `recording` (recording_size() values) for
    // moved_residuals(); not counted, as it stands in for no evaluation of
    // the caller's.
    std::size_t recording_size() const { return incremental_.recording_size(points()); }
    void record(const double* params, std::span<Complex> recording, ResidualWorkspace& workspace) const;
    // residuals() at `params`, which differ from the recorded ones only in
    // params[param_index] (< param_count()); bit for bit the same values.
    // `scratch` holds moved_scratch_size() values. Allocates nothing.
    std::size_t moved_scratch_size() const { return incremental_.scratch_size(points()); }
    void moved_residuals(std::size_t param_index, const double* params, std::span<const Complex> recording,
                         std::span<double> out, ResidualWorkspace& workspace, std::span<Complex> scratch,
                         EvaluationCounter& counter) const;

private:
    void write_residuals(std::span<const Complex> model, std::span<double> out) const;

    CompiledCircuit circuit_;
    IncrementalSweep incremental_;
    std::vector<OmegaTerms> terms_;
    std::vector<Complex> measured_;
    std::vector<double> weights_;
};

// Column j holds d residuals / d params[j] by central differences with step
// cbrt(2^-52) * max(|p_j|, 1e-8); every column costs two evaluations.
// `params` may be longer than the circuit's parameter count: the extra
// columns are zero.
class JacobianWorkspace {
public:
    JacobianWorkspace(const Objective& objective, std::size_t columns);
    std::size_t columns() const { return columns_.size(); }

private:
    friend void jacobian_columns(const Objective&, std::span<const double>, std::span<const std::size_t>,
                                 JacobianWorkspace&, std::span<double>, EvaluationCounter&);
    struct Column {
        std::vector<double> shifted;  // the parameter vector with one entry moved
        std::vector<double> plus, minus;
        ResidualWorkspace workspace;
        std::vector<Complex> scratch;  // moved_residuals()
    };
    std::vector<Column> columns_;
    std::vector<Complex> recording_;  // the model at the Jacobian's point
    ResidualWorkspace record_workspace_;
};

// Fills `out` (column-major: column j at j * residual_count()) with the
// Jacobian at `params`. Columns run on the worker pool when the problem is
// large enough to pay for it; the numbers are the same either way.
void jacobian_columns(const Objective& objective, std::span<const double> params, JacobianWorkspace& workspace,
                      std::span<double> out, EvaluationCounter& counter);
// The same for the parameters listed in `which` only: column c of `out`
// holds d residuals / d params[which[c]]. `workspace` has at least
// which.size() columns.
void jacobian_columns(const Objective& objective, std::span<const double> params, std::span<const std::size_t> which,
                      JacobianWorkspace& workspace, std::span<double> out, EvaluationCounter& counter);

// Convenience forms that allocate their results.
std::vector<double> residuals(const SeriesList& circuit, std::span<const double> params,
                              std::span<const double> omega, std::span<const Complex> measured,
                              std::span<const double> weights, EvaluationCounter& counter);
std::vector<std::vector<double>> jacobian_columns(const SeriesList& circuit, std::span<const double> params,
                                                  std::span<const double> omega,
                                                  std::span<const Complex> measured,
                                                  std::span<const double> weights, EvaluationCounter& counter);

}  // namespace kelvara
