// What Circuit.fit and the batch fit share: the arguments after the
// spectrum, read in fit's order, and the choice of the starting point.
#pragma once

#include "python/py_ref.hpp"

#include <optional>
#include <string>

#include "fit/dispatch.hpp"
#include "request/fit_request.hpp"
#include "python/objects.hpp"

namespace kelvara::py {

// The arguments of fit(), in order: the spectrum and how to start and weigh
// it, the method; then every method's settings, from the method table
// (fit/methods.hpp); then the seed.
#define KELVARA_COUNT_SETTING(name, type, value) +1
#define KELVARA_COUNT_SETTINGS(method, SETTINGS) SETTINGS(KELVARA_COUNT_SETTING)
inline constexpr int fit_setting_count = 0 KELVARA_FIT_METHODS(KELVARA_COUNT_SETTINGS);
#undef KELVARA_COUNT_SETTINGS
#undef KELVARA_COUNT_SETTING

enum FitArgument {
    frequencies,
    impedances,
    guess_init,
    weights,
    weight,
    method,
    first_setting,
    seed = first_setting + fit_setting_count,
    fit_argument_count
};

// "fit($self, frequencies, impedances=None, ...)\n--\n\n", the signature line of the docstring,
// each setting with its default as the table writes it.
#define KELVARA_SIGNATURE_SETTING(name, type, value) ", " #name "=" #value
#define KELVARA_SIGNATURE_SETTINGS(method, SETTINGS) SETTINGS(KELVARA_SIGNATURE_SETTING)
#define KELVARA_FIT_SIGNATURE                                                                                  \
    "fit($self, frequencies, impedances=None, guess_init=None, weights=None, weight=\"modulus\", "            \
    "method=\"levenberg_marquardt\"" KELVARA_FIT_METHODS(KELVARA_SIGNATURE_SETTINGS) ", seed=None)\n--\n\n"

extern const char* const fit_argument_names[fit_argument_count];

struct FitOptions {
    std::optional<bool> guess;
    std::optional<std::string> weights_path;
    std::string weight_name = "modulus";
    FitRequest request;  // method and settings; the caller adds circuit, spectrum and weighting
};

// Converts bound[guess_init] ... bound[seed]; false with an exception set.
bool read_fit_options(PyObject* const* bound, FitOptions& out);

// Whether the start is a network's guess. When the circuit's own values are
// not explicit and no model exists for its topology, warns (UserWarning)
// and starts from the values; false only when the warning raised. Where it
// looks the topology up, `match` receives what it found.
bool decide_guess(const CircuitData& data, const FitOptions& options, bool& guessing,
                  std::optional<RegistryMatch>* match = nullptr);

// Where a fit starts once decide_guess has spoken: the network's guess
// (`match`, or the weight file of `options`) or the circuit's own values.
RequestStarts request_starts(bool guessing, const std::optional<RegistryMatch>& match, const FitOptions& options);

// The Python exception class of an engine error: MemoryError for a budget
// too large to hold, ValueError otherwise.
PyObject* fit_error_type(const FitError& error);

// Raises it; KeyboardInterrupt (already set by the signal handler) for an
// interrupted fit.
PyObject* raise_fit_error(const FitError& error);

// A fit request's error raised, or as an exception instance for a batch's list.
PyObject* raise_request_error(const RequestError& error);
PyObject* request_exception(const RequestError& error);

}  // namespace kelvara::py
