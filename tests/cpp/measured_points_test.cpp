// A measured spectrum's facts, found once where it comes in.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "circuit/measured_points.hpp"

namespace kelvara {
namespace {

TEST(MeasuredSpectrum, FindsEveryUnusablePointAndTheFirstZeroInOnePass) {
    // Point 1 has a NaN impedance, 2 and 4 are zero, 3 has a negative frequency.
    std::vector<double> f{1e3, 1e2, 1e1, -1.0, 1e-1, 1e-2};
    std::vector<Complex> z{{1.0, -1.0}, {NAN, 0.0}, {0.0, 0.0}, {2.0, -2.0}, {0.0, 0.0}, {3.0, -3.0}};
    const auto spectrum = MeasuredSpectrum::check(f, z);
    ASSERT_TRUE(spectrum.has_value());
    EXPECT_EQ(spectrum->dropped(), (std::vector<std::size_t>{1, 2, 3, 4}));
    EXPECT_EQ(spectrum->zero_impedance(), std::optional<std::size_t>{2});
    // Frequencies are named before impedances, as every refusal names them.
    EXPECT_EQ(spectrum->unusable(), "frequencies must be finite and positive, but point 3 has frequency -1");
    const MeasuredSpectrum usable = spectrum->usable_part();
    EXPECT_EQ(std::vector<double>(usable.frequencies_hz().begin(), usable.frequencies_hz().end()),
              (std::vector<double>{1e3, 1e-2}));
    ASSERT_EQ(usable.impedances().size(), 2u);
    EXPECT_EQ(usable.impedances()[1].re, 3.0);
    EXPECT_FALSE(usable.unusable() || usable.zero_impedance() || usable.one_frequency());
    // Its usable points at one frequency: the part has no range, the whole has.
    const auto flat = MeasuredSpectrum::check({5.0, 5.0, 7.0}, {{1.0, 0.0}, {2.0, 0.0}, {NAN, 0.0}});
    EXPECT_FALSE(flat->one_frequency());
    EXPECT_TRUE(flat->usable_part().one_frequency());
}

TEST(MeasuredSpectrum, CleanSpectrumHasNoFactsAndUnequalLengthsNoSpectrum) {
    const auto clean = MeasuredSpectrum::check({1.0, 2.0}, {{1.0, 0.0}, {0.0, -1.0}});
    ASSERT_TRUE(clean.has_value());
    EXPECT_FALSE(clean->unusable().has_value());
    EXPECT_FALSE(clean->zero_impedance().has_value());
    EXPECT_TRUE(clean->dropped().empty());
    EXPECT_FALSE(MeasuredSpectrum::check({1.0, 2.0}, {{1.0, 0.0}}).has_value());
}

}  // namespace
}  // namespace kelvara
