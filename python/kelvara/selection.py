"""Choosing the circuit: :func:`compare` fits candidate circuits to one spectrum and
ranks them; :func:`select` picks the simplest adequate one.

Every candidate is fitted on the worker pool with the interpreter released, all at
once. A candidate with values of its own starts there. One without starts from the
data (``Circuit.with_data_start``), and a trained topology from its network's guess
as well, keeping the better fit. A candidate that contains a simpler candidate (the simpler one's
fitted values, with the extra elements set to contribute next to nothing, reproduce
its impedance) is also started from that fit, and keeps the better of its fits: so
adding an element never ends worse than leaving it out. Where it still does, the
flag ``nested_better`` says so. Each candidate's Levenberg-Marquardt runs have an
evaluation budget (``max_iterations``), so that no wrong circuit runs away.

The ranking uses an information criterion over the weighted residuals (AICc by
default for compare, BIC for select; see ``FitResult.aic``) and Akaike weights
exp(-d/2) / sum exp(-d/2), with d the criterion's distance from the best candidate.

Candidates of your own get the full set of Levenberg-Marquardt starts and patience
of ``Circuit.fit``; select's default candidates (the trained topologies and those
the spectrum's DRT proposes, see :func:`proposed_candidates`) the two cheapest
starts and a budget. Where a fit runs an element off to zero or infinity (an R, C,
CPE, L or Warburg on its floor or beyond 1e15), select shorts or opens that
element and fits the smaller circuit too, ranked in its own right.

select fits its candidates in stages of rising free-parameter count and stops once
its choice among those fitted is clean and fits to the noise level: on well-posed
spectra that leaves out about half of the candidates, mostly the costly ones with
eight or nine parameters.
"""

from __future__ import annotations

import math
import re
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Sequence

import kelvara
from kelvara import _core
from kelvara._measured import spectrum
from kelvara.diagnostics import VERDICTS, Flag, diagnose, noise_level, relative_misfit, verdict_of

if TYPE_CHECKING:
    import numpy as np

    from kelvara._core import Circuit, FitResult

__all__ = ["compare", "select", "proposed_candidates", "fit_started", "Comparison", "Ranked", "CRITERIA",
           "SELECT_MAX_ITERATIONS", "STOP_MISFIT", "COMMON_PRIOR"]

CRITERIA = ("aicc", "aic", "bic")
#: Evaluation budget of each Levenberg-Marquardt run of a candidate.
SELECT_MAX_ITERATIONS = 25
#: Candidates within this distance of the best criterion count as equally good;
#: :func:`select` takes the one with the fewest free parameters among them.
EQUIVALENT = 2.0
#: select's early stop: the choice so far fits to the noise level when its rms relative
#: misfit, scaled by sqrt(2N / (2N - k)) for the k fitted parameters, is at most this
#: many times the noise.
STOP_MISFIT = 1.1
_NEUTRAL = 1e-8  # the share of min |Z| an element added to a nested fit contributes


@dataclass
class Ranked:
    """One candidate of a :class:`Comparison`."""

    circuit: str  #: as given (notation or model name)
    notation: str
    result: FitResult | None  #: None when the fit raised
    error: str | None = None
    n_free: int = 0
    chi_square: float = math.nan
    reduced_chi_square: float = math.nan
    aic: float = math.nan
    aicc: float = math.nan
    bic: float = math.nan
    weight: float = 0.0  #: Akaike weight over the criterion
    flags: list[Flag] = field(default_factory=list)
    verdict: str = "failed"
    #: the candidate whose fit ran an element off, when this circuit is that one reduced
    reduced_from: str | None = None


class Comparison:
    """Candidate circuits fitted to one spectrum, best first (by ``criterion``)."""

    def __init__(self, ranked: list[Ranked], criterion: str, noise: float | None, best: Ranked | None,
                 skipped: Sequence[str] = ()):
        self.ranked = ranked
        #: candidates select's early stop left unfitted (a simpler one fits to the noise level)
        self.skipped = list(skipped)
        self.criterion = criterion
        #: the spectrum's noise level (fraction of |Z|) the flags were judged against
        self.noise = noise
        self._best = best

    @property
    def best(self) -> FitResult | None:
        """The chosen fit: for :func:`select` the simplest adequate circuit, for
        :func:`compare` the best-ranked clean one (else the best-ranked)."""
        return None if self._best is None else self._best.result

    @property
    def chosen(self) -> Ranked | None:
        return self._best

    def __iter__(self):
        return iter(self.ranked)

    def __len__(self) -> int:
        return len(self.ranked)

    def __repr__(self) -> str:
        best = self._best.notation if self._best else None
        return f"Comparison(best={best!r}, criterion={self.criterion!r}, candidates={len(self.ranked)})"

    def table(self) -> str:
        """The ranking as a text table with each candidate's flags under it."""
        header = ["", "circuit", "free", "chi-square", "red. chi-sq.", "AIC", "AICc", "BIC", "weight", "verdict"]
        rows = [header]
        for row in self.ranked:
            mark = "*" if row is self._best else ""
            rows.append([mark, row.notation, str(row.n_free), f"{row.chi_square:.4g}", f"{row.reduced_chi_square:.4g}",
                         f"{row.aic:.2f}", f"{row.aicc:.2f}", f"{row.bic:.2f}", f"{row.weight:.3f}", row.verdict])
        widths = [max(len(r[c]) for r in rows) for c in range(len(header))]
        lines = ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows]
        notes = []
        for row in self.ranked:
            if row.reduced_from:
                notes.append(f"  {row.notation}: {row.reduced_from} with an element it ran off removed")
            for flag in row.flags:
                notes.append(f"  {row.notation}: [{flag.code}] {flag.text}")
            if row.error:
                notes.append(f"  {row.notation}: error: {row.error}")
        noise = "unknown" if self.noise is None else f"{100 * self.noise:.3g} %"
        footer = [f"ranked by {self.criterion.upper() if self.criterion != 'aicc' else 'AICc'}; noise level {noise}"]
        if self._best is not None:
            footer.append(f"chosen: {self._best.notation}")
        if self.skipped:
            footer.append(f"not fitted (a simpler circuit fits to the noise level): {', '.join(self.skipped)}")
        return "\n".join(lines + footer + notes) + "\n"

    def to_frame(self) -> Any:
        """The ranking as a pandas DataFrame, one row per candidate."""
        import pandas as pd  # type: ignore[import-untyped]

        return pd.DataFrame([{
            "circuit": row.circuit, "notation": row.notation, "n_free": row.n_free, "chi_square": row.chi_square,
            "reduced_chi_square": row.reduced_chi_square, "aic": row.aic, "aicc": row.aicc, "bic": row.bic,
            "weight": row.weight, "verdict": row.verdict, "flags": ";".join(flag.code for flag in row.flags),
            "chosen": row is self._best, "error": row.error,
        } for row in self.ranked])


_LABEL = re.compile(r"^([A-Za-z]+?)(\d*)$")


def _elements(circuit: Circuit) -> list[tuple[str, str]]:
    """(canonical code of its element, parameter name) for each parameter of `circuit`."""
    table = {element["code"]: element for element in _core._elements()}
    return [(code, table[code]["params"][index]) for code, index in _core._param_elements(circuit)]


def _neutral_value(kind: str, param: str, scale: float, w_min: float, w_max: float) -> float | None:
    """A value at which an element added to a simpler circuit contributes next to nothing."""
    small = _NEUTRAL * scale
    tau_mid = 1.0 / math.sqrt(w_min * w_max)
    table = {
        ("R", "r"): small, ("L", "l"): small / w_max, ("W", "aw"): small * math.sqrt(w_min),
        ("Wo", "z0"): small, ("Wo", "tau"): 100.0 / w_min, ("Ws", "z0"): small, ("Ws", "tau"): 1.0 / w_min,
        ("C", "c"): tau_mid / small, ("Cpe", "q"): tau_mid**0.9 / small, ("Cpe", "alpha"): 0.9,
    }
    return table.get((kind, param))


def _nested_start(simple: FitResult, circuit: Circuit, f: np.ndarray, z: np.ndarray) -> list[float] | None:
    """Start values of `circuit` that reproduce the fit `simple`, or None when the
    simpler circuit is not nested in it."""
    import numpy as np

    fitted = simple.params
    used: set[str] = set()
    moduli = np.abs(z)
    scale = float(np.min(moduli[moduli > 0], initial=float(np.max(moduli, initial=1.0))))
    w = 2 * math.pi * f
    start = []
    for name, (kind, param) in zip(circuit.param_names(), _elements(circuit)):
        if name in fitted:
            start.append(fitted[name])
            used.add(name)
            continue
        # a CPE in place of the simpler circuit's capacitor of the same number
        match = _LABEL.match(name.partition(".")[0])
        as_capacitor = f"C{match.group(2)}.c" if match and kind == "Cpe" else None
        if as_capacitor in fitted:
            start.append(fitted[as_capacitor] if param == "q" else 1.0)
            used.add(as_capacitor)
            continue
        value = _neutral_value(kind, param, scale, float(w.min()), float(w.max()))
        if value is None:
            return None
        start.append(value)
    if used != set(fitted):
        return None
    try:
        trial = circuit.with_values(start)
    except ValueError:
        return None
    with np.errstate(all="ignore"):  # a start far off may overflow: it is refused below
        difference = np.abs(trial.impedance(f) - simple.circuit.impedance(f)) / np.abs(z)
        if not np.all(np.isfinite(difference)) or not float(np.sqrt(np.mean(difference**2))) <= 1e-3:
            return None
    for name in circuit.fixed:  # held parameters keep their own values
        start[circuit.param_names().index(name)] = circuit.param_values()[circuit.param_names().index(name)]
    return start


def _better(a: Any, b: Any) -> bool:
    """Whether fit `a` is better than `b` (either may be an exception): the lower cost,
    converged or not (a refit from a nested fit that used up its budget below a fit
    that converged in a worse optimum is the better point); success breaks a tie."""
    if isinstance(b, BaseException):
        return not isinstance(a, BaseException)
    if isinstance(a, BaseException):
        return False
    cost_a = a.cost if math.isfinite(a.cost) else math.inf
    cost_b = b.cost if math.isfinite(b.cost) else math.inf
    if cost_a != cost_b:
        return cost_a < cost_b
    return a.success and not b.success


@dataclass
class _Candidate:
    name: str
    circuit: Circuit
    #: given by the caller (or a reduction of a fit): the full starts and patience of Circuit.fit
    thorough: bool
    reduced_from: str | None = None


#: Levenberg-Marquardt starts and patience of a thorough candidate: those of Circuit.fit.
_FULL_STARTS = 9
_FULL_ITERATIONS = 200


def _fit(candidates: list[_Candidate], f: Any, z: Any, fit_kwargs: dict,
         max_iterations: int | None) -> list[Any]:
    """Fits of the candidates (a FitResult or the exception), in their order: every
    candidate without values of its own also starts from the data."""
    from kelvara._core import _fit_candidates  # type: ignore[attr-defined]

    results: list[Any] = [None] * len(candidates)
    for thorough in (False, True):
        at = [i for i, c in enumerate(candidates) if c.thorough == thorough]
        if not at:
            continue
        budget = max_iterations if max_iterations is not None else \
            (_FULL_ITERATIONS if thorough else SELECT_MAX_ITERATIONS)
        settings = {"max_iterations": budget, **fit_kwargs, "data_start": True,
                    "starts": _FULL_STARTS if thorough else None}
        for i, result in zip(at, _fit_candidates([candidates[i].circuit for i in at], f, z, **settings)):
            results[i] = result
    return results


def fit_started(circuit: Circuit, frequencies: Any, impedances: Any = None, **fit_kwargs: Any) -> FitResult:
    """``circuit.fit`` where no start is given, as the command line and a series'
    first spectrum do it: a circuit with values of its own starts there; one without
    starts from the data (``Circuit.with_data_start``) and, for a trained topology,
    from its network's guess as well, keeping the better fit. A parameter held
    without a value holds the value that fit starts from. A weight file or an
    explicit ``guess_init`` is ``Circuit.fit`` itself."""
    if "weights" in fit_kwargs or "guess_init" in fit_kwargs:
        return circuit.fit(frequencies, impedances, **fit_kwargs)
    kwargs = dict(fit_kwargs)
    budget = kwargs.pop("max_iterations", None)
    result = _fit([_Candidate(circuit.notation, circuit, True)], frequencies, impedances, kwargs, budget)[0]
    if isinstance(result, BaseException):
        raise result
    return result


def _criterion_value(result: FitResult, criterion: str) -> float:
    value = getattr(result, criterion)
    # -inf is an exact fit (chi-square 0), the best there is; NaN ranks last
    return value if value == -math.inf or math.isfinite(value) else math.inf


def _stages(candidates: list[_Candidate]) -> list[list[int]]:
    """Candidate indices by free-parameter count, simplest first; a level with a single
    candidate joins the next one, so that a stage keeps both workers busy."""
    free = [len(c.circuit.param_names()) - len(c.circuit.fixed) for c in candidates]
    stages: list[list[int]] = []
    pending: list[int] = []
    for level in sorted(set(free)):
        pending += [i for i, k in enumerate(free) if k == level]
        if len(pending) >= 2:
            stages.append(pending)
            pending = []
    if pending:
        stages.append(pending)
    return stages


def _fit_stage(stage: list[int], candidates: list[_Candidate], results: dict[int, Any], nested: dict[int, int],
               data: Any, fit_kwargs: dict, max_iterations: int | None) -> None:
    """Fits the candidates of `stage` into `results`. A candidate that ended above the
    best-fitting simpler candidate nested in it (any fitted so far, its own stage
    included) is fitted again from that fit and keeps the better of the two;
    `nested` records which simpler candidate each one was held against."""
    fitted = _fit([candidates[i] for i in stage], data, None, fit_kwargs, max_iterations)
    results.update(zip(stage, fitted))
    refit_of: list[int] = []
    from_nested: list[_Candidate] = []
    for i in stage:
        circuit = candidates[i].circuit
        free = len(circuit.param_names()) - len(circuit.fixed)
        inner = [j for j, simple in results.items() if j != i and not isinstance(simple, BaseException)
                 and simple.n_free < free and math.isfinite(simple.cost)]
        inner.sort(key=lambda j: (results[j].cost, j))
        for j in inner:
            start = _nested_start(results[j], circuit, data.frequencies, data.impedances)
            if start is None:
                continue
            nested[i] = j
            own = results[i]
            if isinstance(own, BaseException) or not own.cost <= results[j].cost * (1 + 1e-6):
                refit_of.append(i)
                from_nested.append(_Candidate(candidates[i].name, circuit.with_values(start), candidates[i].thorough))
            break  # the best-fitting nested candidate is the one to beat
    if from_nested:
        refits = _fit(from_nested, data, None, {**fit_kwargs, "guess_init": False}, max_iterations)
        for i, refit in zip(refit_of, refits):
            if _better(refit, results[i]):
                results[i] = refit


#: An element's impedance as a parameter runs to its floor and off to infinity, by
#: the catalogue's drift of the parameter: "short" (zero impedance) or "open" (infinite).
_LIMITS = {"grows": ("short", "open"), "falls": ("open", "short")}
#: Within this factor of its floor a value is on it, and beyond this it is running off
#: to infinity (as the at_bound flag reads them).
_FLOOR_FACTOR, _RUNAWAY = _core._bound_limits()  # type: ignore[attr-defined]


def _runoffs(result: FitResult) -> list[tuple[str, str]]:
    """(parameter, "short" or "open") for each element the fit ran off to a limit, and
    both for one the data do not determine (standard error missing or above its value:
    its element may be the one to drop, whichever way); (parameter, "ideal") for an
    exponent at an end of its range (the core turns a CPE there into C or R)."""
    out = []
    bounds = result.circuit.param_bounds()
    fixed = set(result.circuit.fixed)
    errors = result.stderr or {}
    drifts = {element["code"]: element["drifts"] for element in _core._elements()}
    kinds = _core._param_elements(result.circuit)
    for (name, value), (lo, hi), (kind, index) in zip(result.params.items(), bounds, kinds):
        if name in fixed or not math.isfinite(value):
            continue
        error = errors.get(name)
        if lo == 0.0 and hi == 1.0:
            # an exponent at an end of its range, or one the data cannot tell from
            # the nearer end (within a standard error of it): a CPE become C or R
            if value <= 1e-9 or value >= 1 - 1e-9 or error is None or not math.isfinite(error) \
                    or error >= min(value, 1 - value):
                out.append((name, "ideal"))
            continue
        limits = _LIMITS.get(drifts[kind][index])
        if limits is None:
            continue
        if lo > 0 and value <= lo * _FLOOR_FACTOR:
            out.append((name, limits[0]))
        elif value >= _RUNAWAY or (math.isfinite(hi) and value >= hi * (1 - 1e-9)):
            out.append((name, limits[1]))
        elif error is None or not math.isfinite(error) or error > abs(value):
            out += [(name, limits[0]), (name, limits[1])]
    return out


#: Of the candidates that ran an element off, at most this many (the lowest costs) are reduced per stage.
_REDUCED_PER_STAGE = 4


def _worth_reducing(stage: list[int], results: dict[int, Any], rows: dict[int, Ranked],
                    noise: tuple[float | None, bool]) -> list[int]:
    """The candidates of `stage` whose reduction could change the choice: those that
    fit better than every candidate with determined values so far (a reduced circuit
    fits no better than the one it came from), and those that fit to the noise level
    (a reduced circuit there may be the simplest adequate one): those at the noise
    level first, the simplest of them first, then the rest by cost."""
    determined = [row.result.cost for row in rows.values()
                  if row.result is not None and row.verdict in ("clean", "suspect")]
    limit = min(determined, default=math.inf)

    pool = [i for i in stage if not isinstance(results[i], BaseException)
            and (results[i].cost < limit or _at_noise(results[i], noise))]
    pool.sort(key=lambda i: (0, results[i].n_free, results[i].cost) if _at_noise(results[i], noise)
              else (1, 0, results[i].cost))
    chosen = pool[:_REDUCED_PER_STAGE]
    # and the best fit of all: its reduction is the likeliest to fit as well with fewer parameters
    lowest = min(pool, key=lambda i: results[i].cost, default=None)
    return chosen + [lowest] if lowest is not None and lowest not in chosen else chosen


def _reductions(candidate: _Candidate, result: Any, known: dict[str, float]) -> list[_Candidate]:
    """The circuits left when the elements `result` ran off are shorted or opened (each
    alone, and all at once), started from the fitted values of what remains."""
    from kelvara._core import _reduced_circuit  # type: ignore[attr-defined]

    if isinstance(result, BaseException) or not math.isfinite(result.cost):
        return []
    runoffs = _runoffs(result)
    if not runoffs:
        return []
    fitted = result.circuit
    # each alone, and every element at once (the first limit named for each)
    together = list(dict(reversed(runoffs)).items())[::-1]
    options = [[r] for r in runoffs] + ([together] if len(together) > 1 else [])
    out = []
    for chosen in options:
        reduced: Circuit | None = fitted
        for name, limit in chosen:
            if reduced is None or name not in reduced.param_names():
                reduced = None
                break
            if limit == "ideal":  # at the nearer end of its range first
                values = dict(zip(reduced.param_names(), reduced.param_values()))
                reduced = reduced.with_named_values({**values, name: round(values[name])})
            reduced = _reduced_circuit(reduced, name, limit)
        # A circuit already fitted is fitted again from here only where its own
        # fit ended above this one's (it may lie in a better basin from here).
        if reduced is None or known.get(reduced.notation, math.inf) <= result.cost * (1 + 1e-6):
            continue
        known[reduced.notation] = result.cost
        out.append(_Candidate(reduced.notation, reduced, True, candidate.name))
    return out


def _ranked_row(candidate: _Candidate, result: Any, simple: Any, noise: float | None) -> Ranked:
    name, circuit = candidate.name, candidate.circuit
    if isinstance(result, BaseException):
        if not isinstance(result, Exception):
            raise result
        return Ranked(name, circuit.notation, None, error=str(result), reduced_from=candidate.reduced_from)
    flags = diagnose(result, noise)
    if simple is not None and not isinstance(simple, BaseException) and math.isfinite(simple.cost) and \
            not result.cost <= simple.cost * (1 + 1e-6) + 1e-300:
        flags.append(Flag("nested_better", f"the simpler nested circuit {simple.circuit.notation} ended at a "
                                           f"lower cost ({simple.cost:.4g} against {result.cost:.4g})"))
    result._set_flags(flags)
    return Ranked(name, circuit.notation, result, None, result.n_free, result.chi_square, result.reduced_chi_square,
                  result.aic, result.aicc, result.bic, 0.0, flags, verdict_of(flags), candidate.reduced_from)


def _ordered(rows: dict[int, Ranked], criterion: str) -> list[Ranked]:
    """The rows best first by the criterion (ties in candidate order), with Akaike weights."""
    keys = sorted(rows)
    values = {k: math.inf if (result := rows[k].result) is None else _criterion_value(result, criterion)
              for k in keys}
    finite = [v for v in values.values() if math.isfinite(v)]
    exact = [k for k in keys if values[k] == -math.inf]
    if exact:  # exact fits share the weight: no finite criterion comes near them
        for k in keys:
            rows[k].weight = 1.0 / len(exact) if values[k] == -math.inf else 0.0
    elif finite:
        lowest = min(finite)
        total = sum(math.exp(-(v - lowest) / 2) for v in finite)
        for k in keys:
            v = values[k]
            rows[k].weight = math.exp(-(v - lowest) / 2) / total if math.isfinite(v) else 0.0
    return [rows[k] for k in sorted(keys, key=lambda k: (values[k], k))]


#: Flags that leave a fit adequate: its values are determined and its misfit is at
#: the noise; a strong correlation says two values trade off, not that the data
#: miss them.
_ADMISSIBLE = frozenset({"correlated"})
#: A relative misfit below this is arithmetic, not measurement: fits that reach it
#: describe the data equally well, whichever is lower.
_ARITHMETIC = 1e-10


def _misfit_limit(result: FitResult) -> float:
    """How far above the noise a right circuit's scaled misfit may lie (the misfit flag's rule)."""
    return _core._misfit_limit(result.n_points)[0]  # type: ignore[attr-defined]


def _judged_noise(ranked: list[Ranked], noise: float | None) -> tuple[float | None, bool]:
    """(the noise level the choice is judged against, whether a fit set it): the
    data's estimate, or lower where a fit with determined values reaches clearly
    below it. On exact data the estimate is the Kramers-Kronig fit's own model
    error, far above what the right circuit reaches, and every circuit within it
    would pass."""
    reached = [_scaled_misfit(row.result) * _misfit_limit(row.result) for row in ranked
               if row.result is not None and row.verdict in ("clean", "suspect")]  # values determined
    reached = [max(value, _ARITHMETIC) for value in reached if math.isfinite(value)]
    if reached and (noise is None or min(reached) < noise):
        return min(reached), True
    return noise, False


def _at_noise(result: FitResult, noise: tuple[float | None, bool]) -> bool:
    """A misfit at the noise level: within the misfit flag's limit of the judged noise,
    or below the flag's floor unless a fit set the noise (the floor allows for what
    real cells add beyond white noise; on exact data it would pass circuits short of
    the truth)."""
    level, reached = noise
    if level is None:
        return False
    if _scaled_misfit(result) <= level * _misfit_limit(result):
        return True
    return not reached and relative_misfit(result) <= _core._misfit_limit(1)[1]  # type: ignore[attr-defined]


def _adequate(row: Ranked, noise: tuple[float | None, bool]) -> bool:
    """Values determined and a misfit at the noise level."""
    if row.result is None or any(flag.code not in _ADMISSIBLE for flag in row.flags):
        return False
    return row.verdict == "clean" if noise[0] is None else _at_noise(row.result, noise)


def _simplest_adequate(ranked: list[Ranked], criterion: str, noise: float | None) -> Ranked | None:
    """select's choice among `ranked` (best first): of the adequate candidates (values
    determined, misfit at the noise level judged by :func:`_judged_noise`) within
    EQUIVALENT of the best adequate criterion, the one with the fewest free parameters.
    A circuit reduced from a candidate stands in for the one that ran an element off:
    where a candidate as given is adequate, a reduced one is weighed against it only
    when its criterion is lower by more than COMMON_PRIOR."""
    judged = _judged_noise(ranked, noise)
    adequate = [row for row in ranked if _adequate(row, judged)]
    given = [row for row in adequate if row.reduced_from is None]
    if given:
        bar = _criterion_value(given[0].result, criterion) - COMMON_PRIOR  # type: ignore[arg-type]
        adequate = [row for row in adequate if row.reduced_from is None or row.n_free > given[0].n_free
                    or _criterion_value(row.result, criterion) < bar]  # type: ignore[arg-type]
    if not adequate:
        return None
    limit = _criterion_value(adequate[0].result, criterion) + EQUIVALENT  # type: ignore[arg-type]
    # Fits at the arithmetic's resolution are equally good whatever the criterion says.
    near = [row for row in adequate if _criterion_value(row.result, criterion) <= limit  # type: ignore[arg-type]
            or _scaled_misfit(row.result) <= _ARITHMETIC]  # type: ignore[arg-type]
    fewest = min(row.n_free for row in near)
    return next(row for row in near if row.n_free == fewest)


#: A circuit beyond the trained topologies displaces a trained one with no more free
#: parameters and as good a verdict only when its criterion is lower by more than this
#: ("very strong" evidence on the Kass-Raftery scale for BIC): the trained topologies
#: are the circuits cells usually have, and a proposed one (a Warburg in series where
#: the trained one has it in the branch) can mimic them on a given spectrum.
COMMON_PRIOR = 10.0


_TRAINED: list[frozenset[str]] = []  # the notations of the trained topologies, built on first use


def _trained_notations() -> frozenset[str]:
    """The notations of the trained topologies."""
    if not _TRAINED:
        _TRAINED.append(frozenset(kelvara.Circuit(name).notation for name in kelvara.Circuit.ml_circuits()))
    return _TRAINED[0]


def _is_common(row: Ranked, ranked: list[Ranked], common: frozenset[str]) -> bool:
    """Whether `row` is a trained topology, or one with an element it ran off removed
    (that stands in for it, and is no proposal of its own)."""
    source = next((other for other in ranked if other.circuit == row.reduced_from), None)
    return row.notation in common or (source is not None and source.notation in common)


def _prefer_common(choice: Ranked | None, ranked: list[Ranked], criterion: str) -> Ranked | None:
    common = _trained_notations()
    if choice is None or choice.result is None or _is_common(choice, ranked, common):
        return choice
    order = VERDICTS.index(choice.verdict)
    limit = _criterion_value(choice.result, criterion) + COMMON_PRIOR
    rivals = [row for row in ranked if row.result is not None and row.notation in common
              and row.n_free <= choice.n_free and VERDICTS.index(row.verdict) <= order
              and _criterion_value(row.result, criterion) <= limit]
    return rivals[0] if rivals else choice


def _candidates(given: Sequence[Any], thorough: bool) -> list[_Candidate]:
    if isinstance(given, (str, kelvara.Circuit)):
        raise TypeError("candidates must be a list of notations, model names or Circuit objects, "
                        f"not a single {type(given).__name__}")
    out = []
    for c in given:
        if isinstance(c, str):
            out.append(_Candidate(c, kelvara.Circuit(c), thorough))
        elif isinstance(c, kelvara.Circuit):
            out.append(_Candidate(c.notation, c, thorough))
        else:
            raise TypeError(f"a candidate must be a notation, a model name or a Circuit, not {type(c).__name__}")
    if not out:
        raise ValueError("give at least one candidate circuit")
    return out


def _run(data: Any, candidates: list[_Candidate], criterion: str, noise: float | None,
         max_iterations: int | None, fit_kwargs: dict, early_stop: bool = False,
         reduce: bool = False) -> tuple[list[Ranked], float | None, list[str]]:
    """(ranking, noise, the candidates not fitted). With `early_stop` the candidates are
    fitted in stages of rising complexity, and once select's choice among those
    fitted is clean and fits to the noise level (STOP_MISFIT) the rest are left out.
    With `reduce`, a candidate whose fit ran an element off is joined by the circuit
    without it (fitted in the next stage)."""
    if criterion not in CRITERIA:
        raise ValueError(f"criterion must be one of {', '.join(map(repr, CRITERIA))}, got {criterion!r}")
    if noise is None:
        noise = noise_level(data, None)
    candidates = list(candidates)
    known = {c.circuit.notation: math.inf for c in candidates}  # notation: lowest cost fitted
    stages = _stages(candidates) if early_stop and noise is not None else [list(range(len(candidates)))]
    results: dict[int, Any] = {}
    nested: dict[int, int] = {}
    rows: dict[int, Ranked] = {}
    while stages:
        stage = stages.pop(0)
        _fit_stage(stage, candidates, results, nested, data, fit_kwargs, max_iterations)
        for i in stage:
            rows[i] = _ranked_row(candidates[i], results[i], results.get(nested.get(i, -1)), noise)
            if not isinstance(results[i], BaseException) and math.isfinite(results[i].cost):
                notation = candidates[i].circuit.notation
                known[notation] = min(known.get(notation, math.inf), results[i].cost)
        if reduce:
            smaller = [r for i in _worth_reducing(stage, results, rows, _judged_noise(list(rows.values()), noise))
                       for r in _reductions(candidates[i], results[i], known)]
            if smaller:
                first = len(candidates)
                candidates += smaller
                stages.insert(0, list(range(first, len(candidates))))
                continue
        if stages:
            choice = _simplest_adequate(_ordered(rows, criterion), criterion, noise)
            if choice is not None and noise is not None and \
                    _scaled_misfit(choice.result) <= STOP_MISFIT * noise:  # type: ignore[arg-type]
                break
    skipped = [candidates[i].name for i in range(len(candidates)) if i not in rows]
    return _ordered(rows, criterion), noise, skipped


def _scaled_misfit(result: FitResult) -> float:
    """The rms relative misfit with the residual degrees of freedom the fitted parameters
    take out put back (as the misfit flag reads it): sqrt(2N / (2N - k)) times it."""
    residuals = 2 * result.n_points
    return relative_misfit(result) * math.sqrt(residuals / max(residuals - result.n_free, 1))


def _top(ranked: list[Ranked], criterion: str, verdicts: Sequence[str]) -> Ranked | None:
    pool = [row for row in ranked if row.result is not None and row.verdict in verdicts]
    return pool[0] if pool else None


#: The share of the DRT's polarisation resistance in its low-frequency tail (beyond the
#: slowest peak) from which blocking and diffusion elements are proposed.
TAIL_SHARE = 0.05


def _arcs(count: int, element: str, first: int = 1) -> str:
    return "-".join(f"p(R{k},{element}{k})" for k in range(first, first + count))


def proposed_candidates(frequencies: Any, impedances: Any = None) -> list[str]:
    """Circuits beyond the trained topologies that a spectrum's DRT suggests, as notation.

    With n the DRT's peak count (at least one): n and n + 1 R-CPE arcs behind a series
    resistance (with a series inductance when the high-frequency end is inductive);
    where the DRT has a low-frequency tail (``TAIL_SHARE`` of its resistance beyond
    the slowest peak), a blocking CPE behind n - 1 to n + 1 arcs, finite-space and
    semi-infinite Warburg variants and a transmission line; and a lone Gerischer.
    """
    import numpy as np

    f, z = spectrum(frequencies, impedances, check="keep_usable")
    if f.size < 3:
        return []
    order = np.argsort(f)
    f, z = f[order], z[order]
    try:
        with warnings.catch_warnings():  # the DRT's notes are for its own callers
            warnings.simplefilter("ignore")
            result = kelvara.drt(f, z)
    except (ValueError, ArithmeticError):
        result = None
    n = min(max(len(result.peaks) if result else 1, 1), 3)
    head = "L0-R0-" if z[-1].imag > 0 else "R0-"
    # a low-frequency tail: gamma holds a share of the resistance beyond the slowest peak
    tail = result is not None and result.tail_above > TAIL_SHARE * result.polarisation_resistance
    out = []
    for k in (n, n + 1):
        out.append(head + _arcs(k, "CPE"))
    if tail:
        # the slowest maximum may be the tail's own edge rather than an arc
        for k in sorted({max(n - 1, 1), n, n + 1}):
            out.append(head + _arcs(k, "CPE") + f"-CPE{k + 1}")
        out += [head + "p(R1-Wo1,CPE1)", head + _arcs(n, "CPE") + f"-Wo{n + 1}",
                head + _arcs(n, "CPE") + f"-W{n + 1}", head + "TLMQ1"]
    # A Gerischer alone: beside arcs it mimics a small extra arc with fewer parameters.
    out.append(head + "G1")
    seen: set[str] = set()
    return [c for c in out if not (c in seen or seen.add(c))]  # type: ignore[func-returns-value]


def _default_candidates(f: Any, z: Any) -> list[_Candidate]:
    trained = [_Candidate(name, kelvara.Circuit(name), False) for name in kelvara.Circuit.ml_circuits()]
    extra = [_Candidate(c, kelvara.Circuit(c), False) for c in proposed_candidates(f, z)]
    return trained + [c for c in extra if c.circuit.notation not in _trained_notations()]


def compare(
    frequencies: Any,
    impedances: Any = None,
    *,
    candidates: Sequence[str | Circuit],
    criterion: str = "aicc",
    noise: float | None = None,
    max_iterations: int | None = None,
    **fit_kwargs: Any,
) -> Comparison:
    """Fit every candidate circuit to one spectrum and rank them.

    Parameters
    ----------
    frequencies, impedances
        The spectrum, as for ``Circuit.fit``; or a ``kelvara.io.Spectrum`` or a
        battery-data-format dataframe alone. A point whose frequency is not
        finite and positive or whose impedance is not finite is refused
        (ValueError): no candidate's cost could be finite.
    candidates
        Notations, model names or ``Circuit`` objects (a list, even of one).
        Each is fitted with the starts and patience of ``Circuit.fit`` (and, when
        it has no values of its own, from the data as well), so it never ends
        above what ``Circuit.fit`` reaches from the same start.
    criterion : {"aicc", "aic", "bic"}
        What ranks the candidates.
    noise : float, optional
        The spectrum's noise level (fraction of |Z|) for the flags; by default
        estimated from a Kramers-Kronig fit of the spectrum.
    max_iterations : int, optional
        Evaluation budget of each Levenberg-Marquardt run of a candidate
        (default: that of ``Circuit.fit``).
    **fit_kwargs
        ``weight``, ``method`` and the other settings of ``Circuit.fit``.

    Returns
    -------
    Comparison
        ``ranked`` (best first), ``best`` (the best-ranked clean fit, else the
        best-ranked), ``table()`` and ``to_frame()``.
    """
    data = _core._checked(frequencies, impedances)  # type: ignore[attr-defined]
    chosen = _candidates(candidates, True)
    ranked, noise, _ = _run(data, chosen, criterion, noise, max_iterations, fit_kwargs)
    _refuse_if_none_fitted("compare", ranked)
    best = _top(ranked, criterion, ("clean",)) or _top(ranked, criterion, ("clean", "suspect", "unreliable"))
    return Comparison(ranked, criterion, noise, best)


def _refuse_if_none_fitted(caller: str, ranked: list[Ranked]) -> None:
    """A ranking of failures only is an error: the first failures say why."""
    if ranked and all(row.result is None for row in ranked):
        reasons = list(dict.fromkeys(row.error for row in ranked if row.error))
        raise ValueError(f"{caller}: none of the {len(ranked)} candidates could be fitted: {'; '.join(reasons[:3])}")


def select(
    frequencies: Any,
    impedances: Any = None,
    *,
    candidates: Sequence[str | Circuit] | None = None,
    criterion: str = "bic",
    noise: float | None = None,
    max_iterations: int | None = None,
    early_stop: bool | None = None,
    **fit_kwargs: Any,
) -> Comparison:
    """Pick the simplest adequate circuit for one spectrum.

    Fits the candidates as :func:`compare` does. By default they are the
    trained topologies (``Circuit.ml_circuits()``) and the circuits the spectrum's
    DRT proposes (:func:`proposed_candidates`), each started from the data and from
    its network's guess where it has one, with the two cheapest starts and a budget
    of ``SELECT_MAX_ITERATIONS`` evaluations per run; candidates of your own get the
    starts and patience of ``Circuit.fit``. A candidate whose fit runs an element off
    to zero or infinity is joined by the circuit with that element shorted or opened,
    and one whose CPE exponent reaches 0 or 1, or lies within a standard error of the
    nearer end, by the circuit with that CPE a resistor or a capacitor.

    Adequate means: no flag but ``correlated`` (every parameter determined and off
    its bounds, no structure in the residuals), and a misfit at the noise level.
    The noise level is the data's estimate, or lower where a candidate with
    determined values fits clearly below it (on exact data the estimate is the
    Kramers-Kronig fit's own model error, which circuits short of the truth also
    reach); as for the misfit flag, a misfit below 0.2 % passes unless a fit set the
    noise level. Among the adequate candidates within ``EQUIVALENT`` (2) of the best
    criterion, or at the arithmetic's resolution, the one with the fewest free
    parameters is chosen (the best criterion among those). Without an adequate
    candidate the best-ranked one whose values are determined ("clean" or
    "suspect") is chosen, else the best-ranked. The
    result's ``best`` is the chosen ``FitResult``; when no candidate can be fitted
    at all, ``ValueError`` says why they failed.

    The criterion is BIC by default: its penalty of ln(2N) per parameter keeps
    noise from buying an extra element, where AIC and AICc (2 per parameter) take
    a needless one on several percent of spectra.

    ``early_stop`` (default: on for the default candidates, off for a list of your
    own) fits the candidates in stages of rising free-parameter count and stops
    once the choice among those fitted is clean and its rms misfit is within
    ``STOP_MISFIT`` of the noise; the candidates left out are listed in
    ``skipped``. A more complex candidate could then still displace the choice only
    by lowering chi-square below the noise level by more than the criterion's
    penalty for its extra parameters, which noise alone does on well under 1 % of
    spectra.
    """
    # checked once here: the noise estimate and every stage's fits read the checked points
    data = _core._checked(frequencies, impedances)  # type: ignore[attr-defined]
    default = candidates is None
    if candidates is None:
        chosen = _default_candidates(data.frequencies, data.impedances)
    else:
        chosen = _candidates(candidates, True)
    if early_stop is None:
        early_stop = default
    ranked, noise, skipped = _run(data, chosen, criterion, noise, max_iterations, fit_kwargs,
                                  early_stop, reduce=True)
    _refuse_if_none_fitted("select", ranked)
    best = _simplest_adequate(ranked, criterion, noise)
    if best is None:  # the best criterion among the determined fits, else the best
        best = _top(ranked, criterion, ("clean", "suspect")) or \
            _top(ranked, criterion, ("suspect", "unreliable", "failed"))
    if default:
        best = _prefer_common(best, ranked, criterion)
    return Comparison(ranked, criterion, noise, best, skipped)
