import inspect
import math

import numpy as np
import pytest

import kelvara
from conftest import FREQS, evaluate, omega, parallel

INF = math.inf
OPEN = (1e-12, INF)
UNIT = (0.0, 1.0)


def coth(z):
    return 1.0 / np.tanh(z)


def z_tlmq(w, r_ion, qs, gamma):
    zq = 1.0 / (qs * (1j * w) ** gamma)
    return np.sqrt(r_ion * zq) / np.tanh(np.sqrt(r_ion / zq))


def z_t(w, a, b, k_tau, tau):
    beta = np.sqrt(k_tau + 1j * w * tau)
    return a * coth(beta) / beta + b / np.sinh(beta) / beta


# kind, parameter values (deliberately not the defaults), reference Z(omega)
FORMULAS = [
    ("R", [4.7], lambda w, r: np.full_like(w, r, dtype=complex)),
    ("C", [2.2e-6], lambda w, c: 1 / (1j * w * c)),
    ("L", [3.3e-5], lambda w, l: 1j * w * l),
    ("La", [2e-4, 0.63], lambda w, l, a: (1j * w * l) ** a),
    ("Cpe", [4e-4, 0.72], lambda w, q, a: 1 / (q * (1j * w) ** a)),
    ("W", [12.0], lambda w, aw: aw * (1 - 1j) / np.sqrt(w)),
    ("Wo", [3.0, 0.4], lambda w, z0, t: z0 * coth(np.sqrt(1j * w * t)) / np.sqrt(1j * w * t)),
    ("Ws", [3.0, 0.4], lambda w, z0, t: z0 * np.tanh(np.sqrt(1j * w * t)) / np.sqrt(1j * w * t)),
    ("G", [5.0, 0.02], lambda w, rg, tg: rg / np.sqrt(1 + 1j * w * tg)),
    ("Gs", [5.0, 0.02, 0.7], lambda w, rg, tg, phi: rg / (
        np.sqrt(1 + 1j * w * tg) * np.tanh(phi * np.sqrt(1 + 1j * w * tg)))),
    ("K", [8.0, 2e-3], lambda w, r, tk: parallel(r, 1 / (1j * w * tk / r))),
    ("Zarc", [8.0, 2e-3, 0.85], lambda w, r, tk, g: parallel(r, 1 / ((tk ** g / r) * (1j * w) ** g))),
    ("Tlmq", [6.0, 3e-3, 0.9], z_tlmq),
    ("T", [2.0, 3.0, 0.5, 0.05], z_t),
    ("H", [8.0, 2e-3, 0.85, 0.6], lambda w, r, t, a, b: r / (1 + (1j * w * t) ** a) ** b),
]

CATALOGUE = {
    # kind: (parameter names, units, defaults, bounds)
    "R": (["r"], ["ohm"], [1.0], [OPEN]),
    "C": (["c"], ["F"], [0.001], [OPEN]),
    "L": (["l"], ["H"], [1e-6], [OPEN]),
    "La": (["l", "alpha"], ["H*s", "-"], [1e-6, 0.8], [OPEN, UNIT]),
    "Cpe": (["q", "alpha"], ["ohm^-1*s^alpha", "-"], [0.001, 0.8], [OPEN, UNIT]),
    "W": (["aw"], ["ohm*s^-0.5"], [1.0], [OPEN]),
    "Wo": (["z0", "tau"], ["ohm", "s"], [1.0, 10.0], [OPEN, OPEN]),
    "Ws": (["z0", "tau"], ["ohm", "s"], [1.0, 10.0], [OPEN, OPEN]),
    "G": (["rg", "tg"], ["ohm", "s"], [1.0, 1.0], [OPEN, OPEN]),
    "Gs": (["rg", "tg", "phi"], ["ohm", "s", "-"], [1.0, 1.0, 1.0], [OPEN] * 3),
    "K": (["r", "tau_k"], ["ohm", "s"], [1.0, 0.001], [OPEN, OPEN]),
    "Zarc": (["r", "tau_k", "gamma"], ["ohm", "s", "-"], [1.0, 0.001, 0.8], [OPEN, OPEN, UNIT]),
    "Tlmq": (["r_ion", "qs", "gamma"], ["ohm", "F*s^(gamma-1)", "-"], [1.0, 0.001, 0.8],
             [OPEN, OPEN, UNIT]),
    "T": (["a", "b", "k_tau", "tau"], ["ohm*m^2", "ohm*m^2", "-", "s"], [1.0] * 4, [OPEN] * 4),
    "H": (["r", "tau", "alpha", "beta"], ["ohm", "s", "-", "-"], [1.0, 0.001, 0.8, 0.8], [OPEN, OPEN, UNIT, UNIT]),
}


@pytest.mark.parametrize("route", ["notation", "element"])
@pytest.mark.parametrize("kind,values,ref", FORMULAS, ids=[k for k, _, _ in FORMULAS])
def test_element_impedance_formula(kind, values, ref, route):
    if route == "notation":
        got = evaluate(f"{kind}1", values, FREQS)
    else:
        got = kelvara.Series([getattr(kelvara, kind)(*values)]).impedance(FREQS)
    np.testing.assert_allclose(got, ref(omega(FREQS), *values), rtol=1e-11, atol=0)


@pytest.mark.parametrize("kind", list(CATALOGUE))
def test_catalogue_layout(kind):
    names, units, defaults, bounds = CATALOGUE[kind]
    c = kelvara.Circuit(f"{kind}7")
    assert c.param_names() == [f"{kind}7.{n}" for n in names]
    assert c.param_units() == units
    assert c.param_values() == defaults
    assert c.param_bounds() == bounds
    assert all(type(lo) is float and type(hi) is float for lo, hi in c.param_bounds())


EXPONENTS = {"La": 1, "Cpe": 1, "Zarc": 2, "Tlmq": 2, "H": 2}


def test_catalogue_facts_the_helpers_read():
    table = kelvara._core._elements()
    assert [e["code"] for e in table] == list(CATALOGUE)
    for e in table:
        names, units, defaults, bounds = CATALOGUE[e["code"]]
        assert (list(e["params"]), list(e["units"]), list(e["defaults"]), list(e["bounds"])) == (
            names, units, defaults, bounds)
        assert e["exponent"] == EXPONENTS.get(e["code"])
        assert e["code"] in e["codes"] and e["help_code"] in e["codes"]


@pytest.mark.parametrize("kind", list(CATALOGUE))
def test_drift_is_how_the_impedance_goes(kind):
    # "grows": |Z| rises with the parameter (shorted at its floor, open at infinity);
    # "falls": the reverse
    element = next(e for e in kelvara._core._elements() if e["code"] == kind)
    defaults = list(element["defaults"])
    for index, drift in enumerate(element["drifts"]):
        if drift is None:
            continue
        modulus = []
        for scale in (1e-6, 1.0, 1e6):
            values = list(defaults)
            values[index] *= scale
            modulus.append(abs(evaluate(f"{kind}1", values, [30.0])[0]))
        assert (modulus == sorted(modulus)) == (drift == "grows")
        assert modulus[0] != modulus[2]


@pytest.mark.parametrize("code,kind", [("CPE", "Cpe"), ("Cpe", "Cpe"), ("TLMQ", "Tlmq"), ("Tlmq", "Tlmq")])
def test_alternative_codes_keep_written_label(code, kind):
    names = kelvara.Circuit(f"{code}3").param_names()
    assert names[0].startswith(f"{code}3.")
    assert len(names) == len(CATALOGUE[kind][0])


# Havriliak-Negami r / (1 + (j w tau)^alpha)^beta: Cole-Cole is beta = 1, Cole-Davidson
# alpha = 1, Debye both
@pytest.mark.parametrize("alpha,beta,closed", [
    (0.7, 1.0, lambda w, r, t: r / (1 + (1j * w * t) ** 0.7)),
    (1.0, 0.55, lambda w, r, t: r / (1 + 1j * w * t) ** 0.55),
    (1.0, 1.0, lambda w, r, t: r / (1 + 1j * w * t)),
], ids=["cole-cole", "cole-davidson", "debye"])
@pytest.mark.parametrize("freqs", [FREQS, np.logspace(-3, 6, 1200)], ids=["few", "swept"])
def test_havriliak_negami_limits(alpha, beta, closed, freqs):
    r, tau = 40.0, 3e-4
    got = evaluate("H1", [r, tau, alpha, beta], freqs)
    np.testing.assert_allclose(got, closed(omega(freqs), r, tau), rtol=1e-12, atol=0)
    if beta == 1.0:  # the Zarc of the same values
        np.testing.assert_allclose(got, evaluate("Zarc1", [r, tau, alpha], freqs), rtol=1e-15, atol=0)


def test_havriliak_negami_beta_skews_the_arc():
    # beta < 1 moves the loss peak above 1/tau: -Im Z peaks where
    # w tau = tan(pi / (2 (beta + 1))) for alpha = 1 (Cole-Davidson)
    beta, tau = 0.5, 1e-3
    f = np.logspace(-1, 5, 6001)
    z = evaluate("H1", [1.0, tau, 1.0, beta], f)
    peak = omega(f)[np.argmax(-z.imag)] * tau
    assert peak == pytest.approx(math.tan(math.pi / (2 * (beta + 1))), rel=3e-3)


def test_havriliak_negami_fit_recovers_its_parameters():
    truth = [5.0, 40.0, 2e-3, 0.8, 0.6]
    f = np.logspace(5, -2, 50)
    z = truth[0] + truth[1] / (1 + (1j * omega(f) * truth[2]) ** truth[3]) ** truth[4]
    start = [4.0, 55.0, 1e-3, 0.7, 0.75]
    result = kelvara.Circuit("R0-H1").with_values(start).fit(f, z, guess_init=False)
    assert result.success
    np.testing.assert_allclose(list(result.params.values()), truth, rtol=1e-6)


def test_cpe_alpha_one_is_a_capacitor_and_alpha_zero_a_resistor():
    w = omega(FREQS)
    np.testing.assert_allclose(evaluate("CPE1", [2e-3, 1.0], FREQS), 1 / (1j * w * 2e-3), rtol=1e-14)
    z0 = evaluate("CPE1", [2e-3, 0.0], FREQS)
    np.testing.assert_allclose(z0.real, 500.0, rtol=1e-14)
    assert np.all(z0.imag == 0.0)


def test_la_half_power_of_whole_product():
    z = evaluate("La1", [1e-6, 0.5], [1e6 / 6.283185307179586])
    np.testing.assert_allclose(z, [math.sqrt(0.5) * (1 + 1j)], rtol=1e-14)


@pytest.mark.parametrize("kind", ["Wo", "Ws"])
@pytest.mark.parametrize("re_s", [20.5, 400.0, 3e4])
def test_warburg_finite_length_saturates(kind, re_s):
    # s = sqrt(j*w*tau) has real part sqrt(w*tau/2); beyond 20 tanh(s) is exactly 1.
    tau, z0 = 10.0, 2.0
    w = 2 * re_s ** 2 / tau
    s = np.sqrt(1j * w * tau)
    z = evaluate(f"{kind}1", [z0, tau], [w / 6.283185307179586])
    assert np.all(np.isfinite([z.real, z.imag]))
    np.testing.assert_allclose(z, [z0 / s], rtol=1e-12)


@pytest.mark.parametrize("f", [0.0, 1e-3, 10.0, 1e6])
def test_t_with_zero_tau_has_unit_beta(f):
    a, b = 2.0, 3.0
    z = evaluate("T1", [a, b, 1.0, 0.0], [f])
    np.testing.assert_allclose(z, [a / math.tanh(1.0) + b / math.sinh(1.0)], rtol=1e-14)
    assert z[0].imag == 0.0


def test_t_saturates_for_large_beta():
    a, b, tau = 2.0, 3.0, 1.0
    w = 2 * 5000.0 ** 2  # Re(beta) ~ 5000: cosh/sinh would overflow
    beta = np.sqrt(1.0 + 1j * w * tau)
    z = evaluate("T1", [a, b, 1.0, tau], [w / 6.283185307179586])
    np.testing.assert_allclose(z, [a / beta], rtol=1e-12)


def test_tlmq_saturates_for_large_beta():
    r_ion, qs, g = 1e6, 10.0, 0.9
    z = evaluate("Tlmq1", [r_ion, qs, g], FREQS)
    zq = 1.0 / (qs * (1j * omega(FREQS)) ** g)
    np.testing.assert_allclose(z, np.sqrt(r_ion * zq), rtol=1e-12)


# ---- element classes ----

FIELDS = {k: v[0] for k, v in CATALOGUE.items()}


@pytest.mark.parametrize("kind", list(FIELDS))
def test_variant_constructor_properties_and_match_args(kind):
    cls = getattr(kelvara, kind)
    names = FIELDS[kind]
    vals = [1.5 + i for i in range(len(names))]
    by_pos, by_kw = cls(*vals), cls(**dict(zip(names, vals)))
    for name, v in zip(names, vals):
        assert getattr(by_pos, name) == v == getattr(by_kw, name)
        assert type(getattr(by_pos, name)) is float
        with pytest.raises(AttributeError):
            setattr(by_pos, name, 9.0)
    assert cls.__match_args__ == tuple(names)
    assert list(inspect.signature(cls).parameters) == names
    assert isinstance(by_pos, kelvara.Element)
    if len(names) > 1:
        with pytest.raises(TypeError):
            cls(*vals[:-1])


def test_match_statement():
    subject = kelvara.Zarc(2, 1e-3, gamma=0.75)
    match subject:
        case kelvara.Element.R(r):
            found = ("R", r)
        case kelvara.Element.Zarc(r, tau_k, gamma):
            found = ("Zarc", r, tau_k, gamma)
    assert found == ("Zarc", 2.0, 1e-3, 0.75)


class Idx:
    def __index__(self):
        return 3


class Flt:
    def __float__(self):
        return 0.25


def test_constructor_converts_numbers():
    e = kelvara.Cpe(Idx(), Flt())
    assert (e.q, e.alpha) == (3.0, 0.25)
    assert kelvara.Cpe(np.float32(0.5), np.int64(2)).alpha == 2.0
    assert kelvara.R(-1.0).r == -1.0 and math.isnan(kelvara.R(float("nan")).r)


def test_constructor_conversion_error():
    with pytest.raises(TypeError) as ei:
        kelvara.Cpe(1e-3, alpha="0.8")
    assert str(ei.value).startswith("argument 'alpha': ")
    assert isinstance(ei.value.__cause__, TypeError)
    assert str(ei.value) == "argument 'alpha': " + str(ei.value.__cause__)
    with pytest.raises(TypeError):
        kelvara.Cpe(1e-3)


@pytest.mark.parametrize("obj,text", [
    (kelvara.W(2), "Element.W(aw=2.0)"),
    (kelvara.R(1e-6), "Element.R(r=1e-6)"),
    (kelvara.R(1e16), "Element.R(r=1e16)"),
    (kelvara.R(1e15), "Element.R(r=1000000000000000.0)"),
    (kelvara.R(-0.0), "Element.R(r=-0.0)"),
    (kelvara.R(0.0001), "Element.R(r=0.0001)"),
    (kelvara.R(1.5e-7), "Element.R(r=1.5e-7)"),
    (kelvara.L(math.inf), "Element.L(l=inf)"),
    (kelvara.L(-math.inf), "Element.L(l=-inf)"),
    (kelvara.C(math.nan), "Element.C(c=NaN)"),
    (kelvara.Cpe(0.001, 0.8), "Element.Cpe(q=0.001, alpha=0.8)"),
    (kelvara.Tlmq(2.5, 1e-5, 0.9), "Element.Tlmq(r_ion=2.5, qs=1e-5, gamma=0.9)"),
    (kelvara.T(1, 2, 3, 4), "Element.T(a=1.0, b=2.0, k_tau=3.0, tau=4.0)"),
])
def test_element_repr(obj, text):
    assert repr(obj) == text


@pytest.mark.parametrize("cls,name", [(kelvara.Element, "Element"), (kelvara.FitResult, "FitResult")])
def test_classes_without_constructor(cls, name):
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls()


def test_element_docstring():
    assert kelvara.Element.__doc__ == (
        "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
        "They are combined with `Series()` and `Parallel()`."
    )
