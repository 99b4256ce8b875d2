"""kelvara.plot: the axes each function draws, and that matplotlib stays optional."""

import numpy as np
import pytest

import kelvara
import kelvara.io
from conftest import assert_ok, run_python
from kelvara.validate import kramers_kronig

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from kelvara import plot  # noqa: E402

F = np.logspace(5, -1, 40)
TRUE = kelvara.Circuit("R0-p(R1,C1)").with_values([10.0, 100.0, 1e-5])


@pytest.fixture(scope="module")
def spectrum():
    rng = np.random.default_rng(0)
    z = TRUE.impedance(F)
    return F, z + 0.005 * np.abs(z) * (rng.standard_normal(F.size) + 1j * rng.standard_normal(F.size))


@pytest.fixture(scope="module")
def fit(spectrum):
    return kelvara.Circuit("R0-p(R1,C1)").with_values([8.0, 80.0, 2e-5]).fit(*spectrum)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def markers_and_lines(ax):
    lines = ax.get_lines()
    markers = [ln for ln in lines if ln.get_linestyle() == "None"]
    return markers, [ln for ln in lines if ln.get_linestyle() != "None"]


@pytest.mark.parametrize("with_fit", [False, True])
def test_nyquist(spectrum, fit, with_fit):
    f, z = spectrum
    ax = plot.nyquist(f, z, fit if with_fit else None, label="cell 1")
    assert ax.get_xlabel() == "Z\u2032 / \u03a9" and ax.get_ylabel() == "\u2212Z\u2033 / \u03a9"
    assert ax.get_aspect() == 1.0
    markers, lines = markers_and_lines(ax)
    assert len(markers) == 1 and len(lines) == int(with_fit)
    np.testing.assert_allclose(markers[0].get_xdata(), z.real)
    np.testing.assert_allclose(markers[0].get_ydata(), -z.imag)
    if with_fit:  # the model line spans the data's frequencies
        zm = fit.circuit.impedance([F.min(), F.max()])
        x = lines[0].get_xdata()
        assert sorted([x[0], x[-1]]) == pytest.approx(sorted(zm.real))
        assert [t.get_text() for t in ax.get_legend().get_texts()] == ["cell 1", "fit: R0-p(R1,C1)"]


def test_a_spectrum_stands_for_frequencies_and_impedances(spectrum, fit):
    f, z = spectrum
    read = kelvara.io.Spectrum(f, z, "CSV", ("f", "re", "im"), "cell.csv")
    for ax in (plot.nyquist(read, fit), plot.nyquist(read, result=fit)):
        markers, lines = markers_and_lines(ax)
        np.testing.assert_allclose(markers[0].get_xdata(), z.real)
        assert len(lines) == 1
    real, _ = [ln for ln in plot.residuals(read, fit).get_lines() if len(ln.get_xdata()) == F.size]
    np.testing.assert_allclose(real.get_ydata(), 100 * ((z - fit.circuit.impedance(f)) / np.abs(z)).real[::-1])
    with pytest.raises(TypeError, match="twice"):
        plot.nyquist(read, fit, fit)


def test_functions_draw_on_given_axes(spectrum, fit):
    f, z = spectrum
    fig, axes = plt.subplots(2, 2)
    assert plot.nyquist(f, z, fit, ax=axes[0, 0]) is axes[0, 0]
    assert plot.bode(f, z, fit, axes=(axes[0, 1], axes[1, 1])) == (axes[0, 1], axes[1, 1])
    assert plot.residuals(f, z, fit, ax=axes[1, 0]) is axes[1, 0]
    assert len(fig.axes) == 4 and all(ax.has_data() for ax in fig.axes)


def test_bode(spectrum, fit):
    f, z = spectrum
    mag, phase = plot.bode(f, z, fit)
    assert mag.get_xscale() == mag.get_yscale() == "log" and phase.get_xscale() == "log"
    assert mag.get_ylabel() == "|Z| / \u03a9" and phase.get_ylabel() == "\u2212phase / \u00b0"
    assert phase.get_xlabel() == "f / Hz"
    for ax in (mag, phase):
        markers, lines = markers_and_lines(ax)
        assert len(markers) == 1 and len(lines) == 1
    np.testing.assert_allclose(markers_and_lines(mag)[0][0].get_ydata(), np.abs(z))
    # capacitive arcs plot upwards
    phi = markers_and_lines(phase)[0][0].get_ydata()
    np.testing.assert_allclose(phi, -np.degrees(np.angle(z)))
    assert 30 < phi.max() < 90


def test_residuals_of_a_fit(spectrum, fit):
    f, z = spectrum
    ax = plot.residuals(f, z, fit)
    assert ax.get_xscale() == "log" and "%" in ax.get_ylabel()
    real, imag = [ln for ln in ax.get_lines() if len(ln.get_xdata()) == F.size]
    rel = (z - fit.circuit.impedance(f)) / np.abs(z)
    order = np.argsort(f)
    np.testing.assert_allclose(real.get_ydata(), 100 * rel.real[order])
    np.testing.assert_allclose(imag.get_ydata(), 100 * rel.imag[order])


def test_residuals_of_a_kk_result(spectrum):
    f, z = spectrum
    kk = kramers_kronig(f, z)
    ax = plot.residuals(f, z, kk)
    real, imag = [ln for ln in ax.get_lines() if len(ln.get_xdata()) == F.size]
    np.testing.assert_allclose(real.get_ydata(), 100 * kk.residuals_real[::-1])
    np.testing.assert_allclose(imag.get_ydata(), 100 * kk.residuals_imag[::-1])


@pytest.mark.parametrize("with_fit, with_kk, n_axes", [(False, False, 3), (True, False, 4), (True, True, 5)])
def test_fit_figure_saves_png(spectrum, fit, tmp_path, with_fit, with_kk, n_axes):
    f, z = spectrum
    kk = kramers_kronig(f, z, tolerance=0.025) if with_kk else None
    fig = plot.fit_figure(f, z, fit if with_fit else None, kk=kk, title="R0-p(R1,C1)")
    assert len(fig.axes) == n_axes
    assert fig.get_suptitle() == "R0-p(R1,C1)"
    if with_kk:
        assert fig.axes[-1].get_title() == kk.summary()
    path = tmp_path / "fit.png"
    fig.savefig(path)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and path.stat().st_size > 10_000


def test_check_figure_draws_the_kramers_kronig_model(spectrum):
    f, z = spectrum
    kk = kramers_kronig(f, z)
    fig = plot.fit_figure(f, z, kk=kk)
    _, lines = markers_and_lines(fig.axes[0])
    assert [line.get_label() for line in lines] == ["Kramers-Kronig fit"]
    zm = kk.model([F.min(), F.max()])  # the line spans the data's frequencies
    assert sorted([lines[0].get_xdata()[0], lines[0].get_xdata()[-1]]) == pytest.approx(sorted(zm.real))


def test_mismatched_lengths(spectrum):
    f, z = spectrum
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        plot.nyquist(f, z[:-1])


def test_import_does_not_load_matplotlib():
    proc = run_python(
        """
        import sys
        import kelvara.plot
        assert "matplotlib" not in sys.modules, "kelvara.plot imported matplotlib"
        """
    )
    assert_ok(proc)


def test_missing_matplotlib_names_the_extra():
    proc = run_python(
        """
        import sys
        sys.modules["matplotlib"] = None  # makes any import of it fail
        import kelvara.plot
        try:
            kelvara.plot.nyquist([1.0, 2.0], [1 - 1j, 1 - 2j])
        except ImportError as exc:
            assert "pip install kelvara[plot]" in str(exc), exc
        else:
            raise SystemExit("no ImportError")
        """
    )
    assert_ok(proc)


@pytest.mark.parametrize("gamma_scale", ["linear", "log"])
def test_drt_axis_follows_gamma_inside_the_window(gamma_scale):
    import kelvara
    import kelvara.plot as kplot

    f = np.logspace(5, 0, 50)  # an arc at 1 kHz, then a blocking tail growing beyond 1 Hz
    z = kelvara.Circuit("R0-p(R1,C1)-CPE2").with_values([5.0, 20.0, 1e-5 / (2 * np.pi), 1e-3, 0.7]).impedance(f)
    result = kelvara.drt(f, z)
    ax = kplot.drt(result, gamma_scale=gamma_scale)
    low, high = ax.get_ylim()
    window = (result.tau >= 1 / (2 * np.pi * f.max())) & (result.tau <= 1 / (2 * np.pi * f.min()))
    assert high < 5 * result.gamma[window].max() < result.gamma.max()  # the tail beyond does not set the range
    assert ax.get_yscale() == gamma_scale
    assert all(low <= label.xy[1] <= high for label in ax.texts)
    plt.close(ax.figure)


def test_series_with_nothing_to_draw_says_so():
    import kelvara
    import kelvara.plot as kplot

    f = np.logspace(4, 0, 20)
    fits = [kelvara.Circuit("R0-R1").with_values([1.0, 2.0]).with_fixed(["R0.r"]).fit(f, np.full(20, 3.0 + 0j))]
    with pytest.raises(ValueError, match="nothing to draw"):
        kplot.series(fits, names=[])
