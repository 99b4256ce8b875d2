// Starting-point networks below the Python surface: the .eisnn loader and its
// errors, the small inference layers, and topology matching.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "circuit/parser.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "nn/activation.hpp"
#include "nn/conv_kernel.hpp"
#include "nn/guesser.hpp"
#include "nn/inference.hpp"
#include "test_names.hpp"
#include "support/constants.hpp"

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
                                         "groups", "alpha_min", "alpha_max"),
                         [](const auto& info) { return std::string(info.param); });

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
                    HeaderCase{"alpha_max", "INFINITY", true}, HeaderCase{"alpha_max", "5.", true}),
    [](const auto& info) { return test::spelled(info.param.key) + "_is_" + test::spelled(info.param.value); });

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
                                         Half{0x7C01, NAN}),
                         [](const auto& info) {
                             char name[8];
                             std::snprintf(name, sizeof name, "x%04X", static_cast<unsigned>(info.param.first));
                             return std::string(name);
                         });

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
INSTANTIATE_TEST_SUITE_P(WeightFile, InvalidUtf8, testing::Values(0, 1, 2), [](const auto& info) {
    return std::string(info.param == 0 ? "in_a_header_key" : info.param == 1 ? "in_a_header_value" : "in_a_tensor_name");
});

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
                                         Big{2, {0x10001u, 0x10001u}}, Big{0, {2, 3, 5, 7, 11, 13, 17}}),
                         [](const auto& info) {
                             std::string name = "encoding" + std::to_string(info.param.first) + "_dims";
                             for (const std::uint32_t d : info.param.second) name += "_" + std::to_string(d);
                             return name;
                         });

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
                    Change{"log_params", "short"}),
    [](const auto& info) { return test::spelled(info.param.first) + "_is_" + test::spelled(info.param.second); });

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

// ---- the vectorised forward pass against plain loops ----

// The network written out layer by layer in the most direct way: taps in
// (input channel, kernel position) order with zero taps skipped, two-pass
// group norm, sequential pooling, std::tanh GELU.
std::vector<double> reference_predict(const Guesser& g, const std::vector<double>& f, const std::vector<Complex>& z) {
    const Features x = features(g, f, z).value();
    const std::size_t C = g.channels, T = g.n_grid, K = g.kernel, P = g.param_names.size();
    const auto data = [&](const std::string& name) { return g.tensor("w." + name)->data; };
    const auto conv = [&](const std::vector<double>& in, std::size_t I, const std::string& name, std::size_t d) {
        const auto w = data(name + ".weight"), b = data(name + ".bias");
        const auto pad = static_cast<std::ptrdiff_t>(d * (K - 1) / 2);
        std::vector<double> out(C * T);
        for (std::size_t o = 0; o < C; ++o) {
            for (std::size_t t = 0; t < T; ++t) {
                double acc = b[o];
                for (std::size_t i = 0; i < I; ++i) {
                    for (std::size_t k = 0; k < K; ++k) {
                        const double tap = w[(o * I + i) * K + k];
                        const std::ptrdiff_t p = static_cast<std::ptrdiff_t>(t + k * d) - pad;
                        if (tap != 0.0 && p >= 0 && p < static_cast<std::ptrdiff_t>(T)) acc += tap * in[i * T + std::size_t(p)];
                    }
                }
                out[o * T + t] = acc;
            }
        }
        return out;
    };
    const auto norm = [&](std::vector<double>& v, const std::string& name) {
        const auto w = data(name + ".weight"), b = data(name + ".bias");
        const std::size_t per = C / g.groups, n = per * T;
        for (std::size_t j = 0; j < g.groups; ++j) {
            double* group = v.data() + j * n;
            double mean = 0.0, variance = 0.0;
            for (std::size_t k = 0; k < n; ++k) mean += group[k];
            mean /= double(n);
            for (std::size_t k = 0; k < n; ++k) variance += (group[k] - mean) * (group[k] - mean);
            const double r = 1.0 / std::sqrt(variance / double(n) + 1e-5);
            for (std::size_t k = 0; k < n; ++k) group[k] = (group[k] - mean) * r * w[j * per + k / T] + b[j * per + k / T];
        }
    };
    const auto dense = [&](const std::vector<double>& in, const std::string& name) {
        const auto w = data(name + ".weight"), b = data(name + ".bias");
        std::vector<double> out(b.size());
        for (std::size_t o = 0; o < out.size(); ++o) {
            out[o] = b[o];
            for (std::size_t i = 0; i < in.size(); ++i) out[o] += w[o * in.size() + i] * in[i];
        }
        return out;
    };
    std::vector<double> h = conv(x.grid, 3, "stem", 1);
    for (std::size_t block = 0; block < g.dilations.size(); ++block) {
        const std::string prefix = "blocks." + std::to_string(block) + ".";
        auto u = conv(h, C, prefix + "conv1", g.dilations[block]);
        norm(u, prefix + "norm1");
        for (double& v : u) v = gelu_reference(v);
        auto v = conv(u, C, prefix + "conv2", g.dilations[block]);
        norm(v, prefix + "norm2");
        for (std::size_t k = 0; k < h.size(); ++k) h[k] = gelu_reference(h[k] + v[k]);
    }
    std::vector<double> pooled(2 * C + 2, -INFINITY);
    for (std::size_t c = 0; c < C; ++c) {
        double sum = 0.0;
        for (std::size_t t = 0; t < T; ++t) {
            sum += h[c * T + t];
            pooled[C + c] = std::max(pooled[C + c], h[c * T + t]);
        }
        pooled[c] = sum / double(T);
    }
    pooled[2 * C] = x.extras[0];
    pooled[2 * C + 1] = x.extras[1];
    auto hidden = dense(pooled, "head.0");
    for (double& v : hidden) v = gelu_reference(v);
    hidden = dense(hidden, "head.2");
    for (double& v : hidden) v = gelu_reference(v);
    const auto raw = dense(hidden, "head.4");
    std::vector<double> v(P), out(P);
    for (std::size_t j = 0; j < P; ++j) {
        const double y = g.target_mean[j] + g.target_std[j] * raw[j];
        v[j] = g.log_params[j] ? std::pow(10.0, y) : std::clamp(y, g.alpha_min, g.alpha_max);
    }
    for (std::size_t j = 0; j < P; ++j) {
        const Scaling& s = g.scaling[j];
        const double e = s.alpha_index >= 0 ? s.alpha_omega_power * v[std::size_t(s.alpha_index)] : 0.0;
        out[j] = v[j] * std::pow(x.r_scale, s.r_power) * std::pow(x.omega_scale, s.omega_power + e);
    }
    return out;
}

// R0-(R1-W1,CPE1) on n log-spaced points, times a fixed pseudo-random noise.
void randles_spectrum(std::size_t n, double noise, std::vector<double>& f, std::vector<Complex>& z) {
    std::mt19937_64 rng(n);
    std::normal_distribution<double> normal;
    f.resize(n);
    z.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        f[i] = std::pow(10.0, 5.0 - 7.0 * double(i) / double(n - 1));
        const double w = two_pi * f[i], sw = std::sqrt(w);
        const double ar = 2.0 + 0.5 / sw, ai = -0.5 / sw, ad = ar * ar + ai * ai;  // R1 + W1
        const double yr = ar / ad + 1e-4 * std::pow(w, 0.85) * std::cos(0.85 * M_PI / 2);
        const double yi = -ai / ad + 1e-4 * std::pow(w, 0.85) * std::sin(0.85 * M_PI / 2);
        const double yd = yr * yr + yi * yi;
        z[i] = {(0.1 + yr / yd) * (1 + noise * normal(rng)), (-yi / yd) * (1 + noise * normal(rng))};
    }
}

void expect_relative(const std::vector<double>& got, const std::vector<double>& expected, double tolerance) {
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t j = 0; j < got.size(); ++j) {
        EXPECT_LE(std::abs(got[j] - expected[j]), tolerance * std::abs(expected[j])) << j << ": " << got[j] << " vs " << expected[j];
    }
}

TEST(ForwardPass, BuiltInModelsMatchPlainLoops) {
    std::size_t checked = 0;
    for (std::size_t m = 0; m < MODELS.size(); ++m) {
        const auto loaded = model_guesser(m);
        if (!std::holds_alternative<const Guesser*>(loaded)) continue;  // a build without that network
        const Guesser& g = *std::get<const Guesser*>(loaded);
        for (const auto& [n, noise] : {std::pair{60, 0.0}, std::pair{23, 0.02}, std::pair{250, 0.01}}) {
            std::vector<double> f;
            std::vector<Complex> z;
            randles_spectrum(std::size_t(n), noise, f, z);
            const auto got = predict(g, f, z);
            ASSERT_TRUE(got.ok()) << got.error().display();
            expect_relative(got.value(), reference_predict(g, f, z), 1e-9);
            ++checked;
        }
    }
    EXPECT_GT(checked, 0u);
}

// Sizes the built-in networks never have: a width that is no multiple of the
// register tile, groups that leave channels over, a grid that is no multiple
// of the tile, an even kernel, a dilation whose taps all fall off the grid.
TEST(ForwardPass, OddShapesMatchPlainLoops) {
    WeightFile w = small_file();
    const std::size_t C = 7, K = 4;
    w.replace("channels", "7").replace("groups", "3").replace("n_grid", "13").replace("kernel", "4");
    w.replace("dilations", "1,3,40");
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> uniform(-0.6f, 0.6f);
    const auto fill = [&](std::string name, std::vector<std::uint32_t> dims, float zeros = 0.0f) {
        std::uint32_t n = 1;
        for (auto d : dims) n *= d;
        std::vector<float> values(n);
        for (float& v : values) v = std::uniform_real_distribution<float>(0, 1)(rng) < zeros ? 0.0f : uniform(rng);
        w.floats(std::move(name), std::move(dims), std::move(values));
    };
    fill("w.stem.weight", {C, 3, K});
    fill("w.stem.bias", {C});
    for (int b = 0; b < 3; ++b) {
        const std::string p = "w.blocks." + std::to_string(b) + ".";
        fill(p + "conv1.weight", {C, C, K}, 0.2f);
        fill(p + "conv2.weight", {C, C, K});
        for (const char* t : {"conv1.bias", "conv2.bias", "norm1.weight", "norm1.bias", "norm2.weight", "norm2.bias"})
            fill(p + t, {C});
    }
    fill("w.head.0.weight", {9, 2 * C + 2});
    fill("w.head.0.bias", {9});
    fill("w.head.2.weight", {5, 9});
    fill("w.head.2.bias", {5});
    fill("w.head.4.weight", {3, 5});
    fill("w.head.4.bias", {3});
    const Guesser g = loaded(w);
    std::vector<double> f;
    std::vector<Complex> z;
    randles_spectrum(40, 0.01, f, z);
    const auto got = predict(g, f, z);
    ASSERT_TRUE(got.ok()) << got.error().display();
    expect_relative(got.value(), reference_predict(g, f, z), 1e-9);
}

TEST(ForwardPass, ConvolutionAgreesWithTheTapSkippingLoops) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> uniform(-1, 1);
    for (const auto& [outputs, inputs, kernel, dilation, grid] :
         {std::tuple<std::size_t, std::size_t, std::size_t, std::size_t, std::size_t>{8, 5, 5, 1, 64},
          {5, 3, 3, 2, 9}, {1, 1, 1, 1, 1}, {6, 4, 5, 8, 17}, {4, 2, 2, 100, 20}, {3, 2, 5, 3, 0}}) {
        std::vector<double> weight(outputs * inputs * kernel), bias(outputs);
        for (double& v : weight) v = uniform(rng);
        for (double& v : bias) v = uniform(rng);
        weight[0] = 0.0;
        const ConvLayer layer{weight, bias, outputs, inputs, kernel, dilation};
        std::vector<double> input(inputs * padded_row(grid), 0.0);
        for (std::size_t i = 0; i < inputs; ++i)
            for (std::size_t t = 0; t < grid; ++t) input[i * padded_row(grid) + conv_margin + t] = uniform(rng);
        std::vector<double> fast(outputs * tiled(grid)), plain(outputs * tiled(grid));
        convolve(layer, grid, input, fast);
        convolve_skipping_zero_taps(layer, grid, input, plain);
        for (std::size_t o = 0; o < outputs; ++o)
            for (std::size_t t = 0; t < grid; ++t)
                EXPECT_NEAR(fast[o * tiled(grid) + t], plain[o * tiled(grid) + t], 1e-13) << o << " " << t;
        if (grid == 0) continue;
        // An infinity meets only the zero tap of output 0 (input 0, kernel position 0) ...
        std::fill(weight.begin(), weight.begin() + std::ptrdiff_t(inputs * kernel), 0.0);
        input[conv_margin] = INFINITY;
        convolve(layer, grid, input, fast);
        for (std::size_t t = 0; t < grid; ++t) EXPECT_EQ(fast[t], bias[0]) << t;
    }
}

TEST(ForwardPass, VectorGeluMatchesTheOneValueVersion) {
    std::vector<double> u;
    for (double x = -30.0; x <= 30.0; x += 0.0137) u.push_back(x);
    for (double x : {0.0, -0.0, 1e-300, -1e-300, 1e-8, -1e-8, 19.99, -20.01, 1e300, -1e300}) u.push_back(x);
    const std::size_t finite = u.size();
    u.insert(u.end(), {INFINITY, -INFINITY, NAN});
    for (std::size_t length : {u.size(), u.size() - 1, u.size() - 2, std::size_t{3}, std::size_t{0}}) {
        std::vector<double> v(u.begin(), u.begin() + std::ptrdiff_t(length));
        gelu_in_place(v);
        for (std::size_t i = 0; i < length; ++i) {
            const double expected = gelu(u[i]);
            if (i >= finite || std::isinf(expected)) {
                EXPECT_EQ(std::isnan(v[i]), std::isnan(expected)) << u[i];
                if (!std::isnan(expected)) {
                    EXPECT_EQ(v[i], expected) << u[i];
                }
                continue;
            }
            // A few units in the last place of a value near u (or of 1, near zero).
            EXPECT_NEAR(v[i], expected, 1e-15 * std::max(1.0, std::abs(u[i]))) << u[i];
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
                                         MatchCase{"(R9-W9,CPE9)-R8", 8, false, {1, 2, 3, 4, 0}}),
                         [](const auto& info) { return test::spelled(info.param.user); });

TEST(Topology, CircuitsWithoutAModel) {
    for (const char* text : {"R0-C1", "R0-K1-(R2,CPE2)", "R0-(R1,C1)-(R2,CPE2)", "R0", "(R1,C1)"})
        EXPECT_FALSE(find_for_topology(tree(text)).has_value()) << text;
    EXPECT_FALSE(match_or_expand(tree("R0-(R1,C1)"), tree("R0-(R1,C1)-R2")).has_value());
    EXPECT_FALSE(match_or_expand(tree("R0-(R1,CPE1)"), tree("R0-K1")).has_value());
}

}  // namespace
}  // namespace kelvara
