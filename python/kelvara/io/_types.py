"""The reader's public records: a spectrum read from a file and the read error."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np

from kelvara._measured import COLUMNS, spectrum


class ReadError(ValueError):
    """A file that is not a well-formed file of the expected format.

    The message reads ``"<path>, line <n>: expected ..., found ..."``; the path
    and the 1-based line number are also kept as attributes. Faults of the whole
    file (not a regular file, too large, binary) have ``line`` None and read
    ``"<path>: ..."``.
    """

    def __init__(self, path: str, line: int | None, detail: str) -> None:
        super().__init__(f"{path}: {detail}" if line is None else f"{path}, line {line}: {detail}")
        self.path = path
        self.line = line
        self.detail = detail

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.path, self.line, self.detail))


_GETTERS = {
    "frequency": lambda s: s.frequencies,
    "real": lambda s: s.impedances.real,
    "imaginary": lambda s: s.impedances.imag,
}
_COLUMNS = {name: _GETTERS[role] for role, names in COLUMNS.items() if role in _GETTERS for name in names}


@dataclass(frozen=True, eq=False, repr=False)
class Spectrum:
    """One impedance sweep read from a file.

    Attributes
    ----------
    frequencies : numpy.ndarray
        Frequencies in Hz (float64, read-only).
    impedances : numpy.ndarray
        Complex impedances in ohm (complex128, read-only); capacitive arcs have
        negative imaginary parts.
    instrument : str
        The instrument software the file came from, e.g. ``"Gamry"`` or ``"CSV"``.
    columns : tuple of str
        The source column names used: frequency, then real and imaginary part
        (or modulus and phase).
    path : str
        The file, as given to :func:`read` or :func:`read_all`.
    sweep : int
        0-based index of this sweep within the file.
    line : int
        1-based line of the first data row of the sweep.

    Iterating gives ``frequencies`` then ``impedances``, so ``f, z = spectrum``
    and ``circuit.fit(*spectrum)`` work; ``len(spectrum)`` is the number of points.

    A spectrum also stands for a dataframe with battery-data-format columns:
    ``spectrum["Frequency / Hz"]``, ``spectrum["real_impedance_ohm"]`` and so on
    give the columns, so ``circuit.fit(spectrum)``, ``kramers_kronig(spectrum)``
    and the plots take it whole. Any other index (a slice, a boolean mask, an
    array of positions) selects points: ``spectrum[::2]``, ``spectrum[f > 1]``.
    :meth:`crop` keeps a frequency range.
    """

    frequencies: np.ndarray
    impedances: np.ndarray
    instrument: str
    columns: tuple[str, ...]
    path: str
    sweep: int = 0
    line: int = 1

    def __post_init__(self) -> None:
        f, z = spectrum(self.frequencies, self.impedances)
        f.setflags(write=False)
        z.setflags(write=False)
        object.__setattr__(self, "frequencies", f)
        object.__setattr__(self, "impedances", z)
        object.__setattr__(self, "columns", tuple(self.columns))

    def __iter__(self) -> Iterator[np.ndarray]:
        yield self.frequencies
        yield self.impedances

    def __len__(self) -> int:
        return len(self.frequencies)

    def __getitem__(self, key: Any) -> Any:
        if isinstance(key, str):
            column = _COLUMNS.get(key)
            if column is None:
                raise KeyError(key)
            return column(self)
        if isinstance(key, (int, np.integer)):
            raise TypeError("a spectrum index selects points: use a slice, a mask or an array of positions")
        return self._with(self.frequencies[key], self.impedances[key])

    def crop(self, fmin: float | None = None, fmax: float | None = None, *,
             drop_inductive: bool = False) -> "Spectrum":
        """The points with ``fmin <= f <= fmax`` (either bound may be None), in their
        order. ``drop_inductive`` also drops the inductive points (positive imaginary
        part) at the high-frequency end: the cable and lead inductance above the
        first capacitive point, which no electrochemical circuit models without an
        inductor."""
        f, z = self.frequencies, self.impedances
        keep = np.ones(f.size, dtype=bool)
        if fmin is not None:
            keep &= f >= float(fmin)
        if fmax is not None:
            keep &= f <= float(fmax)
        if drop_inductive and f.size:
            order = np.argsort(-f, kind="stable")
            capacitive = np.flatnonzero(z.imag[order] <= 0.0)
            tail = order[: capacitive[0] if capacitive.size else f.size]
            keep[tail] = False
        return self._with(f[keep], z[keep])

    def _with(self, f: np.ndarray, z: np.ndarray) -> "Spectrum":
        return Spectrum(f, z, self.instrument, self.columns, self.path, self.sweep, self.line)

    def __repr__(self) -> str:
        f = self.frequencies
        span = f" from {f[0]:g} to {f[-1]:g} Hz" if len(f) else ""
        return (
            f"Spectrum({self.instrument}, {len(f)} points{span}, sweep {self.sweep} "
            f"of {self.path!r} at line {self.line}, columns {self.columns!r})"
        )
