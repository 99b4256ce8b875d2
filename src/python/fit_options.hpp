// What Circuit.fit and the batch fit share: the arguments after the
// spectrum, read in fit's order, and the choice of the starting point.
#pragma once

#include "python/py_ref.hpp"

#include <optional>
#include <string>

#include "fit/dispatch.hpp"
#include "python/objects.hpp"

namespace kelvara::py {

enum FitArgument {
    frequencies, impedances, guess_init, weights, weight, method, max_iterations, ftol, xtol, num_particles,
    generations, nelder_mead_iterations, de_evaluations, sa_iterations, sa_initial_temperature, basin_hopping_hops,
    basin_hopping_step_size, basin_hopping_temperature, seed, fit_argument_count
};
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

// The Python exception class of an engine error: MemoryError for a budget
// too large to hold, ValueError otherwise.
PyObject* fit_error_type(const FitError& error);

// Raises it; KeyboardInterrupt (already set by the signal handler) for an
// interrupted fit.
PyObject* raise_fit_error(const FitError& error);

}  // namespace kelvara::py
