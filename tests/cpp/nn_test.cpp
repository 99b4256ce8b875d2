// Starting-point networks below the Python surface: the .eisnn loader and its
// errors, the small inference layers, and topology matching.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "circuit/parser.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "nn/guesser.hpp"
#include "nn/inference.hpp"

namespace kelvara {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put_u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_str(Bytes& out, const std::string& s) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}
Bytes f32(std::vector<float> values) {
    Bytes out;
    for (float v : values) {
        std::uint32_t bits;
        std::memcpy(&bits, &v, 4);
        put_u32(out, bits);
    }
    return out;
}

struct RawTensor {
    std::string name;
    std::uint8_t encoding;
    std::vector<std::uint32_t> dims;
    Bytes data;
};

// An .eisnn byte string assembled field by field; entries may repeat.
struct WeightFile {
    std::vector<std::pair<std::string, std::string>> header;
    std::vector<RawTensor> tensors;

    WeightFile& set(std::string key, std::string value) {
        header.emplace_back(std::move(key), std::move(value));
        return *this;
    }
    WeightFile& replace(const std::string& key, std::string value) { return erase(key).set(key, std::move(value)); }
    WeightFile& raw(std::string name, std::uint8_t encoding, std::vector<std::uint32_t> dims, Bytes data) {
        tensors.push_back({std::move(name), encoding, std::move(dims), std::move(data)});
        return *this;
    }
    WeightFile& floats(std::string name, std::vector<std::uint32_t> dims, std::vector<float> values) {
        return raw(std::move(name), 0, std::move(dims), f32(std::move(values)));
    }
    WeightFile& erase(const std::string& name) {
        std::erase_if(header, [&](const auto& kv) { return kv.first == name; });
        std::erase_if(tensors, [&](const auto& t) { return t.name == name; });
        return *this;
    }
    Bytes bytes() const {
        Bytes out = {'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
        put_u32(out, static_cast<std::uint32_t>(header.size()));
        for (const auto& [k, v] : header) put_str(out, k), put_str(out, v);
        put_u32(out, static_cast<std::uint32_t>(tensors.size()));
        for (const auto& t : tensors) {
            put_str(out, t.name);
            out.push_back(t.encoding);
            out.push_back(static_cast<std::uint8_t>(t.dims.size()));
            for (auto d : t.dims) put_u32(out, d);
            out.insert(out.end(), t.data.begin(), t.data.end());
        }
        return out;
    }
};

WeightFile small_file() {
    WeightFile w;
    w.set("circuit", "R0-(R1,C1)").set("param_names", "R0.r,R1.r,C1.c").set("estimator", "reactive_centroid");
    w.set("n_grid", "4").set("channels", "1").set("kernel", "3").set("groups", "1").set("dilations", "1,2");
    w.set("alpha_min", "0.05").set("alpha_max", "1.0");
    w.floats("target_mean", {3}, {0.1f, 0.2f, 0.3f}).floats("target_std", {3}, {1, 2, 3});
    w.floats("log_params", {3}, {1, 1, 0});
    w.floats("scaling", {3, 4}, {1, 0, 0, -1, 1, 0, 0, -1, -1, -1, 0, -1});
    return w;
}

Result<Guesser, NnError> load(const WeightFile& w) {
    const Bytes b = w.bytes();
    return Guesser::from_bytes(b);
}
std::string outcome(const Bytes& b) {
    auto r = Guesser::from_bytes(b);
    return r.ok() ? "loaded" : r.error().display();
}
std::string outcome(const WeightFile& w) { return outcome(w.bytes()); }
Guesser loaded(const WeightFile& w) {
    auto r = load(w);
    EXPECT_TRUE(r.ok()) << r.error().display();
    return std::move(r).value();
}
std::string unparsable(const std::string& key) { return "weight file has an unparsable value for \"" + key + "\""; }
SeriesList tree(std::string_view text) {
    auto r = parse(text);
    EXPECT_TRUE(r.ok()) << text;
    return std::move(r).value();
}

TEST(WeightFile, SmallFileLoadsEveryField) {
    const Guesser g = loaded(small_file());
    EXPECT_EQ(g.circuit, "R0-(R1,C1)");
    EXPECT_EQ(g.param_names, (std::vector<std::string>{"R0.r", "R1.r", "C1.c"}));
    EXPECT_EQ(g.dilations, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(g.target_mean, (std::vector<double>{double(0.1f), double(0.2f), double(0.3f)}));
    EXPECT_EQ(g.target_std, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(g.log_params, (std::vector<bool>{true, true, false}));
    ASSERT_EQ(g.scaling.size(), 3u);
    const Scaling& c = g.scaling[2];
    EXPECT_EQ(std::make_tuple(c.r_power, c.omega_power, c.alpha_omega_power, c.alpha_index),
              std::make_tuple(-1.0, -1.0, 0.0, std::int32_t{-1}));
    EXPECT_EQ(std::make_tuple(g.n_grid, g.channels, g.kernel, g.groups, g.alpha_min, g.alpha_max),
              std::make_tuple(std::size_t{4}, std::size_t{1}, std::size_t{3}, std::size_t{1}, 0.05, 1.0));
    Bytes trailing = small_file().bytes();
    trailing.insert(trailing.end(), {0xFF, 0x00, 0x13});
    EXPECT_EQ(outcome(trailing), "loaded");
}

TEST(WeightFile, EveryTruncationIsReportedAsTruncated) {
    WeightFile w = small_file();
    w.raw("half", 1, {2}, {0x00, 0x3C, 0x00, 0xC0}).raw("int8", 2, {2}, {0, 0, 0, 0x3F, 0x02, 0xFF});
    const Bytes full = w.bytes();
    ASSERT_EQ(outcome(full), "loaded");
    for (std::size_t n = 0; n < full.size(); ++n) {
        const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        ASSERT_EQ(outcome(prefix), "weight file is truncated") << "prefix of " << n << " bytes";
    }
}

TEST(WeightFile, MagicBytes) {
    EXPECT_EQ(outcome(Bytes{'E', 'I', 'S', 'N', 'N', '0', '0'}), "weight file is truncated");
    EXPECT_EQ(outcome(Bytes{'E', 'I', 'S', 'N', 'N', '0', '0', '1'}), "weight file is truncated");
    Bytes b = small_file().bytes();
    b[7] = '2';
    EXPECT_EQ(outcome(b), "not an eisnn weight file (bad magic bytes)");
}

class MissingEntry : public testing::TestWithParam<const char*> {};
TEST_P(MissingEntry, IsNamed) {
    WeightFile w = small_file();
    w.erase(GetParam());
    EXPECT_EQ(outcome(w), std::string("weight file is missing \"") + GetParam() + "\"");
}
INSTANTIATE_TEST_SUITE_P(WeightFile, MissingEntry,
                         testing::Values("target_mean", "target_std", "log_params", "scaling", "dilations",
                                         "estimator", "circuit", "param_names", "n_grid", "channels", "kernel",
                                         "groups", "alpha_min", "alpha_max"));

TEST(WeightFile, FirstFailureInLoadOrderWins) {
    EXPECT_EQ(outcome(small_file().erase("circuit").erase("target_std")), "weight file is missing \"target_std\"");
    EXPECT_EQ(outcome(small_file().erase("n_grid").replace("dilations", "1,,2")), unparsable("dilations"));
    EXPECT_EQ(outcome(small_file().erase("scaling").replace("dilations", "x")), "weight file is missing \"scaling\"");
    EXPECT_EQ(outcome(small_file().replace("kernel", "-1").replace("channels", "x")), unparsable("channels"));
}

TEST(WeightFile, RepeatedHeaderKeyAndTensorTakeTheLastOne) {
    WeightFile w = small_file();
    w.set("n_grid", "7").floats("target_mean", {3}, {5, 6, 7});
    const Guesser g = loaded(w);
    EXPECT_EQ(g.n_grid, 7u);
    EXPECT_EQ(g.target_mean, (std::vector<double>{5, 6, 7}));
}

struct HeaderCase {
    const char* key;
    const char* value;
    bool ok;
};
class HeaderValue : public testing::TestWithParam<HeaderCase> {};
TEST_P(HeaderValue, ParsesOrIsUnparsable) {
    const auto& c = GetParam();
    const auto result = load(small_file().replace(c.key, c.value));
    if (c.ok) {
        ASSERT_TRUE(result.ok()) << result.error().display();
    } else {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().display(), unparsable(c.key));
    }
}
INSTANTIATE_TEST_SUITE_P(
    WeightFile, HeaderValue,
    testing::Values(HeaderCase{"n_grid", "4 ", false}, HeaderCase{"n_grid", " 4", false},
                    HeaderCase{"n_grid", "-4", false}, HeaderCase{"n_grid", "", false},
                    HeaderCase{"n_grid", "4.0", false}, HeaderCase{"n_grid", "+4", true},
                    HeaderCase{"n_grid", "004", true}, HeaderCase{"kernel", "99999999999999999999999", false},
                    HeaderCase{"groups", "+-1", false}, HeaderCase{"dilations", " 1, 2,4 ,8", true},
                    HeaderCase{"dilations", "1,,2", false}, HeaderCase{"dilations", "1,2,", false},
                    HeaderCase{"dilations", "", false}, HeaderCase{"dilations", "1;2", false},
                    HeaderCase{"alpha_max", "1.0 ", false}, HeaderCase{"alpha_max", "", false},
                    HeaderCase{"alpha_max", "1e", false}, HeaderCase{"alpha_max", ".", false},
                    HeaderCase{"alpha_max", "1,0", false}, HeaderCase{"alpha_max", "+1.5e0", true},
                    HeaderCase{"alpha_max", "INFINITY", true}, HeaderCase{"alpha_max", "5.", true}));

TEST(WeightFile, ParsedHeaderValues) {
    EXPECT_EQ(loaded(small_file().replace("n_grid", "+4")).n_grid, 4u);
    EXPECT_EQ(loaded(small_file().replace("dilations", " 1, 2,4 ,8")).dilations, (std::vector<std::size_t>{1, 2, 4, 8}));
    EXPECT_EQ(loaded(small_file().replace("param_names", "R0.r, R1.r,C1.c")).param_names,
              (std::vector<std::string>{"R0.r", " R1.r", "C1.c"}));
    EXPECT_EQ(loaded(small_file().replace("param_names", "")).param_names, (std::vector<std::string>{""}));
    EXPECT_EQ(loaded(small_file().replace("param_names", "a,,")).param_names,
              (std::vector<std::string>{"a", "", ""}));
    EXPECT_TRUE(std::isinf(loaded(small_file().replace("alpha_max", "inf")).alpha_max));
}

TEST(WeightFile, EstimatorMustMatchExactly) {
    EXPECT_EQ(outcome(small_file().replace("estimator", "reactive_centroid ")),
              "weight file was normalised with the \"reactive_centroid \" scale estimator, which this build does "
              "not implement (supported: reactive_centroid)");
}

TEST(WeightFile, UnknownEncodingIsCheckedBeforeTheData) {
    EXPECT_EQ(outcome(small_file().raw("x", 3, {2}, {})), "weight file uses tensor encoding 3, which this build does not know");
    EXPECT_EQ(outcome(small_file().raw("x", 255, {}, {})), "weight file uses tensor encoding 255, which this build does not know");
}

TEST(WeightFile, ElementCounts) {
    WeightFile w;
    w.floats("zero_dim", {0}, {7.5f}).floats("scalar", {}, {-2.0f}).floats("wrapped", {65536, 65536}, {3.0f});
    for (const auto& t : small_file().tensors) w.tensors.push_back(t);
    w.header = small_file().header;
    const Guesser g = loaded(w);
    ASSERT_NE(g.tensor("zero_dim"), nullptr);
    EXPECT_EQ(g.tensor("zero_dim")->data, std::vector<double>{7.5});
    EXPECT_EQ(g.tensor("zero_dim")->dims, std::vector<std::uint32_t>{0});
    EXPECT_EQ(g.tensor("scalar")->data, std::vector<double>{-2.0});
    EXPECT_TRUE(g.tensor("scalar")->dims.empty());
    EXPECT_EQ(g.tensor("wrapped")->data, std::vector<double>{3.0});
    EXPECT_EQ(g.tensor("absent"), nullptr);
}

TEST(WeightFile, Encodings) {
    WeightFile w = small_file();
    w.raw("q", 2, {2}, {0x00, 0x00, 0x00, 0x3F, 0x02, 0xFF});
    w.raw("h", 1, {2, 2}, {0x00, 0x3C, 0x00, 0xC0, 0x01, 0x00, 0x00, 0x7C});
    const Guesser g = loaded(w);
    EXPECT_EQ(g.tensor("q")->data, (std::vector<double>{1.0, -0.5}));
    EXPECT_EQ(g.tensor("h")->data, (std::vector<double>{1.0, -2.0, std::ldexp(1.0, -24), INFINITY}));
}

using Half = std::pair<std::uint16_t, double>;
class HalfPrecision : public testing::TestWithParam<Half> {};
TEST_P(HalfPrecision, WidensExactly) {
    const auto [bits, expected] = GetParam();
    const double got = half_to_double(bits);
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(got)) << got;
        return;
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(std::signbit(got), std::signbit(expected));
}
INSTANTIATE_TEST_SUITE_P(WeightFile, HalfPrecision,
                         testing::Values(Half{0x3C00, 1.0}, Half{0xC000, -2.0}, Half{0x0001, std::ldexp(1.0, -24)},
                                         Half{0x8001, -std::ldexp(1.0, -24)}, Half{0x03FF, 1023 * std::ldexp(1.0, -24)},
                                         Half{0x0400, std::ldexp(1.0, -14)}, Half{0x7BFF, 65504.0},
                                         Half{0x3555, 0.25 * (1 + 341.0 / 1024)}, Half{0x8000, -0.0},
                                         Half{0x7C00, INFINITY}, Half{0xFC00, -INFINITY}, Half{0x7E00, NAN},
                                         Half{0x7C01, NAN}));

TEST(WeightFile, ScalingMustHaveFourColumnsPerOutput) {
    WeightFile w = small_file();
    w.floats("target_mean", {4}, {0, 0, 0, 0}).floats("scaling", {3, 4}, std::vector<float>(12, 0.0f));
    EXPECT_EQ(outcome(w), "tensor \"scaling\" has 12 elements, expected 16");
}

TEST(WeightFile, ScalingIndexRoundingAndLogFlags) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    WeightFile w = small_file();
    w.floats("target_mean", {6}, std::vector<float>(6, 0.0f)).floats("log_params", {6}, {0, -0.0f, nan, 0.5f, 1, -2});
    w.floats("scaling", {6, 4}, {0, 0, 0, 2.5f, 0, 0, 0, -0.5f, 0, 0, 0, nan, 0, 0, 0, 3e9f, 0, 0, 0, -3e9f, 0.5f, 2, -1, 1.49f});
    const Guesser g = loaded(w);
    EXPECT_EQ(g.log_params, (std::vector<bool>{false, false, true, true, true, true}));
    std::vector<std::int32_t> indices;
    for (const auto& s : g.scaling) indices.push_back(s.alpha_index);
    EXPECT_EQ(indices, (std::vector<std::int32_t>{3, -1, 0, INT32_MAX, INT32_MIN, 1}));
    EXPECT_EQ(g.scaling[5].r_power, 0.5);
    EXPECT_EQ(g.scaling[5].omega_power, 2.0);
    EXPECT_EQ(g.scaling[5].alpha_omega_power, -1.0);
}

class InvalidUtf8 : public testing::TestWithParam<int> {};
TEST_P(InvalidUtf8, IsReportedAsTruncated) {
    WeightFile w = small_file();
    const std::string bad = "ab\xC3\x28";
    if (GetParam() == 0) w.set(bad, "1");
    if (GetParam() == 1) w.replace("circuit", bad);
    if (GetParam() == 2) w.floats(bad, {1}, {1.0f});
    EXPECT_EQ(outcome(w), "weight file is truncated");
}
INSTANTIATE_TEST_SUITE_P(WeightFile, InvalidUtf8, testing::Values(0, 1, 2));

using Big = std::pair<int, std::vector<std::uint32_t>>;
class HugeTensor : public testing::TestWithParam<Big> {};
TEST_P(HugeTensor, InAShortFileIsTruncated) {
    const auto& [encoding, dims] = GetParam();
    WeightFile w = small_file();
    w.raw("big", static_cast<std::uint8_t>(encoding), dims, Bytes(64, 0x11));
    EXPECT_EQ(outcome(w), "weight file is truncated");
}
INSTANTIATE_TEST_SUITE_P(WeightFile, HugeTensor,
                         testing::Values(Big{0, {0xFFFFFFFFu}}, Big{1, {0x40000000u, 3}},
                                         Big{2, {0x10001u, 0x10001u}}, Big{0, {2, 3, 5, 7, 11, 13, 17}}));

// ---- inference layers ----

double gelu_reference(double u) { return (std::tanh((u * 0.044715 * u * u + u) * 0.7978845608028654) + 1) * u * 0.5; }

TEST(Inference, Gelu) {
    EXPECT_EQ(gelu(0.0), 0.0);
    EXPECT_NEAR(gelu(1.0), 0.8411919906082768, 1e-16);
    EXPECT_NEAR(gelu(-1.0), -0.15880800939172324, 1e-16);
    for (double u : {-3.0, -0.25, 0.5, 2.0, 7.0}) EXPECT_DOUBLE_EQ(gelu(u), gelu_reference(u)) << u;
    EXPECT_EQ(gelu(10.0), 10.0);
    EXPECT_EQ(gelu(-10.0), 0.0);
    EXPECT_TRUE(std::isnan(gelu(NAN)));
}

TEST(Inference, Interpolate) {
    const std::vector<double> xs = {0.0, 1.0, 2.0, 4.0}, ys = {0.0, 10.0, 40.0, 0.0};
    const std::vector<std::pair<double, double>> cases = {{-1, 0}, {0, 0}, {0.5, 5}, {1, 10}, {1.5, 25},
                                                          {3, 20}, {4, 0}, {9, 0}};
    for (const auto& [x, y] : cases) EXPECT_DOUBLE_EQ(interpolate(xs, ys, x), y) << x;
}

// Knots from NaN or non-positive frequencies: whatever x is, only the knots
// are read (AddressSanitizer checks the reads) and the answer is NaN or one
// of the interpolants.
TEST(Inference, InterpolateIsTotal) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const std::vector<std::vector<double>> knots = {{nan, nan, nan}, {0.0, nan, 2.0}, {nan, 1.0, 2.0}, {0.0, 1.0, nan},
                                                    {2.0, 1.0, 0.0}, {-inf, 0.0, inf},  {1.0}};
    for (const auto& xs : knots) {
        const std::vector<double> ys(xs.size(), 3.0);
        for (const double x : {-inf, -1.0, 0.5, 1.5, 5.0, inf, nan}) {
            const double y = interpolate(xs, ys, x);
            EXPECT_TRUE(std::isnan(y) || y == 3.0) << x;
        }
    }
    EXPECT_TRUE(std::isnan(interpolate({}, {}, 1.0)));
}

WeightFile layer_file(std::string channels, std::string groups, std::string n_grid) {
    WeightFile w = small_file();
    w.replace("channels", std::move(channels)).replace("groups", std::move(groups)).replace("n_grid", std::move(n_grid));
    return w;
}

TEST(Inference, Conv1dPadsWithZerosAndDilates) {
    WeightFile w = layer_file("1", "1", "4");
    w.floats("w.c.weight", {1, 1, 3}, {1, 2, 3}).floats("w.c.bias", {1}, {0.5f});
    w.floats("w.z.weight", {1, 1, 3}, {0, 1, 0}).floats("w.z.bias", {1}, {0.5f});
    w.floats("w.s.weight", {1, 2}, {1, 2}).floats("w.s.bias", {1}, {0.5f});
    const Guesser g = loaded(w);
    const std::vector<double> x = {1, 2, 3, 4};
    auto d1 = conv1d(g, x, 1, "c", 1), d2 = conv1d(g, x, 1, "c", 2);
    ASSERT_TRUE(d1.ok() && d2.ok());
    EXPECT_EQ(d1.value(), (std::vector<double>{8.5, 14.5, 20.5, 11.5}));
    EXPECT_EQ(d2.value(), (std::vector<double>{11.5, 16.5, 7.5, 10.5}));
    // A zero tap is skipped, so it never multiplies an infinite input into NaN.
    auto skipped = conv1d(g, std::vector<double>{1, INFINITY, 2, 3}, 1, "z", 1);
    ASSERT_TRUE(skipped.ok());
    EXPECT_EQ(skipped.value(), (std::vector<double>{1.5, INFINITY, 2.5, 3.5}));
    auto missing = conv1d(g, x, 1, "nope", 1);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().display(), "weight file is missing \"w.nope.weight\"");
    auto shape = conv1d(g, x, 1, "s", 1);
    ASSERT_FALSE(shape.ok());
    EXPECT_EQ(shape.error().display(), "tensor \"w.s.weight\" has 2 elements, expected 3");
}

TEST(Inference, GroupNormNormalisesEachGroup) {
    WeightFile w = layer_file("4", "2", "3");
    w.floats("w.n.weight", {4}, {1, 2, 1, 1}).floats("w.n.bias", {4}, {0, 0, 0.5f, 0});
    std::vector<double> map = {1, 2, 3, 4, 5, 6, 0, 0, 0, 2, 2, 2};
    ASSERT_TRUE(group_norm(loaded(w), map, "n").ok());
    const double r0 = 1 / std::sqrt(17.5 / 6 + 1e-5), r1 = 1 / std::sqrt(1 + 1e-5);
    const std::vector<double> expected = {-2.5 * r0, -1.5 * r0, -0.5 * r0, 2 * 0.5 * r0, 2 * 1.5 * r0, 2 * 2.5 * r0,
                                          0.5 - r1,  0.5 - r1,  0.5 - r1,  r1,           r1,           r1};
    for (std::size_t i = 0; i < map.size(); ++i) EXPECT_NEAR(map[i], expected[i], 1e-14) << i;

    // Three groups of one channel over four channels: the fourth is left alone.
    WeightFile odd = layer_file("4", "3", "2");
    odd.floats("w.n.weight", {4}, {1, 1, 1, 1}).floats("w.n.bias", {4}, {0, 0, 0, 0});
    std::vector<double> values = {0, 2, 5, 5, -1, 3, 7, 9};
    ASSERT_TRUE(group_norm(loaded(odd), values, "n").ok());
    const double r = 1 / std::sqrt(1 + 1e-5), rr = 1 / std::sqrt(4 + 1e-5);
    const std::vector<double> odd_expected = {-r, r, 0, 0, -2 * rr, 2 * rr, 7, 9};
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_NEAR(values[i], odd_expected[i], 1e-14) << i;
}

TEST(Inference, LinearAndItsInputLength) {
    WeightFile w = small_file();
    w.floats("w.d.weight", {2, 3}, {1, 2, 3, 4, 5, 6}).floats("w.d.bias", {2}, {0.5f, -1});
    w.floats("w.head.0.weight", {1, 66}, std::vector<float>(66, 1.0f)).floats("w.head.0.bias", {1}, {0});
    const Guesser g = loaded(w);
    auto y = linear(g, std::vector<double>{1, 0, -1}, "d");
    ASSERT_TRUE(y.ok());
    EXPECT_EQ(y.value(), (std::vector<double>{-1.5, -3.0}));
    auto bad = linear(g, std::vector<double>(65, 1.0), "head.0");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().display(), "tensor \"head.0\" has 65 elements, expected 66");
}

// A whole two-channel network with one block; every tensor filled with 0.1.
WeightFile tiny_network() {
    WeightFile w = layer_file("2", "1", "4");
    w.replace("dilations", "1");
    auto fill = [&](std::string name, std::vector<std::uint32_t> dims) {
        std::uint32_t n = 1;
        for (auto d : dims) n *= d;
        w.floats(std::move(name), std::move(dims), std::vector<float>(n, 0.1f));
    };
    fill("w.stem.weight", {2, 3, 3});
    for (const char* layer : {"w.stem.bias", "w.blocks.0.conv1.bias", "w.blocks.0.conv2.bias", "w.blocks.0.norm1.weight",
                              "w.blocks.0.norm1.bias", "w.blocks.0.norm2.weight", "w.blocks.0.norm2.bias",
                              "w.head.0.bias", "w.head.2.bias"})
        fill(layer, {2});
    fill("w.blocks.0.conv1.weight", {2, 2, 3});
    fill("w.blocks.0.conv2.weight", {2, 2, 3});
    fill("w.head.0.weight", {2, 6});
    fill("w.head.2.weight", {2, 2});
    fill("w.head.4.weight", {6, 2});
    fill("w.head.4.bias", {6});
    return w;
}

TEST(Inference, TinyNetworkPredicts) {
    const std::vector<double> f = {1, 10, 100, 1000};
    const std::vector<Complex> z = {{3, -1}, {2, -1}, {1.5, -0.5}, {1, -0.1}};
    const auto out = predict(loaded(tiny_network()), f, z);
    ASSERT_TRUE(out.ok()) << out.error().display();
    ASSERT_EQ(out.value().size(), 3u);
    for (double v : out.value()) EXPECT_TRUE(std::isfinite(v) && v > 0) << v;
}

// Damaged networks: every short tensor and odd header must give an error or values,
// never a read outside a tensor (the sanitizer build checks the reads).
using Change = std::pair<std::string, std::string>;
class DamagedNetwork : public testing::TestWithParam<Change> {};
TEST_P(DamagedNetwork, FailsCleanly) {
    const auto& [name, value] = GetParam();
    WeightFile w = tiny_network();
    const bool header = value != "short";
    if (header) {
        w.replace(name, value);
    } else {
        for (auto& t : w.tensors) {
            if (t.name != name) continue;
            t.data.resize(t.data.size() - 4);
            t.dims = {static_cast<std::uint32_t>(t.data.size() / 4)};
        }
    }
    auto g = load(w);
    if (!g.ok()) return;
    const std::vector<double> f = {1, 10, 100, 1000};
    const std::vector<Complex> z = {{3, -1}, {2, -1}, {1.5, -0.5}, {1, -0.1}};
    const auto out = predict(g.value(), f, z);
    if (!header) {
        EXPECT_FALSE(out.ok()) << name;
    } else if (out.ok()) {
        EXPECT_EQ(out.value().size(), 3u);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Inference, DamagedNetwork,
    testing::Values(Change{"groups", "0"}, Change{"groups", "3"}, Change{"kernel", "0"}, Change{"kernel", "4"},
                    Change{"channels", "0"}, Change{"channels", "3"}, Change{"n_grid", "0"}, Change{"dilations", "4096"},
                    Change{"alpha_min", "2"}, Change{"param_names", "a,b,c,d,e"}, Change{"w.stem.weight", "short"},
                    Change{"w.stem.bias", "short"}, Change{"w.blocks.0.conv1.weight", "short"},
                    Change{"w.blocks.0.norm2.bias", "short"}, Change{"w.head.0.weight", "short"},
                    Change{"w.head.2.bias", "short"}, Change{"w.head.4.bias", "short"}, Change{"target_std", "short"},
                    Change{"log_params", "short"}));

TEST(Inference, AlphaIndexOutsideTheOutputsFailsCleanly) {
    for (float index : {3.0f, 99.0f, 3e9f}) {
        WeightFile w = tiny_network();
        w.floats("scaling", {3, 4}, {1, 0, 0, -1, 1, 0, 0, -1, -1, -1, 1, index});
        const std::vector<double> f = {1, 10};
        const std::vector<Complex> z = {{3, -1}, {2, -1}};
        const auto out = predict(loaded(w), f, z);
        if (out.ok()) {
            EXPECT_EQ(out.value().size(), 3u);
        }
    }
}

// ---- topology matching ----

TEST(Topology, CanonicalKeysIgnoreOrderAndLabels) {
    EXPECT_EQ(canonical(tree("R0-(R1,C1)")).key, "[([C],[R]),R]");
    EXPECT_EQ(canonical(tree("(R1,C2)-R3")).key, "[([C],[R]),R]");
    EXPECT_EQ(canonical(tree("R0-(R1-W1,CPE1)")).key, "[([Cpe],[R,W]),R]");
}

struct MatchCase {
    const char* user;
    std::size_t model;  // index into MODELS
    bool expanded;
    ParameterMap map;
};
class RegistryMatchCase : public testing::TestWithParam<MatchCase> {};
TEST_P(RegistryMatchCase, FindsTheModelAndMap) {
    const auto& c = GetParam();
    const auto found = find_for_topology(tree(c.user));
    ASSERT_TRUE(found.has_value()) << c.user;
    EXPECT_EQ(MODELS[found->index].name, MODELS[c.model].name);
    EXPECT_EQ(found->match.expanded, c.expanded);
    EXPECT_EQ(found->match.map, c.map);
    const auto direct = match_topology(tree(MODELS[c.model].circuit), tree(c.user));
    EXPECT_EQ(direct.has_value(), !c.expanded);
}
INSTANTIATE_TEST_SUITE_P(Topology, RegistryMatchCase,
                         testing::Values(MatchCase{"(R1,C2)-R3", 0, false, {1, 2, 0}},
                                         MatchCase{"R0-p(C1,R1)", 0, false, {0, 2, 1}},
                                         MatchCase{"(C1,R1)-R0", 0, false, {2, 1, 0}},
                                         MatchCase{"R0-Zarc1", 2, true, {0, 1, 2, 3}},
                                         MatchCase{"R0-K1", 0, true, {0, 1, 2}},
                                         MatchCase{"L0-R0-K1-K2", 5, true, {0, 1, 2, 3, 4, 5}},
                                         MatchCase{"(R5,C5)-R0-(C7,R7)", 4, false, {1, 2, 0, 4, 3}},
                                         MatchCase{"(R9-W9,CPE9)-R8", 8, false, {1, 2, 3, 4, 0}}));

TEST(Topology, CircuitsWithoutAModel) {
    for (const char* text : {"R0-C1", "R0-K1-(R2,CPE2)", "R0-(R1,C1)-(R2,CPE2)", "R0", "(R1,C1)"})
        EXPECT_FALSE(find_for_topology(tree(text)).has_value()) << text;
    EXPECT_FALSE(match_or_expand(tree("R0-(R1,C1)"), tree("R0-(R1,C1)-R2")).has_value());
    EXPECT_FALSE(match_or_expand(tree("R0-(R1,CPE1)"), tree("R0-K1")).has_value());
}

}  // namespace
}  // namespace kelvara
