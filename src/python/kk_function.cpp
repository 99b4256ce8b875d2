// kelvara._core._kramers_kronig: the linear Kramers-Kronig fit of the core,
// run with the interpreter released; kelvara.validate checks the arguments,
// judges the residuals and builds the KKResult.
#include "python/objects.hpp"

#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"
#include "python/numpy_array.hpp"

#include <algorithm>
#include <string>

#include "diagnostics/kk_fit.hpp"

namespace kelvara::py {
namespace {

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status == 0;
}

PyObject* float_array(std::span<const double> values) {
    double* data = nullptr;
    PyObject* array = new_float_array(values.size(), data);
    if (array != nullptr) std::copy(values.begin(), values.end(), data);
    return array;
}

PyObject* complex_array(std::span<const Complex> values) {
    Complex* data = nullptr;
    PyObject* array = new_complex_array(values.size(), data);
    if (array != nullptr) std::copy(values.begin(), values.end(), data);
    return array;
}

// "auto", "best", "first" or None (exactly max_elements elements).
bool read_rule(PyObject* value, std::optional<diagnostics::KkRule>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8(value) : nullptr;
    const std::string rule = text != nullptr ? text : "";
    if (rule == "auto") {
        out = diagnostics::KkRule::automatic;
    } else if (rule == "best") {
        out = diagnostics::KkRule::best;
    } else if (rule == "first") {
        out = diagnostics::KkRule::first;
    } else {
        if (!PyErr_Occurred()) raise(PyExc_ValueError, "rule must be 'auto', 'best', 'first' or None");
        return false;
    }
    return true;
}

bool read_settings(PyObject* const* bound, diagnostics::KkSettings& settings) {
    if (!read_rule(bound[2], settings.rule)) return false;
    settings.c = PyFloat_AsDouble(bound[3]);
    settings.max_elements = PyLong_AsSize_t(bound[4]);
    settings.extend_decades = PyFloat_AsDouble(bound[7]);
    if (PyErr_Occurred()) return false;
    const int inductance = PyObject_IsTrue(bound[5]);
    const int capacitance = bound[6] == Py_None ? 0 : PyObject_IsTrue(bound[6]);
    if (inductance < 0 || capacitance < 0) return false;
    settings.inductance = inductance == 1;
    if (bound[6] != Py_None) settings.capacitance = capacitance == 1;
    return true;
}

PyObject* fit_record(const diagnostics::KkFit& fit) {
    Ref record(PyDict_New());
    if (!record) return nullptr;
    PyObject* dict = record.get();
    PyObject* noise = fit.noise ? PyFloat_FromDouble(*fit.noise) : Py_NewRef(Py_None);
    if (!set_item(dict, "capacitance", PyBool_FromLong(fit.capacitance)) ||
        !set_item(dict, "time_constants", float_array(fit.time_constants)) ||
        !set_item(dict, "resistances", float_array(fit.resistances)) ||
        !set_item(dict, "ohmic_resistance", PyFloat_FromDouble(fit.ohmic_resistance)) ||
        !set_item(dict, "inductance", PyFloat_FromDouble(fit.inductance)) ||
        !set_item(dict, "elastance", PyFloat_FromDouble(fit.elastance)) ||
        !set_item(dict, "mu", PyFloat_FromDouble(fit.mu)) || !set_item(dict, "fitted", complex_array(fit.fitted)) ||
        !set_item(dict, "residuals", complex_array(fit.residuals)) || !set_item(dict, "noise", noise) ||
        !set_item(dict, "runs_z", PyFloat_FromDouble(fit.runs_z))) {
        return nullptr;
    }
    return record.release();
}

// _kramers_kronig(frequencies, impedances, rule, c, max_elements, inductance,
// capacitance, extend_decades): a dict of the fit, or ValueError when the
// spectrum cannot be fitted.
PyObject* kramers_kronig_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"frequencies", "impedances", "rule", "c", "max_elements",
                                            "inductance", "capacitance", "extend_decades"};
    PyObject* bound[8];
    if (!bind_arguments({"_kramers_kronig", names, 8}, args, nargs, kwnames, bound)) return nullptr;
    diagnostics::KkSettings settings;
    if (!read_settings(bound, settings)) return nullptr;
    Spectrum spectrum;
    if (!read_spectrum(bound[0], bound[1], spectrum)) return nullptr;
    std::optional<diagnostics::KkFit> fit;
    {
        ReleasedInterpreter released;
        fit = diagnostics::kramers_kronig_fit(spectrum.frequencies.view(), spectrum.impedances.view(), settings);
    }
    if (!fit) return raise(PyExc_ValueError, "the Kramers-Kronig fit cannot run on this spectrum");
    return fit_record(*fit);
}

}  // namespace

PyMethodDef kramers_kronig_functions[] = {
    {"_kramers_kronig", guarded_method<kramers_kronig_function>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
