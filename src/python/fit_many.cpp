// Circuit._fit_many(): one circuit fitted to many spectra on the worker pool,
// with the interpreter released for the whole batch. Each spectrum goes
// through exactly the steps of Circuit.fit (the same start decision and fit
// request, request/fit_request.hpp), so each result equals fitting that
// spectrum alone; the nested parallel work of one fit runs inline on its
// worker, and the calling thread watches the batch (python/batch.hpp). kelvara.fit_many
// (python/kelvara/_batch.py) is the public face: it reads the many input
// forms into two lists, one item per spectrum.
#include "python/objects.hpp"

#include <optional>
#include <string>
#include <vector>

#include "circuit/layout.hpp"
#include "python/arguments.hpp"
#include "python/batch.hpp"
#include "python/errors.hpp"
#include "python/fit_options.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {
namespace {

struct Slot {
    FitRequest request;
    std::optional<FitOutcome> outcome;
    std::optional<RequestError> error;
    Ref conversion_error;  // the exception of a spectrum that could not be read
};

// The exception instance of a failed slot.
PyObject* slot_exception(Slot& slot) {
    if (slot.conversion_error) return slot.conversion_error.release();
    return request_exception(*slot.error);
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
    std::vector<BatchSpectrum> spectra;
    if (!read_batch_spectra("_fit_many", bound[frequencies], bound[impedances], spectra)) return nullptr;

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

    const std::size_t count = spectra.size();
    std::vector<Slot> slots(count);
    std::optional<std::pair<std::size_t, std::string>> unusable;  // the first, for one warning
    for (std::size_t i = 0; i < count; ++i) {
        if (spectra[i].error) {
            slots[i].conversion_error = std::move(spectra[i].error);
            continue;
        }
        FitRequest& request = slots[i].request;
        request = options.request;
        request.weighting = weighting;
        request.circuit = data.tree;
        request.spectrum = std::move(spectra[i].spectrum);
        if (const auto& problem = request.spectrum.unusable(); problem && !guessing && !unusable) {
            unusable.emplace(i, *problem);
        }
    }

    Batch batch(bound[progress]);
    const InterruptCheck interrupt = batch.interrupt();
    RequestStarts starts = request_starts(guessing, match, options);
    if (data_starting) starts.first = RequestStarts::First::none;  // then no second fit from the data
    auto fit_one = [&](std::size_t i) {
        Slot& slot = slots[i];
        if (slot.conversion_error) return;
        auto result = run_fit_request(slot.request, data.control, starts, interrupt);
        if (result) {
            slot.outcome = std::move(result).value();
        } else {
            slot.error = result.error();
        }
    };
    if (!batch.run(count, fit_one)) return nullptr;  // KeyboardInterrupt or the callback's own exception
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
