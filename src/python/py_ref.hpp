// Owned Python references and the release of the interpreter lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/cancellation.hpp"

#include <utility>

namespace kelvara::py {

// One owned reference, released when the holder goes out of scope.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : object_(owned) {}
    static Ref borrowed(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = other.release();
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller (e.g. as a function's return value).
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

// Detaches the calling thread from the interpreter for the scope's lifetime;
// no Python object may be touched inside.
class ReleasedInterpreter {
public:
    ReleasedInterpreter() : state_(PyEval_SaveThread()) {}
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;
    ~ReleasedInterpreter() { PyEval_RestoreThread(state_); }

    // Runs f() attached to the interpreter.
    template <class F>
    void with_interpreter(F&& f) {
        PyEval_RestoreThread(state_);
        f();
        state_ = PyEval_SaveThread();
    }

    // Briefly reattaches to run the interpreter's signal handlers (on the
    // main thread; elsewhere a no-op) and to look at the thread's cancel
    // events. True when one raised, KeyboardInterrupt for Ctrl-C or a
    // cancel: the exception stays pending for when the scope ends.
    bool signal_raised() {
        bool raised = false;
        with_interpreter([&] { raised = PyErr_CheckSignals() != 0 || cancellation_requested(); });
        return raised;
    }

private:
    PyThreadState* state_;
};

}  // namespace kelvara::py

// Critical sections exist on interpreters from 3.13; elsewhere the
// interpreter lock already serialises access.
#if PY_VERSION_HEX >= 0x030D0000
#define KELVARA_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define KELVARA_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define KELVARA_BEGIN_CRITICAL_SECTION(op) {
#define KELVARA_END_CRITICAL_SECTION() }
#endif
