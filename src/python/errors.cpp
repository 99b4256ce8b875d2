#include "python/errors.hpp"

#include <exception>
#include <new>

#include <cstring>

namespace kelvara::py {
namespace {

PyObject* panic_type = nullptr;  // owned by the module for the life of the process

}  // namespace

PyObject* panic_exception_type() { return panic_type; }

bool create_panic_exception_type() {
    if (panic_type != nullptr) return true;
    panic_type = PyErr_NewExceptionWithDoc(
        "kelvara.PanicException",
        "An internal invariant of kelvara was violated. Derives from BaseException so that\n"
        "ordinary `except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
    return panic_type != nullptr;
}

std::nullptr_t raise(PyObject* type, std::string_view message) {
    Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

std::nullptr_t raise_panic(std::string_view message) { return raise(panic_exception_type(), message); }

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown C++ exception");
    }
}

bool clear_if_one_of(std::initializer_list<PyObject*> kinds) {
    for (PyObject* kind : kinds) {
        if (PyErr_ExceptionMatches(kind)) {
            PyErr_Clear();
            return true;
        }
    }
    return false;
}

bool clear_missing_key() {
    // Running out of memory says nothing about the key; everything else a
    // lookup raises (polars raises its own ColumnNotFoundError) means absent.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    return clear_if_one_of({PyExc_Exception});
}

bool clear_not_numeric() {
    return clear_if_one_of({PyExc_TypeError, PyExc_ValueError, PyExc_OverflowError, PyExc_BufferError});
}

std::string type_name(PyObject* object) {
    const char* name = Py_TYPE(object)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

std::nullptr_t raise_cannot_convert(PyObject* object, std::string_view target) {
    return raise(PyExc_TypeError,
                 "'" + type_name(object) + "' object cannot be converted to '" + std::string(target) + "'");
}

void prefix_argument_error(std::string_view name) {
    if (!PyErr_Occurred()) return;
#if PY_VERSION_HEX >= 0x030C0000
    Ref original(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref original(value);
#endif
    if (!original) return;
    if (Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(original.release());
#else
        PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(original.get())));
        PyObject* traceback = PyException_GetTraceback(original.get());
        PyErr_Restore(type, original.release(), traceback);
#endif
        return;
    }
    Ref text(PyObject_Str(original.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%.200s': %U", std::string(name).c_str(), text.get()));
    if (!message) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), original.release());  // steals
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace kelvara::py
