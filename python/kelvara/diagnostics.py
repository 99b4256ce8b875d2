"""What a fit says about its own trustworthiness: the flags of ``FitResult.flags``.

Each flag is a :class:`Flag` ``(code, text)``: a short code for scripts and a
sentence for people. ``FitResult.flags`` is empty for a clean fit; it is worked
out on first use (a linear Kramers-Kronig fit of the fitted spectrum gives its
noise level; with the rules, a few percent of a fit's time) and then kept. ``FitResult.verdict`` sums the
flags up in one word:

========== =====================================================================
verdict    meaning
========== =====================================================================
clean      no flag
suspect    the values are determined, but the circuit does not describe the data
           to their noise level, or two parameters are nearly interchangeable
unreliable a value sits on a bound or is not determined by the data, or a simpler
           circuit fitted better
failed     the fit did not converge or its cost is not finite
========== =====================================================================

Codes:

``not_converged``, ``not_finite``
    The solver did not report success; the cost is NaN or infinite.
``at_bound``
    A free parameter at one of its bounds (within 1e-9 relative, or within a
    factor 1.01 of the 1e-12 floor of a positive quantity), or beyond 1e15,
    where it is running off to infinity.
``undetermined``
    A free parameter whose standard error is missing, not finite or above 100 %
    of its value.
``correlated``
    Two free parameters whose correlation is beyond +-0.99, with a CPE's q referred
    to a frequency inside the measured window. q is the admittance at 1 rad/s, a
    unit convention: for an arc at 10 kHz a change of alpha swings q by
    (1e4)^d(alpha) with no change where the data are, so q and alpha correlate
    near -1 although the data fix both. The flag reads instead the coefficient at
    w_r, ln q' = ln q + alpha ln w_r, with w_r the frequency at which q' and alpha
    are uncorrelated, held inside the window (a CPE the data reach only by
    extrapolation keeps its correlation); its text names it, e.g.
    ``CPE1.q (at 1.2e+03 Hz)``. The ``correlation`` matrix of the result is the
    fit's own.
    Not for a parameter on a bound: the matrix treats it as free to move across
    the bound, so its correlations are artefacts; ``at_bound`` says what is wrong.
``misfit``
    The rms of the relative residuals ``(Z_fit - Z) / |Z|`` is clearly above the
    data's noise level (:func:`noise_level`) and above 0.2 %. Clearly: scaled by
    ``sqrt(2N / (2N - k))`` for the k free parameters fitted to the 2N residuals,
    it exceeds the noise times ``1 + 1.7 / sqrt(2N)``, 1.16 for 60 points and 1.29
    for 17. For the right circuit the scaled ratio has mean 1.00 and sd about
    0.6 / sqrt(2N), so it stays below that limit on about 99 % of spectra (97 %
    below 30 points); a misfit of 1.3 times the noise is flagged from 17 points on
    (``benchmarks/bench_flags.py``).
``structure``
    The signs of the residuals, real and imaginary parts in frequency order, run
    in fewer runs than chance allows (Wald-Wolfowitz runs test over both parts
    together, z below -3) while the misfit is above the noise level.
``nested_better``
    Set by :func:`kelvara.compare`: a simpler circuit nested in this one ended at
    a lower cost, so this fit is stuck in a worse optimum.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple, Sequence

from kelvara import _core

if TYPE_CHECKING:
    from kelvara._core import FitResult

__all__ = ["Flag", "diagnose", "noise_level", "relative_misfit", "verdict_of", "VERDICTS"]

#: The one-word verdicts, from best to worst.
VERDICTS = ("clean", "suspect", "unreliable", "failed")

_SEVERITY = {"not_converged": 3, "not_finite": 3, "at_bound": 2, "undetermined": 2, "nested_better": 2,
             "correlated": 1, "misfit": 1, "structure": 1}


class Flag(NamedTuple):
    """One thing wrong with a fit: a short ``code`` and a sentence ``text``."""

    code: str
    text: str


def noise_level(frequencies: Any, impedances: Any) -> float | None:
    """The noise of a spectrum as a fraction of |Z| (0.005 for 0.5 %), from the residuals
    of a Kramers-Kronig fit; None when the fit cannot run (fewer than 5 points, a
    frequency not positive and finite, an impedance zero or not finite).

    The fit has a fixed grid of 3 time constants per decade (one linear solve)
    instead of the search over the element count of
    :func:`kelvara.validate.kramers_kronig`, whose model it shares: the noise is read
    from the differences of neighbouring residuals, which a smooth misfit hardly
    enters. The part of white scatter that the fit itself takes out of those
    differences (a fifth at 5 points per decade, where the grid has a column for
    every two points) is allowed for, so that the square of the estimate is
    unbiased: on the spectra of ``benchmarks/bench_flags.py`` (5-15 points per
    decade, 0.2-2 % noise) the estimate has mean 1.00, sd 0.095 of the true noise.
    ``KKResult.noise`` reads the same sum without that allowance, from the residuals
    of the check's own fit; with this grid (``c=None`` and ``max_elements`` 3 per
    decade) the check fits this model, and the two differ by the allowance alone."""
    try:
        return _core._noise_level(frequencies, impedances)
    except ValueError:
        return None


def relative_misfit(result: FitResult) -> float:
    """The rms of the relative residuals ``(Z_fit - Z) / |Z|`` over real and imaginary
    parts, whatever the fit's weighting; inf when it cannot be worked out."""
    return result._relative_misfit()


def diagnose(result: FitResult, noise: float | None = None) -> list[Flag]:
    """The flags of `result`, worked out afresh; `noise` (fraction of |Z|) saves the
    Kramers-Kronig fit when the caller knows the spectrum's noise level."""
    return result._diagnose(noise)


def verdict_of(flags: Sequence[Flag]) -> str:
    """The one-word verdict for a list of flags: one of :data:`VERDICTS`."""
    worst = max((_SEVERITY.get(flag.code, 1) for flag in flags), default=0)
    return VERDICTS[worst]


# Called by FitResult.verdict.
def _verdict(result: FitResult) -> str:
    return verdict_of(result.flags)
