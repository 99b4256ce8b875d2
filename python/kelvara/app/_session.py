"""The app's state: the spectra the user opened and, per spectrum, its circuit and fit.

Nothing here knows about HTTP; the server hands requests to these functions on a
worker thread. Every spectrum has its own lock, so two refits of the same
spectrum (a double click, a request sent twice) run one after the other and the
later one's result is the one kept, whole. `Session.cancel` stops every fit that
is running or waiting: a stopped one keeps nothing, so the spectrum shows what it
showed before.
"""

from __future__ import annotations

import contextlib
import itertools
import math
import os
import re
import shutil
import tempfile
import threading
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Sequence

import numpy as np

import kelvara
from kelvara import _core, io
from kelvara.selection import fit_started

#: uploads above this many bytes are refused before anything is read
MAX_UPLOAD_BYTES = 20 * 2**20
#: points of the fitted curve drawn between the lowest and the highest frequency
CURVE_POINTS = 200
METHODS = ("levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
           "simulated_annealing", "basin_hopping")
WEIGHTS = ("modulus", "unit")
#: a saved session (`kelvara serve` reopens it like a data file)
PROJECT_SUFFIX = ".kelvara"


class SessionError(ValueError):
    """A request the session cannot serve: its text is shown in the page as it is."""


class Cancelled(SessionError):
    """The user stopped the work: nothing of it was kept."""


STOPPED = "stopped: the spectra keep the fits they had"


def _stop_if(event: threading.Event) -> None:
    """Before anything is stored: a fit stopped just as it ended is not kept either."""
    if event.is_set():
        raise Cancelled(STOPPED)


@dataclass
class Entry:
    """One spectrum (one sweep of one file) and what was fitted to it."""

    id: int
    name: str  # the file's name as the user knows it
    spectrum: io.Spectrum
    lock: threading.Lock = field(default_factory=threading.Lock, repr=False)
    result: Any = None  # the current FitResult
    auto: str | None = None  # the circuit select chose, once it has run
    error: str | None = None  # why the last fit failed
    kk: Any = None
    drt: Any = None
    revision: int = 0  # bumped by every fit stored
    masked: tuple[int, ...] = ()  # positions of the points left out of the current fit
    options: dict = field(default_factory=dict)  # the current fit's method and weight
    ranking: list = field(default_factory=list, repr=False)  # select's candidates, best first
    multi: bool = False  # the file holds several sweeps
    refits: set = field(default_factory=set, repr=False)  # the cancel events of its refits running or waiting

    @property
    def label(self) -> str:
        return f"{self.name} (sweep {self.spectrum.sweep + 1})" if self.multi else self.name


def _quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the flags and the verdict say what matters, in the page
        return call(*args, **kwargs)


class Session:
    """The spectra of one running app, in the order they were opened."""

    def __init__(self, max_upload_bytes: int = MAX_UPLOAD_BYTES) -> None:
        self.max_upload_bytes = int(max_upload_bytes)
        self._entries: dict[int, Entry] = {}
        self._ids = itertools.count(1)
        self._lock = threading.Lock()
        self._folder: str | None = None
        self._running: set[threading.Event] = set()
        #: the running series: spectra fitted of how many, and the stage
        self.progress: dict[str, Any] = {}

    # -- data ---------------------------------------------------------------

    def entries(self) -> list[Entry]:
        with self._lock:
            return list(self._entries.values())

    def get(self, entry_id: int) -> Entry:
        with self._lock:
            entry = self._entries.get(entry_id)
        if entry is None:
            raise SessionError(f"no spectrum {entry_id} in this session")
        return entry

    def open_path(self, path: str, name: str | None = None) -> list[Entry]:
        """Read every sweep of a file the user named; the reader's message on failure."""
        shown = name or os.path.basename(path)
        try:
            sweeps = io.read_all(path)
        except FileNotFoundError:
            raise SessionError(f"{shown}: no such file") from None
        except (OSError, ValueError) as error:
            text = str(error).replace(path, shown)
            raise SessionError(text if text.startswith(shown) else f"{shown}: {text}") from None
        if not sweeps:
            raise SessionError(f"{shown}: no impedance data in this file")
        added = []
        with self._lock:
            for spectrum in sweeps:
                entry = Entry(next(self._ids), shown, spectrum, multi=len(sweeps) > 1)
                self._entries[entry.id] = entry
                added.append(entry)
        return added

    def open_upload(self, name: str, data: bytes) -> list[Entry]:
        """Read an uploaded file: kept under its own name (the reader goes by the
        extension too) in a folder of this session's own."""
        if len(data) > self.max_upload_bytes:
            raise SessionError(too_large(name, len(data), self.max_upload_bytes))
        safe = re.sub(r"[^A-Za-z0-9._ -]", "_", os.path.basename(name.replace("\\", "/"))).strip(" .") or "upload"
        with self._lock:
            if self._folder is None:
                self._folder = tempfile.mkdtemp(prefix="kelvara-app-")
            folder = tempfile.mkdtemp(dir=self._folder)
        if safe.endswith(PROJECT_SUFFIX):
            return self.open_project(safe, data)
        path = os.path.join(folder, safe)
        with open(path, "wb") as handle:
            handle.write(data)
        return self.open_path(path, name=safe)

    def open_project(self, name: str, data: bytes) -> list[Entry]:
        """Reopen a session saved by `project`: its spectra, and each fit repeated from
        its saved values, fixed parameters, bounds, left-out points, method and weight."""
        from kelvara.app._export import read_project

        try:
            records = read_project(data)
        except (ValueError, KeyError, TypeError) as error:
            raise SessionError(f"{name}: not a kelvara project ({error})") from None
        added = []
        for record in records:
            with self._lock:
                entry = Entry(next(self._ids), record["name"], record["spectrum"], multi=record["multi"])
                self._entries[entry.id] = entry
            entry.auto = record["auto"]
            with entry.lock:
                entry.kk, entry.drt = _checks(entry.spectrum)
            fit = record["fit"]
            if fit is not None:
                try:
                    self.refit(entry.id, fit["circuit"], fit["values"], fit["fixed"], fit["bounds"], fit["masked"],
                               fit["method"], fit["weight"])
                except Cancelled:
                    pass  # stopped: the spectrum stays without its fit
                except SessionError as error:
                    entry.error = str(error)
            added.append(entry)
        return added

    @contextlib.contextmanager
    def _cancellable(self, also: set | None = None) -> Iterator[threading.Event]:
        """Work that `cancel` stops: the engine's long calls inside end within about
        50 ms, with Cancelled. Its event is in `also` too while it runs."""
        event = threading.Event()
        with self._lock:
            self._running.add(event)
            if also is not None:
                also.add(event)
        _core._push_cancel(event)
        try:
            yield event
        except KeyboardInterrupt:
            if not event.is_set():
                raise
            raise Cancelled(STOPPED) from None
        finally:
            _core._pop_cancel()
            with self._lock:
                self._running.discard(event)
                if also is not None:
                    also.discard(event)

    def cancel(self) -> int:
        """Stops every fit running or waiting for its spectrum; how many there were."""
        with self._lock:
            running = list(self._running)
        for event in running:
            event.set()
        return len(running)

    def close(self) -> None:
        if self._folder is not None:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None

    # -- fits ----------------------------------------------------------------

    def auto_fit(self, entry_id: int) -> Entry:
        """select's choice for the spectrum, with its Kramers-Kronig check and DRT; run once."""
        entry = self.get(entry_id)
        with self._cancellable() as event, entry.lock:
            if entry.auto is not None or entry.error is not None or entry.result is not None:
                return entry  # chosen already, or fitted otherwise (a reopened project, a stopped queue)
            _stop_if(event)
            result = auto = error = None
            rows = []
            try:
                ranking = _quiet(kelvara.select, entry.spectrum)
                result, auto = ranking.best, ranking.chosen.notation
                rows = [row for row in ranking if row.result is not None]
            except ValueError as failure:
                error = str(failure)
            kk, drt = _checks(entry.spectrum)
            _stop_if(event)
            entry.result, entry.auto, entry.ranking, entry.error = result, auto, rows, error
            entry.kk, entry.drt = kk, drt
            entry.revision += 1
        return entry

    def pick(self, entry_id: int, position: int) -> Entry:
        """Make the fit of select's candidate at `position` (best first) the current one."""
        entry = self.get(entry_id)
        with entry.lock:
            if not 0 <= position < len(entry.ranking):
                raise SessionError(f"no candidate {position} for {entry.label}")
            entry.result = entry.ranking[position].result
            entry.masked = ()
            entry.options = {}
            entry.error = None
            entry.revision += 1
        return entry

    def refit(self, entry_id: int, circuit: str | None, values: Sequence[float] | None = None,
              fixed: Sequence[str] = (), bounds: dict[str, Sequence[Any]] | None = None,
              masked: Sequence[int] = (), method: str = "levenberg_marquardt", weight: str = "modulus",
              replace: bool = False) -> Entry:
        """Fit `circuit` to the spectrum without the `masked` points: from `values` when
        given (in the circuit's parameter order), else from the data; `fixed` names held
        at their values. `replace`: the spectrum's refits still running or waiting are
        stopped first (an edit that makes them moot)."""
        entry = self.get(entry_id)
        model = build_circuit(circuit, values, fixed, bounds)
        if method not in METHODS:
            raise SessionError(f"unknown method {method!r}: one of {', '.join(METHODS)}")
        if weight not in WEIGHTS:
            raise SessionError(f"unknown weight {weight!r}: one of {', '.join(WEIGHTS)}")
        n = len(entry.spectrum)
        try:
            drop = tuple(sorted({int(i) for i in masked}))
        except (TypeError, ValueError):
            raise SessionError("masked points are given by their positions") from None
        if drop and not 0 <= drop[0] <= drop[-1] < n:
            raise SessionError(f"the spectrum has points 0 to {n - 1}; no point {drop[0] if drop[0] < 0 else drop[-1]}")
        keep = np.setdiff1d(np.arange(n), drop)
        options = {"method": method, "weight": weight}
        seeded = {"seed": 0} if method in ("particle_swarm", "simulated_annealing", "basin_hopping") else {}
        if replace:
            with self._lock:
                earlier = list(entry.refits)
            for other in earlier:
                other.set()
        with self._cancellable(entry.refits) as event, entry.lock:
            _stop_if(event)  # stopped while it waited for the one before
            f, z = entry.spectrum[keep]
            try:
                if values is None:
                    result = _quiet(fit_started, model, f, z, **options, **seeded)
                else:
                    result = _quiet(model.fit, f, z, **options, **seeded)
                result.flags  # worked out here, off the event loop, not when the page asks
            except ValueError as error:
                raise SessionError(str(error)) from None
            _stop_if(event)
            entry.result = result
            entry.masked = drop
            entry.options = options
            entry.error = None
            entry.revision += 1
        return entry


    def series(self, ids: Sequence[int], circuit: str | None, values: Sequence[float] | None = None,
               fixed: Sequence[str] = (), bounds: dict[str, Sequence[Any]] | None = None,
               shared: Sequence[str] = (), method: str = "levenberg_marquardt",
               weight: str = "modulus") -> dict[str, Any]:
        """Fit one circuit to the spectra `ids`, in that order, each from the one
        before, as kelvara.fit_series does (with the same result), but spectrum by
        spectrum, so that `progress` follows it and a stop ends it between two; then
        `shared` parameters common to all. Each spectrum keeps its own left-out
        points, and gets the fit as its current one; a stopped series changes none."""
        from kelvara.series import _checked_shared, _joint_fit, _series_spectra

        entries = [self.get(int(i)) for i in ids]
        if not entries:
            raise SessionError("open some spectra first")
        model = build_circuit(circuit, values, fixed, bounds)
        unknown = [name for name in shared if name not in model.param_names()]
        if unknown:
            raise SessionError(f"{model.notation} has no parameter {unknown[0]} to share")
        if method not in METHODS or weight not in WEIGHTS:
            raise SessionError(f"unknown method or weight: {method!r}, {weight!r}")
        kwargs: dict[str, Any] = {"method": method, "weight": weight}
        if method in ("particle_swarm", "simulated_annealing", "basin_hopping"):
            kwargs["seed"] = 0
        with self._cancellable() as event:
            try:
                pairs = _series_spectra([tuple(e.spectrum[np.setdiff1d(np.arange(len(e.spectrum)), e.masked)])
                                         for e in entries], None, None)
                shared = _checked_shared(model, shared)
                results = self._warm_started(model, pairs, kwargs, event)
                common: dict[str, float] = {}
                if shared:
                    self.progress = dict(self.progress, stage="joint")
                    joint = _quiet(_joint_fit, model, pairs, results, shared, weight)
                    results, common = list(joint), joint.shared
                for result in results:
                    result.flags  # off the event loop
            except Cancelled:
                raise  # stopped between two spectra: a stop, not an error of the series
            except ValueError as error:
                raise SessionError(str(error)) from None
            _stop_if(event)
            for entry, result in zip(entries, results):
                with entry.lock:
                    entry.result = result
                    entry.options = {"method": method, "weight": weight}
                    entry.error = None
                    entry.revision += 1
        names = model.param_names()
        return {
            "circuit": model.notation, "names": names, "units": model.param_units(),
            "shared": {k: _finite(v) for k, v in common.items()},
            "spectra": [{"id": e.id, "label": e.label, "verdict": r.verdict,
                         "values": [_finite(r.params[n]) for n in names],
                         "stderr": [None if r.stderr is None or r.stderr.get(n) is None else _finite(r.stderr[n])
                                    for n in names]}
                        for e, r in zip(entries, results)],
        }

    def _warm_started(self, model: kelvara.Circuit, pairs: list, kwargs: dict[str, Any],
                      event: threading.Event) -> list[Any]:
        """kelvara.fit_series's separate fits, told in `progress` and stopped by `event`."""
        from kelvara.series import _warm_started

        self.progress = {"task": "series", "done": 0, "total": len(pairs), "stage": "separate"}

        def step(done: int) -> None:
            self.progress = dict(self.progress, done=done)
            _stop_if(event)

        return _quiet(_warm_started, model, pairs, kwargs, step)


def _checks(spectrum: io.Spectrum) -> tuple[Any, Any]:
    """The spectrum's Kramers-Kronig check and DRT, which no fit changes (None where
    one cannot be had)."""
    from kelvara.validate import kramers_kronig

    try:
        kk = _quiet(kramers_kronig, spectrum)
    except ValueError:
        kk = None
    try:
        drt = _quiet(kelvara.drt, spectrum)
    except ValueError:
        drt = None
    return kk, drt


def too_large(name: str, size: int, limit: int) -> str:
    return (f"{name}: {size / 2**20:.1f} MB is above the upload limit of {limit / 2**20:.0f} MB; "
            f"open a file that large with `kelvara serve FILE` instead")


def build_circuit(notation: str | None, values: Sequence[float] | None, fixed: Sequence[str],
                  bounds: dict[str, Sequence[Any]] | None) -> kelvara.Circuit:
    """The circuit the page describes; a bad notation, name or value raises its message."""
    if not isinstance(notation, str) or not notation.strip():
        raise SessionError("write a circuit, e.g. R0-p(R1,CPE1)")
    try:
        circuit = kelvara.Circuit(notation.strip())
    except ValueError as error:
        raise SessionError(_suggestion(notation.strip(), str(error)) + str(error)) from None
    try:
        names = circuit.param_names()
        if values is not None:
            if len(values) != len(names):
                raise SessionError(f"{len(values)} values for the {len(names)} parameters of {circuit.notation}")
            circuit = circuit.with_values([float(v) for v in values])
        unknown = [name for name in list(fixed) + list(bounds or {}) if name not in names]
        if unknown:
            raise SessionError(f"{circuit.notation} has no parameter {unknown[0]}; its parameters: {', '.join(names)}")
        # only the bounds that differ from the element's own: a fit with bounds of the user's own is
        # searched more thoroughly (and slowly), which the table's unchanged defaults should not cost
        own = dict(zip(names, circuit.param_bounds()))
        changed = {}
        for name, (lo, hi) in (bounds or {}).items():
            pair = (_number(lo), _number(hi))
            if pair != own[name] and pair != (own[name][0], None if math.isinf(own[name][1]) else own[name][1]):
                changed[name] = pair
        if changed:
            circuit = circuit.with_bounds(changed)
        if fixed:
            circuit = circuit.with_fixed(list(fixed))
    except SessionError:
        raise
    except (ValueError, TypeError, AttributeError) as error:  # AttributeError: bounds that are no mapping
        raise SessionError(f"the circuit's parameters: {error}") from None
    return circuit


def _suggestion(text: str, message: str) -> str:
    """A did-you-mean line for a misspelt model name or element code, else nothing."""
    import difflib

    codes = [code for element in kelvara._core._elements() for code in element["codes"]]

    if text.isidentifier() and not text[:1].isupper():  # a word, not notation: a model name
        close = difflib.get_close_matches(text.lower(), kelvara.Circuit.ml_circuits(), n=1, cutoff=0.6)
        return f"did you mean {close[0]!r}?\n\n" if close else ""
    match = re.search(r'unknown element code "([^"]*)"', message)
    if match:
        close = difflib.get_close_matches(match.group(1), codes, n=1, cutoff=0.5)
        if close:
            return f"did you mean {text.replace(match.group(1), close[0], 1)!r}?\n\n"
    return ""


def _number(value: Any) -> float | None:
    if value is None or (isinstance(value, str) and not value.strip()):
        return None
    return float(value)


# -- what the page is sent -------------------------------------------------------------

def _finite(value: Any) -> float | None:
    value = float(value)
    return value if math.isfinite(value) else None


def _list(array: np.ndarray) -> list[float | None]:
    return [v if math.isfinite(v) else None for v in np.asarray(array, dtype=float).tolist()]


def row(entry: Entry) -> dict[str, Any]:
    """The side table's row."""
    result = entry.result
    f = entry.spectrum.frequencies
    return {
        "id": entry.id, "label": entry.label, "points": len(f), "instrument": entry.spectrum.instrument,
        "fmin": _finite(f.min()) if len(f) else None, "fmax": _finite(f.max()) if len(f) else None,
        "circuit": None if result is None else result.circuit.notation,
        "verdict": None if result is None else result.verdict,
        "fitted": entry.auto is not None or entry.error is not None or result is not None,
        "error": entry.error, "revision": entry.revision,
    }


def detail(entry: Entry) -> dict[str, Any]:
    """Everything the panels draw for one spectrum."""
    f, z = entry.spectrum
    out = row(entry)
    out.update({"f": _list(f), "re": _list(z.real), "im": _list(z.imag), "auto": entry.auto, "fit": None,
                "kk": None, "drt": None, "masked": list(entry.masked), "method": entry.options.get("method"),
                "weight": entry.options.get("weight"),
                "ranking": [{"notation": r.notation, "verdict": r.verdict, "n_free": r.n_free, "bic": _finite(r.bic),
                             "weight": _finite(r.weight)} for r in entry.ranking]})
    result = entry.result
    if result is not None:
        out["fit"] = fit_view(result, f, z)
        for key in ("re", "im"):  # a masked point was not fitted: no residual of its own
            for i in entry.masked:
                out["fit"]["residuals"][key][i] = None
    if entry.kk is not None:
        kk = entry.kk
        out["kk"] = {"passed": bool(kk.passed), "summary": kk.summary(), "re": _list(kk.residuals_real),
                     "im": _list(kk.residuals_imag)}
    if entry.drt is not None:
        d = entry.drt
        out["drt"] = {"tau": _list(d.tau), "gamma": _list(d.gamma), "summary": d.summary(),
                      "peaks": [{"tau": _finite(p.tau), "frequency": _finite(p.frequency),
                                 "resistance": _finite(p.resistance)} for p in d.peaks]}
    return out


def fit_view(result: Any, f: np.ndarray, z: np.ndarray) -> dict[str, Any]:
    circuit = result.circuit
    names = circuit.param_names()
    stderr = result.stderr or {}
    fixed = set(circuit.fixed)
    fitted = circuit.impedance(f)
    positive = f[f > 0]
    grid = np.geomspace(positive.min(), positive.max(), CURVE_POINTS) if positive.size else f
    curve = circuit.impedance(grid)
    modulus = np.abs(z)
    modulus[modulus == 0] = 1.0
    params = []
    for name, unit, value, (lo, hi) in zip(names, circuit.param_units(), circuit.param_values(),
                                           circuit.param_bounds()):
        error = stderr.get(name)
        params.append({"name": name, "unit": unit, "value": _finite(value),
                       "stderr": None if error is None or name in fixed else _finite(error),
                       "fixed": name in fixed, "lower": _finite(lo), "upper": _finite(hi)})
    return {
        "circuit": circuit.notation, "params": params, "verdict": result.verdict, "arcs": arcs(circuit),
        "flags": [{"code": flag.code, "text": flag.text} for flag in result.flags],
        "success": bool(result.success), "message": result.message, "chi_square": _finite(result.chi_square),
        "misfit": _finite(result.misfit),
        "curve": {"f": _list(grid), "re": _list(curve.real), "im": _list(curve.imag)},
        "residuals": {"re": _list((z.real - fitted.real) / modulus), "im": _list((z.imag - fitted.imag) / modulus)},
    }


# an R (with what follows it in its branch, a Warburg say) in parallel with a C or a CPE
_ARC = re.compile(r"p?\((R\d+)(?:-[A-Za-z]+\d+)*,(CPE\d+|C\d+)\)|p?\((CPE\d+|C\d+),(R\d+)\)")

# the elements that draw an arc of their own: the parameter the handle moves, and the
# element's time constant from its parameters (by name without the element's label)
_ARC_ELEMENTS: dict[str, tuple[str, Callable[[dict[str, float]], float]]] = {
    "K": ("r", lambda p: p["tau_k"]),
    "Zarc": ("r", lambda p: p["tau_k"]),
    "H": ("r", lambda p: p["tau"]),
    "G": ("rg", lambda p: p["tg"]),
    # a transmission line bends from its 45-degree line into its capacitive tail where
    # r_ion qs w^gamma = 1
    "Tlmq": ("r_ion", lambda p: (p["r_ion"] * p["qs"]) ** (1 / p["gamma"])),
    "T": ("a", lambda p: p["tau"]),
}


def _pair_tau(r: str, c: str) -> Callable[[dict[str, float]], float]:
    if c.startswith("CPE"):
        return lambda v: (v[f"{r}.r"] * v[f"{c}.q"]) ** (1 / v[f"{c}.alpha"])
    return lambda v: v[f"{r}.r"] * v[f"{c}.c"]


def _arc_sources(circuit: Any) -> list[tuple[str, Callable[[dict[str, float]], float]]]:
    """Each arc of the circuit: the name of the parameter its handle moves, and its
    time constant from the circuit's values."""
    found = []
    for match in _ARC.finditer(circuit.notation):
        r, c = (match.group(1), match.group(2)) if match.group(1) else (match.group(4), match.group(3))
        found.append((f"{r}.r", _pair_tau(r, c)))
    codes = dict(zip(circuit.param_names(), (code for code, _ in kelvara._core._param_elements(circuit))))
    for name, code in codes.items():
        label, _, own = name.partition(".")
        if code in _ARC_ELEMENTS and own == _ARC_ELEMENTS[code][0]:
            found.append((name, _element_tau(label + ".", _ARC_ELEMENTS[code][1])))
    return found


def _element_tau(prefix: str, tau: Callable[[dict[str, float]], float]) -> Callable[[dict[str, float]], float]:
    """The element's time constant from the circuit's values, by its own parameter names."""
    return lambda values: tau({k[len(prefix):]: v for k, v in values.items() if k.startswith(prefix)})


def _handle(circuit: Any, values: dict[str, float], tau: Callable[[dict[str, float]], float]) -> complex | None:
    """The fitted impedance at the arc's own time constant, where its handle sits."""
    try:
        t = tau(values)
    except (ZeroDivisionError, OverflowError, KeyError):
        return None
    if not isinstance(t, float) or not math.isfinite(t) or t <= 0:
        return None
    z = complex(circuit.impedance([1 / (2 * math.pi * t)])[0])
    return z if math.isfinite(z.real) and math.isfinite(z.imag) else None


def arcs(circuit: Any) -> list[dict[str, Any]]:
    """The circuit's arcs (R-C and R-CPE parallel pairs; K, Zarc, Havriliak-Negami,
    Gerischer and transmission-line elements) with their handles: the top of the arc,
    the parameter a sideways drag moves, and how far the handle moves sideways per
    unit of that parameter (1/2 for an R-C pair, whose diameter is its R)."""
    names = circuit.param_names()
    values = dict(zip(names, circuit.param_values()))
    found = []
    for name, tau in _arc_sources(circuit):
        r = values.get(name)
        z = _handle(circuit, values, tau) if r else None
        if r is None or z is None:
            continue
        # the handle's own move when the parameter grows a little (its frequency moves with it)
        step = 1e-6 * r
        moved = dict(values, **{name: r + step})
        other = _handle(circuit.with_values([moved[n] for n in names]), moved, tau)
        slope = (other.real - z.real) / step if other is not None else math.nan
        if math.isfinite(slope) and slope > 0:
            found.append({"r": name, "f": 1 / (2 * math.pi * tau(values)), "x": z.real, "y": -z.imag,
                          "slope": slope})
    return found
