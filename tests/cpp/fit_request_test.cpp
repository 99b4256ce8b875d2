// A fit request in one call: which starts it runs and which end it keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <variant>
#include <vector>

#include "circuit/layout.hpp"
#include "circuit/parser.hpp"
#include "parsed_circuit.hpp"
#include "request/fit_request.hpp"
#include "support/constants.hpp"

namespace kelvara {
namespace {

using test::parsed;

// R0-p(R1,CPE1) with R0 = 10, R1 = 100, Q = 1e-4, n = 0.8, from its formula.
FitRequest depressed_arc_request(std::string_view circuit, std::vector<double> start) {
    FitRequest request;
    request.circuit = rebuild(parsed(circuit), start);
    std::vector<double> f;
    std::vector<Complex> z;
    for (int k = 0; k < 40; ++k) {
        const double hz = std::pow(10.0, 5.0 - 0.175 * k);
        const std::complex<double> jw{0.0, two_pi * hz};
        const std::complex<double> value = 10.0 + 100.0 / (1.0 + 100.0 * 1e-4 * std::pow(jw, 0.8));
        f.push_back(hz);
        z.push_back({value.real(), value.imag()});
    }
    request.spectrum = *MeasuredSpectrum::check(std::move(f), std::move(z));
    return request;
}

double cost_of(const Result<FitOutcome, FitError>& result) {
    EXPECT_TRUE(result.ok());
    return result ? result.value().cost : NAN;
}

TEST(FitRequest, BoundedFitKeepsTheBetterOfItsOwnStartAndTheData) {
    // A capacitor where the data hold a depressed arc, R1 bounded: the two
    // starts end apart (here the data's a little lower), and the request's
    // end is the lower of the two.
    const FitRequest request = depressed_arc_request("R0-p(R1,C1)", {1.0, 1e4, 1e-2});
    CircuitControl caller;
    caller.bounds = {std::nullopt, Bounds{1.0, 1e5}, std::nullopt};
    FitRequest own = request;
    own.control = engine_control(request.circuit, caller);
    const double from_own = cost_of(dispatch_fit(own));
    auto start = start::data_start(request.circuit, request.spectrum, request.weighting, own.control);
    ASSERT_TRUE(start.ok());
    own.circuit = rebuild(request.circuit, start.value().values);
    const double from_data = cost_of(dispatch_fit(own));

    auto result = run_fit_request(request, caller, {});
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value().cost, std::min(from_own, from_data));
    // Without control the request is the one fit from the circuit's values.
    auto plain = run_fit_request(request, {}, {});
    FitRequest unbounded = request;
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(plain.value().cost, cost_of(dispatch_fit(unbounded)));
}

TEST(FitRequest, FailedGuessLeavesTheDataStartOrIsTheError) {
    const FitRequest request = depressed_arc_request("R0-p(R1,CPE1)", {1.0, 1.0, 1.0, 1.0});
    RequestStarts starts;
    starts.first = RequestStarts::First::guess;
    starts.weights_path = "/nonexistent/kelvara-test.eisnn";
    auto alone = run_fit_request(request, {}, starts);
    ASSERT_FALSE(alone.ok());
    EXPECT_TRUE(std::holds_alternative<GuessError>(alone.error()));

    starts.from_data = true;
    auto with_data = run_fit_request(request, {}, starts);
    ASSERT_TRUE(with_data.ok());
    EXPECT_LT(with_data.value().cost, 1e-12);  // the data's start finds the exact arc
    EXPECT_NEAR(with_data.value().params[3], 0.8, 1e-6);

    FitRequest broken = request;
    broken.spectrum = {};  // nothing can run: the data start's error is the one reported
    auto neither = run_fit_request(broken, {}, starts);
    ASSERT_FALSE(neither.ok());
    EXPECT_TRUE(std::holds_alternative<FitError>(neither.error()));
}

TEST(FitRequest, DataAloneNeedsNoFlag) {
    RequestStarts starts;
    starts.first = RequestStarts::First::none;
    auto result = run_fit_request(depressed_arc_request("R0-p(R1,CPE1)", {1.0, 1.0, 1.0, 1.0}), {}, starts);
    ASSERT_TRUE(result.ok());
    EXPECT_NEAR(result.value().params[1], 100.0, 1e-4);
}

}  // namespace
}  // namespace kelvara
