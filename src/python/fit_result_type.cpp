// FitResult: the outcome of Circuit.fit(), created only by the module. Every
// read of circuit, params or stderr hands out a fresh object.
#include "python/objects.hpp"

#include "python/barrier.hpp"

#include <array>
#include <cmath>
#include <optional>
#include <cstdio>
#include <limits>
#include <new>

#include "circuit/layout.hpp"
#include "circuit/notation_text.hpp"
#include "support/number_text.hpp"
#include "support/quoted.hpp"
#include "fit/fit_statistics.hpp"
#include "python/convert.hpp"

namespace kelvara::py {
namespace {

struct FitResultObject {
    PyObject_HEAD
    FitOutcome outcome;  // immutable after construction
    CircuitControl control;  // of the fitted circuit
    PyObject* flags;  // list of kelvara.diagnostics.Flag, worked out on first use; or nullptr
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
    Py_CLEAR(object->flags);
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

// ---- statistics and diagnostics ----

FitStatistics statistics_of(PyObject* self) {
    const FitOutcome& o = outcome_of(self);
    return fit_statistics(o.chi_square, o.residual_count, o.free_count());
}
// NaN when the fit's residual count is unknown (a result pickled by an earlier version).
PyObject* statistic(PyObject* self, double FitStatistics::*member) {
    if (outcome_of(self).residual_count == 0) return PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN());
    return PyFloat_FromDouble(statistics_of(self).*member);
}
PyObject* get_n_points(PyObject* self, void*) { return PyLong_FromSize_t(outcome_of(self).residual_count / 2); }
PyObject* get_n_free(PyObject* self, void*) { return PyLong_FromSize_t(outcome_of(self).free_count()); }
PyObject* get_reduced_chi_square(PyObject* self, void*) { return statistic(self, &FitStatistics::reduced_chi_square); }
PyObject* get_misfit(PyObject* self, void*) { return statistic(self, &FitStatistics::misfit); }
PyObject* get_aic(PyObject* self, void*) { return statistic(self, &FitStatistics::aic); }
PyObject* get_aicc(PyObject* self, void*) { return statistic(self, &FitStatistics::aicc); }
PyObject* get_bic(PyObject* self, void*) { return statistic(self, &FitStatistics::bic); }

std::vector<std::string> free_names(PyObject* self) {
    const FitOutcome& o = outcome_of(self);
    std::vector<std::string> names;
    for (std::size_t j = 0; j < o.param_names.size(); ++j) {
        if (!is_fixed(self, j)) names.push_back(o.param_names[j]);
    }
    return names;
}

// {name: {name: value}} over the free parameters, or None.
PyObject* square_dict(const std::vector<std::string>& names, std::span<const double> matrix) {
    const std::size_t n = names.size();
    if (n == 0 || matrix.size() != n * n) Py_RETURN_NONE;
    Ref outer(PyDict_New());
    if (!outer) return nullptr;
    for (std::size_t a = 0; a < n; ++a) {
        Ref row(name_value_dict(names, std::vector<double>(matrix.begin() + static_cast<std::ptrdiff_t>(a * n),
                                                           matrix.begin() + static_cast<std::ptrdiff_t>((a + 1) * n))));
        if (!row || PyDict_SetItemString(outer.get(), names[a].c_str(), row.get()) < 0) return nullptr;
    }
    return outer.release();
}
PyObject* get_covariance(PyObject* self, void*) { return square_dict(free_names(self), outcome_of(self).covariance); }
PyObject* get_correlation(PyObject* self, void*) {
    const std::vector<std::string> names = free_names(self);
    const std::vector<double>& covariance = outcome_of(self).covariance;
    if (covariance.size() != names.size() * names.size()) Py_RETURN_NONE;
    return square_dict(names, correlation_of(covariance, names.size()));
}

// The verdict's severities live in kelvara.diagnostics.
PyObject* diagnostics_call(const char* function, PyObject* argument) {
    Ref module(diagnostics_module());
    if (!module) return nullptr;
    return PyObject_CallMethod(module.get(), function, "O", argument);
}
// The flags are worked out once, on first use (they estimate the spectrum's
// noise with a Kramers-Kronig fit).
PyObject* cached_flags(PyObject* self) {
    auto* object = reinterpret_cast<FitResultObject*>(self);
    if (object->flags == nullptr) {
        PyObject* computed = diagnose_fit_result(self, std::nullopt);
        if (computed == nullptr) return nullptr;
        if (object->flags == nullptr) {
            object->flags = computed;
        } else {
            Py_DECREF(computed);
        }
    }
    return object->flags;  // borrowed
}
PyObject* get_flags(PyObject* self, void*) {
    PyObject* flags = cached_flags(self);
    return flags == nullptr ? nullptr : PyList_GetSlice(flags, 0, PyList_GET_SIZE(flags));
}
PyObject* get_verdict(PyObject* self, void*) { return diagnostics_call("_verdict", self); }

// Replaces the flags (kelvara.compare adds what only a comparison sees).
PyObject* set_flags_method(PyObject* self, PyObject* flags) {
    if (!PyList_Check(flags)) return raise(PyExc_TypeError, "_set_flags() takes a list");
    // Only Flags: the verdict, to_dict() and the tables read their code and text.
    Ref module(diagnostics_module());
    Ref flag_type(module ? PyObject_GetAttrString(module.get(), "Flag") : nullptr);
    if (!flag_type) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(flags); ++i) {
        PyObject* flag = PyList_GET_ITEM(flags, i);
        const int is_flag = PyObject_IsInstance(flag, flag_type.get());
        if (is_flag < 0) return nullptr;
        if (!is_flag || PyTuple_GET_SIZE(flag) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(flag, 0)) ||
            !PyUnicode_Check(PyTuple_GET_ITEM(flag, 1))) {
            return raise(PyExc_TypeError, "flags must be kelvara.diagnostics.Flag objects of two str, got '" +
                                              type_name(flag) + "'");
        }
    }
    auto* object = reinterpret_cast<FitResultObject*>(self);
    PyObject* copy = PyList_GetSlice(flags, 0, PyList_GET_SIZE(flags));
    if (copy == nullptr) return nullptr;
    Py_XSETREF(object->flags, copy);
    Py_RETURN_NONE;
}

// (frequencies, impedances, weighted residuals) as lists, or None for a
// result pickled by an earlier version.
PyObject* fitted_data_method(PyObject* self, PyObject*) {
    const FitOutcome& o = outcome_of(self);
    if (o.residual_count == 0 || o.spectrum.empty()) Py_RETURN_NONE;
    const std::span<const Complex> impedances = o.spectrum.impedances();
    Ref z(PyList_New(static_cast<Py_ssize_t>(impedances.size())));
    if (!z) return nullptr;
    for (std::size_t i = 0; i < impedances.size(); ++i) {
        PyObject* value = PyComplex_FromDoubles(impedances[i].re, impedances[i].im);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(z.get(), static_cast<Py_ssize_t>(i), value);
    }
    return Py_BuildValue("(NON)", to_float_list(o.spectrum.frequencies_hz()), z.get(), to_float_list(o.residuals));
}

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

// Under the table: the statistics, the verdict and one line per flag.
PyObject* table_footer(PyObject* self, std::string text) {
    if (outcome_of(self).residual_count != 0) {
        const FitStatistics s = statistics_of(self);
        text += "points " + std::to_string(s.residual_count / 2) + ", free parameters " + std::to_string(s.free_count) +
                ", reduced chi-square " + general(s.reduced_chi_square, 4) + ", rms misfit " + general(s.misfit, 3) +
                ", AIC " + general(s.aic, 6) + ", AICc " + general(s.aicc, 6) + ", BIC " + general(s.bic, 6) + "\n";
    }
    Ref verdict(get_verdict(self, nullptr));
    PyObject* flags = verdict ? cached_flags(self) : nullptr;
    if (flags == nullptr) return nullptr;
    std::string verdict_text;
    if (!to_utf8(verdict.get(), verdict_text)) return nullptr;
    text += "verdict: " + verdict_text + "\n";
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(flags); ++i) {
        Ref code(PyObject_GetAttrString(PyList_GET_ITEM(flags, i), "code"));
        Ref sentence(code ? PyObject_GetAttrString(PyList_GET_ITEM(flags, i), "text") : nullptr);
        std::string code_text, sentence_text;
        if (!sentence || !to_utf8(code.get(), code_text) || !to_utf8(sentence.get(), sentence_text)) return nullptr;
        text += "  [" + code_text + "] " + sentence_text + "\n";
    }
    return to_str(text);
}

PyObject* table_method(PyObject* self, PyObject*) {
    const FitOutcome& o = outcome_of(self);
    const std::vector<std::string> units = param_units(o.circuit);
    const std::vector<std::string>& keys = o.param_names;  // distinct, as the notation writes them
    std::vector<std::array<std::string, 5>> rows = {{"parameter", "value", "unit", "std. error", "rel. error"}};
    for (std::size_t i = 0; i < keys.size() && i < o.params.size(); ++i) {
        std::optional<double> error, relative;
        if (o.stderr_values && i < o.stderr_values->size() && std::isfinite((*o.stderr_values)[i])) {
            error = (*o.stderr_values)[i];
            if (o.params[i] != 0.0) relative = 100.0 * *error / std::fabs(o.params[i]);
        }
        if (is_fixed(self, i)) {
            rows.push_back({keys[i], general(o.params[i], 6), i < units.size() ? units[i] : "", "fixed", "-"});
            continue;
        }
        rows.push_back({keys[i], general(o.params[i], 6), i < units.size() ? units[i] : "",
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
    return table_footer(self, std::move(text));
}

// Sets dict[key] = value and drops the reference to value; false on failure.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// The statistics, flags and verdict of to_dict().
bool put_diagnostics(PyObject* self, PyObject* dict) {
    PyObject* flags = cached_flags(self);
    if (flags == nullptr) return false;
    Ref flag_list(PyList_New(PyList_GET_SIZE(flags)));
    if (!flag_list) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(flags); ++i) {
        PyObject* flag = PyList_GET_ITEM(flags, i);
        Ref code(PyObject_GetAttrString(flag, "code"));
        Ref text(code ? PyObject_GetAttrString(flag, "text") : nullptr);
        PyObject* entry = text ? Py_BuildValue("{sOsO}", "code", code.get(), "text", text.get()) : nullptr;
        if (entry == nullptr) return false;
        PyList_SET_ITEM(flag_list.get(), i, entry);
    }
    return put(dict, "n_points", get_n_points(self, nullptr)) && put(dict, "n_free", get_n_free(self, nullptr)) &&
           put(dict, "reduced_chi_square", get_reduced_chi_square(self, nullptr)) &&
           put(dict, "misfit", get_misfit(self, nullptr)) && put(dict, "aic", get_aic(self, nullptr)) &&
           put(dict, "aicc", get_aicc(self, nullptr)) && put(dict, "bic", get_bic(self, nullptr)) &&
           put(dict, "covariance", get_covariance(self, nullptr)) &&
           put(dict, "correlation", get_correlation(self, nullptr)) && put(dict, "flags", flag_list.release()) &&
           put(dict, "verdict", get_verdict(self, nullptr));
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
    const std::vector<std::string>& keys = o.param_names;  // distinct, as the notation writes them
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    if (!put(dict.get(), "circuit", to_str(notation_text(o.circuit))) ||
        !put(dict.get(), "params", name_value_dict(keys, o.params)) ||
        !put(dict.get(), "stderr", get_stderr(self, nullptr)) ||
        !put(dict.get(), "units", [&] {
            Ref units(PyDict_New());
            const std::vector<std::string> texts = param_units(o.circuit);
            for (std::size_t i = 0; units && i < keys.size() && i < texts.size(); ++i) {
                Ref value(to_str(texts[i]));
                if (!value || PyDict_SetItemString(units.get(), keys[i].c_str(), value.get()) < 0) {
                    return static_cast<PyObject*>(nullptr);
                }
            }
            return units.release();
        }()) ||
        !put(dict.get(), "fixed", [&] {
            std::vector<std::string> held;
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (is_fixed(self, i)) held.push_back(keys[i]);
            }
            return to_str_list(held);
        }()) ||
        !put(dict.get(), "chi_square", PyFloat_FromDouble(o.chi_square)) ||
        !put(dict.get(), "cost", PyFloat_FromDouble(o.cost)) ||
        !put(dict.get(), "success", PyBool_FromLong(o.success)) ||
        !put(dict.get(), "message", to_str(o.message)) ||
        !put(dict.get(), "iterations", PyLong_FromUnsignedLongLong(o.iterations)) ||
        !put(dict.get(), "impedance_evals", PyLong_FromUnsignedLongLong(o.impedance_evals)) ||
        !put_diagnostics(self, dict.get())) {
        return nullptr;
    }
    if (!non_finite_to_none(dict.get())) return nullptr;
    return dict.release();
}

PyMethodDef fit_result_methods[] = {
    {"table", guarded_method<table_method>(), METH_NOARGS, nullptr},
    {"to_dict", guarded_method<to_dict_method>(), METH_NOARGS, nullptr},
    {"__reduce__", guarded_method<fit_result_reduce>(), METH_NOARGS, nullptr},
    {"_set_flags", guarded_method<set_flags_method>(), METH_O, nullptr},
    {"_fitted_data", guarded_method<fitted_data_method>(), METH_NOARGS, nullptr},
    {"_diagnose", guarded_method<fit_result_diagnose>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_relative_misfit", guarded_method<fit_result_relative_misfit>(), METH_NOARGS, nullptr},
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
    {"n_points", guarded<get_n_points>, nullptr, nullptr, nullptr},
    {"n_free", guarded<get_n_free>, nullptr, nullptr, nullptr},
    {"reduced_chi_square", guarded<get_reduced_chi_square>, nullptr, nullptr, nullptr},
    {"misfit", guarded<get_misfit>, nullptr, nullptr, nullptr},
    {"aic", guarded<get_aic>, nullptr, nullptr, nullptr},
    {"aicc", guarded<get_aicc>, nullptr, nullptr, nullptr},
    {"bic", guarded<get_bic>, nullptr, nullptr, nullptr},
    {"covariance", guarded<get_covariance>, nullptr, nullptr, nullptr},
    {"correlation", guarded<get_correlation>, nullptr, nullptr, nullptr},
    {"flags", guarded<get_flags>, nullptr, nullptr, nullptr},
    {"verdict", guarded<get_verdict>, nullptr, nullptr, nullptr},
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
PyObject* fit_result_flags(PyObject* fit_result) { return reinterpret_cast<FitResultObject*>(fit_result)->flags; }

PyObject* make_fit_result(FitOutcome outcome, CircuitControl control) {
    PyObject* self = FitResultType.tp_alloc(&FitResultType, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<FitResultObject*>(self);
    new (&object->outcome) FitOutcome(std::move(outcome));
    new (&object->control) CircuitControl(std::move(control));
    object->flags = nullptr;
    return self;
}

}  // namespace kelvara::py
