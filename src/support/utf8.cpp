#include "support/utf8.hpp"

namespace kelvara {
namespace {

// The code point starting at text[i] and its length, or length 0 when malformed.
std::pair<char32_t, std::size_t> next_code_point(std::string_view text, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) return {b0, 1};
    std::size_t len;
    char32_t cp;
    if ((b0 >> 5) == 0x6) {
        len = 2;
        cp = b0 & 0x1F;
    } else if ((b0 >> 4) == 0xE) {
        len = 3;
        cp = b0 & 0x0F;
    } else if ((b0 >> 3) == 0x1E) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return {0, 0};
    }
    if (i + len > text.size()) return {0, 0};
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b >> 6) != 0x2) return {0, 0};
        cp = (cp << 6) | (b & 0x3F);
    }
    const char32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
    return {cp, len};
}

}  // namespace

std::u32string decode_utf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto [cp, len] = next_code_point(text, i);
        out.push_back(len == 0 ? char32_t{0xFFFD} : cp);
        i += len == 0 ? 1 : len;
    }
    return out;
}

bool valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = next_code_point(text, i).second;
        if (len == 0) return false;
        i += len;
    }
    return true;
}

}  // namespace kelvara
