// The circuit notation: "R0-(R1,C1)", "R0-p(R1,C1)", "L0-R0-(R1,CPE1)-(R2-W2,CPE2)".
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.hpp"
#include "circuit/tree.hpp"

namespace kelvara {

struct ParseError {
    enum class Kind { UnexpectedCharacter, UnexpectedEnd, UnknownCode, TrailingInput, DuplicateLabel, TooDeep };
    Kind kind;
    std::size_t position = 0;  // in characters (Unicode scalar values)
    std::string text;          // the unknown code or the duplicate label

    // The one-line description, e.g. "unexpected character at position 3".
    std::string message() const;
    // Whether the error points at a character (and so gets a caret under it).
    bool has_position() const;
};

// Parses UTF-8 notation text; positions count characters, not bytes.
Result<SeriesList, ParseError> parse(std::string_view text);

struct LeafRef {
    const Element& element;
    const std::string& label;  // empty when absent
};

// Leaves depth-first, left to right: the parameter order of the whole system.
std::vector<LeafRef> collect_leaves(const SeriesList& series);

// Calls `visit` on every leaf in collect_leaves order, without building a list.
void for_each_leaf(const SeriesList& series, const std::function<void(const Leaf&)>& visit);

}  // namespace kelvara
