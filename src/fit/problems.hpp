// The objective as each optimiser sees it. Problem objects own their scratch
// space, allocated at construction, so that evaluating them allocates nothing.
#pragma once

#include <span>
#include <vector>

#include "fit/fit_problem.hpp"
#include "fit/minpack/minpack.hpp"
#include "fit/objective.hpp"
#include "fit/search_space.hpp"

namespace kelvara {

// The least-squares problem of the Levenberg-Marquardt solver, in the
// search coordinates of the fit problem's free parameters (the parameters
// the caller fixed are not among them). A pinned parameter's Jacobian column
// is exactly zero.
class LmProblem final : public minpack::LeastSquaresProblem {
public:
    LmProblem(const FitProblem& problem, std::vector<bool> pinned, EvaluationCounter& counter,
              std::span<const double> x0);

    std::size_t param_count() const override { return x_.size(); }
    std::size_t residual_count() const override { return objective_.residual_count(); }

    void set_x(std::span<const double> x) override { std::copy(x.begin(), x.end(), x_.begin()); }
    std::span<const double> x() const override { return x_; }
    // Every parameter's physical value at x.
    std::span<const double> physical() const { return physical_; }

    // Residuals at physical(x); never fails (non-finite values flow through).
    void residuals(std::span<double> out) override;
    // The 2N x P Jacobian with respect to x, column-major.
    void jacobian(std::span<double> out) override;

private:
    void update_physical();

    const FitProblem& problem_;
    const Objective& objective_;
    const SearchSpace& space_;
    std::vector<bool> pinned_;
    EvaluationCounter& counter_;
    std::vector<double> x_;
    std::vector<double> free_physical_;
    std::vector<double> physical_;
    ResidualWorkspace workspace_;
    JacobianWorkspace jacobian_workspace_;
};

// cost(x) = 1/2 sum r^2 at the physical values of a search vector of the
// free parameters: the objective of particle swarm, Nelder-Mead and
// simulated annealing. One object per thread: it keeps scratch space.
class CostProblem {
public:
    CostProblem(const FitProblem& problem, EvaluationCounter& counter);

    std::size_t param_count() const { return space_.size(); }
    const SearchSpace& space() const { return space_; }
    double cost(std::span<const double> x);

private:
    const FitProblem& problem_;
    const Objective& objective_;
    const SearchSpace& space_;
    EvaluationCounter& counter_;
    std::vector<double> free_physical_;
    std::vector<double> physical_;
    std::vector<double> residuals_;
    ResidualWorkspace workspace_;
};

}  // namespace kelvara
