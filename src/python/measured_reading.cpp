// _spectrum() and _COLUMNS: the measured-spectrum reading of Circuit.fit,
// offered to the package's Python functions (kelvara._measured), so that every
// entry point accepts the same forms and refuses bad input in the same words.
#include "python/objects.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "support/quoted.hpp"
#include "circuit/unusable_points.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"
#include "python/numpy_array.hpp"

namespace kelvara::py {
namespace {

enum { argument_frequencies, argument_impedances, argument_check, argument_min_points, argument_rows, argument_count };

bool truth(PyObject* value, bool& out) {
    if (value == nullptr) return true;
    const int result = PyObject_IsTrue(value);
    if (result < 0) return false;
    out = result == 1;
    return true;
}

// The rule named by `check` ("" none, "usable", "keep_usable", "relaxation"), false with ValueError when the spectrum breaks it.
bool apply_check(const std::string& check, std::size_t min_points, const Spectrum& spectrum) {
    std::optional<std::string> problem;
    if (!check.empty() && check != "usable" && check != "relaxation" && check != "keep_usable") {
        problem = "unknown spectrum check " + quoted(check);
    } else if (check.empty()) {
        if (spectrum.frequencies.size() < min_points) problem = too_few_points(min_points, spectrum.frequencies.size());
    } else {
        const auto checked = MeasuredSpectrum::check(spectrum.frequencies.to_vector(), spectrum.impedances.to_vector());
        if (!checked) {  // read_spectrum has refused unequal lengths already
            problem = "frequencies and impedances must have the same length";
        } else if (check == "relaxation") {
            problem = relaxation_data_problem(*checked, min_points);
        } else if (check == "keep_usable") {
            const std::size_t kept = checked->size() - checked->dropped().size();
            if (kept < min_points) problem = too_few_points(min_points, kept);
        } else if (checked->size() < min_points) {
            problem = too_few_points(min_points, checked->size());
        } else {
            problem = checked->unusable();
        }
    }
    if (!problem) return true;
    raise(PyExc_ValueError, *problem);
    return false;
}

// (frequencies, impedances[, rows]) as new float64, complex128 (and intp) arrays.
PyObject* arrays(std::span<const double> f, std::span<const Complex> z, const Spectrum& spectrum, bool with_rows) {
    double* f_data = nullptr;
    Complex* z_data = nullptr;
    Ref f_array(new_float_array(f.size(), f_data));
    Ref z_array(f_array ? new_complex_array(z.size(), z_data) : nullptr);
    if (!z_array) return nullptr;
    if (!f.empty()) std::memcpy(f_data, f.data(), f.size() * sizeof(double));
    if (!z.empty()) std::memcpy(static_cast<void*>(z_data), z.data(), z.size() * sizeof(Complex));
    if (!with_rows) return PyTuple_Pack(2, f_array.get(), z_array.get());
    Ref rows;
    if (spectrum.kept_rows.empty()) {  // two sequences: every row kept
        rows = Ref(Py_NewRef(Py_None));
    } else {
        std::intptr_t* row_data = nullptr;
        rows = Ref(new_index_array(spectrum.kept_rows.size(), row_data));
        if (!rows) return nullptr;
        for (std::size_t i = 0; i < spectrum.kept_rows.size(); ++i) {
            row_data[i] = static_cast<std::intptr_t>(spectrum.kept_rows[i]);
        }
    }
    return PyTuple_Pack(3, f_array.get(), z_array.get(), rows.get());
}

// _spectrum(frequencies, impedances=None, check="", min_points=0, rows=False):
// `check` "usable" refuses a point that no logarithm or weight can use,
// "keep_usable" leaves such points out, "relaxation" refuses also a zero
// impedance and equal frequencies; `min_points` too
// short a spectrum; `rows` adds the dataframe rows kept (None for two
// sequences, which keep every row).
PyObject* spectrum_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"frequencies", "impedances", "check", "min_points", "rows"};
    PyObject* bound[argument_count] = {};
    if (!bind_arguments({"_spectrum", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    std::string check;
    if (bound[argument_check] != nullptr && !to_utf8(bound[argument_check], check)) return nullptr;
    std::size_t min_points = 0;
    if (bound[argument_min_points] != nullptr) {
        min_points = PyLong_AsSize_t(bound[argument_min_points]);
        if (min_points == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    }
    bool with_rows = false;
    if (!truth(bound[argument_rows], with_rows)) return nullptr;
    Spectrum spectrum;
    if (!read_spectrum(bound[argument_frequencies], bound[argument_impedances], spectrum)) return nullptr;
    if (!apply_check(check, min_points, spectrum)) return nullptr;
    if (check == "keep_usable") {
        if (with_rows) return raise(PyExc_ValueError, "rows are not kept with check \"keep_usable\"");
        const auto checked = MeasuredSpectrum::check(spectrum.frequencies.to_vector(), spectrum.impedances.to_vector());
        const MeasuredSpectrum usable = checked->usable_part();
        return arrays(usable.frequencies_hz(), usable.impedances(), spectrum, false);
    }
    return arrays(spectrum.frequencies.view(), spectrum.impedances.view(), spectrum, with_rows);
}

}  // namespace

// {"frequency": ("Frequency / Hz", "frequency_hertz"), "real": ..., ...}
PyObject* column_names() {
    Ref names(PyDict_New());
    if (!names) return nullptr;
    for (const ColumnNames* column : all_columns) {
        Ref pair(Py_BuildValue("(ss)", column->display, column->snake_case));
        if (!pair || PyDict_SetItemString(names.get(), column->role, pair.get()) < 0) return nullptr;
    }
    return names.release();
}

PyMethodDef spectrum_functions[] = {
    {"_spectrum", guarded_method<spectrum_function>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
