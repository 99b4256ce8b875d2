// _joint_fit(): the joint fit of a series with shared parameters
// (fit/joint), behind kelvara.fit_series(shared=...). The interpreter is
// released for the whole fit; Ctrl-C ends it.
#include "python/objects.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "circuit/layout.hpp"
#include "fit/joint/joint_fit.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fit_options.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {

namespace {

bool read_shared(PyObject* names, const std::vector<std::string>& all, std::vector<std::size_t>& out) {
    if (!PyList_Check(names)) {
        raise(PyExc_TypeError, "_joint_fit() takes the shared parameters as a list of names");
        return false;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(names); ++k) {
        std::string name;
        if (!to_utf8(PyList_GET_ITEM(names, k), name)) return false;
        const auto found = std::find(all.begin(), all.end(), name);
        if (found == all.end()) {
            raise(PyExc_ValueError, "no parameter " + name);
            return false;
        }
        out.push_back(static_cast<std::size_t>(found - all.begin()));
    }
    return true;
}

// _joint_fit(circuit, frequencies, impedances, starts, shared, weight, evaluations):
// lists of one entry per spectrum, `starts` each spectrum's every parameter.
// Returns (results, success, message, cost).
PyObject* joint_fit_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"circuit", "frequencies", "impedances", "starts",
                                            "shared",  "weight",      "evaluations"};
    PyObject* bound[7];
    if (!bind_arguments({"_joint_fit", names, 7}, args, nargs, kwnames, bound)) return nullptr;
    if (!is_circuit(bound[0])) return raise(PyExc_TypeError, "_joint_fit() takes a Circuit");
    PyObject* frequencies = bound[1];
    PyObject* impedances = bound[2];
    PyObject* starts = bound[3];
    if (!PyList_Check(frequencies) || !PyList_Check(impedances) || !PyList_Check(starts) ||
        PyList_GET_SIZE(frequencies) != PyList_GET_SIZE(impedances) ||
        PyList_GET_SIZE(frequencies) != PyList_GET_SIZE(starts)) {
        return raise(PyExc_TypeError, "_joint_fit() takes three lists of equal length");
    }
    const CircuitData& data = circuit_data(bound[0]);
    JointFitRequest request;
    request.circuit = data.tree;
    request.control = engine_control(data.tree, data.control);
    if (!read_shared(bound[4], param_names(data.tree), request.shared)) return nullptr;
    std::string weight;
    if (!to_utf8(bound[5], weight) || !read_weighting(weight, request.weighting)) return nullptr;
    const unsigned long long evaluations = PyLong_AsUnsignedLongLong(bound[6]);
    if (evaluations == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    request.prior_evaluations = evaluations;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(frequencies); ++i) {
        JointSpectrum member;
        if (!read_measured(PyList_GET_ITEM(frequencies, i), PyList_GET_ITEM(impedances, i), member.spectrum) ||
            !to_double_vector(PyList_GET_ITEM(starts, i), member.start)) {
            return nullptr;
        }
        request.spectra.push_back(std::move(member));
    }

    std::optional<Result<JointOutcome, FitError>> result;
    {
        ReleasedInterpreter released;
        const InterruptCheck interrupt{
            [](void* context) { return static_cast<ReleasedInterpreter*>(context)->signal_raised(); }, &released};
        result.emplace(joint_fit(request, interrupt));
    }
    if (!*result) return raise_fit_error(result->error());
    JointOutcome& outcome = result->value();
    Ref list(PyList_New(static_cast<Py_ssize_t>(outcome.spectra.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < outcome.spectra.size(); ++i) {
        PyObject* item = make_fit_result(std::move(outcome.spectra[i]), data.control);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(OONd)", list.get(), outcome.success ? Py_True : Py_False, to_str(outcome.message),
                         outcome.cost);
}

}  // namespace

PyMethodDef joint_fit_functions[] = {
    {"_joint_fit", guarded_method<joint_fit_function>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
