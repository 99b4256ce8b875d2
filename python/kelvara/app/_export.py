"""The session's results as files: a CSV table, JSON, and a Python script that
repeats a fit with the public API."""

from __future__ import annotations

import csv
import io
import json
import math
from typing import Any

import kelvara
from kelvara.app._session import Entry

CSV_COLUMNS = ["file", "sweep", "circuit", "verdict", "flags", "chi_square", "misfit", "masked_points", "parameter",
               "value", "stderr", "unit", "fixed", "lower", "upper"]


def to_csv(entries: list[Entry]) -> str:
    """One row per fitted parameter of every spectrum (the circuits differ between spectra)."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(CSV_COLUMNS)
    for entry in entries:
        result = entry.result
        if result is None:
            writer.writerow([entry.name, entry.spectrum.sweep, "", "failed" if entry.error else "", entry.error or ""]
                            + [""] * (len(CSV_COLUMNS) - 5))
            continue
        circuit = result.circuit
        stderr = result.stderr or {}
        fixed = set(circuit.fixed)
        flags = ";".join(flag.code for flag in result.flags)
        for name, unit, value, (lo, hi) in zip(circuit.param_names(), circuit.param_units(),
                                               circuit.param_values(), circuit.param_bounds()):
            error = "" if name in fixed or stderr.get(name) is None else repr(stderr[name])
            writer.writerow([entry.name, entry.spectrum.sweep, circuit.notation, result.verdict, flags,
                             repr(result.chi_square), repr(result.misfit), len(entry.masked), name, repr(value),
                             error, unit,
                             "yes" if name in fixed else "", repr(lo), repr(hi)])
    return out.getvalue()


def _clean(value: Any) -> Any:
    """JSON has no NaN or infinity: null and strings stand for them."""
    if isinstance(value, float) and not math.isfinite(value):
        return None if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, dict):
        return {key: _clean(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_clean(item) for item in value]
    return value


def to_json(entries: list[Entry]) -> str:
    records = []
    for entry in entries:
        record: dict[str, Any] = {"file": entry.name, "sweep": entry.spectrum.sweep,
                                  "points": len(entry.spectrum), "instrument": entry.spectrum.instrument,
                                  "automatic_choice": entry.auto, "error": entry.error,
                                  "masked_frequencies": entry.spectrum.frequencies[list(entry.masked)].tolist(),
                                  "method": entry.options.get("method"), "weight": entry.options.get("weight"),
                                  "result": None if entry.result is None else entry.result.to_dict()}
        if entry.kk is not None:
            record["kramers_kronig"] = {"passed": bool(entry.kk.passed), "summary": entry.kk.summary()}
        records.append(record)
    return json.dumps(_clean({"kelvara": kelvara.__version__, "spectra": records}), indent=2)


def _py(value: float) -> str:
    return repr(value) if math.isfinite(value) else f"float({str(value)!r})"


def to_script(entry: Entry) -> str:
    """A script that reads the file and repeats the current fit from its values."""
    result = entry.result
    if result is None:
        raise ValueError(f"{entry.label}: nothing fitted yet")
    circuit = result.circuit
    names = circuit.param_names()
    values = ", ".join(repr(v) for v in circuit.param_values())
    lines = [
        f'"""Repeat the fit of {entry.label} made in kelvara {kelvara.__version__}\'s app."""',
        "import kelvara",
        "from kelvara import io",
        "",
        f"spectrum = io.read_all({entry.name!r})[{entry.spectrum.sweep}]  # the file's path on your machine",
    ]
    if entry.masked:
        lines += [f"masked = {list(entry.masked)!r}  # positions of the points left out",
                  "spectrum = spectrum[[i for i in range(len(spectrum)) if i not in masked]]"]
    lines += [
        f"circuit = kelvara.Circuit({circuit.notation!r}).with_values([{values}])",
    ]
    default = kelvara.Circuit(circuit.notation).param_bounds()
    bounds = {name: pair for name, pair, base in zip(names, circuit.param_bounds(), default) if pair != base}
    if bounds:
        pairs = ", ".join(f"{name!r}: ({_py(lo)}, {_py(hi)})" for name, (lo, hi) in bounds.items())
        lines.append(f"circuit = circuit.with_bounds({{{pairs}}})")
    if circuit.fixed:
        lines.append(f"circuit = circuit.with_fixed({list(circuit.fixed)!r})")
    options = "".join(f", {key}={value!r}" for key, value in entry.options.items()
                      if value not in ("levenberg_marquardt", "modulus"))
    if entry.options.get("method") in ("particle_swarm", "simulated_annealing", "basin_hopping"):
        options += ", seed=0"
    lines += [
        f"result = circuit.fit(*spectrum{options})",
        "print(result.table())",
        "print(result.verdict, [flag.code for flag in result.flags])",
        "",
    ]
    return "\n".join(lines)


PROJECT_FORMAT = "kelvara app project 1"


def to_project(entries: list[Entry]) -> str:
    """The session as a file the app reopens: each spectrum's data and its current fit's
    start (the fitted values), fixed parameters, own bounds, left-out points and options."""
    spectra = []
    for entry in entries:
        s = entry.spectrum
        record: dict[str, Any] = {
            "name": entry.name, "sweep": s.sweep, "multi": entry.multi, "instrument": s.instrument,
            "columns": list(s.columns), "line": s.line, "frequencies": s.frequencies.tolist(),
            "real": s.impedances.real.tolist(), "imag": s.impedances.imag.tolist(), "auto": entry.auto, "fit": None,
        }
        if entry.result is not None:
            circuit = entry.result.circuit
            own = kelvara.Circuit(circuit.notation).param_bounds()
            record["fit"] = {
                "circuit": circuit.notation, "values": circuit.param_values(), "fixed": list(circuit.fixed),
                "bounds": {name: [lo, None if math.isinf(hi) else hi]
                           for name, (lo, hi), base in zip(circuit.param_names(), circuit.param_bounds(), own)
                           if (lo, hi) != base},
                "masked": list(entry.masked), "method": entry.options.get("method", "levenberg_marquardt"),
                "weight": entry.options.get("weight", "modulus"),
            }
        spectra.append(record)
    return json.dumps({"format": PROJECT_FORMAT, "kelvara": kelvara.__version__, "spectra": spectra})


def read_project(data: bytes) -> list[dict[str, Any]]:
    """The records of a project file, each with its Spectrum rebuilt."""
    import numpy as np

    from kelvara import io as kio

    document = json.loads(data.decode("utf-8"))
    if not isinstance(document, dict) or document.get("format") != PROJECT_FORMAT:
        raise ValueError(f"its format is not {PROJECT_FORMAT!r}")
    records = []
    for record in document["spectra"]:
        z = np.asarray(record["real"], dtype=float) + 1j * np.asarray(record["imag"], dtype=float)
        spectrum = kio.Spectrum(np.asarray(record["frequencies"], dtype=float), z, str(record["instrument"]),
                                tuple(record["columns"]), str(record["name"]), int(record["sweep"]),
                                int(record["line"]))
        records.append({"name": str(record["name"]), "multi": bool(record["multi"]), "spectrum": spectrum,
                        "auto": record.get("auto"), "fit": record.get("fit")})
    return records
