// Names for parameterised tests. GoogleTest allows only letters, digits and
// underscores in them, and CTest would otherwise show the parameter's bytes,
// so punctuation is spelled out: "1e-12" becomes "1e_minus_12", "1,,2"
// "1_comma_comma_2". Distinct texts keep distinct names (GoogleTest refuses
// duplicates when the suite starts).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kelvara::test {

inline std::string spelled(std::string_view text) {
    if (text.empty()) return "empty";
    std::string name;
    bool in_word = false;
    for (const char c : text) {
        const bool word_char =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
        if (word_char && in_word) {
            name += c;
            continue;
        }
        if (!name.empty()) name += '_';
        in_word = word_char;
        switch (c) {
            case '-': name += "minus"; break;
            case '+': name += "plus"; break;
            case '.': name += "dot"; break;
            case ',': name += "comma"; break;
            case ';': name += "semicolon"; break;
            case ' ': name += "space"; break;
            case '(': name += "open"; break;
            case ')': name += "close"; break;
            default:
                if (word_char) {
                    name += c;
                } else {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "x%02X", static_cast<unsigned char>(c));
                    name += hex;
                }
        }
    }
    return name;
}

}  // namespace kelvara::test
