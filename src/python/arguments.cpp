#include "python/arguments.hpp"

#include <cstring>
#include <span>

namespace kelvara::py {
namespace {

bool too_many(const Signature& signature, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional argument%s (%zd given)", signature.function,
                 static_cast<Py_ssize_t>(signature.names.size()), signature.names.size() == 1 ? "" : "s", given);
    return false;
}

// Places one keyword argument; false with TypeError set on a repeat or an unknown name.
bool place_keyword(const Signature& signature, PyObject* key, PyObject* value, std::span<PyObject*> bound) {
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) != 0) continue;
        if (bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                         signature.function, signature.names[i], static_cast<Py_ssize_t>(i + 1));
            return false;
        }
        bound[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.function, key);
    return false;
}

bool check_required(const Signature& signature, std::span<PyObject*> bound) {
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", signature.function,
                         signature.names[i], static_cast<Py_ssize_t>(i + 1));
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
    nargs = PyVectorcall_NARGS(nargs);
    std::fill(bound.begin(), bound.end(), nullptr);
    if (static_cast<std::size_t>(nargs) > signature.names.size()) return too_many(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], bound)) return false;
        }
    }
    return check_required(signature, bound);
}

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > signature.names.size()) return too_many(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        bool ok = true;
        KELVARA_BEGIN_CRITICAL_SECTION(kwargs);
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (ok && PyDict_Next(kwargs, &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                ok = false;
            } else {
                ok = place_keyword(signature, key, value, bound);
            }
        }
        KELVARA_END_CRITICAL_SECTION();
        if (!ok) return false;
    }
    return check_required(signature, bound);
}

}  // namespace kelvara::py
