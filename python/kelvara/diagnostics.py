"""What a fit says about its own trustworthiness: the flags of ``FitResult.flags``.

Each flag is a :class:`Flag` ``(code, text)``: a short code for scripts and a
sentence for people. ``FitResult.flags`` is empty for a clean fit; it is worked
out on first use (it runs a Kramers-Kronig check of the fitted spectrum for its
noise level, a few milliseconds) and then kept. ``FitResult.verdict`` sums the
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
    to a frequency inside the measured window (see :func:`_judged_correlation`).
    Not for a parameter on a bound: the matrix treats it as free to move across
    the bound, so its correlations are artefacts; ``at_bound`` says what is wrong.
``misfit``
    The rms of the relative residuals ``(Z_fit - Z) / |Z|`` is above
    ``MISFIT_FACTOR`` times the data's noise level (:func:`noise_level`) and above
    ``MISFIT_FLOOR``.
``structure``
    The signs of the residuals, real and imaginary parts in frequency order, run
    in fewer runs than chance allows (Wald-Wolfowitz runs test, z below
    ``RUNS_Z``) while the misfit is above the noise level.
``nested_better``
    Set by :func:`kelvara.compare`: a simpler circuit nested in this one ended at
    a lower cost, so this fit is stuck in a worse optimum.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, NamedTuple, Sequence

if TYPE_CHECKING:
    import numpy as np

    from kelvara._core import FitResult

__all__ = ["Flag", "diagnose", "noise_level", "relative_misfit", "verdict_of", "VERDICTS"]

#: The one-word verdicts, from best to worst.
VERDICTS = ("clean", "suspect", "unreliable", "failed")

CORRELATION_LIMIT = 0.99
RELATIVE_ERROR_LIMIT = 1.0
RUNAWAY = 1e15
FLOOR_FACTOR = 1.01
MISFIT_FACTOR = 2.0
MISFIT_FLOOR = 0.002
RUNS_Z = -3.0

_SEVERITY = {"not_converged": 3, "not_finite": 3, "at_bound": 2, "undetermined": 2, "nested_better": 2,
             "correlated": 1, "misfit": 1, "structure": 1}


class Flag(NamedTuple):
    """One thing wrong with a fit: a short ``code`` and a sentence ``text``."""

    code: str
    text: str


#: Time constants per decade of the Kramers-Kronig fit behind :func:`noise_level`.
NOISE_ELEMENTS_PER_DECADE = 3


def noise_level(frequencies: Any, impedances: Any) -> float | None:
    """The noise of a spectrum as a fraction of |Z| (0.005 for 0.5 %), from the residuals
    of a Kramers-Kronig fit; None when the check cannot run (too few points).

    The fit has a fixed grid of NOISE_ELEMENTS_PER_DECADE time constants per decade
    (one linear solve) instead of the check's search over the element count: the
    noise is read from the differences of neighbouring residuals, which a smooth
    misfit hardly enters, and on synthetic spectra at 0.5-2 % noise this grid gives
    the noise as closely as the searched count (mean 0.97, sd 0.08 of the true
    noise, against 0.99 and 0.1) in a tenth of the time."""
    import numpy as np

    from kelvara.validate import kramers_kronig

    f = np.asarray(frequencies, dtype=float)
    try:
        if not (f.size and np.all(np.isfinite(f)) and f.min() > 0):
            raise ValueError("the check refuses these frequencies")
        decades = math.log10(float(f.max()) / float(f.min())) + 1.0  # the check widens the range by 1/2 decade
        count = max(1, min(f.size, math.ceil(NOISE_ELEMENTS_PER_DECADE * decades)))
        kk = kramers_kronig(f, impedances, c=None, max_elements=count)
    except ValueError:
        return None
    noise = getattr(kk, "noise", None)
    if noise is not None:
        return float(noise)
    residuals = np.concatenate([kk.residuals_real, kk.residuals_imag])
    return float(np.sqrt(np.mean(residuals**2)))


def _runs_z(signs: Sequence[np.ndarray]) -> float:
    """z of the Wald-Wolfowitz runs test over several sign sequences taken together."""
    runs = mean = variance = 0.0
    for s in signs:
        s = s[s != 0]
        n = len(s)
        positive = float((s > 0).sum())
        negative = n - positive
        if n < 2 or positive == 0 or negative == 0:
            continue
        runs += 1.0 + float((s[1:] != s[:-1]).sum())
        mu = 2.0 * positive * negative / n + 1.0
        mean += mu
        variance += (mu - 1.0) * (mu - 2.0) / (n - 1.0)
    return (runs - mean) / math.sqrt(variance) if variance > 0 else 0.0


def _number(value: float) -> str:
    return f"{value:.3g}"


def _parameter_flags(result: FitResult) -> list[Flag]:
    flags: list[Flag] = []
    circuit = result.circuit
    fixed = set(circuit.fixed)
    stderr = result.stderr
    params = result.params
    if stderr is None:
        flags.append(Flag("undetermined", "the parameters are not determined by the data: J^T J is singular or there "
                                          "are no more residuals than free parameters, so there are no standard "
                                          "errors"))
    bounded: set[str] = set()
    for name, (lo, hi) in zip(circuit.param_names(), circuit.param_bounds()):
        if name in fixed:
            continue
        value = params[name]
        where = None
        if abs(value) > RUNAWAY:
            where = "is running off to infinity: the data do not hold it (remove the element or bound it)"
        elif value <= lo + (1e-9 * abs(lo) if lo else 1e-9) or (0 < lo <= 1e-12 and value <= lo * FLOOR_FACTOR):
            where = f"sits on its lower bound {_number(lo)}"
        elif math.isfinite(hi) and value >= hi - (1e-9 * abs(hi) if hi else 1e-9):
            where = f"sits on its upper bound {_number(hi)}"
        if where is not None:
            flags.append(Flag("at_bound", f"{name} = {_number(value)} {where}"))
            bounded.add(name)
        if stderr is None:
            continue
        error = stderr.get(name)
        if error is None or not math.isfinite(error):
            flags.append(Flag("undetermined", f"{name} is not determined by the data (no finite standard error)"))
        elif value != 0 and error > RELATIVE_ERROR_LIMIT * abs(value):
            flags.append(Flag("undetermined", f"{name} is not determined by the data (standard error "
                                              f"{100 * error / abs(value):.3g} % of its value)"))
    # A parameter on a bound is not free to move as the matrix assumes: its
    # correlations say nothing beyond its at_bound flag.
    names, correlation, referred = _judged_correlation(result)
    for a, first in enumerate(names):
        for b in range(a + 1, len(names)):
            if first in bounded or names[b] in bounded:
                continue
            rho = float(correlation[a, b])
            if math.isfinite(rho) and abs(rho) > CORRELATION_LIMIT:
                flags.append(Flag("correlated", f"{referred.get(first, first)} and "
                                                f"{referred.get(names[b], names[b])} are correlated ({rho:+.4f}): "
                                                f"the data determine a combination of them, not each"))
    return flags


def _power_law_pairs(result: FitResult) -> list[tuple[str, str]]:
    """(coefficient, exponent) pairs of elements whose coefficient's unit carries the
    exponent (a CPE's q in ohm^-1*s^alpha, a TLMQ's qs in F*s^(gamma-1))."""
    circuit = result.circuit
    units = dict(zip(circuit.param_names(), circuit.param_units()))
    pairs = []
    for name, unit in units.items():
        element, _, _ = name.rpartition(".")
        for exponent in ("alpha", "gamma"):
            if f"s^{exponent}" in unit or f"s^({exponent}" in unit:
                partner = f"{element}.{exponent}"
                if partner in units:
                    pairs.append((name, partner))
    return pairs


def _judged_correlation(result: FitResult) -> tuple[list[str], np.ndarray, dict[str, str]]:
    """The correlation matrix the ``correlated`` flag reads: the fit's own, except that a
    power-law coefficient (a CPE's q) is referred to a frequency inside the measured
    window instead of 1 rad/s.

    q is the admittance at w = 1 rad/s, a unit convention: for an arc at 10 kHz a
    change of alpha swings q by (1e4)^d(alpha) with no change where the data are, so q
    and alpha correlate near -1 although the data fix both the arc and its exponent.
    The coefficient at w_r, ln q' = ln q + alpha ln w_r, takes out that convention;
    w_r is the frequency at which q' and alpha are uncorrelated, held inside the
    window, so a CPE the data reach only by extrapolation keeps its correlation.
    Returns the names, the matrix and, for each referred coefficient, how it is named
    in flag texts."""
    import numpy as np

    covariance = result.covariance
    if not covariance:
        return [], np.zeros((0, 0)), {}
    names = list(covariance)
    matrix = np.array([[covariance[a][b] for b in names] for a in names], dtype=float)
    referred: dict[str, str] = {}
    data = result._fitted_data()
    if data is not None and np.all(np.isfinite(matrix)):
        w = 2 * math.pi * np.asarray(data[0], dtype=float)
        ln_lo, ln_hi = math.log(float(w.min())), math.log(float(w.max()))
        params = result.params
        for coefficient, exponent in _power_law_pairs(result):
            if coefficient not in covariance or exponent not in covariance or params[coefficient] <= 0:
                continue
            i, j = names.index(coefficient), names.index(exponent)
            # the row of ln q; the other rows' scale does not enter a correlation
            transform = np.eye(len(names))
            transform[i, i] = 1.0 / params[coefficient]
            log_scaled = transform @ matrix @ transform.T
            if not log_scaled[j, j] > 0:
                continue
            ln_w = min(max(-log_scaled[i, j] / log_scaled[j, j], ln_lo), ln_hi)
            transform[i, j] = ln_w
            matrix = transform @ matrix @ transform.T
            referred[coefficient] = f"{coefficient} (at {math.exp(ln_w) / (2 * math.pi):.3g} Hz)"
    with np.errstate(all="ignore"):
        sd = np.sqrt(np.diag(matrix))
        correlation = matrix / np.outer(sd, sd)
    return names, correlation, referred


def _relative_residuals(result: FitResult) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
    """(f, z, (Z_fit - z) / |z|) of the fitted spectrum; None without data or where the
    fit cannot be evaluated."""
    import numpy as np

    data = result._fitted_data()
    if data is None:
        return None
    f = np.asarray(data[0], dtype=float)
    z = np.asarray(data[1], dtype=complex)
    with np.errstate(all="ignore"):
        relative = (result.circuit.impedance(f) - z) / np.abs(z)
    return (f, z, relative) if np.all(np.isfinite(relative)) else None


def relative_misfit(result: FitResult) -> float:
    """The rms of the relative residuals ``(Z_fit - Z) / |Z|`` over real and imaginary
    parts, whatever the fit's weighting; inf when it cannot be worked out."""
    import numpy as np

    found = _relative_residuals(result)
    if found is None:
        return math.inf
    relative = found[2]
    return float(np.sqrt((np.sum(relative.real**2) + np.sum(relative.imag**2)) / (2 * relative.size)))


def _misfit_flags(result: FitResult, noise: float | None) -> list[Flag]:
    import numpy as np

    found = _relative_residuals(result)
    if found is None:
        return []
    f, z, relative = found
    order = np.argsort(f)
    misfit = float(np.sqrt((np.sum(relative.real**2) + np.sum(relative.imag**2)) / (2 * relative.size)))
    if noise is None:
        noise = noise_level(f, z)
    if noise is None:
        return []
    level = max(MISFIT_FACTOR * noise, MISFIT_FLOOR)
    flags = []
    if misfit > level:
        flags.append(Flag("misfit", f"the rms misfit {100 * misfit:.3g} % is well above the data's noise "
                                    f"{100 * noise:.3g} %: the circuit does not describe the data"))
    if misfit > max(noise, MISFIT_FLOOR / MISFIT_FACTOR):
        z_runs = _runs_z([np.sign(relative.real[order]), np.sign(relative.imag[order])])
        if z_runs < RUNS_Z:
            flags.append(Flag("structure", f"the residuals run in long stretches of one sign (runs test z = "
                                           f"{z_runs:.2g}): a feature of the data is not in the circuit"))
    return flags


def diagnose(result: FitResult, noise: float | None = None) -> list[Flag]:
    """The flags of `result`, worked out afresh; `noise` (fraction of |Z|) saves the
    Kramers-Kronig check when the caller knows the spectrum's noise level."""
    flags: list[Flag] = []
    if not result.success:
        flags.append(Flag("not_converged", f"the fit did not converge: {result.message}"))
    if not math.isfinite(result.cost):
        flags.append(Flag("not_finite", "the cost is not finite: the circuit cannot be evaluated at some points"))
        return flags
    flags += _parameter_flags(result)
    flags += _misfit_flags(result, noise)
    return flags


def verdict_of(flags: Sequence[Flag]) -> str:
    """The one-word verdict for a list of flags: one of :data:`VERDICTS`."""
    worst = max((_SEVERITY.get(flag.code, 1) for flag in flags), default=0)
    return VERDICTS[worst]


# Called by FitResult.flags and FitResult.verdict.
def _compute_flags(result: FitResult) -> list[Flag]:
    return diagnose(result)


def _verdict(result: FitResult) -> str:
    return verdict_of(result.flags)
