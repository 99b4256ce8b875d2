// What the global searches share: the finite search box and batches of costs.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "support/result.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/global/global_search.hpp"
#include "fit/fit_problem.hpp"
#include "fit/problems.hpp"
#include "fit/search_space.hpp"

namespace kelvara {

// The search box must be finite to draw from it.
std::optional<FitError> check_box(const SearchBox& box);

// A search that draws from the caller's bounds needs bounds it can search: a
// free parameter bounded to more than `max_decades` (1e-300 to 1e300, say)
// puts nearly every draw where the model is not a number. Refused up front.
std::optional<FitError> check_searchable(const FitProblem& problem, std::string_view method);

// Costs of many search vectors at once, spread over the worker pool when
// there are enough of them; each thread uses its own problem's scratch space.
class CostEvaluator {
public:
    explicit CostEvaluator(const FitProblem& problem);
    double cost(std::span<const double> x) { return problems_.front().cost(x); }
    void costs(const std::vector<std::vector<double>>& points, std::vector<double>& out);

private:
    const FitProblem& problem_;
    std::vector<CostProblem> problems_;
};

}  // namespace kelvara
