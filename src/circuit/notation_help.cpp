#include "circuit/notation_help.hpp"

#include <algorithm>

#include "circuit/layout.hpp"
#include "support/number_text.hpp"
#include "support/quoted.hpp"

namespace kelvara {
namespace {

std::string padded(std::string_view text, std::size_t width) {
    std::string out(text);
    if (out.size() < width) out.append(width - out.size(), ' ');
    return out;
}

std::size_t longest(const std::vector<std::string>& names) {
    std::size_t width = 0;
    for (const std::string& name : names) width = std::max(width, name.size());
    return width;
}

std::string element_listing() {
    std::string out;
    for (std::size_t i = 0; i < kind_count; ++i) {
        const KindInfo& info = kind_info(kind_at(i));
        out += "\n  " + padded(CODES[i], 4) + "  ";
        for (std::size_t p = 0; p < info.param_count; ++p) {
            if (p) out += ", ";
            out += std::string(info.param_names[p]) + " [" + std::string(info.units[p]) + "]";
        }
    }
    return out;
}

}  // namespace

std::string notation_error_message(std::string_view text, const ParseError& error) {
    std::string out = error.message();
    if (error.has_position()) {
        out += "\n\n  " + std::string(text) + "\n  " + std::string(error.position, ' ') + "^";
    }
    out +=
        "\n\nsyntax:"
        "\n  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\""
        "\n  - connect elements in series with '-', e.g. \"R0-C1\""
        "\n  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or \"R0-p(R1,C1)\""
        "\n\navailable elements (code, parameters, [units]):";
    out += element_listing();
    return out;
}

std::string circuit_repr(const SeriesList& series) { return circuit_repr(series, param_bounds(series), {}); }

std::string circuit_repr(const SeriesList& series, const std::vector<Bounds>& bounds, const std::vector<bool>& fixed) {
    const auto names = param_names(series);
    const auto values = param_values(series);
    const auto units = param_units(series);
    const std::size_t n = names.size();
    std::string out = "Circuit (" + std::to_string(n) + " parameter" + (n == 1 ? "" : "s") + ")";
    const std::size_t width = longest(names);
    out += '\n';
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += '\n';
        out += "  " + padded(names[i], width) + " = " + padded(short_number_text(values[i]), 10) + " [" +
               units[i] + "]  bounds (" + short_number_text(bounds[i].lo) + ", " + short_number_text(bounds[i].hi) +
               ")";
        if (i < fixed.size() && fixed[i]) out += "  fixed";
    }
    return out;
}

std::string named_values_error(const SeriesList& series, const std::vector<std::string>& unknown,
                               const std::vector<std::string>& missing) {
    const auto names = param_names(series);
    const auto units = param_units(series);
    const auto bounds = param_bounds(series);
    std::vector<std::string> lines;
    for (const std::string& name : unknown) {
        const auto suggestion = closest_param_name(name, names);
        lines.push_back("unknown parameter " + quoted(name) +
                        (suggestion ? " (did you mean " + quoted(*suggestion) + "?)" : std::string()));
    }
    if (!missing.empty()) lines.push_back("missing parameter(s): " + quoted_list(missing));
    lines.emplace_back();
    lines.emplace_back("valid parameters for this circuit:");
    const std::size_t width = longest(names);
    for (std::size_t i = 0; i < names.size(); ++i) {
        lines.push_back("  " + padded(names[i], width) + "  [" + units[i] + "]  bounds (" +
                        short_number_text(bounds[i].lo) + ", " + short_number_text(bounds[i].hi) + ")");
    }
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i) out += '\n';
        out += lines[i];
    }
    return out;
}

}  // namespace kelvara
