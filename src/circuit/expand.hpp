// Rewrites the shorthands (the catalogue's kinds with a longhand: K, Zarc)
// into the resistor-and-partner pairs they stand for.
#pragma once

#include "circuit/tree.hpp"

namespace kelvara {

struct Expanded {
    SeriesList series;
    bool expanded = false;  // at least one shorthand was rewritten
};

Expanded expand_series(const SeriesList& series);

}  // namespace kelvara
