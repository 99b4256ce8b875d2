// _elements() and _param_elements(): the catalogue's facts for the Python
// helpers (the command line's listing, selection's reductions), so that they
// read them from the one table instead of parsing labels or units.
#include "python/objects.hpp"

#include <string_view>

#include "circuit/parser.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace kelvara::py {
namespace {

PyObject* drift_text(Drift drift) {
    switch (drift) {
        case Drift::grows: return to_str("grows");
        case Drift::falls: return to_str("falls");
        case Drift::none: break;
    }
    Py_RETURN_NONE;
}

// A tuple of `count` items made by `item(i)`; null with an exception set.
template <class F>
PyObject* tuple_of(std::size_t count, F&& item) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* value = item(i);
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
    }
    return tuple.release();
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* kind_record(const KindInfo& info, Kind kind) {
    Ref record(PyDict_New());
    if (!record) return nullptr;
    const std::size_t n = info.param_count;
    const std::size_t exponent = exponent_index(kind);
    const bool ok =
        set_item(record.get(), "code", to_str(info.canonical_code)) &&
        set_item(record.get(), "help_code", to_str(info.help_code)) &&
        set_item(record.get(), "codes", info.alternative_code.empty()
                                            ? Py_BuildValue("(N)", to_str(info.canonical_code))
                                            : Py_BuildValue("(NN)", to_str(info.canonical_code),
                                                            to_str(info.alternative_code))) &&
        set_item(record.get(), "params", tuple_of(n, [&](std::size_t i) { return to_str(info.param_names[i]); })) &&
        set_item(record.get(), "units", tuple_of(n, [&](std::size_t i) { return to_str(info.units[i]); })) &&
        set_item(record.get(), "defaults",
                 tuple_of(n, [&](std::size_t i) { return PyFloat_FromDouble(info.defaults[i]); })) &&
        set_item(record.get(), "bounds", tuple_of(n, [&](std::size_t i) {
                     const Bounds b = bounds_of(info.quantities[i]);
                     return Py_BuildValue("(dd)", b.lo, b.hi);
                 })) &&
        set_item(record.get(), "exponent",
                 exponent == no_param ? Py_NewRef(Py_None) : PyLong_FromSize_t(exponent)) &&
        set_item(record.get(), "drifts", tuple_of(n, [&](std::size_t i) { return drift_text(info.drifts[i]); }));
    return ok ? record.release() : nullptr;
}

PyObject* elements(PyObject*, PyObject*) {
    return tuple_of(kind_count, [](std::size_t i) { return kind_record(kind_info(kind_at(i)), kind_at(i)); });
}

PyObject* param_elements(PyObject*, PyObject* circuit) {
    if (!is_circuit(circuit)) return raise(PyExc_TypeError, "_param_elements() takes a Circuit");
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const LeafRef& leaf : collect_leaves(circuit_data(circuit).tree)) {
        const KindInfo& info = kind_info(leaf.element.kind);
        for (std::size_t i = 0; i < info.param_count; ++i) {
            Ref pair(Py_BuildValue("(s#n)", info.canonical_code.data(),
                                   static_cast<Py_ssize_t>(info.canonical_code.size()), static_cast<Py_ssize_t>(i)));
            if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
        }
    }
    return list.release();
}

}  // namespace

PyMethodDef element_functions[] = {
    {"_elements", guarded_method<elements>(), METH_NOARGS,
     "The element catalogue: one dict per kind, in kind order."},
    {"_param_elements", guarded_method<param_elements>(), METH_O,
     "(canonical code of its element, its position in the element) for each parameter."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
