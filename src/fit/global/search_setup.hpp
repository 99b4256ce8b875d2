// What every global search sets up before its first evaluation.
#pragma once

#include <memory>
#include <vector>

#include "circuit/result.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/global/global_search.hpp"
#include "fit/problems.hpp"
#include "fit/search_space.hpp"

namespace kelvara {

struct SearchSetup {
    FitData data;
    SearchSpace space;
    std::vector<double> start;  // physical
    Objective objective;
    EvaluationCounter counter{0};

    SearchSetup(FitData fit_data, const SeriesList& circuit);
};

// The input checks in their fixed order, then the spectrum's angular
// frequencies and weights, the bounds, the start and a fresh counter.
Result<std::unique_ptr<SearchSetup>, FitError> prepare_search(const SpectrumInput& input);

// The search box must be finite to draw from it.
std::optional<FitError> check_box(const SearchBox& box);

// Costs of many search vectors at once, spread over the worker pool when
// there are enough of them; each thread uses its own problem's scratch space.
class CostEvaluator {
public:
    explicit CostEvaluator(SearchSetup& setup);
    double cost(std::span<const double> x) { return problems_.front().cost(x); }
    void costs(const std::vector<std::vector<double>>& points, std::vector<double>& out);

private:
    SearchSetup& setup_;
    std::vector<CostProblem> problems_;
};

}  // namespace kelvara
