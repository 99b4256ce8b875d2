// libFuzzer harness for the circuit notation: the input is notation text.
// It goes through what constructing a Circuit does in the core (the model
// name lookup, parse, the error message with its caret) and, when it parses,
// through the walks every later call relies on: parameter layout, rebuild,
// K/Zarc expansion, the canonical topology and the registry match, and
// impedance both by the tree walk and by the compiled program, which must
// agree bit for bit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "circuit/compiled.hpp"
#include "circuit/evaluate.hpp"
#include "circuit/expand.hpp"
#include "circuit/layout.hpp"
#include "circuit/notation_help.hpp"
#include "circuit/parser.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "support/tree_walk.hpp"

namespace {

using namespace kelvara;

void require(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "parser_fuzzer: invariant violated: %s\n", what);
    std::abort();
}

bool same(double a, double b) { return a == b || (a != a && b != b); }

bool contains_shorthand(const SeriesList& series) {
    for (const Node& node : series) {
        if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
            if (leaf->element.kind == Kind::K || leaf->element.kind == Kind::Zarc) return true;
        } else {
            for (const SeriesList& branch : std::get<ParallelGroup>(node.value).branches) {
                if (contains_shorthand(branch)) return true;
            }
        }
    }
    return false;
}

// Evaluates `tree` with its stored values at a few frequencies, by the tree
// walk and by the compiled program.
void evaluate_both_ways(const SeriesList& tree) {
    static constexpr double frequencies[] = {0.0, 1e-3, 0.5, 1.0, 50.0, 1e3, 1e6};
    constexpr std::size_t n = std::size(frequencies);
    const std::vector<double> values = param_values(tree);
    const CompiledCircuit program(tree);
    require(program.param_count() == values.size(), "compiled parameter count differs from the layout");

    Complex walked[n], swept[n];
    impedance_at_frequencies(tree, frequencies, walked);
    impedance_at_frequencies(program, values, frequencies, swept);
    for (std::size_t i = 0; i < n; ++i) {
        require(same(walked[i].re, swept[i].re) && same(walked[i].im, swept[i].im),
                "tree walk and compiled program disagree");
        const Complex single = program.impedance(program.terms(two_pi * frequencies[i]), values.data());
        require(same(single.re, swept[i].re) && same(single.im, swept[i].im),
                "compiled single-frequency and sweep disagree");
    }

    ParamCursor cursor{values};
    const auto with_params = series_impedance_with_params(tree, omega_terms(two_pi * 1e3), cursor);
    require(with_params.ok() && cursor.remaining() == 0, "cursor evaluation did not consume every value");
    if (!values.empty()) {
        ParamCursor short_cursor{std::span<const double>(values).first(values.size() - 1)};
        require(!series_impedance_with_params(tree, omega_terms(1.0), short_cursor).ok(),
                "cursor evaluation accepted too few values");
    }
}

void exercise(std::string_view text) {
    // Circuit("...") first tries the text as a model name.
    (void)model_by_name(text);

    auto parsed = parse(text);
    if (!parsed) {
        const std::string message = notation_error_message(text, parsed.error());
        require(!message.empty(), "empty notation error message");
        return;
    }
    const SeriesList& tree = parsed.value();
    require(nesting_depth(tree) <= max_nesting_depth, "parser accepted a tree nested too deep");

    const std::size_t count = param_count(tree);
    const std::vector<std::string> names = param_names(tree);
    require(names.size() == count && param_units(tree).size() == count && param_bounds(tree).size() == count &&
                param_values(tree).size() == count,
            "layout tables differ in length");
    require(std::set<std::string>(names.begin(), names.end()).size() == names.size(), "duplicate parameter names");
    std::size_t leaf_params = 0;
    for (const LeafRef& leaf : collect_leaves(tree)) {
        require(!leaf.label.empty(), "parsed leaf without a label");
        leaf_params += leaf.element.param_count();
    }
    require(leaf_params == count, "leaves and layout disagree on the parameter count");
    (void)circuit_repr(tree);
    if (!names.empty()) {
        (void)closest_param_name(text.substr(0, 64), names);
        (void)named_values_error(tree, {std::string(text.substr(0, 16))}, {names.front()});
    }

    evaluate_both_ways(tree);

    // The same tree with other values: awkward ones included.
    static constexpr double pattern[] = {0.5, 2.0, 1e-12, 0.0, -1.0, 1e300, std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN(), 0.85, 1e-300};
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = pattern[(i * 7 + text.size()) % std::size(pattern)];
    const SeriesList rebuilt = rebuild(tree, values);
    const std::vector<double> read_back = param_values(rebuilt);
    require(read_back.size() == count, "rebuild changed the parameter count");
    for (std::size_t i = 0; i < count; ++i) require(same(read_back[i], values[i]), "rebuild lost a value");
    evaluate_both_ways(rebuilt);

    const Expanded expanded = expand_series(rebuilt);
    require(expanded.expanded == contains_shorthand(rebuilt), "expansion flag is wrong");
    require(nesting_depth(expanded.series) <= max_expanded_depth, "expansion nested too deep");
    evaluate_both_ways(expanded.series);

    const Canonical canonical_form = canonical(tree);
    std::size_t spanned = 0;
    for (const auto& span : canonical_form.spans) spanned += span.second;
    require(spanned == count, "canonical spans do not cover every parameter");
    const auto self_match = match_or_expand(tree, tree);
    require(self_match.has_value() && self_match->map.size() == count, "a circuit does not match itself");
    (void)find_for_topology(tree);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    exercise(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
