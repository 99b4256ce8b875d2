// One circuit fitted to a series of spectra at once, some of its parameters
// shared by every spectrum (an electrolyte resistance, a geometric
// capacitance) and the others each spectrum's own: one least-squares problem
// over the stacked weighted residuals of all spectra.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "support/result.hpp"
#include "circuit/tree.hpp"
#include "elements/complex.hpp"
#include "fit/fit_outcome.hpp"
#include "fit/fit_problem.hpp"
#include "fit/interruption.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/weighting.hpp"

namespace kelvara {

struct JointSpectrum {
    MeasuredSpectrum spectrum;
    std::vector<double> start;  // every parameter's physical value (a separate fit's end)
};

struct JointFitRequest {
    SeriesList circuit;         // the layout; its values are not read
    ParameterControl control;   // bounds in force and held parameters; empty: the catalogue's, none
    std::vector<JointSpectrum> spectra;
    std::vector<std::size_t> shared;  // parameter indices, each at most once, none of them held
    Weighting weighting = Weighting::modulus;
    LmSettings settings;  // of the joint problem (max_starts is not read)
    std::uint64_t prior_evaluations = 0;  // of the fits that gave the starts: counted in every outcome
};

struct JointOutcome {
    // One per spectrum, as a single fit would give it, except that the
    // covariance (and so the standard errors) of its free and shared
    // parameters comes from the joint problem: scaled by the chi-square of all
    // spectra over the joint degrees of freedom.
    std::vector<FitOutcome> spectra;
    double cost = 0.0;  // of all spectra
    bool success = false;
    std::string message;  // "joint fit of {n} spectra sharing {names}: {why it stopped}"
};

// The shared parameters start at the median of the starts (in search
// coordinates), each spectrum's own at its start. Errors: no spectrum, a
// shared index out of range, repeated or held, starts of the wrong length,
// and every error of FitProblem::make (first spectrum first).
Result<JointOutcome, FitError> joint_fit(const JointFitRequest& request, InterruptCheck interrupt = {});

}  // namespace kelvara
