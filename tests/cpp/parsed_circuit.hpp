// A circuit the test writes in notation, parsed; a notation the parser
// refuses fails the test that wrote it.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <utility>

#include "circuit/parser.hpp"

namespace kelvara::test {

inline SeriesList parsed(std::string_view text) {
    auto result = parse(text);
    EXPECT_TRUE(result.ok()) << text;
    return std::move(result).value();
}

}  // namespace kelvara::test
