"""Type stubs for the kelvara extension module."""

from collections.abc import Mapping, Sequence
from typing import Any, ClassVar, SupportsFloat, SupportsIndex, final

import numpy as np
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
]

class PanicException(BaseException): ...

class Element:
    R: ClassVar[type[Element_R]]
    C: ClassVar[type[Element_C]]
    L: ClassVar[type[Element_L]]
    La: ClassVar[type[Element_La]]
    Cpe: ClassVar[type[Element_Cpe]]
    W: ClassVar[type[Element_W]]
    Wo: ClassVar[type[Element_Wo]]
    Ws: ClassVar[type[Element_Ws]]
    G: ClassVar[type[Element_G]]
    Gs: ClassVar[type[Element_Gs]]
    K: ClassVar[type[Element_K]]
    Zarc: ClassVar[type[Element_Zarc]]
    Tlmq: ClassVar[type[Element_Tlmq]]
    T: ClassVar[type[Element_T]]

@final
class Element_R(Element):
    __match_args__: ClassVar[tuple[str]] = ("r",)
    def __new__(cls, r: _Float) -> Element_R: ...
    @property
    def r(self) -> float: ...

@final
class Element_C(Element):
    __match_args__: ClassVar[tuple[str]] = ("c",)
    def __new__(cls, c: _Float) -> Element_C: ...
    @property
    def c(self) -> float: ...

@final
class Element_L(Element):
    __match_args__: ClassVar[tuple[str]] = ("l",)
    def __new__(cls, l: _Float) -> Element_L: ...
    @property
    def l(self) -> float: ...

@final
class Element_La(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("l", "alpha")
    def __new__(cls, l: _Float, alpha: _Float) -> Element_La: ...
    @property
    def l(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class Element_Cpe(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("q", "alpha")
    def __new__(cls, q: _Float, alpha: _Float) -> Element_Cpe: ...
    @property
    def q(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class Element_W(Element):
    __match_args__: ClassVar[tuple[str]] = ("aw",)
    def __new__(cls, aw: _Float) -> Element_W: ...
    @property
    def aw(self) -> float: ...

@final
class Element_Wo(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("z0", "tau")
    def __new__(cls, z0: _Float, tau: _Float) -> Element_Wo: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class Element_Ws(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("z0", "tau")
    def __new__(cls, z0: _Float, tau: _Float) -> Element_Ws: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class Element_G(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("rg", "tg")
    def __new__(cls, rg: _Float, tg: _Float) -> Element_G: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...

@final
class Element_Gs(Element):
    __match_args__: ClassVar[tuple[str, str, str]] = ("rg", "tg", "phi")
    def __new__(cls, rg: _Float, tg: _Float, phi: _Float) -> Element_Gs: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...
    @property
    def phi(self) -> float: ...

@final
class Element_K(Element):
    __match_args__: ClassVar[tuple[str, str]] = ("r", "tau_k")
    def __new__(cls, r: _Float, tau_k: _Float) -> Element_K: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...

@final
class Element_Zarc(Element):
    __match_args__: ClassVar[tuple[str, str, str]] = ("r", "tau_k", "gamma")
    def __new__(cls, r: _Float, tau_k: _Float, gamma: _Float) -> Element_Zarc: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class Element_Tlmq(Element):
    __match_args__: ClassVar[tuple[str, str, str]] = ("r_ion", "qs", "gamma")
    def __new__(cls, r_ion: _Float, qs: _Float, gamma: _Float) -> Element_Tlmq: ...
    @property
    def r_ion(self) -> float: ...
    @property
    def qs(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class Element_T(Element):
    __match_args__: ClassVar[tuple[str, str, str, str]] = ("a", "b", "k_tau", "tau")
    def __new__(cls, a: _Float, b: _Float, k_tau: _Float, tau: _Float) -> Element_T: ...
    @property
    def a(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def k_tau(self) -> float: ...
    @property
    def tau(self) -> float: ...

R = Element_R
C = Element_C
L = Element_L
La = Element_La
Cpe = Element_Cpe
W = Element_W
Wo = Element_Wo
Ws = Element_Ws
G = Element_G
Gs = Element_Gs
K = Element_K
Zarc = Element_Zarc
Tlmq = Element_Tlmq
T = Element_T

@final
class Circuit:
    def __new__(cls, s: str) -> Circuit: ...
    @staticmethod
    def ml_circuits() -> list[str]: ...
    def param_names(self) -> list[str]: ...
    def param_units(self) -> list[str]: ...
    def param_bounds(self) -> list[tuple[float, float]]: ...
    def param_values(self) -> list[float]: ...
    def with_values(self, values: Sequence[_Float]) -> Circuit: ...
    def with_named_values(self, values: Mapping[str, _Float]) -> Circuit: ...
    def impedance(self, frequencies: Sequence[_Float] | npt.ArrayLike | Any) -> npt.NDArray[np.complex128]: ...

@final
class FitResult: ...

def Series(parts: Sequence[Element | Circuit]) -> Circuit: ...
def Parallel(parts: Sequence[Element | Circuit]) -> Circuit: ...
