#include "python/batch.hpp"

#include <chrono>
#include <string>

#include "support/worker_pool.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {
namespace {

constexpr auto watch_interval = std::chrono::milliseconds(50);

// The pending exception, normalised, with its traceback; the error indicator is cleared.
PyObject* take_raised_exception() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

bool report(PyObject* progress, std::size_t done, std::size_t count) {
    Ref ignored(PyObject_CallFunction(progress, "nn", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(count)));
    return static_cast<bool>(ignored);
}

}  // namespace

Batch::Batch(PyObject* progress) : progress_(progress == Py_None ? nullptr : progress) {}

InterruptCheck Batch::interrupt() {
    return {[](void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(); }, &stop_};
}

bool Batch::run(std::size_t count, FunctionRef<void(std::size_t)> task) {
    std::atomic<std::size_t> done{0};
    bool failed = false;
    {
        ReleasedInterpreter released;
        auto counted = [&](std::size_t i) {
            if (stop_.load()) return;
            task(i);
            ++done;
        };
        std::size_t reported = static_cast<std::size_t>(-1);
        auto watch = [&] {
            if (stop_.load()) return;
            const std::size_t now = done.load();
            bool raised = released.signal_raised();
            if (!raised && progress_ != nullptr && now != reported) {
                reported = now;
                released.with_interpreter([&] { raised = !report(progress_, now, count); });
            }
            if (raised) {
                failed = true;
                stop_.store(true);
            }
        };
        run_watched(count, counted, watch, watch_interval);
    }
    if (failed) {
        if (!PyErr_Occurred()) raise(PyExc_KeyboardInterrupt, "");
        return false;
    }
    return progress_ == nullptr || report(progress_, count, count);
}

bool read_batch_spectra(const char* function, PyObject* frequency_list, PyObject* impedance_list,
                        std::vector<BatchSpectrum>& out) {
    if (!PyList_Check(frequency_list) || !PyList_Check(impedance_list) ||
        PyList_GET_SIZE(frequency_list) != PyList_GET_SIZE(impedance_list)) {
        raise(PyExc_TypeError, std::string(function) + "() takes two lists of equal length");
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(PyList_GET_SIZE(frequency_list));
    out.clear();
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!read_measured(PyList_GET_ITEM(frequency_list, static_cast<Py_ssize_t>(i)),
                           PyList_GET_ITEM(impedance_list, static_cast<Py_ssize_t>(i)), out[i].spectrum)) {
            PyObject* exception = take_raised_exception();
            if (exception == nullptr) return false;
            if (!PyErr_GivenExceptionMatches(exception, PyExc_Exception)) {
                PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception, nullptr);
                return false;
            }
            out[i].error = Ref(exception);
            continue;
        }
    }
    return true;
}

}  // namespace kelvara::py
