// Code points of UTF-8 text, for positions and distances counted in
// characters rather than bytes.
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

// A malformed byte counts as one character of its own (U+FFFD).
std::u32string decode_utf8(std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool valid_utf8(std::string_view text);

}  // namespace kelvara
