import inspect
import math
from collections import OrderedDict

import numpy as np
import pytest

import kelvara
from conftest import FREQS, assert_ok, omega, parallel, run_python

INF = math.inf
RC_LISTING = (
    "\n\nvalid parameters for this circuit:\n"
    "  R0.r  [ohm]  bounds (1e-12, inf)\n"
    "  R1.r  [ohm]  bounds (1e-12, inf)\n"
    "  C1.c  [F]  bounds (1e-12, inf)"
)


def test_rc_layout(rc):
    assert rc.param_names() == ["R0.r", "R1.r", "C1.c"]
    assert rc.param_units() == ["ohm", "ohm", "F"]
    assert rc.param_values() == [1.0, 1.0, 0.001]
    assert rc.param_bounds() == [(1e-12, INF)] * 3
    assert all(type(b) is tuple for b in rc.param_bounds())


@pytest.mark.parametrize("parts,names", [
    (lambda: [kelvara.R(1), kelvara.C(1), kelvara.R(1)], ["R0.r", "C0.c", "R1.r"]),
    (lambda: [kelvara.Cpe(1, 0.5)], ["Cpe0.q", "Cpe0.alpha"]),
    (lambda: [kelvara.Tlmq(1, 1, 1)], ["Tlmq0.r_ion", "Tlmq0.qs", "Tlmq0.gamma"]),
    (lambda: [kelvara.R(1), kelvara.Circuit("R7"), kelvara.R(2)], ["R0.r", "R7.r", "R1.r"]),
    (lambda: [kelvara.Circuit("R0"), kelvara.R(1)], ["R0.r", "R0.r"]),
    (lambda: [kelvara.Circuit("R0-C1"), kelvara.R(5.0)], ["R0.r", "C1.c", "R0.r"]),
])
def test_automatic_labels(parts, names):
    assert kelvara.Series(parts()).param_names() == names


def test_accessor_signatures_and_docstrings():
    C = kelvara.Circuit
    for name in ("param_names", "param_units", "param_bounds", "param_values"):
        assert getattr(C, name).__text_signature__ == "($self)"
    for name in ("with_values", "with_named_values"):
        assert getattr(C, name).__text_signature__ == "($self, values)"
    assert C.impedance.__text_signature__ == "($self, frequencies)"
    assert C.impedance.__doc__ in (None, "")
    assert C.param_units.__doc__ == "Physical units per parameter"
    assert C.param_names.__doc__ == (
        "Parameter names, in the same order `with_values()` consumes and\n"
        "`with_named_values()` expects as keys."
    )
    assert C.with_values.__doc__ == (
        "Rebuild this circuit with a new flat parameter vector, assigned\n"
        "positionally in `param_names()` order."
    )
    assert C.param_values.__doc__ == "Current parameter values, in `param_names()` order."
    assert C.param_bounds.__doc__ == (
        "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
        "`param_names()` order. `hi` is `inf` for open-bound parameters."
    )
    assert C.with_named_values.__doc__ == (
        "Rebuild this circuit with parameter values looked up by name (see\n"
        "`param_names()`). Every name must be present and no unknown names\n"
        "may be supplied."
    )
    assert str(inspect.signature(C)) == "(s)"
    assert str(inspect.signature(C.ml_circuits)) == "()"


class Idx:
    def __index__(self):
        return 2


@pytest.mark.parametrize("values", [
    [2, 3.5, 1e-4], (2, 3.5, 1e-4), np.array([2, 3.5, 1e-4]), [Idx(), np.float32(3.5), 1e-4],
])
def test_with_values(rc, values):
    new = rc.with_values(values=values)
    assert new is not rc
    assert new.param_values() == [2.0, 3.5, 1e-4]
    assert rc.param_values() == [1.0, 1.0, 0.001]
    w = omega(FREQS)
    np.testing.assert_allclose(new.impedance(FREQS), 2 + parallel(3.5, 1 / (1j * w * 1e-4)), rtol=1e-12)


@pytest.mark.parametrize("values,message", [
    ([], "expected 3 values, got 0"),
    ([1, 2, 3, 4], "expected 3 values, got 4"),
])
def test_with_values_wrong_length(rc, values, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        rc.with_values(values)


@pytest.mark.parametrize("values,message", [
    ("abc", "argument 'values': Can't extract `str` to `Vec`"),
    (5, "argument 'values': 'int' object cannot be converted to 'Sequence'"),
    ({1.0, 2.0, 3.0}, "argument 'values': 'set' object cannot be converted to 'Sequence'"),
])
def test_with_values_type_errors(rc, values, message):
    with pytest.raises(TypeError) as ei:
        rc.with_values(values)
    assert str(ei.value) == message
    assert isinstance(ei.value.__cause__, TypeError)


def test_with_values_item_conversion_errors(rc):
    with pytest.raises(TypeError) as ei:
        rc.with_values([1.0, "2", 3.0])
    assert isinstance(ei.value.__cause__, TypeError)
    assert str(ei.value) == "argument 'values': " + str(ei.value.__cause__)


@pytest.mark.parametrize("call", [
    "kelvara.Circuit('R0-(R1,C1)').with_values([1.0, Boom(), 3.0])",
    "kelvara.Circuit('R0').with_named_values({'R0.r': Boom()})",
    "kelvara.Cpe(1e-3, alpha=Boom())",
])
def test_non_type_error_from_float_passes_through(call):
    # Run out of process: a mishandled error here has crashed the interpreter.
    proc = run_python(
        f"""
        import kelvara
        class Boom:
            def __float__(self):
                raise RuntimeError("boom")
        try:
            {call}
        except RuntimeError as e:
            assert str(e) == "boom" and e.__cause__ is None, repr(e)
        else:
            raise AssertionError("no error")
        """
    )
    assert_ok(proc)


def test_with_named_values_matches_with_values(rc):
    named = rc.with_named_values({"C1.c": 3e-4, "R1.r": 5, "R0.r": 0.5})
    assert named.param_values() == rc.with_values([0.5, 5, 3e-4]).param_values() == [0.5, 5.0, 3e-4]
    assert rc.param_values() == [1.0, 1.0, 0.001]
    sub = OrderedDict([("R0.r", 1), ("R1.r", 2), ("C1.c", 3)])
    assert rc.with_named_values(values=sub).param_values() == [1.0, 2.0, 3.0]


def test_with_named_values_repeated_name():
    c = kelvara.Series([kelvara.Circuit("R0-C1"), kelvara.R(5.0)])
    assert c.with_named_values({"R0.r": 7, "C1.c": 2}).param_values() == [7.0, 2.0, 7.0]


@pytest.mark.parametrize("extra,line", [
    ("R0.x", 'unknown parameter "R0.x" (did you mean "R0.r"?)'),
    ("R2.r", 'unknown parameter "R2.r" (did you mean "R0.r"?)'),
    ("C1.C", 'unknown parameter "C1.C" (did you mean "C1.c"?)'),
    ("capacity", 'unknown parameter "capacity"'),
    ("xyz.r", 'unknown parameter "xyz.r"'),  # 5 chars, distance 3 > 2
    ("R0.rxy", 'unknown parameter "R0.rxy" (did you mean "R0.r"?)'),
    ("R0.rwxyz", 'unknown parameter "R0.rwxyz" (did you mean "R0.r"?)'),  # 8 chars, distance 4
    ("R0.rvwxyz", 'unknown parameter "R0.rvwxyz"'),  # 9 chars, distance 5 > 4
    (" R0.r", 'unknown parameter " R0.r" (did you mean "R0.r"?)'),
    ('a"b\\c\n', 'unknown parameter "a\\"b\\\\c\\n"'),
])
def test_with_named_values_unknown_name(rc, extra, line):
    values = {"R0.r": 1, "R1.r": 2, "C1.c": 3, extra: 4}
    with pytest.raises(ValueError) as ei:
        rc.with_named_values(values)
    assert str(ei.value) == line + RC_LISTING


def test_with_named_values_missing_names(rc):
    with pytest.raises(ValueError) as ei:
        rc.with_named_values({})
    assert str(ei.value) == 'missing parameter(s): ["R0.r", "R1.r", "C1.c"]' + RC_LISTING


def test_with_named_values_unknown_and_missing():
    c = kelvara.Circuit("R0-Zarc1")
    with pytest.raises(ValueError) as ei:
        c.with_named_values({"R0.r": 1, "Zarc1.gama": 2, "Zarc1.tau_k": 3})
    assert str(ei.value) == (
        'unknown parameter "Zarc1.gama" (did you mean "Zarc1.gamma"?)\n'
        'missing parameter(s): ["Zarc1.r", "Zarc1.gamma"]\n'
        "\n"
        "valid parameters for this circuit:\n"
        "  R0.r         [ohm]  bounds (1e-12, inf)\n"
        "  Zarc1.r      [ohm]  bounds (1e-12, inf)\n"
        "  Zarc1.tau_k  [s]  bounds (1e-12, inf)\n"
        "  Zarc1.gamma  [-]  bounds (0, 1)"
    )


def test_with_named_values_without_parameters():
    with pytest.raises(ValueError) as ei:
        kelvara.Series([]).with_named_values({"R0.r": 1})
    assert str(ei.value) == 'unknown parameter "R0.r"\n\nvalid parameters for this circuit:'


@pytest.mark.parametrize("values,message", [
    ({1: 2.0}, "argument 'values': 'int' object cannot be converted to 'PyString'"),
    ([("R0.r", 1.0)], "argument 'values': 'list' object cannot be converted to 'PyDict'"),
])
def test_with_named_values_type_errors(values, message):
    with pytest.raises(TypeError) as ei:
        kelvara.Circuit("R0").with_named_values(values)
    assert str(ei.value) == message
    assert isinstance(ei.value.__cause__, TypeError)


def test_with_named_values_value_conversion():
    c = kelvara.Circuit("R0")
    with pytest.raises(TypeError) as ei:
        c.with_named_values({"R0.r": "1"})
    assert str(ei.value).startswith("argument 'values': ")
    assert isinstance(ei.value.__cause__, TypeError)


def test_repr_examples(rc):
    assert repr(rc) == (
        "Circuit (3 parameters)\n"
        "  R0.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  R1.r = 1          [ohm]  bounds (1e-12, inf)\n"
        "  C1.c = 0.001      [F]  bounds (1e-12, inf)"
    )
    assert str(rc) == repr(rc)
    one = "Circuit (1 parameter)\n  R0.r = 1          [ohm]  bounds (1e-12, inf)"
    assert repr(kelvara.Circuit("R0")) == one
    assert repr(kelvara.Circuit("R0-CPE12")) == (
        "Circuit (3 parameters)\n"
        "  R0.r        = 1          [ohm]  bounds (1e-12, inf)\n"
        "  CPE12.q     = 0.001      [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
        "  CPE12.alpha = 0.8        [-]  bounds (0, 1)"
    )
    assert repr(kelvara.Series([])).startswith("Circuit (0 parameters)")


@pytest.mark.parametrize("value,text", [
    (1e-5, "1e-5"), (1234567.0, "1.234567e6"), (0.0001, "0.0001"), (999999.0, "999999"),
    (1e6, "1e6"), (1.5e-7, "1.5e-7"), (0.0, "0"), (-0.0, "-0"), (10.0, "10"), (-2.5, "-2.5"),
    (999999.5, "999999.5"), (0.1 + 0.2, "0.30000000000000004"), (1e-12, "1e-12"),
    (1.0000005e6, "1.0000005e6"), (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"),
    (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e308"),
])
def test_repr_number_text(value, text):
    got = repr(kelvara.Circuit("R0").with_values([value]))
    assert got == f"Circuit (1 parameter)\n  R0.r = {text:<10} [ohm]  bounds (1e-12, inf)"
