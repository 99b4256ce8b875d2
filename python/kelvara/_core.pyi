"""Type stubs for the kelvara extension module."""

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, ClassVar, SupportsFloat, SupportsIndex, final

import numpy as np
from typing_extensions import disjoint_base
import numpy.typing as npt

_Float = SupportsFloat | SupportsIndex

__all__ = [
    "Element",
    "Circuit",
    "FitResult",
    "Series",
    "Parallel",
    "R",
    "C",
    "L",
    "La",
    "Cpe",
    "W",
    "Wo",
    "Ws",
    "G",
    "Gs",
    "K",
    "Zarc",
    "Tlmq",
    "T",
    "H",
]

class PanicException(BaseException): ...

@disjoint_base
class Element:
    R: ClassVar[type[R]]
    C: ClassVar[type[C]]
    L: ClassVar[type[L]]
    La: ClassVar[type[La]]
    Cpe: ClassVar[type[Cpe]]
    W: ClassVar[type[W]]
    Wo: ClassVar[type[Wo]]
    Ws: ClassVar[type[Ws]]
    G: ClassVar[type[G]]
    Gs: ClassVar[type[Gs]]
    K: ClassVar[type[K]]
    Zarc: ClassVar[type[Zarc]]
    Tlmq: ClassVar[type[Tlmq]]
    T: ClassVar[type[T]]
    H: ClassVar[type[H]]

@final
class R(Element):
    __match_args__: ClassVar[tuple[str]] = ("r",)
    def __new__(cls, r: _Float) -> R: ...
    @property
    def r(self) -> float: ...

@final
class C(Element):
    __match_args__: ClassVar[tuple[str]] = ("c",)
    def __new__(cls, c: _Float) -> C: ...
    @property
    def c(self) -> float: ...

@final
class L(Element):
    __match_args__: ClassVar[tuple[str]] = ("l",)
    def __new__(cls, l: _Float) -> L: ...
    @property
    def l(self) -> float: ...

@final
class La(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("l", "alpha")
    def __new__(cls, l: _Float, alpha: _Float) -> La: ...
    @property
    def l(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class Cpe(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("q", "alpha")
    def __new__(cls, q: _Float, alpha: _Float) -> Cpe: ...
    @property
    def q(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class W(Element):
    __match_args__: ClassVar[tuple[str]] = ("aw",)
    def __new__(cls, aw: _Float) -> W: ...
    @property
    def aw(self) -> float: ...

@final
class Wo(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("z0", "tau")
    def __new__(cls, z0: _Float, tau: _Float) -> Wo: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class Ws(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("z0", "tau")
    def __new__(cls, z0: _Float, tau: _Float) -> Ws: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class G(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("rg", "tg")
    def __new__(cls, rg: _Float, tg: _Float) -> G: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...

@final
class Gs(Element):
    __match_args__: ClassVar[tuple[str, str, str]] = ("rg", "tg", "phi")
    def __new__(cls, rg: _Float, tg: _Float, phi: _Float) -> Gs: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...
    @property
    def phi(self) -> float: ...

@final
class K(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("r", "tau_k")
    def __new__(cls, r: _Float, tau_k: _Float) -> K: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...

@final
class Zarc(Element):
    __match_args__: ClassVar[tuple[str, str, str]] = ("r", "tau_k", "gamma")
    def __new__(cls, r: _Float, tau_k: _Float, gamma: _Float) -> Zarc: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class Tlmq(Element):
    __match_args__: ClassVar[tuple[str, str, str]] = ("r_ion", "qs", "gamma")
    def __new__(cls, r_ion: _Float, qs: _Float, gamma: _Float) -> Tlmq: ...
    @property
    def r_ion(self) -> float: ...
    @property
    def qs(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class T(Element):
    __match_args__: ClassVar[tuple[str, str, str, str]] = ("a", "b", "k_tau", "tau")
    def __new__(cls, a: _Float, b: _Float, k_tau: _Float, tau: _Float) -> T: ...
    @property
    def a(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def k_tau(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class H(Element):
    __match_args__: ClassVar[tuple[str, str, str, str]] = ("r", "tau", "alpha", "beta")
    def __new__(cls, r: _Float, tau: _Float, alpha: _Float, beta: _Float) -> H: ...
    @property
    def r(self) -> float: ...
    @property
    def tau(self) -> float: ...
    @property
    def alpha(self) -> float: ...
    @property
    def beta(self) -> float: ...


@final
class Circuit:
    def __new__(cls, s: str) -> Circuit: ...
    @staticmethod
    def ml_circuits() -> list[str]: ...
    @property
    def notation(self) -> str:
        """The topology as notation text, e.g. "R0-p(R1,C1)"; it parses back to
        the same circuit (labels used twice by joined circuits are renumbered)."""
    def param_names(self) -> list[str]: ...
    def param_units(self) -> list[str]: ...
    def param_bounds(self) -> list[tuple[float, float]]:
        """The `(lo, hi)` bounds in force per parameter: the catalogue's, or
        those given with `with_bounds`."""
    def param_values(self) -> list[float]: ...
    def with_values(self, values: Sequence[_Float]) -> Circuit: ...
    def with_named_values(self, values: Mapping[str, _Float]) -> Circuit: ...
    @property
    def fixed(self) -> list[str]:
        """Names of the parameters held at their values by every fit."""
    def with_fixed(self, values: Mapping[str, _Float] | Iterable[str]) -> Circuit:
        """This circuit with parameters held by every fit (every method,
        `fit_many`, `fit_series`, the Dask functions): a mapping holds them at
        the given values, an iterable of names at their current values.
        Unknown names raise ValueError with a suggestion. A fit's start for
        the free parameters may still be guessed; the held values replace
        the guessed ones. Held values must lie inside their bounds when fitted."""
    def with_free(self, names: Iterable[str]) -> Circuit:
        """This circuit with the named parameters no longer held."""
    def with_bounds(self, bounds: Mapping[str, tuple[_Float | None, _Float | None] | None]) -> Circuit:
        """This circuit with its own `(lo, hi)` bounds for the named
        parameters (None for a side keeps the catalogue's, None for the pair
        restores both). ValueError, naming the parameter, for lo not below
        hi, NaN, or lo <= 0 with hi infinite: a parameter without a finite
        upper bound is searched as log10(value - lo), and one with a finite
        upper bound linearly. A start outside the bounds is treated as one
        outside the catalogue's; guesses are clamped into them."""
    def impedance(self, frequencies: Sequence[_Float] | npt.ArrayLike | Any) -> npt.NDArray[np.complex128]: ...
    def residuals(
        self,
        params: Sequence[_Float] | npt.ArrayLike,
        frequencies: Sequence[_Float] | npt.ArrayLike | Any,
        impedances: Sequence[complex | _Float] | npt.ArrayLike | None = None,
        weight: str = "modulus",
    ) -> list[float]: ...
    def jacobian(
        self,
        params: Sequence[_Float] | npt.ArrayLike,
        frequencies: Sequence[_Float] | npt.ArrayLike | Any,
        impedances: Sequence[complex | _Float] | npt.ArrayLike | None = None,
        weight: str = "modulus",
    ) -> list[list[float]]: ...
    def with_data_start(
        self,
        frequencies: Sequence[_Float] | npt.ArrayLike | Any,
        impedances: Sequence[complex | _Float] | npt.ArrayLike | None = None,
    ) -> Circuit: ...
    def guess(
        self,
        frequencies: Sequence[_Float] | npt.ArrayLike | Any,
        impedances: Sequence[complex | _Float] | npt.ArrayLike | None = None,
        weights: str | None = None,
    ) -> list[float]: ...
    def _fit_many(
        self, frequencies: list[Any], impedances: list[Any], progress: Any = None, **kwargs: Any
    ) -> list[Any]: ...
    def fit(
        self,
        frequencies: Sequence[_Float] | npt.ArrayLike | Any,
        impedances: Sequence[complex | _Float] | npt.ArrayLike | None = None,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: str = "modulus",
        method: str = "levenberg_marquardt",
        max_iterations: SupportsIndex = 200,
        ftol: _Float = 1e-8,
        xtol: _Float = 1e-8,
        num_particles: SupportsIndex = 200,
        generations: SupportsIndex = 1000,
        nelder_mead_iterations: SupportsIndex = 2000,
        de_evaluations: SupportsIndex = 20000,
        sa_iterations: SupportsIndex = 5000,
        sa_initial_temperature: _Float = 2.0,
        basin_hopping_hops: SupportsIndex = 20,
        basin_hopping_step_size: _Float = 1.0,
        basin_hopping_temperature: _Float = 1.0,
        seed: SupportsIndex | None = None,
    ) -> FitResult:
        """Fit the circuit to a measured spectrum; see `FitResult`.

        The start is the circuit's own values, or a network's guess (see
        `guess`). Parameters without an upper bound are searched as
        log10(value - lower bound), so every method refuses, with ValueError
        naming the parameter, its value and its bounds, a start that is NaN,
        or that lies below the lower bound of such a parameter, or is infinite.
        A start exactly on that lower bound (1e-12) would never move: it is
        lifted to lower bound + 10**k, the largest k in -12..12 whose cost,
        with the other parameters at their starts, is within 1e-9 of the
        smallest of those costs. An exponent (alpha, gamma) that starts outside
        [0, 1] is moved by the fit, and the result clamped into its bounds.
        `FitResult.message` says why the fit stopped.
        """

@final
class FitResult:
    @property
    def circuit(self) -> Circuit: ...
    @property
    def params(self) -> dict[str, float]: ...
    @property
    def stderr(self) -> dict[str, float] | None:
        """Standard errors from the free parameters' Jacobian; NaN for a fixed
        parameter (it has none of its own); None when J^T J is singular or
        there are no more residuals than free parameters."""
    @property
    def success(self) -> bool: ...
    @property
    def iterations(self) -> int: ...
    @property
    def impedance_evals(self) -> int: ...
    @property
    def cost(self) -> float: ...
    @property
    def chi_square(self) -> float: ...
    @property
    def message(self) -> str:
        """Why the fit stopped, e.g. "converged: relative reduction of the sum of
        squares below ftol" or "stopped: evaluation budget used up (max_iterations)".
        Global methods name their search first, then the polish."""
    @property
    def n_points(self) -> int:
        """Frequencies fitted (0 for a result pickled by an earlier version)."""
    @property
    def n_free(self) -> int:
        """Free (not fixed) parameters."""
    @property
    def reduced_chi_square(self) -> float:
        """chi_square / (2 n_points - n_free)."""
    @property
    def misfit(self) -> float:
        """The rms of the weighted residuals, sqrt(chi_square / (2 n_points))."""
    @property
    def aic(self) -> float:
        """n ln(chi_square / n) + 2k, n = 2 n_points residuals, k = n_free."""
    @property
    def aicc(self) -> float:
        """aic + 2k(k + 1) / (n - k - 1)."""
    @property
    def bic(self) -> float:
        """n ln(chi_square / n) + k ln n."""
    @property
    def covariance(self) -> dict[str, dict[str, float]] | None:
        """s^2 (J^T J)^-1 over the free parameters, {name: {name: value}};
        None where the standard errors are missing."""
    @property
    def correlation(self) -> dict[str, dict[str, float]] | None:
        """The covariance scaled to correlations, as `covariance`."""
    @property
    def flags(self) -> list[Any]:
        """What is wrong with the fit: kelvara.diagnostics.Flag (code, text)
        items, empty for a clean fit; worked out on first use."""
    @property
    def verdict(self) -> str:
        """"clean", "suspect", "unreliable" or "failed" (kelvara.diagnostics)."""
    def table(self) -> str:
        """Parameters as a text table: name, value, unit, standard error and
        relative error in percent ("-" where the standard error is missing,
        "fixed" for a held parameter); under it the statistics, the verdict
        and the flags."""
    def to_dict(self) -> dict[str, Any]:
        """A JSON-serialisable summary: "circuit" (notation), "params", "stderr",
        "units", "fixed" (the held parameters' names), "chi_square", "cost",
        "success", "message", "iterations", "impedance_evals", the statistics
        ("n_points", "n_free", "reduced_chi_square", "misfit", "aic", "aicc",
        "bic", "covariance", "correlation"), "flags" (a list of {"code",
        "text"}) and "verdict"."""
    def _set_flags(self, flags: list[Any], /) -> None: ...
    def _fitted_data(self) -> tuple[list[float], list[complex], list[float]] | None: ...
    def _diagnose(self, noise: float | None = None) -> list[Any]: ...
    def _relative_misfit(self) -> float: ...

def Series(parts: Sequence[Element | Circuit]) -> Circuit: ...
def Parallel(parts: Sequence[Element | Circuit]) -> Circuit: ...

# The DRT behind kelvara.drt and kelvara.drt_many: records that kelvara.drt.DrtResult wraps.
def _drt(
    frequencies: Any,
    impedances: Any = None,
    lambda_value: float | None = None,
    inductance: bool = True,
    derivative: int = 2,
    points_per_decade: float | None = None,
    margin: float = 0.5,
    peak_threshold: float = 0.1,
    fit_peaks: bool = True,
) -> dict[str, Any]: ...
def _drt_many(
    frequencies: list[Any],
    impedances: list[Any],
    lambda_value: float | None = None,
    inductance: bool = True,
    derivative: int = 2,
    points_per_decade: float | None = None,
    margin: float = 0.5,
    peak_threshold: float = 0.1,
    fit_peaks: bool = True,
    progress: Any = None,
) -> list[dict[str, Any] | Exception]: ...
def _noise_level(frequencies: Any, impedances: Any) -> float | None: ...

# The joint fit behind kelvara.fit_series(shared=...): (results, success, message, cost).
def _joint_fit(
    circuit: Circuit,
    frequencies: list[Any],
    impedances: list[Any],
    starts: list[list[float]],
    shared: list[str],
    weight: str,
    evaluations: int,
) -> tuple[list[FitResult], bool, str, float]: ...

# Circuit.fit's reading of a measured spectrum, for kelvara._measured: new float64 and complex128 arrays
# (and, with `rows`, the dataframe rows kept, None for two sequences).
def _spectrum(
    frequencies: Any,
    impedances: Any = None,
    check: str = "",
    min_points: int = 0,
    rows: bool = False,
) -> Any: ...

# The battery-data-format column names by role ("frequency", "real", "imaginary", "absolute", "phase").
_COLUMNS: dict[str, tuple[str, str]]

def _kramers_kronig(
    frequencies: Any,
    impedances: Any,
    rule: str | None,
    c: float,
    max_elements: int,
    inductance: bool,
    capacitance: bool | None,
    extend_decades: float,
) -> dict[str, Any]: ...
def _elements() -> tuple[dict[str, Any], ...]: ...
def _param_elements(circuit: Circuit, /) -> list[tuple[str, int]]: ...
def _fit_methods() -> list[str]: ...

# Cancelling this thread's long calls from another thread: while `event` is pushed, setting it
# ends the running call with KeyboardInterrupt("cancelled").
def _push_cancel(event: Any, /) -> None: ...
def _pop_cancel() -> None: ...
