#include "nn/guesser.hpp"

#include "support/utf8.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace kelvara {
namespace {

// A bounds-checked cursor over the input: every read checks that its bytes
// are present and reports truncation otherwise.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool has(std::size_t n) const { return n <= bytes_.size() - position_; }

    bool u8(std::uint8_t& out) {
        if (!has(1)) return false;
        out = bytes_[position_++];
        return true;
    }
    bool u32(std::uint32_t& out) {
        if (!has(4)) return false;
        out = 0;
        for (int i = 3; i >= 0; --i) out = (out << 8) | bytes_[position_ + static_cast<std::size_t>(i)];
        position_ += 4;
        return true;
    }
    // Fails (as truncation) on bytes that are not valid UTF-8.
    bool string(std::string& out) {
        std::uint32_t length = 0;
        if (!u32(length) || !has(length)) return false;
        out.assign(reinterpret_cast<const char*>(bytes_.data() + position_), length);
        position_ += length;
        return valid_utf8(out);
    }
    std::span<const std::uint8_t> take(std::size_t n) {
        const auto out = bytes_.subspan(position_, n);
        position_ += n;
        return out;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
};

float load_f32(const std::uint8_t* p) {
    const std::uint32_t bits = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                               std::uint32_t(p[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::optional<Tensor> decode(std::uint8_t encoding, std::vector<std::uint32_t> dims, Reader& reader,
                             NnError& error) {
    std::uint32_t count = 1;
    for (const std::uint32_t d : dims) count *= d;  // unsigned 32-bit arithmetic, wrapping
    if (count == 0) count = 1;
    const std::size_t n = count;
    Tensor tensor{std::move(dims), {}};
    const std::size_t width = encoding == 0 ? 4 : encoding == 1 ? 2 : encoding == 2 ? 1 : 0;
    if (width == 0) {
        error = NnError::encoding(encoding);
        return std::nullopt;
    }
    const std::size_t header = encoding == 2 ? 4 : 0;
    if (!reader.has(header + n * width)) {
        error = NnError::truncated();
        return std::nullopt;
    }
    tensor.data.resize(n);
    if (encoding == 2) {
        const double scale = load_f32(reader.take(4).data());
        const auto bytes = reader.take(n);
        for (std::size_t i = 0; i < n; ++i) tensor.data[i] = static_cast<std::int8_t>(bytes[i]) * scale;
    } else if (encoding == 1) {
        const auto bytes = reader.take(2 * n);
        for (std::size_t i = 0; i < n; ++i) {
            tensor.data[i] = half_to_double(static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
        }
    } else {
        const auto bytes = reader.take(4 * n);
        for (std::size_t i = 0; i < n; ++i) tensor.data[i] = load_f32(bytes.data() + 4 * i);
    }
    return tensor;
}

// Decimal digits with an optional leading '+'; overflow fails.
std::optional<std::size_t> parse_unsigned(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = (a[i] >= 'A' && a[i] <= 'Z') ? char(a[i] - 'A' + 'a') : a[i];
        if (x != b[i]) return false;
    }
    return true;
}

// Optional sign, then digits with an optional point and exponent, or
// inf / infinity / nan in any case; no white space.
std::optional<double> parse_double(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (equal_ignoring_case(text, "inf") || equal_ignoring_case(text, "infinity")) {
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    if (equal_ignoring_case(text, "nan")) return std::numeric_limits<double>::quiet_NaN();
    std::size_t i = 0, digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent_digits;
        if (exponent_digits == 0) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value unset on overflow and underflow: give the rounded result.
        value = std::strtod(std::string(text).c_str(), nullptr);
    } else if (ec != std::errc()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::int32_t round_index(double value) {
    if (std::isnan(value)) return 0;
    const double rounded = std::round(value);  // half away from zero
    if (rounded >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (rounded <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(rounded);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return pieces;
        start = end + 1;
    }
}

std::string_view trim(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

double half_to_double(std::uint16_t bits) {
    const int sign = bits >> 15 ? -1 : 1;
    const int exponent = (bits >> 10) & 0x1F;
    const int mantissa = bits & 0x3FF;
    if (exponent == 0) return sign * std::ldexp(mantissa, -24);
    if (exponent == 31) {
        return mantissa == 0 ? sign * std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    }
    return sign * (1.0 + mantissa / 1024.0) * std::ldexp(1.0, exponent - 15);
}

const Tensor* Guesser::tensor(std::string_view name) const {
    const auto found = tensors.find(name);
    return found == tensors.end() ? nullptr : &found->second;
}

Result<Guesser, NnError> Guesser::from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 8) return fail(NnError::truncated());
    if (std::memcmp(bytes.data(), "EISNN001", 8) != 0) return fail(NnError::bad_magic());
    Reader reader(bytes.subspan(8));

    std::map<std::string, std::string, std::less<>> header;
    std::uint32_t entries = 0;
    if (!reader.u32(entries)) return fail(NnError::truncated());
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::string key, value;
        if (!reader.string(key) || !reader.string(value)) return fail(NnError::truncated());
        header[std::move(key)] = std::move(value);
    }

    Guesser g;
    std::uint32_t tensor_count = 0;
    if (!reader.u32(tensor_count)) return fail(NnError::truncated());
    for (std::uint32_t t = 0; t < tensor_count; ++t) {
        std::string name;
        std::uint8_t encoding = 0, rank = 0;
        if (!reader.string(name) || !reader.u8(encoding) || !reader.u8(rank)) return fail(NnError::truncated());
        std::vector<std::uint32_t> dims(rank);
        for (std::uint32_t& d : dims) {
            if (!reader.u32(d)) return fail(NnError::truncated());
        }
        NnError error = NnError::truncated();
        std::optional<Tensor> tensor = decode(encoding, std::move(dims), reader, error);
        if (!tensor) return fail(std::move(error));
        g.tensors[std::move(name)] = std::move(*tensor);
    }

    for (const char* name : {"target_mean", "target_std", "log_params"}) {
        if (g.tensor(name) == nullptr) return fail(NnError::missing(name));
    }
    g.target_mean = g.tensor("target_mean")->data;
    g.target_std = g.tensor("target_std")->data;
    for (const double flag : g.tensor("log_params")->data) g.log_params.push_back(flag != 0.0);

    const Tensor* scaling = g.tensor("scaling");
    if (scaling == nullptr) return fail(NnError::missing("scaling"));
    if (scaling->data.size() != 4 * g.target_mean.size()) {
        return fail(NnError::shape("scaling", scaling->data.size(), 4 * g.target_mean.size()));
    }
    for (std::size_t row = 0; row + 4 <= scaling->data.size(); row += 4) {
        const double* s = scaling->data.data() + row;
        g.scaling.push_back({s[0], s[1], s[2], round_index(s[3])});
    }

    auto value_of = [&](const char* key) -> const std::string* {
        const auto found = header.find(key);
        return found == header.end() ? nullptr : &found->second;
    };
    const std::string* dilations = value_of("dilations");
    if (dilations == nullptr) return fail(NnError::missing("dilations"));
    for (const std::string& piece : split(*dilations, ',')) {
        const auto d = parse_unsigned(trim(piece));
        if (!d) return fail(NnError::bad_value("dilations"));
        g.dilations.push_back(*d);
    }
    const std::string* estimator = value_of("estimator");
    if (estimator == nullptr) return fail(NnError::missing("estimator"));
    if (*estimator != "reactive_centroid") return fail(NnError::estimator(*estimator));
    const std::string* circuit = value_of("circuit");
    if (circuit == nullptr) return fail(NnError::missing("circuit"));
    g.circuit = *circuit;
    const std::string* names = value_of("param_names");
    if (names == nullptr) return fail(NnError::missing("param_names"));
    g.param_names = split(*names, ',');

    const std::pair<const char*, std::size_t*> unsigned_keys[] = {
        {"n_grid", &g.n_grid}, {"channels", &g.channels}, {"kernel", &g.kernel}, {"groups", &g.groups}};
    for (const auto& [key, target] : unsigned_keys) {
        const std::string* text = value_of(key);
        if (text == nullptr) return fail(NnError::missing(key));
        const auto value = parse_unsigned(*text);
        if (!value) return fail(NnError::bad_value(key));
        *target = *value;
    }
    const std::pair<const char*, double*> double_keys[] = {{"alpha_min", &g.alpha_min}, {"alpha_max", &g.alpha_max}};
    for (const auto& [key, target] : double_keys) {
        const std::string* text = value_of(key);
        if (text == nullptr) return fail(NnError::missing(key));
        const auto value = parse_double(*text);
        if (!value) return fail(NnError::bad_value(key));
        *target = *value;
    }
    return g;
}

}  // namespace kelvara
