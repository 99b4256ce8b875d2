// The data start's pieces that Python reaches only as a whole: the shape read
// off a spectrum, the time-constant slots of a circuit, the ways of handing
// processes to them, and circuits reduced by an element's limit.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "circuit/notation_text.hpp"
#include "circuit/parser.hpp"
#include "parsed_circuit.hpp"
#include "circuit/reduce.hpp"
#include "start/placement.hpp"
#include "start/process_variants.hpp"
#include "start/impedance_shape.hpp"
#include "support/constants.hpp"

namespace kelvara {
namespace {

using test::parsed;

TEST(ImpedanceShape, SeriesResistorAndCapacitorRiseWithSlopeOne) {
    // Z = 5 + 1/(j w 1e-3): the intercept is 5 ohm, -Im Z falls as 1/w.
    std::vector<double> f;
    std::vector<Complex> z;
    for (int k = 0; k < 30; ++k) {
        const double hz = std::pow(10.0, 4.0 - 0.2 * k);
        f.push_back(hz);
        z.push_back({5.0, -1.0 / (two_pi * hz * 1e-3)});
    }
    const start::ImpedanceShape shape = start::read_shape(f, z);
    EXPECT_NEAR(shape.r_high, 5.0, 1e-12);
    EXPECT_NEAR(shape.low_slope, 1.0, 1e-9);
    EXPECT_TRUE(shape.open_tail);
    EXPECT_DOUBLE_EQ(shape.inductance, 0.0);
}

TEST(Placement, CountsSlotsDepthFirstIncludingNestedAndDistributedElements) {
    EXPECT_EQ(start::process_slots(parsed("R0-p(R1,C1)-K2-p(R3-p(R4,C4),CPE3)-W5")), 4u);
    EXPECT_EQ(start::process_slots(parsed("R0-CPE1")), 0u);  // a tail, not a relaxation
    EXPECT_EQ(start::process_slots(parsed("p(R1,R2)")), 0u);  // resistors alone
}

TEST(ProcessVariants, EveryVariantFillsEverySlot) {
    start::ImpedanceShape shape;
    shape.omega_min = 1.0;
    shape.omega_max = 1e5;
    shape.modulus_typical = 100.0;
    shape.modulus_min = 10.0;
    const std::vector<start::Process> found{{100.0, 1e-4, 0.9}, {200.0, 1e-1, 0.8}};
    for (std::size_t slots : {1u, 2u, 3u, 4u}) {
        for (const auto& variant : start::process_variants(found, {}, slots, shape)) {
            EXPECT_EQ(variant.size(), slots);
            for (const start::Process& p : variant) EXPECT_TRUE(p.resistance > 0.0 && p.tau > 0.0);
        }
    }
}

struct ReductionCase {
    const char* circuit;
    std::size_t leaf;
    Limit limit;
    const char* expected;  // empty: none
};

class Reduction : public testing::TestWithParam<ReductionCase> {};

TEST_P(Reduction, RemovesWhatTheLimitTakesOut) {
    const ReductionCase& c = GetParam();
    const auto smaller = reduced(parsed(c.circuit), c.leaf, c.limit);
    if (std::string(c.expected).empty()) {
        EXPECT_FALSE(smaller.has_value());
    } else {
        ASSERT_TRUE(smaller.has_value());
        EXPECT_EQ(notation_text(*smaller), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Reduction, testing::Values(
    ReductionCase{"R0-p(R1,C1)", 1, Limit::open_circuit, "R0-C1"},
    ReductionCase{"R0-p(R1,C1)", 2, Limit::short_circuit, "R0"},
    ReductionCase{"R0-p(R1,C1)", 0, Limit::short_circuit, "p(R1,C1)"},
    ReductionCase{"R0-p(R1,C1)", 0, Limit::open_circuit, ""},
    ReductionCase{"R0-p(R1-p(R2,C2),C1)", 2, Limit::open_circuit, "R0-p(R1-C2,C1)"},
    ReductionCase{"R0", 0, Limit::short_circuit, ""},
    ReductionCase{"R0-p(R1,C1)", 7, Limit::short_circuit, ""}));

}  // namespace
}  // namespace kelvara
