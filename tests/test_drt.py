"""kelvara.drt against the analytic DRT of ZARC elements, against fits of the
matching circuit on sample files, and its reports, input forms and faces
(batch, plot, command line)."""

import warnings
from dataclasses import replace

import numpy as np
import pytest
from scipy.integrate import quad
from scipy.signal import find_peaks

import kelvara
from conftest import DATA, TWO_PI, start_python
from kelvara.cli import main

FREQUENCIES = np.logspace(6, -2, 61)  # 7.5 points per decade


def zarc(f, r, tau, alpha):
    """R parallel with a CPE, written with its time constant."""
    return r / (1 + (1j * TWO_PI * np.asarray(f) * tau) ** alpha)


def zarc_gamma(ln_tau, r, tau, alpha):
    """The closed-form DRT of `zarc`."""
    s = np.sin((1 - alpha) * np.pi)
    return r / (2 * np.pi) * s / (np.cosh(alpha * (ln_tau - np.log(tau))) - np.cos((1 - alpha) * np.pi))


def noisy(z, seed, level=0.005):
    """Complex noise of modulus `level` |Z| on average, the same for every run."""
    rng = np.random.default_rng(seed)
    return z + level * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)) / np.sqrt(2)


def quiet_drt(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return kelvara.drt(*args, **kwargs)


@pytest.mark.parametrize("alpha", [0.6, 0.8, 0.95])
def test_the_reference_zarc_drt_integrates_to_r_and_reproduces_the_zarc(alpha):
    area, _ = quad(zarc_gamma, -60, 60, args=(2.5, 1e-3, alpha), points=[np.log(1e-3)], limit=200)
    assert area == pytest.approx(2.5, rel=1e-6)
    w_tau = 3.0  # Z(w) = integral gamma / (1 + i w tau) d ln tau at w = 3/tau0
    re, _ = quad(lambda y: zarc_gamma(y, 2.5, 1e-3, alpha) / (1 + (w_tau * np.exp(y - np.log(1e-3))) ** 2),
                 -60, 60, limit=200)
    assert re == pytest.approx(zarc(w_tau / (TWO_PI * 1e-3), 2.5, 1e-3, alpha).real, rel=1e-6)


CASES = {  # name: ([(R, tau), ...], alpha, tolerance in decades for the maxima of gamma)
    "one ZARC 0.7": ([(100, 1e-3)], 0.7, 0.02),
    "one ZARC 0.9": ([(100, 1e-3)], 0.9, 0.02),
    "two ZARCs 0.7": ([(100, 1e-3), (100, 10**-1.5)], 0.7, 0.04),
    "two ZARCs 0.8": ([(100, 1e-3), (100, 10**-1.5)], 0.8, 0.04),
    "two ZARCs 0.95": ([(100, 1e-3), (50, 10**-1.5)], 0.95, 0.02),
}


@pytest.mark.parametrize("case", CASES, ids=list(CASES))
def test_zarc_spectra_give_the_analytic_peaks(case):
    processes, alpha, maxima_tolerance = CASES[case]
    clean = 10 + sum(zarc(FREQUENCIES, r, tau, alpha) for r, tau in processes)
    for seed in range(4):
        result = quiet_drt(FREQUENCIES, noisy(clean, seed))
        assert len(result.peaks) == len(processes) and result.peaks_fitted, seed
        # Each process at its own time constant, with its own resistance and exponent.
        found = np.log10([p.tau for p in result.peaks])
        assert found == pytest.approx(np.log10([tau for _, tau in processes]), abs=0.02), seed
        for peak, (r, _) in zip(result.peaks, processes):
            assert peak.resistance == pytest.approx(r, rel=0.05), seed
            assert peak.alpha == pytest.approx(alpha, abs=0.05), seed
        # gamma's maxima against the analytic gamma's, which overlapping peaks pull inwards.
        fine = np.linspace(np.log(result.tau[0]), np.log(result.tau[-1]), 100001)
        truth = sum(zarc_gamma(fine, r, tau, alpha) for r, tau in processes)
        expected = np.sort(fine[find_peaks(truth)[0]]) / np.log(10)
        maxima = np.log10([p.tau_maximum for p in result.peaks])
        assert maxima == pytest.approx(expected, abs=maxima_tolerance), seed
        # Below the reporting threshold, noise leaves side lobes about a decade out.
        lobes = quiet_drt(FREQUENCIES, noisy(clean, seed), peak_threshold=0).peaks
        assert max(sorted(p.height for p in lobes)[:-len(processes)], default=0) < 0.1 * result.gamma.max()
        assert result.r_inf == pytest.approx(10, abs=0.5)
        assert result.polarisation_resistance == pytest.approx(sum(r for r, _ in processes), rel=0.02)
        analytic = sum(zarc_gamma(np.log(result.tau), r, tau, alpha) for r, tau in processes)
        relative_l2 = np.linalg.norm(result.gamma - analytic) / np.linalg.norm(analytic)
        assert relative_l2 < (0.2 if alpha < 0.9 else 0.6), (seed, relative_l2)
        assert np.abs(result.residuals).max() < 0.03
        assert result.noise == pytest.approx(0.005 / np.sqrt(2), rel=0.5)


@pytest.mark.parametrize("skewed", [
    pytest.param(lambda f: 50 / np.sqrt(1 + 1j * TWO_PI * f * 1e-3), id="Gerischer"),
    pytest.param(lambda f: 50 / (1 + (1j * TWO_PI * f * 1e-3) ** 0.9) ** 0.5, id="Havriliak-Negami"),
])
def test_a_peak_no_zarc_describes_keeps_the_maximum_and_area_of_gamma(skewed):
    f = np.logspace(5, -2, 60)
    z = 5 + skewed(f)
    result, plain = quiet_drt(f, z), quiet_drt(f, z, fit_peaks=False)
    assert not result.peaks_fitted and not plain.peaks_fitted
    (peak,) = result.peaks
    # (alpha is nan in both; from Python 3.13 dataclasses compare fields with ==, and nan != nan)
    assert replace(peak, alpha=0.0) == replace(plain.peaks[0], alpha=0.0) and np.isnan(plain.peaks[0].alpha)
    assert peak.tau == peak.tau_maximum and np.isnan(peak.alpha)
    # A skewed peak's area is still the whole resistance.
    assert peak.resistance == pytest.approx(50, rel=0.03)


def test_an_rc_element_gives_one_narrow_peak_at_its_time_constant():
    f = np.logspace(5, -2, 50)
    result = quiet_drt(f, 5 + 40 / (1 + 1j * TWO_PI * f * 2e-3))
    (peak,) = result.peaks
    assert np.log10(peak.tau) == pytest.approx(np.log10(2e-3), abs=0.002)
    assert peak.resistance == pytest.approx(40, rel=0.002) and peak.alpha == pytest.approx(1)
    assert np.log10(peak.tau_maximum) == pytest.approx(np.log10(2e-3), abs=0.015)
    above_half = result.tau[result.gamma > peak.height / 2]
    assert np.log10(above_half[-1] / above_half[0]) < 0.35  # half-height width in decades
    assert result.gamma_at([peak.tau]) == pytest.approx([peak.height], rel=1e-3)
    assert quiet_drt(f, np.full(f.size, 5.0 + 0j)).peaks == []  # a resistor alone: gamma at rounding level


def test_the_series_inductance_takes_inductive_points():
    f = np.logspace(6, -1, 60)
    z = 2e-6 * 1j * TWO_PI * f + 3 + zarc(f, 20, 1e-4, 0.9)
    assert (z.imag > 0).sum() >= 8  # the high-frequency points are inductive
    result = quiet_drt(f, z)
    assert result.inductance == pytest.approx(2e-6, rel=0.02)
    assert [p.resistance for p in result.peaks] == [pytest.approx(20, rel=0.03)]
    assert not result.unrepresented.any() and not result.notes
    without = quiet_drt(f, z, inductance=False)
    assert without.inductance == 0 and without.unrepresented[:8].all()


def test_what_a_drt_cannot_represent_is_reported_not_made_a_peak():
    f = np.logspace(5, -2, 60)
    base = 5 + zarc(f, 50, 1e-3, 0.9)
    with pytest.warns(UserWarning, match="beyond the lowest frequency"):
        tail = kelvara.drt(f, base + 30 / np.sqrt(1j * TWO_PI * f))  # semi-infinite Warburg
    assert [np.log10(p.tau) for p in tail.peaks] == [pytest.approx(-3, abs=0.05)]
    with pytest.warns(UserWarning, match="cannot be represented"):
        blocking = kelvara.drt(f, base + 1 / (1j * TWO_PI * f * 1e-2))  # a series capacitor
    assert blocking.unrepresented[-5:].all() and not blocking.unrepresented[:20].any()


def test_sample_files_agree_with_fits_of_the_matching_circuit():
    from kelvara import io

    biologic = io.read(DATA / "exampleDataBioLogic.mpt")
    fit = kelvara.Circuit("R0-p(R1,CPE1)").fit(*biologic)
    r1, q, alpha = (fit.params[k] for k in ("R1.r", "CPE1.q", "CPE1.alpha"))
    (peak,) = quiet_drt(biologic).peaks
    assert np.log10(peak.tau) == pytest.approx(np.log10((r1 * q) ** (1 / alpha)), abs=0.005)
    assert peak.resistance == pytest.approx(r1, rel=0.01) and peak.alpha == pytest.approx(alpha, abs=0.01)

    gamry = io.read(DATA / "exampleDataGamry.DTA")
    fit = kelvara.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").fit(*gamry)
    taus = sorted((fit.params[f"R{i}.r"] * fit.params[f"CPE{i}.q"]) ** (1 / fit.params[f"CPE{i}.alpha"])
                  for i in (1, 2))
    found = [p.tau for p in quiet_drt(gamry).peaks]
    assert np.log10(found) == pytest.approx(np.log10(taus), abs=0.01)

    with pytest.warns(UserWarning, match="beyond the lowest frequency"):
        kelvara.drt(io.read(DATA / "exampleData.csv"))  # its diffusion tail runs past 3 mHz


def accounted(result):
    """The peaks' resistances and the named tails against the polarisation resistance."""
    return sum(p.resistance for p in result.peaks) + result.tail_below + result.tail_above


@pytest.mark.parametrize("seed", [3, 15])
def test_a_process_next_to_the_low_frequency_edge_is_a_peak_with_a_note(seed):
    f = np.logspace(6, -2, 61)
    tau = 1 / (TWO_PI * f.min()) / 10**0.8  # 0.8 decades inside the edge
    z = noisy(10 + zarc(f, 100, 1e-3, 0.9) + zarc(f, 100, tau, 0.9), seed)
    result = quiet_drt(f, z)
    assert np.log10([p.tau for p in result.peaks]) == pytest.approx(np.log10([1e-3, tau]), abs=0.03)
    assert [p.resistance for p in result.peaks] == [pytest.approx(100, rel=0.05)] * 2
    assert [p.near_edge for p in result.peaks] == [False, True]
    assert any("within a decade of the lowest measured frequency" in note for note in result.notes)
    assert accounted(result) == pytest.approx(result.polarisation_resistance, rel=0.03)


def test_two_processes_a_decade_apart_at_five_points_per_decade_and_two_percent_noise_stay_two():
    f = np.logspace(5, -2, 36)
    z = noisy(10 + zarc(f, 100, 1e-3, 0.8) + zarc(f, 100, 1e-2, 0.8), seed=0, level=0.02)
    result = quiet_drt(f, z)
    assert np.log10([p.tau for p in result.peaks]) == pytest.approx([-3, -2], abs=0.05)
    assert [p.resistance for p in result.peaks] == [pytest.approx(100, rel=0.1)] * 2
    assert [p.alpha for p in result.peaks] == [pytest.approx(0.8, abs=0.05)] * 2


def test_sample_files_share_the_polarisation_among_their_arcs_and_named_tails():
    from kelvara import io

    # Parstat: two arcs inside the window beside a high-frequency process beyond it.
    parstat = io.read(DATA / "exampleDataParstat.txt")
    fit = kelvara.Circuit("R0-p(R1,CPE1)-p(R2,CPE2)").fit(*parstat)
    arcs = sorted(((fit.params[f"R{i}.r"] * fit.params[f"CPE{i}.q"]) ** (1 / fit.params[f"CPE{i}.alpha"]),
                   fit.params[f"R{i}.r"]) for i in (1, 2))
    result = quiet_drt(parstat)
    assert np.log10([p.tau for p in result.peaks]) == pytest.approx(np.log10([t for t, _ in arcs]), abs=0.1)
    assert [p.resistance for p in result.peaks] == [pytest.approx(r, rel=0.2) for _, r in arcs]
    assert result.tail_below > 0.3 * result.polarisation_resistance
    assert any("in a tail of gamma at time constants shorter" in note for note in result.notes)
    assert accounted(result) == pytest.approx(result.polarisation_resistance, rel=0.05)

    # exampleData.csv: the arcs are judged against gamma inside the window, not against the
    # diffusion tail beyond 3 mHz, whose gamma is ten times taller.
    spectrum = io.read(DATA / "exampleData.csv")
    result = quiet_drt(spectrum, fit_peaks=False)
    inside = (result.tau > 1 / (TWO_PI * spectrum.frequencies.max())) & \
             (result.tau < 1 / (TWO_PI * spectrum.frequencies.min()))
    assert result.gamma.max() > 5 * result.gamma[inside].max()
    maxima = find_peaks(result.gamma, prominence=0.1 * result.gamma[inside].max())[0]
    # (within two decades of the rising end, lobes of the tail need a share of the resistance)
    maxima = maxima[inside[maxima] & (result.tau[maxima] < 0.01 / (TWO_PI * spectrum.frequencies.min()))]
    assert len(maxima) == 3
    assert np.log10([p.tau for p in result.peaks]) == pytest.approx(np.log10(result.tau[maxima]), abs=0.05)
    assert accounted(result) == pytest.approx(result.polarisation_resistance, rel=1e-6)
    assert any("in a tail of gamma at time constants longer" in note for note in result.notes)


def test_input_forms_agree_and_bad_input_is_a_clear_error():
    pd = pytest.importorskip("pandas")
    from kelvara.io import Spectrum

    z = 10 + zarc(FREQUENCIES, 100, 1e-3, 0.8)
    reference = quiet_drt(FREQUENCIES, z)
    frame = pd.DataFrame({"Frequency / Hz": FREQUENCIES, "Real Impedance / ohm": z.real,
                          "Imaginary Impedance / ohm": z.imag})
    spectrum = Spectrum(FREQUENCIES, z, instrument="CSV", columns=("f", "re", "im"), path="x.csv")
    for other in (quiet_drt(list(FREQUENCIES), list(z)), quiet_drt(frame), quiet_drt(spectrum)):
        np.testing.assert_array_equal(other.gamma, reference.gamma)
    given = quiet_drt(FREQUENCIES, z, lambda_value=1e-3)
    assert given.lambda_value == 1e-3 and not given.lambda_chosen and reference.lambda_chosen

    before = z.copy()
    for kwargs, error, message in [
        ({"lambda_value": -1.0}, ValueError, "lambda must be positive"),
        ({"derivative": 3}, ValueError, "derivative must be 1 or 2"),
        ({"points_per_decade": 0}, ValueError, "points_per_decade"),
        ({"peak_threshold": 1.0}, ValueError, "peak_threshold"),
        ({"inductance": 1}, TypeError, "argument 'inductance'"),
    ]:
        with pytest.raises(error, match=message):
            kelvara.drt(FREQUENCIES, z, **kwargs)
    np.testing.assert_array_equal(z, before)
    for f, zz, message in [(FREQUENCIES[:2], z[:2], "need at least 3 points, got 2"),
                           (FREQUENCIES, z[:-1], "same length"),
                           (-FREQUENCIES, z, "frequencies must be finite and positive, but point 0"),
                           (FREQUENCIES, np.where(FREQUENCIES > 1, z, np.nan), "impedances must be finite")]:
        with pytest.raises(ValueError, match=message):
            kelvara.drt(f, zz)


def test_drt_many_equals_drt_per_spectrum_and_keeps_failures_in_place():
    clean = 10 + zarc(FREQUENCIES, 100, 1e-3, 0.8)
    spectra = [(FREQUENCIES, noisy(clean, seed)) for seed in range(5)]
    results = kelvara.drt_many(spectra + [(FREQUENCIES[:2], clean[:2])], errors="return")
    for (f, z), result in zip(spectra, results):
        single = quiet_drt(f, z)
        np.testing.assert_array_equal(result.gamma, single.gamma)
        assert result.lambda_value == single.lambda_value
    assert isinstance(results[-1], ValueError)
    with pytest.raises(ValueError, match="spectrum 5: need at least 3 points"):
        kelvara.drt_many(spectra + [(FREQUENCIES[:2], clean[:2])])
    rows = np.array([z for _, z in spectra])
    calls = []
    shared = kelvara.drt_many(FREQUENCIES, rows, progress=lambda done, total: calls.append((done, total)))
    assert [r.peaks for r in shared] == [r.peaks for r in results[:5]] and calls[-1] == (5, 5)


def test_plot_and_fit_figure_panel():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from kelvara import plot

    z = 10 + zarc(FREQUENCIES, 100, 1e-3, 0.8) + zarc(FREQUENCIES, 100, 10**-1.5, 0.8)
    result = quiet_drt(FREQUENCIES, z)
    ax = plot.drt(result, against="frequency")
    x, y = ax.lines[0].get_data()
    np.testing.assert_allclose(x, 1 / (TWO_PI * result.tau))
    assert len(ax.lines[1].get_xdata()) == 2  # the two peaks marked
    figure = plot.fit_figure(FREQUENCIES, z, drt_result=True)
    assert len(figure.axes) == 4
    with pytest.raises(ValueError, match="against"):
        plot.drt(result, against="omega")
    plt.close("all")  # other tests count the open figures


def test_command_line_writes_one_row_per_peak(tmp_path, capsys):
    path = tmp_path / "two.csv"
    z = 10 + zarc(FREQUENCIES, 100, 1e-3, 0.8) + zarc(FREQUENCIES, 100, 10**-1.5, 0.8)
    np.savetxt(path, np.column_stack([FREQUENCIES, z.real, z.imag]), delimiter=",")
    assert main(["drt", str(path), "--csv", "-"]) == 0
    captured = capsys.readouterr()
    rows = [line.split(",") for line in captured.out.strip().splitlines()]
    assert rows[0][:3] == ["file", "sweep", "peak"] and len(rows) == 3
    assert [float(row[3]) for row in rows[1:]] == [pytest.approx(1e-3, rel=0.1), pytest.approx(10**-1.5, rel=0.1)]
    assert rows[0][-1] == "alpha" and [float(row[-1]) for row in rows[1:]] == [pytest.approx(0.8, abs=0.05)] * 2
    assert "DRT of 61 points" in captured.err
    assert main(["drt", str(tmp_path / "missing.csv")]) == 2


@pytest.mark.parametrize("flip", [lambda z: -z, np.conj])
def test_data_no_causal_drt_describes_get_a_note_and_a_warning(flip):
    f = np.logspace(5, -1, 60)
    z = 10 + 100 / (1 + (1j * 2 * np.pi * f * 1e-3) ** 0.9)  # R0-Zarc, written out
    with pytest.warns(UserWarning, match="no R_inf, L and non-negative DRT describes them"):
        result = kelvara.drt(f, flip(z))
    assert not result.represented and result.misfit > 0.4
    assert kelvara.drt(f, z).represented


def test_a_window_of_hundreds_of_decades_ends_at_once():
    with pytest.raises(ValueError, match="singular|could not be chosen"):
        kelvara.drt([1e300, 1.0, 1e-300], [1.0 + 0j, 2.0 - 1j, 3.0 - 0.1j])


def test_fewer_than_one_basis_function_per_decade_is_refused():
    f = np.logspace(5, -1, 30)
    with pytest.raises(ValueError, match="points_per_decade must be 0"):
        kelvara.drt(f, 10 + 100 / (1 + 1j * f / 10), points_per_decade=1e-9)


def test_a_long_drt_stops_at_ctrl_c():
    proc = start_python("""
        import numpy as np, kelvara, sys
        f = np.logspace(7, -3, 400_000)
        z = 10 + 100 / (1 + 1j * f / 10)
        print("ready", flush=True)
        try:
            kelvara.drt(f, z)
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    assert proc.stdout.readline().strip() == "ready"
    import signal
    import time
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert "interrupted" in out, err
