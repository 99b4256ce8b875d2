#include "fit/problems.hpp"

namespace kelvara {

LmProblem::LmProblem(const Objective& objective, const SearchSpace& space, std::vector<bool> fixed,
                     EvaluationCounter& counter, std::span<const double> x0)
    : objective_(objective),
      space_(space),
      fixed_(std::move(fixed)),
      counter_(counter),
      x_(x0.begin(), x0.end()),
      physical_(x0.size()),
      workspace_(objective.make_workspace()),
      jacobian_workspace_(objective, x0.size()) {}

void LmProblem::update_physical() { space_.physical(x_, physical_); }

void LmProblem::residuals(std::span<double> out) {
    update_physical();
    objective_.residuals(physical_.data(), out, workspace_, counter_);
}

void LmProblem::jacobian(std::span<double> out) {
    update_physical();
    jacobian_columns(objective_, physical_, jacobian_workspace_, out, counter_);
    const std::size_t rows = residual_count();
    for (std::size_t j = 0; j < x_.size(); ++j) {
        const double scale = fixed_[j] ? 0.0 : space_.slope(j, physical_[j]);
        double* column = out.data() + j * rows;
        if (fixed_[j]) {
            std::fill(column, column + rows, 0.0);  // exactly zero, even where the derivative is not finite
        } else {
            for (std::size_t k = 0; k < rows; ++k) column[k] *= scale;
        }
    }
}

CostProblem::CostProblem(const Objective& objective, const SearchSpace& space, EvaluationCounter& counter)
    : objective_(objective),
      space_(space),
      counter_(counter),
      physical_(space.size()),
      residuals_(objective.residual_count()),
      workspace_(objective.make_workspace()) {}

double CostProblem::cost(std::span<const double> x) {
    space_.physical(x, physical_);
    objective_.residuals(physical_.data(), residuals_, workspace_, counter_);
    return cost_of(residuals_);
}

}  // namespace kelvara
