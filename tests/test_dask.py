"""kelvara.dask on a two-process LocalCluster, row by row against serial Circuit.fit."""

import math

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")

import dask.bag as db  # noqa: E402
import dask.dataframe as dd  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

import kelvara  # noqa: E402
import kelvara.dask as kd  # noqa: E402
from conftest import assert_ok, run_python  # noqa: E402

NOTATION = "R0-p(R1,CPE1)-p(R2,CPE2)"
TRUTH = [0.2, 1.0, 1e-5, 0.9, 5.0, 1e-2, 0.7]
START = kelvara.Circuit(NOTATION).with_values([0.3, 2.0, 3e-5, 0.8, 3.0, 3e-3, 0.8])
N_SPECTRA = 36
COLUMNS = (kd.FREQUENCY, kd.REAL, kd.IMAGINARY)
STATISTICS = ["n_free", "reduced_chi_square", "misfit", "aic", "aicc", "bic"]


def spectra():
    """(id, f, z): two-arc spectra of varying length, values and noise."""
    rng = np.random.default_rng(11)
    model = kelvara.Circuit(NOTATION)
    out = []
    for i in range(N_SPECTRA):
        n = int(rng.integers(25, 70))
        f = np.logspace(5, -2, n)
        true = [v * 10 ** rng.uniform(-0.3, 0.3) if k not in (3, 6) else v for k, v in enumerate(TRUTH)]
        z = model.with_values(true).impedance(f)
        z = z * (1 + 0.01 * (rng.standard_normal(n) + 1j * rng.standard_normal(n)))
        out.append((f"cell-{i:02d}", f, z))
    return out


SPECTRA = spectra()


def long_frame():
    parts = [pd.DataFrame({"cell": key, COLUMNS[0]: f, COLUMNS[1]: z.real, COLUMNS[2]: z.imag})
             for key, f, z in SPECTRA]
    return pd.concat(parts, ignore_index=True)


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as cluster:
        with Client(cluster) as c:
            yield c


def assert_rows_match_serial(frame, id_column, circuit, **fit_kwargs):
    """Every row equals Circuit.fit on the same spectrum, bit for bit; every spectrum once."""
    assert sorted(frame[id_column]) == sorted(key for key, _, _ in SPECTRA)
    rows = frame.set_index(id_column)
    names = circuit.param_names()
    for key, f, z in SPECTRA:
        want = circuit.fit(f, z, **fit_kwargs)
        row = rows.loc[key]
        assert bool(row["success"]) == want.success
        assert row["chi_square"] == want.chi_square
        assert row["message"] == want.message
        np.testing.assert_array_equal([row[n] for n in names], [want.params[n] for n in names], err_msg=key)
        stderr = want.stderr or {}
        np.testing.assert_array_equal([row[f"{n}_stderr"] for n in names],
                                      [stderr.get(n, math.nan) for n in names], err_msg=key)
        np.testing.assert_array_equal([row[n] for n in STATISTICS], [getattr(want, n) for n in STATISTICS])
        if "flags" in row:
            assert row["verdict"] == want.verdict
            assert row["flags"] == ";".join(flag.code for flag in want.flags)


def test_bag_matches_serial_fits(client):
    # tuples and both kinds of dicts in one bag
    items = []
    for k, (key, f, z) in enumerate(SPECTRA):
        if k % 3 == 0:
            items.append((key, f, z))
        elif k % 3 == 1:
            items.append({"id": key, "frequencies": f, "impedances": z})
        else:
            items.append({"id": key, COLUMNS[0]: f, COLUMNS[1]: z.real, COLUMNS[2]: z.imag})
    bag = db.from_sequence(items, npartitions=5)
    result = kd.fit_bag(bag, START)
    frame = result.compute()
    assert list(frame["id"]) == [key for key, _, _ in SPECTRA]        # bag order
    assert list(frame.columns) == list(result.columns)
    assert dict(frame.dtypes) == dict(result.dtypes)
    assert_rows_match_serial(frame, "id", START)


def test_dataframe_matches_serial_fits(client):
    # from_pandas cuts by rows, so spectra straddle partitions until shuffled or indexed
    ddf = dd.from_pandas(long_frame(), npartitions=4, sort=False)
    guessed = kelvara.Circuit(NOTATION)   # no values: the network guesses each start
    for result, circuit, kwargs in [
        (kd.fit_dataframe(ddf, START, "cell", shuffle=True, weight="unit", max_iterations=40), START,
         {"weight": "unit", "max_iterations": 40}),
        (kd.fit_dataframe(ddf.set_index("cell"), guessed, "cell", flags=False), guessed, {}),
    ]:
        frame = result.compute()
        assert dict(frame.dtypes) == dict(result.dtypes)
        assert ("flags" in frame) is (circuit is START)
        assert_rows_match_serial(frame, "cell", circuit, **kwargs)


def test_straddling_spectra_raise():
    ddf = dd.from_pandas(long_frame(), npartitions=3, sort=False)
    with pytest.raises(ValueError, match="split over several partitions"):
        kd.fit_dataframe(ddf, START, "cell").compute(scheduler="sync")


def test_meta_needs_no_computation():
    def boom(x):
        raise AssertionError("computed while building the graph")

    bag = db.from_sequence(SPECTRA[:4], npartitions=2).map(boom)
    ddf = dd.from_pandas(long_frame(), npartitions=2, sort=False)
    ddf = ddf.map_partitions(boom, meta=ddf._meta)
    names = START.param_names()
    want = ["success", "chi_square", "message", *names, *[f"{n}_stderr" for n in names], *STATISTICS,
            "verdict", "flags"]
    assert list(kd.fit_bag(bag, START).columns) == ["id", *want]
    assert list(kd.fit_dataframe(ddf, START, "cell").columns) == ["cell", *want]


def test_failed_spectrum(client):
    key, f, z = SPECTRA[0]
    items = [("short", f[:5], z), *SPECTRA[1:4]]    # lengths differ: ValueError
    frame = kd.fit_bag(db.from_sequence(items, npartitions=2), START, errors="return").compute()
    bad = frame.iloc[0]
    assert not bad["success"] and "ValueError" in bad["message"] and "same length" in bad["message"]
    assert math.isnan(bad["chi_square"]) and math.isnan(bad["R0.r"]) and math.isnan(bad["aicc"])
    assert pd.isna(bad["n_free"]) and bad["verdict"] == "failed" and bad["flags"] == ""
    assert frame["success"].iloc[1:].all()
    with pytest.raises(ValueError, match="spectrum 'short': .*same length"):
        kd.fit_bag(db.from_sequence(items, npartitions=2), START).compute()


def test_import_kelvara_leaves_dask_alone():
    assert_ok(run_python("""
        import sys
        import kelvara
        kelvara.Circuit("R0-p(R1,C1)").impedance([1.0, 10.0])
        assert not [m for m in sys.modules if m == "dask" or m.startswith(("dask.", "distributed"))], sorted(sys.modules)
    """))



@pytest.mark.parametrize("name", ["success", "message", "R0.r", "R0.r_stderr", "bic", "flags"])
def test_an_id_named_like_a_result_column_is_refused(name):
    frame = long_frame().rename(columns={"cell": name})
    with pytest.raises(ValueError, match=f"the id column '{name}' has the name of a result column"):
        kd.fit_dataframe(dd.from_pandas(frame, npartitions=1), START, name)


def test_missing_and_mixed_ids_are_refused_in_partitions():
    frame = long_frame()
    frame["cell"] = frame["cell"].astype(object)
    frame.loc[frame.index[-1], "cell"] = 7
    import dask
    with dask.config.set({"dataframe.convert-string": False}), pytest.raises(ValueError, match="ids of mixed"):
        kd.fit_dataframe(dd.from_pandas(frame, npartitions=1), START, "cell").compute(scheduler="sync")


def test_a_bag_takes_the_sweeps_of_a_multi_loop_file_as_they_are(client):
    import warnings

    import kelvara.io
    from conftest import DATA

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the rows of zero frequency left out
        sweeps = kelvara.io.read_all(DATA / "hybrid-drt" / "Sample2_PEIS_AtRest.csv")
    circuit = kelvara.Circuit("R0-p(R1,CPE1)-CPE2").with_values([50.0, 400.0, 1e-5, 0.7, 1e-3, 0.5])
    frame = kd.fit_bag(db.from_sequence(sweeps, npartitions=3), circuit).compute()
    assert list(frame["id"]) == [f"{s.path}#{s.sweep}" for s in sweeps]
    serial = [circuit.fit(*s) for s in sweeps]
    assert list(frame["R1.r"]) == [r.params["R1.r"] for r in serial]
