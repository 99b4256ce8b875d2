// Errors of the weight-file loader and of inference.
#pragma once

#include <cstddef>
#include <string>

namespace kelvara {

struct NnError {
    enum class Kind { io, bad_magic, truncated, missing, bad_value, estimator, encoding, shape, too_few_points };
    Kind kind;
    std::string text;          // io: system message; missing/bad_value/estimator/shape: the name or key
    std::size_t actual = 0;    // shape: element count; encoding: the code; too_few_points: the count
    std::size_t expected = 0;  // shape

    static NnError io(std::string message) { return {Kind::io, std::move(message)}; }
    static NnError bad_magic() { return {Kind::bad_magic, {}}; }
    static NnError truncated() { return {Kind::truncated, {}}; }
    static NnError missing(std::string name) { return {Kind::missing, std::move(name)}; }
    static NnError bad_value(std::string key) { return {Kind::bad_value, std::move(key)}; }
    static NnError estimator(std::string found) { return {Kind::estimator, std::move(found)}; }
    static NnError encoding(std::size_t code) { return {Kind::encoding, {}, code}; }
    static NnError shape(std::string name, std::size_t actual, std::size_t expected) {
        return {Kind::shape, std::move(name), actual, expected};
    }
    static NnError too_few_points(std::size_t count) { return {Kind::too_few_points, {}, count}; }

    // The message shown to users, e.g. "weight file is missing \"circuit\"".
    std::string display() const;
};

}  // namespace kelvara
