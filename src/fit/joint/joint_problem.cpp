#include "fit/joint/joint_problem.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/worker_pool.hpp"
#include "fit/joint/orthogonal_complement.hpp"

namespace kelvara {
namespace {

// The own fits end well inside the joint problem's tolerances, so that the
// residuals the solver sees move smoothly with x.
constexpr LmSettings own_fit_settings{1e-10, 1e-10, 1e-10, 200, 1};

}  // namespace

JointProblem::JointProblem(std::vector<JointMember>& members, std::vector<std::size_t> shared,
                           std::vector<std::vector<double>> starts, std::span<const double> x0,
                           EvaluationCounter& counter)
    : members_(members),
      shared_(std::move(shared)),
      counter_(counter),
      own_settings_(own_fit_settings),
      x_(x0.begin(), x0.end()),
      held_shared_(shared_.size(), false) {
    const std::span<const std::size_t> free = members_.front().full->free();
    for (std::size_t f = 0; f < free.size(); ++f) {
        const bool is_shared = std::find(shared_.begin(), shared_.end(), free[f]) != shared_.end();
        (is_shared ? shared_free_ : own_free_).push_back(f);
    }
    for (const JointMember& member : members_) {
        const Objective& objective = member.full->objective();
        offsets_.push_back(residual_count_);
        residual_count_ += objective.residual_count();
        held_own_.emplace_back(own_free_.size(), false);
        residual_workspaces_.push_back(objective.make_workspace());
        jacobian_workspaces_.emplace_back(objective, free.size());
        jacobians_.emplace_back(objective.residual_count() * free.size());
        bases_.emplace_back(objective.residual_count() * own_free_.size());
    }
    accepted_.params = std::move(starts);
    accepted_.residuals.assign(residual_count_, 0.0);
    trial_ = accepted_;
}

void JointProblem::fit_own(std::size_t i) {
    JointMember& member = members_[i];
    const SearchSpace& space = member.full->space();
    std::vector<double>& params = trial_.params[i];
    params = accepted_.params[i];
    for (std::size_t t = 0; t < shared_.size(); ++t) params[shared_[t]] = space.physical(shared_free_[t], x_[t]);
    if (member.own) {
        member.own->set_start(params);
        const SearchSpace& own_space = member.own->space();
        const std::vector<double> start = own_space.internal(member.own->free_part(params));
        SingleStartResult run = levenberg_marquardt_single_start(*member.own, start, held_own_[i], own_settings_, counter_);
        if (run.status == minpack::LmderStatus::interrupted) interrupted_.store(true);
        params = std::move(run.params);
    }
    const std::span<double> out(trial_.residuals.data() + offsets_[i], member.full->objective().residual_count());
    member.full->objective().residuals(params.data(), out, residual_workspaces_[i], counter_);
}

const JointProblem::Point& JointProblem::evaluated() {
    if (trial_.at(x_)) return trial_;
    if (accepted_.at(x_)) return accepted_;
    run_parallel(members_.size(), [this](std::size_t i) { fit_own(i); });
    trial_.x = x_;
    trial_.valid = true;
    return trial_;
}

void JointProblem::residuals(std::span<double> out) {
    const Point& point = evaluated();
    std::copy(point.residuals.begin(), point.residuals.end(), out.begin());
}

const std::vector<std::vector<double>>& JointProblem::params() { return evaluated().params; }

void JointProblem::reduced_columns(std::size_t i, std::span<double> out) {
    const JointMember& member = members_[i];
    const Objective& objective = member.full->objective();
    const SearchSpace& space = member.full->space();
    const std::vector<double>& params = accepted_.params[i];
    const std::size_t rows = objective.residual_count();
    std::vector<double>& jacobian = jacobians_[i];
    jacobian_columns(objective, params, member.full->free(), jacobian_workspaces_[i], jacobian, counter_);
    // The own columns still free span what the own fit can follow.
    std::vector<double>& basis = bases_[i];
    std::size_t k = 0;
    for (std::size_t u = 0; u < own_free_.size(); ++u) {
        if (held_own_[i][u]) continue;
        std::copy_n(jacobian.begin() + static_cast<std::ptrdiff_t>(own_free_[u] * rows), rows,
                    basis.begin() + static_cast<std::ptrdiff_t>(k * rows));
        ++k;
    }
    const std::size_t rank = orthonormalise(rows, k, basis);
    for (std::size_t t = 0; t < shared_.size(); ++t) {
        const std::span<double> column = out.subspan(t * residual_count_ + offsets_[i], rows);
        if (held_shared_[t]) {
            std::fill(column.begin(), column.end(), 0.0);  // exactly zero: the solver leaves it where it is
            continue;
        }
        const std::size_t f = shared_free_[t];
        const double slope = space.slope(f, params[member.full->free()[f]]);
        const double* source = jacobian.data() + f * rows;
        for (std::size_t r = 0; r < rows; ++r) column[r] = source[r] * slope;
        remove_span(rows, basis, rank, column);
    }
}

void JointProblem::jacobian(std::span<double> out) {
    // The solver asks for the Jacobian only at points it accepted.
    const Point& point = evaluated();
    if (&point != &accepted_) accepted_ = trial_;
    run_parallel(members_.size(), [this, out](std::size_t i) { reduced_columns(i, out); });
}

bool JointProblem::hold_out_of_bounds() {
    evaluated();
    Point point = trial_.at(x_) ? trial_ : accepted_;
    bool any = false;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const FitProblem& full = *members_[i].full;
        for (std::size_t u = 0; u < own_free_.size(); ++u) {
            const std::size_t j = full.free()[own_free_[u]];
            const Bounds b = full.bounds()[j];
            double& value = point.params[i][j];
            if (value >= b.lo && value <= b.hi) continue;
            value = std::clamp(value, b.lo, b.hi);
            held_own_[i][u] = any = true;
        }
    }
    const FitProblem& first = *members_.front().full;
    for (std::size_t t = 0; t < shared_.size(); ++t) {
        const Bounds b = first.bounds()[shared_[t]];
        const double value = first.space().physical(shared_free_[t], x_[t]);
        if (value >= b.lo && value <= b.hi) continue;
        const double held = std::clamp(value, b.lo, b.hi);
        x_[t] = first.space().internal(shared_free_[t], held);
        held_shared_[t] = any = true;
    }
    if (!any) return false;
    // The next evaluation starts the own fits from the clamped values.
    accepted_.params = std::move(point.params);
    accepted_.valid = trial_.valid = false;
    return true;
}

}  // namespace kelvara
