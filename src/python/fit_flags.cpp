// The flags of a FitResult and the spectrum's noise level, worked out in the
// core; kelvara.diagnostics documents them and holds the Flag class.
#include "python/objects.hpp"

#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"

#include <cmath>

#include "diagnostics/fit_flags.hpp"
#include "diagnostics/noise_level.hpp"

namespace kelvara::py {
namespace {

// None, or a finite non-negative float; ValueError otherwise.
bool read_noise(PyObject* value, std::optional<double>& out) {
    if (value == nullptr || value == Py_None) return true;
    const double noise = PyFloat_AsDouble(value);
    if (noise == -1.0 && PyErr_Occurred()) return false;
    if (!(std::isfinite(noise) && noise >= 0.0)) {
        raise(PyExc_ValueError, "noise must be a finite fraction of |Z| not below 0, got " + std::to_string(noise));
        return false;
    }
    out = noise;
    return true;
}

PyObject* noise_level_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"frequencies", "impedances"};
    PyObject* bound[2];
    if (!bind_arguments({"_noise_level", names, 2}, args, nargs, kwnames, bound)) return nullptr;
    MeasuredSpectrum spectrum;
    if (!read_measured(bound[0], bound[1], spectrum)) return nullptr;
    std::optional<double> noise;
    {
        ReleasedInterpreter released;
        noise = diagnostics::noise_level(spectrum);
    }
    if (!noise) Py_RETURN_NONE;
    return PyFloat_FromDouble(*noise);
}

}  // namespace

PyObject* diagnostics_module() {
    // imported with the package: a lookup in sys.modules, an import only if absent
    Ref name(PyUnicode_FromString("kelvara.diagnostics"));
    if (!name) return nullptr;
    PyObject* module = PyImport_GetModule(name.get());
    return module != nullptr || PyErr_Occurred() ? module : PyImport_Import(name.get());
}

PyObject* diagnose_fit_result(PyObject* fit_result, std::optional<double> noise) {
    const FitOutcome& outcome = fit_outcome(fit_result);
    const CircuitControl& control = fit_control(fit_result);
    std::vector<diagnostics::Flag> flags;
    {
        const std::vector<Bounds> bounds = bounds_in_force(outcome.circuit, control);
        const std::vector<std::size_t> exponents = param_carried_exponents(outcome.circuit);
        ReleasedInterpreter released;
        flags = diagnostics::fit_flags({outcome, bounds, exponents, control.fixed}, noise);
    }
    Ref list(PyList_New(static_cast<Py_ssize_t>(flags.size())));
    if (!list || flags.empty()) return list.release();
    Ref module(diagnostics_module());
    Ref flag_type(module ? PyObject_GetAttrString(module.get(), "Flag") : nullptr);
    if (!flag_type) return nullptr;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        Ref code(to_str(flags[i].code));
        Ref text(code ? to_str(flags[i].text) : nullptr);
        PyObject* flag = text ? PyObject_CallFunctionObjArgs(flag_type.get(), code.get(), text.get(), nullptr) : nullptr;
        if (flag == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), flag);
    }
    return list.release();
}

PyObject* fit_result_diagnose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"noise"};
    PyObject* bound[1] = {nullptr};
    if (!bind_arguments({"_diagnose", names, 0}, args, nargs, kwnames, bound)) return nullptr;
    std::optional<double> noise;
    if (!read_noise(bound[0], noise)) return nullptr;
    return diagnose_fit_result(self, noise);
}

PyObject* fit_result_relative_misfit(PyObject* self, PyObject*) {
    double misfit = 0.0;
    {
        const FitOutcome& outcome = fit_outcome(self);
        ReleasedInterpreter released;
        misfit = diagnostics::relative_misfit(outcome);
    }
    return PyFloat_FromDouble(misfit);
}

namespace {

// _misfit_limit(points): (how far above the noise a right circuit's scaled misfit
// may lie at `points` points, the misfit below which no fit is flagged), the
// misfit flag's own rule for those who judge misfits against it.
PyObject* misfit_limit_function(PyObject*, PyObject* points) {
    const std::size_t n = PyLong_AsSize_t(points);
    if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    return Py_BuildValue("(dd)", diagnostics::misfit_limit(n), diagnostics::misfit_floor);
}

// _bound_limits(): (the factor above a positive quantity's floor, and the value
// beyond which one runs off to infinity), where the at_bound flag reads a
// parameter as gone to a limit.
PyObject* bound_limits_function(PyObject*, PyObject*) {
    return Py_BuildValue("(dd)", diagnostics::floor_factor, diagnostics::runaway);
}

}  // namespace

PyMethodDef diagnostics_functions[] = {
    {"_noise_level", guarded_method<noise_level_function>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_misfit_limit", guarded_method<misfit_limit_function>(), METH_O, nullptr},
    {"_bound_limits", guarded_method<bound_limits_function>(), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
