// What Circuit.fit and the batch fit share: the arguments after the
// spectrum, read in fit's order, and the choice of the starting point.
#pragma once

#include "python/py_ref.hpp"

#include <optional>
#include <string>

#include "fit/dispatch.hpp"
#include "python/objects.hpp"

namespace kelvara::py {

// The arguments of fit(), in order, each with its default as the signature
// shows it: the enum, the names and the signature text all come from here.
#define KELVARA_FIT_ARGUMENTS(X)                                                                     \
    X(frequencies, "") X(impedances, "=None") X(guess_init, "=None") X(weights, "=None")            \
    X(weight, "=\"modulus\"") X(method, "=\"levenberg_marquardt\"") X(max_iterations, "=200")        \
    X(ftol, "=1e-8") X(xtol, "=1e-8") X(num_particles, "=200") X(generations, "=1000")               \
    X(nelder_mead_iterations, "=2000") X(de_evaluations, "=20000") X(sa_iterations, "=5000")         \
    X(sa_initial_temperature, "=2.0") X(basin_hopping_hops, "=20") X(basin_hopping_step_size, "=1.0") \
    X(basin_hopping_temperature, "=1.0") X(seed, "=None")

#define KELVARA_FIT_ENUM(name, text) name,
enum FitArgument { KELVARA_FIT_ARGUMENTS(KELVARA_FIT_ENUM) fit_argument_count };
#undef KELVARA_FIT_ENUM

// "fit($self, frequencies, impedances=None, ...)\n--\n\n", the signature line of the docstring.
#define KELVARA_FIT_SIGNATURE_PART(name, text) ", " #name text
#define KELVARA_FIT_SIGNATURE "fit($self" KELVARA_FIT_ARGUMENTS(KELVARA_FIT_SIGNATURE_PART) ")\n--\n\n"

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

// dispatch_fit, and for a Levenberg-Marquardt fit under bounds or held
// values a second fit from the data start (of `data`'s circuit), keeping the
// better: what every fit of the module runs.
Result<FitOutcome, FitError> fit_request(const CircuitData& data, const FitRequest& request, InterruptCheck interrupt);

// Whether outcome `a` is better than `b`: the lower cost (a non-finite one is
// the highest), success breaking a tie.
bool better_outcome(const FitOutcome& a, const FitOutcome& b);

// The Python exception class of an engine error: MemoryError for a budget
// too large to hold, ValueError otherwise.
PyObject* fit_error_type(const FitError& error);

// Raises it; KeyboardInterrupt (already set by the signal handler) for an
// interrupted fit.
PyObject* raise_fit_error(const FitError& error);

}  // namespace kelvara::py
