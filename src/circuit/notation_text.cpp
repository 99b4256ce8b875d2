#include "circuit/notation_text.hpp"

#include <cctype>
#include <map>
#include <set>

#include "circuit/layout.hpp"
#include "circuit/parser.hpp"

namespace kelvara {
namespace {

// "CPE12" -> {"CPE", 12}; labels are letters followed by digits.
std::pair<std::string, unsigned long long> split_label(const std::string& label) {
    std::size_t digits = label.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(label[digits - 1]))) --digits;
    const std::string number = label.substr(digits);
    return {label.substr(0, digits), number.empty() || number.size() > 18 ? 0 : std::stoull(number)};
}

void write(const SeriesList& series, const std::vector<std::string>& labels, std::size_t& next, std::string& out) {
    for (std::size_t i = 0; i < series.size(); ++i) {
        if (i) out += '-';
        if (const auto* group = std::get_if<ParallelGroup>(&series[i].value)) {
            out += "p(";
            for (std::size_t b = 0; b < group->branches.size(); ++b) {
                if (b) out += ',';
                write(group->branches[b], labels, next, out);
            }
            out += ')';
        } else {
            out += labels[next++];
        }
    }
}

// Each leaf's label as the notation writes it: the prefix of its first
// parameter name, a repeated one renumbered after the highest of its code.
std::vector<std::string> notation_labels(const SeriesList& series) {
    std::vector<std::string> labels;
    const std::vector<std::string> names = param_names(series);
    std::size_t at = 0;
    for_each_leaf(series, [&](const Leaf& leaf) {
        const std::string& name = names[at];
        labels.push_back(name.substr(0, name.rfind('.')));
        at += leaf.element.param_count();
    });
    std::map<std::string, unsigned long long> highest;
    for (const std::string& label : labels) {
        const auto [code, number] = split_label(label);
        highest[code] = std::max(highest[code], number);
    }
    std::set<std::string> used;
    for (std::string& label : labels) {
        if (used.insert(label).second) continue;
        const std::string code = split_label(label).first;
        do {
            label = code + std::to_string(++highest[code]);
        } while (!used.insert(label).second);
    }
    return labels;
}

}  // namespace

std::string notation_text(const SeriesList& series) {
    const std::vector<std::string> labels = notation_labels(series);
    std::string out;
    std::size_t next = 0;
    write(series, labels, next, out);
    return out;
}

std::vector<std::string> distinct_param_names(const SeriesList& series) {
    std::vector<std::string> names = param_names(series);
    const std::vector<std::string> labels = notation_labels(series);
    std::size_t at = 0, leaf_index = 0;
    for_each_leaf(series, [&](const Leaf& leaf) {
        const std::string& label = labels[leaf_index++];
        for (std::size_t p = 0; p < leaf.element.param_count(); ++p, ++at) {
            names[at] = label + names[at].substr(names[at].rfind('.'));
        }
    });
    return names;
}

}  // namespace kelvara
