#include "models/registry.hpp"

#include <memory>
#include <mutex>

#include "circuit/layout.hpp"
#include "circuit/parser.hpp"
#include "support/quoted.hpp"

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

using Loaded = std::variant<const Guesser*, std::string>;

// One once-only cell per entry. The loaded networks live for the whole process.
struct Cell {
    std::once_flag once;
    std::unique_ptr<const Guesser> guesser;
    std::string error;
};

std::array<Cell, MODELS.size()> cells;

void load(std::size_t index, Cell& cell) {
    const Model& model = MODELS[index];
    auto loaded = Guesser::from_bytes(embedded_weights(model.name));
    if (!loaded) {
        cell.error = loaded.error().display();
        return;
    }
    Guesser& g = loaded.value();
    if (g.circuit != model.circuit) {
        cell.error = NnError::bad_value("model " + quoted(model.name) + " is registered as " + quoted(model.circuit) +
                                        " but its weights were trained for " + quoted(g.circuit))
                         .display();
        return;
    }
    auto tree = parse(model.circuit);
    if (!tree) {
        cell.error = NnError::bad_value("registry circuit " + quoted(model.circuit)).display();
        return;
    }
    const std::vector<std::string> expected = param_names(tree.value());
    if (g.param_names != expected) {
        cell.error = NnError::bad_value("model " + quoted(model.name) + " has parameters " +
                                        quoted_list(g.param_names) + ", expected " + quoted_list(expected))
                         .display();
        return;
    }
    cell.guesser = std::make_unique<const Guesser>(std::move(g));
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

std::variant<const Guesser*, std::string> model_guesser(std::size_t index) {
    Cell& cell = cells[index];
    std::call_once(cell.once, [&] { load(index, cell); });
    if (cell.guesser) return cell.guesser.get();
    return cell.error;
}

std::optional<RegistryMatch> find_for_topology(const SeriesList& user) {
    // The registry's circuits, parsed once per process (an entry that does
    // not parse stays empty and is skipped).
    static const std::array<std::optional<SeriesList>, MODELS.size()> trees = [] {
        std::array<std::optional<SeriesList>, MODELS.size()> parsed;
        for (std::size_t i = 0; i < MODELS.size(); ++i) {
            if (auto tree = parse(MODELS[i].circuit)) parsed[i] = std::move(tree).value();
        }
        return parsed;
    }();
    for (std::size_t i = 0; i < MODELS.size(); ++i) {
        if (!trees[i]) continue;
        if (auto match = match_or_expand(*trees[i], user)) return RegistryMatch{i, std::move(*match)};
    }
    return std::nullopt;
}

}  // namespace kelvara
