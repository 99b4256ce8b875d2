"""How measured data reach residuals()/jacobian(): the two-sequence form, the
dataframe form, the weight argument, conversions and the order of the checks."""

import array
import math
from fractions import Fraction

import numpy as np
import pytest

import kelvara
from conftest import TWO_PI, assert_ok, run_python

FREQ = '"Frequency / Hz" or "frequency_hertz"'
REAL = '"Real Impedance / ohm" or "real_impedance_ohm"'
IMAG = '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm"'
ABS = '"Absolute Impedance / ohm" or "absolute_impedance_ohm"'
PHASE = '"Phase / deg" or "phase_degree"'
NO_FREQ = f"expected a dataframe with a {FREQ} column, or frequencies and impedances as two arguments"
NO_IMPEDANCE = f"no impedance columns: expected {REAL} together with {IMAG}, or {ABS} together with {PHASE}"
NO_POINTS = f"no measured points: every row of the {FREQ} column is zero or negative"
SAME_LENGTH = "frequencies and impedances must have the same length"
DEG = 0.017453292519943295

ZERO_R = kelvara.Circuit("R0")
UNIT_L = kelvara.Circuit("L0")
RANDLES = kelvara.Circuit("R0-(R1-W1,CPE1)")
P5 = [0.1, 2.0, 0.5, 1e-4, 0.85]


def measured(*data):
    """The spectrum as read by the module, recovered from residuals with unit weights:
    a zero resistor gives -Z exactly; a unit inductor gives omega - Im Z."""
    r = np.array(ZERO_R.residuals([0.0], *data, weight="unit"))
    z = np.empty(len(r) // 2, dtype=complex)
    z.real, z.imag = -r[0::2], -r[1::2]
    w = np.array(UNIT_L.residuals([1.0], *data, weight="unit"))[1::2] + z.imag
    return w / TWO_PI, z


def raises(exc, *args, **kwargs):
    """Call residuals and jacobian with the same arguments; both must fail alike."""
    messages = []
    for method in (RANDLES.residuals, RANDLES.jacobian):
        with pytest.raises(exc) as ei:
            method(*args, **kwargs)
        messages.append(str(ei.value))
    assert messages[0] == messages[1]
    return messages[0]


# ---------------------------------------------------------------- two-sequence form

@pytest.mark.parametrize("f,z,message", [
    ("abc", [1.0], "Can't extract `str` to `Vec`"),
    ([1.0], "abc", "Can't extract `str` to `Vec`"),
    (5, [1.0], "'int' object cannot be converted to 'Sequence'"),
    ([1.0], 2.5, "'float' object cannot be converted to 'Sequence'"),
    ({1.0, 2.0}, [1.0, 2.0], "'set' object cannot be converted to 'Sequence'"),
    (b"ab", [1.0, 2.0], "'bytes' object cannot be converted to 'Sequence'"),
    ([1.0, 2.0], bytearray(b"ab"), "'bytearray' object cannot be converted to 'Sequence'"),
    (np.ones((2, 2)), [1.0, 2.0], "expected a one-dimensional sequence, got an array of 2 dimensions"),
    ([1.0], np.ones((1, 1, 1), complex), "expected a one-dimensional sequence, got an array of 3 dimensions"),
    (np.array(3.0), [1.0], "expected a one-dimensional sequence, got an array of 0 dimensions"),
    ("abc", 5, "Can't extract `str` to `Vec`"),  # frequencies are converted first
], ids=["str-f", "str-z", "int-f", "float-z", "set", "bytes", "bytearray", "2d", "3d", "0d", "f-first"])
def test_data_argument_type_errors_have_no_prefix(f, z, message):
    assert raises(TypeError, P5, f, z) == message


@pytest.mark.parametrize("f,z", [
    ([1.0, "2"], [1.0, 2.0]),
    ([[1.0], [2.0]], [1.0, 2.0]),
    (np.array(["1", "2"], dtype=object), [1.0, 2.0]),
    (np.array(["1", "2"]), [1.0, 2.0]),
    ([1.0, 2.0], [1.0, "2j"]),
    ([1.0, 2.0], [[1.0], [2.0]]),
    ([1.0, 2.0], [1.0, None]),
])
def test_item_conversion_type_errors(f, z):
    message = raises(TypeError, P5, f, z)
    assert not message.startswith("argument")


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __complex__(self):
        raise self.exc


@pytest.mark.parametrize("exc", [ValueError("bad item"), ZeroDivisionError("zero item"), TypeError("odd item")])
@pytest.mark.parametrize("where", ["frequencies", "impedances"])
def test_item_exceptions_pass_through_unchanged(exc, where):
    f, z = [1.0, 2.0], [1.0, 2.0]
    (f if where == "frequencies" else z)[1] = Raising(exc)
    assert raises(type(exc), P5, f, z) == str(exc)


@pytest.mark.parametrize("params,exc,message", [
    ("abc", TypeError, "argument 'params': Can't extract `str` to `Vec`"),
    (3, TypeError, "argument 'params': 'int' object cannot be converted to 'Sequence'"),
    (b"ab", TypeError, "argument 'params': 'bytes' object cannot be converted to 'Sequence'"),
    ((x for x in [1.0]), TypeError, "argument 'params': 'generator' object cannot be converted to 'Sequence'"),
    ({"R0.r": 1.0}, TypeError, "argument 'params': 'dict' object cannot be converted to 'Sequence'"),
    (np.ones((5, 1)), TypeError, "argument 'params': expected a one-dimensional sequence, got an array of 2 dimensions"),
    ([0.1, Raising(TypeError("odd item"))], TypeError, "argument 'params': odd item"),
    ([0.1, Raising(ValueError("bad item"))], ValueError, "bad item"),
    ([0.1, 10**400], OverflowError, "int too large to convert to float"),
])
def test_params_errors_get_prefix_only_for_type_errors(params, exc, message):
    assert raises(exc, params, [1.0], [1.0]) == message
    with pytest.raises(exc) as ei:
        RANDLES.residuals(params, [1.0], [1.0])
    if exc is TypeError:
        assert type(ei.value.__cause__) is TypeError
        assert message == "argument 'params': " + str(ei.value.__cause__)


@pytest.mark.parametrize("f,z", [([1.0, 2.0], [1.0]), ([], [1j]), ([1.0], [])])
def test_length_mismatch(f, z):
    assert raises(ValueError, P5, f, z) == SAME_LENGTH


def test_two_sequence_form_keeps_every_row():
    f = [0.0, 10.0, -5.0, math.nan, math.inf]
    z = [1 + 1j, 2 - 2j, 3 + 0j, 4j, -5 - 5j]
    r = ZERO_R.residuals([0.0], f, z, weight="unit")
    assert r == [-1.0, -1.0, -2.0, 2.0, -3.0, 0.0, 0.0, -4.0, 5.0, 5.0]
    freq, _ = measured([0.0, 10.0, -5.0], [1j, 2j, 3j])
    np.testing.assert_allclose(freq, [0.0, 10.0, -5.0], rtol=1e-14)


def with_method(name, result):
    return type(name.strip("_"), (), {name: lambda self: result})()


def test_item_conversions_through_python_protocols():
    as_index, as_float = with_method("__index__", 7), with_method("__float__", 2.5)
    f = [as_index, as_float, True, Fraction(1, 4), np.float32(0.1), np.int64(3)]
    z = [with_method("__complex__", 3 - 4j), as_index, as_float, Fraction(3, 2), np.complex64(1 + 2j), np.float16(0.5)]
    freq, imp = measured(f, z)
    np.testing.assert_allclose(freq, [7.0, 2.5, 1.0, 0.25, float(np.float32(0.1)), 3.0], rtol=1e-13)
    np.testing.assert_array_equal(imp, [3 - 4j, 7, 2.5, 1.5, 1 + 2j, 0.5])


# ---------------------------------------------------------------- conversions are exact

F = [1e-2, 0.5, 1.0, 3.0, 17.0, 250.0, 4096.0, 1e5]
Z = [0.1 + 0.2j, 1.5 - 2.25j, 3 + 0j, 4 - 8j, -1 + 0.5j, 2.0 - 0j, 7.25 - 1j, 1e3 + 1e-3j]


def as_lists(f, z):
    return [float(x) for x in f], [complex(x) for x in z]


def same(a, b):
    """Bit-for-bit equality of two result lists (NaN equal to NaN in the same place)."""
    assert len(a) == len(b)
    np.testing.assert_array_equal(np.array(a), np.array(b))


@pytest.mark.parametrize("make_f", [
    lambda: np.array(F),
    lambda: np.array(F, dtype=np.float32),
    lambda: np.array(F[:7] + [2048.0], dtype=np.float16),
    lambda: np.arange(1, 9, dtype=np.int32),
    lambda: np.arange(1, 9, dtype=np.uint8),
    lambda: np.array([True, False] * 4),
    lambda: np.repeat(np.array(F), 3)[::3],
    lambda: np.array(F[::-1])[::-1],
    lambda: np.array([F, F]).T[:, 1],
    lambda: np.array(F, dtype=">f8"),
    lambda: np.array(F, dtype=np.longdouble),
    lambda: np.array(F, dtype=object),
    lambda: array.array("f", F),
    lambda: tuple(F),
    lambda: range(1, 9),
], ids=["f64", "f32", "f16", "i32", "u8", "bool", "strided", "reversed", "column", "big-endian", "longdouble",
        "object", "array.array", "tuple", "range"])
@pytest.mark.parametrize("make_z", [
    lambda: np.array(Z),
    lambda: np.array(Z, dtype=np.complex64),
    lambda: np.array(Z).real.copy(),
    lambda: np.array(Z).imag,
    lambda: np.arange(-4, 4, dtype=np.int16),
    lambda: np.repeat(np.array(Z), 2)[1::2],
    lambda: np.array(Z, dtype=np.complex128)[::-1],
    lambda: np.array(Z, dtype=">c16"),
    lambda: np.array(Z, dtype=np.clongdouble),
    lambda: np.array(Z, dtype=object),
], ids=["c128", "c64", "real", "imag-view", "i16", "strided", "reversed", "big-endian", "clongdouble", "object"])
def test_numpy_inputs_equal_python_lists_bit_for_bit(make_f, make_z):
    f, z = make_f(), make_z()
    f_before, z_before = np.array(f, copy=True), np.array(z, copy=True)
    fl, zl = as_lists(f, z)
    for weight in ("unit", "modulus"):
        same(RANDLES.residuals(P5, f, z, weight=weight), RANDLES.residuals(P5, fl, zl, weight=weight))
    same(RANDLES.jacobian(P5, f, z), RANDLES.jacobian(P5, fl, zl))
    np.testing.assert_array_equal(np.asarray(f), f_before)
    np.testing.assert_array_equal(np.asarray(z), z_before)


@pytest.mark.parametrize("params", [
    np.array(P5), np.array(P5, dtype=np.float32), tuple(P5), np.array(P5 * 2)[::2][:5],
])
def test_params_as_arrays_equal_lists(params):
    expected = RANDLES.residuals([float(p) for p in params], F, Z)
    assert RANDLES.residuals(params, F, Z) == expected


def test_lists_are_not_modified():
    f, z, p = list(F), list(Z), list(P5)
    frame = {"frequency_hertz": list(F), "real_impedance_ohm": [1.0] * 8, "imaginary_impedance_ohm": [2.0] * 8}
    RANDLES.residuals(p, f, z)
    RANDLES.jacobian(p, f, z)
    RANDLES.jacobian(p, frame)
    assert (f, z, p) == (F, Z, P5)
    assert frame == {"frequency_hertz": F, "real_impedance_ohm": [1.0] * 8, "imaginary_impedance_ohm": [2.0] * 8}


def test_pandas_and_polars_series_equal_lists():
    pd = pytest.importorskip("pandas")
    fl, zl = as_lists(F, Z)
    expected = RANDLES.residuals(P5, fl, zl)
    assert RANDLES.residuals(P5, pd.Series(F), pd.Series(Z)) == expected
    assert RANDLES.residuals(pd.Series(P5), pd.Series(F, index=range(10, 18)), zl) == expected
    pl = pytest.importorskip("polars")
    zre = [z.real for z in Z]
    assert RANDLES.residuals(P5, pl.Series(F), pl.Series(zre)) == RANDLES.residuals(P5, fl, zre)


# ---------------------------------------------------------------- dataframe form

def test_dict_with_snake_case_names():
    frame = {"frequency_hertz": [1.0, 2.0], "real_impedance_ohm": [3.0, 4.0], "imaginary_impedance_ohm": [-5.0, 6.0]}
    freq, z = measured(frame)
    np.testing.assert_allclose(freq, [1.0, 2.0], rtol=1e-14)
    np.testing.assert_array_equal(z, [3 - 5j, 4 + 6j])  # imaginary part as stored, no sign change


def test_display_name_is_tried_first_and_names_mix():
    frame = {"Frequency / Hz": [1.0, 2.0], "frequency_hertz": [9.0, 9.0, 9.0],
             "Real Impedance / ohm": [3.0, 4.0], "real_impedance_ohm": ["x"],
             "imaginary_impedance_ohm": [5.0, 6.0]}
    freq, z = measured(frame)
    np.testing.assert_allclose(freq, [1.0, 2.0], rtol=1e-14)
    np.testing.assert_array_equal(z, [3 + 5j, 4 + 6j])


# polar columns are ignored, even when their lengths would not match
@pytest.mark.parametrize("extra", [{}, {"phase_degree": [10.0]}, {"Absolute Impedance / ohm": []}])
def test_real_and_imaginary_win_over_polar(extra):
    frame = {"frequency_hertz": [1.0, 2.0], "Absolute Impedance / ohm": [7.0, 8.0], "phase_degree": [10.0, 20.0],
             "real_impedance_ohm": [3.0, 4.0], "imaginary_impedance_ohm": [5.0, 6.0], **extra}
    np.testing.assert_array_equal(measured(frame)[1], [3 + 5j, 4 + 6j])


def test_polar_form_when_imaginary_is_missing():
    mag, phase = [2.0, 1.0, 3.0, 0.5], [90.0, -30.0, 170.0, 0.0]
    frame = {"frequency_hertz": [1.0, 2.0, 3.0, 4.0], "real_impedance_ohm": [9.0] * 4,
             "absolute_impedance_ohm": mag, "Phase / deg": phase}
    z = measured(frame)[1]
    rad = np.array(phase) * DEG
    np.testing.assert_allclose(z, np.array(mag) * np.cos(rad) + 1j * np.array(mag) * np.sin(rad), rtol=1e-15)
    assert z[0].real == pytest.approx(1.2246e-16, rel=1e-4) and z[0].imag == 2.0


def test_rows_with_non_positive_or_nan_frequency_are_dropped():
    f = [0.0, 10.0, -5.0, math.nan, 1e-300, -0.0, math.inf, 3.0]
    frame = {"frequency_hertz": f, "real_impedance_ohm": [float(i) for i in range(8)],
             "imaginary_impedance_ohm": [math.nan if i == 4 else -1.0 for i in range(8)]}
    r = ZERO_R.residuals([0.0], frame, weight="unit")
    assert r[0::2] == [-1.0, -4.0, -6.0, -7.0]
    assert r[1::2][0] == 1.0 and math.isnan(r[3]) and r[1::2][2:] == [1.0, 1.0]
    freq, z = measured({"frequency_hertz": [0.0, 10.0, -5.0], "real_impedance_ohm": [1, 2, 3],
                        "imaginary_impedance_ohm": [0, 0, 0]})
    np.testing.assert_allclose(freq, [10.0], rtol=1e-14)
    np.testing.assert_array_equal(z, [2.0])


@pytest.mark.parametrize("f", [[0.0, 0.0, 0.0], [-1.0, -2.0, 0.0], [math.nan, -0.0, -math.inf], []])
def test_no_positive_frequency(f):
    frame = {"Frequency / Hz": f, "Real Impedance / ohm": [1.0] * len(f), "Imaginary Impedance / ohm": [0.0] * len(f)}
    assert raises(ValueError, P5, frame) == NO_POINTS


class Frame:
    """A dataframe-like object whose lookups of unknown names raise `exc`."""

    def __init__(self, columns, exc):
        self.columns, self.exc = columns, exc

    def __getitem__(self, name):
        if name in self.columns:
            return self.columns[name]
        raise self.exc


# Any Exception from frame[name] means the column is absent (polars raises its own ColumnNotFoundError).
@pytest.mark.parametrize("exc", [KeyError("k"), IndexError(), TypeError("t"), ValueError("v"), AttributeError("a"),
                                 RuntimeError("boom"), ZeroDivisionError()])
def test_failing_lookup_counts_as_missing(exc):
    cols = {"frequency_hertz": [1.0], "absolute_impedance_ohm": [2.0], "phase_degree": [0.0]}
    np.testing.assert_array_equal(measured(Frame(cols, exc))[1], [2.0])
    assert raises(ValueError, P5, Frame({}, exc)) == NO_FREQ
    assert raises(ValueError, P5, Frame({"frequency_hertz": [1.0]}, exc)) == NO_IMPEDANCE


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), MemoryError()])
def test_other_lookup_errors_propagate(exc):
    for cols in ({}, {"frequency_hertz": [1.0]}):
        raises(type(exc), P5, Frame(cols, exc))
    with pytest.raises(type(exc)):
        kelvara.Circuit("R0").impedance(Frame({}, exc))


class Unconvertible:
    """A sequence whose items raise `exc` when converted to numbers."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        exc = self.exc

        class Item:
            def __float__(self):
                raise exc

            __complex__ = __float__
        return Item()


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), RuntimeError("boom")])
def test_conversion_errors_propagate(exc):
    with pytest.raises(type(exc)):
        kelvara.Circuit("R0").impedance(Unconvertible(exc))
    raises(type(exc), P5, {"Frequency / Hz": Unconvertible(exc), "Real Impedance / ohm": [1.0, 1.0],
                           "Imaginary Impedance / ohm": [0.0, 0.0]})
    raises(type(exc), P5, [1.0, 2.0], Unconvertible(exc))


@pytest.mark.parametrize("data", [[1.0, 2.0], (1.0,), 5, "abc", object(), {"freq": [1.0]}, np.array([1.0, 2.0])])
@pytest.mark.parametrize("how", ["omitted", "none", "keyword"])
def test_single_argument_without_frequency_column(data, how):
    if how == "omitted":
        assert raises(ValueError, P5, data) == NO_FREQ
    elif how == "none":
        assert raises(ValueError, P5, data, None) == NO_FREQ
    else:
        assert raises(ValueError, params=P5, frequencies=data, impedances=None, weight="unit") == NO_FREQ


@pytest.mark.parametrize("frame,message", [
    ({"Frequency / Hz": ["a", "b"], "real_impedance_ohm": [1, 2]}, 'column "Frequency / Hz" is not numeric'),
    ({"frequency_hertz": "12"}, 'column "frequency_hertz" is not numeric'),
    ({"frequency_hertz": 3.0}, 'column "frequency_hertz" is not numeric'),
    ({"frequency_hertz": np.ones((2, 2))}, 'column "frequency_hertz" is not numeric'),
    ({"frequency_hertz": b"12"}, 'column "frequency_hertz" is not numeric'),
    ({"Frequency / Hz": None, "frequency_hertz": [1.0]}, 'column "Frequency / Hz" is not numeric'),
    ({"frequency_hertz": [1.0], "Real Impedance / ohm": [None]}, 'column "Real Impedance / ohm" is not numeric'),
    ({"frequency_hertz": [1.0], "real_impedance_ohm": ["1"], "imaginary_impedance_ohm": ["x"]},
     'column "real_impedance_ohm" is not numeric'),
    # every column is read before any is used, so an unused bad phase column still fails
    ({"frequency_hertz": [1.0], "real_impedance_ohm": [1], "imaginary_impedance_ohm": [1], "phase_degree": "x"},
     'column "phase_degree" is not numeric'),
    ({"frequency_hertz": [1.0], "real_impedance_ohm": [1], "imaginary_impedance_ohm": [[1.0]]},
     'column "imaginary_impedance_ohm" is not numeric'),
    ({"frequency_hertz": [1.0], "Absolute Impedance / ohm": [1j]}, 'column "Absolute Impedance / ohm" is not numeric'),
    ({"frequency_hertz": [1.0], "real_impedance_ohm": [Raising(ValueError("x"))], "imaginary_impedance_ohm": [1]},
     'column "real_impedance_ohm" is not numeric'),
])
def test_non_numeric_columns(frame, message):
    assert raises(ValueError, P5, frame) == message


@pytest.mark.parametrize("frame,message", [
    ({"real_impedance_ohm": ["x"], "imaginary_impedance_ohm": [1.0]}, NO_FREQ),
    ({"frequency_hertz": [1.0]}, NO_IMPEDANCE),
    ({"frequency_hertz": [1.0], "real_impedance_ohm": [1.0], "phase_degree": [1.0]}, NO_IMPEDANCE),
    ({"frequency_hertz": [1.0], "imaginary_impedance_ohm": [1.0], "absolute_impedance_ohm": [1.0]}, NO_IMPEDANCE),
    ({"frequency_hertz": [1.0], "real_impedance_ohm": [1.0, 2.0], "imaginary_impedance_ohm": [1.0]},
     "real and imaginary impedance columns must have the same length"),
    ({"frequency_hertz": [1.0], "absolute_impedance_ohm": [1.0], "phase_degree": []},
     "absolute impedance and phase columns must have the same length"),
    ({"frequency_hertz": [1.0] * 4, "real_impedance_ohm": [1.0] * 5, "imaginary_impedance_ohm": [0.0] * 5},
     f"frequency column has 4 rows but {REAL} and {IMAG} have 5"),
    ({"frequency_hertz": [0.0, 1.0], "absolute_impedance_ohm": [1.0] * 3, "phase_degree": [0.0] * 3},
     f"frequency column has 2 rows but {ABS} and {PHASE} have 3"),
])
def test_dataframe_structure_errors(frame, message):
    assert raises(ValueError, P5, frame) == message


def test_pandas_dataframe():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"Frequency / Hz": [5.0, 0.0, 50.0], "Real Impedance / ohm": [1, 2, 3],
                          "Imaginary Impedance / ohm": [-1.5, 0.0, 2.5]})
    freq, z = measured(frame)
    np.testing.assert_allclose(freq, [5.0, 50.0], rtol=1e-14)
    np.testing.assert_array_equal(z, [1 - 1.5j, 3 + 2.5j])
    assert raises(ValueError, P5, pd.DataFrame({"Frequency / Hz": [1.0]})) == NO_IMPEDANCE
    assert raises(ValueError, P5, pd.DataFrame({"Frequency / Hz": ["a"]})) == 'column "Frequency / Hz" is not numeric'


def test_polars_dataframe():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({"frequency_hertz": [1.0, -2.0, 100.0], "absolute_impedance_ohm": [2.0, 3.0, 4.0],
                          "phase_degree": [90.0, 0.0, 0.0]})
    freq, z = measured(frame)
    np.testing.assert_allclose(freq, [1.0, 100.0], rtol=1e-14)
    assert z[0].imag == 2.0 and abs(z[0].real) < 1e-15 and z[1] == 4.0
    assert raises(ValueError, P5, pl.DataFrame({"x": [1.0]})) == NO_FREQ


# ---------------------------------------------------------------- weight argument and order of checks

@pytest.mark.parametrize("name,quoted", [
    ("Modulus", '"Modulus"'), ("UNIT", '"UNIT"'), (" unit", '" unit"'), ("modulus ", '"modulus "'),
    ("", '""'), ('a"b\\', '"a\\"b\\\\"'), ("proportional", '"proportional"'),
])
def test_unknown_weight_names(name, quoted):
    expected = f'unknown weight scheme {quoted}, expected "modulus" or "unit"'
    assert raises(ValueError, P5, F, Z, weight=name) == expected


@pytest.mark.parametrize("weight,type_name", [(1, "int"), (None, "NoneType"), (b"unit", "bytes"), (["unit"], "list")])
def test_weight_must_be_str(weight, type_name):
    cause = f"'{type_name}' object cannot be converted to 'PyString'"
    assert raises(TypeError, P5, F, Z, weight=weight) == f"argument 'weight': {cause}"
    # the weight type is checked before the data are looked at ...
    assert raises(TypeError, P5, "abc", 5, weight=weight) == f"argument 'weight': {cause}"
    assert raises(TypeError, P5, {}, weight=weight) == f"argument 'weight': {cause}"
    # ... but after params
    assert raises(TypeError, "abc", F, Z, weight=weight) == "argument 'params': Can't extract `str` to `Vec`"


def test_weight_name_is_checked_after_the_data():
    assert raises(ValueError, P5, [1.0, 2.0], [1.0], weight="bad") == SAME_LENGTH
    assert raises(ValueError, P5, {"x": 1}, weight="bad") == NO_FREQ
    assert raises(TypeError, P5, "abc", [1.0], weight="bad") == "Can't extract `str` to `Vec`"
    assert raises(ValueError, P5, {"frequency_hertz": [0.0], "real_impedance_ohm": [1.0],
                                   "imaginary_impedance_ohm": [1.0]}, weight="Unit") == NO_POINTS


def test_short_params_checked_last():
    message = "params has 3 values, but the circuit has 5 parameters"
    assert raises(ValueError, P5[:3], F, Z) == message
    with pytest.raises(ValueError, match="^params has 0 values, but the circuit has 5 parameters$"):
        RANDLES.residuals([], F, Z, weight="unit")
    assert RANDLES.jacobian([], F, Z, weight="unit") == []  # no columns asked for
    assert raises(ValueError, P5[:3], F, Z, weight="bad").startswith("unknown weight scheme")
    assert raises(ValueError, P5[:3], [1.0], [1.0, 2.0]) == SAME_LENGTH
    assert raises(ValueError, P5[:3], {"frequency_hertz": [1.0]}) == NO_IMPEDANCE


def test_odd_values_never_crash_or_hang():
    proc = run_python("""
        import math, numpy as np, kelvara
        c = kelvara.Circuit("R0-(R1-W1,CPE1)")
        p = [0.1, 2.0, 0.5, 1e-4, 0.85]
        odd = [0.0, -0.0, -3.0, math.nan, math.inf, -math.inf, 1e-320, 1e308]
        f = odd * len(odd)
        z = [complex(a, b) for a in odd for b in odd]
        for weight in ("unit", "modulus"):
            assert len(c.residuals(p, f, z, weight=weight)) == 2 * len(f)
            assert len(c.jacobian(p, np.array(f), np.array(z), weight=weight)) == 2 * len(f)
            bad = [math.nan, math.inf, -1.0, 0.0, -math.inf]
            assert len(c.residuals(bad, f, z, weight=weight)) == 2 * len(f)
            assert len(c.jacobian(bad, f, z, weight=weight)) == 2 * len(f)
            frame = {"frequency_hertz": f, "real_impedance_ohm": [v.real for v in z],
                     "imaginary_impedance_ohm": [v.imag for v in z]}
            kept = sum(1 for x in f if x > 0)
            assert len(c.residuals(p, frame, weight=weight)) == 2 * kept
            assert len(c.jacobian(p, frame, weight=weight)) == 2 * kept
        print("ok")
    """)
    assert_ok(proc)
    assert proc.stdout.strip() == "ok"
