// A circuit's topology written back as notation: "R0-p(R1,C1)".
#pragma once

#include <string>
#include <vector>

#include "circuit/tree.hpp"

namespace kelvara {

// Series joined by "-", parallel groups as "p(a,b)", each leaf by its label
// (the automatic one of param_names for unlabelled leaves). A label used
// twice (circuits joined with Series/Parallel) is renumbered after the
// highest number of its code, so that the text always parses back to the
// same topology with the parameters in the same order.
std::string notation_text(const SeriesList& series);

// The parameter names as the notation text has them: param_names, except that
// the parameters of a renumbered leaf carry its new label ("R3.r" for the
// second of two "R1"). Every name is distinct, so each parameter of a composed
// circuit can be addressed and reported on its own.
std::vector<std::string> distinct_param_names(const SeriesList& series);

}  // namespace kelvara
