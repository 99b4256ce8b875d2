"""Plots of impedance spectra and fits: Nyquist, Bode, residuals, and all of them in
one figure.

matplotlib is an optional dependency (``pip install kelvara[plot]``); it is imported
when a function is called, not with this module.

``result`` arguments take a :class:`kelvara.FitResult` (the model is
``result.circuit.impedance``) or, where noted, a
:class:`kelvara.validate.KKResult` (the model is its Kramers-Kronig fit).

The spectrum is given as frequencies and impedances, or as one
:class:`kelvara.io.Spectrum` or dataframe (``nyquist(spectrum, result)``), as
``Circuit.fit`` takes it.
"""

from __future__ import annotations

import textwrap
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from kelvara._measured import spectrum

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["nyquist", "bode", "residuals", "fit_figure", "series", "drt"]

#: Points of the model curve drawn through the data.
MODEL_POINTS = 400

_RE = "Z\u2032 / \u03a9"  # Z' / Ω
_MINUS_IM = "\u2212Z\u2033 / \u03a9"  # −Z'' / Ω


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as exc:
        raise ImportError("kelvara.plot needs matplotlib: pip install kelvara[plot]") from exc
    return plt


def _is_result(obj: Any) -> bool:
    return hasattr(obj, "circuit") or hasattr(obj, "model")


def _data(frequencies: Any, impedances: Any, result: Any) -> tuple[np.ndarray, np.ndarray, Any]:
    """(f, z, result) from (f, z, result) or (spectrum, result): a spectrum's result
    arrives in the impedances slot when given by position."""
    if impedances is not None and _is_result(impedances):
        if result is not None:
            raise TypeError("the result was given twice")
        impedances, result = None, impedances
    # Every point is drawn: a NaN or a non-positive frequency would vanish from the axes unseen.
    f, z = spectrum(frequencies, impedances, check="usable")
    return f, z, result


def _model(result: Any, f: np.ndarray) -> np.ndarray:
    if hasattr(result, "circuit"):
        return np.asarray(result.circuit.impedance(f), dtype=np.complex128)
    if hasattr(result, "model"):
        return np.asarray(result.model(f), dtype=np.complex128)
    raise TypeError(f"expected a kelvara.FitResult or a kelvara.validate.KKResult, got {type(result).__name__}")


def _dense(f: np.ndarray) -> np.ndarray:
    positive = f[f > 0]
    if positive.size == 0:
        return f
    return np.logspace(np.log10(positive.min()), np.log10(positive.max()), MODEL_POINTS)


def _fit_label(result: Any) -> str:
    """The legend entry of a model line: the circuit's notation for a fit."""
    if not hasattr(result, "circuit"):
        return "Kramers-Kronig fit"
    try:
        return f"fit: {result.circuit.notation}"
    except AttributeError:
        return "fit"


def nyquist(
    frequencies: Sequence[float] | npt.ArrayLike,
    impedances: Sequence[complex] | npt.ArrayLike | None = None,
    result: Any = None,
    *,
    ax: Axes | None = None,
    label: str | None = None,
) -> Axes:
    """Nyquist plot: -Z'' against Z' on equal scales.

    Parameters
    ----------
    frequencies, impedances : array_like, or a kelvara.io.Spectrum and None
        The measured spectrum (Hz, ohm).
    result : FitResult or KKResult, optional
        Drawn as a line over a dense log-spaced grid spanning the data.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure by default.
    label : str, optional
        Legend entry of the data.

    Returns
    -------
    matplotlib.axes.Axes
    """
    f, z, result = _data(frequencies, impedances, result)
    if ax is None:
        _, ax = _pyplot().subplots(figsize=(5.5, 4.5), layout="constrained")
    ax.plot(z.real, -z.imag, "o", markersize=4, label=label or "data")
    if result is not None:
        zm = _model(result, _dense(f))
        ax.plot(zm.real, -zm.imag, "-", label=_fit_label(result))
    ax.set_xlabel(_RE)
    ax.set_ylabel(_MINUS_IM)
    ax.set_aspect("equal", adjustable="datalim")
    ax.grid(True, alpha=0.3)
    if result is not None or label:
        ax.legend()
    return ax


def bode(
    frequencies: Sequence[float] | npt.ArrayLike,
    impedances: Sequence[complex] | npt.ArrayLike | None = None,
    result: Any = None,
    *,
    axes: Sequence[Axes] | None = None,
) -> tuple[Axes, Axes]:
    """Bode plot: |Z| (log-log) and the negative phase -arg(Z) in degrees against
    frequency, so that capacitive behaviour plots upwards.

    Parameters
    ----------
    frequencies, impedances : array_like, or a kelvara.io.Spectrum and None
        The measured spectrum (Hz, ohm).
    result : FitResult or KKResult, optional
        Drawn as lines over a dense log-spaced grid spanning the data.
    axes : pair of matplotlib.axes.Axes, optional
        Where to draw magnitude and phase; a new figure with two stacked axes by default.

    Returns
    -------
    (matplotlib.axes.Axes, matplotlib.axes.Axes)
        The magnitude and phase axes.
    """
    f, z, result = _data(frequencies, impedances, result)
    if axes is None:
        _, (ax_mag, ax_phase) = _pyplot().subplots(2, 1, sharex=True, figsize=(5.5, 5), layout="constrained")
    else:
        ax_mag, ax_phase = axes
    ax_mag.loglog(f, np.abs(z), "o", markersize=4, label="data")
    ax_phase.semilogx(f, -np.degrees(np.angle(z)), "o", markersize=4, label="data")
    if result is not None:
        fd = _dense(f)
        zm = _model(result, fd)
        ax_mag.loglog(fd, np.abs(zm), "-", label=_fit_label(result))
        ax_phase.semilogx(fd, -np.degrees(np.angle(zm)), "-", label=_fit_label(result))
        ax_mag.legend()
    ax_mag.set_ylabel("|Z| / \u03a9")
    ax_phase.set_ylabel("\u2212phase / \u00b0")
    ax_phase.set_xlabel("f / Hz")
    if axes is not None:
        ax_mag.set_xlabel("f / Hz")
    for a in (ax_mag, ax_phase):
        a.grid(True, which="both", alpha=0.3)
    return ax_mag, ax_phase


def residuals(
    frequencies: Sequence[float] | npt.ArrayLike,
    impedances: Sequence[complex] | npt.ArrayLike | None = None,
    result: Any = None,
    *,
    ax: Axes | None = None,
) -> Axes:
    """Relative residuals (Z - Z_model) / |Z| of the real and imaginary parts, in
    percent, against frequency.

    Parameters
    ----------
    frequencies, impedances : array_like, or a kelvara.io.Spectrum and None
        The measured spectrum (Hz, ohm).
    result : FitResult or KKResult
        A KKResult contributes its own residuals; a FitResult's model is evaluated at
        ``frequencies``.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure by default.

    Returns
    -------
    matplotlib.axes.Axes
    """
    f, z, result = _data(frequencies, impedances, result)
    if result is None:
        raise TypeError("residuals() needs a FitResult or a KKResult")
    if hasattr(result, "residuals_real") and hasattr(result, "residuals_imag"):
        f_res = np.asarray(result.frequencies, dtype=np.float64)
        rel = np.asarray(result.residuals_real) + 1j * np.asarray(result.residuals_imag)
    else:
        f_res = f
        rel = (z - _model(result, f)) / np.abs(z)
    if ax is None:
        _, ax = _pyplot().subplots(figsize=(5.5, 3), layout="constrained")
    order = np.argsort(f_res)
    ax.axhline(0.0, color="0.5", linewidth=0.8)
    ax.semilogx(f_res[order], 100.0 * rel.real[order], "o-", markersize=3, linewidth=1, label="real")
    ax.semilogx(f_res[order], 100.0 * rel.imag[order], "s-", markersize=3, linewidth=1, label="imaginary")
    ax.set_xlabel("f / Hz")
    ax.set_ylabel("\u0394Z / |Z| / %")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    return ax


def fit_figure(
    frequencies: Sequence[float] | npt.ArrayLike,
    impedances: Sequence[complex] | npt.ArrayLike | None = None,
    result: Any = None,
    *,
    kk: Any = None,
    title: str | None = None,
    drt_result: Any = None,
) -> Figure:
    """One figure with the Nyquist plot, the Bode plot and the residuals.

    Parameters
    ----------
    frequencies, impedances : array_like, or a kelvara.io.Spectrum and None
        The measured spectrum (Hz, ohm).
    result : FitResult, optional
        The fit to draw; its residuals get a panel.
    kk : KKResult, optional
        A Kramers-Kronig check of the same spectrum; its residuals get a panel
        titled with its verdict, and without ``result`` its model is drawn
        through the data.
    title : str, optional
        Figure title.
    drt_result : DrtResult or True, optional
        A panel with gamma against frequency (see :func:`drt`); True computes
        it with ``kelvara.drt(frequencies, impedances)``.

    Returns
    -------
    matplotlib.figure.Figure
        Ready for ``fig.savefig(path)``.
    """
    f, z, result = _data(frequencies, impedances, result)
    plt = _pyplot()
    if drt_result is True:
        import kelvara

        drt_result = kelvara.drt(f, z)
    panels = [(r, name) for r, name in ((result, "fit"), (kk, "kk"), (drt_result, "drt")) if r is not None]
    rows = 2 + len(panels)
    fig = plt.figure(figsize=(11, 5.5 + 2.2 * len(panels)), layout="constrained")
    grid = fig.add_gridspec(rows, 2, height_ratios=[1.3, 1.3] + [1.0] * len(panels), width_ratios=[1.1, 1.0])
    ax_nyq = fig.add_subplot(grid[0:2, 0])
    ax_mag = fig.add_subplot(grid[0, 1])
    ax_phase = fig.add_subplot(grid[1, 1], sharex=ax_mag)
    drawn = result if result is not None else kk
    nyquist(f, z, drawn, ax=ax_nyq)
    bode(f, z, drawn, axes=(ax_mag, ax_phase))
    ax_mag.set_xlabel("")
    ax_mag.tick_params(labelbottom=False)
    for i, (r, name) in enumerate(panels):
        ax = fig.add_subplot(grid[2 + i, :])
        if name == "drt":
            drt(r, against="frequency", ax=ax)
            ax.set_title("Distribution of relaxation times", fontsize="medium")
            continue
        residuals(f, z, r, ax=ax)
        # a failed check's reason makes a long line: wrap it within the figure's width
        ax.set_title(textwrap.fill(r.summary(), 140) if name == "kk" else "Fit residuals", fontsize="medium")
    if title:
        fig.suptitle(title)
    return fig


def series(
    result: Any,
    names: Sequence[str] | None = None,
    *,
    x: Sequence[float] | npt.ArrayLike | None = None,
    xlabel: str = "spectrum",
    ax: Axes | Sequence[Axes] | None = None,
) -> list[Axes]:
    """Parameters along a series of fits, with ±1 standard error bars.

    Parameters
    ----------
    result : SeriesResult or sequence of FitResult
        What :func:`kelvara.fit_series` returned, or fits in series order.
    names : sequence of str, optional
        The parameters to draw, one panel each; by default every parameter that
        is neither fixed nor shared (shared ones are constant along the series).
    x : array_like, optional
        The series coordinate (state of charge, temperature, time); by default
        the spectrum's position.
    xlabel : str
        Label of the series coordinate.
    ax : Axes or sequence of Axes, optional
        One axes per parameter; a new figure with a column of panels by default.

    Returns
    -------
    list of matplotlib.axes.Axes
    """
    fits = list(result)
    if not fits:
        raise ValueError("the series is empty")
    shared = set(getattr(result, "shared", {}) or {})
    held = set(fits[0].circuit.fixed)
    if names is None:
        names = [n for n in fits[0].params if n not in shared and n not in held]
    names = list(names)
    if not names:
        raise ValueError("nothing to draw: every parameter is fixed or shared; name the ones to draw with names=[...]")
    unknown = [n for n in names if n not in fits[0].params]
    if unknown:
        raise ValueError(f"unknown parameter(s) {unknown}; the fits have {list(fits[0].params)}")
    position = np.arange(len(fits), dtype=float) if x is None else np.asarray(x, dtype=float).ravel()
    if position.size != len(fits):
        raise ValueError(f"x has {position.size} values for {len(fits)} fits")
    if ax is None:
        _, created = _pyplot().subplots(len(names), 1, figsize=(5.5, 1.0 + 1.8 * len(names)), sharex=True,
                                        layout="constrained", squeeze=False)
        axes = list(created[:, 0])
    else:
        axes = [ax] if not isinstance(ax, Sequence) else list(ax)
        if len(axes) != len(names):
            raise ValueError(f"{len(axes)} axes for {len(names)} parameters")
    units = dict(zip(fits[0].circuit.param_names(), fits[0].circuit.param_units()))
    for name, axis in zip(names, axes):
        values = np.array([fit.params[name] for fit in fits])
        errors = np.array([(fit.stderr or {}).get(name, np.nan) for fit in fits], dtype=float)
        axis.errorbar(position, values, yerr=np.where(np.isfinite(errors), errors, 0.0), fmt="o-", markersize=3,
                      linewidth=1, capsize=2)
        axis.set_ylabel(f"{name} / {units.get(name, '')}".replace("$", r"\$"))
        axis.grid(True, alpha=0.3)
    axes[-1].set_xlabel(xlabel.replace("$", r"\$"))
    return axes


def drt(
    result: Any,
    *,
    against: str = "tau",
    ax: Axes | None = None,
    label: str | None = None,
    peaks: bool = True,
    gamma_scale: str = "linear",
) -> Axes:
    """gamma of a :class:`kelvara.drt.DrtResult` against tau or frequency, peaks marked.

    Parameters
    ----------
    result : DrtResult
        From :func:`kelvara.drt`.
    against : {"tau", "frequency"}
        The horizontal axis: time constant in s, or 1/(2 pi tau) in Hz.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure by default.
    label : str, optional
        Legend entry of the curve.
    peaks : bool
        Mark each peak and write its resistance beside it (default True).
    gamma_scale : {"linear", "log"}
        The gamma axis. Either way its range follows gamma inside the measured
        window, so a tail beyond the data (a diffusion tail, say) cannot flatten
        the peaks; "log" also shows small peaks beside large ones.

    Returns
    -------
    matplotlib.axes.Axes
    """
    if against not in ("tau", "frequency"):
        raise ValueError(f'against must be "tau" or "frequency", got {against!r}')
    if gamma_scale not in ("linear", "log"):
        raise ValueError(f'gamma_scale must be "linear" or "log", got {gamma_scale!r}')
    if not hasattr(result, "gamma") or not hasattr(result, "peaks"):
        raise TypeError(f"expected a kelvara DrtResult, got {type(result).__name__}")
    if ax is None:
        _, ax = _pyplot().subplots(figsize=(6, 3.5), layout="constrained")
    x = result.tau if against == "tau" else result.frequency
    line = ax.semilogx(x, result.gamma, "-", label=label or "\u03b3")[0]
    if peaks and result.peaks:
        px = [p.tau if against == "tau" else p.frequency for p in result.peaks]
        ax.plot(px, [p.height for p in result.peaks], "v", color=line.get_color(), label="peaks")
        for xp, p in zip(px, result.peaks):
            ax.annotate(f"{p.resistance:.3g} \u03a9", (xp, p.height), textcoords="offset points", xytext=(0, 6),
                        ha="center", fontsize="small")
    measured = (result.frequencies.min(), result.frequencies.max())
    edges = [1.0 / (6.283185307179586 * f) for f in measured] if against == "tau" else list(measured)
    for edge in edges:
        ax.axvline(edge, color="0.6", linestyle=":", linewidth=1)
    ax.set_xlabel("\u03c4 / s" if against == "tau" else "f / Hz")
    ax.set_ylabel("\u03b3 / \u03a9")
    inside = np.asarray(result.gamma)[(x >= min(edges)) & (x <= max(edges))]
    heights = [p.height for p in result.peaks] if peaks else []
    top = max([float(inside.max()) if inside.size else 0.0, *heights])
    if gamma_scale == "log":
        ax.set_yscale("log")
        if top > 0:  # room above for the peak labels, four decades below the tallest
            ax.set_ylim(top * 1e-4, top * 4.0)
    elif top > 0:
        ax.set_ylim(0, top * 1.25)
    else:
        ax.set_ylim(bottom=0)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize="small")
    return ax
