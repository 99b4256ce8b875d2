// The Circuit class: construction from notation or a model name, the
// parameter accessors, rebinding, the representation and impedance().
#include "python/objects.hpp"

#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "circuit/evaluate.hpp"
#include "circuit/layout.hpp"
#include "circuit/notation_help.hpp"
#include "circuit/notation_text.hpp"
#include "circuit/parser.hpp"
#include "models/registry.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/numpy_array.hpp"
#include "python/fit_options.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {

PyObject* make_circuit(SeriesList tree, bool explicit_values, CircuitControl control) {
    PyObject* self = CircuitType.tp_alloc(&CircuitType, 0);
    if (self == nullptr) return nullptr;
    // Explicit values are what a held parameter holds.
    if (explicit_values) control.deferred.clear();
    control.drop_unused();
    new (&reinterpret_cast<CircuitObject*>(self)->data) CircuitData{std::move(tree), explicit_values, std::move(control)};
    return self;
}

namespace {

const SeriesList& tree_of(PyObject* self) { return circuit_data(self).tree; }

// The notation to parse: a model's circuit when `s` names one (ignoring
// case and surrounding white space), else `s` itself.
bool notation_for(PyObject* s, std::string& text) {
    Ref stripped(PyObject_CallMethod(s, "strip", nullptr));
    if (!stripped) return false;
    std::string candidate;
    if (!to_utf8(stripped.get(), candidate)) return false;
    if (const auto model = model_by_name(candidate)) {
        text = model->circuit;
        return true;
    }
    return to_utf8(s, text);
}

PyObject* circuit_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static constexpr const char* names[] = {"s"};
    PyObject* bound[1];
    if (!bind_arguments({"Circuit", names, 1}, args, kwargs, bound)) return nullptr;
    if (!PyUnicode_Check(bound[0])) {
        raise_cannot_convert(bound[0], "PyString");
        prefix_argument_error("s");
        return nullptr;
    }
    std::string text;
    if (!notation_for(bound[0], text)) return nullptr;
    auto parsed = parse(text);
    if (!parsed) return raise(PyExc_ValueError, notation_error_message(text, parsed.error()));
    return make_circuit(std::move(parsed).value(), false);
}

void circuit_dealloc(PyObject* self) {
    reinterpret_cast<CircuitObject*>(self)->data.~CircuitData();
    Py_TYPE(self)->tp_free(self);
}

PyObject* circuit_repr(PyObject* self) {
    const CircuitData& data = circuit_data(self);
    if (data.control.empty()) return to_str(kelvara::circuit_repr(data.tree));
    return to_str(kelvara::circuit_repr(data.tree, bounds_in_force(data.tree, data.control), data.control.fixed));
}

PyObject* param_names_method(PyObject* self, PyObject*) { return to_str_list(param_names(tree_of(self))); }
PyObject* param_units_method(PyObject* self, PyObject*) { return to_str_list(param_units(tree_of(self))); }
PyObject* param_values_method(PyObject* self, PyObject*) { return to_float_list(param_values(tree_of(self))); }

PyObject* param_bounds_method(PyObject* self, PyObject*) {
    const auto bounds = bounds_in_force(tree_of(self), circuit_data(self).control);
    Ref list(PyList_New(static_cast<Py_ssize_t>(bounds.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        PyObject* pair = Py_BuildValue("(dd)", bounds[i].lo, bounds[i].hi);
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

PyObject* with_values_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"values"};
    PyObject* bound[1];
    if (!bind_arguments({"with_values", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    std::vector<double> values;
    if (!to_double_vector(bound[0], values)) {
        prefix_argument_error("values");
        return nullptr;
    }
    const SeriesList& tree = tree_of(self);
    const std::size_t count = param_count(tree);
    if (values.size() != count) {
        return raise(PyExc_ValueError,
                     "expected " + std::to_string(count) + " values, got " + std::to_string(values.size()));
    }
    return make_circuit(rebuild(tree, values), true, circuit_data(self).control);
}

// The user's name-to-value table, in its iteration order.
bool read_named_values(PyObject* dict, std::vector<std::pair<std::string, double>>& out) {
    if (!PyDict_Check(dict)) {
        raise_cannot_convert(dict, "PyDict");
        prefix_argument_error("values");
        return false;
    }
    // A snapshot of the items: converting a value may run Python code that changes the dict.
    Ref items(PyDict_Items(dict));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        std::string name;
        if (!to_utf8(PyTuple_GET_ITEM(item, 0), name)) {
            prefix_argument_error("values");
            return false;
        }
        const double value = PyFloat_AsDouble(PyTuple_GET_ITEM(item, 1));
        if (value == -1.0 && PyErr_Occurred()) {
            prefix_argument_error("values");
            return false;
        }
        out.emplace_back(std::move(name), value);
    }
    return true;
}

PyObject* with_named_values_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"values"};
    PyObject* bound[1];
    if (!bind_arguments({"with_named_values", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    std::vector<std::pair<std::string, double>> given;
    if (!read_named_values(bound[0], given)) return nullptr;

    const SeriesList& tree = tree_of(self);
    const std::vector<std::string> parameter_names = param_names(tree);
    const std::unordered_set<std::string> known(parameter_names.begin(), parameter_names.end());
    std::unordered_map<std::string, double> by_name;
    std::vector<std::string> unknown;
    for (const auto& [name, value] : given) {
        by_name[name] = value;
        if (!known.count(name)) unknown.push_back(name);
    }
    std::vector<std::string> missing;
    std::vector<double> values;
    for (const std::string& name : parameter_names) {
        const auto found = by_name.find(name);
        if (found == by_name.end()) {
            missing.push_back(name);
        } else {
            values.push_back(found->second);
        }
    }
    if (!unknown.empty() || !missing.empty()) {
        return raise(PyExc_ValueError, named_values_error(tree, unknown, missing));
    }
    return make_circuit(rebuild(tree, values), true, circuit_data(self).control);
}

PyObject* impedance_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"frequencies"};
    PyObject* bound[1];
    if (!bind_arguments({"impedance", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    const CircuitData& data = circuit_data(self);
    NumberArray<double> input;
    if (!to_double_array(bound[0], input)) {
        if (!clear_not_numeric()) return nullptr;
        std::vector<double> column;
        const ColumnStatus status = read_column(bound[0], frequency_column, column);
        if (status == ColumnStatus::error) return nullptr;
        if (status == ColumnStatus::absent) {
            return raise(PyExc_ValueError, "expected a sequence of frequencies, or a dataframe with a " +
                                               describe(frequency_column) + " column");
        }
        input.own(std::move(column));
    }
    const std::span<const double> frequencies = input.view();
    Complex* out = nullptr;
    Ref array(new_complex_array(frequencies.size(), out));
    if (!array || frequencies.empty()) return array.release();  // nothing to compute: keep the interpreter
    {
        ReleasedInterpreter released;
        impedance_at_frequencies(data.program, data.values, frequencies, std::span<Complex>(out, frequencies.size()));
    }
    return array.release();
}

PyObject* get_notation(PyObject* self, void*) { return to_str(notation_text(circuit_data(self).tree)); }

PyGetSetDef circuit_getset[] = {
    {"notation", guarded<get_notation>, nullptr, nullptr, nullptr},
    {"fixed", guarded<circuit_fixed_names>, nullptr,
     "Names of the parameters held at their values by every fit, in `param_names()` order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* ml_circuits_method(PyObject*, PyObject*) {
    std::vector<std::string> names;
    for (const Model& model : MODELS) names.emplace_back(model.name);
    return to_str_list(names);
}


PyMethodDef circuit_methods[] = {
    {"param_names", guarded_method<param_names_method>(), METH_NOARGS,
     "param_names($self)\n--\n\n"
     "Parameter names, in the same order `with_values()` consumes and\n"
     "`with_named_values()` expects as keys."},
    {"param_units", guarded_method<param_units_method>(), METH_NOARGS,
     "param_units($self)\n--\n\n"
     "Physical units per parameter"},
    {"param_bounds", guarded_method<param_bounds_method>(), METH_NOARGS,
     "param_bounds($self)\n--\n\n"
     "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
     "`param_names()` order. `hi` is `inf` for open-bound parameters."},
    {"with_fixed", guarded_method<circuit_with_fixed>(), METH_FASTCALL | METH_KEYWORDS,
     "with_fixed($self, values)\n--\n\n"
     "This circuit with some parameters held by every fit: `values` maps\n"
     "names to the values to hold them at, or lists names held at their\n"
     "current values."},
    {"with_free", guarded_method<circuit_with_free>(), METH_FASTCALL | METH_KEYWORDS,
     "with_free($self, names)\n--\n\n"
     "This circuit with the named parameters no longer held."},
    {"with_bounds", guarded_method<circuit_with_bounds>(), METH_FASTCALL | METH_KEYWORDS,
     "with_bounds($self, bounds)\n--\n\n"
     "This circuit with its own `(lo, hi)` bounds for the named parameters\n"
     "(None for a side keeps the catalogue's; None for the pair restores\n"
     "both). A parameter whose upper bound is `inf` is searched on a log\n"
     "scale and needs a lower bound above zero."},
    {"param_values", guarded_method<param_values_method>(), METH_NOARGS,
     "param_values($self)\n--\n\n"
     "Current parameter values, in `param_names()` order."},
    {"with_values", guarded_method<with_values_method>(), METH_FASTCALL | METH_KEYWORDS,
     "with_values($self, values)\n--\n\n"
     "Rebuild this circuit with a new flat parameter vector, assigned\n"
     "positionally in `param_names()` order."},
    {"with_named_values", guarded_method<with_named_values_method>(), METH_FASTCALL | METH_KEYWORDS,
     "with_named_values($self, values)\n--\n\n"
     "Rebuild this circuit with parameter values looked up by name (see\n"
     "`param_names()`). Every name must be present and no unknown names\n"
     "may be supplied."},
    {"impedance", guarded_method<impedance_method>(), METH_FASTCALL | METH_KEYWORDS,
     "impedance($self, frequencies)\n--\n\n"},
    {"fit", guarded_method<circuit_fit>(), METH_FASTCALL | METH_KEYWORDS,
     KELVARA_FIT_SIGNATURE
     "Fit this circuit's parameters to a measured spectrum.\n"
     "\n"
     "Accepts two sequences of frequencies and impedances, or a single battery\n"
     "data format dataframe (`impedances` left as None).\n"
     "\n"
     "`guess_init` unset means start from a machine-learning guess whenever the\n"
     "circuit is not explicitly given starting parameters. If no model has been\n"
     "trained for the topology it warns and starts from placeholder values.\n"
     "\n"
     "`True` always guesses, and raises rather than warns when it cannot.\n"
     "`False` never guesses."},
    {"with_data_start", guarded_method<circuit_with_data_start>(), METH_FASTCALL | METH_KEYWORDS,
     "with_data_start($self, frequencies, impedances=None)\n--\n\n"
     "The circuit with values estimated from a spectrum, for any topology: the\n"
     "high-frequency intercept, the inductive tail, the DRT's processes handed to\n"
     "the time-constant elements (R-C and R-CPE pairs, K, Zarc, Gerischers,\n"
     "finite Warburgs, transmission lines) in several ways, and the low-frequency\n"
     "slope for diffusion and blocking elements; each way is polished by a short\n"
     "Levenberg-Marquardt run and the best is kept. Held parameters keep their\n"
     "values. A value the data put beyond its bounds starts on the bound, with a\n"
     "UserWarning naming it."},
    {"guess", guarded_method<circuit_guess>(), METH_FASTCALL | METH_KEYWORDS,
     "guess($self, frequencies, impedances=None, weights=None)\n--\n\n"
     "Machine-learning guess of starting parameters for this circuit's\n"
     "topology, in `param_names()` order.\n"
     "\n"
     "Series and parallel elements may be written with any order and labels:\n"
     "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
     "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
     "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
     "\n"
     "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
     "bundled model.\n"
     "\n"
     "Raises if no model has been trained for this topology, or if `weights`\n"
     "was trained for a different one."},
    {"ml_circuits", guarded_method<ml_circuits_method>(), METH_NOARGS | METH_STATIC,
     "ml_circuits()\n--\n\n"
     "Names accepted by the constructor that have trained initial-parameter\n"
     "models, and so get a guessed starting point from `fit()` by default."},
    {"residuals", guarded_method<circuit_residuals>(), METH_FASTCALL | METH_KEYWORDS,
     "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
     "arbitrary parameter vector -- the same building block `fit()` uses\n"
     "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
     "`scipy.optimize.least_squares`) can drive this circuit's math directly."},
    {"jacobian", guarded_method<circuit_jacobian>(), METH_FASTCALL | METH_KEYWORDS,
     "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
     "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
     "len(frequencies), len(params))` -- rows are residuals, columns are\n"
     "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects."},
    {"__reduce__", guarded_method<circuit_reduce>(), METH_NOARGS, nullptr},
    {"_fit_many", guarded_method<circuit_fit_many>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject CircuitType = [] {
    PyTypeObject type = new_static_type();
    type.tp_name = "kelvara.Circuit";
    type.tp_basicsize = sizeof(CircuitObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "Circuit(s)\n--\n\n";
    type.tp_new = guarded<circuit_new>;
    type.tp_dealloc = circuit_dealloc;
    type.tp_repr = guarded<circuit_repr>;
    type.tp_methods = circuit_methods;
    type.tp_getset = circuit_getset;
    return type;
}();

bool ready_circuit_type() { return PyType_Ready(&CircuitType) >= 0; }

}  // namespace kelvara::py
