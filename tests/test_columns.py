"""The readers' spectra and the plots read a spectrum as the fit reads it: each fault is
refused with one message wherever it is found, in the fit's own words."""

import math

import numpy as np
import pytest

import kelvara
import kelvara.io as kio

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from kelvara import plot  # noqa: E402

F = np.logspace(3, -1, 6)
Z = kelvara.Circuit("R0-p(R1,C1)").with_values([1.0, 10.0, 1e-3]).impedance(F)
TAKERS = {
    "Spectrum": lambda f, z: kio.Spectrum(f, z, "CSV", ("f", "re", "im"), "x.csv"),
    "nyquist": plot.nyquist,
    "bode": plot.bode,
}


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.mark.parametrize("taker", TAKERS)
@pytest.mark.parametrize("f, z, error, message", [
    (F, Z[:-1], ValueError, "frequencies and impedances must have the same length"),
    (F.reshape(2, 3), Z, TypeError, "expected a one-dimensional sequence, got an array of 2 dimensions"),
    (F, Z.reshape(3, 2), TypeError, "expected a one-dimensional sequence, got an array of 2 dimensions"),
    (F, ["x"] * 6, TypeError, "must be real number, not str"),
])
def test_malformed_spectrum_has_one_message(taker, f, z, error, message):
    with pytest.raises(error) as info:
        TAKERS[taker](f, z)
    assert str(info.value) == message
    with pytest.raises(error) as fit_error:  # as the fit reads it
        kelvara.Circuit("R0").with_values([1.0]).fit(f, z)
    assert str(fit_error.value) == message


@pytest.mark.parametrize("point, f_value, z_value", [
    (3, math.nan, None), (0, 0.0, None), (5, -3.0, None), (2, None, complex(1.0, math.inf)),
])
@pytest.mark.parametrize("draw", [plot.nyquist, plot.bode, plot.residuals])
def test_plots_refuse_points_they_could_not_draw_as_the_fit_does(draw, point, f_value, z_value):
    # matplotlib would drop such a point from the axes without a word
    f, z = F.copy(), Z.copy()
    if f_value is not None:
        f[point] = f_value
    else:
        z[point] = z_value
    with pytest.warns(UserWarning) as fit_warning:
        kelvara.Circuit("R0-p(R1,C1)").with_values([1.0, 10.0, 1e-3]).fit(f, z)
    with pytest.raises(ValueError) as plot_error:
        draw(f, z, kelvara.Circuit("R0").with_values([1.0]))
    # the same words
    assert str(fit_warning[0].message) == "the fit's cost will not be finite: " + str(plot_error.value)
