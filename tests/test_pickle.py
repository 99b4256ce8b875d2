"""Pickling and copying of Circuit, the element classes and FitResult."""

import copy
import multiprocessing
import pickle

import numpy as np
import pytest

import kelvara
from conftest import assert_ok, run_python

F = np.logspace(5, -2, 40)
CIRCUITS = [
    kelvara.Circuit("R0-p(R1,CPE1)"),
    kelvara.Circuit("randles"),
    kelvara.Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)").with_values([1e-6, 0.1, 1, 1e-4, 0.9, 2, 1, 10, 1e-3, 0.8]),
    # unlabelled leaves and a label used twice
    kelvara.Series([kelvara.R(1.0), kelvara.Parallel([kelvara.Series([kelvara.R(2.0), kelvara.W(0.5)]),
                                                      kelvara.Cpe(1e-4, 0.8)]), kelvara.Circuit("R0-p(R1,C1)")]),
    kelvara.Series([]),
]
ELEMENTS = [kelvara.R(1.5), kelvara.C(1e-3), kelvara.L(2e-6), kelvara.La(1e-6, 0.7), kelvara.Cpe(1e-4, 0.8),
            kelvara.W(0.5), kelvara.Wo(1.0, 10.0), kelvara.Ws(2.0, 3.0), kelvara.G(1.0, 2.0),
            kelvara.Gs(1.0, 2.0, 0.5), kelvara.K(1.0, 1e-3), kelvara.Zarc(1.0, 1e-3, 0.8),
            kelvara.Tlmq(1.0, 1e-3, 0.8), kelvara.T(1.0, 2.0, 3.0, 4.0)]
ATTRIBUTES = ("params", "stderr", "success", "iterations", "impedance_evals", "cost", "chi_square", "message")


def same_circuit(a, b):
    assert type(b) is kelvara.Circuit
    assert repr(a) == repr(b) and a.notation == b.notation
    assert a.param_names() == b.param_names() and a.param_values() == b.param_values()
    np.testing.assert_array_equal(a.impedance(F), b.impedance(F))


def rq_spectrum():
    z = kelvara.Circuit("R0-p(R1,CPE1)").with_values([1.0, 10.0, 1e-4, 0.9]).impedance(F)
    return z * (1 + 0.01 * np.random.default_rng(3).standard_normal(len(F)))


@pytest.mark.parametrize("clone", [lambda x: pickle.loads(pickle.dumps(x, protocol=2)),
                                   lambda x: pickle.loads(pickle.dumps(x)), copy.copy, copy.deepcopy])
def test_round_trips(clone):
    for circuit in CIRCUITS:
        same_circuit(circuit, clone(circuit))
    for element in ELEMENTS:
        again = clone(element)
        assert type(again) is type(element) and repr(again) == repr(element)
    result = CIRCUITS[0].fit(F, rq_spectrum())
    again = clone(result)
    assert repr(again) == repr(result)
    assert [getattr(again, a) for a in ATTRIBUTES] == [getattr(result, a) for a in ATTRIBUTES]
    same_circuit(result.circuit, again.circuit)


def test_explicit_values_flag_survives_and_fits_are_bit_identical():
    z = rq_spectrum()
    for circuit in (kelvara.Circuit("R0-p(R1,CPE1)"), kelvara.Circuit("R0-p(R1,CPE1)").with_values([2, 5, 1e-3, 0.8])):
        again = pickle.loads(pickle.dumps(circuit))
        assert repr(again.fit(F, z)) == repr(circuit.fit(F, z))  # guess or the given start, as before


def _fit_in_worker(circuit):
    return circuit.fit(F, rq_spectrum())


def test_process_pool_carries_circuits_and_results():
    expected = _fit_in_worker(CIRCUITS[0])
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        results = pool.map(_fit_in_worker, [CIRCUITS[0]] * 2)
    assert [repr(r) for r in results] == [repr(expected)] * 2


@pytest.mark.parametrize("state, message", [
    (("kelvara.Circuit", 2, [], False), "it was pickled in format 2, and this version of kelvara reads format 1"),
    (("kelvara.FitResult", 1, [], False), "the pickled state is not one of this class"),
    (("kelvara.Circuit", 1, [("R", "R0", (1.0, 2.0))], False), "element R needs a tuple of 1 values"),
    (("kelvara.Circuit", 1, [("Q", "Q0", (1.0,))], False), 'unknown element code "Q"'),
    (("kelvara.Circuit", 1, [[[("R", "R0", ("1",))]]], False), "expected a float, got 'str'"),
    (("kelvara.Circuit", 1, [], 1), "explicit_values must be a bool"),
    ("nonsense", "the pickled state is not a tuple starting with its format"),
    (("kelvara.Circuit", 2**70, [], False), "it was pickled in an unknown format, and this version of kelvara reads format 1"),
    # labels must read back as the element they label: the notation would otherwise parse to another circuit
    (("kelvara.Circuit", 1, [("R", "C5", (1.0,))], False), '"C5" is not a label of an element R'),
    (("kelvara.Circuit", 1, [("R", "R0-p(", (1.0,))], False), '"R0-p(" is not a label of an element R'),
    (("kelvara.Circuit", 1, [[[("R", "R0\nX", (1.0,))]]], False), '"R0\\nX" is not a label of an element R'),
    (("kelvara.Circuit", 1, [("Cpe", "R1", (1.0, 0.5))], False), '"R1" is not a label of an element Cpe'),
    (("kelvara.Circuit", 1, [("R", "R1-C1", (1.0,))], False), '"R1-C1" is not a label of an element R'),
])
def test_foreign_or_damaged_state_is_refused(state, message):
    with pytest.raises(ValueError) as info:
        kelvara._core._restore_circuit(state)
    assert str(info.value) == "cannot restore kelvara.Circuit: " + message


def test_labels_of_any_spelling_of_the_code_are_kept():
    state = ("kelvara.Circuit", 1, [("Cpe", "CPE1", (1e-4, 0.8)), ("Zarc", "Zarc12", (1.0, 1e-3, 0.8))], False)
    circuit = kelvara._core._restore_circuit(state)
    assert circuit.param_names()[:2] == ["CPE1.q", "CPE1.alpha"] and circuit.notation == "CPE1-Zarc12"


@pytest.mark.parametrize("index, value, message", [
    (3, ["R0.r", "R1.r", "CPE1.alpha", "CPE1.q"], 'parameter name "CPE1.alpha" does not match the circuit\'s "CPE1.q"'),
    (6, -1, "a count must be from 0 to 2**64 - 1"),
    (7, 2**64, "a count must be from 0 to 2**64 - 1"),
])
def test_damaged_fit_result_state_is_refused(index, value, message):
    state = list(CIRCUITS[0].fit(F, rq_spectrum()).__reduce__()[1][0])
    state[index] = value
    with pytest.raises(ValueError) as info:
        kelvara._core._restore_fit_result(tuple(state))
    assert str(info.value) == "cannot restore kelvara.FitResult: " + message


def test_deeply_nested_state_is_refused():
    tree = [("R", "R0", (1.0,))]
    for _ in range(101):
        tree = [[tree]]
    with pytest.raises(ValueError, match="nested more than 100 levels deep"):
        kelvara._core._restore_circuit(("kelvara.Circuit", 1, tree, False))


def test_damaged_states_never_crash():
    # Random pickle bytes mostly exercise the unpickler itself (and can make it allocate without
    # bound); what this module must survive is any state reaching its restore functions.
    proc = run_python("""
        import random, numpy as np, kelvara
        f = np.logspace(3, -1, 20)
        c = kelvara.Circuit("L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)").with_values([1e-6, 0.1, 1, 1e-4, 0.9, 2, 1, 10, 1e-3, 0.8])
        objects = [c, kelvara.Zarc(1.0, 1e-3, 0.8), c.fit(f, c.impedance(f))]
        rng = random.Random(7)
        junk = [None, -1, 2**70, 1e308, float("nan"), "", "R", "CPE", "\\udc80", b"R", (), [], (1.0,), [[]], True]

        def damaged(x):
            if rng.random() < 0.08:
                return rng.choice(junk)
            if isinstance(x, (list, tuple)):
                items = [damaged(v) for v in x]
                if items and rng.random() < 0.05:
                    del items[rng.randrange(len(items))]
                return type(x)(items)
            return x

        for obj in objects:
            restore, (state,) = obj.__reduce__()
            for _ in range(3000):
                try:
                    repr(restore(damaged(state)))
                except (ValueError, TypeError, UnicodeError):
                    pass
        print("ok")
    """)
    assert_ok(proc)


@pytest.mark.parametrize("flags", [[("misfit", "a plain tuple")], ["misfit"], [None]])
def test_a_restored_result_takes_only_flags(flags):
    f = np.logspace(4, -1, 30)
    result = kelvara.Circuit("R0-p(R1,C1)").with_values([5.0, 50.0, 1e-3]).fit(f, 10 + 100 / (1 + 1j * f / 10))
    restore, (state,) = result.__reduce__()[:2]
    state = list(state)
    diagnostics = list(state[12])
    diagnostics[5] = flags
    state[12] = tuple(diagnostics)
    with pytest.raises(TypeError, match="Flag objects"):
        restore(tuple(state))
