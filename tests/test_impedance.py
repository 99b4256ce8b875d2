import math

import numpy as np
import pytest

import kelvara
from conftest import parallel

VALUES = [0.5, 3.0, 2e-4]
NO_COLUMN = (
    'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" or '
    '"frequency_hertz" column'
)


def reference(f):
    w = np.asarray(f, dtype=float) * 6.283185307179586
    with np.errstate(all="ignore"):
        return VALUES[0] + parallel(VALUES[1], 1 / (1j * w * VALUES[2]))


@pytest.fixture
def circuit():
    return kelvara.Circuit("R0-(R1,C1)").with_values(VALUES)


def test_empty_input(circuit):
    z = circuit.impedance([])
    assert isinstance(z, np.ndarray) and z.dtype == np.complex128 and z.shape == (0,)
    assert circuit.impedance(np.array([])).shape == (0,)


@pytest.mark.parametrize("n", [1, 999, 1000, 4099])
def test_order_and_values_around_parallel_cutover(circuit, n):
    rng = np.random.default_rng(n)
    f = list(10 ** rng.uniform(-3, 6, n))
    z = circuit.impedance(f)
    assert z.shape == (n,) and z.dtype == np.complex128
    np.testing.assert_allclose(z, reference(f), rtol=1e-12)
    if n <= 1000:
        one_by_one = np.array([circuit.impedance([x])[0] for x in f])
        np.testing.assert_array_equal(z, one_by_one)


@pytest.mark.parametrize("make", [
    lambda v: np.array(v, dtype=np.float64),
    lambda v: np.array(v, dtype=np.float32),
    lambda v: np.array(v, dtype=np.int64),
    lambda v: np.repeat(np.array(v, dtype=np.float64), 3)[::3],
    lambda v: np.array(v, dtype=np.float64)[::-1][::-1],
    lambda v: tuple(v),
    lambda v: range(1, len(v) + 1),
], ids=["float64", "float32", "int64", "strided", "reversed-view", "tuple", "range"])
def test_array_like_inputs_match_lists(circuit, make):
    base = [1, 2, 3, 10, 250, 4096]
    arr = make(base)
    expected = circuit.impedance([float(x) for x in arr])
    np.testing.assert_array_equal(circuit.impedance(arr), expected)
    np.testing.assert_allclose(expected, reference([float(x) for x in arr]), rtol=1e-12)


def test_keyword_argument(circuit):
    np.testing.assert_allclose(circuit.impedance(frequencies=[10.0]), reference([10.0]), rtol=1e-12)


def test_dict_dataframe_keeps_every_row(circuit):
    f = [10.0, 0.0, -5.0, 1e3]
    z = circuit.impedance({"frequency_hertz": f, "real_impedance_ohm": [1, 2, 3, 4]})
    assert z.shape == (4,)
    np.testing.assert_allclose(z[[0, 2, 3]], reference(f)[[0, 2, 3]], rtol=1e-12)
    assert math.isnan(z[1].real) and math.isnan(z[1].imag)


def test_display_column_name_wins(circuit):
    frame = {"Frequency / Hz": [1.0, 2.0], "frequency_hertz": [100.0]}
    np.testing.assert_allclose(circuit.impedance(frame), reference([1.0, 2.0]), rtol=1e-12)


def test_pandas_dataframe(circuit):
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"Frequency / Hz": [5.0, 0.0, -1.0, 50.0]})
    z = circuit.impedance(frame)
    assert z.shape == (4,)
    np.testing.assert_allclose(z[[0, 2, 3]], reference([5.0, -1.0, 50.0]), rtol=1e-12)


@pytest.mark.parametrize("arg", [5, None, "abc", {"freq": [1.0]}, [1.0, "2"], object()])
def test_no_frequencies(circuit, arg):
    with pytest.raises(ValueError) as ei:
        circuit.impedance(arg)
    assert str(ei.value) == NO_COLUMN


@pytest.mark.parametrize("frame,name", [
    ({"Frequency / Hz": ["a", "b"]}, "Frequency / Hz"),
    ({"Frequency / Hz": "12"}, "Frequency / Hz"),
    ({"frequency_hertz": 3.0}, "frequency_hertz"),
])
def test_non_numeric_column(circuit, frame, name):
    with pytest.raises(ValueError) as ei:
        circuit.impedance(frame)
    assert str(ei.value) == f'column "{name}" is not numeric'


def test_special_frequencies_do_not_crash(circuit):
    f = [math.nan, math.inf, -math.inf, 0.0, -1.0, 1e-300, 1e300]
    z = circuit.impedance(f)
    assert z.shape == (7,)
    assert math.isnan(z[0].real)
    np.testing.assert_allclose(z[4], reference([-1.0])[0], rtol=1e-12)


@pytest.mark.parametrize("text,values", [("C1", [1e-3]), ("CPE1", [1e-3, 0.8])])
def test_capacitive_elements_at_zero_frequency_give_nan(text, values):
    z = kelvara.Circuit(text).with_values(values).impedance([0.0])
    assert math.isnan(z[0].real) and math.isnan(z[0].imag)


def test_input_not_modified_and_result_owns_data(circuit):
    lst = [1.0, 2.0, 3.0]
    arr = np.array(lst)
    z1 = circuit.impedance(lst)
    z2 = circuit.impedance(arr)
    assert lst == [1.0, 2.0, 3.0]
    np.testing.assert_array_equal(arr, [1.0, 2.0, 3.0])
    for z in (z1, z2):
        assert z.flags.owndata and z.flags.writeable and z.flags.c_contiguous and z.base is None
        assert not np.shares_memory(z, arr)
    z1[0] = 0
    np.testing.assert_array_equal(z2, circuit.impedance(lst))


def test_forked_children_evaluate_in_parallel_without_hanging(tmp_path):
    """A child made by fork() inherits the parent's worker pool but not its
    threads; large evaluations there must still finish."""
    import subprocess
    import sys
    import textwrap

    script = tmp_path / "fork_child.py"
    script.write_text(
        textwrap.dedent(
            """
            import multiprocessing as mp
            import numpy as np
            import kelvara

            circuit = kelvara.Circuit("R0-(R1-W1,CPE1)")
            f = np.logspace(-2, 5, 5000)
            expected = circuit.impedance(f)

            def work(_):
                return bool(np.array_equal(circuit.impedance(f), expected))

            if __name__ == "__main__":
                with mp.get_context("fork").Pool(2) as pool:
                    print(all(pool.map(work, range(4))))
            """
        )
    )
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "True", done.stderr


def test_repeated_grid_follows_changes_of_values_exponents_and_grid():
    # One grid evaluated again and again (the calling thread keeps its
    # frequency terms): new values, exponents that need other terms, a grid
    # changed in place and a grid of another length all give fresh results.
    from reference_models import randles

    f = np.logspace(-2, 5, 50)
    base = kelvara.Circuit("R0-p(R1-W1,CPE1)")
    for values in ([0.1, 2.0, 0.5, 1e-4, 1.0], [0.1, 2.0, 0.5, 1e-4, 0.85], [0.1, 2.0, 0.5, 1e-4, 0.5],
                   [0.3, 5.0, 0.2, 3e-4, 0.7]):
        np.testing.assert_allclose(base.with_values(values).impedance(f), randles(f, *values), rtol=1e-12)
    circuit = base.with_values([0.3, 5.0, 0.2, 3e-4, 0.7])
    circuit.impedance(f)
    f[7] *= 3.0
    np.testing.assert_allclose(circuit.impedance(f), randles(f, 0.3, 5.0, 0.2, 3e-4, 0.7), rtol=1e-12)
    np.testing.assert_allclose(circuit.impedance(f[:20]), randles(f[:20], 0.3, 5.0, 0.2, 3e-4, 0.7), rtol=1e-12)
