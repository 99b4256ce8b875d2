// Texts inside messages: "R1" in double quotes, with escapes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

// The text in double quotes, with a backslash before an inner quote or
// backslash and escapes for control characters (\t, \r, \n, \u{7f}).
std::string quoted(std::string_view text);

// "[" + quoted texts joined by ", " + "]".
std::string quoted_list(const std::vector<std::string>& texts);

}  // namespace kelvara
