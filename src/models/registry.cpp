#include "models/registry.hpp"

namespace kelvara {
namespace {

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::optional<Model> model_by_name(std::string_view text) {
    for (const Model& model : MODELS) {
        if (equal_ignoring_ascii_case(text, model.name)) return model;
    }
    return std::nullopt;
}

std::string quoted_names() {
    std::string out;
    for (const Model& model : MODELS) {
        if (!out.empty()) out += ", ";
        out += "'" + std::string(model.name) + "'";
    }
    return out;
}

}  // namespace kelvara
