// Circuit.fit(): read and check the spectrum, decide the start (the
// circuit's own values or a network's guess), run the fit request in one
// call with the interpreter released, and wrap the outcome in a FitResult.
#include "python/objects.hpp"

#include <cmath>

#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "circuit/layout.hpp"
#include "fit/dispatch.hpp"
#include "models/registry.hpp"
#include "python/arguments.hpp"
#include "python/barrier.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/fit_options.hpp"
#include "python/measured_data.hpp"

namespace kelvara::py {

#define KELVARA_SETTING_NAME(name, type, value) #name,
#define KELVARA_SETTING_NAMES(method, SETTINGS) SETTINGS(KELVARA_SETTING_NAME)
const char* const fit_argument_names[fit_argument_count] = {
    "frequencies", "impedances", "guess_init", "weights", "weight", "method",
    KELVARA_FIT_METHODS(KELVARA_SETTING_NAMES) "seed"};
#undef KELVARA_SETTING_NAMES
#undef KELVARA_SETTING_NAME

namespace {

// Only impedances, guess_init, weights and seed take None for "not given";
// None for any other setting is a type error like any other wrong type.
bool given(PyObject* value) { return value != nullptr && value != Py_None; }
bool present(PyObject* value) { return value != nullptr; }

// Through __index__: floats are a TypeError (prefixed), negative or too large an OverflowError (not prefixed).
bool read_unsigned(PyObject* value, const char* name, std::uint64_t limit, std::uint64_t& out) {
    if (!present(value)) return true;
    Ref index(PyNumber_Index(value));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (converted > limit) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = converted;
    return true;
}

bool read_float(PyObject* value, const char* name, double& out) {
    if (!present(value)) return true;
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    out = converted;
    return true;
}

bool read_string(PyObject* value, const char* name, std::string& out) {
    if (!present(value)) return true;
    if (!to_utf8(value, out)) {
        prefix_argument_error(name);
        return false;
    }
    return true;
}

// Exactly bool, or NumPy's boolean scalar.
bool read_bool(PyObject* value, const char* name, std::optional<bool>& out) {
    if (!given(value)) return true;
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(value);
    const char* type_name = type->tp_name;
    if (std::strcmp(type_name, "numpy.bool_") == 0 || std::strcmp(type_name, "numpy.bool") == 0) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    raise_cannot_convert(value, "PyBool");
    prefix_argument_error(name);
    return false;
}

constexpr std::uint64_t u32_max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

bool read_settings(PyObject* const* bound, FitSettings& s) {
    std::size_t at = first_setting;
    bool ok = true;
    s.each([&](std::string_view name, SettingType type, auto& field) {
        PyObject* value = bound[at++];
        if (!ok) return;
        const std::string text(name);
        if constexpr (std::is_same_v<std::remove_reference_t<decltype(field)>, double>) {
            ok = read_float(value, text.c_str(), field);
        } else {
            ok = read_unsigned(value, text.c_str(), type == SettingType::count32 ? u32_max : u64_max, field);
        }
    });
    if (!ok) return false;
    std::uint64_t seed_value = 0;
    if (given(bound[seed]) && !read_unsigned(bound[seed], "seed", u64_max, seed_value)) return false;
    if (given(bound[seed])) s.seed = seed_value;
    return true;
}

}  // namespace

bool read_fit_options(PyObject* const* bound, FitOptions& out) {
    std::string weight_name = "modulus";
    if (!read_bool(bound[guess_init], "guess_init", out.guess) || !read_weights_path(bound[weights], out.weights_path) ||
        !read_string(bound[weight], "weight", weight_name) || !read_string(bound[method], "method", out.request.method) ||
        !read_settings(bound, out.request.settings)) {
        return false;
    }
    out.weight_name = std::move(weight_name);
    return true;
}

bool decide_guess(const CircuitData& data, const FitOptions& options, bool& guessing,
                  std::optional<RegistryMatch>* match) {
    guessing = options.guess ? *options.guess : (options.weights_path.has_value() || !data.explicit_values);
    if (!guessing || options.weights_path.has_value()) return true;
    if (!data.registry_match) data.registry_match.emplace(find_for_topology(data.tree));
    const std::optional<RegistryMatch>& found = *data.registry_match;
    const bool known = found.has_value();
    if (match != nullptr) *match = found;
    if (options.guess || known) return true;
    const std::string message =
        "There is no ML model to guess initial parameters for this circuit. Supply your own with "
        "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to "
        "silence this. Models available for " +
        quoted_names();
    guessing = false;
    return PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) >= 0;
}

RequestStarts request_starts(bool guessing, const std::optional<RegistryMatch>& match, const FitOptions& options) {
    RequestStarts starts;
    if (!guessing) return starts;
    starts.first = RequestStarts::First::guess;
    starts.match = match ? &*match : nullptr;
    starts.weights_path = options.weights_path;
    return starts;
}

PyObject* fit_error_type(const FitError& error) {
    return error.kind == FitError::Kind::too_large ? PyExc_MemoryError : PyExc_ValueError;
}

PyObject* raise_fit_error(const FitError& error) {
    if (error.kind == FitError::Kind::interrupted) {
        // The signal handler's exception is pending.
        return PyErr_Occurred() ? nullptr : raise(PyExc_KeyboardInterrupt, "");
    }
    return raise(fit_error_type(error), error.message());
}

PyObject* raise_request_error(const RequestError& error) {
    if (const auto* guess = std::get_if<GuessError>(&error)) return raise(guess_error_type(*guess), guess->message);
    return raise_fit_error(std::get<FitError>(error));
}

PyObject* request_exception(const RequestError& error) {
    const auto* guess = std::get_if<GuessError>(&error);
    PyObject* const type = guess ? guess_error_type(*guess) : fit_error_type(std::get<FitError>(error));
    const std::string message = guess ? guess->message : std::get<FitError>(error).message();
    return PyObject_CallFunction(type, "s#", message.data(), static_cast<Py_ssize_t>(message.size()));
}

PyObject* circuit_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[fit_argument_count];
    if (!bind_arguments({"fit", fit_argument_names, 1}, args, nargs, kwnames, bound)) return nullptr;
    FitOptions options;
    if (!read_fit_options(bound, options)) return nullptr;
    FitRequest& request = options.request;
    if (!read_measured(bound[frequencies], bound[impedances], request.spectrum)) return nullptr;
    if (!read_weighting(options.weight_name, request.weighting)) return nullptr;

    const CircuitData& data = circuit_data(self);
    bool guessing = false;
    std::optional<RegistryMatch> match;
    if (!decide_guess(data, options, guessing, &match)) return nullptr;
    const RequestStarts starts = request_starts(guessing, match, options);
    if (const auto& problem = request.spectrum.unusable(); problem && !guessing) {
        // A guess refuses such points; a fit from a given start runs, but its cost will not be finite.
        const std::string message = "the fit's cost will not be finite: " + *problem;
        if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) return nullptr;
    }
    request.circuit = data.tree;

    std::optional<Result<FitOutcome, RequestError>> result;
    {
        ReleasedInterpreter released;
        const InterruptCheck interrupt{
            [](void* context) { return static_cast<ReleasedInterpreter*>(context)->signal_raised(); }, &released};
        result.emplace(run_fit_request(request, data.control, starts, interrupt));
    }
    if (!*result) return raise_request_error(result->error());
    return make_fit_result(std::move(*result).value(), data.control);
}

namespace {

PyObject* fit_methods(PyObject*, PyObject*) {
    std::vector<std::string> names;
    for (const FitMethod& m : FIT_METHODS) names.emplace_back(m.name);
    return to_str_list(names);
}

}  // namespace

PyMethodDef fit_functions[] = {
    {"_fit_methods", guarded_method<fit_methods>(), METH_NOARGS, "The fit methods' names, in order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
