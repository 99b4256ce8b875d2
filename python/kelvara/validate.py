"""Kramers-Kronig validity check of a measured impedance spectrum (linear "Lin-KK" test).

A spectrum of a linear, causal, stable system can be reproduced by a chain of RC
(Voigt) elements. The test of Schönleber et al. [1]_ fixes M time constants
log-spaced over the measured range, so that only the resistances remain unknown, and
fits them by linear least squares to the complex spectrum. Systematic residuals
(drift, non-linearity, instrument artefacts) reveal data that no Kramers-Kronig
compliant model explains.

M is chosen by the over-fitting measure of [1]_, the mass of negative resistances
relative to the positive one,

    mu = 1 - sum(|R_k|, R_k < 0) / sum(|R_k|, R_k >= 0).

Too few elements under-fit and leave all R_k positive (mu near 1); too many fit the
noise with resistances of alternating sign and mu drops. The original rule takes the
first M with mu < c (``select="first"``, as in impedance.py's ``linKK``). It misjudges
spectra with sharp, ideal arcs: a grid too coarse to hold an ideal RC element between
two time constants also needs negative neighbours, so mu falls below c while the fit
is still far off (tens of percent for R0-(R1,C1) sampled over seven decades). The
default, ``select="best"``, fits every M up to the cap and keeps, among the fits with
mu >= c (no sign of over-fitting), the one with the smallest residual. On spectra
with distributed arcs both rules agree to an element or two.

References
----------
.. [1] M. Schönleber, D. Klotz, E. Ivers-Tiffée, "A Method for Improving the
   Robustness of linear Kramers-Kronig Validity Tests", Electrochim. Acta 131
   (2014) 20-27, doi:10.1016/j.electacta.2014.01.034.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["KKResult", "kramers_kronig", "DEFAULT_MAX_ELEMENTS", "MIN_POINTS"]

#: Upper bound on the number of RC elements when ``max_elements`` is not given
#: (the default cap is the smaller of this and the number of points).
DEFAULT_MAX_ELEMENTS = 50
#: Fewest points accepted: the model has at least two fixed terms besides the RC chain.
MIN_POINTS = 5

_TWO_PI = 2.0 * math.pi
# fits solved together when scanning M
_BATCH = 10


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
        True when ``max_residual <= tolerance``.
    ohmic_resistance : float
        Fitted series resistance in ohm.
    inductance : float
        Fitted series inductance in H (0 when not part of the model).
    capacitance : float
        Fitted series capacitance in F (inf when not part of the model).
    tolerance : float
        The residual bound behind ``passed``.
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
    tolerance: float = 0.01

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
        largest residual 0.42 %``."""
        elements = f"{self.n_elements} RC element{'' if self.n_elements == 1 else 's'}"
        text = (
            f"Kramers-Kronig check {'passed' if self.passed else 'failed'}: {elements} "
            f"(mu {self.mu:.2f}), largest residual {100.0 * self.max_residual:.2f} %"
        )
        if not self.passed:
            text += f" (tolerance {100.0 * self.tolerance:g} %)"
        return text


CAPACITIVE_TAIL_DEGREES = 15.0


def kramers_kronig(
    frequencies: Sequence[float] | npt.ArrayLike,
    impedances: Sequence[complex] | npt.ArrayLike,
    *,
    c: float | None = 0.85,
    max_elements: int | None = None,
    add_inductance: bool = True,
    select: str = "best",
    add_capacitance: bool | None = None,
    extend_decades: float = 0.0,
    tolerance: float = 0.02,
) -> KKResult:
    """Linear Kramers-Kronig test (Lin-KK) of an impedance spectrum.

    The model is ``R0 + sum_k R_k / (1 + j w tau_k)`` plus, optionally, a series
    inductance ``j w L`` and a series capacitance ``1 / (j w C)``. The time constants
    are log-spaced from ``1 / w_max`` to ``1 / w_min`` (``w = 2 pi f``); R0, R_k, L and
    1/C are fitted by linear least squares to the real and imaginary parts together,
    each weighted by ``1 / |Z|``.

    Parameters
    ----------
    frequencies : array_like of float
        Frequencies in Hz, positive and finite, in any order.
    impedances : array_like of complex
        Measured impedances in ohm, finite and non-zero.
    c : float or None, optional
        Threshold on mu in (0, 1]; see ``select``. ``None`` fits exactly
        ``max_elements`` elements instead.
    max_elements : int, optional
        Cap on M. Default: ``min(len(frequencies), 50)``.
    add_inductance : bool, optional
        Include a series inductance (wiring, cell leads). Default True.
    select : {"best", "first"}, optional
        How M follows from mu. ``"first"``: the first M with ``mu < c`` (the cap
        if there is none), Schönleber's rule. ``"best"`` (default): among
        M = 1..cap with ``mu >= c``, the one with the smallest weighted residual
        (``"first"``'s choice if no M qualifies). See the module docstring.
    add_capacitance : bool or None, optional
        Include a series capacitance, for spectra without a low-frequency intercept
        (diffusion tails, blocking electrodes). Default None: included when the
        lowest-frequency point is still capacitive (-phase above 15 degrees).
    extend_decades : float, optional
        Extend the time-constant range by this many decades beyond each end of the
        measured range. Default 0.
    tolerance : float, optional
        ``passed`` is True when every relative residual is at most this in absolute
        value. Default 0.02 (2 %), above the scatter of typical measurements.

    Returns
    -------
    KKResult

    Raises
    ------
    ValueError
        On malformed input (lengths, non-finite values, non-positive frequencies,
        zero impedance, fewer than ``MIN_POINTS`` points) or option values.
    """
    f, z = _check_spectrum(frequencies, impedances)
    n = f.size
    if c is not None:
        c = _check_number("c", c)
        if not 0.0 < c <= 1.0:
            raise ValueError(f"c must lie in (0, 1], got {c}")
    if select not in ("best", "first"):
        raise ValueError(f"select must be 'best' or 'first', got {select!r}")
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
    tolerance = _check_number("tolerance", tolerance)
    if tolerance <= 0.0:
        raise ValueError(f"tolerance must be positive, got {tolerance}")

    if add_capacitance is None:
        # A spectrum still capacitive at its lowest frequency (diffusion tails,
        # blocking electrodes) has no low-frequency intercept for the RC series.
        lowest = int(np.argmin(f))
        add_capacitance = bool(-np.degrees(np.angle(z[lowest])) > CAPACITIVE_TAIL_DEGREES)
    w = _TWO_PI * f
    # The fit runs on z / scale, so that spectra of any impedance scale (micro-ohm to
    # giga-ohm and beyond) give the same well-scaled normal equations; the residuals
    # are relative and do not change, the fitted quantities are scaled back.
    magnitude = np.abs(z)
    scale = float(np.exp(np.mean(np.log(magnitude))))
    if not math.isfinite(scale) or scale == 0.0:
        scale = float(np.max(magnitude))
    zn = z / scale
    weight = 1.0 / np.abs(zn)
    rhs = np.concatenate([zn.real * weight, zn.imag * weight])

    # Columns that do not depend on M, stacked [real; imaginary] and weighted: R0,
    # then j*w (L), then -j/w (its coefficient is 1/C).
    fixed = [np.concatenate([weight, np.zeros(n)])]
    if add_inductance:
        fixed.append(np.concatenate([np.zeros(n), w * weight]))
    if add_capacitance:
        fixed.append(np.concatenate([np.zeros(n), -weight / w]))
    fixed_cols = np.stack(fixed, axis=1)
    n_fixed = fixed_cols.shape[1]
    log_tau = (-math.log10(float(w.max())) - extend_decades, -math.log10(float(w.min())) + extend_decades)

    if c is None:
        m = cap
    else:
        m = _select(fixed_cols, rhs, w, weight, log_tau, cap, c, select)
    tau = _time_constants(log_tau, m)
    a = np.concatenate([fixed_cols, _rc_columns(w, weight, tau)], axis=1)
    coef = _solve(a, rhs)
    r_k = coef[n_fixed:]
    mu = _mu(r_k)

    model = a @ coef
    fitted = (model[:n] + 1j * model[n:]) / weight * scale
    res_re = np.ascontiguousarray(rhs[:n] - model[:n])
    res_im = np.ascontiguousarray(rhs[n:] - model[n:])
    max_residual = float(max(np.abs(res_re).max(), np.abs(res_im).max()))

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
        passed=bool(max_residual <= tolerance),
        ohmic_resistance=float(coef[0]) * scale,
        inductance=inductance,
        capacitance=capacitance,
        tolerance=float(tolerance),
    )


def _time_constants(log_tau: tuple[float, float], m: int) -> np.ndarray:
    # a single element sits at the centre of the range
    if m == 1:
        return np.array([10.0 ** (0.5 * (log_tau[0] + log_tau[1]))])
    return np.logspace(log_tau[0], log_tau[1], m)


def _rc_columns(w: np.ndarray, weight: np.ndarray, tau: np.ndarray) -> np.ndarray:
    """Weighted [real; imaginary] columns of 1 / (1 + j w tau), one per time constant.
    Real arithmetic: 1 / (1 + j x) = (1 - j x) / (1 + x^2)."""
    x = np.multiply.outer(w, tau)
    d = weight[:, None] / (1.0 + x * x)
    return np.concatenate([d, -x * d], axis=0)


def _select(
    fixed_cols: np.ndarray,
    rhs: np.ndarray,
    w: np.ndarray,
    weight: np.ndarray,
    log_tau: tuple[float, float],
    cap: int,
    c: float,
    select: str,
) -> int:
    """Number of RC elements M in 1..cap by the mu criterion (see kramers_kronig)."""
    mu = np.empty(cap)
    sse = np.empty(cap)
    for lo in range(1, cap + 1, _BATCH):
        ms = np.arange(lo, min(lo + _BATCH, cap + 1))
        mu[ms - 1], sse[ms - 1] = _fit_batch(fixed_cols, rhs, w, weight, log_tau, ms)
        if select == "first" and np.any(mu[ms - 1] < c):
            break
    else:
        ms = None
    below = np.flatnonzero(mu[: ms[-1]] < c) if ms is not None else np.flatnonzero(mu < c)
    first = int(below[0]) + 1 if below.size else cap
    if select == "first":
        return first
    candidates = np.flatnonzero(mu >= c)
    if not candidates.size:
        return first
    return int(candidates[np.argmin(sse[candidates])]) + 1


def _fit_batch(
    fixed_cols: np.ndarray,
    rhs: np.ndarray,
    w: np.ndarray,
    weight: np.ndarray,
    log_tau: tuple[float, float],
    ms: np.ndarray,
) -> tuple[np.ndarray, np.ndarray]:
    """mu and the weighted sum of squared residuals of the fits with M = ms elements, as
    one batch of normal equations padded to the largest M (the padding decouples as an
    identity block, so its coefficients come out zero)."""
    n2, n_fixed = fixed_cols.shape
    n = n2 // 2
    width = int(ms[-1])
    size = n_fixed + width
    k = np.arange(width)
    frac = np.minimum(k[None, :] / np.maximum(ms - 1, 1)[:, None], 1.0)
    if ms[0] == 1:
        frac[0, 0] = 0.5  # a single element sits at the centre of the range
    tau = 10.0 ** (log_tau[0] + (log_tau[1] - log_tau[0]) * frac)
    unused = k[None, :] >= ms[:, None]

    a = np.empty((ms.size, n2, size))
    a[:, :, :n_fixed] = fixed_cols
    x = w[None, :, None] * tau[:, None, :]
    re = a[:, :n, n_fixed:]
    np.multiply(x, x, out=re)
    re += 1.0
    np.divide(weight[None, :, None], re, out=re)
    re[np.broadcast_to(unused[:, None, :], re.shape)] = 0.0
    np.multiply(x, re, out=a[:, n:, n_fixed:])
    np.negative(a[:, n:, n_fixed:], out=a[:, n:, n_fixed:])

    # normal equations with unit-norm columns, so that L (~w) and 1/C (~1/w) do not
    # dominate the conditioning
    gram = np.matmul(a.transpose(0, 2, 1), a)
    diag = np.arange(size)
    norms = np.sqrt(gram[:, diag, diag])
    pad = norms == 0.0
    norms[pad] = 1.0
    gram /= norms[:, :, None] * norms[:, None, :]
    gram[:, diag, diag] += pad
    coef = np.linalg.solve(gram, ((rhs @ a) / norms)[:, :, None])[:, :, 0] / norms
    sse = np.sum((np.matmul(a, coef[:, :, None])[:, :, 0] - rhs) ** 2, axis=1)

    r_k = coef[:, n_fixed:]
    positive = np.where(r_k > 0.0, r_k, 0.0).sum(axis=1)
    negative = np.where(r_k < 0.0, -r_k, 0.0).sum(axis=1)
    safe = np.where(positive > 0.0, positive, 1.0)
    mu = np.where(positive > 0.0, 1.0 - negative / safe, np.where(negative > 0.0, -np.inf, 1.0))
    return mu, sse


def _solve(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Least-squares solution of ``a x = b`` with columns scaled to unit norm first, so
    that the L column (~w) and the 1/C column (~1/w) do not swamp the rank cut-off."""
    norms = np.sqrt(np.einsum("ij,ij->j", a, a))
    norms[norms == 0.0] = 1.0
    x = np.linalg.lstsq(a / norms, b, rcond=None)[0]
    return x / norms


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


def _check_spectrum(frequencies: object, impedances: object) -> tuple[np.ndarray, np.ndarray]:
    try:
        f = np.array(frequencies, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("frequencies must be real numbers") from None
    try:
        z = np.array(impedances, dtype=np.complex128)
    except (TypeError, ValueError):
        raise ValueError("impedances must be complex numbers") from None
    if f.ndim != 1:
        raise ValueError(f"frequencies must be one-dimensional, got shape {f.shape}")
    if z.ndim != 1:
        raise ValueError(f"impedances must be one-dimensional, got shape {z.shape}")
    if f.size != z.size:
        raise ValueError(f"frequencies and impedances differ in length ({f.size} and {z.size})")
    if f.size < MIN_POINTS:
        raise ValueError(f"need at least {MIN_POINTS} points, got {f.size}")
    bad = np.flatnonzero(~np.isfinite(f))
    if bad.size:
        raise ValueError(f"frequencies must be finite (first bad value at index {bad[0]}: {f[bad[0]]})")
    bad = np.flatnonzero(f <= 0.0)
    if bad.size:
        raise ValueError(f"frequencies must be positive (first bad value at index {bad[0]}: {f[bad[0]]})")
    bad = np.flatnonzero(~np.isfinite(z))
    if bad.size:
        raise ValueError(f"impedances must be finite (first bad value at index {bad[0]}: {z[bad[0]]})")
    bad = np.flatnonzero(z == 0.0)
    if bad.size:
        raise ValueError(f"impedances must be non-zero (zero at index {bad[0]})")
    if f.max() == f.min():
        raise ValueError("frequencies must span a range, all are equal")
    return f, z
