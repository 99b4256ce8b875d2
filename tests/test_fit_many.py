"""kelvara.fit_many: every input form, results identical to fitting each spectrum alone."""

import numpy as np
import pytest

import kelvara

F = np.logspace(5, -2, 50)
TRUTH = [1.0, 10.0, 1e-5, 0.9, 20.0, 1e-2, 0.8]
START = kelvara.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").with_values([1.5, 8, 2e-5, 0.85, 15, 5e-3, 0.85])


def spectra(n, seed=0):
    rng = np.random.default_rng(seed)
    z = START.with_values(TRUTH).impedance(F)
    return [z * (1 + 0.005 * (rng.standard_normal(len(F)) + 1j * rng.standard_normal(len(F)))) for _ in range(n)]


def same(results, expected):
    assert [repr(r) for r in results] == [repr(e) for e in expected]
    assert [r.stderr for r in results] == [e.stderr for e in expected]


@pytest.mark.parametrize("circuit, kwargs", [
    (START, {}),
    (kelvara.Circuit("two_rq"), {}),  # a guess per spectrum
    (START, {"method": "particle_swarm", "num_particles": 10, "generations": 5, "seed": 4}),
    (START, {"method": "nelder_mead", "weight": "unit"}),
])
def test_each_result_equals_the_single_fit(circuit, kwargs):
    zs = spectra(24)
    expected = [circuit.fit(F, z, **kwargs) for z in zs]
    same(kelvara.fit_many(circuit, [(F, z) for z in zs], **kwargs), expected)


def test_input_forms_agree():
    pd = pytest.importorskip("pandas")
    zs = spectra(5)
    expected = [START.fit(F, z) for z in zs]
    same(kelvara.fit_many(START, F, np.array(zs)), expected)
    frame = pd.DataFrame({"cell": np.repeat(["b", "a", "c", "e", "d"], len(F)), "Frequency / Hz": np.tile(F, 5),
                          "Real Impedance / ohm": np.concatenate(zs).real,
                          "Imaginary Impedance / ohm": np.concatenate(zs).imag})
    same(kelvara.fit_many(START, frame.sample(frac=1.0, random_state=1).sort_index(), id_column="cell"), expected)


def test_a_bad_spectrum_fails_in_its_slot_only():
    zs = spectra(3)
    batch = [(F, zs[0]), (F, zs[1][:-1]), ("text", zs[2]), (F, zs[2])]
    results = kelvara.fit_many(START, batch, errors="return")
    assert repr(results[0]) == repr(START.fit(F, zs[0])) and repr(results[3]) == repr(START.fit(F, zs[2]))
    assert isinstance(results[1], ValueError) and str(results[1]) == "frequencies and impedances must have the same length"
    assert isinstance(results[2], TypeError)
    with pytest.raises(ValueError, match="^spectrum 1: frequencies and impedances must have the same length$"):
        kelvara.fit_many(START, batch)


def test_progress_reports_and_its_exceptions_end_the_batch():
    seen = []
    kelvara.fit_many(START, [(F, z) for z in spectra(8)], progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (8, 8) and all(t == 8 and 0 <= d <= 8 for d, t in seen)

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        kelvara.fit_many(START, [(F, z) for z in spectra(4)], method="particle_swarm", generations=10**9, seed=1,
                         progress=stop)


@pytest.mark.parametrize("ids, message", [
    ([1.0, np.nan, 2.0, np.nan], r"row 50 has no id \(nan\)"),
    ([1, None, 2, None], r"row 50 has no id \(None\)"),
    (["a", 1, "a", 1], "ids of mixed types"),
    ([1, 1.0, 2, 2], "ids of mixed types"),
])
def test_missing_and_mixed_ids_are_refused(ids, message):
    pd = pytest.importorskip("pandas")
    zs = spectra(4)
    frame = pd.DataFrame({"cell": pd.Series(np.repeat(np.array(ids, dtype=object), len(F)), dtype=object),
                          "Frequency / Hz": np.tile(F, 4), "Real Impedance / ohm": np.concatenate(zs).real,
                          "Imaginary Impedance / ohm": np.concatenate(zs).imag})
    if all(isinstance(i, float) for i in ids):
        frame["cell"] = frame["cell"].astype(float)
    with pytest.raises(ValueError, match=rf"the id column 'cell': {message}"):
        kelvara.fit_many(START, frame, id_column="cell")


def test_grouping_ids_is_linear_and_keeps_first_appearance():
    from kelvara._measured import group_ids
    rng = np.random.default_rng(0)
    for ids in [rng.integers(0, 3000, 20000), rng.integers(0, 3000, 20000).astype(str)]:
        uniques, groups = group_ids(ids, "ids")
        first = {}
        for row, key in enumerate(ids.tolist()):
            first.setdefault(key, []).append(row)
        assert [u.item() if hasattr(u, "item") else u for u in uniques] == list(first)
        assert [g.tolist() for g in groups] == list(first.values())
