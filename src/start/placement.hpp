// Values for every element of a circuit from what the data show: the
// processes (one per time-constant slot), the series resistance and
// inductance, and the low-frequency tail.
#pragma once

#include <cstddef>
#include <vector>

#include "circuit/tree.hpp"
#include "start/impedance_shape.hpp"

namespace kelvara::start {

// One relaxation: its resistance (ohm), time constant (s) and dispersion
// exponent (1 for an ideal capacitor).
struct Process {
    double resistance = 0.0;
    double tau = 0.0;
    double alpha = 1.0;
};

// What the data say beyond the processes.
struct Backdrop {
    double series_resistance = 0.0;
    double inductance = 0.0;  // H; 0 when the data show none
};

// Time-constant slots of a circuit, in the order place() fills them
// (depth first, left to right): parallel groups with a capacitive branch
// beside a resistive one, and the distributed elements with a DC
// resistance (K, Zarc, Gerischers, finite-length Warburg, transmission
// line T).
std::size_t process_slots(const SeriesList& circuit);

// The parameters of one slot, [begin, end) in parameter order (a nested
// slot's lie inside its parent's).
struct ParamRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};
std::vector<ParamRange> slot_ranges(const SeriesList& circuit);

// Each slot on its own, as a one-node circuit whose parameters are those of
// its slot_ranges() entry, in the same order.
std::vector<SeriesList> slot_circuits(const SeriesList& circuit);

// The tree with every element's values set; `processes` holds one entry per
// slot. Elements nothing fits get values scaled to the data.
SeriesList place(const SeriesList& circuit, const ImpedanceShape& shape, const Backdrop& backdrop,
                 const std::vector<Process>& processes);

}  // namespace kelvara::start
