"""A self-contained HTML report of the session: for every spectrum its figure (drawn
by plotly.js, carried inside the file once), verdict, flags, parameters and checks,
with the versions and a paragraph saying what was fitted and how."""

from __future__ import annotations

import datetime
import html
import platform
from typing import Any

import numpy as np

import kelvara
from kelvara.app._session import Entry

METHOD_WORDS = {
    "levenberg_marquardt": "bounded multi-start Levenberg–Marquardt",
    "particle_swarm": "particle swarm followed by a Levenberg–Marquardt polish",
    "nelder_mead": "Nelder–Mead followed by a Levenberg–Marquardt polish",
    "differential_evolution": "differential evolution followed by a Levenberg–Marquardt polish",
    "simulated_annealing": "simulated annealing followed by a Levenberg–Marquardt polish",
    "basin_hopping": "basin hopping over Levenberg–Marquardt fits",
}
DATA = {"color": "#1f4e9a", "size": 6}
FIT = {"color": "#d0452b", "width": 2}
STYLE = """body{font:14px/1.45 system-ui,sans-serif;max-width:1100px;margin:2em auto;color:#1d232b}
table{border-collapse:collapse;margin:.5em 0}th,td{padding:.2em .6em;border-bottom:1px solid #e3e7ec;text-align:left}
.verdict{font-weight:600}.clean{color:#2e7d32}.suspect{color:#b26a00}.unreliable{color:#c62828}.failed{color:#6a1b1b}
pre{font-size:.85em;background:#f4f6f8;padding:.5em;overflow-x:auto}section{margin-top:2.5em}"""


def _figure(entry: Entry) -> Any:
    from plotly.subplots import make_subplots

    f, z = entry.spectrum
    keep = np.setdiff1d(np.arange(len(f)), entry.masked)
    figure = make_subplots(rows=1, cols=3, subplot_titles=("Nyquist", "Bode", "Residuals (Z − Z_model)/|Z| (%)"),
                           specs=[[{}, {"secondary_y": True}, {}]])
    figure.add_scatter(x=z.real[keep], y=-z.imag[keep], mode="markers", name="data", marker=DATA, row=1, col=1)
    if len(entry.masked):
        out = list(entry.masked)
        figure.add_scatter(x=z.real[out], y=-z.imag[out], mode="markers", name="left out",
                           marker={"symbol": "x-open", "color": "#9aa3ad"}, row=1, col=1)
    figure.add_scatter(x=f, y=np.abs(z), mode="markers", name="|Z|", marker=DATA, row=1, col=2)
    figure.add_scatter(x=f, y=-np.degrees(np.angle(z)), mode="markers", name="−phase",
                       marker={"color": "#2e8b57", "symbol": "square", "size": 6}, row=1, col=2, secondary_y=True)
    if entry.result is not None:
        circuit = entry.result.circuit
        positive = f[f > 0]
        grid = np.geomspace(positive.min(), positive.max(), 200)
        curve = circuit.impedance(grid)
        figure.add_scatter(x=curve.real, y=-curve.imag, mode="lines", name="fit", line=FIT, row=1, col=1)
        figure.add_scatter(x=grid, y=np.abs(curve), mode="lines", name="|Z| fit", line=FIT, row=1, col=2)
        figure.add_scatter(x=grid, y=-np.degrees(np.angle(curve)), mode="lines", name="−phase fit",
                           line={"color": "#e39a1c", "width": 2}, row=1, col=2, secondary_y=True)
        fitted = circuit.impedance(f[keep])
        scale = np.abs(z[keep])
        figure.add_scatter(x=f[keep], y=100 * (z[keep] - fitted).real / scale, mode="lines+markers", name="Z'",
                           row=1, col=3)
        figure.add_scatter(x=f[keep], y=100 * (z[keep] - fitted).imag / scale, mode="lines+markers", name="Z''",
                           row=1, col=3)
    figure.update_xaxes(title_text="Z' / Ω", row=1, col=1)
    figure.update_yaxes(title_text="−Z'' / Ω", scaleanchor="x", scaleratio=1, row=1, col=1)
    figure.update_xaxes(type="log", title_text="f / Hz", row=1, col=2)
    figure.update_yaxes(type="log", title_text="|Z| / Ω", row=1, col=2, secondary_y=False)
    figure.update_yaxes(title_text="−phase / °", row=1, col=2, secondary_y=True, tickmode="auto", showgrid=False)
    figure.update_xaxes(type="log", title_text="f / Hz", row=1, col=3)
    figure.update_layout(height=380, margin={"l": 50, "r": 20, "t": 40, "b": 40}, showlegend=False)
    return figure


def _parameters(result: Any) -> str:
    circuit = result.circuit
    stderr = result.stderr or {}
    fixed = set(circuit.fixed)
    rows = []
    for name, unit, value in zip(circuit.param_names(), circuit.param_units(), circuit.param_values()):
        error = "fixed" if name in fixed else ("—" if stderr.get(name) is None or not np.isfinite(stderr[name])
                                               else f"{stderr[name]:.3g}")
        rows.append(f"<tr><td>{html.escape(name)}</td><td>{value:.6g}</td><td>{error}</td>"
                    f"<td>{html.escape(unit)}</td></tr>")
    return ("<table><tr><th>parameter</th><th>value</th><th>std. error</th><th>unit</th></tr>"
            + "".join(rows) + "</table>")


def _methods(entries: list[Entry]) -> str:
    fitted = [e for e in entries if e.result is not None]
    methods = sorted({METHOD_WORDS[e.options.get("method", "levenberg_marquardt")] for e in fitted})
    weights = sorted({e.options.get("weight", "modulus") for e in fitted})
    chosen = sum(1 for e in fitted if e.auto is not None and e.result.circuit.notation == e.auto)
    masked = sum(1 for e in fitted if e.masked)
    words = {"modulus": "each point weighted by 1/|Z| (relative residuals)", "unit": "unit weights (residuals in ohm)"}
    text = (f"{len(entries)} spectr{'um' if len(entries) == 1 else 'a'} from "
            f"{len({e.name for e in entries})} file(s) were read with kelvara.io and fitted with kelvara "
            f"{kelvara.__version__} by complex non-linear least squares ({'; '.join(methods) or 'no fit'}), with "
            f"{' or '.join(words[w] for w in weights) or 'no weighting'}. ")
    text += (f"For {chosen} of them the circuit is the one kelvara.select chose: the simplest candidate without "
             "flags among the trained topologies and the circuits the spectrum's distribution of relaxation times "
             "proposes, ranked by BIC. ")
    if masked:
        text += f"{masked} spectr{'um has' if masked == 1 else 'a have'} points left out of the fit (listed below). "
    text += ("Every fit is judged by its flags (misfit against the noise level of a linear Kramers–Kronig fit, "
             "structure of the residuals, correlated, undetermined or bound parameters), summed up in a verdict; "
             "each spectrum was also checked with a linear Kramers–Kronig test.")
    return text


def to_html(entries: list[Entry]) -> str:
    import plotly

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    versions = (f"kelvara {kelvara.__version__}, NumPy {np.__version__}, plotly {plotly.__version__}, "
                f"Python {platform.python_version()} on {platform.system()}")
    parts = [f"<!doctype html><html lang='en'><head><meta charset='utf-8'><title>kelvara report</title>"
             f"<style>{STYLE}</style></head><body><h1>kelvara report</h1>",
             f"<p>{html.escape(now)}. {html.escape(versions)}.</p>",
             f"<h2>Methods</h2><p id='methods'>{html.escape(_methods(entries))}</p>"]
    summary = ["<table><tr><th>spectrum</th><th>points</th><th>circuit</th><th>verdict</th></tr>"]
    for e in entries:
        verdict = e.result.verdict if e.result is not None else "failed"
        circuit = e.result.circuit.notation if e.result is not None else ""
        summary.append(f"<tr><td>{html.escape(e.label)}</td><td>{len(e.spectrum)}</td><td>{html.escape(circuit)}</td>"
                       f"<td class='verdict {verdict}'>{verdict}</td></tr>")
    parts.append("<h2>Summary</h2>" + "".join(summary) + "</table>")
    first = True
    for e in entries:
        parts.append(f"<section><h2>{html.escape(e.label)}</h2>")
        parts.append(f"<p>{len(e.spectrum)} points from {html.escape(e.spectrum.instrument)}, "
                     f"{e.spectrum.frequencies.min():.4g} to {e.spectrum.frequencies.max():.4g} Hz.</p>")
        if e.result is None:
            parts.append(f"<p class='verdict failed'>not fitted: {html.escape(e.error or 'no fit yet')}</p></section>")
            continue
        r = e.result
        parts.append(f"<p>Circuit <code>{html.escape(r.circuit.notation)}</code>: "
                     f"<span class='verdict {r.verdict}'>{r.verdict}</span>. {html.escape(r.message)}.</p>")
        if r.flags:
            parts.append("<ul>" + "".join(f"<li>{html.escape(fl.code)}: {html.escape(fl.text)}</li>"
                                          for fl in r.flags) + "</ul>")
        parts.append(_parameters(r))
        parts.append(f"<p>chi-square {r.chi_square:.4g}, rms misfit {100 * r.misfit:.3g} % of |Z|.</p>"
                     if np.isfinite(r.misfit) else f"<p>chi-square {r.chi_square:.4g}.</p>")
        if e.masked:
            freqs = ", ".join(f"{v:.4g}" for v in e.spectrum.frequencies[list(e.masked)])
            parts.append(f"<p>Left out of the fit: the points at {freqs} Hz.</p>")
        if e.kk is not None:
            parts.append(f"<pre>{html.escape(e.kk.summary())}</pre>")
        parts.append(_figure(e).to_html(full_html=False, include_plotlyjs=first))  # plotly.js once, inline
        first = False
        parts.append("</section>")
    parts.append("</body></html>")
    return "\n".join(parts)
