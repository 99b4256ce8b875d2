#include "models/guess.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <optional>

#include "circuit/notation_text.hpp"
#include "circuit/parser.hpp"
#include "support/quoted.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "nn/inference.hpp"

namespace kelvara {
namespace {

// EXTERNAL: weight files by path text, kept for the life of the process.
// A failed load (exhausted memory included) leaves the map as it was: the
// insertion is the last step and does nothing when it throws.
struct ExternalCache {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const Guesser>> loaded;
};

// No real weight file comes near this; it bounds what a path such as
// /dev/zero can make us read.
constexpr std::size_t max_weight_file_bytes = std::size_t{64} << 20;

ExternalCache& external() {
    static ExternalCache* const cache = std::make_unique<ExternalCache>().release();  // never torn down
    return *cache;
}

// The whole file, or the operating system's reason why not (C stdio: its
// errors are values, where a C++ stream reading a directory throws).
Result<std::vector<std::uint8_t>, NnError> read_whole_file(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return fail(NnError::io(std::strerror(errno)));
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[1 << 16];
    while (true) {
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (bytes.size() + got > max_weight_file_bytes) {
            std::fclose(file);
            return fail(NnError::io("the file is larger than 64 MiB, the most a weight file may have"));
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
        if (got < sizeof chunk) break;
    }
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) return fail(NnError::io(std::strerror(error)));
    return bytes;
}

Result<std::shared_ptr<const Guesser>, NnError> load_locked(ExternalCache& cache, const std::string& path) {
    if (const auto found = cache.loaded.find(path); found != cache.loaded.end()) return found->second;
    auto bytes = read_whole_file(path);
    if (!bytes) return fail(bytes.error());
    auto loaded = Guesser::from_bytes(bytes.value());
    if (!loaded) return fail(loaded.error());
    auto shared = std::make_shared<const Guesser>(std::move(loaded).value());
    cache.loaded.emplace(path, shared);
    return shared;
}

GuessError value_error(std::string message) { return GuessError{std::move(message), GuessError::Kind::value}; }


// Values laid out for the rewritten circuit back onto the user's shorthand leaves.
std::vector<double> collapse_shorthands(const SeriesList& user, const std::vector<double>& mapped) {
    std::vector<double> out;
    std::size_t cursor = 0;
    for (const LeafRef& leaf : collect_leaves(user)) {
        const KindInfo& info = kind_info(leaf.element.kind);
        if (const Longhand* longhand = info.longhand) {
            const std::size_t partner = kind_info(longhand->partner).param_count;
            const auto values = longhand->collapse(
                mapped[cursor], std::span<const double>(mapped).subspan(cursor + 1, partner));
            out.insert(out.end(), values.begin(), values.begin() + static_cast<std::ptrdiff_t>(info.param_count));
            cursor += 1 + partner;
        } else {
            const std::size_t n = info.param_count;
            out.insert(out.end(), mapped.begin() + static_cast<std::ptrdiff_t>(cursor),
                       mapped.begin() + static_cast<std::ptrdiff_t>(cursor + n));
            cursor += n;
        }
    }
    return out;
}

}  // namespace

Result<std::shared_ptr<const Guesser>, NnError> load_external(const std::string& path) {
    ExternalCache& cache = external();
    std::lock_guard lock(cache.mutex);
    return load_locked(cache, path);
}

Result<std::vector<double>, GuessError> guess_params(const SeriesList& user, const MeasuredSpectrum& spectrum,
                                                     const std::optional<std::string>& weights_path,
                                                     const RegistryMatch* known) {
    std::shared_ptr<const Guesser> external_guesser;
    const Guesser* guesser = nullptr;
    Match match;
    if (!weights_path) {
        std::optional<RegistryMatch> found;
        if (known != nullptr) {
            found = *known;
        } else {
            found = find_for_topology(user);
        }
        if (!found) {
            return fail(value_error(
                "No training data on this circuit. Machine-learning based initial parameters available for " +
                quoted_names()));
        }
        auto loaded = model_guesser(found->index);
        if (const auto* error = std::get_if<std::string>(&loaded)) {
            return fail(value_error(NnError::bad_value(*error).display()));
        }
        guesser = std::get<const Guesser*>(loaded);
        match = std::move(found->match);
    } else {
        ExternalCache& cache = external();
        std::lock_guard lock(cache.mutex);
        try {
            auto loaded = load_locked(cache, *weights_path);
            if (!loaded) return fail(value_error(loaded.error().display()));
            external_guesser = loaded.value();
            auto tree = parse(external_guesser->circuit);
            if (!tree) {
                return fail(value_error(
                    NnError::bad_value("circuit " + quoted(external_guesser->circuit) + " in " + *weights_path)
                        .display()));
            }
            auto matched = match_or_expand(tree.value(), user);
            if (!matched) {
                // a mismatch, not a malformed file: say so plainly, naming both circuits
                return fail(value_error("weight file " + *weights_path + " was trained for " +
                                        quoted(external_guesser->circuit) + ", a different circuit than " +
                                        quoted(notation_text(user))));
            }
            match = std::move(*matched);
        } catch (const std::bad_alloc&) {
            return fail(GuessError{"out of memory while loading " + *weights_path, GuessError::Kind::memory});
        }
        guesser = external_guesser.get();
    }

    if (spectrum.size() < 2) return fail(value_error(NnError::too_few_points(spectrum.size()).display()));
    // The features take logarithms of every frequency and magnitude.
    if (const auto& problem = spectrum.unusable()) {
        return fail(value_error("cannot guess from this spectrum: " + *problem));
    }
    if (const auto zero = spectrum.zero_impedance()) {
        return fail(value_error("cannot guess from this spectrum: impedance " + std::to_string(*zero) +
                                " is zero, and the guess reads the logarithm of |Z|"));
    }
    const std::span<const double> frequencies = spectrum.frequencies_hz();
    const std::span<const Complex> impedances = spectrum.impedances();
    auto predicted = predict(*guesser, frequencies, impedances);
    if (!predicted) return fail(value_error(predicted.error().display()));
    const std::vector<double>& values = predicted.value();

    std::vector<double> mapped(match.map.size());
    for (std::size_t k = 0; k < match.map.size(); ++k) {
        if (match.map[k] >= values.size()) {
            return fail(value_error(NnError::shape("w.head.4.weight", values.size(), match.map[k] + 1).display()));
        }
        mapped[k] = values[match.map[k]];
    }
    if (!match.expanded) return mapped;
    return collapse_shorthands(user, mapped);
}

}  // namespace kelvara
