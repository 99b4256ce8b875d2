// _fit_candidates(): several circuits fitted to one spectrum at once on the
// worker pool, with the interpreter released (kelvara.compare and
// kelvara.select, python/kelvara/selection.py, are the public face). A
// candidate starts from its network's guess when its topology has one and
// its values were not given, from its own values otherwise; no warning.
#include "python/objects.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "circuit/layout.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "models/registry.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/batch.hpp"
#include "python/errors.hpp"
#include "python/fit_options.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {
namespace {

struct Candidate {
    const CircuitData* data = nullptr;
    bool guessing = false;
    std::optional<RegistryMatch> match;
    std::optional<FitOutcome> outcome;
    std::optional<RequestError> error;
};

constexpr std::uint64_t candidate_starts = 2;

PyObject* fit_candidates(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The fit arguments, then `data_start` (a candidate without values of its
    // own also starts from the data, beside any network guess) and `starts`
    // (the Levenberg-Marquardt starts each run tries).
    const char* names[fit_argument_count + 3];
    names[0] = "circuits";
    for (std::size_t i = 0; i < fit_argument_count; ++i) names[i + 1] = fit_argument_names[i];
    names[fit_argument_count + 1] = "data_start";
    names[fit_argument_count + 2] = "starts";
    PyObject* bound[fit_argument_count + 3];
    if (!bind_arguments({"_fit_candidates", names, 2}, args, nargs, kwnames, bound)) return nullptr;
    PyObject* const* fit_bound = bound + 1;
    const bool from_data = bound[fit_argument_count + 1] != nullptr && PyObject_IsTrue(bound[fit_argument_count + 1]) == 1;
    std::uint64_t starts = candidate_starts;
    if (PyObject* given = bound[fit_argument_count + 2]; given != nullptr && given != Py_None) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(given);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        if (value < 1) return raise(PyExc_ValueError, "starts must be at least 1");
        starts = value;
    }
    FitOptions options;
    if (!read_fit_options(fit_bound, options)) return nullptr;
    if (options.weights_path) return raise(PyExc_ValueError, "_fit_candidates() takes no weight file");
    FitRequest request = options.request;
    if (!read_weighting(options.weight_name, request.weighting)) return nullptr;
    if (!read_measured(fit_bound[frequencies], fit_bound[impedances], request.spectrum)) return nullptr;

    PyObject* circuits = bound[0];
    if (!PyList_Check(circuits)) return raise(PyExc_TypeError, "_fit_candidates() takes a list of Circuit");
    const std::size_t count = static_cast<std::size_t>(PyList_GET_SIZE(circuits));
    std::vector<Candidate> candidates(count);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* circuit = PyList_GET_ITEM(circuits, static_cast<Py_ssize_t>(i));
        if (!is_circuit(circuit)) return raise(PyExc_TypeError, "_fit_candidates() takes a list of Circuit");
        Candidate& candidate = candidates[i];
        candidate.data = &circuit_data(circuit);
        if (options.guess.value_or(!candidate.data->explicit_values)) {
            candidate.match = find_for_topology(candidate.data->tree);
            candidate.guessing = candidate.match.has_value();
        }
    }

    Batch batch;
    const InterruptCheck interrupt = batch.interrupt();
    // The spectrum's shape and DRT, read once for every candidate that starts from the data.
    std::optional<start::DataReading> reading;
    if (from_data && std::any_of(candidates.begin(), candidates.end(),
                                 [](const Candidate& c) { return !c.data->explicit_values; })) {
        ReleasedInterpreter released;
        reading.emplace(start::read_data(request.spectrum));
    }
    // A candidate starts from a guess or a simpler candidate's fit: the few
    // cheapest starts find its optimum, and a wrong circuit cannot run away.
    request.settings.max_starts = starts;
    auto fit_one = [&](std::size_t i) {
        Candidate& candidate = candidates[i];
        const CircuitData& data = *candidate.data;
        FitRequest own = request;
        own.circuit = data.tree;
        RequestStarts plan;
        if (candidate.guessing) {
            plan.first = RequestStarts::First::guess;
            plan.match = &*candidate.match;
        }
        if (from_data && !data.explicit_values) {
            // The data's own start, beside the network's (a spectrum outside its training ranges).
            // A quick start for candidates on a budget, the thorough one for the caller's own.
            if (!candidate.guessing) plan.first = RequestStarts::First::none;
            plan.from_data = true;
            plan.data_settings =
                starts >= LmSettings{}.max_starts ? start::DataStartSettings{} : start::quick_data_start;
            plan.reading = &*reading;
        }
        auto result = run_fit_request(own, data.control, plan, interrupt);
        if (result) {
            candidate.outcome = std::move(result).value();
        } else {
            candidate.error = result.error();
        }
    };
    if (!batch.run(count, fit_one)) return nullptr;

    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        Candidate& candidate = candidates[i];
        PyObject* item = candidate.outcome ? make_fit_result(std::move(*candidate.outcome), candidate.data->control)
                                           : request_exception(*candidate.error);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

PyMethodDef candidate_functions[] = {
    {"_fit_candidates", guarded_method<fit_candidates>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
