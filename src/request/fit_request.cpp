#include "request/fit_request.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "circuit/layout.hpp"

namespace kelvara {

bool better_outcome(const FitOutcome& a, const FitOutcome& b) {
    const double ca = std::isfinite(a.cost) ? a.cost : INFINITY, cb = std::isfinite(b.cost) ? b.cost : INFINITY;
    return ca != cb ? ca < cb : (a.success && !b.success);
}

namespace {

using FitResult = Result<FitOutcome, FitError>;

FitResult fit_from(const FitRequest& request, SeriesList start, InterruptCheck interrupt) {
    FitRequest own = request;
    own.circuit = std::move(start);
    return dispatch_fit(own, interrupt);
}

FitResult fit_from_data(const FitRequest& request, const CircuitControl& caller,
                        const start::DataStartSettings& settings, const start::DataReading* reading,
                        InterruptCheck interrupt) {
    auto start = start::data_start(request.circuit, request.spectrum, request.weighting,
                                   data_start_control(request.circuit, caller), settings, interrupt, reading);
    if (!start) return fail(start.error());
    return fit_from(request, rebuild(request.circuit, start.value().values), interrupt);
}

// The first start's fit, for a Levenberg-Marquardt fit under bounds or held
// values compared with a fit from the data; an interruption ends it.
FitResult checked_against_data(const FitRequest& request, const CircuitControl& caller, FitResult first,
                               InterruptCheck interrupt) {
    if (!first || request.control.empty() || request.method != "levenberg_marquardt") return first;
    auto second = fit_from_data(request, caller, {}, nullptr, interrupt);
    if (!second) return second.error().kind == FitError::Kind::interrupted ? std::move(second) : std::move(first);
    return better_outcome(second.value(), first.value()) ? std::move(second) : std::move(first);
}

Result<FitOutcome, RequestError> widen(FitResult result) {
    if (!result) return fail(RequestError{result.error()});
    return std::move(result).value();
}

}  // namespace

Result<FitOutcome, RequestError> run_fit_request(const FitRequest& given, const CircuitControl& caller,
                                                 const RequestStarts& starts, InterruptCheck interrupt) {
    FitRequest request = given;
    request.control = engine_control(request.circuit, caller);
    const bool from_data = starts.from_data || starts.first == RequestStarts::First::none;

    std::optional<FitResult> first;
    if (starts.first == RequestStarts::First::own_values) {
        first.emplace(dispatch_fit(request, interrupt));
    } else if (starts.first == RequestStarts::First::guess) {
        auto guess = guess_params(request.circuit, request.spectrum, starts.weights_path, starts.match);
        if (!guess && !from_data) return fail(RequestError{guess.error()});
        if (guess) {
            first.emplace(fit_from(request, rebuild(request.circuit, start_from_guess(request.circuit, caller,
                                                                                      std::move(guess).value())),
                                   interrupt));
        }
    }
    if (!from_data) return widen(checked_against_data(request, caller, std::move(*first), interrupt));

    // The data's own start beside the first: the better end is kept, and
    // either may fail while the other stands.
    auto second = fit_from_data(request, caller, starts.data_settings, starts.reading, interrupt);
    const FitOutcome* best = first && *first ? &first->value() : nullptr;
    if (second && (best == nullptr || better_outcome(second.value(), *best))) return std::move(second).value();
    if (best != nullptr) return std::move(first->value());
    return fail(RequestError{second.error()});
}

}  // namespace kelvara
