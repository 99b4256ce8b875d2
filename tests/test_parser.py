import numpy as np
import pytest

import kelvara
from conftest import FREQS, evaluate, first_line, omega, parallel

SYNTAX_HELP = """syntax:
  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"
  - connect elements in series with '-', e.g. "R0-C1"
  - connect elements in parallel with '(...)' or 'p(...)', e.g. "R0-(R1,C1)" or "R0-p(R1,C1)"

available elements (code, parameters, [units]):
  R     r [ohm]
  C     c [F]
  L     l [H]
  La    l [H*s], alpha [-]
  CPE   q [ohm^-1*s^alpha], alpha [-]
  W     aw [ohm*s^-0.5]
  Wo    z0 [ohm], tau [s]
  Ws    z0 [ohm], tau [s]
  G     rg [ohm], tg [s]
  Gs    rg [ohm], tg [s], phi [-]
  K     r [ohm], tau_k [s]
  Zarc  r [ohm], tau_k [s], gamma [-]
  TLMQ  r_ion [ohm], qs [F*s^(gamma-1)], gamma [-]
  T     a [ohm*m^2], b [ohm*m^2], k_tau [-], tau [s]
  H     r [ohm], tau [s], alpha [-], beta [-]"""


@pytest.mark.parametrize("text,message", [
    ("", "unexpected end of input"),
    ("R0-", "unexpected end of input"),
    ("R0-(R1,C1", "unexpected end of input"),
    ("(R1;C1)", "unexpected end of input"),
    ("(", "unexpected end of input"),
    ("p(", "unexpected end of input"),
    ("R", "unexpected character at position 1"),
    ("R-C1", "unexpected character at position 1"),
    ("0R", "unexpected character at position 0"),
    (" R0", "unexpected character at position 0"),
    ("R0-\tC1", "unexpected character at position 3"),
    ("P(R1,C1)", "unexpected character at position 1"),
    ("R0-()", "unexpected character at position 4"),
    ("R0-(R1,)", "unexpected character at position 7"),
    ("R0 ", "unexpected trailing input at position 2"),
    ("R0,C1", "unexpected trailing input at position 2"),
    ("R0)", "unexpected trailing input at position 2"),
    ("R0-(R1,C1))", "unexpected trailing input at position 10"),
    ("X1", 'unknown element code "X" at position 0'),
    ("R0-Q12", 'unknown element code "Q" at position 3'),
    ("r1", 'unknown element code "r" at position 0'),
    ("Rp1", 'unknown element code "Rp" at position 0'),
    ("pR1", 'unknown element code "pR" at position 0'),
    ("cpe1", 'unknown element code "cpe" at position 0'),
    ("R0-ZARC1", 'unknown element code "ZARC" at position 3'),
    ("tlmq1", 'unknown element code "tlmq" at position 0'),
    ("R1-R1", 'duplicate element label "R1"'),
    ("R0-(R1,C1)-(R2,C1)-R2", 'duplicate element label "C1"'),
    ("R1-R1-X2", 'unknown element code "X" at position 6'),
    ("\u03a91", "unexpected character at position 0"),
    ("R0-(R\u00e91,C1)", "unexpected character at position 5"),
    ("R0-C1\u00b5", "unexpected trailing input at position 5"),
])
def test_parse_error_first_line(text, message):
    with pytest.raises(ValueError) as ei:
        kelvara.Circuit(text)
    assert first_line(ei) == message


@pytest.mark.parametrize("text", ["R1-C1", "R01-R1", "CPE1-Cpe1", "R0-p(R1,C1)", "(R1)",
                                  "p(p(R1,C1),(R2-C2,L3))", "Zarc3-TLMQ12-Tlmq13"])
def test_accepted_notation(text):
    kelvara.Circuit(text)


def test_full_error_message_for_unknown_code():
    with pytest.raises(ValueError) as ei:
        kelvara.Circuit("R0-X1")
    assert str(ei.value) == (
        'unknown element code "X" at position 3\n\n  R0-X1\n     ^\n\n' + SYNTAX_HELP
    )


@pytest.mark.parametrize("text,head", [
    ("R0-(R1,C1", "unexpected end of input"),
    ("R1-R1", 'duplicate element label "R1"'),
])
def test_errors_without_position_have_no_caret(text, head):
    with pytest.raises(ValueError) as ei:
        kelvara.Circuit(text)
    assert str(ei.value) == head + "\n\n" + SYNTAX_HELP


def test_caret_counts_characters_not_bytes():
    with pytest.raises(ValueError) as ei:
        kelvara.Circuit("R\u00e90-\u03a9")
    lines = str(ei.value).split("\n")
    assert lines[:4] == ["unexpected character at position 1", "", "  R\u00e90-\u03a9", "   ^"]


def test_constructor_argument():
    assert kelvara.Circuit(s="R0").param_names() == ["R0.r"]
    with pytest.raises(TypeError) as ei:
        kelvara.Circuit(5)
    assert str(ei.value) == "argument 's': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError):
        kelvara.Circuit(b"R0")
    with pytest.raises(UnicodeEncodeError):
        kelvara.Circuit("R0-\ud800")

    class S(str):
        pass

    assert kelvara.Circuit(S("R0-C1")).param_names() == ["R0.r", "C1.c"]


def test_p_form_and_bare_parentheses_are_the_same_tree():
    a, b = kelvara.Circuit("R0-(R1,C1)"), kelvara.Circuit("R0-p(R1,C1)")
    assert a.param_names() == b.param_names()
    np.testing.assert_array_equal(a.impedance(FREQS), b.impedance(FREQS))
    w = omega(FREQS)
    np.testing.assert_allclose(a.impedance(FREQS), 1 + parallel(1, 1 / (1j * w * 1e-3)), rtol=1e-13)


def test_single_branch_group_and_nested_groups():
    np.testing.assert_allclose(evaluate("(R1)", [3.0], FREQS), np.full(len(FREQS), 3.0), rtol=1e-15)
    c = kelvara.Circuit("R0-(R1-(R2,C2),C1)")
    assert c.param_names() == ["R0.r", "R1.r", "R2.r", "C2.c", "C1.c"]
    vals = [1.0, 2.0, 3.0, 1e-4, 2e-5]
    w = omega(FREQS)
    zc = lambda c: 1 / (1j * w * c)  # noqa: E731
    ref = vals[0] + parallel(vals[1] + parallel(vals[2], zc(vals[3])), zc(vals[4]))
    np.testing.assert_allclose(c.with_values(vals).impedance(FREQS), ref, rtol=1e-12)


def test_nesting_limit():
    ok = "(" * 100 + "R0" + ")" * 100
    assert kelvara.Circuit(ok).param_names() == ["R0.r"]
    for depth in (101, 100_000):
        with pytest.raises(ValueError) as ei:
            kelvara.Circuit("(" * depth + "R0" + ")" * depth)
        assert first_line(ei) == "parallel groups nested more than 100 levels deep at position 100"


def test_long_series_parses():
    n = 20_000
    c = kelvara.Circuit("-".join(f"R{i}" for i in range(n)))
    names = c.param_names()
    assert len(names) == n and names[0] == "R0.r" and names[-1] == f"R{n - 1}.r"
    np.testing.assert_allclose(c.impedance([1.0, 1e3]), [n, n], rtol=1e-12)
