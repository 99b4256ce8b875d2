// kelvara._core._drt and _drt_many: the distribution of relaxation times of
// one spectrum, or of many on the worker pool, with the interpreter released
// around the numeric work. The public faces are kelvara.drt and
// kelvara.drt_many (python/kelvara/drt.py), which wrap the returned records.
#include "python/objects.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "drt/drt.hpp"
#include "fit/interruption.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/batch.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/measured_data.hpp"
#include "python/numpy_array.hpp"

namespace kelvara::py {
namespace {

enum DrtArgument : std::size_t {
    drt_frequencies,
    drt_impedances,
    drt_lambda,
    drt_inductance,
    drt_derivative,
    drt_density,
    drt_margin,
    drt_threshold,
    drt_fit_peaks,
    drt_progress,  // _drt_many only
    drt_argument_count
};

const char* const drt_argument_names[drt_argument_count] = {
    "frequencies", "impedances", "lambda_value", "inductance", "derivative",
    "points_per_decade", "margin", "peak_threshold", "fit_peaks", "progress"};


bool read_double(PyObject* value, const char* name, double& out) {
    if (value == nullptr) return true;
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    out = converted;
    return true;
}

bool read_flag(PyObject* value, const char* name, bool& out) {
    if (value == nullptr) return true;
    if (!PyBool_Check(value)) {
        raise_cannot_convert(value, "PyBool");
        prefix_argument_error(name);
        return false;
    }
    out = value == Py_True;
    return true;
}

bool read_settings(PyObject* const* bound, drt::DrtSettings& settings) {
    if (bound[drt_lambda] != nullptr && bound[drt_lambda] != Py_None) {
        double lambda = 0.0;
        if (!read_double(bound[drt_lambda], "lambda_value", lambda)) return false;
        settings.lambda = lambda;
    }
    if (!read_flag(bound[drt_inductance], "inductance", settings.inductance) ||
        !read_flag(bound[drt_fit_peaks], "fit_peaks", settings.fit_peaks)) {
        return false;
    }
    if (PyObject* derivative = bound[drt_derivative]; derivative != nullptr) {
        const long order = PyLong_AsLong(derivative);
        if (order == -1 && PyErr_Occurred()) {
            prefix_argument_error("derivative");
            return false;
        }
        settings.derivative_order = order == 1 || order == 2 ? static_cast<int>(order) : 0;
    }
    if (bound[drt_density] != nullptr && bound[drt_density] != Py_None) {
        double density = 0.0;
        if (!read_double(bound[drt_density], "points_per_decade", density)) return false;
        if (!(density > 0.0 && density <= 100.0)) {
            raise(PyExc_ValueError, "points_per_decade must be above 0 and at most 100, or None");
            return false;
        }
        settings.points_per_decade = density;
    }
    if (!read_double(bound[drt_margin], "margin", settings.margin_decades) ||
        !read_double(bound[drt_threshold], "peak_threshold", settings.peak_threshold)) {
        return false;
    }
    if (auto error = drt::check_settings(settings)) {
        raise(PyExc_ValueError, error->message);
        return false;
    }
    return true;
}

// Arrays rather than lists: drt_many converts every record on the calling
// thread after the pool is done, so this is the batch's serial part.
PyObject* float_array(std::span<const double> values) {
    double* data = nullptr;
    PyObject* array = new_float_array(values.size(), data);
    if (array != nullptr) std::copy(values.begin(), values.end(), data);
    return array;
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status == 0;
}

// The outcome as a dict of plain values; kelvara.drt wraps it in a DrtResult.
// The spectrum it was computed from comes along, as the core read it.
PyObject* outcome_record(const drt::DrtOutcome& outcome, std::span<const double> frequencies,
                         std::span<const Complex> impedances) {
    Ref record(PyDict_New());
    if (!record) return nullptr;
    PyObject* dict = record.get();
    Complex* measured = nullptr;
    PyObject* measured_array = new_complex_array(impedances.size(), measured);
    if (measured_array == nullptr) return nullptr;
    std::copy(impedances.begin(), impedances.end(), measured);
    if (!set_item(dict, "impedances", measured_array) || !set_item(dict, "frequencies", float_array(frequencies))) {
        return nullptr;
    }
    Complex* fitted = nullptr;
    PyObject* fitted_array = new_complex_array(outcome.fitted.size(), fitted);
    if (fitted_array == nullptr) return nullptr;
    for (std::size_t i = 0; i < outcome.fitted.size(); ++i) fitted[i] = outcome.fitted[i];
    Ref peaks(PyList_New(static_cast<Py_ssize_t>(outcome.peaks.size())));
    if (!peaks) {
        Py_DECREF(fitted_array);
        return nullptr;
    }
    for (std::size_t i = 0; i < outcome.peaks.size(); ++i) {
        const drt::Peak& peak = outcome.peaks[i];
        PyObject* item = Py_BuildValue("(ddddddddN)", std::exp(peak.ln_tau), peak.height, peak.prominence,
                                       peak.resistance, std::exp(peak.ln_tau_low), std::exp(peak.ln_tau_high),
                                       std::exp(peak.ln_tau_maximum), peak.alpha, PyBool_FromLong(peak.near_edge));
        if (item == nullptr) {
            Py_DECREF(fitted_array);
            return nullptr;
        }
        PyList_SET_ITEM(peaks.get(), static_cast<Py_ssize_t>(i), item);
    }
    if (!set_item(dict, "fitted", fitted_array) || !set_item(dict, "peaks", peaks.release()) ||
        !set_item(dict, "tau", float_array(outcome.tau)) || !set_item(dict, "gamma", float_array(outcome.gamma)) ||
        !set_item(dict, "coefficients", float_array(outcome.coefficients)) ||
        !set_item(dict, "r_inf", PyFloat_FromDouble(outcome.r_inf)) ||
        !set_item(dict, "inductance", PyFloat_FromDouble(outcome.inductance)) ||
        !set_item(dict, "lambda_value", PyFloat_FromDouble(outcome.lambda)) ||
        !set_item(dict, "lambda_chosen", PyBool_FromLong(outcome.lambda_chosen)) ||
        !set_item(dict, "polarisation_resistance", PyFloat_FromDouble(outcome.polarisation_resistance)) ||
        !set_item(dict, "share_below", PyFloat_FromDouble(outcome.share_below)) ||
        !set_item(dict, "share_above", PyFloat_FromDouble(outcome.share_above)) ||
        !set_item(dict, "rising_below", PyBool_FromLong(outcome.rising_below)) ||
        !set_item(dict, "rising_above", PyBool_FromLong(outcome.rising_above)) ||
        !set_item(dict, "tail_below", PyFloat_FromDouble(outcome.tail_below)) ||
        !set_item(dict, "tail_above", PyFloat_FromDouble(outcome.tail_above)) ||
        !set_item(dict, "edge_peak_share", PyFloat_FromDouble(drt::PeakRules{}.edge_share)) ||
        !set_item(dict, "converged", PyBool_FromLong(outcome.converged)) ||
        !set_item(dict, "basis_capped", PyBool_FromLong(outcome.basis_capped)) ||
        !set_item(dict, "peaks_fitted", PyBool_FromLong(outcome.peaks_fitted)) ||
        !set_item(dict, "basis", Py_BuildValue("(ddd)", outcome.first_ln_tau, outcome.spacing, outcome.shape))) {
        return nullptr;
    }
    return record.release();
}

PyObject* drt_one(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[drt_argument_count];
    const std::span<const char* const> names(drt_argument_names, drt_progress);
    if (!bind_arguments({"_drt", names, 1}, args, nargs, kwnames, std::span(bound, drt_progress))) return nullptr;
    drt::DrtSettings settings;
    if (!read_settings(bound, settings)) return nullptr;
    Spectrum spectrum;
    if (!read_spectrum(bound[drt_frequencies], bound[drt_impedances], spectrum)) return nullptr;
    std::optional<Result<drt::DrtOutcome, drt::DrtError>> result;
    {
        ReleasedInterpreter released;
        const InterruptScope scope(InterruptCheck{
            [](void* context) { return static_cast<ReleasedInterpreter*>(context)->signal_raised(); }, &released});
        result.emplace(drt::compute_drt(spectrum.frequencies.view(), spectrum.impedances.view(), settings));
    }
    if (!*result && result->error().message == drt::interrupted_message) {
        if (PyErr_CheckSignals() < 0) return nullptr;
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    if (!*result) return raise(PyExc_ValueError, result->error().message);
    return outcome_record(result->value(), spectrum.frequencies.view(), spectrum.impedances.view());
}

PyObject* drt_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[drt_argument_count];
    if (!bind_arguments({"_drt_many", drt_argument_names, 2}, args, nargs, kwnames, bound)) return nullptr;
    drt::DrtSettings settings;
    if (!read_settings(bound, settings)) return nullptr;
    std::vector<BatchSpectrum> spectra;
    if (!read_batch_spectra("_drt_many", bound[drt_frequencies], bound[drt_impedances], spectra)) return nullptr;
    const std::size_t count = spectra.size();
    std::vector<std::optional<Result<drt::DrtOutcome, drt::DrtError>>> results(count);
    Batch batch(bound[drt_progress]);
    const InterruptCheck interrupt = batch.interrupt();
    auto run_one = [&](std::size_t i) {
        const InterruptScope scope(interrupt);  // a long DRT ends when the batch stops
        if (!spectra[i].error) results[i].emplace(drt::compute_drt(spectra[i].spectrum, settings));
    };
    if (!batch.run(count, run_one)) return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = nullptr;
        if (spectra[i].error) {
            item = spectra[i].error.release();
        } else if (*results[i]) {
            const MeasuredSpectrum& spectrum = spectra[i].spectrum;
            item = outcome_record(results[i]->value(), spectrum.frequencies_hz(), spectrum.impedances());
        } else {
            const std::string& message = results[i]->error().message;
            item = PyObject_CallFunction(PyExc_ValueError, "s#", message.data(), static_cast<Py_ssize_t>(message.size()));
        }
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

PyMethodDef drt_functions[] = {
    {"_drt", guarded_method<drt_one>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_drt_many", guarded_method<drt_many>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
