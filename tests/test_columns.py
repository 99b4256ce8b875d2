"""The spectrum checks shared by the readers, the plots and the batch fits: each fault is
refused with one message wherever it is found, worded as the fit's own check words it."""

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
@pytest.mark.parametrize("f, z, message", [
    (F, Z[:-1], "frequencies and impedances differ in length (6 and 5)"),
    (F.reshape(2, 3), Z, "frequencies must be one-dimensional, got shape (2, 3)"),
    (F, Z.reshape(3, 2), "impedances must be one-dimensional, got shape (3, 2)"),
    (F, ["x"] * 6, "impedances must be complex numbers"),
])
def test_malformed_spectrum_has_one_message(taker, f, z, message):
    with pytest.raises(ValueError) as info:
        TAKERS[taker](f, z)
    assert str(info.value) == message


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
    # the same words; the numbers are printed by Python here and by the module there
    head = str(fit_warning[0].message).removeprefix("the fit's cost will not be finite: ").split(" has ")[0]
    assert str(plot_error.value).startswith(head + " has ")
