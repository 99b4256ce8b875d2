// The weighted linear least-squares problem of a Kramers-Kronig fit: a
// spectrum scaled to unit geometric-mean |Z|, the model's fixed columns (R0,
// then jwL, then 1/(jwC) when they are in) and one column per RC time
// constant. Rows are the real and imaginary parts of Z / scale, each divided
// by |Z / scale|, so that the residuals are relative.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "circuit/measured_points.hpp"
#include "elements/complex.hpp"

namespace kelvara::diagnostics {

// A spectrum whose lowest-frequency point is more capacitive than this (-phase,
// degrees) has no low-frequency intercept: the model adds a series capacitance.
inline constexpr double capacitive_tail_degrees = 15.0;

struct KkModel {
    bool inductance = true;
    bool capacitance = false;
    double extend_decades = 0.5;  // the time constants reach this far beyond the measured range
};

// Whether the point at the lowest frequency is more capacitive than capacitive_tail_degrees.
bool capacitive_tail(std::span<const double> frequencies_hz, std::span<const Complex> impedances);

struct KkProblem {
    KkModel model;
    double scale = 1.0;  // Z is fitted as Z / scale
    std::vector<double> omega;
    std::vector<double> weight;   // 1 / |Z / scale|
    std::vector<Complex> target;  // (Z / scale) * weight: the right-hand side
    double omega_min = 0.0;
    double omega_max = 0.0;

    std::size_t points() const { return omega.size(); }
    std::size_t fixed_count() const { return 1 + (model.inductance ? 1 : 0) + (model.capacitance ? 1 : 0); }
    // Column of 1/C (the last fixed column) when the capacitance is in.
    std::size_t capacitance_column() const { return fixed_count() - 1; }

    // The weighted real and imaginary rows of point i for time constants `tau`
    // (fixed_count() + tau.size() entries each).
    void rows(std::size_t i, std::span<const double> tau, std::span<double> re, std::span<double> im) const;

    // Columns held non-negative: the series capacitance and the elements slower
    // than the lowest frequency (a negative R there stands for nothing and,
    // with a partner of opposite sign, absorbs the end of a sweep).
    std::vector<bool> bounded(std::span<const double> tau) const;

    // log10 of the time-constant range: 1 / w_max to 1 / w_min widened by
    // extend_decades, at the slow end only without a series capacitance (which
    // is the limit of elements far below the range; elements just below it
    // would add only a real part falling off as 1/w^2, a drift's shape).
    std::pair<double, double> log_tau_range() const;
};

// nullopt for a spectrum the fit cannot take: no points, a frequency not
// positive and finite, an impedance zero or not finite (the spectrum's own
// facts), or |Z| spanning so many decades that its weights overflow.
std::optional<KkProblem> kk_problem(const MeasuredSpectrum& spectrum, const KkModel& model);
// The same for a spectrum not checked yet (nullopt also for unequal lengths).
std::optional<KkProblem> kk_problem(std::span<const double> frequencies_hz, std::span<const Complex> impedances,
                                    const KkModel& model);

// m time constants log-spaced over the range (a single one at its centre).
std::vector<double> kk_time_constants(std::pair<double, double> log_tau, std::size_t m);

}  // namespace kelvara::diagnostics
