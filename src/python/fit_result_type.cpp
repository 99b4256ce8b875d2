// FitResult: the outcome of Circuit.fit(), created only by the module. Every
// read of circuit, params or stderr hands out a fresh object.
#include "python/objects.hpp"

#include "python/barrier.hpp"

#include <array>
#include <cmath>
#include <optional>
#include <cstdio>
#include <new>

#include "circuit/layout.hpp"
#include "circuit/notation_text.hpp"
#include "circuit/number_text.hpp"
#include "circuit/quoted.hpp"
#include "python/convert.hpp"

namespace kelvara::py {
namespace {

struct FitResultObject {
    PyObject_HEAD
    FitOutcome outcome;  // immutable after construction
    CircuitControl control;  // of the fitted circuit
};

const FitOutcome& outcome_of(PyObject* self) { return reinterpret_cast<FitResultObject*>(self)->outcome; }
const CircuitControl& control_of(PyObject* self) { return reinterpret_cast<FitResultObject*>(self)->control; }
bool is_fixed(PyObject* self, std::size_t j) {
    const std::vector<bool>& fixed = control_of(self).fixed;
    return j < fixed.size() && fixed[j];
}

void fit_result_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<FitResultObject*>(self);
    object->outcome.~FitOutcome();
    object->control.~CircuitControl();
    Py_TYPE(self)->tp_free(self);
}

// Names paired with values position by position, up to the shorter list.
PyObject* name_value_dict(const std::vector<std::string>& names, const std::vector<double>& values) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
        Ref key(to_str(names[i]));
        Ref value(PyFloat_FromDouble(values[i]));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* get_circuit(PyObject* self, void*) {
    return make_circuit(outcome_of(self).circuit, true, control_of(self));
}
PyObject* get_params(PyObject* self, void*) {
    return name_value_dict(outcome_of(self).param_names, outcome_of(self).params);
}
PyObject* get_stderr(PyObject* self, void*) {
    const FitOutcome& o = outcome_of(self);
    if (!o.stderr_values) Py_RETURN_NONE;
    return name_value_dict(o.param_names, *o.stderr_values);
}
PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(outcome_of(self).success); }
PyObject* get_iterations(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(outcome_of(self).iterations);
}
PyObject* get_impedance_evals(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(outcome_of(self).impedance_evals);
}
PyObject* get_cost(PyObject* self, void*) { return PyFloat_FromDouble(outcome_of(self).cost); }
PyObject* get_chi_square(PyObject* self, void*) { return PyFloat_FromDouble(outcome_of(self).chi_square); }
PyObject* get_message(PyObject* self, void*) { return to_str(outcome_of(self).message); }

// Six digits after the point, exponent without "+" or leading zeros: 1.234568e-3.
std::string scientific_six(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6e", value);
    std::string text = buffer;
    const std::size_t e = text.find('e');
    const int exponent = std::atoi(text.c_str() + e + 1);
    return text.substr(0, e) + "e" + std::to_string(exponent);
}

PyObject* fit_result_repr(PyObject* self) {
    const FitOutcome& o = outcome_of(self);
    std::string params = "{";
    for (std::size_t i = 0; i < o.param_names.size() && i < o.params.size(); ++i) {
        if (i) params += ", ";
        params += quoted(o.param_names[i]) + ": " + float_number_text(o.params[i]);
    }
    params += "}";
    return to_str("FitResult(success=" + std::string(o.success ? "true" : "false") +
                  ", iterations=" + std::to_string(o.iterations) + ", impedance_evals=" +
                  std::to_string(o.impedance_evals) + ", chi_square=" + scientific_six(o.chi_square) +
                  ", params=" + params + ")");
}

// Significant digits as %.*g, "-" for a missing value.
std::string general(std::optional<double> value, int digits) {
    if (!value) return "-";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*g", digits, *value);
    return buffer;
}

std::string padded(std::string text, std::size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

PyObject* table_method(PyObject* self, PyObject*) {
    const FitOutcome& o = outcome_of(self);
    const std::vector<std::string> units = param_units(o.circuit);
    std::vector<std::array<std::string, 5>> rows = {{"parameter", "value", "unit", "std. error", "rel. error"}};
    for (std::size_t i = 0; i < o.param_names.size() && i < o.params.size(); ++i) {
        std::optional<double> error, relative;
        if (o.stderr_values && i < o.stderr_values->size() && std::isfinite((*o.stderr_values)[i])) {
            error = (*o.stderr_values)[i];
            if (o.params[i] != 0.0) relative = 100.0 * *error / std::fabs(o.params[i]);
        }
        if (is_fixed(self, i)) {
            rows.push_back({o.param_names[i], general(o.params[i], 6), i < units.size() ? units[i] : "", "fixed", "-"});
            continue;
        }
        rows.push_back({o.param_names[i], general(o.params[i], 6), i < units.size() ? units[i] : "",
                        general(error, 3), relative ? general(relative, 3) + " %" : "-"});
    }
    std::array<std::size_t, 5> widths{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) line += (c ? "  " : "") + padded(row[c], widths[c]);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        text += line + "\n";
    }
    return to_str(text);
}

// Sets dict[key] = value and drops the reference to value; false on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// Strict JSON has no NaN or infinity: replaces every non-finite float inside `value`
// (nested dicts and lists included) by None; false on failure.
bool non_finite_to_none(PyObject* value) {
    const auto replaced = [](PyObject* item) -> PyObject* {
        return PyFloat_Check(item) && !std::isfinite(PyFloat_AS_DOUBLE(item)) ? Py_None : nullptr;
    };
    if (PyDict_Check(value)) {
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        Py_ssize_t pos = 0;
        std::vector<PyObject*> keys;  // not resized while iterating: collect first
        while (PyDict_Next(value, &pos, &key, &item)) {
            if (replaced(item)) keys.push_back(key);
            else if (!non_finite_to_none(item)) return false;
        }
        for (PyObject* k : keys) {
            if (PyDict_SetItem(value, k, Py_None) < 0) return false;
        }
        return true;
    }
    if (PyList_Check(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            PyObject* item = PyList_GET_ITEM(value, i);
            if (replaced(item)) {
                Py_INCREF(Py_None);
                PyList_SetItem(value, i, Py_None);
            } else if (!non_finite_to_none(item)) {
                return false;
            }
        }
    }
    return true;
}

PyObject* to_dict_method(PyObject* self, PyObject*) {
    const FitOutcome& o = outcome_of(self);
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), "circuit", to_str(notation_text(o.circuit))) ||
        !put(dict.get(), "params", name_value_dict(o.param_names, o.params)) ||
        !put(dict.get(), "stderr", get_stderr(self, nullptr)) ||
        !put(dict.get(), "units", [&] {
            Ref units(PyDict_New());
            const std::vector<std::string> texts = param_units(o.circuit);
            for (std::size_t i = 0; units && i < o.param_names.size() && i < texts.size(); ++i) {
                Ref value(to_str(texts[i]));
                if (!value || PyDict_SetItemString(units.get(), o.param_names[i].c_str(), value.get()) < 0) {
                    return static_cast<PyObject*>(nullptr);
                }
            }
            return units.release();
        }()) ||
        !put(dict.get(), "fixed", [&] {
            std::vector<std::string> held;
            for (std::size_t i = 0; i < o.param_names.size(); ++i) {
                if (is_fixed(self, i)) held.push_back(o.param_names[i]);
            }
            return to_str_list(held);
        }()) ||
        !put(dict.get(), "chi_square", PyFloat_FromDouble(o.chi_square)) ||
        !put(dict.get(), "cost", PyFloat_FromDouble(o.cost)) ||
        !put(dict.get(), "success", PyBool_FromLong(o.success)) ||
        !put(dict.get(), "message", to_str(o.message)) ||
        !put(dict.get(), "iterations", PyLong_FromUnsignedLongLong(o.iterations)) ||
        !put(dict.get(), "impedance_evals", PyLong_FromUnsignedLongLong(o.impedance_evals))) {
        return nullptr;
    }
    if (!non_finite_to_none(dict.get())) return nullptr;
    return dict.release();
}

PyMethodDef fit_result_methods[] = {
    {"table", guarded_method<table_method>(), METH_NOARGS, nullptr},
    {"to_dict", guarded_method<to_dict_method>(), METH_NOARGS, nullptr},
    {"__reduce__", guarded_method<fit_result_reduce>(), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef fit_result_getset[] = {
    {"circuit", guarded<get_circuit>, nullptr, nullptr, nullptr},
    {"params", guarded<get_params>, nullptr, nullptr, nullptr},
    {"stderr", guarded<get_stderr>, nullptr, nullptr, nullptr},
    {"success", guarded<get_success>, nullptr, nullptr, nullptr},
    {"iterations", guarded<get_iterations>, nullptr, nullptr, nullptr},
    {"impedance_evals", guarded<get_impedance_evals>, nullptr, nullptr, nullptr},
    {"cost", guarded<get_cost>, nullptr, nullptr, nullptr},
    {"chi_square", guarded<get_chi_square>, nullptr, nullptr, nullptr},
    {"message", guarded<get_message>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject FitResultType = [] {
    PyTypeObject type = new_static_type();
    type.tp_name = "kelvara.FitResult";
    type.tp_basicsize = sizeof(FitResultObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_new = no_constructor;
    type.tp_dealloc = fit_result_dealloc;
    type.tp_repr = guarded<fit_result_repr>;
    type.tp_getset = fit_result_getset;
    type.tp_methods = fit_result_methods;
    return type;
}();

bool ready_fit_result_type() { return PyType_Ready(&FitResultType) >= 0; }

const FitOutcome& fit_outcome(PyObject* fit_result) { return outcome_of(fit_result); }
const CircuitControl& fit_control(PyObject* fit_result) { return control_of(fit_result); }

PyObject* make_fit_result(FitOutcome outcome, CircuitControl control) {
    PyObject* self = FitResultType.tp_alloc(&FitResultType, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<FitResultObject*>(self);
    new (&object->outcome) FitOutcome(std::move(outcome));
    new (&object->control) CircuitControl(std::move(control));
    return self;
}

}  // namespace kelvara::py
