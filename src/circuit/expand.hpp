// Rewrites the shorthands K and Zarc into the R-C and R-CPE pairs they stand for.
#pragma once

#include "circuit/tree.hpp"

namespace kelvara {

struct Expanded {
    SeriesList series;
    bool expanded = false;  // at least one K or Zarc was rewritten
};

Expanded expand_series(const SeriesList& series);

}  // namespace kelvara
