// Measured data given as a dataframe-like object with battery-data-format columns.
#pragma once

#include "python/py_ref.hpp"

#include <string>
#include <vector>

#include "elements/complex.hpp"
#include "fit/weighting.hpp"
#include "python/convert.hpp"

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

struct Spectrum {
    NumberArray<double> frequencies;  // hertz
    NumberArray<Complex> impedances;  // ohm
};

// Two sequences, or (when `impedances` is null or None) one dataframe-like
// object with battery-data-format columns; in the dataframe form rows whose
// frequency is not positive are dropped. False with an exception set.
bool read_spectrum(PyObject* frequencies, PyObject* impedances, Spectrum& out);

// "unit" or "modulus", else ValueError.
bool read_weighting(const std::string& name, Weighting& out);

}  // namespace kelvara::py
