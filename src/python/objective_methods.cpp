// Circuit.residuals() and Circuit.jacobian(): the objective of the fits,
// exposed so that an outside optimiser can drive the circuit.
#include "python/objects.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "circuit/evaluate.hpp"
#include "fit/objective.hpp"
#include "fit/weighting.hpp"
#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {
namespace {

struct ObjectiveRequest {
    std::vector<double> params;
    Spectrum spectrum;
    std::vector<double> omega;
    std::vector<double> weights;
};

// Binds and checks the arguments in the documented order: params, the type
// of weight, the data, the weight name, then the parameter count.
bool prepare(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             ObjectiveRequest& request) {
    static constexpr const char* names[] = {"params", "frequencies", "impedances", "weight"};
    PyObject* bound[4];
    if (!bind_arguments({function, names, 2}, args, nargs, kwnames, bound)) return false;
    if (!to_double_vector(bound[0], request.params)) {
        prefix_argument_error("params");
        return false;
    }
    std::string weight_name = "modulus";
    if (bound[3] != nullptr && !to_utf8(bound[3], weight_name)) {
        prefix_argument_error("weight");
        return false;
    }
    if (!read_spectrum(bound[1], bound[2], request.spectrum)) return false;
    Weighting scheme;
    if (!read_weighting(weight_name, scheme)) return false;
    const std::size_t count = circuit_data(self).program.param_count();
    // With no columns asked for, the Jacobian is empty and nothing is evaluated.
    const bool no_columns = request.params.empty() && std::string_view(function) == "jacobian";
    if (request.params.size() < count && !no_columns) {
        raise(PyExc_ValueError, "params has " + std::to_string(request.params.size()) +
                                    " values, but the circuit has " + std::to_string(count) + " parameters");
        return false;
    }
    request.omega.reserve(request.spectrum.frequencies.size());
    for (const double f : request.spectrum.frequencies.view()) request.omega.push_back(f * two_pi);
    request.weights = compute_weights(request.spectrum.impedances.view(), scheme);
    return true;
}

PyObject* residuals_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ObjectiveRequest request;
    if (!prepare("residuals", self, args, nargs, kwnames, request)) return nullptr;
    std::vector<double> out;
    {
        ReleasedInterpreter released;
        EvaluationCounter counter{0};
        out = residuals(circuit_data(self).tree, request.params, request.omega, request.spectrum.impedances.view(),
                        request.weights, counter);
    }
    return to_float_list(out);
}

PyObject* jacobian_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ObjectiveRequest request;
    if (!prepare("jacobian", self, args, nargs, kwnames, request)) return nullptr;
    if (request.params.empty()) return PyList_New(0);
    std::vector<std::vector<double>> columns;
    {
        ReleasedInterpreter released;
        EvaluationCounter counter{0};
        columns = jacobian_columns(circuit_data(self).tree, request.params, request.omega,
                                   request.spectrum.impedances.view(), request.weights, counter);
    }
    const std::size_t rows = columns.empty() ? 0 : columns.front().size();
    Ref matrix(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!matrix) return nullptr;
    std::vector<double> row(columns.size());
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns.size(); ++c) row[c] = columns[c][r];
        PyObject* item = to_float_list(row);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(matrix.get(), static_cast<Py_ssize_t>(r), item);
    }
    return matrix.release();
}

}  // namespace

PyObject* circuit_residuals(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return residuals_method(self, args, nargs, kwnames);
}

PyObject* circuit_jacobian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return jacobian_method(self, args, nargs, kwnames);
}

}  // namespace kelvara::py
