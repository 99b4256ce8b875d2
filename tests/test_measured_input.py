"""Every function that takes a measured spectrum takes the forms Circuit.fit takes
(two sequences, a kelvara.io.Spectrum, a dataframe in any column form) and refuses
the same bad input with the same message."""

import math
import warnings

import numpy as np
import pytest

import kelvara
import kelvara.io as kio
from kelvara.validate import kramers_kronig

pd = pytest.importorskip("pandas")

F = np.logspace(4, -1, 30)
TRUE = kelvara.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-4])
Z = TRUE.impedance(F) * (1.0 + 0.002 * np.random.default_rng(5).standard_normal(30))
START = TRUE.with_values([8.0, 80.0, 2e-4])
FITTED = START.fit(F, Z, guess_init=False)
DEG = math.pi / 180.0

FREQ = '"Frequency / Hz" or "frequency_hertz"'
REAL = '"Real Impedance / ohm" or "real_impedance_ohm"'
IMAG = '"Imaginary Impedance / ohm" or "imaginary_impedance_ohm"'
ABS = '"Absolute Impedance / ohm" or "absolute_impedance_ohm"'
PHASE = '"Phase / deg" or "phase_degree"'


def polar_frame(f=F, z=Z):
    """The frame of the report: modulus and phase in degrees, display names."""
    return pd.DataFrame({"Frequency / Hz": f, "Absolute Impedance / ohm": np.abs(z),
                         "Phase / deg": np.angle(z) / DEG})


def plot_entry(draw):
    def entry(f, z):
        matplotlib = pytest.importorskip("matplotlib")
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        from kelvara import plot
        try:
            drawn = draw(plot, f, z)
            return [line.get_xydata() for ax in np.atleast_1d(drawn) for line in ax.lines]
        finally:
            plt.close("all")
    return entry


def fit_bag(f, z):
    pytest.importorskip("dask.bag")
    import dask.bag as db

    import kelvara.dask

    item = ("a", f, z) if z is not None else {"id": "a", **{k: list(v) for k, v in f.items()}}
    frame = kelvara.dask.fit_bag(db.from_sequence([item], npartitions=1), START, guess_init=False)
    return frame.compute(scheduler="sync").iloc[0][["R0.r", "R1.r", "C1.c"]].to_numpy(dtype=float)


def quiet(call):
    def entry(f, z):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return call(f, z)
    return entry


# Each entry point, with what it gives back reduced to numbers, and the prefix a batch puts before a message.
ENTRIES = {
    "fit": (lambda f, z: START.fit(f, z, guess_init=False).params, ""),
    "residuals": (lambda f, z: START.residuals([10.0, 100.0, 1e-4], f, z), ""),
    "jacobian": (lambda f, z: START.jacobian([10.0, 100.0, 1e-4], f, z), ""),
    "guess": (lambda f, z: kelvara.Circuit("R0-p(R1,C1)").guess(f, z), ""),
    "compare": (lambda f, z: kelvara.compare(f, z, candidates=[START]).ranked[0].result.params, ""),
    "select": (lambda f, z: kelvara.select(f, z, candidates=[START]).best.params, ""),
    "kramers_kronig": (lambda f, z: kramers_kronig(f, z).residuals_real, ""),
    "drt": (quiet(lambda f, z: kelvara.drt(f, z).gamma), ""),
    "drt_many": (lambda f, z: kelvara.drt_many([(f, z) if z is not None else f])[0].gamma, "spectrum 0: "),
    "fit_many": (lambda f, z: kelvara.fit_many(START, [(f, z) if z is not None else f],
                                               guess_init=False)[0].params, "spectrum 0: "),
    "fit_series": (lambda f, z: kelvara.fit_series(START, [(f, z) if z is not None else f],
                                                   guess_init=False)[0].params, "spectrum 0: "),
    "fit_bag": (fit_bag, "spectrum 'a': "),
    "nyquist": (plot_entry(lambda plot, f, z: plot.nyquist(f, z)), ""),
    "bode": (plot_entry(lambda plot, f, z: plot.bode(f, z)), ""),
    "residuals_plot": (plot_entry(lambda plot, f, z: plot.residuals(f, z, FITTED)), ""),
}
def fit_dataframe(frame):
    dd = pytest.importorskip("dask.dataframe")
    import kelvara.dask

    fits = kelvara.dask.fit_dataframe(dd.from_pandas(frame, npartitions=1), START, "cell", guess_init=False)
    row = fits.compute(scheduler="sync").iloc[0]
    return {name: float(row[name]) for name in START.param_names()}


FRAMES_ONLY = {
    "fit_dataframe": (lambda frame: fit_dataframe(frame.assign(cell=7)), ""),
    "fit_many_id": (lambda frame: kelvara.fit_many(START, frame.assign(cell=7), id_column="cell",
                                                   guess_init=False)[0].params, "spectrum 0: "),
    "drt_many_id": (lambda frame: kelvara.drt_many(frame.assign(cell=7), id_column="cell")[0].gamma, "spectrum 0: "),
    "fit_series_id": (lambda frame: kelvara.fit_series(START, frame.assign(cell=7), id_column="cell",
                                                       guess_init=False)[0].params, "spectrum 0: "),
}


def same(a, b):
    if isinstance(a, dict):
        assert a.keys() == b.keys()
        a, b = [a[k] for k in sorted(a)], [b[k] for k in sorted(b)]
    if isinstance(a, list) and a and isinstance(a[0], np.ndarray):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            np.testing.assert_allclose(x, y, rtol=1e-9, atol=0)
        return
    np.testing.assert_allclose(np.asarray(a), np.asarray(b), rtol=1e-9, atol=1e-300)


def _polars_frame():
    pl = pytest.importorskip("polars")
    return pl.DataFrame({"frequency_hertz": F, "real_impedance_ohm": Z.real, "imaginary_impedance_ohm": Z.imag})


GOOD = {
    "lists": lambda: (list(F), list(Z)),
    "arrays": lambda: (F, Z),
    "io.Spectrum": lambda: (kio.Spectrum(F, Z, "CSV", ("f", "re", "im"), "x.csv"), None),
    "real and imaginary": lambda: (pd.DataFrame({"Frequency / Hz": F, "Real Impedance / ohm": Z.real,
                                                 "Imaginary Impedance / ohm": Z.imag}), None),
    "modulus and phase": lambda: (polar_frame(), None),
    "snake-case dict": lambda: ({"frequency_hertz": list(F), "absolute_impedance_ohm": list(np.abs(Z)),
                                 "phase_degree": list(np.angle(Z) / DEG)}, None),
    "polars": lambda: (_polars_frame(), None),
}


@pytest.fixture(scope="module")
def reference():
    """Each entry point on the spectrum given as two arrays."""
    return {}


@pytest.mark.parametrize("form", GOOD)
@pytest.mark.parametrize("entry", ENTRIES)
def test_every_entry_point_takes_every_form_alike(entry, form, reference):
    call, _ = ENTRIES[entry]
    if entry not in reference:
        reference[entry] = call(F, Z)
    f, z = GOOD[form]()
    if entry == "fit_bag" and z is None and not hasattr(f, "items"):
        pytest.skip("a bag item is an (id, f, z) tuple or a dict")
    same(call(f, z), reference[entry])


def test_the_polar_frame_is_the_spectrum():
    # the conversion written here: |Z| (cos phase + j sin phase), phase in degrees
    f, z = kelvara._measured.spectrum(polar_frame())
    np.testing.assert_array_equal(f, F)
    np.testing.assert_allclose(z, np.abs(Z) * (np.cos(np.angle(Z)) + 1j * np.sin(np.angle(Z))), rtol=1e-14)


@pytest.mark.parametrize("entry", FRAMES_ONLY)
@pytest.mark.parametrize("form", ["real and imaginary", "modulus and phase"])
def test_long_frames_take_every_column_form(entry, form, reference):
    call, _ = FRAMES_ONLY[entry]
    single = {"fit_many_id": "fit_many", "drt_many_id": "drt_many", "fit_series_id": "fit_series",
              "fit_dataframe": "fit"}[entry]
    if single not in reference:
        reference[single] = ENTRIES[single][0](F, Z)
    same(call(GOOD[form]()[0]), reference[single])


NAN_F = F.copy()
NAN_F[3] = math.nan
UNUSABLE = "frequencies must be finite and positive, but point 3 has frequency NaN"
BAD = {
    "lengths": ((F, Z[:-1]), ValueError, "frequencies and impedances must have the same length"),
    "text": (("abc", Z), TypeError, "Can't extract `str` to `Vec`"),
    "no impedance columns": ((pd.DataFrame({"Frequency / Hz": F, "Real Impedance / ohm": Z.real}), None),
                             ValueError, f"no impedance columns: expected {REAL} together with {IMAG}, "
                                         f"or {ABS} together with {PHASE}"),
    "no frequency column": ((pd.DataFrame({"f": F, "Real Impedance / ohm": Z.real,
                                           "Imaginary Impedance / ohm": Z.imag}), None), ValueError,
                            f"expected a dataframe with a {FREQ} column, or frequencies and impedances as two "
                            f"arguments"),
    "not numeric": ((pd.DataFrame({"Frequency / Hz": F, "Absolute Impedance / ohm": ["x"] * F.size,
                                   "Phase / deg": np.zeros(F.size)}), None), ValueError,
                    'column "Absolute Impedance / ohm" is not numeric'),
    "column lengths": (({"Frequency / Hz": list(F[:4]), "Real Impedance / ohm": [1.0] * 5,
                         "Imaginary Impedance / ohm": [0.0] * 5}, None), ValueError,
                       f"frequency column has 4 rows but {REAL} and {IMAG} have 5"),
    "no positive frequency": ((pd.DataFrame({"Frequency / Hz": np.zeros(3), "Real Impedance / ohm": np.ones(3),
                                             "Imaginary Impedance / ohm": np.zeros(3)}), None), ValueError,
                              f"no measured points: every row of the {FREQ} column is zero or negative"),
}


@pytest.mark.parametrize("bad", BAD)
@pytest.mark.parametrize("entry", ENTRIES)
def test_the_same_bad_input_gets_the_same_message_everywhere(entry, bad):
    call, prefix = ENTRIES[entry]
    (f, z), error, message = BAD[bad]
    if entry == "fit_bag" and z is None:
        f = {k: list(v) for k, v in f.items()}
        pytest.importorskip("dask.bag")
        import dask.bag as db

        import kelvara.dask
        bag = db.from_sequence([{"id": "a", **f}], npartitions=1)
        with pytest.raises(error) as info:
            kelvara.dask.fit_bag(bag, START, guess_init=False).compute(scheduler="sync")
    else:
        with pytest.raises(error) as info:
            call(f, z)
    assert str(info.value) == prefix + message


# Where the fit itself runs on such a point (its cost is not finite), it warns in the same words.
REFUSING = ["compare", "select", "kramers_kronig", "drt", "drt_many", "nyquist", "bode", "residuals_plot"]
WARNING = ["fit", "fit_many"]


@pytest.mark.parametrize("entry", REFUSING + WARNING + ["guess"])
@pytest.mark.parametrize("where", ["frequency", "impedance"])
def test_an_unusable_point_is_named_in_the_same_words(entry, where):
    call, prefix = ENTRIES[entry]
    f, z = F.copy(), Z.copy()
    if where == "frequency":
        f[3] = math.nan
        text = UNUSABLE
    else:
        z[3] = complex(math.inf, 1.0)
        text = "impedances must be finite, but point 3 has impedance inf+1j"
    if entry in WARNING:
        with pytest.warns(UserWarning) as caught:
            call(f, z)
        assert str(caught[0].message).endswith(": " + text)
        return
    with pytest.raises(ValueError) as info:
        call(f, z)
    expected = prefix + ("cannot guess from this spectrum: " if entry == "guess" else "") + text
    assert str(info.value) == expected


@pytest.mark.parametrize("bad", ["no impedance columns", "no frequency column", "not numeric"])
def test_a_dask_frame_is_refused_before_any_work_in_the_same_words(bad):
    dd = pytest.importorskip("dask.dataframe")
    import kelvara.dask

    (frame, _), error, message = BAD[bad]
    with pytest.raises(error) as info:
        kelvara.dask.fit_dataframe(dd.from_pandas(frame.assign(cell=7), npartitions=1), START, "cell")
    assert str(info.value) == message


def test_a_long_frame_keeps_a_spectrum_whose_rows_all_drop():
    # rows with a frequency not above zero are dropped as Circuit.fit drops them;
    # the spectrum left empty keeps its slot and says why
    frame = pd.concat([polar_frame().assign(cell="a"), polar_frame().assign(cell="b")], ignore_index=True)
    frame.loc[frame.cell == "b", "Frequency / Hz"] = 0.0
    frame.loc[3, "Frequency / Hz"] = -1.0
    results = kelvara.fit_many(START, frame, id_column="cell", errors="return", guess_init=False)
    assert len(results) == 2
    assert results[0].n_points == F.size - 1
    assert str(results[1]) == "frequencies and impedances must not be empty"


def test_kramers_kronig_and_drt_refuse_what_a_relative_fit_cannot_weigh():
    z = Z.copy()
    z[4] = 0.0
    for call in (kramers_kronig, kelvara.drt):
        with pytest.raises(ValueError, match=r"^impedances must be non-zero, but point 4 is zero$"):
            call(F, z)
        with pytest.raises(ValueError, match=r"^frequencies must span a range, all are equal$"):
            call(np.full(F.size, 10.0), Z)


def test_a_batch_item_is_a_pair_or_one_spectrum():
    # a frame of two rows is one spectrum, not a (frequencies, impedances) pair
    two_rows = pd.DataFrame({"Frequency / Hz": F[:2], "Real Impedance / ohm": Z.real[:2],
                             "Imaginary Impedance / ohm": Z.imag[:2]})
    stacked = np.array([F, Z], dtype=object)  # an array of the two rows is a pair
    results = kelvara.fit_many(START, [two_rows, stacked, (F, Z)], guess_init=False, errors="return")
    assert [r.n_points for r in results] == [2, F.size, F.size]


def test_keeping_the_usable_points_leaves_out_what_no_logarithm_or_weight_can_use():
    from kelvara._measured import spectrum

    f = np.array([1e3, 0.0, 10.0, np.nan, 1.0, -5.0, 2.0])
    z = np.array([1 + 1j, 2, 0, 3, 4 - 1j, 5, complex(np.inf, 1)])
    keep = (f > 0) & np.isfinite(f) & np.isfinite(z) & (np.abs(z) > 0)
    kept_f, kept_z = spectrum(f, z, check="keep_usable")
    np.testing.assert_array_equal(kept_f, f[keep])
    np.testing.assert_array_equal(kept_z, z[keep])
    with pytest.raises(ValueError, match="at least 3"):
        spectrum(f, z, check="keep_usable", min_points=3)


def test_a_spectrum_checked_once_is_read_as_the_points_themselves():
    from kelvara import _core
    from kelvara._measured import spectrum

    f = np.logspace(4, -1, 30)
    z = kelvara.Circuit("R0-p(R1,C1)").with_values([10, 100, 1e-5]).impedance(f) * (1 + 0.01j)
    data = _core._checked(f, z)
    np.testing.assert_array_equal(data.frequencies, f)
    np.testing.assert_array_equal(data.impedances, z)
    circuit = kelvara.Circuit("R0-p(R1,C1)").with_values([5, 50, 1e-4])
    assert circuit.fit(data).params == circuit.fit(f, z).params
    bad = np.where(np.arange(30) == 4, np.nan, z)
    with pytest.raises(ValueError) as checked:
        _core._checked(f, bad)
    with pytest.raises(ValueError) as door:
        spectrum(f, bad, check="usable")
    assert str(checked.value) == str(door.value)
