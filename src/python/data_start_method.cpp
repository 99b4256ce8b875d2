// Circuit.with_data_start(): the circuit with values read off a spectrum,
// for any topology (see start/data_start.hpp).
#include "python/objects.hpp"

#include "circuit/layout.hpp"
#include "support/number_text.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/errors.hpp"
#include "python/fit_options.hpp"
#include "python/measured_data.hpp"
#include "start/data_start.hpp"

namespace kelvara::py {

namespace {

bool run_data_start(const CircuitData& data, const MeasuredSpectrum& spectrum, Weighting weighting,
                    start::DataStart& out) {
    std::optional<Result<start::DataStart, FitError>> result;
    {
        ReleasedInterpreter released;
        const InterruptCheck interrupt{
            [](void* context) { return static_cast<ReleasedInterpreter*>(context)->signal_raised(); }, &released};
        result.emplace(start::data_start(data.tree, spectrum, weighting, data_start_control(data.tree, data.control),
                                         {}, interrupt));
    }
    if (!*result) {
        raise_fit_error(result->error());
        return false;
    }
    out = std::move(*result).value();
    return true;
}

}  // namespace

PyObject* circuit_with_data_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"frequencies", "impedances"};
    PyObject* bound[2];
    if (!bind_arguments({"with_data_start", names, 1}, args, nargs, kwnames, bound)) return nullptr;
    MeasuredSpectrum spectrum;
    if (!read_measured(bound[0], bound[1], spectrum)) return nullptr;
    const CircuitData& data = circuit_data(self);
    start::DataStart found;
    if (!run_data_start(data, spectrum, Weighting::modulus, found)) return nullptr;
    const std::vector<std::string> param = param_names(data.tree);
    for (const start::ClampedValue& c : found.clamped) {
        const bool below = c.suggested < c.bounds.lo;
        const std::string message = param[c.index] + ": the data suggest " + short_number_text(c.suggested) +
                                    ", " + (below ? "below" : "above") + " its bound " +
                                    short_number_text(below ? c.bounds.lo : c.bounds.hi) +
                                    "; started on the bound (with_bounds() can widen it)";
        if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) return nullptr;
    }
    CircuitControl control = data.control;
    return make_circuit(rebuild(data.tree, found.values), true, std::move(control));
}

}  // namespace kelvara::py
