// Texts that explain a circuit to its user: the notation error with its
// syntax help, the parameter listing of a circuit, and the message for a
// mismatched name-to-value table.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "circuit/parser.hpp"
#include "circuit/tree.hpp"

namespace kelvara {

// The error, a caret under the offending character where there is one, and
// the syntax help with the element listing.
std::string notation_error_message(std::string_view text, const ParseError& error);

// "Circuit (3 parameters)" and one line per parameter.
std::string circuit_repr(const SeriesList& series);
// The same with the bounds in force and the held parameters marked "fixed".
std::string circuit_repr(const SeriesList& series, const std::vector<Bounds>& bounds, const std::vector<bool>& fixed);

// The message for unknown and missing parameter names, followed by the
// listing of valid parameters.
std::string named_values_error(const SeriesList& series, const std::vector<std::string>& unknown,
                               const std::vector<std::string>& missing);

}  // namespace kelvara
