#include "fit/global/search_setup.hpp"

#include <cmath>

#include "circuit/layout.hpp"
#include "support/number_text.hpp"
#include "support/worker_pool.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace kelvara {

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

std::optional<FitError> check_searchable(const FitProblem& problem, std::string_view method) {
    constexpr double max_decades = 40.0;
    for (const std::size_t j : problem.free()) {
        const Bounds b = problem.bounds()[j];
        if (!std::isfinite(b.hi)) continue;  // searched around the start (search_box.cpp)
        const double decades = b.lo > 0.0 ? std::log10(b.hi) - std::log10(b.lo) : std::log10(std::fabs(b.hi));
        if (decades > max_decades) {
            return FitError{FitError::Kind::invalid_setting,
                            std::string(method) + " draws " + problem.names()[j] + " from its bounds " +
                                interval_text(b) + ", which span more than " + short_number_text(max_decades) +
                                " decades: most draws would land where the model is not a number; give "
                                "narrower bounds"};
        }
    }
    return std::nullopt;
}

CostEvaluator::CostEvaluator(const FitProblem& problem) : problem_(problem) {
    for (std::size_t i = 0; i < parallel_width(); ++i) problems_.emplace_back(problem, problem.counter);
}

void CostEvaluator::costs(const std::vector<std::vector<double>>& points, std::vector<double>& out) {
    out.resize(points.size());
    // Below this many point evaluations a batch is not worth waking the pool for.
    constexpr std::size_t parallel_work = 4096;
    const std::size_t chunks = points.size() * problem_.objective().points() < parallel_work
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
