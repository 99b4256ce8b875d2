#include "start/data_start.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "circuit/layout.hpp"
#include "drt/drt.hpp"
#include "drt/peaks.hpp"
#include "drt/rbf_basis.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/objective.hpp"
#include "start/placement.hpp"
#include "start/process_variants.hpp"
#include "start/residual_slot.hpp"
#include "start/impedance_shape.hpp"

namespace kelvara::start {
namespace {

constexpr double default_alpha = 0.9;
// Half the squared relative residual per entry below which a fit is exact.
constexpr double exact_cost = 1e-24;
// Solver runs from revived assignments.
constexpr std::size_t revived_runs = 4;
// Solver runs from slots moved to the residual's peaks: idle ones, then others.
constexpr std::size_t residual_runs = 3;
// Solver runs that try the settings' starts in full; later ones try one.
constexpr std::size_t full_polishes = 2;

// The DRT's peaks as processes, fastest first, and the series resistance
// and inductance it found; what the spectrum's shape says where the DRT
// cannot run (too few or unusable points).
struct Reading {
    std::vector<Process> processes;
    std::vector<Process> minor;  // maxima below the DRT's usual peak threshold
    Backdrop backdrop;
};

// Maxima down to this share of the tallest are read as minor processes.
constexpr double minor_threshold = 0.01;

double outcome_height(const drt::DrtOutcome& outcome) {
    double tallest = 0.0;
    for (double g : outcome.gamma) tallest = std::max(tallest, g);
    return tallest;
}

Reading read_processes(const DataReading& data, std::size_t slots, bool fit_minor) {
    Reading reading;
    reading.backdrop = {data.shape.r_high, data.shape.inductance};
    if (!data.drt) return reading;
    const drt::DrtSettings settings;
    const drt::DrtOutcome& outcome = *data.drt;
    for (const drt::Peak& peak : outcome.peaks) {
        if (!(peak.resistance > 0.0) || !std::isfinite(peak.resistance)) continue;
        const double alpha = peak.alpha > 0.0 ? peak.alpha : default_alpha;
        reading.processes.push_back({peak.resistance, std::exp(peak.ln_tau), alpha});
    }
    reading.backdrop.series_resistance = outcome.r_inf;
    if (outcome.inductance > 0.0) reading.backdrop.inductance = outcome.inductance;
    if (reading.processes.size() >= slots) return reading;
    // More slots than clear processes: the smaller maxima of gamma too. Fitted
    // together with the clear ones (a DRT with a lower peak threshold) they
    // place both better; read off gamma alone they cost nothing more.
    if (fit_minor) {
        drt::DrtSettings low_threshold = settings;
        low_threshold.peak_threshold = minor_threshold;
        if (auto again = drt::compute_drt(data.usable, low_threshold)) {
            const double tallest = outcome_height(again.value());
            std::vector<Process> all;
            for (const drt::Peak& peak : again.value().peaks) {
                if (!(peak.resistance > 0.0) || !std::isfinite(peak.resistance)) continue;
                const Process process{peak.resistance, std::exp(peak.ln_tau), peak.alpha > 0.0 ? peak.alpha : default_alpha};
                (peak.prominence >= settings.peak_threshold * tallest ? all : reading.minor).push_back(process);
            }
            if (all.size() == reading.processes.size()) reading.processes = std::move(all);
        }
    } else {
        const drt::RbfBasis basis{outcome.first_ln_tau, outcome.spacing, outcome.coefficients.size(), outcome.shape};
        const double low = -std::log(data.shape.omega_max), high = -std::log(data.shape.omega_min);
        const double tallest = outcome_height(outcome);
        drt::PeakRules rules;
        rules.relative_threshold = minor_threshold;
        rules.measured_low = low;
        rules.measured_high = high;
        rules.rising_below = outcome.rising_below;
        rules.rising_above = outcome.rising_above;
        for (const drt::Peak& peak : drt::find_peaks(basis, outcome.coefficients, rules).peaks) {
            if (!(peak.prominence < settings.peak_threshold * tallest) || !(peak.resistance > 0.0)) continue;
            reading.minor.push_back({peak.resistance, std::exp(peak.ln_tau_maximum), default_alpha});
        }
    }
    const auto by_tau = [](const Process& a, const Process& b) { return a.tau < b.tau; };
    std::sort(reading.processes.begin(), reading.processes.end(), by_tau);
    std::sort(reading.minor.begin(), reading.minor.end(), by_tau);
    return reading;
}

// Clamps each free value into its bounds (recording what was asked for), and
// puts the held ones back.
std::vector<double> settle(std::vector<double> values, const FitProblem& problem, std::vector<ClampedValue>* clamped) {
    const std::vector<double> own = problem.start();
    for (std::size_t j = 0; j < values.size(); ++j) {
        if (problem.fixed()[j]) {
            values[j] = own[j];
            continue;
        }
        const Bounds b = problem.bounds()[j];
        double v = values[j];
        if (!std::isfinite(v)) v = std::isfinite(b.hi) ? 0.5 * (b.lo + b.hi) : std::max(b.lo, 1.0);
        // A log-scaled parameter on its floor would be frozen there.
        const double floor = std::isfinite(b.hi) ? b.lo : b.lo + std::max(std::fabs(b.lo), 1e-300) * 1e-6;
        const double lo = b.lo, hi = b.hi;
        if (v < lo || v > hi) {
            if (clamped) clamped->push_back({j, values[j], b});
            v = std::clamp(v, lo, hi);
        }
        if (!std::isfinite(b.hi) && v <= b.lo) v = floor;
        values[j] = v;
    }
    return values;
}

double cost_at(const FitProblem& problem, const std::vector<double>& values, std::vector<double>& residuals,
               ResidualWorkspace& workspace) {
    EvaluationCounter counter{0};
    problem.objective().residuals(values.data(), residuals, workspace, counter);
    const double cost = cost_of(residuals);
    return std::isfinite(cost) ? cost : std::numeric_limits<double>::infinity();
}

}  // namespace

DataReading read_data(const MeasuredSpectrum& spectrum) {
    DataReading data;
    data.usable = spectrum.usable_part();
    if (data.usable.empty()) return data;
    data.shape = read_shape(data.usable.frequencies_hz(), data.usable.impedances());
    if (data.usable.size() >= 3) {
        auto drt = drt::compute_drt(data.usable, drt::DrtSettings{});
        if (drt) data.drt = std::move(drt).value();
    }
    return data;
}

Result<DataStart, FitError> data_start(const SeriesList& circuit, const MeasuredSpectrum& spectrum, Weighting weighting,
                                       const ParameterControl& control, const DataStartSettings& settings,
                                       InterruptCheck interrupt, const DataReading* known) {
    auto made = FitProblem::make(circuit, spectrum, weighting, control);
    if (!made) return fail(made.error());
    const FitProblem& problem = *made.value();

    std::optional<DataReading> own;
    if (known == nullptr) own.emplace(read_data(spectrum));
    const DataReading& data = known != nullptr ? *known : *own;
    DataStart best;
    best.values = problem.start();
    if (data.usable.empty()) {
        best.values = settle(best.values, problem, &best.clamped);
        return best;
    }
    const ImpedanceShape& shape = data.shape;
    const std::size_t slots = process_slots(circuit);
    const Reading reading = read_processes(data, slots, settings.fit_minor);
    const auto variants = process_variants(reading.processes, reading.minor, slots, shape);

    // Every assignment placed and scored; the cheapest are polished.
    std::vector<double> residuals(problem.objective().residual_count());
    ResidualWorkspace workspace = problem.objective().make_workspace();
    struct Scored {
        std::vector<double> values;
        std::vector<ClampedValue> clamped;
        double cost;
    };
    std::vector<Scored> scored;
    for (const auto& processes : variants) {
        Scored s;
        s.values = settle(param_values(place(circuit, shape, reading.backdrop, processes)), problem, &s.clamped);
        s.cost = cost_at(problem, s.values, residuals, workspace);
        scored.push_back(std::move(s));
    }
    std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) { return a.cost < b.cost; });
    best.values = scored.front().values;
    best.clamped = scored.front().clamped;
    best.cost = scored.front().cost;
    best.starts = scored.size();

    InterruptScope scope(interrupt);
    LmSettings lm;
    lm.max_iterations = settings.max_iterations;
    lm.max_starts = settings.max_starts;
    lm.corner_rounds = settings.corner_rounds;
    // The first runs try a second start of their own; later ones, which start
    // from assignments that scored worse, one.
    LmSettings later = lm;
    later.max_starts = 1;
    std::size_t polishes = 0;
    // Polishes `start`; keeps it in `best` when it ends lower. False when interrupted.
    auto polish = [&](const std::vector<double>& start, const std::vector<ClampedValue>& clamped) {
        auto fitted = levenberg_marquardt_fit(problem, start, polishes++ < full_polishes ? lm : later);
        if (!fitted) return fitted.error().kind != FitError::Kind::interrupted;
        const FitOutcome& outcome = fitted.value();
        if (std::isfinite(outcome.cost) && outcome.cost < best.cost) {
            best.values = outcome.params;
            best.cost = outcome.cost;
            best.clamped = clamped;
        }
        return true;
    };
    const double exact = exact_cost * static_cast<double>(residuals.size());
    std::size_t runs = 0;
    double last_cost = -1.0;
    for (std::size_t k = 0; k < scored.size() && runs < settings.polished && best.cost > exact; ++k) {
        // Slots of the same kind make orders with the same cost: one run does for them.
        if (std::fabs(scored[k].cost - last_cost) <= 1e-12 * scored[k].cost) continue;
        last_cost = scored[k].cost;
        ++runs;
        if (!polish(scored[k].values, scored[k].clamped)) return fail(FitError{FitError::Kind::interrupted, {}});
    }

    // A slot the polish ran off to a corner (a resistance on its floor or a
    // capacitance without bound) does nothing: it is placed afresh from the
    // other assignments, the rest kept, and polished once more.
    if (best.cost > exact && settings.revive) {
        const std::vector<ParamRange> ranges = slot_ranges(circuit);
        std::vector<Scored> revived;
        for (const ParamRange& range : ranges) {
            if (!slot_in_corner(best.values, range, problem.bounds(), problem.fixed())) continue;
            for (const Scored& other : scored) {
                Scored s{best.values, best.clamped, 0.0};
                std::copy(other.values.begin() + static_cast<std::ptrdiff_t>(range.begin),
                          other.values.begin() + static_cast<std::ptrdiff_t>(range.end),
                          s.values.begin() + static_cast<std::ptrdiff_t>(range.begin));
                s.cost = cost_at(problem, s.values, residuals, workspace);
                revived.push_back(std::move(s));
            }
        }
        std::stable_sort(revived.begin(), revived.end(), [](const Scored& a, const Scored& b) { return a.cost < b.cost; });
        for (std::size_t k = 0; k < revived.size() && k < revived_runs && best.cost > exact; ++k) {
            if (!polish(revived[k].values, revived[k].clamped)) return fail(FitError{FitError::Kind::interrupted, {}});
        }
    }

    // A process too small for the DRT to show: a slot that holds nothing of
    // its own (or, where the residual is not noise, any slot) is moved to
    // where the best fit's residual peaks.
    if (best.cost > exact && settings.revive) {
        ResidualStarts starts = residual_slot_starts(circuit, best.values, data.usable, shape, reading.backdrop,
                                                     problem.bounds(), problem.fixed());
        for (std::vector<std::vector<double>>* group : {&starts.idle, &starts.other}) {
            std::vector<Scored> moved;
            for (std::vector<double>& values : *group) {
                Scored s{settle(std::move(values), problem, nullptr), best.clamped, 0.0};
                s.cost = cost_at(problem, s.values, residuals, workspace);
                moved.push_back(std::move(s));
            }
            std::stable_sort(moved.begin(), moved.end(),
                             [](const Scored& a, const Scored& b) { return a.cost < b.cost; });
            for (std::size_t k = 0; k < moved.size() && k < residual_runs && best.cost > exact; ++k) {
                if (!polish(moved[k].values, moved[k].clamped)) return fail(FitError{FitError::Kind::interrupted, {}});
            }
        }
    }
    return best;
}

}  // namespace kelvara::start
