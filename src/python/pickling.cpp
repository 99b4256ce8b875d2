// Pickling and copying of Circuit, the element classes and FitResult. Each
// reduces to a private restore function of this module and a plain state of
// tuples, lists, strings and floats that names its format, so that a pickle
// from another format is refused with a clear message and a damaged one can
// never build an invalid object: the restore functions check every piece.
//
// Circuit state:   ("kelvara.Circuit", 1, tree, explicit_values[, control])
//   tree: list of nodes; a leaf is (code, label, (params...)), a parallel
//   group a list of branches, each a list of nodes. A label is empty or one
//   the notation gives an element of that code.
//   control, only for a circuit with fixed parameters or bounds of its own:
//   (fixed, bounds), a list of bools and a list of None or (lo, hi), one
//   entry per parameter; then, only when some parameter is held at the
//   fit's start (fixed without a value on placeholder values), a third list
//   of bools saying which. Without it the state is the one earlier versions
//   wrote and read.
// Element state:   ("kelvara.Element", 1, code, (params...))
// FitResult state: ("kelvara.FitResult", 1, circuit state, names, params,
//                   stderr or None, iterations, impedance_evals, cost,
//                   chi_square, success, message[, diagnostics]); the
//                   names are the circuit's own parameter names.
//   diagnostics: (residual_count, covariance, residuals, frequencies,
//   impedances, flags or None), lists of floats (impedances of complex);
//   states without it (earlier versions) restore with the statistics NaN and
//   the flags of what can still be checked.
#include "python/objects.hpp"

#include <limits>
#include <string>
#include <utility>

#include "circuit/layout.hpp"
#include "circuit/notation_text.hpp"
#include "circuit/parser.hpp"
#include "support/quoted.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelvara::py {
namespace {

constexpr long format = 1;

// ---- state out ----

PyObject* params_tuple(const Element& element) {
    const std::size_t n = element.param_count();
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* value = PyFloat_FromDouble(element.params[i]);
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
    }
    return tuple.release();
}

PyObject* series_state(const SeriesList& series) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(series.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < series.size(); ++i) {
        PyObject* node = nullptr;
        if (const auto* leaf = std::get_if<Leaf>(&series[i].value)) {
            node = Py_BuildValue("(s#s#N)", kind_info(leaf->element.kind).canonical_code.data(),
                                 static_cast<Py_ssize_t>(kind_info(leaf->element.kind).canonical_code.size()),
                                 leaf->label.data(), static_cast<Py_ssize_t>(leaf->label.size()),
                                 params_tuple(leaf->element));
        } else {
            const auto& group = std::get<ParallelGroup>(series[i].value);
            Ref branches(PyList_New(static_cast<Py_ssize_t>(group.branches.size())));
            if (!branches) return nullptr;
            for (std::size_t b = 0; b < group.branches.size(); ++b) {
                PyObject* branch = series_state(group.branches[b]);
                if (branch == nullptr) return nullptr;
                PyList_SET_ITEM(branches.get(), static_cast<Py_ssize_t>(b), branch);
            }
            node = branches.release();
        }
        if (node == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node);
    }
    return list.release();
}

PyObject* control_state(const CircuitControl& control, std::size_t count) {
    Ref fixed(PyList_New(static_cast<Py_ssize_t>(count)));
    Ref bounds(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!fixed || !bounds) return nullptr;
    for (std::size_t j = 0; j < count; ++j) {
        const bool held = j < control.fixed.size() && control.fixed[j];
        PyList_SET_ITEM(fixed.get(), static_cast<Py_ssize_t>(j), Py_NewRef(held ? Py_True : Py_False));
        PyObject* pair = j < control.bounds.size() && control.bounds[j]
                             ? Py_BuildValue("(dd)", control.bounds[j]->lo, control.bounds[j]->hi)
                             : Py_NewRef(Py_None);
        if (pair == nullptr) return nullptr;
        PyList_SET_ITEM(bounds.get(), static_cast<Py_ssize_t>(j), pair);
    }
    if (control.deferred.empty()) return Py_BuildValue("(OO)", fixed.get(), bounds.get());
    // Held at the fit's start rather than at the placeholder: a third list, only when used.
    Ref deferred(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!deferred) return nullptr;
    for (std::size_t j = 0; j < count; ++j) {
        PyList_SET_ITEM(deferred.get(), static_cast<Py_ssize_t>(j), Py_NewRef(control.is_deferred(j) ? Py_True : Py_False));
    }
    return Py_BuildValue("(OOO)", fixed.get(), bounds.get(), deferred.get());
}

PyObject* circuit_state(const SeriesList& tree, bool explicit_values, const CircuitControl& control) {
    if (control.empty()) {
        return Py_BuildValue("(slNO)", "kelvara.Circuit", format, series_state(tree),
                             explicit_values ? Py_True : Py_False);
    }
    return Py_BuildValue("(slNON)", "kelvara.Circuit", format, series_state(tree),
                         explicit_values ? Py_True : Py_False, control_state(control, param_count(tree)));
}

// ---- state in: every check fails with "cannot restore {what}: {why}" ----

std::nullptr_t refuse(const char* what, const std::string& why) {
    return raise(PyExc_ValueError, std::string("cannot restore ") + what + ": " + why);
}

// The (tag, format, ...) header; false with ValueError set when it is not
// ours. A state may have `size` items, or `size` + `optional`.
bool check_header(PyObject* state, const char* tag, Py_ssize_t size, Py_ssize_t optional = 0) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) < 2) {
        refuse(tag, "the pickled state is not a tuple starting with its format");
        return false;
    }
    PyObject* name = PyTuple_GET_ITEM(state, 0);
    PyObject* version = PyTuple_GET_ITEM(state, 1);
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, tag) != 0 || !PyLong_Check(version)) {
        refuse(tag, "the pickled state is not one of this class");
        return false;
    }
    int overflow = 0;
    const long got = PyLong_AsLongAndOverflow(version, &overflow);
    if (got == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || got != format) {
        const std::string pickled = overflow != 0 ? "an unknown format" : "format " + std::to_string(got);
        refuse(tag, "it was pickled in " + pickled + ", and this version of kelvara reads format " +
                        std::to_string(format));
        return false;
    }
    if (PyTuple_GET_SIZE(state) != size && !(optional > 0 && PyTuple_GET_SIZE(state) == size + optional)) {
        refuse(tag, "the pickled state has " + std::to_string(PyTuple_GET_SIZE(state)) + " items, expected " +
                        std::to_string(size));
        return false;
    }
    return true;
}

bool read_double(PyObject* object, const char* what, double& out) {
    if (!PyFloat_Check(object)) {
        refuse(what, "expected a float, got '" + type_name(object) + "'");
        return false;
    }
    out = PyFloat_AS_DOUBLE(object);
    return true;
}

bool read_text(PyObject* object, const char* what, std::string& out) {
    if (!PyUnicode_Check(object)) {
        refuse(what, "expected a str, got '" + type_name(object) + "'");
        return false;
    }
    return to_utf8(object, out);
}

bool read_element(PyObject* code_object, PyObject* params, const char* what, Element& out) {
    std::string code;
    if (!read_text(code_object, what, code)) return false;
    const std::optional<Element> element = default_for_code(code);
    if (!element || code != kind_info(element->kind).canonical_code) {
        refuse(what, "unknown element code \"" + code + "\"");
        return false;
    }
    out = *element;
    if (!PyTuple_Check(params) || static_cast<std::size_t>(PyTuple_GET_SIZE(params)) != out.param_count()) {
        refuse(what, "element " + code + " needs a tuple of " + std::to_string(out.param_count()) + " values");
        return false;
    }
    for (std::size_t i = 0; i < out.param_count(); ++i) {
        if (!read_double(PyTuple_GET_ITEM(params, static_cast<Py_ssize_t>(i)), what, out.params[i])) return false;
    }
    return true;
}

// A label reads back through the notation parser as one leaf of the element's
// own kind, so that the circuit's notation parses to the same circuit. Leaves
// built from element objects have none.
bool label_fits(const std::string& label, Kind kind) {
    if (label.empty()) return true;
    const auto parsed = parse(label);
    if (!parsed || parsed.value().size() != 1) return false;
    const auto* leaf = std::get_if<Leaf>(&parsed.value().front().value);
    return leaf != nullptr && leaf->element.kind == kind;
}

bool read_series(PyObject* list, std::size_t depth, SeriesList& out) {
    constexpr const char* what = "kelvara.Circuit";
    if (!PyList_Check(list)) {
        refuse(what, "a series must be a list, got '" + type_name(list) + "'");
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* node = PyList_GET_ITEM(list, i);
        if (PyTuple_Check(node) && PyTuple_GET_SIZE(node) == 3) {
            Leaf leaf{Element{}, {}};
            if (!read_element(PyTuple_GET_ITEM(node, 0), PyTuple_GET_ITEM(node, 2), what, leaf.element) ||
                !read_text(PyTuple_GET_ITEM(node, 1), what, leaf.label)) {
                return false;
            }
            if (!label_fits(leaf.label, leaf.element.kind)) {
                refuse(what, quoted(leaf.label) + " is not a label of an element " +
                                 std::string(kind_info(leaf.element.kind).canonical_code));
                return false;
            }
            out.push_back(Node{std::move(leaf)});
        } else if (PyList_Check(node)) {
            if (depth >= max_nesting_depth) {
                refuse(what, "parallel groups nested more than " + std::to_string(max_nesting_depth) + " levels deep");
                return false;
            }
            ParallelGroup group;
            for (Py_ssize_t b = 0; b < PyList_GET_SIZE(node); ++b) {
                SeriesList branch;
                if (!read_series(PyList_GET_ITEM(node, b), depth + 1, branch)) return false;
                group.branches.push_back(std::move(branch));
            }
            out.push_back(Node{std::move(group)});
        } else {
            refuse(what, "a node must be a (code, label, params) tuple or a list of branches");
            return false;
        }
    }
    return true;
}

bool read_control_state(PyObject* state, const SeriesList& tree, CircuitControl& out) {
    constexpr const char* what = "kelvara.Circuit";
    const std::size_t count = param_count(tree);
    const bool has_deferred = PyTuple_Check(state) && PyTuple_GET_SIZE(state) == 3;
    if (has_deferred) {
        PyObject* deferred = PyTuple_GET_ITEM(state, 2);
        if (!PyList_Check(deferred) || static_cast<std::size_t>(PyList_GET_SIZE(deferred)) != count) {
            refuse(what, "the held-at-start flags must be a list of " + std::to_string(count) + " entries");
            return false;
        }
        for (std::size_t j = 0; j < count; ++j) {
            PyObject* flag = PyList_GET_ITEM(deferred, static_cast<Py_ssize_t>(j));
            if (!PyBool_Check(flag)) {
                refuse(what, "a held-at-start flag must be a bool");
                return false;
            }
            out.deferred.push_back(flag == Py_True);
        }
    }
    if (!PyTuple_Check(state) || (PyTuple_GET_SIZE(state) != 2 && !has_deferred) ||
        !PyList_Check(PyTuple_GET_ITEM(state, 0)) ||
        !PyList_Check(PyTuple_GET_ITEM(state, 1)) ||
        static_cast<std::size_t>(PyList_GET_SIZE(PyTuple_GET_ITEM(state, 0))) != count ||
        static_cast<std::size_t>(PyList_GET_SIZE(PyTuple_GET_ITEM(state, 1))) != count) {
        refuse(what, "the parameter control must be two lists of " + std::to_string(count) + " entries");
        return false;
    }
    const std::vector<std::string> names = param_names(tree);
    for (std::size_t j = 0; j < count; ++j) {
        PyObject* held = PyList_GET_ITEM(PyTuple_GET_ITEM(state, 0), static_cast<Py_ssize_t>(j));
        PyObject* pair = PyList_GET_ITEM(PyTuple_GET_ITEM(state, 1), static_cast<Py_ssize_t>(j));
        if (!PyBool_Check(held)) {
            refuse(what, "a fixed flag must be a bool");
            return false;
        }
        out.fixed.push_back(held == Py_True);
        if (pair == Py_None) {
            out.bounds.emplace_back();
            continue;
        }
        Bounds b{};
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !read_double(PyTuple_GET_ITEM(pair, 0), what, b.lo) ||
            !read_double(PyTuple_GET_ITEM(pair, 1), what, b.hi)) {
            if (!PyErr_Occurred()) refuse(what, "bounds must be None or a (lo, hi) tuple of floats");
            return false;
        }
        // Stored bounds from before negative lower bounds were refused still load;
        // a fit of such a circuit then says what is wrong with them.
        constexpr Bounds anything{-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
        if (auto error = check_user_bounds(names[j], b, anything)) {
            refuse(what, *error);
            return false;
        }
        out.bounds.emplace_back(b);
    }
    return true;
}

bool read_circuit_state(PyObject* state, SeriesList& tree, bool& explicit_values, CircuitControl& control) {
    if (!check_header(state, "kelvara.Circuit", 4, 1)) return false;
    if (!read_series(PyTuple_GET_ITEM(state, 2), 0, tree)) return false;
    PyObject* flag = PyTuple_GET_ITEM(state, 3);
    if (!PyBool_Check(flag)) {
        refuse("kelvara.Circuit", "explicit_values must be a bool");
        return false;
    }
    explicit_values = flag == Py_True;
    return PyTuple_GET_SIZE(state) == 4 || read_control_state(PyTuple_GET_ITEM(state, 4), tree, control);
}

bool read_float_list(PyObject* list, std::size_t size, const char* what, std::vector<double>& out) {
    if (!PyList_Check(list) || static_cast<std::size_t>(PyList_GET_SIZE(list)) != size) {
        refuse(what, "expected a list of " + std::to_string(size) + " floats");
        return false;
    }
    out.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (!read_double(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)), what, out[i])) return false;
    }
    return true;
}

bool read_count(PyObject* object, const char* what, std::uint64_t& out) {
    if (!PyLong_Check(object)) {
        refuse(what, "expected an int count");
        return false;
    }
    out = PyLong_AsUnsignedLongLong(object);
    if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        refuse(what, "a count must be from 0 to 2**64 - 1");
        return false;
    }
    return true;
}

bool read_complex_list(PyObject* list, std::size_t size, const char* what, std::vector<Complex>& out) {
    if (!PyList_Check(list) || static_cast<std::size_t>(PyList_GET_SIZE(list)) != size) {
        refuse(what, "expected a list of " + std::to_string(size) + " complex numbers");
        return false;
    }
    out.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* value = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
        if (!PyComplex_Check(value)) {
            refuse(what, "expected a complex, got '" + type_name(value) + "'");
            return false;
        }
        out[i] = {PyComplex_RealAsDouble(value), PyComplex_ImagAsDouble(value)};
    }
    return true;
}

std::size_t list_size(PyObject* object) {
    return PyList_Check(object) ? static_cast<std::size_t>(PyList_GET_SIZE(object)) : 0;
}

// The diagnostics item of a FitResult state; `flags` is borrowed from it.
bool read_diagnostics(PyObject* state, FitOutcome& outcome, PyObject*& flags) {
    constexpr const char* what = "kelvara.FitResult";
    std::uint64_t residual_count = 0;
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 6) {
        refuse(what, "the diagnostics must be a tuple of 6 items");
        return false;
    }
    auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
    const std::size_t free = outcome.free_count(), points = list_size(item(3));
    if (!read_count(item(0), what, residual_count)) return false;
    if (residual_count != 2 * points) {
        refuse(what, "the residual count does not match the spectrum");
        return false;
    }
    outcome.residual_count = static_cast<std::size_t>(residual_count);
    std::vector<double> frequencies_hz;
    std::vector<Complex> impedances;
    if (!read_float_list(item(1), list_size(item(1)) == 0 ? 0 : free * free, what, outcome.covariance) ||
        !read_float_list(item(2), outcome.residual_count, what, outcome.residuals) ||
        !read_float_list(item(3), points, what, frequencies_hz) ||
        !read_complex_list(item(4), points, what, impedances)) {
        return false;
    }
    // Both lists hold `points` items: the check always gives a spectrum.
    auto spectrum = MeasuredSpectrum::check(std::move(frequencies_hz), std::move(impedances));
    if (spectrum) outcome.spectrum = std::move(*spectrum);
    flags = item(5) == Py_None ? nullptr : item(5);
    if (flags != nullptr && !PyList_Check(flags)) {
        refuse(what, "the flags must be a list or None");
        return false;
    }
    return true;
}

PyObject* restore_circuit(PyObject*, PyObject* state) {
    SeriesList tree;
    bool explicit_values = false;
    CircuitControl control;
    if (!read_circuit_state(state, tree, explicit_values, control)) return nullptr;
    return make_circuit(std::move(tree), explicit_values, std::move(control));
}

PyObject* restore_element(PyObject*, PyObject* state) {
    if (!check_header(state, "kelvara.Element", 4)) return nullptr;
    Element element{};
    if (!read_element(PyTuple_GET_ITEM(state, 2), PyTuple_GET_ITEM(state, 3), "kelvara.Element", element)) {
        return nullptr;
    }
    PyTypeObject* type = element_variant_type(element.kind);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<ElementObject*>(self)->element = element;
    return self;
}

PyObject* restore_fit_result(PyObject*, PyObject* state) {
    constexpr const char* what = "kelvara.FitResult";
    if (!check_header(state, what, 12, 1)) return nullptr;
    auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
    FitOutcome outcome;
    bool explicit_values = false;
    CircuitControl control;
    if (!read_circuit_state(item(2), outcome.circuit, explicit_values, control)) return nullptr;
    const std::size_t count = param_count(outcome.circuit);
    if (!PyList_Check(item(3)) || static_cast<std::size_t>(PyList_GET_SIZE(item(3))) != count) {
        return refuse(what, "expected " + std::to_string(count) + " parameter names");
    }
    // Results name a composed circuit's repeated parameters as its notation does;
    // stored ones from before may carry the repeated names.
    const std::vector<std::string> expected = distinct_param_names(outcome.circuit);
    const std::vector<std::string> repeated = param_names(outcome.circuit);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(item(3)); ++i) {
        std::string name;
        if (!read_text(PyList_GET_ITEM(item(3), i), what, name)) return nullptr;
        const auto j = static_cast<std::size_t>(i);
        if (name != expected[j] && name != repeated[j]) {
            return refuse(what, "parameter name " + quoted(name) + " does not match the circuit's " +
                                    quoted(expected[j]));
        }
        outcome.param_names.push_back(expected[j]);
    }
    if (!read_float_list(item(4), count, what, outcome.params)) return nullptr;
    if (item(5) != Py_None) {
        std::vector<double> errors;
        if (!read_float_list(item(5), count, what, errors)) return nullptr;
        outcome.stderr_values = std::move(errors);
    }
    if (!read_count(item(6), what, outcome.iterations) || !read_count(item(7), what, outcome.impedance_evals) ||
        !read_double(item(8), what, outcome.cost) || !read_double(item(9), what, outcome.chi_square)) {
        return nullptr;
    }
    if (!PyBool_Check(item(10))) return refuse(what, "success must be a bool");
    outcome.success = item(10) == Py_True;
    if (!read_text(item(11), what, outcome.message)) return nullptr;
    control.drop_unused();
    if (!control.fixed.empty()) outcome.fixed = control.fixed;
    PyObject* flags = nullptr;
    if (PyTuple_GET_SIZE(state) == 13 && !read_diagnostics(item(12), outcome, flags)) return nullptr;
    Ref result(make_fit_result(std::move(outcome), std::move(control)));
    if (result && flags != nullptr) {
        Ref done(PyObject_CallMethod(result.get(), "_set_flags", "O", flags));
        if (!done) return nullptr;
    }
    return result.release();
}

// (restore function, (state,)) for __reduce__.
PyObject* reduced(const char* function, PyObject* state) {
    Ref owned(state);
    if (!owned) return nullptr;
    Ref module(PyImport_ImportModule("kelvara._core"));
    if (!module) return nullptr;
    Ref restore(PyObject_GetAttrString(module.get(), function));
    if (!restore) return nullptr;
    return Py_BuildValue("(O(O))", restore.get(), owned.get());
}

}  // namespace

PyObject* circuit_reduce(PyObject* self, PyObject*) {
    const CircuitData& data = circuit_data(self);
    return reduced("_restore_circuit", circuit_state(data.tree, data.explicit_values, data.control));
}

PyObject* element_reduce(PyObject* self, PyObject*) {
    const Element& element = reinterpret_cast<ElementObject*>(self)->element;
    const std::string_view code = kind_info(element.kind).canonical_code;
    return reduced("_restore_element", Py_BuildValue("(sls#N)", "kelvara.Element", format, code.data(),
                                                     static_cast<Py_ssize_t>(code.size()), params_tuple(element)));
}

PyObject* fit_result_reduce(PyObject* self, PyObject*) {
    const FitOutcome& o = fit_outcome(self);
    Ref errors(o.stderr_values ? to_float_list(*o.stderr_values) : Py_NewRef(Py_None));
    if (!errors) return nullptr;
    const std::span<const Complex> measured = o.spectrum.impedances();
    Ref impedances(PyList_New(static_cast<Py_ssize_t>(measured.size())));
    if (!impedances) return nullptr;
    for (std::size_t i = 0; i < measured.size(); ++i) {
        PyObject* value = PyComplex_FromDoubles(measured[i].re, measured[i].im);
        if (value == nullptr) return nullptr;
        PyList_SET_ITEM(impedances.get(), static_cast<Py_ssize_t>(i), value);
    }
    // The flags worked out so far travel along (a comparison's among them).
    PyObject* flags = fit_result_flags(self);
    Ref diagnostics(Py_BuildValue("(KNNNOO)", static_cast<unsigned long long>(o.residual_count),
                                  to_float_list(o.covariance), to_float_list(o.residuals),
                                  to_float_list(o.spectrum.frequencies_hz()), impedances.get(),
                                  flags ? flags : Py_None));
    if (!diagnostics) return nullptr;
    return reduced("_restore_fit_result",
                   Py_BuildValue("(slNNNOKKddONO)", "kelvara.FitResult", format, circuit_state(o.circuit, true, fit_control(self)),
                                 to_str_list(o.param_names), to_float_list(o.params), errors.get(),
                                 static_cast<unsigned long long>(o.iterations),
                                 static_cast<unsigned long long>(o.impedance_evals), o.cost, o.chi_square,
                                 o.success ? Py_True : Py_False, to_str(o.message), diagnostics.get()));
}

PyMethodDef pickle_functions[] = {
    {"_restore_circuit", guarded_method<restore_circuit>(), METH_O, nullptr},
    {"_restore_element", guarded_method<restore_element>(), METH_O, nullptr},
    {"_restore_fit_result", guarded_method<restore_fit_result>(), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
