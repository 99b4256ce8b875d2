// Measured data given as a dataframe-like object with battery-data-format columns.
#pragma once

#include "python/py_ref.hpp"

#include <string>
#include <vector>

namespace kelvara::py {

struct ColumnNames {
    const char* display;     // "Frequency / Hz"
    const char* snake_case;  // "frequency_hertz"
};

inline constexpr ColumnNames frequency_column{"Frequency / Hz", "frequency_hertz"};
inline constexpr ColumnNames real_column{"Real Impedance / ohm", "real_impedance_ohm"};
inline constexpr ColumnNames imaginary_column{"Imaginary Impedance / ohm", "imaginary_impedance_ohm"};
inline constexpr ColumnNames absolute_column{"Absolute Impedance / ohm", "absolute_impedance_ohm"};
inline constexpr ColumnNames phase_column{"Phase / deg", "phase_degree"};

// "\"Frequency / Hz\" or \"frequency_hertz\"" for messages.
std::string describe(const ColumnNames& names);

enum class ColumnStatus { found, absent, error };

// frame[display], else frame[snake_case] (a failing lookup only means
// absent), converted to floats; a found column that is not numeric raises
// ValueError "column {name:?} is not numeric".
ColumnStatus read_column(PyObject* frame, const ColumnNames& names, std::vector<double>& out);

}  // namespace kelvara::py
