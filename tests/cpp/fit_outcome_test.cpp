// The outcome builder.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "circuit/layout.hpp"
#include "circuit/parser.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_problem.hpp"
#include "fit/objective.hpp"
#include "circuit/evaluate.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace kelvara {
namespace {

TEST(BuildOutcome, ClampsCountsAndSkipsStandardErrorsWithoutDegreesOfFreedom) {
    const SeriesList circuit = std::move(parse("R0-(R1,CPE1)")).value();
    const std::vector<double> truth = {1.0, 2.0, 1e-3, 0.9};
    const std::vector<double> f = {1.0};
    std::vector<Complex> z(1);
    const auto problem = std::move(FitProblem::make(circuit, f, z, Weighting::unit, {})).value();
    EvaluationCounter counter{0};
    const FitOutcome outcome = build_outcome(*problem, std::vector<double>{1.0, 2.0, 1e-3, 1.7}, true, 3, counter, "");
    EXPECT_EQ(outcome.params[3], 1.0);  // clamped into [0, 1]
    EXPECT_FALSE(outcome.stderr_values.has_value());  // 2 residuals, 4 parameters
    EXPECT_EQ(outcome.impedance_evals, 1u + 2u * 4u);
    EXPECT_EQ(outcome.chi_square, 2.0 * outcome.cost);
    EXPECT_EQ(param_values(outcome.circuit), outcome.params);
    (void)truth;
}

TEST(BuildOutcome, FixedParametersHaveNoStandardErrorAndCostNoEvaluations) {
    const SeriesList circuit = std::move(parse("R0-(R1,C1)")).value();
    std::vector<double> f, truth = {1.0, 2.0, 1e-3};
    for (int i = 0; i < 12; ++i) f.push_back(std::pow(10.0, -1.0 + 0.4 * i));
    std::vector<Complex> z;
    EvaluationCounter unused{0};
    const std::vector<double> omega = [&] {
        std::vector<double> w;
        for (const double x : f) w.push_back(x * two_pi);
        return w;
    }();
    const Objective exact(circuit, omega, std::vector<Complex>(f.size()), std::vector<double>(f.size(), 1.0));
    std::vector<double> r(exact.residual_count());
    ResidualWorkspace workspace = exact.make_workspace();
    exact.residuals(truth.data(), r, workspace, unused);
    for (std::size_t i = 0; i < f.size(); ++i) z.push_back({r[2 * i] * (1.0 + 0.01 * (i % 3)), r[2 * i + 1]});
    ParameterControl control{param_bounds(circuit), {false, true, false}};
    const auto problem = std::move(FitProblem::make(rebuild(circuit, truth), f, z, Weighting::unit, control)).value();
    EvaluationCounter counter{0};
    const FitOutcome outcome = build_outcome(*problem, truth, true, 0, counter, "");
    ASSERT_TRUE(outcome.stderr_values.has_value());
    EXPECT_TRUE(std::isnan((*outcome.stderr_values)[1]));
    EXPECT_TRUE(std::isfinite((*outcome.stderr_values)[0]) && std::isfinite((*outcome.stderr_values)[2]));
    EXPECT_EQ(outcome.impedance_evals, 1u + 2u * 2u);
    EXPECT_EQ(outcome.fixed, (std::vector<bool>{false, true, false}));
}

TEST(FitProblemMake, RefusesControlsThatCannotWork) {
    const SeriesList circuit = std::move(parse("R0-(R1,C1)")).value();
    const std::vector<double> f = {1.0, 10.0};
    const std::vector<Complex> z(2, Complex{1.0, 0.0});
    auto make = [&](std::vector<Bounds> bounds, std::vector<bool> fixed) {
        return FitProblem::make(circuit, f, z, Weighting::unit, ParameterControl{std::move(bounds), std::move(fixed)});
    };
    const std::vector<Bounds> catalogue = param_bounds(circuit);
    std::vector<Bounds> bad = catalogue;
    bad[1] = {0.0, INFINITY};  // log-scaled without a positive floor
    auto refused = make(bad, {false, false, false});
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().text.find("R1.r"), std::string::npos);
    bad[1] = {5.0, 1.0};
    EXPECT_FALSE(make(bad, {false, false, false}).ok());
    bad[1] = {NAN, 1.0};
    EXPECT_FALSE(make(bad, {false, false, false}).ok());
    EXPECT_FALSE(make(catalogue, {true, true, true}).ok());  // nothing left to fit
    bad[1] = {2.0, 3.0};  // R1.r starts at its default 1, outside: a fixed value must lie inside
    EXPECT_FALSE(make(bad, {false, true, false}).ok());
    EXPECT_TRUE(make(bad, {false, false, false}).ok());  // a free start outside is the fit's to move
}

}  // namespace
}  // namespace kelvara
