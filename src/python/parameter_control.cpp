// Fixed parameters and the caller's own bounds: Circuit.with_fixed,
// with_free, with_bounds and fixed, and what a fit is told about them.
#include "python/objects.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "circuit/layout.hpp"
#include "circuit/notation_help.hpp"
#include "circuit/notation_text.hpp"
#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelvara::py {
namespace {

// The parameters each name addresses, as (name's position, parameter index)
// pairs: a name of param_names() every parameter of that name (composed
// circuits may repeat one), else a name as the notation writes it (R3.r for
// the second R1) the one it names. A did-you-mean ValueError for unknown ones.
bool indices_of(const SeriesList& tree, const std::vector<std::string>& names,
                std::vector<std::pair<std::size_t, std::size_t>>& out) {
    const std::vector<std::string> all = param_names(tree);
    const std::vector<std::string> distinct = distinct_param_names(tree);
    std::vector<std::string> unknown;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t before = out.size();
        for (std::size_t j = 0; j < all.size(); ++j) {
            if (all[j] == names[i]) out.emplace_back(i, j);
        }
        if (out.size() == before) {
            const auto found = std::find(distinct.begin(), distinct.end(), names[i]);
            if (found == distinct.end()) {
                unknown.push_back(names[i]);
            } else {
                out.emplace_back(i, static_cast<std::size_t>(found - distinct.begin()));
            }
        }
    }
    if (unknown.empty()) return true;
    raise(PyExc_ValueError, named_values_error(tree, unknown, {}));
    return false;
}

// (key, value) pairs of a mapping, in its iteration order; a snapshot, as
// converting a value may run code that changes the mapping.
bool mapping_items(PyObject* mapping, Ref& out) {
    out = Ref(PyMapping_Items(mapping));
    return static_cast<bool>(out);
}

bool is_mapping(PyObject* object) {
    return PyDict_Check(object) || (PyMapping_Check(object) && PyObject_HasAttrString(object, "keys"));
}

bool read_name(PyObject* object, const char* argument, std::string& out) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString");
        prefix_argument_error(argument);
        return false;
    }
    return to_utf8(object, out);
}

// Names from an iterable of str (a str alone is refused: it is not a list of names).
bool read_names(PyObject* iterable, const char* argument, std::vector<std::string>& out) {
    if (PyUnicode_Check(iterable)) {
        raise(PyExc_TypeError, "expected an iterable of parameter names, got a single str; wrap it in a list");
        prefix_argument_error(argument);
        return false;
    }
    Ref iterator(PyObject_GetIter(iterable));
    if (!iterator) {
        prefix_argument_error(argument);
        return false;
    }
    while (Ref item{PyIter_Next(iterator.get())}) {
        std::string name;
        if (!read_name(item.get(), argument, name)) return false;
        out.push_back(std::move(name));
    }
    return !PyErr_Occurred();
}

bool read_bound_side(PyObject* object, double fallback, double& out) {
    if (object == Py_None) {
        out = fallback;
        return true;
    }
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace

PyObject* circuit_with_fixed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"values"};
    PyObject* bound[1];
    if (!bind_arguments({"with_fixed", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    const CircuitData& data = circuit_data(self);
    std::vector<std::string> held;
    std::vector<double> given;
    if (is_mapping(bound[0])) {
        Ref items;
        if (!mapping_items(bound[0], items)) return nullptr;
        Ref sequence(PySequence_Fast(items.get(), "items() must be a sequence"));
        if (!sequence) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
            if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) return raise(PyExc_TypeError, "items() must give pairs");
            std::string name;
            if (!read_name(PyTuple_GET_ITEM(item, 0), "values", name)) return nullptr;
            const double value = PyFloat_AsDouble(PyTuple_GET_ITEM(item, 1));
            if (value == -1.0 && PyErr_Occurred()) {
                prefix_argument_error("values");
                return nullptr;
            }
            held.push_back(std::move(name));
            given.push_back(value);
        }
    } else if (!read_names(bound[0], "values", held)) {
        return nullptr;
    }
    std::vector<std::pair<std::size_t, std::size_t>> at;
    if (!indices_of(data.tree, held, at)) return nullptr;
    std::vector<double> values = data.values;
    CircuitControl control = data.control;
    control.fixed.resize(values.size(), false);
    control.deferred.resize(values.size(), false);
    for (const auto& [i, j] : at) {
        if (i < given.size()) values[j] = given[i];
        // Without a value on a circuit of placeholders, hold where the fit starts.
        control.deferred[j] = i >= given.size() && !data.explicit_values;
        if (!std::isfinite(values[j])) {
            return raise(PyExc_ValueError, "cannot fix " + held[i] + " at " + std::to_string(values[j]) +
                                               ": a fixed value must be finite");
        }
        control.fixed[j] = true;
    }
    SeriesList tree = given.empty() ? data.tree : rebuild(data.tree, values);
    control.drop_unused();
    return make_circuit(std::move(tree), data.explicit_values, std::move(control));
}

PyObject* circuit_with_free(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"names"};
    PyObject* bound[1];
    if (!bind_arguments({"with_free", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    const CircuitData& data = circuit_data(self);
    std::vector<std::string> released;
    if (!read_names(bound[0], "names", released)) return nullptr;
    std::vector<std::pair<std::size_t, std::size_t>> at;
    if (!indices_of(data.tree, released, at)) return nullptr;
    CircuitControl control = data.control;
    for (const auto& [i, j] : at) {
        if (j < control.fixed.size()) control.fixed[j] = false;
    }
    control.drop_unused();
    return make_circuit(data.tree, data.explicit_values, std::move(control));
}

PyObject* circuit_with_bounds(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"bounds"};
    PyObject* bound[1];
    if (!bind_arguments({"with_bounds", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    if (!is_mapping(bound[0])) {
        raise_cannot_convert(bound[0], "PyDict");
        prefix_argument_error("bounds");
        return nullptr;
    }
    const CircuitData& data = circuit_data(self);
    Ref items;
    if (!mapping_items(bound[0], items)) return nullptr;
    Ref sequence(PySequence_Fast(items.get(), "items() must be a sequence"));
    if (!sequence) return nullptr;
    const std::vector<Bounds> catalogue = param_bounds(data.tree);
    const std::vector<std::string> all = param_names(data.tree);
    CircuitControl control = data.control;
    control.bounds.resize(catalogue.size());
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) return raise(PyExc_TypeError, "items() must give pairs");
        std::string name;
        if (!read_name(PyTuple_GET_ITEM(item, 0), "bounds", name)) return nullptr;
        std::vector<std::pair<std::size_t, std::size_t>> at;
        if (!indices_of(data.tree, {name}, at)) return nullptr;
        PyObject* pair = PyTuple_GET_ITEM(item, 1);
        if (pair == Py_None) {  // back to the catalogue's
            for (const auto& [unused, j] : at) control.bounds[j].reset();
            continue;
        }
        Ref sides(PySequence_Check(pair) && !PyUnicode_Check(pair) ? PySequence_Tuple(pair) : nullptr);
        if (!sides || PyTuple_GET_SIZE(sides.get()) != 2) {
            PyErr_Clear();
            return raise(PyExc_TypeError, "bounds of " + name + " must be a (lower, upper) pair or None, got '" +
                                              type_name(pair) + "'");
        }
        for (const auto& [unused, j] : at) {
            Bounds b{};
            if (!read_bound_side(PyTuple_GET_ITEM(sides.get(), 0), catalogue[j].lo, b.lo) ||
                !read_bound_side(PyTuple_GET_ITEM(sides.get(), 1), catalogue[j].hi, b.hi)) {
                prefix_argument_error("bounds");
                return nullptr;
            }
            if (auto error = check_user_bounds(all[j], b, catalogue[j])) return raise(PyExc_ValueError, *error);
            control.bounds[j] = b;
        }
    }
    return make_circuit(data.tree, data.explicit_values, std::move(control));
}

PyObject* circuit_fixed_names(PyObject* self, void*) {
    const CircuitData& data = circuit_data(self);
    const std::vector<std::string> all = param_names(data.tree);
    std::vector<std::string> held;
    for (std::size_t j = 0; j < data.control.fixed.size() && j < all.size(); ++j) {
        if (data.control.fixed[j]) held.push_back(all[j]);
    }
    return to_str_list(held);
}

}  // namespace kelvara::py
