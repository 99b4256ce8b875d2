// A fit request from its start to its end in one call: where the fit starts
// (the circuit's own values, a network's guess, the data) and which fits it
// runs to keep the better end. Every fit of the module goes through it.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "support/result.hpp"
#include "fit/caller_control.hpp"
#include "fit/dispatch.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/interruption.hpp"
#include "models/guess.hpp"
#include "models/registry.hpp"
#include "start/data_start.hpp"

namespace kelvara {

struct RequestStarts {
    enum class First { own_values, guess, none };
    First first = First::own_values;
    // For First::guess: the built-in model found for the topology, or else
    // the weight file named.
    const RegistryMatch* match = nullptr;
    std::optional<std::string> weights_path;
    // Also start from the data and keep the better end (a failed guess then
    // leaves the data's start alone); with First::none it is the only start,
    // whatever this says.
    bool from_data = false;
    start::DataStartSettings data_settings{};
    const start::DataReading* reading = nullptr;  // read_data() of the request's spectrum, when at hand
};

using RequestError = std::variant<FitError, GuessError>;

// `request.circuit` holds the circuit's own values and `caller` its
// control (the request's control is made from it). Without `from_data`, a
// Levenberg-Marquardt fit under bounds or held values also starts from the
// data and keeps the better end: bounds and held values make local minima
// on and near the bounds common. With `from_data` and nothing to show, the
// error is the data start's (or its fit's).
Result<FitOutcome, RequestError> run_fit_request(const FitRequest& request, const CircuitControl& caller,
                                                 const RequestStarts& starts, InterruptCheck interrupt = {});

// Whether outcome `a` is better than `b`: the lower cost (a non-finite one is
// the highest), success breaking a tie.
bool better_outcome(const FitOutcome& a, const FitOutcome& b);

}  // namespace kelvara
