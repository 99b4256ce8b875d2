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
neighbouring residuals (real and imaginary parts in frequency order): random scatter
of standard deviation s gives differences of standard deviation s*sqrt(2), while a
systematic deviation, smooth over several points, hardly enters them. The verdict
compares the rms residual with it, so it holds at any noise level:

- the residuals have *structure* when their rms exceeds the noise clearly (the ratio
  is a von Neumann ratio; above ``1 + 1.8 / sqrt(2N)``, 1.16 for 60 points),
  when their signs form too few runs (Wald-Wolfowitz runs test, z below -3), or when
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
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["KKResult", "kramers_kronig", "DEFAULT_MAX_ELEMENTS", "MIN_POINTS", "ACCURACY"]

#: Upper bound on the number of RC elements when ``max_elements`` is not given
#: (the default cap is the smaller of this and the number of points).
DEFAULT_MAX_ELEMENTS = 50
#: Fewest points accepted: the model has at least two fixed terms besides the RC chain.
MIN_POINTS = 5
#: Systematic residuals (rms, fraction of |Z|) below this pass whatever their structure.
ACCURACY = 0.002
#: Guard on mu of the automatic rule (see the module docstring).
AUTO_MU = 0.5
#: Residual rms / noise above 1 + STRUCTURE_RATIO / sqrt(2N) counts as structure.
STRUCTURE_RATIO = 1.8
#: Runs-test z-score below this counts as structure.
RUNS_Z = -3.0
#: Widths of the windows of neighbouring residuals whose means are tested.
WINDOWS = (3, 6, 12, 24)
#: False-alarm rate of the window test on white noise.
WINDOW_ALPHA = 0.01

_TWO_PI = 2.0 * math.pi
# fits solved together when scanning M
_BATCH = 10
# points per chunk of the design matrix: memory stays bounded for any spectrum length
_CHUNK = 1024
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
        (real and imaginary part each, a fraction of |Z|).
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
        if math.isfinite(self.capacitance):
            text += f", series capacitance {self.capacitance:.3g} F added"
        if not self.passed:
            text += f" ({self.reason})"
        return text


CAPACITIVE_TAIL_DEGREES = 15.0


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
    Memory grows linearly with the number of points (the design matrix is
    processed in chunks).

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
    from kelvara._spectra import spectrum

    f, z = spectrum(frequencies, impedances, check="relaxation", min_points=MIN_POINTS)
    n = f.size
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

    if add_capacitance is None:
        # A spectrum still capacitive at its lowest frequency (diffusion tails,
        # blocking electrodes) has no low-frequency intercept for the RC series.
        lowest = int(np.argmin(f))
        add_capacitance = bool(-np.degrees(np.angle(z[lowest])) > CAPACITIVE_TAIL_DEGREES)
    # The fit runs on z / scale, so that spectra of any impedance scale (micro-ohm to
    # giga-ohm and beyond) give the same well-scaled equations; the residuals are
    # relative and do not change, the fitted quantities are scaled back.
    magnitude = np.abs(z)
    scale = float(np.exp(np.mean(np.log(magnitude))))
    if not math.isfinite(scale) or scale == 0.0:
        scale = float(np.max(magnitude))
    problem = _Problem(f, z / scale, add_inductance, add_capacitance)
    w_max, w_min = _TWO_PI * float(f.max()), _TWO_PI * float(f.min())
    # A series capacitance is what RC elements far below the measured range tend to
    # (R / (1 + j w tau) -> 1 / (j w tau / R)); with it in the model, elements just
    # below the range would add only a real part falling off as 1 / w^2, the shape a
    # drift at the end of a sweep leaves, so the range is not widened there.
    slow_end = 0.0 if add_capacitance else extend_decades
    log_tau = (-math.log10(w_max) - extend_decades, -math.log10(w_min) + slow_end)

    if c is None:
        m = cap
    else:
        m = _select(problem, log_tau, cap, c, select)
    tau = _time_constants(log_tau, m)
    coef = problem.solve(tau)
    model = problem.model(tau, coef)  # weighted [re; im] of the model, 2n values
    rhs = problem.rhs()
    res_re = np.ascontiguousarray(rhs[:n] - model[:n])
    res_im = np.ascontiguousarray(rhs[n:] - model[n:])
    weight = problem.weight
    fitted = (model[:n] + 1j * model[n:]) / weight * scale
    n_fixed = problem.n_fixed
    r_k = coef[n_fixed:]
    mu = _mu(r_k)
    max_residual = float(max(np.abs(res_re).max(), np.abs(res_im).max()))
    noise, rms, runs_z, window_z = _residual_statistics(f, res_re, res_im, n_fixed + m)
    if tolerance is not None:
        passed = bool(max_residual <= tolerance)
        reason = "" if passed else f"tolerance {100.0 * tolerance:g} %"
    else:
        passed, reason = _verdict(n, noise, rms, runs_z, window_z)

    inductance = float(coef[1]) * scale if add_inductance else 0.0
    if add_capacitance:
        elastance = float(coef[n_fixed - 1]) * scale
        capacitance = 1.0 / elastance if elastance != 0.0 else math.inf
    else:
        capacitance = math.inf

    return KKResult(
        frequencies=_frozen(f),
        impedances=_frozen(z),
        fitted=_frozen(fitted),
        residuals_real=_frozen(res_re),
        residuals_imag=_frozen(res_im),
        n_elements=m,
        mu=mu,
        time_constants=_frozen(tau),
        resistances=_frozen(np.array(r_k, dtype=np.float64) * scale),
        max_residual=max_residual,
        passed=passed,
        ohmic_resistance=float(coef[0]) * scale,
        inductance=inductance,
        capacitance=capacitance,
        tolerance=None if tolerance is None else float(tolerance),
        noise=noise,
        rms_residual=rms,
        runs_z=runs_z,
        window_z=window_z,
        reason=reason,
    )


def _residual_statistics(f: np.ndarray, res_re: np.ndarray, res_im: np.ndarray,
                         n_terms: int) -> tuple[float, float, float, float]:
    """(noise, rms, runs z, window z) of the relative residuals; see the module docstring."""
    order = np.argsort(f, kind="stable")
    re, im = res_re[order], res_im[order]
    n = f.size
    d_re, d_im = np.diff(re), np.diff(im)
    noise = math.sqrt((float(d_re @ d_re) + float(d_im @ d_im)) / (4.0 * (n - 1)))
    sse = float(re @ re) + float(im @ im)
    rms = math.sqrt(sse / max(2 * n - n_terms, 1))
    return noise, rms, min(_runs_z(re), _runs_z(im)), max(_window_z(re, noise), _window_z(im, noise))


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


def _runs_z(x: np.ndarray) -> float:
    """Wald-Wolfowitz runs test: z-score of the number of runs of equal sign."""
    positive = x > 0.0
    n = x.size
    n1 = int(positive.sum())
    n2 = n - n1
    if n1 == 0 or n2 == 0:
        return 0.0
    runs = 1 + int(np.count_nonzero(positive[1:] != positive[:-1]))
    mean = 2.0 * n1 * n2 / n + 1.0
    var = 2.0 * n1 * n2 * (2.0 * n1 * n2 - n) / (n * n * (n - 1.0))
    return (runs - mean) / math.sqrt(var) if var > 0.0 else 0.0


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


class _Problem:
    """The weighted linear least-squares problem of one spectrum: fixed columns (R0,
    then j*w for L, then -j/w for 1/C) and RC columns for given time constants, built
    chunk by chunk. Rows are [real parts; imaginary parts], each divided by |Z|."""

    def __init__(self, f: np.ndarray, zn: np.ndarray, add_inductance: bool, add_capacitance: bool) -> None:
        self.w = _TWO_PI * f
        self.zn = zn
        self.weight = 1.0 / np.abs(zn)
        self.add_inductance = add_inductance
        self.add_capacitance = add_capacitance
        self.n_fixed = 1 + int(add_inductance) + int(add_capacitance)

    def rhs(self, lo: int = 0, hi: int | None = None) -> np.ndarray:
        zn, weight = self.zn[lo:hi], self.weight[lo:hi]
        return np.concatenate([zn.real * weight, zn.imag * weight])

    def columns(self, tau: np.ndarray, lo: int, hi: int, dropped: np.ndarray | None = None) -> np.ndarray:
        """Design rows of points lo..hi for a batch of time-constant rows `tau`
        (shape (B, width)); `dropped` (shape (B, n_fixed + width)) marks columns left
        out (padding, or bounded terms held at zero), which are zero."""
        w, weight = self.w[lo:hi], self.weight[lo:hi]
        k = w.size
        batch, width = tau.shape
        a = np.zeros((batch, 2 * k, self.n_fixed + width))
        a[:, :k, 0] = weight
        col = 1
        if self.add_inductance:
            a[:, k:, col] = w * weight
            col += 1
        if self.add_capacitance:
            a[:, k:, col] = -weight / w
        # 1 / (1 + j x) = (1 - j x) / (1 + x^2)
        x = w[None, :, None] * tau[:, None, :]
        re = a[:, :k, self.n_fixed:]
        np.multiply(x, x, out=re)
        re += 1.0
        np.divide(weight[None, :, None], re, out=re)
        np.multiply(x, re, out=a[:, k:, self.n_fixed:])
        np.negative(a[:, k:, self.n_fixed:], out=a[:, k:, self.n_fixed:])
        if dropped is not None and dropped.any():
            a *= ~dropped[:, None, :]
        return a

    def bounded(self, tau: np.ndarray) -> np.ndarray:
        """Columns held non-negative (shape of `tau` plus the fixed columns): the series
        capacitance and the RC elements slower than the lowest measured frequency."""
        slow = tau * self.w.min() > 1.0 + 1e-9
        fixed = np.zeros(tau.shape[:-1] + (self.n_fixed,), dtype=bool)
        fixed[..., -1] = self.add_capacitance
        return np.concatenate([fixed, slow], axis=-1)

    def solve_bounded(self, tau: np.ndarray, dropped: np.ndarray,
                      worth: Callable[[np.ndarray, np.ndarray], np.ndarray] | None = None,
                      ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Coefficients (B, size), weighted sums of squared residuals (B,), the columns
        left out (B, size) and the fits left breaking a bound (B,), of a batch of fits
        whose bounded columns are to be non-negative.

        Normal equations accumulated over chunks of points, with unit-norm columns so
        that L (~w) and 1/C (~1/w) do not dominate the conditioning; a column left out
        decouples as an identity block and comes out zero. While a bounded coefficient
        is negative, those are held at zero and the small system solved again (an
        active set over a handful of columns: a round or two, without rebuilding the
        design). `worth(coef, sse)` of the unbounded fits, when given, picks the fits
        that get the bounds; the others are returned unbounded and marked."""
        n = self.w.size
        chunks = [(lo, min(lo + _CHUNK, n)) for lo in range(0, n, _CHUNK)]
        gram = atb = None
        kept = None
        for lo, hi in chunks:
            block = self.columns(tau, lo, hi, dropped)
            g = np.matmul(block.transpose(0, 2, 1), block)
            v = self.rhs(lo, hi) @ block
            gram, atb = (g, v) if gram is None else (gram + g, atb + v)
            if len(chunks) == 1:
                kept = block
        del block  # one chunk of the design alive at a time
        assert gram is not None and atb is not None
        size = gram.shape[1]
        diag = np.arange(size)
        norms = np.sqrt(gram[:, diag, diag])
        pad = norms == 0.0
        norms[pad] = 1.0
        gram /= norms[:, :, None] * norms[:, None, :]
        gram[:, diag, diag] += pad
        atb /= norms
        coef = _solve_normal(gram, atb) / norms

        def sums_of_squares(rows: np.ndarray) -> np.ndarray:
            # residuals directly: no cancellation for near-exact fits
            sse = np.zeros(rows.size)
            every = rows.size == tau.shape[0]
            for lo, hi in chunks:
                if kept is not None:
                    a = kept if every else kept[rows]
                else:
                    a = self.columns(tau[rows], lo, hi, dropped[rows])
                res = np.matmul(a, (coef if every else coef[rows])[:, :, None])[:, :, 0] - self.rhs(lo, hi)
                sse += np.einsum("ij,ij->i", res, res)
            return sse

        everything = np.arange(tau.shape[0])
        sse = sums_of_squares(everything)
        held = self.bounded(tau) & ~dropped
        broken = np.any(held & (coef < 0.0), axis=1)
        if worth is not None:
            held[~worth(coef, sse)] = False
        dropped = dropped.copy()
        changed = np.zeros(tau.shape[0], dtype=bool)
        for _ in range(int(held.sum(axis=1).max(initial=0))):
            negative = held & (coef < 0.0)
            rows = np.flatnonzero(negative.any(axis=1))
            if not rows.size:
                break
            out = np.zeros_like(negative)
            out[rows] = negative[rows]
            keep = ~out
            gram *= keep[:, :, None] & keep[:, None, :]
            gram[out[:, :, None] & np.eye(size, dtype=bool)] = 1.0
            atb[out] = 0.0
            held &= keep
            dropped |= out
            changed[rows] = True
            coef[rows] = _solve_normal(gram[rows], atb[rows]) / norms[rows]
        rows = np.flatnonzero(changed)
        if rows.size:
            sse[rows] = sums_of_squares(rows)
        return coef, sse, dropped, broken & ~changed

    def solve(self, tau: np.ndarray) -> np.ndarray:
        """Coefficients of one fit, bounded columns non-negative; least squares by
        orthogonal factorisation (robust to nearly dependent columns) when the spectrum
        fits in one chunk."""
        none = np.zeros((1, self.n_fixed + tau.size), dtype=bool)
        coef, _, dropped, _ = self.solve_bounded(tau[None, :], none)
        if self.w.size > _CHUNK:
            return coef[0]
        a = self.columns(tau[None, :], 0, self.w.size, dropped)[0]
        norms = np.sqrt(np.einsum("ij,ij->j", a, a))
        norms[norms == 0.0] = 1.0
        return np.linalg.lstsq(a / norms, self.rhs(), rcond=None)[0] / norms

    def model(self, tau: np.ndarray, coef: np.ndarray) -> np.ndarray:
        n = self.w.size
        out_re, out_im = np.empty(n), np.empty(n)
        for lo in range(0, n, _CHUNK):
            hi = min(lo + _CHUNK, n)
            m = self.columns(tau[None, :], lo, hi)[0] @ coef
            k = hi - lo
            out_re[lo:hi], out_im[lo:hi] = m[:k], m[k:]
        return np.concatenate([out_re, out_im])


def _solve_normal(gram: np.ndarray, rhs: np.ndarray) -> np.ndarray:
    """Solutions (B, size) of a batch of scaled normal equations. With as many time
    constants as points, neighbouring columns can be equal to the last bit and a pivot
    exactly zero; those systems get the least-squares solution of smallest norm."""
    try:
        return np.linalg.solve(gram, rhs[:, :, None])[:, :, 0]
    except np.linalg.LinAlgError:
        return (np.linalg.pinv(gram, hermitian=True) @ rhs[:, :, None])[:, :, 0]


def _time_constants(log_tau: tuple[float, float], m: int) -> np.ndarray:
    # a single element sits at the centre of the range
    if m == 1:
        return np.array([10.0 ** (0.5 * (log_tau[0] + log_tau[1]))])
    return np.logspace(log_tau[0], log_tau[1], m)


def _select(problem: _Problem, log_tau: tuple[float, float], cap: int, c: float, select: str) -> int:
    """Number of RC elements M in 1..cap (see the module docstring)."""
    mu = np.empty(cap)
    sse = np.empty(cap)
    n2 = 2 * problem.w.size
    terms = problem.n_fixed + np.arange(1, cap + 1)

    def bic_of(sse: np.ndarray, ms: np.ndarray) -> np.ndarray:
        with np.errstate(divide="ignore"):
            return n2 * np.log(np.maximum(sse, np.finfo(float).tiny) / n2) + terms[ms - 1] * math.log(n2)

    # The automatic rule bounds only the fits that could win. A bound only raises the
    # sum of squares, so an unbounded fit's BIC is a lower bound of its bounded one: a
    # fit that breaks a bound and whose unbounded BIC is no lower than that of the best
    # eligible fit so far is left out, as its bounded fit could not be chosen either.
    best = np.inf
    unresolved = np.zeros(cap, dtype=bool)
    for lo in range(1, cap + 1, _BATCH):
        ms = np.arange(lo, min(lo + _BATCH, cap + 1))
        worth = None
        if select == "auto":
            def worth(coef: np.ndarray, sse: np.ndarray, ms: np.ndarray = ms) -> np.ndarray:
                mu = _mu_rows(coef[:, problem.n_fixed:])
                bic = bic_of(sse, ms)
                broken = np.any(problem.bounded(_grid(log_tau, ms)) & (coef < 0.0), axis=1)
                eligible = ~broken & (mu >= AUTO_MU)
                return bic < min(best, bic[eligible].min(initial=np.inf))
        mu[ms - 1], sse[ms - 1], unresolved[ms - 1] = _fit_batch(problem, log_tau, ms, worth)
        if select == "auto":
            kept = ~unresolved[ms - 1] & (mu[ms - 1] >= AUTO_MU)
            best = min(best, bic_of(sse[ms - 1], ms)[kept].min(initial=np.inf))
        if select == "first" and np.any(mu[ms - 1] < c):
            break
    else:
        ms = None
    if select == "auto":
        bic = bic_of(sse, np.arange(1, cap + 1))
        bic[~(mu >= AUTO_MU) | unresolved] = np.inf
        return int(np.argmin(bic)) + 1 if np.isfinite(bic).any() else cap
    below = np.flatnonzero(mu[: ms[-1]] < c) if ms is not None else np.flatnonzero(mu < c)
    first = int(below[0]) + 1 if below.size else cap
    if select == "first":
        return first
    candidates = np.flatnonzero(mu >= c)
    if not candidates.size:
        return first
    return int(candidates[np.argmin(sse[candidates])]) + 1


def _grid(log_tau: tuple[float, float], ms: np.ndarray) -> np.ndarray:
    """Time constants of the fits with M = ms elements (increasing), one row each,
    padded with the largest to the largest M."""
    width = int(ms[-1])
    k = np.arange(width)
    frac = np.minimum(k[None, :] / np.maximum(ms - 1, 1)[:, None], 1.0)
    if ms[0] == 1:
        frac[0, 0] = 0.5  # a single element sits at the centre of the range
    return 10.0 ** (log_tau[0] + (log_tau[1] - log_tau[0]) * frac)


def _fit_batch(problem: _Problem, log_tau: tuple[float, float], ms: np.ndarray,
               worth: Callable[[np.ndarray, np.ndarray], np.ndarray] | None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """mu, the weighted sum of squared residuals and whether a bound is left broken, of
    the fits with M = ms elements, solved as one batch padded to the largest M (the
    padding decouples, so its coefficients come out zero); `worth` as for
    _Problem.solve_bounded."""
    tau = _grid(log_tau, ms)
    unused = np.arange(tau.shape[1])[None, :] >= ms[:, None]
    padding = np.concatenate([np.zeros((ms.size, problem.n_fixed), dtype=bool), unused], axis=1)
    coef, sse, _, unresolved = problem.solve_bounded(tau, padding, worth)
    return _mu_rows(coef[:, problem.n_fixed:]), sse, unresolved


def _mu_rows(r_k: np.ndarray) -> np.ndarray:
    positive = np.where(r_k > 0.0, r_k, 0.0).sum(axis=1)
    negative = np.where(r_k < 0.0, -r_k, 0.0).sum(axis=1)
    safe = np.where(positive > 0.0, positive, 1.0)
    return np.where(positive > 0.0, 1.0 - negative / safe, np.where(negative > 0.0, -np.inf, 1.0))


def _mu(r: np.ndarray) -> float:
    positive = float(r[r >= 0.0].sum())
    negative = float(-r[r < 0.0].sum())
    if positive == 0.0:
        return 1.0 if negative == 0.0 else -math.inf
    return 1.0 - negative / positive


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
