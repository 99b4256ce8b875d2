// Measured data given as a dataframe-like object with battery-data-format columns.
#pragma once

#include "python/py_ref.hpp"

#include <string>
#include <vector>

#include "circuit/measured_points.hpp"
#include "elements/complex.hpp"
#include "fit/weighting.hpp"
#include "python/convert.hpp"

namespace kelvara::py {

struct ColumnNames {
    const char* display;     // "Frequency / Hz"
    const char* snake_case;  // "frequency_hertz"
    const char* role;        // "frequency": the key kelvara's Python code reads them by
};

inline constexpr ColumnNames frequency_column{"Frequency / Hz", "frequency_hertz", "frequency"};
inline constexpr ColumnNames real_column{"Real Impedance / ohm", "real_impedance_ohm", "real"};
inline constexpr ColumnNames imaginary_column{"Imaginary Impedance / ohm", "imaginary_impedance_ohm", "imaginary"};
inline constexpr ColumnNames absolute_column{"Absolute Impedance / ohm", "absolute_impedance_ohm", "absolute"};
inline constexpr ColumnNames phase_column{"Phase / deg", "phase_degree", "phase"};

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
    // The dataframe rows kept (those with a positive frequency), in order;
    // empty for two sequences, where every row is kept.
    std::vector<std::size_t> kept_rows;
};

// The column pairs in the order a dataframe is read: frequency, real,
// imaginary, absolute, phase. The only place their names are written.
inline constexpr const ColumnNames* all_columns[] = {&frequency_column, &real_column, &imaginary_column,
                                                     &absolute_column, &phase_column};

// Two sequences, or (when `impedances` is null or None) one dataframe-like
// object with battery-data-format columns; in the dataframe form rows whose
// frequency is not positive are dropped. False with an exception set.
bool read_spectrum(PyObject* frequencies, PyObject* impedances, Spectrum& out);

// read_spectrum's spectrum checked (circuit/measured_points.hpp): what the
// guess, the data start and the fits take. False with an exception set.
bool read_measured(PyObject* frequencies, PyObject* impedances, MeasuredSpectrum& out);

// "unit" or "modulus", else ValueError.
bool read_weighting(const std::string& name, Weighting& out);

}  // namespace kelvara::py
