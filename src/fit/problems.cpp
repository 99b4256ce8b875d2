#include "fit/problems.hpp"

namespace kelvara {

LmProblem::LmProblem(const FitProblem& problem, std::vector<bool> pinned, EvaluationCounter& counter,
                     std::span<const double> x0)
    : problem_(problem),
      objective_(problem.objective()),
      space_(problem.space()),
      pinned_(std::move(pinned)),
      counter_(counter),
      x_(x0.begin(), x0.end()),
      free_physical_(x0.size()),
      physical_(problem.start()),
      workspace_(objective_.make_workspace()),
      jacobian_workspace_(objective_, x0.size()) {}

void LmProblem::update_physical() {
    space_.physical(x_, free_physical_);
    problem_.expand(free_physical_, physical_);
}

void LmProblem::residuals(std::span<double> out) {
    update_physical();
    objective_.residuals(physical_.data(), out, workspace_, counter_);
}

void LmProblem::jacobian(std::span<double> out) {
    update_physical();
    jacobian_columns(objective_, physical_, problem_.free(), jacobian_workspace_, out, counter_);
    const std::size_t rows = residual_count();
    for (std::size_t j = 0; j < x_.size(); ++j) {
        double* column = out.data() + j * rows;
        if (pinned_[j]) {
            std::fill(column, column + rows, 0.0);  // exactly zero, even where the derivative is not finite
        } else {
            const double scale = space_.slope(j, free_physical_[j]);
            for (std::size_t k = 0; k < rows; ++k) column[k] *= scale;
        }
    }
}

CostProblem::CostProblem(const FitProblem& problem, EvaluationCounter& counter)
    : problem_(problem),
      objective_(problem.objective()),
      space_(problem.space()),
      counter_(counter),
      free_physical_(space_.size()),
      physical_(problem.start()),
      residuals_(objective_.residual_count()),
      workspace_(objective_.make_workspace()) {}

double CostProblem::cost(std::span<const double> x) {
    space_.physical(x, free_physical_);
    problem_.expand(free_physical_, physical_);
    objective_.residuals(physical_.data(), residuals_, workspace_, counter_);
    return cost_of(residuals_);
}

}  // namespace kelvara
