// A starting point for a user's circuit from the network of its topology:
// a built-in model, or a weight file the caller names.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "support/result.hpp"
#include "circuit/measured_points.hpp"
#include "circuit/tree.hpp"
#include "models/registry.hpp"
#include "elements/complex.hpp"
#include "nn/guesser.hpp"

namespace kelvara {

// Why a guess failed: a message for a ValueError, or memory exhausted while
// loading a weight file (a MemoryError).
struct GuessError {
    enum class Kind { value, memory };
    std::string message;
    Kind kind = Kind::value;
};

// The weight file at `path` (the text exactly as given), loaded once per
// process and kept; a failed load is not kept. Holds the cache lock for the
// whole call.
Result<std::shared_ptr<const Guesser>, NnError> load_external(const std::string& path);

// One value per parameter of `user`, in its parameter order. `known` is
// find_for_topology(user) when the caller has it already (built-in models
// only), so that the topology is matched once.
Result<std::vector<double>, GuessError> guess_params(const SeriesList& user, const MeasuredSpectrum& spectrum,
                                                     const std::optional<std::string>& weights_path,
                                                     const RegistryMatch* known = nullptr);

}  // namespace kelvara
