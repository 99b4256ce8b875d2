#include "support/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace kelvara {
namespace {

struct Decimal {
    bool negative;
    std::string digits;  // significant digits, no leading zero
    int exponent;        // value = 0.d1d2d3... * 10^(exponent + 1)
};

// Shortest round-trip digits of a finite non-zero value.
Decimal shortest(double value) {
    char buf[64];
    const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string text(buf, result.ptr);
    Decimal d{text[0] == '-', {}, 0};
    const std::size_t e = text.find('e');
    for (std::size_t i = d.negative ? 1 : 0; i < e; ++i) {
        if (text[i] != '.') d.digits += text[i];
    }
    while (d.digits.size() > 1 && d.digits.back() == '0') d.digits.pop_back();
    d.exponent = std::atoi(text.c_str() + e + 1);
    return d;
}

std::string plain(const Decimal& d, bool keep_point) {
    std::string out = d.negative ? "-" : "";
    const int point = d.exponent + 1;  // digits before the decimal point
    const int n = static_cast<int>(d.digits.size());
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + d.digits;
    } else if (point >= n) {
        out += d.digits + std::string(static_cast<std::size_t>(point - n), '0');
        if (keep_point) out += ".0";
    } else {
        out += d.digits.substr(0, static_cast<std::size_t>(point)) + "." + d.digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

std::string exponent_form(const Decimal& d) {
    std::string out = d.negative ? "-" : "";
    out += d.digits[0];
    if (d.digits.size() > 1) out += "." + d.digits.substr(1);
    return out + "e" + std::to_string(d.exponent);
}

std::string special(double value) {
    if (std::isnan(value)) return "NaN";
    return value > 0 ? "inf" : "-inf";
}

}  // namespace

std::string short_number_text(double value) {
    if (!std::isfinite(value)) return special(value);
    if (value == 0.0) return std::signbit(value) ? "-0" : "0";
    const double magnitude = std::fabs(value);
    const Decimal d = shortest(value);
    if (magnitude >= 1e-4 && magnitude < 1e6) return plain(d, false);
    return exponent_form(d);
}

std::string float_number_text(double value) {
    if (!std::isfinite(value)) return special(value);
    if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";
    const double magnitude = std::fabs(value);
    const Decimal d = shortest(value);
    if (magnitude >= 1e-4 && magnitude < 1e16) return plain(d, true);
    return exponent_form(d);
}

}  // namespace kelvara
