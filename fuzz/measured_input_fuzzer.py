"""atheris harness for the measured-data arguments of kelvara.Circuit.

The input bytes are decoded with atheris.FuzzedDataProvider into the
objects users pass as spectra: lists and tuples of odd items, NumPy arrays
of every dtype, shape, byte order and stride, array.array and memoryview,
dicts and dataframe-like objects with battery-data-format columns, and
objects whose __float__, __len__ or __getitem__ misbehave. They go to
impedance(), residuals(), jacobian(), guess() and fit().

ValueError, TypeError, OverflowError, the harness's own HarnessError and
(from memoryview) NotImplementedError are the expected ways to refuse an input. Anything else escaping (SystemError,
kelvara.PanicException, a crash, a sanitizer report, a hang) is a finding,
and so is a numeric answer that differs from the one for the same values
given as plain Python floats.

    python fuzz/measured_input_fuzzer.py [libFuzzer flags] [corpus dirs]
    python fuzz/measured_input_fuzzer.py --make-seeds DIR

The kelvara module must be importable; scripts/fuzz.sh builds an
instrumented one and runs this with the sanitizer runtime preloaded.
"""

import array
import decimal
import fractions
import functools
import math
import os
import pathlib
import random
import sys
import warnings

import atheris
import numpy as np

try:
    import pandas as pd
except ImportError:  # the harness runs without pandas, with fewer shapes
    pd = None

import kelvara

warnings.simplefilter("ignore")

HERE = pathlib.Path(__file__).resolve().parent
TOY_WEIGHTS = [HERE / "corpus" / "weights_fuzzer" / name for name in ("randles_toy", "rc_l_toy", "randles_encoding2")]


class HarnessError(Exception):
    """Raised on purpose by the harness's own misbehaving objects."""


# NotImplementedError is what iterating a memoryview of a format it cannot
# unpack raises (NumPy unicode or structured items), before any number is read.
EXPECTED = (ValueError, TypeError, OverflowError, HarnessError, NotImplementedError)

FREQUENCY_NAMES = ("Frequency / Hz", "frequency_hertz")
COLUMN_NAMES = (
    FREQUENCY_NAMES,
    ("Real Impedance / ohm", "real_impedance_ohm"),
    ("Imaginary Impedance / ohm", "imaginary_impedance_ohm"),
    ("Absolute Impedance / ohm", "absolute_impedance_ohm"),
    ("Phase / deg", "phase_degree"),
)

SPECIAL = (0.0, -0.0, 1.0, -1.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, 1e-310, 1.7976931348623157e308,
           1e-12, 1e12, 0.5, 2**53 + 1, -(2**63))

REAL_DTYPES = ("f8", "f4", "f2", "g", ">f8", "<f4", ">f2", "i1", "i2", "i4", "i8", ">i4", "u1", "u2", "u4", "u8",
               ">u8", "?", "O", "c16", "c8", "G", ">c16", "U8", "S8", "M8[s]", "m8[ms]", "V8", "f8,f8", "i8,f4")

CIRCUITS = (
    kelvara.Circuit("randles"),
    kelvara.Circuit("R0-(R1,C1)").with_values([0.1, 2.0, 1e-3]),
    kelvara.Circuit("R0-K1"),
    kelvara.Circuit("L0-R0-(R1,CPE1)-(R2-W2,CPE2)"),
    kelvara.Circuit("R0"),
    kelvara.Circuit("R0-(R1-W1,CPE1)").with_values([0.1, 2.0, 0.5, 1e-4, 0.85]),
)

METHODS = ("levenberg_marquardt", "nelder_mead", "particle_swarm", "differential_evolution", "simulated_annealing",
           "basin_hopping", "no_such_method")


@functools.lru_cache(maxsize=None)
def template(n):
    """A Randles spectrum of n points from 100 kHz down: frequencies and impedances."""
    f = np.logspace(5, -2, n) if n else np.zeros(0)
    w = 2 * np.pi * f
    with np.errstate(all="ignore"):
        z = 0.1 + 2.0 / (1 + 1j * w * 2.0 * 1e-4) + 0.5 * (1 - 1j) / np.sqrt(w)
    return f, z


# Misbehaving items and containers ------------------------------------------------------------------------------


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Complexy:
    def __init__(self, value):
        self.value = value

    def __complex__(self):
        return self.value


class Raising:
    def __float__(self):
        raise HarnessError("__float__")

    def __complex__(self):
        raise HarnessError("__complex__")

    def __index__(self):
        raise HarnessError("__index__")


class Mutating:
    """Empties the list it sits in while being converted."""

    def __init__(self, target, value):
        self.target = target
        self.value = value

    def __float__(self):
        self.target.clear()
        return self.value

    def __complex__(self):
        self.target.clear()
        return complex(self.value)


class WrongFloat:
    def __float__(self):
        return "not a float"


class LyingSequence:
    """A sequence whose length disagrees with its items."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        if isinstance(index, slice):
            return self.items[index]
        if index >= len(self.items):
            raise IndexError(index)
        return self.items[index]


class ArrayLike:
    """Offers __array__ (as pandas and polars columns do) but is no buffer."""

    def __init__(self, array, mode):
        self.array = array
        self.mode = mode

    def __len__(self):
        return len(self.array)

    def __getitem__(self, index):
        return self.array[index]

    def __array__(self, *args, **kwargs):
        if self.mode == 1:
            raise HarnessError("__array__")
        if self.mode == 2:
            return list(self.array)
        return self.array


class Frame:
    """A dataframe-like mapping whose lookups may fail in the ways a missing key does."""

    def __init__(self, columns, failure):
        self.columns = columns
        self.failure = failure

    def __getitem__(self, key):
        if key in self.columns:
            return self.columns[key]
        raise self.failure(key)


# Decoding ------------------------------------------------------------------------------------------------------


def number(fdp):
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 0:
        return SPECIAL[fdp.ConsumeIntInRange(0, len(SPECIAL) - 1)]
    if choice == 1:
        return fdp.ConsumeFloat()
    if choice == 2:
        return float(fdp.ConsumeIntInRange(-10, 10**6))
    return fdp.ConsumeRegularFloat()


def values(fdp, n, base):
    """n floats: the template values, possibly with some replaced."""
    out = [float(v) for v in base[:n]] + [0.0] * max(0, n - len(base))
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        if n:
            out[fdp.ConsumeIntInRange(0, n - 1)] = number(fdp)
    return out


def odd_item(fdp, value, target):
    kind = fdp.ConsumeIntInRange(0, 17)
    if kind == 0:
        return int(value) if math.isfinite(value) else value
    if kind == 1:
        return bool(value)
    if kind == 2:
        return np.float32(value)
    if kind == 3:
        return np.float16(value)
    if kind == 4:
        return np.int64(int(value)) if math.isfinite(value) and abs(value) < 2**62 else np.float64(value)
    if kind == 5:
        return fractions.Fraction(value) if math.isfinite(value) else value
    if kind == 6:
        return decimal.Decimal(value)
    if kind == 7:
        return complex(value, number(fdp))
    if kind == 8:
        return str(value)
    if kind == 9:
        return None
    if kind == 10:
        return Floaty(value)
    if kind == 11:
        return Indexy(int(value) if math.isfinite(value) else fdp.ConsumeInt(9))
    if kind == 12:
        return Complexy(complex(value, number(fdp)))
    if kind == 13:
        return Raising()
    if kind == 14:
        return Mutating(target, value)
    if kind == 15:
        return WrongFloat()
    if kind == 16:
        return np.complex64(value)
    return 2**fdp.ConsumeIntInRange(60, 1100)


def array_of(fdp, data):
    dtype = REAL_DTYPES[fdp.ConsumeIntInRange(0, len(REAL_DTYPES) - 1)]
    try:
        a = np.array(data, dtype=dtype)
    except (ValueError, TypeError, OverflowError):
        a = np.array(data, dtype=object)
    layout = fdp.ConsumeIntInRange(0, 8)
    if layout == 1:
        a = np.repeat(a, 2)[::2]  # strided view
    elif layout == 2:
        a = a[::-1]  # negative stride
    elif layout == 3:
        a = a.reshape(-1, 1)  # two dimensions
    elif layout == 4:
        a = np.stack([a, a], axis=1)[:, 0]  # a column of a C-ordered matrix
    elif layout == 5 and a.dtype != object:
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)[1:]  # misaligned
        raw[:] = a.view(np.uint8).reshape(-1) if a.nbytes else raw
        a = raw.view(a.dtype) if a.dtype.itemsize and len(raw) % a.dtype.itemsize == 0 else a
    elif layout == 6:
        a = a.reshape(()) if a.size == 1 else a[np.newaxis]  # zero or two dimensions
    elif layout == 7:
        a = np.asfortranarray(np.stack([a, a]))[0]
    elif layout == 8:
        a = a.copy()
        a.flags.writeable = False
    return a


def sequence(fdp, data, complex_target):
    """One of the objects that may carry a column of numbers."""
    form = fdp.ConsumeIntInRange(0, 13)
    if form == 0:
        return list(data)
    if form == 1:
        return tuple(data)
    if form == 2:
        items = list(data)
        for _ in range(fdp.ConsumeIntInRange(1, 3)):
            if items:
                i = fdp.ConsumeIntInRange(0, len(items) - 1)
                items[i] = odd_item(fdp, float(np.real(data[i])), items)
        return items
    if form in (3, 4, 5):
        return array_of(fdp, data)
    if form == 6:
        code = "dfbBhHiIlLqQ"[fdp.ConsumeIntInRange(0, 11)]
        try:
            return array.array(code, [v if code in "df" else int(v) for v in np.real(data)])
        except (ValueError, TypeError, OverflowError):
            return array.array("d", [])
    if form == 7:
        a = np.ascontiguousarray(array_of(fdp, data))
        try:
            view = memoryview(a)
            return view.cast("B").cast(view.format) if fdp.ConsumeBool() and a.ndim == 1 else view
        except (ValueError, TypeError, BufferError):
            return memoryview(b"")
    if form == 8:
        return LyingSequence(list(data), len(data) + fdp.ConsumeIntInRange(-2, 2))
    if form == 9:
        return ArrayLike(array_of(fdp, data), fdp.ConsumeIntInRange(0, 2))
    if form == 10 and pd is not None:
        dtype = ("float64", "Float64", "Int64", "object", "float32", "complex128")[fdp.ConsumeIntInRange(0, 5)]
        try:
            series = pd.Series(list(data), dtype=dtype)
        except (ValueError, TypeError, OverflowError):
            series = pd.Series(list(data))
        if fdp.ConsumeBool() and len(series):
            series.iloc[fdp.ConsumeIntInRange(0, len(series) - 1)] = None
        return series
    if form == 11:
        return range(len(data))
    if form == 12:
        return (b"", "text", 1.5, None, {}, set(data) if not complex_target else frozenset(), bytearray(3))[
            fdp.ConsumeIntInRange(0, 6)]
    return np.array(data, dtype=complex if complex_target else float)


PLAIN_ITEMS = (float, int, bool, complex, np.generic, fractions.Fraction, decimal.Decimal)


def plain(obj, complex_target):
    """The items of `obj` converted one by one as Python converts them, or None when that is not
    a fair reference (items with side effects, or containers the harness does not model)."""
    convert = complex if complex_target else float
    if isinstance(obj, (list, tuple)):
        if not all(isinstance(v, PLAIN_ITEMS) for v in obj):
            return None
        items = obj
    elif isinstance(obj, np.ndarray) and obj.ndim == 1 and obj.dtype.kind in "biufc":
        items = list(obj)
    elif isinstance(obj, array.array):
        items = obj.tolist()
    else:
        return None
    try:
        return [convert(v) for v in items]
    except EXPECTED:
        return None


def spectrum(fdp):
    """(args, reference) for a method's frequencies and impedances; `reference` holds the same data
    as plain Python numbers, or None where that is not well defined."""
    n = fdp.ConsumeIntInRange(0, 40)
    base_f, base_z = template(n)
    f = values(fdp, n, base_f)
    re = values(fdp, n, base_z.real)
    im = values(fdp, n, base_z.imag)
    form = fdp.ConsumeIntInRange(0, 4)
    if form <= 1:
        fz = [complex(a, b) for a, b in zip(re, im)]
        if fdp.ConsumeBool() and n:  # lengths differ
            fz = fz[: fdp.ConsumeIntInRange(0, n - 1)]
        freq_obj = sequence(fdp, f, False)
        imp_obj = sequence(fdp, fz, True)
        ref_f, ref_z = plain(freq_obj, False), plain(imp_obj, True)
        return (freq_obj, imp_obj), (None if ref_f is None or ref_z is None else (ref_f, ref_z)), n
    # dataframe form: a dict, a mapping with odd failures, or a pandas DataFrame
    columns = {}
    reference = {}
    for role, names in enumerate(COLUMN_NAMES):
        if not fdp.ConsumeProbability() < 0.85:
            continue
        name = names[fdp.ConsumeIntInRange(0, 1)]
        data = (f, re, im, [abs(complex(a, b)) for a, b in zip(re, im)],
                [math.degrees(math.atan2(b, a)) for a, b in zip(re, im)])[role]
        if fdp.ConsumeProbability() < 0.1 and data:
            data = data[:-1]
        columns[name] = sequence(fdp, data, False)
        reference[name] = plain(columns[name], False)
    if any(v is None for v in reference.values()):
        reference = None
    if form == 2:
        frame = columns
    elif form == 3:
        failure = (KeyError, IndexError, TypeError, ValueError, AttributeError, HarnessError)[
            fdp.ConsumeIntInRange(0, 5)]
        frame = Frame(columns, failure)
        if failure is HarnessError:
            reference = None
    elif pd is not None and all(isinstance(v, (list, tuple, np.ndarray)) and np.ndim(v) == 1
                                for v in columns.values()) and len({len(v) for v in columns.values()}) <= 1:
        frame = pd.DataFrame({k: list(v) for k, v in columns.items()})
    else:
        frame = columns
    args = (frame,) if fdp.ConsumeBool() else (frame, None)  # None or omitted both select the dataframe form
    return args, (None if reference is None else (reference,)), n


def equal(a, b):
    a = np.asarray(a, dtype=complex).ravel()
    b = np.asarray(b, dtype=complex).ravel()
    if a.shape != b.shape:
        return False
    same = (a == b) | (np.isnan(a.real) & np.isnan(b.real)) | (np.isnan(a.imag) & np.isnan(b.imag))
    return bool(np.all(same | (np.isnan(a) & np.isnan(b))))


def reference_call(method, reference, *extra_args, **kwargs):
    """The same call with the data as plain floats; None when that refuses or is not defined."""
    if reference is None:
        return None
    try:
        return method(*extra_args, *reference, **kwargs)
    except EXPECTED:
        return None


def exercise(data):
    fdp = atheris.FuzzedDataProvider(data)
    circuit = CIRCUITS[fdp.ConsumeIntInRange(0, len(CIRCUITS) - 1)]
    count = len(circuit.param_names())
    target = fdp.ConsumeIntInRange(0, 5)
    args, reference, n_points = spectrum(fdp)

    if target == 0:
        out = circuit.impedance(args[0])
        assert isinstance(out, np.ndarray) and out.dtype == np.complex128 and out.ndim == 1
        if reference is not None and len(reference) == 2:
            expected = reference_call(circuit.impedance, reference[:1])
            assert expected is None or equal(out, expected), "impedance differs from plain floats"
    elif target in (1, 2):
        params_list = values(fdp, count + fdp.ConsumeIntInRange(-1, 2), circuit.param_values())
        params = sequence(fdp, params_list, False) if fdp.ConsumeBool() else params_list
        kwargs = {}
        if fdp.ConsumeBool():
            kwargs["weight"] = ("modulus", "unit", "Modulus", "", "unit\0")[fdp.ConsumeIntInRange(0, 4)]
        method = circuit.residuals if target == 1 else circuit.jacobian
        out = method(params, *args, **kwargs)
        assert isinstance(out, list)
        plain_params = plain(params, False)
        if target == 1 and plain_params is not None:
            expected = reference_call(method, reference, plain_params, **kwargs)
            assert expected is None or equal(out, expected), "residuals differ from plain floats"
    elif target == 3:
        kwargs = {}
        # The built-in networks are large: one guess with them costs as much as
        # hundreds of inputs, so most guesses use the small weight files of the
        # weights_fuzzer corpus (the same reading of the data either way).
        if fdp.ConsumeProbability() < 0.95:
            kwargs["weights"] = str(TOY_WEIGHTS[fdp.ConsumeIntInRange(0, len(TOY_WEIGHTS) - 1)])
        out = circuit.guess(*args, **kwargs)
        assert isinstance(out, list) and len(out) == count
        expected = reference_call(circuit.guess, reference, **kwargs)
        assert expected is None or equal(out, expected), "guess differs from plain floats"
    elif n_points <= 12:
        kwargs = {"seed": fdp.ConsumeIntInRange(0, 3)}
        method = METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 1)]
        kwargs["method"] = method
        kwargs.update(max_iterations=fdp.ConsumeIntInRange(0, 4), num_particles=fdp.ConsumeIntInRange(1, 4),
                      generations=fdp.ConsumeIntInRange(0, 3), nelder_mead_iterations=fdp.ConsumeIntInRange(0, 20),
                      de_evaluations=fdp.ConsumeIntInRange(0, 40), sa_iterations=fdp.ConsumeIntInRange(0, 30),
                      basin_hopping_hops=fdp.ConsumeIntInRange(0, 2))
        guess_init = fdp.ConsumeIntInRange(0, 3)
        if guess_init < 3:
            kwargs["guess_init"] = (True, False, np.bool_(True))[guess_init]
        if guess_init != 1:
            kwargs["weights"] = str(TOY_WEIGHTS[0])
        result = circuit.fit(*args, **kwargs)
        assert len(result.params) == count


def TestOneInput(data):
    try:
        exercise(data)
    except EXPECTED:
        pass


def make_seeds(directory):
    """Writes inputs that reach each method with each data form, found by decoding random bytes."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    rng = random.Random(7)
    kept = {}
    for _ in range(20000):
        data = bytes(rng.randrange(256) for _ in range(rng.choice((16, 48, 96, 200))))
        fdp = atheris.FuzzedDataProvider(data)
        circuit_index = fdp.ConsumeIntInRange(0, len(CIRCUITS) - 1)
        target = fdp.ConsumeIntInRange(0, 5)
        try:
            exercise(data)
            outcome = "ok"
        except EXPECTED as error:
            outcome = type(error).__name__
        key = (min(target, 4), circuit_index if outcome == "ok" else -1, outcome)
        if key not in kept:
            kept[key] = data
    for i, (key, data) in enumerate(sorted(kept.items(), key=lambda item: str(item[0]))):
        (directory / f"seed_{i:02d}_{key[2]}").write_bytes(data)
    print(f"wrote {len(kept)} seeds to {directory}")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--make-seeds":
        make_seeds(sys.argv[2])
        return
    atheris.instrument_func(exercise)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
