#include "fit/global/search_setup.hpp"

#include <cmath>

#include "circuit/layout.hpp"
#include "circuit/worker_pool.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace kelvara {

SearchSetup::SearchSetup(FitData fit_data, const SeriesList& circuit)
    : data(std::move(fit_data)),
      space(param_bounds(circuit)),
      start(param_values(circuit)),
      objective(circuit, data.omega, data.measured, data.weights) {}

Result<std::unique_ptr<SearchSetup>, FitError> prepare_search(const SpectrumInput& input) {
    if (auto error = check_fit_inputs(input.circuit, input.frequencies_hz.size(), input.impedances.size())) {
        return fail(*error);
    }
    return std::make_unique<SearchSetup>(prepare_fit_data(input.frequencies_hz, input.impedances, input.scheme),
                                         input.circuit);
}

std::optional<FitError> check_box(const SearchBox& box) {
    for (std::size_t j = 0; j < box.lower.size(); ++j) {
        if (!std::isfinite(box.lower[j]) || !std::isfinite(box.upper[j])) {
            return FitError{FitError::Kind::invalid_setting,
                            "cannot build a finite search box around the starting values; check that they are "
                            "finite and not huge"};
        }
    }
    return std::nullopt;
}

CostEvaluator::CostEvaluator(SearchSetup& setup) : setup_(setup) {
    for (std::size_t i = 0; i < parallel_width(); ++i) problems_.emplace_back(setup.objective, setup.space, setup.counter);
}

void CostEvaluator::costs(const std::vector<std::vector<double>>& points, std::vector<double>& out) {
    out.resize(points.size());
    // Below this many point evaluations a batch is not worth waking the pool for.
    constexpr std::size_t parallel_work = 4096;
    const std::size_t chunks = points.size() * setup_.objective.points() < parallel_work
                                   ? 1
                                   : std::min(problems_.size(), points.size());
    auto chunk = [&](std::size_t c) {
        const std::size_t begin = c * points.size() / chunks, end = (c + 1) * points.size() / chunks;
        for (std::size_t i = begin; i < end; ++i) out[i] = problems_[c].cost(points[i]);
    };
    if (chunks <= 1) {
        chunk(0);
    } else {
        run_parallel(chunks, chunk);
    }
}

}  // namespace kelvara
