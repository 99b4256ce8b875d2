"""The battery-data-format column names and the checks of a spectrum given as two
arrays, shared by the readers, the plots, the batch fits and Dask so that each
fault reads the same wherever it is found (and as the fit's own checks read)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # numpy is imported when used: importing kelvara stays light
    import numpy as np

FREQUENCY = "Frequency / Hz"
REAL = "Real Impedance / ohm"
IMAGINARY = "Imaginary Impedance / ohm"
COLUMNS = (FREQUENCY, REAL, IMAGINARY)
# The snake-case spellings of the same columns, as some tools write them.
SNAKE_CASE = {FREQUENCY: "frequency_hertz", REAL: "real_impedance_ohm", IMAGINARY: "imaginary_impedance_ohm"}


def frame_column(frame: Any, name: str) -> np.ndarray:
    """Column `name` (or its snake-case spelling) of a dataframe, as float64."""
    import numpy as np

    for candidate in (name, SNAKE_CASE[name]):
        if candidate in frame.columns:
            return np.asarray(frame[candidate].to_numpy(), dtype=np.float64)
    raise ValueError(f"expected a {name!r} or {SNAKE_CASE[name]!r} column")


def frame_spectrum(frame: Any) -> tuple[np.ndarray, np.ndarray]:
    """Frequencies and complex impedances from the battery-data-format columns."""
    f = frame_column(frame, FREQUENCY)
    return f, frame_column(frame, REAL) + 1j * frame_column(frame, IMAGINARY)


def check_spectrum(frequencies: Any, impedances: Any, *, min_points: int = 1,
                   finite: bool = True) -> tuple[np.ndarray, np.ndarray]:
    """New float64 and complex128 arrays of one spectrum, or ValueError.

    Both must be one-dimensional, of the same length and hold at least
    `min_points` points; with `finite`, frequencies must be finite and positive
    and impedances finite, the first bad point named.
    """
    import numpy as np

    try:
        f = np.array(frequencies, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("frequencies must be real numbers") from None
    try:
        z = np.array(impedances, dtype=np.complex128)
    except (TypeError, ValueError):
        raise ValueError("impedances must be complex numbers") from None
    for name, values in (("frequencies", f), ("impedances", z)):
        if values.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {values.shape}")
    if f.size != z.size:
        raise ValueError(f"frequencies and impedances differ in length ({f.size} and {z.size})")
    if f.size < min_points:
        raise ValueError(f"need at least {min_points} point{'s' if min_points != 1 else ''}, got {f.size}")
    if finite:
        bad = np.flatnonzero(~(np.isfinite(f) & (f > 0.0)))
        if bad.size:
            i = int(bad[0])
            raise ValueError(f"frequencies must be finite and positive, but point {i} has frequency {float(f[i])!r}")
        bad = np.flatnonzero(~np.isfinite(z))
        if bad.size:
            i = int(bad[0])
            raise ValueError(f"impedances must be finite, but point {i} has impedance {complex(z[i])!r}")
    return f, z
