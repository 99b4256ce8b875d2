// Core internals that Python cannot reach directly: the cursor form, the
// worker pool, expansion and the number texts.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <limits>
#include <string>
#include <vector>

#include "circuit/compiled.hpp"
#include "circuit/evaluate.hpp"
#include "circuit/expand.hpp"
#include "circuit/incremental_sweep.hpp"
#include "circuit/layout.hpp"
#include "support/number_text.hpp"
#include "circuit/parser.hpp"
#include "parsed_circuit.hpp"
#include "support/worker_pool.hpp"
#include "support/tree_walk.hpp"
#include "test_names.hpp"

namespace kelvara {
namespace {

using test::parsed;

TEST(CursorForm, ReadsParametersInLayoutOrderAndIgnoresStoredValues) {
    const SeriesList tree = parsed("R0-(R1,C1)");
    const std::vector<double> params = {2.0, 1.0, 0.001};
    ParamCursor cursor{params};
    const auto z = series_impedance_with_params(tree, omega_terms(1000.0), cursor);
    ASSERT_TRUE(z.ok());
    EXPECT_NEAR(z.value().re, 2.5, 1e-15);
    EXPECT_NEAR(z.value().im, -0.5, 1e-15);
    EXPECT_EQ(cursor.position, 3u);
}

TEST(CursorForm, ShortVectorIsAnErrorNotARead) {
    const SeriesList tree = parsed("R0-(R1,C1)");
    const std::vector<double> params = {2.0, 1.0};
    ParamCursor cursor{params};
    const auto z = series_impedance_with_params(tree, omega_terms(1000.0), cursor);
    ASSERT_FALSE(z.ok());
    EXPECT_EQ(NotEnoughValues::message, "impedance_from_iter: not enough values supplied");
    EXPECT_EQ(cursor.position, 0u);
}

TEST(CursorForm, ExtraValuesAreNotRead) {
    const SeriesList tree = parsed("R0");
    const std::vector<double> params = {3.0, std::nan("")};
    ParamCursor cursor{params};
    const auto z = series_impedance_with_params(tree, omega_terms(1.0), cursor);
    ASSERT_TRUE(z.ok());
    EXPECT_EQ(z.value().re, 3.0);
    EXPECT_EQ(cursor.position, 1u);
}

TEST(CursorForm, MatchesStoredValuesForEveryKind) {
    const SeriesList tree = parsed("L0-La1-R0-(R1-W1,CPE1)-(Wo1,Ws1)-G1-Gs1-K1-Zarc1-TLMQ1-T1-C9");
    const std::vector<double> values = param_values(tree);
    for (const double omega : {1e-3, 0.7, 1e3, 1e6}) {
        const Complex stored = impedance(tree, omega);
        const Complex cursor = impedance_with_params_unchecked(tree, omega_terms(omega), values.data());
        EXPECT_EQ(stored.re, cursor.re);
        EXPECT_EQ(stored.im, cursor.im);
    }
}

TEST(Evaluate, ParallelBranchOfZeroGivesNaN) {
    const SeriesList tree = rebuild(parsed("(R1,R2)"), std::vector<double>{0.0, 1.0});
    const Complex z = impedance(tree, 1.0);
    EXPECT_TRUE(std::isnan(z.re));
}

TEST(Evaluate, FrequencyListIsOrderedAndIndependentOfThePath) {
    const SeriesList tree = parsed("R0-(R1-W1,CPE1)");
    std::vector<double> frequencies(5000);
    for (std::size_t i = 0; i < frequencies.size(); ++i) frequencies[i] = std::pow(10.0, -2.0 + 7.0 * i / 4999.0);
    std::vector<Complex> parallel(frequencies.size());
    impedance_at_frequencies(tree, frequencies, parallel);
    for (std::size_t i = 0; i < frequencies.size(); ++i) {
        const Complex alone = impedance(tree, frequencies[i] * two_pi);
        ASSERT_EQ(alone.re, parallel[i].re) << i;
        ASSERT_EQ(alone.im, parallel[i].im) << i;
    }
}

TEST(WorkerPool, RunsEveryTaskOnceFromConcurrentCallers) {
    std::vector<std::atomic<int>> hits(10000);
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            run_parallel(2500, [&](std::size_t i) { hits[static_cast<std::size_t>(t) * 2500 + i].fetch_add(1); });
        });
    }
    for (auto& caller : callers) caller.join();
    for (const auto& hit : hits) ASSERT_EQ(hit.load(), 1);
}

// Whichever thread runs the throwing task, the caller gets the exception
// once every task has run, and the pool keeps working.
TEST(WorkerPool, CarriesATaskExceptionToTheCaller) {
    std::vector<std::atomic<int>> hits(1000);
    EXPECT_THROW(run_parallel(1000,
                              [&](std::size_t i) {
                                  hits[i].fetch_add(1);
                                  if (i % 97 == 5) throw std::bad_alloc();
                              }),
                 std::bad_alloc);
    for (const auto& hit : hits) ASSERT_EQ(hit.load(), 1);
    std::atomic<int> after{0};
    run_parallel(100, [&](std::size_t) { after.fetch_add(1); });
    EXPECT_EQ(after.load(), 100);
}

TEST(WorkerPool, ChunksCoverTheRangeExactly) {
    for (const std::size_t n : {0u, 1u, 7u, 999u, 1000u, 100001u}) {
        std::vector<std::atomic<int>> hits(n);
        run_chunked(n, 100, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
        });
        for (const auto& hit : hits) ASSERT_EQ(hit.load(), 1);
    }
}

TEST(Expand, KBecomesResistorParallelCapacitor) {
    const SeriesList tree = rebuild(parsed("R0-K1"), std::vector<double>{1.0, 4.0, 0.02});
    const Expanded expanded = expand_series(tree);
    EXPECT_TRUE(expanded.expanded);
    EXPECT_EQ(param_names(expanded.series), (std::vector<std::string>{"R0.r", "R0.r", "C0.c"}));
    const std::vector<double> values = param_values(expanded.series);
    EXPECT_DOUBLE_EQ(values[2], 0.02 / 4.0);
    for (const double omega : {0.1, 10.0, 1e4}) {
        const Complex a = impedance(tree, omega), b = impedance(expanded.series, omega);
        EXPECT_NEAR(a.re, b.re, 1e-12);
        EXPECT_NEAR(a.im, b.im, 1e-12);
    }
}

TEST(Expand, ZarcBecomesResistorParallelCpe) {
    const SeriesList tree = rebuild(parsed("(R1-Zarc2,C1)"), std::vector<double>{1.0, 3.0, 1e-3, 0.7, 1e-5});
    const Expanded expanded = expand_series(tree);
    EXPECT_TRUE(expanded.expanded);
    EXPECT_EQ(param_count(expanded.series), param_count(tree));
    for (const double omega : {0.1, 10.0, 1e4}) {
        const Complex a = impedance(tree, omega), b = impedance(expanded.series, omega);
        EXPECT_NEAR(a.re, b.re, 1e-12);
        EXPECT_NEAR(a.im, b.im, 1e-12);
    }
    EXPECT_FALSE(expand_series(parsed("R0-(R1,C1)")).expanded);
}

struct NumberCase {
    double value;
    const char* short_text;
    const char* float_text;
};

class NumberText : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberText, ShortestRoundTrip) {
    EXPECT_EQ(short_number_text(GetParam().value), GetParam().short_text);
    EXPECT_EQ(float_number_text(GetParam().value), GetParam().float_text);
}

constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, NumberText,
    ::testing::Values(NumberCase{1.0, "1", "1.0"}, NumberCase{0.001, "0.001", "0.001"},
                      NumberCase{-0.0, "-0", "-0.0"}, NumberCase{1e-12, "1e-12", "1e-12"},
                      NumberCase{1e-5, "1e-5", "1e-5"}, NumberCase{1.5e-7, "1.5e-7", "1.5e-7"},
                      NumberCase{1e6, "1e6", "1000000.0"}, NumberCase{1234567.0, "1.234567e6", "1234567.0"},
                      NumberCase{0.0001, "0.0001", "0.0001"}, NumberCase{999999.0, "999999", "999999.0"},
                      NumberCase{1e16, "1e16", "1e16"}, NumberCase{2.5e16, "2.5e16", "2.5e16"},
                      NumberCase{0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
                      NumberCase{inf, "inf", "inf"}, NumberCase{-inf, "-inf", "-inf"},
                      NumberCase{std::nan(""), "NaN", "NaN"}, NumberCase{-2.5, "-2.5", "-2.5"},
                      NumberCase{1e300, "1e300", "1e300"}),
    [](const auto& info) { return test::spelled(info.param.short_text); });

TEST(ClosestName, ThresholdAndTies) {
    const std::vector<std::string> names = {"R0.r", "R1.r", "C1.c"};
    EXPECT_EQ(closest_param_name("R0.x", names), "R0.r");
    EXPECT_EQ(closest_param_name("R2.r", names), "R0.r");
    EXPECT_EQ(closest_param_name("capacity", names), std::nullopt);
    EXPECT_EQ(closest_param_name("R0.r", {}), std::nullopt);
    // Distances count code points, not bytes: one substitution of a two-byte character.
    EXPECT_EQ(closest_param_name("R\xce\xa9.r", names), "R0.r");
}

TEST(Parser, NestingLimitIsAnErrorWithPosition) {
    std::string deep;
    for (int i = 0; i < 150; ++i) deep += "(";
    const auto result = parse(deep + "R0");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ParseError::Kind::TooDeep);
    EXPECT_EQ(result.error().position, max_nesting_depth);
    std::string ok_depth;
    for (std::size_t i = 0; i < max_nesting_depth; ++i) ok_depth += "(";
    ok_depth += "R0";
    for (std::size_t i = 0; i < max_nesting_depth; ++i) ok_depth += ")";
    EXPECT_TRUE(parse(ok_depth).ok());
}

TEST(Parser, MalformedUtf8CountsOneCharacterPerByte) {
    const auto result = parse("\xff\xfe" "R");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "unexpected character at position 0");
    const auto trailing = parse("R1\xc3");
    ASSERT_FALSE(trailing.ok());
    EXPECT_EQ(trailing.error().message(), "unexpected trailing input at position 2");
}

}  // namespace
}  // namespace kelvara

namespace kelvara {
namespace {

TEST(CompiledCircuit, SweepEqualsTreeWalkBitForBit) {
    for (const char* text : {"L0-La1-R0-(R1-W1,CPE1)-(Wo1,Ws1)-G1-Gs1-K1-Zarc1-TLMQ1-T1-C9", "R0-(R1-(R2,C2)-(R3,(C4,W4)),C1)",
                             "(R1)", "R0"}) {
        const SeriesList tree = parsed(text);
        const CompiledCircuit compiled(tree);
        std::vector<double> values = param_values(tree);
        for (double& v : values) v *= 0.9;  // differ from the stored values
        std::vector<OmegaTerms> terms;
        for (const double omega : {-3.0, 0.0, 1e-3, 0.7, 1e3, 1e6, 1e9}) terms.push_back(omega_terms(omega));
        std::vector<Complex> swept(terms.size()), workspace(compiled.workspace_size(terms.size()));
        compiled.sweep(terms, values.data(), swept, workspace);
        for (std::size_t i = 0; i < terms.size(); ++i) {
            const Complex walked = impedance_with_params_unchecked(tree, terms[i], values.data());
            const Complex single = compiled.impedance(terms[i], values.data());
            for (const Complex z : {swept[i], single}) {
                EXPECT_TRUE((z.re == walked.re) || (std::isnan(z.re) && std::isnan(walked.re))) << text << " " << i;
                EXPECT_TRUE((z.im == walked.im) || (std::isnan(z.im) && std::isnan(walked.im))) << text << " " << i;
            }
        }
    }
}

bool same_bits(Complex a, Complex b) {
    auto same = [](double x, double y) { return x == y ? std::signbit(x) == std::signbit(y) : std::isnan(x) && std::isnan(y); };
    return same(a.re, b.re) && same(a.im, b.im);
}

TEST(CompiledCircuit, ShorthandExpandedBelowTheDeepestGroup) {
    // K and Zarc inside the deepest group the parser accepts become parallel
    // pairs one level further down
    const std::string text = std::string(max_nesting_depth, '(') + "K1-Zarc1" + std::string(max_nesting_depth, ')');
    const SeriesList tree = expand_series(parsed(text)).series;
    ASSERT_EQ(nesting_depth(tree), max_expanded_depth);
    const CompiledCircuit compiled(tree);
    const std::vector<double> values = param_values(tree);
    std::vector<OmegaTerms> terms;
    for (const double omega : {1e-3, 1.0, 1e3}) terms.push_back(omega_terms(omega));
    std::vector<Complex> swept(terms.size()), workspace(compiled.workspace_size(terms.size()));
    compiled.sweep(terms, values.data(), swept, workspace);
    for (std::size_t i = 0; i < terms.size(); ++i) {
        EXPECT_TRUE(same_bits(compiled.impedance(terms[i], values.data()), swept[i])) << i;
    }
}

// Every kind, nested groups, a one-branch group and an empty group.
SeriesList with_empty_group(SeriesList tree) {
    ParallelGroup empty;
    tree.push_back(Node{std::move(empty)});
    return tree;
}

TEST(IncrementalSweep, OneElementMovedEqualsAFullSweepBitForBit) {
    for (const SeriesList& tree :
         {parsed("L0-La1-R0-(R1-W1,CPE1)-(Wo1,Ws1)-G1-Gs1-K1-Zarc1-TLMQ1-T1-C9"),
          parsed("R0-(R1-(R2,C2)-(R3,(C4,W4)),C1)-(R5)"), parsed("R0-(R1,CPE1)-(R2-Wo2,CPE2)"), parsed("R0"),
          with_empty_group(parsed("R0-(R1,C1)"))}) {
        const CompiledCircuit compiled(tree);
        const IncrementalSweep incremental(tree);
        ASSERT_EQ(incremental.param_count(), compiled.param_count());
        std::vector<double> values = param_values(tree);
        for (double& v : values) v *= 0.9;
        std::vector<OmegaTerms> terms;
        for (const double omega : {-3.0, 0.0, 1e-3, 0.7, 1e3, 1e6, 1e9}) terms.push_back(omega_terms(omega));
        const std::size_t n = terms.size();
        std::vector<Complex> full(n), fast(n), workspace(compiled.workspace_size(n));
        std::vector<Complex> recording(incremental.recording_size(n)), scratch(incremental.scratch_size(n));
        compiled.sweep(terms, values.data(), full, workspace);
        incremental.record(terms, values.data(), fast, recording);
        for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(same_bits(fast[i], full[i])) << i;
        for (std::size_t j = 0; j < values.size(); ++j) {
            for (const double shifted : {values[j] * 1.001 + 1e-9, values[j] * 0.5, 0.5, 1.0}) {
                std::vector<double> moved = values;
                moved[j] = shifted;
                compiled.sweep(terms, moved.data(), full, workspace);
                incremental.moved(j, terms, moved.data(), recording, fast, scratch);
                for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(same_bits(fast[i], full[i])) << j << " " << i;
            }
        }
    }
}

TEST(CompiledCircuit, EmptyGroupIsNaN) {
    SeriesList tree;
    tree.push_back(Node{ParallelGroup{}});
    const CompiledCircuit compiled(tree);
    const Complex z = compiled.impedance(omega_terms(1.0), nullptr);
    EXPECT_TRUE(std::isnan(z.re));
    EXPECT_TRUE(std::isnan(impedance(tree, 1.0).re));
}

}  // namespace
}  // namespace kelvara

namespace kelvara {
namespace {

TEST(OmegaTerms, ClosedFormsMatchTheGeneralRoutines) {
    for (const double omega : {0.0, -0.0, 1e-300, 1e-3, 0.5, 1.0, 6.283185307179586, 1e7, 1e300, -2.0, -1e9,
                               std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        const OmegaTerms w = omega_terms(omega);
        const Complex root = csqrt(Complex{0.0, omega});
        EXPECT_EQ(w.sqrt_j_omega.re, root.re) << omega;
        EXPECT_EQ(w.sqrt_j_omega.im, root.im) << omega;
        EXPECT_EQ(w.arg_j_omega, std::atan2(omega, 0.0)) << omega;
        EXPECT_EQ(std::signbit(w.arg_j_omega), std::signbit(std::atan2(omega, 0.0))) << omega;
        EXPECT_EQ(w.log_abs_j_omega, std::log(std::hypot(0.0, omega))) << omega;
    }
    const OmegaTerms nan_terms = omega_terms(std::nan(""));
    EXPECT_TRUE(std::isnan(nan_terms.arg_j_omega));
    EXPECT_TRUE(std::isnan(nan_terms.sqrt_j_omega.re));
}

}  // namespace
}  // namespace kelvara
