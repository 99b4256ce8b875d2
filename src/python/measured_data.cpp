#include "python/measured_data.hpp"

#include <cmath>

#include "support/quoted.hpp"
#include "python/checked_points.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelvara::py {

std::string describe(const ColumnNames& names) { return quoted(names.display) + " or " + quoted(names.snake_case); }

ColumnStatus read_column(PyObject* frame, const ColumnNames& names, std::vector<double>& out) {
    const char* found_name = names.display;
    const Ref display(to_str(names.display)), snake_case(to_str(names.snake_case));
    if (!display || !snake_case) return ColumnStatus::error;
    Ref column(PyObject_GetItem(frame, display.get()));
    if (!column) {
        if (!clear_missing_key()) return ColumnStatus::error;
        found_name = names.snake_case;
        column = Ref(PyObject_GetItem(frame, snake_case.get()));
        if (!column) return clear_missing_key() ? ColumnStatus::absent : ColumnStatus::error;
    }
    if (!to_double_vector(column.get(), out)) {
        if (!clear_not_numeric()) return ColumnStatus::error;
        raise(PyExc_ValueError, "column " + quoted(found_name) + " is not numeric");
        return ColumnStatus::error;
    }
    return ColumnStatus::found;
}

namespace {

constexpr double degrees_to_radians = 0.017453292519943295;

bool read_two_sequences(PyObject* frequencies, PyObject* impedances, Spectrum& out) {
    if (!to_double_array(frequencies, out.frequencies) || !to_complex_array(impedances, out.impedances)) return false;
    if (out.frequencies.size() != out.impedances.size()) {
        raise(PyExc_ValueError, "frequencies and impedances must have the same length");
        return false;
    }
    return true;
}

bool read_dataframe(PyObject* frame, Spectrum& out) {
    std::vector<double> frequencies;
    const ColumnStatus frequency_status = read_column(frame, frequency_column, frequencies);
    if (frequency_status == ColumnStatus::error) return false;
    if (frequency_status == ColumnStatus::absent) {
        raise(PyExc_ValueError, "expected a dataframe with a " + describe(frequency_column) +
                                    " column, or frequencies and impedances as two arguments");
        return false;
    }
    std::vector<double> real, imaginary, absolute, phase;
    const ColumnStatus real_status = read_column(frame, real_column, real);
    if (real_status == ColumnStatus::error) return false;
    const ColumnStatus imaginary_status = read_column(frame, imaginary_column, imaginary);
    if (imaginary_status == ColumnStatus::error) return false;
    const ColumnStatus absolute_status = read_column(frame, absolute_column, absolute);
    if (absolute_status == ColumnStatus::error) return false;
    const ColumnStatus phase_status = read_column(frame, phase_column, phase);
    if (phase_status == ColumnStatus::error) return false;

    std::vector<Complex> impedances;
    const ColumnNames* pair_a = nullptr;
    const ColumnNames* pair_b = nullptr;
    if (real_status == ColumnStatus::found && imaginary_status == ColumnStatus::found) {
        if (real.size() != imaginary.size()) {
            raise(PyExc_ValueError, "real and imaginary impedance columns must have the same length");
            return false;
        }
        for (std::size_t i = 0; i < real.size(); ++i) impedances.push_back({real[i], imaginary[i]});
        pair_a = &real_column;
        pair_b = &imaginary_column;
    } else if (absolute_status == ColumnStatus::found && phase_status == ColumnStatus::found) {
        if (absolute.size() != phase.size()) {
            raise(PyExc_ValueError, "absolute impedance and phase columns must have the same length");
            return false;
        }
        for (std::size_t i = 0; i < absolute.size(); ++i) {
            const double radians = phase[i] * degrees_to_radians;
            impedances.push_back({absolute[i] * std::cos(radians), absolute[i] * std::sin(radians)});
        }
        pair_a = &absolute_column;
        pair_b = &phase_column;
    } else {
        raise(PyExc_ValueError, "no impedance columns: expected " + describe(real_column) + " together with " +
                                    describe(imaginary_column) + ", or " + describe(absolute_column) +
                                    " together with " + describe(phase_column));
        return false;
    }
    if (frequencies.size() != impedances.size()) {
        raise(PyExc_ValueError, "frequency column has " + std::to_string(frequencies.size()) + " rows but " +
                                    describe(*pair_a) + " and " + describe(*pair_b) + " have " +
                                    std::to_string(impedances.size()));
        return false;
    }
    std::vector<double> kept_frequencies;
    std::vector<Complex> kept_impedances;
    out.kept_rows.clear();
    for (std::size_t i = 0; i < frequencies.size(); ++i) {
        if (frequencies[i] > 0.0) {  // NaN fails too
            kept_frequencies.push_back(frequencies[i]);
            kept_impedances.push_back(impedances[i]);
            out.kept_rows.push_back(i);
        }
    }
    const bool empty = kept_frequencies.empty();
    out.frequencies.own(std::move(kept_frequencies));
    out.impedances.own(std::move(kept_impedances));
    if (empty) {
        raise(PyExc_ValueError, "no measured points: every row of the " + describe(frequency_column) +
                                    " column is zero or negative");
        return false;
    }
    return true;
}

}  // namespace

bool read_spectrum(PyObject* frequencies, PyObject* impedances, Spectrum& out) {
    if (impedances != nullptr && impedances != Py_None) return read_two_sequences(frequencies, impedances, out);
    if (const MeasuredSpectrum* checked = checked_spectrum(frequencies)) {
        const auto f = checked->frequencies_hz();
        const auto z = checked->impedances();
        out.frequencies.own(std::vector<double>(f.begin(), f.end()));
        out.impedances.own(std::vector<Complex>(z.begin(), z.end()));
        out.kept_rows.clear();
        return true;
    }
    return read_dataframe(frequencies, out);
}

bool read_measured(PyObject* frequencies, PyObject* impedances, MeasuredSpectrum& out) {
    if (impedances == nullptr || impedances == Py_None) {
        if (const MeasuredSpectrum* checked = checked_spectrum(frequencies)) {
            out = *checked;  // checked where it came in
            return true;
        }
    }
    Spectrum spectrum;
    if (!read_spectrum(frequencies, impedances, spectrum)) return false;
    // read_spectrum has refused unequal lengths: the check always gives a spectrum.
    auto checked = MeasuredSpectrum::check(spectrum.frequencies.to_vector(), spectrum.impedances.to_vector());
    if (!checked) {
        raise(PyExc_ValueError, "frequencies and impedances must have the same length");
        return false;
    }
    out = std::move(*checked);
    return true;
}

bool read_weighting(const std::string& name, Weighting& out) {
    const auto scheme = parse_weighting(name);
    if (!scheme) {
        raise(PyExc_ValueError, unknown_weighting_message(name));
        return false;
    }
    out = *scheme;
    return true;
}

}  // namespace kelvara::py
