// Circuit._fit_many(): one circuit fitted to many spectra on the worker pool,
// with the interpreter released for the whole batch. Each spectrum goes
// through exactly the steps of Circuit.fit (the same start decision, guess
// and engine call), so each result equals fitting that spectrum alone; the
// nested parallel work of one fit runs inline on its worker. The calling
// thread watches: every 50 ms it reattaches to run signal handlers and the
// progress callback. kelvara.fit_many (python/kelvara/_batch.py) is the
// public face: it reads the many input forms into two lists of arrays.
#include "python/objects.hpp"

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "circuit/layout.hpp"
#include "circuit/unusable_points.hpp"
#include "support/worker_pool.hpp"
#include "fit/dispatch.hpp"
#include "models/guess.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/fit_options.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {
namespace {

constexpr auto watch_interval = std::chrono::milliseconds(50);

struct Slot {
    FitRequest request;
    std::optional<FitOutcome> outcome;
    std::optional<FitError> fit_error;
    std::optional<GuessError> guess_error;
    Ref conversion_error;  // the exception of a spectrum that could not be read
};

// The exception instance of a failed slot.
PyObject* slot_exception(Slot& slot) {
    if (slot.conversion_error) return slot.conversion_error.release();
    PyObject* const type = slot.guess_error ? guess_error_type(*slot.guess_error) : fit_error_type(*slot.fit_error);
    const std::string message = slot.guess_error ? slot.guess_error->message : slot.fit_error->message();
    return PyObject_CallFunction(type, "s#", message.data(), static_cast<Py_ssize_t>(message.size()));
}

PyObject* take_raised_exception() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
}

}  // namespace

PyObject* circuit_fit_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t progress = fit_argument_count;
    const char* names[fit_argument_count + 1];
    for (std::size_t i = 0; i < fit_argument_count; ++i) names[i] = fit_argument_names[i];
    names[progress] = "progress";
    PyObject* bound[fit_argument_count + 1];
    if (!bind_arguments({"_fit_many", names, 2}, args, nargs, kwnames, bound)) return nullptr;
    FitOptions options;
    if (!read_fit_options(bound, options)) return nullptr;
    Weighting weighting;
    if (!read_weighting(options.weight_name, weighting)) return nullptr;
    PyObject* frequency_list = bound[frequencies];
    PyObject* impedance_list = bound[impedances];
    if (!PyList_Check(frequency_list) || !PyList_Check(impedance_list) ||
        PyList_GET_SIZE(frequency_list) != PyList_GET_SIZE(impedance_list)) {
        return raise(PyExc_TypeError, "_fit_many() takes two lists of equal length");
    }
    PyObject* progress_callback = bound[progress] != nullptr && bound[progress] != Py_None ? bound[progress] : nullptr;

    const CircuitData& data = circuit_data(self);
    bool guessing = false;
    std::optional<RegistryMatch> match;
    // A circuit with neither values of its own nor a trained model starts
    // from each spectrum's own data rather than from placeholders.
    bool data_starting = false;
    if (!options.guess && !options.weights_path && !data.explicit_values) {
        if (!data.registry_match) data.registry_match.emplace(find_for_topology(data.tree));
        data_starting = !data.registry_match->has_value();
    }
    if (!data_starting && !decide_guess(data, options, guessing, &match)) return nullptr;

    const std::size_t count = static_cast<std::size_t>(PyList_GET_SIZE(frequency_list));
    std::vector<Slot> slots(count);
    std::optional<std::pair<std::size_t, std::string>> unusable;  // the first, for one warning
    for (std::size_t i = 0; i < count; ++i) {
        Spectrum spectrum;
        if (!read_spectrum(PyList_GET_ITEM(frequency_list, static_cast<Py_ssize_t>(i)),
                           PyList_GET_ITEM(impedance_list, static_cast<Py_ssize_t>(i)), spectrum)) {
            PyObject* exception = take_raised_exception();
            if (exception == nullptr) return nullptr;
            if (!PyErr_GivenExceptionMatches(exception, PyExc_Exception)) {
                // KeyboardInterrupt and the like end the batch.
                PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception, nullptr);
                return nullptr;
            }
            slots[i].conversion_error = Ref(exception);
            continue;
        }
        FitRequest& request = slots[i].request;
        request = options.request;
        request.weighting = weighting;
        request.circuit = data.tree;
        request.frequencies_hz = spectrum.frequencies.to_vector();
        request.impedances = spectrum.impedances.to_vector();
        request.control = engine_control(data.tree, data.control);
        if (!guessing && !unusable) {
            if (auto problem = first_unusable_point(request.frequencies_hz, request.impedances)) {
                unusable.emplace(i, *problem);
            }
        }
    }

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> done{0};
    bool callback_failed = false;
    {
        ReleasedInterpreter released;
        const InterruptCheck interrupt{[](void* flag) { return static_cast<std::atomic<bool>*>(flag)->load(); },
                                       &stop};
        auto fit_one = [&](std::size_t i) {
            Slot& slot = slots[i];
            if (slot.conversion_error || stop.load()) return;
            if (guessing) {
                auto start = guess_params(data.tree, slot.request.frequencies_hz, slot.request.impedances,
                                          options.weights_path, match ? &*match : nullptr);
                if (!start) {
                    slot.guess_error = start.error();
                    ++done;
                    return;
                }
                slot.request.circuit = rebuild(data.tree, start_from_guess(data, std::move(start).value()));
            } else if (data_starting) {
                auto start = data_start_for(data, slot.request.frequencies_hz, slot.request.impedances,
                                            slot.request.weighting, interrupt);
                if (!start) {
                    slot.fit_error = start.error();
                    ++done;
                    return;
                }
                slot.request.circuit = rebuild(data.tree, start.value().values);
            }
            // A start from the data needs no second fit from the data.
            auto result = data_starting ? dispatch_fit(slot.request, interrupt) : fit_request(data, slot.request, interrupt);
            if (result) {
                slot.outcome = std::move(result).value();
            } else {
                slot.fit_error = result.error();
            }
            ++done;
        };
        // The watcher reattaches for signal handlers and the progress callback.
        std::size_t reported = static_cast<std::size_t>(-1);
        auto watch = [&] {
            if (stop.load()) return;
            const std::size_t now = done.load();
            bool raised = released.signal_raised();
            if (!raised && progress_callback != nullptr && now != reported) {
                reported = now;
                released.with_interpreter([&] {
                    Ref ignored(PyObject_CallFunction(progress_callback, "nn", static_cast<Py_ssize_t>(now),
                                                      static_cast<Py_ssize_t>(count)));
                    raised = !ignored;
                });
            }
            if (raised) {
                callback_failed = true;
                stop.store(true);
            }
        };
        run_watched(count, fit_one, watch, watch_interval);
    }
    if (callback_failed) return nullptr;  // KeyboardInterrupt or the callback's own exception
    if (progress_callback != nullptr) {
        Ref ignored(PyObject_CallFunction(progress_callback, "nn", static_cast<Py_ssize_t>(count),
                                          static_cast<Py_ssize_t>(count)));
        if (!ignored) return nullptr;
    }
    if (unusable) {
        const std::string message = "the fit's cost will not be finite for spectrum " + std::to_string(unusable->first) +
                                    " (and maybe others): " + unusable->second;
        if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) return nullptr;
    }

    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = slots[i].outcome ? make_fit_result(std::move(*slots[i].outcome), data.control) : slot_exception(slots[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace kelvara::py
