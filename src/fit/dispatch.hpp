// The engine's front door: runs the fit method named in a request.
#pragma once

#include <string>
#include <vector>

#include "support/result.hpp"
#include "circuit/measured_points.hpp"
#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_problem.hpp"
#include "fit/interruption.hpp"
#include "fit/methods.hpp"
#include "fit/weighting.hpp"

namespace kelvara {

struct FitRequest {
    std::string method = "levenberg_marquardt";
    SeriesList circuit;  // holds the starting values
    MeasuredSpectrum spectrum;
    Weighting weighting = Weighting::modulus;
    FitSettings settings;
    ParameterControl control;  // the caller's bounds and fixed parameters; empty: the catalogue's, none
};

// `interrupt` is asked now and then during long fits (see interruption.hpp);
// when it says stop, the fit ends with FitError::Kind::interrupted.
Result<FitOutcome, FitError> dispatch_fit(const FitRequest& request, InterruptCheck interrupt = {});

}  // namespace kelvara
