import importlib
import os

import pytest

import kelvara
from conftest import assert_ok, run_python

KINDS = ["R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T", "H"]

MODELS = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}


def test_all_lists_the_classes_functions_and_element_kinds_in_order():
    assert kelvara.__all__ == ["Element", "Circuit", "FitResult", "Series", "Parallel"] + KINDS
    for name in kelvara.__all__:
        assert hasattr(kelvara, name)


@pytest.mark.parametrize("kind", KINDS)
def test_module_attribute_is_element_variant(kind):
    cls = getattr(kelvara, kind)
    assert cls is getattr(kelvara.Element, kind)
    assert issubclass(cls, kelvara.Element)
    assert cls.__name__ == "Element_" + kind


def test_class_identity():
    assert kelvara.Circuit.__name__ == "Circuit"
    assert kelvara.Circuit.__module__ == "kelvara"
    assert kelvara.Element.__module__ == "kelvara"
    assert kelvara.Circuit.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (kelvara.Circuit,), {})


def test_panic_exception_is_not_an_exception():
    assert issubclass(kelvara.PanicException, BaseException)
    assert not issubclass(kelvara.PanicException, Exception)


def test_second_import_returns_same_module():
    assert importlib.import_module("kelvara") is kelvara
    proc = run_python(
        """
        import sys, kelvara as a
        del sys.modules["kelvara"]
        import kelvara as b
        assert b.Circuit is a.Circuit and b.Series is a.Series, (a, b)
        assert b.Circuit("R0").param_names() == ["R0.r"]
        """
    )
    assert_ok(proc)


def test_import_does_not_pull_in_numpy():
    proc = run_python("import sys, kelvara\nassert 'numpy' not in sys.modules, 'numpy imported'\n")
    assert_ok(proc)


def test_subinterpreter_import_fails_with_import_error():
    mod = None
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            mod = importlib.import_module(name)
            break
        except ImportError:
            continue
    if mod is None:
        pytest.skip("no sub-interpreter module in this Python")
    path = os.path.dirname(os.path.dirname(os.path.abspath(kelvara.__file__)))  # the folder holding the package
    inner = (
        f"import sys\nsys.path.insert(0, {path!r})\n"
        "try:\n    import kelvara\n"
        "except ModuleNotFoundError:\n    raise\n"
        "except ImportError:\n    pass\n"
        "else:\n    raise RuntimeError('kelvara imported in a sub-interpreter')\n"
    )
    proc = run_python(
        f"""
        import sys, kelvara, {mod.__name__} as interp
        iid = interp.create()
        res = interp.run_string(iid, {inner!r})
        assert res is None, res  # 3.13 returns an error snapshot instead of raising
        print("sub-interpreter import refused")
        """
    )
    assert_ok(proc)
    assert "refused" in proc.stdout


# ---- registry names accepted by the constructor ----


@pytest.mark.parametrize("name,text", sorted(MODELS.items()))
def test_registry_name_builds_model_circuit(name, text):
    expected = kelvara.Circuit(text)
    for spelling in (name, name.upper(), "  " + name.capitalize() + "\n"):
        c = kelvara.Circuit(spelling)
        assert c.param_names() == expected.param_names()
        assert c.param_values() == expected.param_values()


@pytest.mark.parametrize("text", ["rc", "RC", "Rc", "\u2003rc\u3000", "\trC "])
def test_registry_name_rc_spellings(text):
    assert kelvara.Circuit(text).param_names() == ["R0.r", "R1.r", "C1.c"]


@pytest.mark.parametrize("text", [" R0", "r c", "rc_", "rcl", "randles-R9"])
def test_non_registry_text_is_not_trimmed(text):
    with pytest.raises(ValueError):
        kelvara.Circuit(text)


def test_ml_circuits_on_class_and_instance():
    names = kelvara.Circuit.ml_circuits()
    assert names == list(MODELS)
    assert kelvara.Circuit("R0").ml_circuits() == names
    names.append("junk")
    assert kelvara.Circuit.ml_circuits() == list(MODELS)
    assert kelvara.Circuit.ml_circuits.__doc__ == (
        "Names accepted by the constructor that have trained initial-parameter\n"
        "models, and so get a guessed starting point from `fit()` by default."
    )


def test_submodules_are_attributes_of_a_bare_import():
    proc = run_python("""
        import kelvara
        assert kelvara.io.read.__module__ == "kelvara.io" and callable(kelvara.validate.kramers_kronig)
        try:
            kelvara.nonexistent
        except AttributeError as error:
            assert "no attribute 'nonexistent'" in str(error)
    """)
    assert_ok(proc)
