// How many RC elements a Kramers-Kronig fit gets: every count from 1 to the
// cap is fitted and one is chosen by a rule on its over-fitting measure mu and
// its residuals.
#pragma once

#include <cstddef>
#include <span>

#include "diagnostics/kk_problem.hpp"

namespace kelvara::diagnostics {

enum class KkRule {
    automatic,  // the lowest BIC among the fits with mu >= kk_auto_mu
    best,       // the smallest residual among the fits with mu >= c (else as first)
    first,      // the first count with mu < c (the cap if none): Schönleber's rule
};

// Guard on mu of the automatic rule.
inline constexpr double kk_auto_mu = 0.5;

// mu = 1 - sum(|R_k|, R_k < 0) / sum(|R_k|, R_k >= 0): fits that over-fit show
// resistances of alternating sign, and mu drops with them.
double kk_mu(std::span<const double> resistances);

// The element count in 1..cap by `rule` (c its threshold on mu).
std::size_t choose_element_count(const KkProblem& problem, std::size_t cap, KkRule rule, double c);

}  // namespace kelvara::diagnostics
