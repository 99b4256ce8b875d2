"""Kramers-Kronig validity check of a measured impedance spectrum (linear "Lin-KK" test).

A spectrum of a linear, causal, stable system can be reproduced by a chain of RC
(Voigt) elements. The test of Schönleber et al. [1]_ fixes M time constants
log-spaced over the measured range, so that only the resistances remain unknown, and
fits them by linear least squares to the complex spectrum. Systematic residuals
(drift, non-linearity, instrument artefacts) reveal data that no Kramers-Kronig
compliant model explains.

Time constants. The range runs from ``1 / w_max`` to ``1 / w_min`` widened by
``extend_decades`` (default half a decade) at each end: arcs whose characteristic
frequency lies at or beyond the edge of the measured range need elements outside it,
as Boukamp [2]_ and Yrjänä and Bobacka [3]_ point out; without them the edge points of
such spectra (inductive cable tails, the onset of a low-frequency arc) show residuals
of several percent that have nothing to do with causality.

Bounds. The series capacitance and the RC elements slower than the lowest measured
frequency are kept non-negative (an active set: negative ones are held at zero and the
fit repeated). Those elements stand for relaxations slower than the sweep, seen only by
their flank; a negative one means nothing there, and a pair of opposite sign absorbs
what a drift leaves at the end of a sweep, where the sweep spends most of its time. With
a series capacitance in the model the range is not widened at the slow end at all: the
capacitance is the limit of elements far below the range, and elements just below it
would add only a real part falling off as 1/w^2, the same drift shape. The elements
faster than the highest frequency stay free: with the inductance they describe lead and
cable artefacts.

Number of elements M. Every M from 1 to the cap is fitted. Fits that over-fit show
resistances of alternating sign; Schönleber's measure

    mu = 1 - sum(|R_k|, R_k < 0) / sum(|R_k|, R_k >= 0)

drops with them. The default rule (``select="auto"``) keeps the fits with
``mu >= 0.5`` and takes among them the one with the smallest Bayesian information
criterion ``2N ln(SSE / 2N) + p ln(2N)`` (2N real residuals, p fitted terms): M grows
while an element explains more than noise, and no further. The original rule takes
the first M with ``mu < c`` (``select="first"``, as impedance.py's ``linKK``);
``select="best"`` takes the smallest residual among the fits with ``mu >= c``. With
c = 0.85 both stop too early on spectra with sharp arcs at 1-2 % noise, where noise
alone pulls mu below 0.85 before the grid is fine enough for the arc (residuals of
ten times the noise), and both misjudge the widened time-constant range, whose outer
elements pair up with opposite signs.

Noise and verdict. The noise (``noise``) is estimated from the differences of
neighbouring residuals of the chosen fit (real and imaginary parts in frequency order):
random scatter of standard deviation s gives differences of standard deviation s*sqrt(2),
while a systematic deviation, smooth over several points, hardly enters them. It is the
mean square successive difference of the residuals, the denominator of their von
Neumann ratio, without the allowance for what the fit takes out of the differences that
:func:`kelvara.diagnostics.noise_level` makes: with that function's grid (``c=None``
and ``max_elements`` 3 per decade over the widened range) the two read one sum D of
squared differences, as sqrt(D / 4(N-1)) and sqrt(D / (4(N-1) - t)). The verdict compares the rms
residual with it, so it holds at any noise level:

- the residuals have *structure* when their rms exceeds the noise clearly (above
  ``1 + 1.8 / sqrt(2N)``, 1.16 for 60 points),
  when their signs form too few runs (Wald-Wolfowitz runs test of each part, the
  smaller z below -3; the flags of a fit pool both parts instead), or when
  the mean of 3, 6, 12 or 24 neighbouring residuals (real or imaginary part, in
  frequency order) is off by more standard errors than white noise reaches with
  probability ``WINDOW_ALPHA`` over all such windows (a Bonferroni bound, about 4.2
  for 60 points): a local deviation, such as a drift at the end of the sweep, that the
  rms over the whole spectrum dilutes;
- the check fails when the residuals have structure and their rms is above 0.2 % of
  |Z| (``ACCURACY``): smaller systematic deviations lie within the accuracy of
  common instruments and are not held against the data.

``tolerance`` replaces the verdict with a fixed bound on every residual.

References
----------
.. [1] M. Schönleber, D. Klotz, E. Ivers-Tiffée, "A Method for Improving the
   Robustness of linear Kramers-Kronig Validity Tests", Electrochim. Acta 131
   (2014) 20-27, doi:10.1016/j.electacta.2014.01.034.
.. [2] B. A. Boukamp, "A Linear Kronig-Kramers Transform Test for Immittance Data
   Validation", J. Electrochem. Soc. 142 (1995) 1885-1894, doi:10.1149/1.2044210.
.. [3] V. Yrjänä, J. Bobacka, "Assessing the quality of impedance spectra with the
   linear Kramers-Kronig test" (pyimpspec), Electrochim. Acta (2024).
"""

from __future__ import annotations

import math
import operator
from statistics import NormalDist
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvara import _core

__all__ = ["KKResult", "kramers_kronig", "DEFAULT_MAX_ELEMENTS", "MIN_POINTS", "ACCURACY"]

#: Upper bound on the number of RC elements when ``max_elements`` is not given
#: (the default cap is the smaller of this and the number of points).
DEFAULT_MAX_ELEMENTS = 50
#: Fewest points accepted: the model has at least two fixed terms besides the RC chain.
MIN_POINTS = 5
#: Systematic residuals (rms, fraction of |Z|) below this pass whatever their structure.
ACCURACY = 0.002
#: Residual rms / noise above 1 + STRUCTURE_RATIO / sqrt(2N) counts as structure.
STRUCTURE_RATIO = 1.8
#: Runs-test z-score below this counts as structure.
RUNS_Z = -3.0
#: Widths of the windows of neighbouring residuals whose means are tested.
WINDOWS = (3, 6, 12, 24)
#: False-alarm rate of the window test on white noise.
WINDOW_ALPHA = 0.01

_TWO_PI = 2.0 * math.pi
_SELECT = ("auto", "best", "first")


@dataclass(frozen=True, eq=False)
class KKResult:
    """Outcome of :func:`kramers_kronig`.

    All arrays follow the order of the input and are read-only.

    Attributes
    ----------
    frequencies : ndarray of float64
        Measured frequencies in Hz.
    impedances : ndarray of complex128
        Measured impedances in ohm.
    fitted : ndarray of complex128
        The Kramers-Kronig compliant model at ``frequencies``.
    residuals_real, residuals_imag : ndarray of float64
        Relative residuals ``(Z - Z_fit) / |Z|``, real and imaginary parts.
    n_elements : int
        Number of RC elements M used.
    mu : float
        Over-fitting measure of the chosen fit (see the module docstring).
    time_constants : ndarray of float64
        The fixed RC time constants in s, ascending.
    resistances : ndarray of float64
        Fitted RC resistances in ohm, one per time constant.
    max_residual : float
        Largest absolute relative residual (real or imaginary part).
    passed : bool
        The verdict: see the module docstring, or ``max_residual <= tolerance``
        when a tolerance was given.
    ohmic_resistance : float
        Fitted series resistance in ohm.
    inductance : float
        Fitted series inductance in H (0 when not part of the model).
    capacitance : float
        Fitted series capacitance in F (inf when not part of the model).
    tolerance : float or None
        The fixed residual bound behind ``passed``; None for the noise-based verdict.
    noise : float
        Estimated standard deviation of the random part of the relative residuals
        (real and imaginary part each, a fraction of |Z|), from the differences of
        neighbouring residuals (see the module docstring for how it relates to
        :func:`kelvara.diagnostics.noise_level`).
    rms_residual : float
        Root mean square of the relative residuals, corrected for the fitted terms.
    runs_z : float
        The smaller runs-test z-score of the real and imaginary residuals (strongly
        negative: long stretches of one sign).
    window_z : float
        The largest absolute mean of the residuals (real or imaginary part) over
        3, 6, 12 or 24 neighbouring frequencies, in units of its standard error
        ``noise / sqrt(width)``.
    reason : str
        Why the check failed; empty when it passed.
    """

    frequencies: npt.NDArray[np.float64]
    impedances: npt.NDArray[np.complex128]
    fitted: npt.NDArray[np.complex128]
    residuals_real: npt.NDArray[np.float64]
    residuals_imag: npt.NDArray[np.float64]
    n_elements: int
    mu: float
    time_constants: npt.NDArray[np.float64]
    resistances: npt.NDArray[np.float64]
    max_residual: float
    passed: bool
    ohmic_resistance: float = 0.0
    inductance: float = 0.0
    capacitance: float = math.inf
    tolerance: float | None = None
    noise: float = math.nan
    rms_residual: float = math.nan
    runs_z: float = 0.0
    reason: str = ""
    window_z: float = 0.0

    def model(self, frequencies: npt.ArrayLike) -> npt.NDArray[np.complex128]:
        """Impedance of the fitted RC chain at other frequencies (Hz)."""
        w = _TWO_PI * np.asarray(frequencies, dtype=np.float64)
        z = self.ohmic_resistance + (1.0 / (1.0 + 1j * np.multiply.outer(w, self.time_constants))) @ self.resistances
        z = z + 1j * w * self.inductance
        if math.isfinite(self.capacitance):
            with np.errstate(divide="ignore"):
                z = z - 1j / (w * self.capacitance)
        return np.asarray(z, dtype=np.complex128)

    def _capacitance_shows(self) -> bool:
        """Whether the series capacitance is one the data show: positive, with a
        reactance at the lowest frequency of at least a thousandth of |Z| there (a
        fit may leave a vanishing elastance, which reads as terafarads)."""
        if not (math.isfinite(self.capacitance) and self.capacitance > 0.0) or not self.frequencies.size:
            return False
        lowest = int(np.argmin(self.frequencies))
        reactance = 1.0 / (_TWO_PI * self.frequencies[lowest] * self.capacitance)
        return bool(reactance >= 1e-3 * abs(self.impedances[lowest]))

    def summary(self) -> str:
        """One-line verdict, e.g. ``Kramers-Kronig check passed: 7 RC elements (mu 0.81),
        largest residual 0.42 %, noise 0.12 %``, with the series capacitance when the
        model has one and the reason of a failure."""
        elements = f"{self.n_elements} RC element{'' if self.n_elements == 1 else 's'}"
        text = (
            f"Kramers-Kronig check {'passed' if self.passed else 'failed'}: {elements} "
            f"(mu {self.mu:.2f}), largest residual {100.0 * self.max_residual:.2f} %, "
            f"noise {100.0 * self.noise:.2g} %"
        )
        if self._capacitance_shows():
            text += f", series capacitance {self.capacitance:.3g} F added"
        if not self.passed:
            text += f" ({self.reason})"
        return text


def kramers_kronig(
    frequencies: Any,
    impedances: Sequence[complex] | npt.ArrayLike | None = None,
    *,
    c: float | None = 0.85,
    max_elements: int | None = None,
    add_inductance: bool = True,
    select: str = "auto",
    add_capacitance: bool | None = None,
    extend_decades: float = 0.5,
    tolerance: float | None = None,
) -> KKResult:
    """Linear Kramers-Kronig test (Lin-KK) of an impedance spectrum.

    The model is ``R0 + sum_k R_k / (1 + j w tau_k)`` plus, optionally, a series
    inductance ``j w L`` and a series capacitance ``1 / (j w C)``. The time constants
    are log-spaced from ``1 / w_max`` to ``1 / w_min`` (``w = 2 pi f``), widened by
    ``extend_decades`` at each end; R0, R_k, L and 1/C are fitted by linear least
    squares to the real and imaginary parts together, each weighted by ``1 / |Z|``.
    Memory grows linearly with the number of points (the normal equations are
    accumulated point by point; the design matrix is held whole, for an
    orthogonal factorisation of the final fit, only up to 1024 points).

    Parameters
    ----------
    frequencies : array_like of float, or a spectrum
        Frequencies in Hz, positive and finite, in any order. With ``impedances``
        left out: a :class:`kelvara.io.Spectrum` or a dataframe with battery-data-format
        columns (rows with a frequency not above zero are dropped).
    impedances : array_like of complex, optional
        Measured impedances in ohm, finite and non-zero.
    c : float or None, optional
        Threshold on mu in (0, 1] of the rules "first" and "best". ``None`` fits
        exactly ``max_elements`` elements instead.
    max_elements : int, optional
        Cap on M. Default: ``min(len(frequencies), 50)``.
    add_inductance : bool, optional
        Include a series inductance (wiring, cell leads). Default True.
    select : {"auto", "best", "first"}, optional
        How M is chosen (module docstring): "auto" (default) the lowest Bayesian
        information criterion among the fits with mu >= 0.5; "first" the first M
        with ``mu < c`` (the cap if there is none), Schönleber's rule; "best" the
        smallest residual among the fits with ``mu >= c`` ("first"'s choice if no M
        qualifies).
    add_capacitance : bool or None, optional
        Include a series capacitance, for spectra without a low-frequency intercept
        (diffusion tails, blocking electrodes). Default None: included when the
        lowest-frequency point is still capacitive (-phase above 15 degrees).
    extend_decades : float, optional
        Widen the time-constant range by this many decades beyond each end of the
        measured range. Default 0.5.
    tolerance : float or None, optional
        A fixed bound: ``passed`` is True when every relative residual is at most
        this in absolute value. Default None: the noise-based verdict.

    Returns
    -------
    KKResult

    Raises
    ------
    ValueError
        On malformed input (lengths, non-finite values, non-positive frequencies,
        zero impedance, fewer than ``MIN_POINTS`` points) or option values.
    TypeError
        For data that are not sequences of numbers, as ``Circuit.fit``.
    """
    from kelvara._measured import spectrum

    f, z = spectrum(frequencies, impedances, check="relaxation", min_points=MIN_POINTS)
    c, cap, extend_decades, tolerance = _check_options(f.size, c, max_elements, select, extend_decades, tolerance)
    fit = _core._kramers_kronig(f, z, None if c is None else select, 0.85 if c is None else c, cap,
                                add_inductance, add_capacitance, extend_decades)
    return _result(f, z, fit, tolerance, add_inductance)


def _check_options(n: int, c: float | None, max_elements: int | None, select: str, extend_decades: float,
                   tolerance: float | None) -> tuple[float | None, int, float, float | None]:
    """(c, the cap on M, extend_decades, tolerance), checked."""
    if c is not None:
        c = _check_number("c", c)
        if not 0.0 < c <= 1.0:
            raise ValueError(f"c must lie in (0, 1], got {c}")
    if select not in _SELECT:
        raise ValueError(f"select must be 'auto', 'best' or 'first', got {select!r}")
    if max_elements is None:
        cap = min(n, DEFAULT_MAX_ELEMENTS)
    else:
        if isinstance(max_elements, bool):
            raise ValueError(f"max_elements must be a positive integer, got {max_elements!r}")
        try:
            cap = operator.index(max_elements)
        except TypeError:
            raise ValueError(f"max_elements must be a positive integer, got {max_elements!r}") from None
        if cap < 1:
            raise ValueError(f"max_elements must be a positive integer, got {cap}")
    extend_decades = _check_number("extend_decades", extend_decades)
    if extend_decades < 0.0:
        raise ValueError(f"extend_decades must be >= 0, got {extend_decades}")
    if tolerance is not None:
        tolerance = _check_number("tolerance", tolerance)
        if tolerance <= 0.0:
            raise ValueError(f"tolerance must be positive, got {tolerance}")
    return c, cap, extend_decades, tolerance


def _result(f: np.ndarray, z: np.ndarray, fit: dict[str, Any], tolerance: float | None,
            add_inductance: bool) -> KKResult:
    """The KKResult of the core's fit: its residuals judged, its fields read-only."""
    residuals = fit["residuals"]
    res_re = np.ascontiguousarray(residuals.real)
    res_im = np.ascontiguousarray(residuals.imag)
    tau = fit["time_constants"]
    noise = math.nan if fit["noise"] is None else fit["noise"]
    n_terms = tau.size + 1 + int(bool(add_inductance)) + int(fit["capacitance"])
    max_residual = float(max(np.abs(res_re).max(), np.abs(res_im).max()))
    rms, window_z = _residual_statistics(f, res_re, res_im, noise, n_terms)
    if tolerance is not None:
        passed = bool(max_residual <= tolerance)
        reason = "" if passed else f"tolerance {100.0 * tolerance:g} %"
    else:
        passed, reason = _verdict(f.size, noise, rms, fit["runs_z"], window_z)
    elastance = fit["elastance"]
    return KKResult(
        frequencies=_frozen(f),
        impedances=_frozen(z),
        fitted=_frozen(fit["fitted"]),
        residuals_real=_frozen(res_re),
        residuals_imag=_frozen(res_im),
        n_elements=int(tau.size),
        mu=fit["mu"],
        time_constants=_frozen(tau),
        resistances=_frozen(fit["resistances"]),
        max_residual=max_residual,
        passed=passed,
        ohmic_resistance=fit["ohmic_resistance"],
        inductance=fit["inductance"],
        capacitance=1.0 / elastance if fit["capacitance"] and elastance != 0.0 else math.inf,
        tolerance=tolerance,
        noise=noise,
        rms_residual=rms,
        runs_z=fit["runs_z"],
        window_z=window_z,
        reason=reason,
    )


def _residual_statistics(f: np.ndarray, res_re: np.ndarray, res_im: np.ndarray, noise: float,
                         n_terms: int) -> tuple[float, float]:
    """(rms, window z) of the relative residuals; see the module docstring."""
    order = np.argsort(f, kind="stable")
    re, im = res_re[order], res_im[order]
    sse = float(re @ re) + float(im @ im)
    rms = math.sqrt(sse / max(2 * f.size - n_terms, 1))
    return rms, max(_window_z(re, noise), _window_z(im, noise))


def _window_z(x: np.ndarray, noise: float) -> float:
    """Largest |sum of `x` over WINDOWS neighbouring values| / (noise sqrt(width))."""
    if not noise > 0.0:
        return 0.0
    total = np.concatenate([[0.0], np.cumsum(x)])
    largest = 0.0
    for width in WINDOWS:
        if width > x.size:
            break
        sums = total[width:] - total[:-width]
        largest = max(largest, float(np.abs(sums).max()) / (noise * math.sqrt(width)))
    return largest


def _window_bound(n: int) -> float:
    """The window z that white noise exceeds with probability WINDOW_ALPHA: a
    Bonferroni bound over every window of both parts (conservative, as overlapping
    windows are correlated)."""
    count = 2 * sum(n - width + 1 for width in WINDOWS if width <= n)
    return NormalDist().inv_cdf(1.0 - WINDOW_ALPHA / (2.0 * max(count, 1)))


def _verdict(n: int, noise: float, rms: float, runs_z: float, window_z: float) -> tuple[bool, str]:
    ratio = rms / noise if noise > 0.0 else (math.inf if rms > 0.0 else 1.0)
    bound = _window_bound(n)
    structured = ratio > 1.0 + STRUCTURE_RATIO / math.sqrt(2 * n) or runs_z < RUNS_Z or window_z > bound
    if not structured or rms <= ACCURACY:
        return True, ""
    what = f"residual rms {100.0 * rms:.2g} % is {ratio:.2f} times the noise"
    if runs_z < RUNS_Z:
        what += f", runs test z {runs_z:.1f}"
    if window_z > bound:
        what += f", neighbouring residuals off by {window_z:.1f} standard errors"
    return False, "systematic residuals: " + what


def _frozen(a: np.ndarray) -> np.ndarray:
    a.flags.writeable = False
    return a


def _check_number(name: str, value: object) -> float:
    if isinstance(value, bool):
        raise ValueError(f"{name} must be a real number, got {value!r}")
    try:
        x = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a real number, got {value!r}") from None
    if not math.isfinite(x):
        raise ValueError(f"{name} must be finite, got {x}")
    return x


