#include "python/cancellation.hpp"

#include <vector>

#include "python/barrier.hpp"
#include "python/py_ref.hpp"

namespace kelvara::py {
namespace {

// The calling thread's events, innermost last; each an owned reference.
thread_local std::vector<PyObject*> events;

PyObject* push_cancel(PyObject*, PyObject* event) {
    PyObject* asking = PyObject_GetAttrString(event, "is_set");
    if (asking == nullptr) return nullptr;  // AttributeError: not an event
    Py_DECREF(asking);
    events.push_back(event);
    Py_INCREF(event);
    Py_RETURN_NONE;
}

PyObject* pop_cancel(PyObject*, PyObject*) {
    if (events.empty()) {
        PyErr_SetString(PyExc_RuntimeError, "_pop_cancel() without a matching _push_cancel() on this thread");
        return nullptr;
    }
    Py_DECREF(events.back());
    events.pop_back();
    Py_RETURN_NONE;
}

}  // namespace

bool cancellation_requested() {
    for (PyObject* event : events) {
        Ref answer(PyObject_CallMethod(event, "is_set", nullptr));
        const int set = answer ? PyObject_IsTrue(answer.get()) : -1;
        if (set < 0) return true;  // its exception ends the call
        if (set > 0) {
            PyErr_SetString(PyExc_KeyboardInterrupt, "cancelled");
            return true;
        }
    }
    return false;
}

PyMethodDef cancellation_functions[] = {
    {"_push_cancel", guarded_method<push_cancel>(), METH_O, nullptr},
    {"_pop_cancel", guarded_method<pop_cancel>(), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
