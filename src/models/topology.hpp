// Canonical circuit topologies: series elements and parallel branches in a
// sorted order, so that "(R1,C2)-R3" and "R0-(R1,C1)" are the same circuit,
// and the map from a user's parameters to a model's outputs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "circuit/tree.hpp"

namespace kelvara {

struct Shape {
    std::string key;
    std::size_t offset = 0;  // leaf: first parameter in the circuit's flat vector
    std::size_t count = 0;   // leaf: its parameter count
    std::vector<std::vector<Shape>> branches;  // parallel group, in canonical order
    bool is_leaf = true;
};

// Canonical shapes of a series list; `offset` runs through the whole walk.
std::vector<Shape> shapes(const SeriesList& series, std::size_t& offset);
std::string series_key(const std::vector<Shape>& shapes);

struct Canonical {
    std::string key;
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // (offset, count) in canonical order
};
Canonical canonical(const SeriesList& series);

// For each user parameter index, the model output index that supplies it.
using ParameterMap = std::vector<std::size_t>;

std::optional<ParameterMap> match_topology(const SeriesList& model, const SeriesList& user);

struct Match {
    ParameterMap map;
    bool expanded = false;  // the user circuit matched only with K and Zarc rewritten
};
std::optional<Match> match_or_expand(const SeriesList& model, const SeriesList& user);

}  // namespace kelvara
