#include "fit/objective.hpp"

#include <algorithm>
#include <cmath>

#include "support/worker_pool.hpp"

namespace kelvara {
namespace {

// Below this many point evaluations per Jacobian (2 * columns * points) the
// columns run on the calling thread: waking the pool costs more than it saves.
constexpr std::size_t parallel_jacobian_work = 16384;

const double cbrt_epsilon = std::cbrt(std::ldexp(1.0, -52));

}  // namespace

double chi_square_of(std::span<const double> residuals) {
    double sum = 0.0;
    for (const double r : residuals) sum += r * r;
    return sum;
}

double cost_of(std::span<const double> residuals) { return 0.5 * chi_square_of(residuals); }

Objective::Objective(const SeriesList& circuit, std::span<const double> omega, std::span<const Complex> measured,
                     std::span<const double> weights)
    : circuit_(circuit), incremental_(circuit), measured_(measured.begin(), measured.end()), weights_(weights.begin(), weights.end()) {
    terms_.reserve(omega.size());
    for (const double w : omega) terms_.push_back(circuit_.terms(w));
}

ResidualWorkspace Objective::make_workspace() const {
    return {std::vector<Complex>(points()), std::vector<Complex>(circuit_.workspace_size(points()))};
}

void Objective::residuals(const double* params, std::span<double> out, ResidualWorkspace& workspace,
                          EvaluationCounter& counter) const {
    counter.fetch_add(1, std::memory_order_relaxed);
    circuit_.sweep(terms_, params, workspace.model, workspace.sweep);
    write_residuals(workspace.model, out);
}

void Objective::write_residuals(std::span<const Complex> model, std::span<double> out) const {
    for (std::size_t i = 0; i < measured_.size(); ++i) {
        out[2 * i] = (model[i].re - measured_[i].re) / weights_[i];
        out[2 * i + 1] = (model[i].im - measured_[i].im) / weights_[i];
    }
}

void Objective::record(const double* params, std::span<Complex> recording, ResidualWorkspace& workspace) const {
    incremental_.record(terms_, params, workspace.model, recording);
}

void Objective::moved_residuals(std::size_t param_index, const double* params, std::span<const Complex> recording,
                                std::span<double> out, ResidualWorkspace& workspace, std::span<Complex> scratch,
                                EvaluationCounter& counter) const {
    counter.fetch_add(1, std::memory_order_relaxed);
    incremental_.moved(param_index, terms_, params, recording, workspace.model, scratch);
    write_residuals(workspace.model, out);
}

JacobianWorkspace::JacobianWorkspace(const Objective& objective, std::size_t columns)
    : recording_(objective.recording_size()), record_workspace_(objective.make_workspace()) {
    columns_.reserve(columns);
    for (std::size_t j = 0; j < columns; ++j) {
        columns_.push_back(Column{std::vector<double>(std::max(columns, objective.param_count())),
                                  std::vector<double>(objective.residual_count()),
                                  std::vector<double>(objective.residual_count()), objective.make_workspace(),
                                  std::vector<Complex>(objective.moved_scratch_size())});
    }
}

void jacobian_columns(const Objective& objective, std::span<const double> params, std::span<const std::size_t> which,
                      JacobianWorkspace& workspace, std::span<double> out, EvaluationCounter& counter) {
    const std::size_t rows = objective.residual_count();
    const std::size_t columns = which.size();
    // Each evaluation moves one parameter: only its element and the sums
    // above it are recomputed from a recording at `params`.
    if (columns > 0 && objective.param_count() > 0) {
        std::fill(workspace.columns_[0].shifted.begin(), workspace.columns_[0].shifted.end(), 0.0);
        std::copy(params.begin(), params.end(), workspace.columns_[0].shifted.begin());
        objective.record(workspace.columns_[0].shifted.data(), workspace.recording_, workspace.record_workspace_);
    }
    auto column = [&](std::size_t c) {
        const std::size_t j = which[c];
        auto& scratch = workspace.columns_[c];
        std::fill(scratch.shifted.begin(), scratch.shifted.end(), 0.0);
        std::copy(params.begin(), params.end(), scratch.shifted.begin());
        const double magnitude = std::fabs(params[j]);
        // NaN fails the comparison and takes the floor.
        const double h = cbrt_epsilon * (magnitude > 1e-8 ? magnitude : 1e-8);
        if (j < objective.param_count()) {
            scratch.shifted[j] = params[j] + h;
            objective.moved_residuals(j, scratch.shifted.data(), workspace.recording_, scratch.plus,
                                      scratch.workspace, scratch.scratch, counter);
            scratch.shifted[j] = params[j] - h;
            objective.moved_residuals(j, scratch.shifted.data(), workspace.recording_, scratch.minus,
                                      scratch.workspace, scratch.scratch, counter);
        } else {  // no element reads it: the column is (r - r) / 2h
            objective.residuals(scratch.shifted.data(), scratch.plus, scratch.workspace, counter);
            objective.residuals(scratch.shifted.data(), scratch.minus, scratch.workspace, counter);
        }
        double* target = out.data() + c * rows;
        for (std::size_t k = 0; k < rows; ++k) target[k] = (scratch.plus[k] - scratch.minus[k]) / (2.0 * h);
    };
    if (2 * columns * objective.points() < parallel_jacobian_work || parallel_width() < 2) {
        for (std::size_t c = 0; c < columns; ++c) column(c);
    } else {
        run_parallel(columns, column);
    }
}

void jacobian_columns(const Objective& objective, std::span<const double> params, JacobianWorkspace& workspace,
                      std::span<double> out, EvaluationCounter& counter) {
    // Every column, in order; a small list of indices rather than a second loop.
    thread_local std::vector<std::size_t> every;
    if (every.size() < params.size()) {
        const std::size_t from = every.size();
        every.resize(params.size());
        for (std::size_t j = from; j < every.size(); ++j) every[j] = j;
    }
    jacobian_columns(objective, params, std::span(every).first(params.size()), workspace, out, counter);
}

std::vector<double> residuals(const SeriesList& circuit, std::span<const double> params,
                              std::span<const double> omega, std::span<const Complex> measured,
                              std::span<const double> weights, EvaluationCounter& counter) {
    const Objective objective(circuit, omega, measured, weights);
    ResidualWorkspace workspace = objective.make_workspace();
    std::vector<double> out(objective.residual_count());
    objective.residuals(params.data(), out, workspace, counter);
    return out;
}

std::vector<std::vector<double>> jacobian_columns(const SeriesList& circuit, std::span<const double> params,
                                                  std::span<const double> omega,
                                                  std::span<const Complex> measured,
                                                  std::span<const double> weights, EvaluationCounter& counter) {
    const Objective objective(circuit, omega, measured, weights);
    JacobianWorkspace workspace(objective, params.size());
    std::vector<double> flat(params.size() * objective.residual_count());
    jacobian_columns(objective, params, workspace, flat, counter);
    std::vector<std::vector<double>> columns(params.size());
    for (std::size_t j = 0; j < params.size(); ++j) {
        const auto begin = flat.begin() + static_cast<std::ptrdiff_t>(j * objective.residual_count());
        columns[j].assign(begin, begin + static_cast<std::ptrdiff_t>(objective.residual_count()));
    }
    return columns;
}

}  // namespace kelvara
