#include "circuit/parser.hpp"

#include <optional>
#include <unordered_set>

#include "support/quoted.hpp"
#include "support/utf8.hpp"

namespace kelvara {
namespace {

bool is_ascii_letter(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

class Parser {
public:
    explicit Parser(std::u32string chars) : chars_(std::move(chars)) {}

    std::optional<ParseError> parse_all(SeriesList& out) {
        if (auto error = series(out, 0)) return error;
        if (pos_ < chars_.size()) return ParseError{ParseError::Kind::TrailingInput, pos_, {}};
        return std::nullopt;
    }

private:
    bool at_end() const { return pos_ >= chars_.size(); }
    char32_t peek(std::size_t ahead = 0) const {
        return pos_ + ahead < chars_.size() ? chars_[pos_ + ahead] : char32_t{0};
    }

    std::optional<ParseError> series(SeriesList& out, std::size_t depth) {
        if (auto error = item(out, depth)) return error;
        while (!at_end() && peek() == U'-') {
            ++pos_;
            if (auto error = item(out, depth)) return error;
        }
        return std::nullopt;
    }

    std::optional<ParseError> item(SeriesList& out, std::size_t depth) {
        if (!at_end() && peek() == U'(') {
            return group(out, depth, pos_, 1);
        }
        if (!at_end() && peek() == U'p' && peek(1) == U'(') {
            return group(out, depth, pos_, 2);
        }
        return element(out);
    }

    std::optional<ParseError> group(SeriesList& out, std::size_t depth, std::size_t opening, std::size_t width) {
        if (depth + 1 > max_nesting_depth) return ParseError{ParseError::Kind::TooDeep, opening, {}};
        pos_ += width;
        ParallelGroup parallel;
        parallel.branches.emplace_back();
        if (auto error = series(parallel.branches.back(), depth + 1)) return error;
        while (true) {
            if (at_end() || (peek() != U',' && peek() != U')')) {
                return ParseError{ParseError::Kind::UnexpectedEnd, 0, {}};
            }
            if (peek() == U')') {
                ++pos_;
                out.push_back(Node{std::move(parallel)});
                return std::nullopt;
            }
            ++pos_;
            parallel.branches.emplace_back();
            if (auto error = series(parallel.branches.back(), depth + 1)) return error;
        }
    }

    std::optional<ParseError> element(SeriesList& out) {
        if (at_end()) return ParseError{ParseError::Kind::UnexpectedEnd, 0, {}};
        const std::size_t start = pos_;
        while (!at_end() && is_ascii_letter(peek())) ++pos_;
        if (pos_ == start) return ParseError{ParseError::Kind::UnexpectedCharacter, start, {}};
        const std::size_t letters_end = pos_;
        while (!at_end() && is_ascii_digit(peek())) ++pos_;
        if (pos_ == letters_end) return ParseError{ParseError::Kind::UnexpectedCharacter, letters_end, {}};
        // Letters and digits are ASCII, so the code points narrow losslessly.
        std::string code(chars_.begin() + static_cast<std::ptrdiff_t>(start),
                         chars_.begin() + static_cast<std::ptrdiff_t>(letters_end));
        std::string label(chars_.begin() + static_cast<std::ptrdiff_t>(start),
                          chars_.begin() + static_cast<std::ptrdiff_t>(pos_));
        std::optional<Element> element = default_for_code(code);
        if (!element) return ParseError{ParseError::Kind::UnknownCode, start, std::move(code)};
        out.push_back(Node{Leaf{*element, std::move(label)}});
        return std::nullopt;
    }

    std::u32string chars_;
    std::size_t pos_ = 0;
};

void visit_leaves(const SeriesList& series, const std::function<void(const Leaf&)>& visit) {
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            visit(*leaf);
        } else {
            for (const SeriesList& branch : std::get<ParallelGroup>(node.value).branches) visit_leaves(branch, visit);
        }
    }
}

}  // namespace

std::string ParseError::message() const {
    switch (kind) {
        case Kind::UnexpectedCharacter:
            return "unexpected character at position " + std::to_string(position);
        case Kind::UnexpectedEnd:
            return "unexpected end of input";
        case Kind::UnknownCode:
            return "unknown element code " + quoted(text) + " at position " + std::to_string(position);
        case Kind::TrailingInput:
            return "unexpected trailing input at position " + std::to_string(position);
        case Kind::DuplicateLabel:
            return "duplicate element label " + quoted(text);
        case Kind::TooDeep:
            return "parallel groups nested more than " + std::to_string(max_nesting_depth) +
                   " levels deep at position " + std::to_string(position);
    }
    return {};
}

bool ParseError::has_position() const {
    return kind == Kind::UnexpectedCharacter || kind == Kind::UnknownCode || kind == Kind::TrailingInput ||
           kind == Kind::TooDeep;
}

Result<SeriesList, ParseError> parse(std::string_view text) {
    Parser parser(decode_utf8(text));
    SeriesList tree;
    if (auto error = parser.parse_all(tree)) return fail(std::move(*error));
    std::unordered_set<std::string_view> seen;
    std::optional<ParseError> duplicate;
    for_each_leaf(tree, [&](const Leaf& leaf) {
        if (duplicate || !leaf.has_label()) return;
        if (!seen.insert(leaf.label).second) {
            duplicate = ParseError{ParseError::Kind::DuplicateLabel, 0, leaf.label};
        }
    });
    if (duplicate) return fail(std::move(*duplicate));
    return tree;
}

void for_each_leaf(const SeriesList& series, const std::function<void(const Leaf&)>& visit) {
    visit_leaves(series, visit);
}

std::vector<LeafRef> collect_leaves(const SeriesList& series) {
    std::vector<LeafRef> leaves;
    for_each_leaf(series, [&](const Leaf& leaf) { leaves.push_back(LeafRef{leaf.element, leaf.label}); });
    return leaves;
}

}  // namespace kelvara
