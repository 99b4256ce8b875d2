"""kelvara.drt: the distribution of relaxation times (DRT) of a spectrum.

    Z(f) = R_inf + i 2 pi f L + integral of gamma(ln tau) / (1 + i 2 pi f tau) d ln tau

gamma is a sum of Gaussian radial basis functions on an even grid of ln tau
that covers the measured time constants plus ``margin`` decades each side. It
is fitted to the real and imaginary parts together, each point weighted by
1/|Z| (relative residuals), with a Tikhonov penalty ``lambda_value`` times the
integral of the squared ``derivative``-th derivative of gamma / max|Z|, and
gamma, R_inf and L >= 0 (a small quadratic program solved in the compiled core).
Without ``lambda_value`` the weight is chosen by generalised cross-validation,
or a smaller one where GCV merged processes: when one ZARC per peak fails to
describe the spectrum, the first smaller lambda (half a decade apart) that shows
more peaks is taken if its peaks, one ZARC each, win by the Bayesian
information criterion. The peaks of gamma are located, and given their
resistances, by fitting one ZARC per peak to the spectrum (see :class:`DrtPeak`).
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from functools import cached_property
from typing import TYPE_CHECKING, Any, Callable, Iterable

from kelvara import _core

if TYPE_CHECKING:
    import numpy as np

__all__ = ["drt", "drt_many", "DrtResult", "DrtPeak"]

_TWO_PI = 6.283185307179586
#: A point is reported as not represented when its relative residual exceeds
#: this many noise estimates and 1 %.
UNREPRESENTED_SIGMAS = 5.0
#: rms relative misfit above which the data are reported as not a causal
#: relaxation spectrum at all (the model misses nearly every point).
MISFIT_LIMIT = 0.1
#: Share of the total resistance at time constants beyond the data above which
#: a rising gamma at the edge is reported.
EDGE_SHARE = 0.05


@dataclass(frozen=True)
class DrtPeak:
    """One peak of gamma: a process.

    ``tau`` (s) and ``frequency`` (Hz, 1/(2 pi tau)) locate the process and
    ``resistance`` (ohm) is its share of the polarisation resistance. When the
    result's ``peaks_fitted`` is true (the default where it works), they are
    those of one ZARC, R / (1 + (i 2 pi f tau)^alpha), per peak, fitted to the
    measured spectrum together and seeded from the maxima of gamma, and
    ``alpha`` is that ZARC's exponent: overlapping peaks then do not pull each
    other's positions inwards, and the regularisation does not bias them.
    Otherwise ``tau`` is where gamma peaks, ``resistance`` the integral of gamma
    between ``tau_low`` and ``tau_high`` (the minima to its neighbours; 0 and
    inf for the outermost peaks when gamma falls all the way to the edge), and
    ``alpha`` is nan. ``tau_maximum`` is always where gamma peaks, ``height``
    is gamma at ``tau`` (ohm), and ``prominence`` the maximum's height above the
    deeper of the minima that separate it from taller ground. ``near_edge``:
    the maximum lies within a decade of an end of the measured range, so part
    of the process is beyond the data (a note says so).
    """

    tau: float
    height: float
    prominence: float
    resistance: float
    tau_low: float
    tau_high: float
    tau_maximum: float
    alpha: float
    near_edge: bool = False

    @property
    def frequency(self) -> float:
        return 1.0 / (_TWO_PI * self.tau)


class DrtResult:
    """The DRT of one spectrum, as returned by :func:`drt`.

    Attributes
    ----------
    tau, gamma : numpy.ndarray
        gamma(ln tau) in ohm on an ascending grid of tau in s (four points per
        basis spacing); ``frequency`` is the same grid as 1/(2 pi tau).
    r_inf, inductance : float
        The series resistance (ohm) and inductance (H).
    lambda_value : float
        The regularisation weight used; ``lambda_chosen`` tells whether it was
        chosen here (by generalised cross-validation, or smaller where that
        resolves peaks, see the module's description) rather than given.
    peaks : list of DrtPeak
        By ascending tau.
    peaks_fitted : bool
        Whether the peaks' positions and resistances are those of one fitted
        ZARC per peak (see :class:`DrtPeak`); false when ``fit_peaks=False`` or
        when those ZARCs describe the data clearly worse than gamma does.
    polarisation_resistance : float
        The integral of gamma (ohm).
    tail_below, tail_above : float
        The part of it (ohm) in no peak: gamma at time constants shorter (longer)
        than every peak's range, where it rises again towards the end of the
        basis (a process beyond the data), when that part holds at least 2 % of
        the resistance; a smaller part belongs to the outermost peak. A note names
        each tail. The peaks' resistances and the tails make up
        ``polarisation_resistance`` (exactly for areas of gamma, to the fit's
        accuracy for fitted peaks).
    frequencies, impedances, fitted : numpy.ndarray
        The measured spectrum and the DRT model at its frequencies.
    residuals : numpy.ndarray
        (fitted - measured) / |measured|, complex.
    noise : float
        A robust estimate of the relative noise from the residuals: the scaled
        median absolute deviation of their real and imaginary parts. It is the
        DRT's own scatter, regularisation bias included, which is what a point's
        residual is judged against here; the spectrum's noise level, which the
        flags and the Kramers-Kronig check use, is
        :func:`kelvara.diagnostics.noise_level`, often several times smaller.
    unrepresented : numpy.ndarray
        True for points the DRT model cannot reach (relative residual above
        five noise estimates and 1 %): a capacitive tail, an inductive loop
        beyond a series L, or bad points.
    notes : list of str
        What the DRT cannot represent; empty when all is well. ``drt`` also
        issues each as a UserWarning.
    """

    def __init__(self, record: dict[str, Any]) -> None:
        import numpy as np  # not at module level: importing kelvara does not import NumPy

        frequencies = np.asarray(record["frequencies"], dtype=np.float64)
        impedances = np.asarray(record["impedances"], dtype=np.complex128)
        self.tau = np.asarray(record["tau"], dtype=np.float64)
        self.gamma = np.asarray(record["gamma"], dtype=np.float64)
        self.frequency = 1.0 / (_TWO_PI * self.tau)
        self.r_inf = float(record["r_inf"])
        self.inductance = float(record["inductance"])
        self.lambda_value = float(record["lambda_value"])
        self.lambda_chosen = bool(record["lambda_chosen"])
        self.polarisation_resistance = float(record["polarisation_resistance"])
        self.tail_below = float(record["tail_below"])
        self.tail_above = float(record["tail_above"])
        self.converged = bool(record["converged"])
        self.peaks_fitted = bool(record["peaks_fitted"])
        self.peaks = [self._peak(*peak) for peak in record["peaks"]]
        self.frequencies = frequencies
        self.impedances = impedances
        self.fitted = np.asarray(record["fitted"])
        self.residuals = (self.fitted - impedances) / np.abs(impedances)
        self._record = record

    # Computed when first read: drt_many wraps every result on the calling
    # thread, where this work would be the serial share of the batch.
    @cached_property
    def noise(self) -> float:
        import numpy as np

        parts = np.concatenate([self.residuals.real, self.residuals.imag])
        return float(1.4826 * _median(np.abs(parts - _median(parts))))

    @cached_property
    def unrepresented(self) -> np.ndarray:
        import numpy as np

        return np.abs(self.residuals) > max(UNREPRESENTED_SIGMAS * math.sqrt(2.0) * self.noise, 0.01)

    @cached_property
    def misfit(self) -> float:
        """The rms relative residual of the DRT's model over the spectrum."""
        import numpy as np

        return float(np.sqrt(np.mean(np.abs(self.residuals) ** 2)))

    @property
    def represented(self) -> bool:
        """Whether R_inf, L and the non-negative DRT describe the data: no point
        misses, the misfit is below ``MISFIT_LIMIT`` and the solver converged."""
        return not self.unrepresented.any() and self.misfit <= MISFIT_LIMIT and self.converged

    @cached_property
    def notes(self) -> list[str]:
        return self._notes(self._record)

    def _peak(self, tau: float, height: float, prominence: float, resistance: float, tau_low: float,
              tau_high: float, tau_maximum: float, alpha: float, near_edge: bool) -> DrtPeak:
        return DrtPeak(tau, height, prominence, resistance, tau_low, tau_high, tau_maximum,
                       alpha if self.peaks_fitted else math.nan, near_edge)

    def _notes(self, record: dict[str, Any]) -> list[str]:
        notes = []
        share = record["edge_peak_share"]
        edge_rule = (f"maxima within two decades of that end are reported only when they hold {share:.0%} of the "
                     f"resistance ({2 * share:.0%} within one)")
        if record["rising_above"] and record["share_above"] > EDGE_SHARE:
            notes.append(
                f"gamma still rises beyond the lowest frequency ({record['share_above']:.0%} of the resistance lies "
                f"at time constants longer than measured): a process such as a diffusion tail is only partly "
                f"covered, and {edge_rule}")
        if record["rising_below"] and record["share_below"] > EDGE_SHARE:
            notes.append(
                f"gamma still rises beyond the highest frequency ({record['share_below']:.0%} of the resistance "
                f"lies at time constants shorter than measured); {edge_rule}")
        total = self.polarisation_resistance
        for key, where in (("tail_below", "shorter"), ("tail_above", "longer")):
            if record[key] > 0.0:
                notes.append(
                    f"{record[key]:.4g} ohm ({record[key] / total:.0%} of the polarisation resistance) is in a tail of "
                    f"gamma at time constants {where} than every peak's, not in a peak")
        lowest = self.frequencies.min()
        for peak in self.peaks:
            if peak.near_edge:
                end = "lowest" if peak.tau_maximum * _TWO_PI * lowest > 0.1 else "highest"
                notes.append(
                    f"the peak at tau = {peak.tau:.4g} s sits within a decade of the {end} measured frequency: "
                    f"part of it lies beyond the data, so its resistance and shape are less certain")
        count = int(self.unrepresented.sum())
        if count:
            where = ", ".join(f"{f:.4g} Hz" for f in self.frequencies[self.unrepresented][:5])
            notes.append(
                f"{count} point(s) cannot be represented by R_inf, L and a non-negative DRT (relative residual above "
                f"{UNREPRESENTED_SIGMAS:g} noise estimates): {where}{' ...' if count > 5 else ''}")
        if self.misfit > MISFIT_LIMIT:
            notes.append(
                f"the model misses the data by {100 * self.misfit:.3g} % of |Z| (rms): no R_inf, L and non-negative "
                f"DRT describes them, as for an impedance of the wrong sign or its complex conjugate")
        if record.get("basis_capped"):
            decades = math.log10(self.frequencies.max()) - math.log10(self.frequencies.min())
            notes.append(f"the window spans {decades:.4g} decades: the basis was capped, so it has fewer functions "
                         f"per decade than asked")
        if not self.converged:
            notes.append("the non-negative least-squares solver did not converge; gamma is its last feasible point")
        return notes

    def gamma_at(self, tau: Any) -> np.ndarray:
        """gamma (ohm) at any time constants (s), from the basis coefficients."""
        import numpy as np

        first, spacing, shape = self._record["basis"]
        coefficients = np.asarray(self._record["coefficients"])
        centres = first + spacing * np.arange(coefficients.size)
        y = np.log(np.asarray(tau, dtype=np.float64))
        return np.exp(-(shape * (y[..., None] - centres)) ** 2) @ coefficients

    def table(self) -> str:
        """The peaks as a text table."""
        lines = [f"{'peak':>4}  {'tau / s':>11}  {'f / Hz':>11}  {'gamma / ohm':>11}  {'R / ohm':>11}  {'alpha':>6}"]
        for index, peak in enumerate(self.peaks, 1):
            lines.append(f"{index:>4}  {peak.tau:11.4g}  {peak.frequency:11.4g}  {peak.height:11.4g}  "
                         f"{peak.resistance:11.4g}  {peak.alpha:6.3f}")
        return "\n".join(lines)

    def summary(self) -> str:
        """A few lines: series terms, lambda, the peaks and any notes."""
        how = "chosen by GCV" if self.lambda_chosen else "given"
        lines = [
            f"DRT of {self.frequencies.size} points: R_inf = {self.r_inf:.4g} ohm, L = {self.inductance:.4g} H, "
            f"R_pol = {self.polarisation_resistance:.4g} ohm, lambda = {self.lambda_value:.3g} ({how}), "
            f"noise ~ {100 * self.noise:.2g} %; "
            f"peaks {'fitted, one ZARC each' if self.peaks_fitted else 'at the maxima'}",
            self.table(),
        ]
        lines += [f"note: {note}" for note in self.notes]
        return "\n".join(lines)

    def to_frame(self, what: str = "gamma") -> Any:
        """A pandas DataFrame: ``"gamma"`` (tau, frequency, gamma) or ``"peaks"``."""
        import pandas as pd  # type: ignore[import-untyped]

        if what == "gamma":
            return pd.DataFrame({"tau / s": self.tau, "frequency / Hz": self.frequency, "gamma / ohm": self.gamma})
        if what == "peaks":
            return pd.DataFrame({
                "tau / s": [p.tau for p in self.peaks],
                "frequency / Hz": [p.frequency for p in self.peaks],
                "gamma / ohm": [p.height for p in self.peaks],
                "prominence / ohm": [p.prominence for p in self.peaks],
                "resistance / ohm": [p.resistance for p in self.peaks],
                "alpha": [p.alpha for p in self.peaks],
                "tau at the maximum / s": [p.tau_maximum for p in self.peaks],
            })
        raise ValueError(f'what must be "gamma" or "peaks", got {what!r}')

    def __repr__(self) -> str:
        taus = ", ".join(f"{p.tau:.3g}" for p in self.peaks)
        return f"<DrtResult: {len(self.peaks)} peak(s) at tau = [{taus}] s, lambda = {self.lambda_value:.3g}>"


def _median(values: np.ndarray) -> float:
    """np.median of a 1-d float array without NaN, at a tenth of its overhead: drt_many wraps each
    result on the calling thread, and there the overhead would be the serial share of a batch."""
    ordered = values.copy()
    ordered.sort()
    middle = ordered.size // 2
    return float(ordered[middle] if ordered.size % 2 else 0.5 * (ordered[middle - 1] + ordered[middle]))


def _settings(lambda_value: float | None, inductance: bool, derivative: int, points_per_decade: float | None,
              margin: float, peak_threshold: float, fit_peaks: bool) -> dict[str, Any]:
    return {"lambda_value": lambda_value, "inductance": inductance, "derivative": derivative,
            "points_per_decade": points_per_decade, "margin": margin, "peak_threshold": peak_threshold,
            "fit_peaks": fit_peaks}


def _warn(result: DrtResult, label: str = "") -> DrtResult:
    for note in result.notes:
        warnings.warn(f"{label}{note}", UserWarning, stacklevel=3)
    return result


def drt(
    frequencies: Any,
    impedances: Any = None,
    *,
    lambda_value: float | None = None,
    inductance: bool = True,
    derivative: int = 2,
    points_per_decade: float | None = None,
    margin: float = 0.5,
    peak_threshold: float = 0.1,
    fit_peaks: bool = True,
) -> DrtResult:
    """The distribution of relaxation times of one spectrum.

    Parameters
    ----------
    frequencies, impedances
        The spectrum in the forms ``Circuit.fit`` takes: two sequences or arrays,
        or alone a dataframe with battery-data-format columns or a
        ``kelvara.io.Spectrum``.
    lambda_value : float, optional
        The regularisation weight; default: chosen by generalised cross-validation.
    inductance : bool
        Fit a series inductance (default True); it takes inductive high-frequency points.
    derivative : {1, 2}
        The derivative of gamma that is penalised (default 2, the curvature).
    points_per_decade : float, optional
        Basis functions per decade of tau; default: the data's own density, between 8 and 12.
    margin : float
        Decades of tau covered beyond the measured range on each side (default 0.5).
    peak_threshold : float
        Maxima whose prominence is below this fraction of the tallest gamma inside the
        measured range are not peaks.
    fit_peaks : bool
        Locate each peak and take its resistance by fitting one ZARC per peak to
        the spectrum (default True; see :class:`DrtPeak`), rather than from the
        maxima and areas of gamma.

    Returns
    -------
    DrtResult
    """
    record = _core._drt(frequencies, impedances, **_settings(lambda_value, inductance, derivative,
                                                             points_per_decade, margin, peak_threshold, fit_peaks))
    return _warn(DrtResult(record))


def drt_many(
    spectra: Iterable[Any] | Any,
    impedances: Any = None,
    *,
    id_column: str | None = None,
    errors: str = "raise",
    progress: bool | Callable[[int, int], object] | None = None,
    lambda_value: float | None = None,
    inductance: bool = True,
    derivative: int = 2,
    points_per_decade: float | None = None,
    margin: float = 0.5,
    peak_threshold: float = 0.1,
    fit_peaks: bool = True,
) -> list[DrtResult | Exception]:
    """The DRT of many spectra, on every core without the interpreter.

    `spectra`, `impedances`, `id_column`, `errors` and `progress` take the forms
    of :func:`kelvara.fit_many`; the other arguments are those of :func:`drt`.
    Each result equals ``drt`` on that spectrum alone. Notes are not issued as
    warnings here: read ``result.notes``.
    """
    from kelvara._batch import check_errors, run
    from kelvara._measured import items

    check_errors(errors)
    records = run(_core._drt_many, items(spectra, impedances, id_column), "DRT", errors, progress,
                  **_settings(lambda_value, inductance, derivative, points_per_decade, margin, peak_threshold,
                              fit_peaks))
    results: list[DrtResult | Exception] = [
        record if isinstance(record, Exception) else DrtResult(record) for record in records]
    return results
