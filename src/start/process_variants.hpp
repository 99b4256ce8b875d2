// The ways of handing a spectrum's processes to a circuit's time-constant
// slots: in order of time constant either way round, and, when the counts
// differ, with neighbouring processes merged or the largest split.
#pragma once

#include <cstddef>
#include <vector>

#include "start/placement.hpp"
#include "start/impedance_shape.hpp"

namespace kelvara::start {

// Each variant holds exactly `slots` processes. `found` (the clear
// processes) and `minor` (smaller maxima of the DRT, tried when slots are
// left over) are sorted by tau, fastest first; with none found, the slots
// are spread over the window and share the resistance the window shows.
std::vector<std::vector<Process>> process_variants(const std::vector<Process>& found,
                                                   const std::vector<Process>& minor, std::size_t slots,
                                                   const ImpedanceShape& shape);

}  // namespace kelvara::start
