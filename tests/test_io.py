"""kelvara.io: instrument files read into spectra.

The sample files are impedance.py's example exports, shipped in tests/data. Expected values are the raw numbers of the files, parsed here in the
plainest way, with the sign their column headers state.
"""

import os
import re
import sys

import numpy as np
import pytest

import kelvara
import kelvara.io as kio
from conftest import DATA, assert_ok, run_python


ZPLOT = ("Freq(Hz)", "Z'(a)", "Z''(b)")

# file: instrument, points, first data line, column names, raw columns (separator;
# indices of f, Re, Im), sign of the raw imaginary column, first and last frequency
SAMPLES = {
    "Circuit1_EIS_1.z": ("ZPlot", 48, 124, ZPLOT, (None, 0, 4, 5), 1, 5e4, 1.0),
    "Circuit1_EIS_2.z": ("ZPlot", 48, 124, ZPLOT, (None, 0, 4, 5), 1, 5e4, 1.0),
    "Circuit2_EIS_1.z": ("ZPlot", 56, 124, ZPLOT, (None, 0, 4, 5), 1, 3e5, 1.0),
    "Circuit2_EIS_2.z": ("ZPlot", 56, 124, ZPLOT, (None, 0, 4, 5), 1, 3e5, 1.0),
    "Circuit3_EIS_1.z": ("ZPlot", 53, 124, ZPLOT, (None, 0, 4, 5), 1, 1.5e5, 1.0),
    "Circuit3_EIS_2.z": ("ZPlot", 53, 124, ZPLOT, (None, 0, 4, 5), 1, 1.5e5, 1.0),
    # a byte prefix of Circuit2_EIS_1.z: 21 of the 56 announced points
    "exampleDataZPlot.z": ("ZPlot", 21, 124, ZPLOT, (None, 0, 4, 5), 1, 3e5, 3e3),
    # announces 79 points, holds 31
    "exampleDataZPlot_noComments.z": ("ZPlot", 31, 11, ZPLOT, (",", 0, 4, 5), 1, 3e5, 300.0),
    "exampleData.csv": ("CSV", 66, 1, ("column 1", "column 2", "column 3"), (",", 0, 1, 2), 1, 3.1623e-3, 1e4),
    "exampleDataAutolab.txt": ("Autolab", 41, 12, ("Freq (Hz)", "Z'(a)", "Z''(b)"), (",", 0, 4, 5), 1, 1e4, 0.1),
    "exampleDataBioLogic.mpt": (
        "BioLogic", 43, 62, ("freq/Hz", "Re(Z)/Ohm", "-Im(Z)/Ohm"), (None, 0, 1, 2), -1, 1.0003201e3, 1.689554e-2,
    ),
    "exampleDataCHInstruments.txt": (
        "CH Instruments", 73, 19, ("Freq/Hz", "Z'/ohm", 'Z"/ohm'), (",", 0, 1, 2), 1, 9.961e4, 0.1,
    ),
    "exampleDataGamry.DTA": ("Gamry", 72, 449, ("Freq", "Zreal", "Zimag"), (None, 2, 3, 4), 1, 200015.6, 0.0158898),
    "exampleDataGamryABORT.DTA": ("Gamry", 72, 100, ("Freq", "Zreal", "Zimag"), (None, 2, 3, 4), 1, 200015.6, 0.0158898),
    # 812 rows, of which only the last 31 (nonzero frequency) are impedance points
    "exampleDataParstat.txt": (
        "Parstat", 31, 783, ("Frequency (Hz)", "Zre (ohms)", "Zim (ohms)"), (None, 3, 4, 5), 1, 1e4, 10.0,
    ),
    "exampleDataPowersuite.txt": ("PowerSuite", 30, 2, ("Frequency", "Zre", "Zimg"), (None, 0, 1, 2), 1, 0.1, 2e6),
    "exampleDataVersaStudio.par": (
        "VersaStudio", 61, 117, ("Frequency(Hz)", "Z Real", "Z Imag"), (",", 9, 14, 15), 1, 1e5, 0.02154435,
    ),
}
PEER = {
    "exampleData.csv": None, "exampleDataAutolab.txt": "autolab", "exampleDataBioLogic.mpt": "biologic",
    "exampleDataCHInstruments.txt": "chinstruments", "exampleDataGamry.DTA": "gamry",
    "exampleDataGamryABORT.DTA": "gamry", "exampleDataParstat.txt": "parstat",
    "exampleDataPowersuite.txt": "powersuite", "exampleDataVersaStudio.par": "versastudio",
}
samples = pytest.mark.parametrize("name", [n for n in SAMPLES])


def raw_text(name):
    return (DATA / name).read_bytes().decode("latin-1")


def raw_rows(name, first, count, separator):
    """Rows first..first+count-1 (1-based lines) of a sample, split into fields."""
    lines = raw_text(name).split("\n")
    return [line.split(separator) for line in lines[first - 1 : first - 1 + count]]


def raw_spectrum(name):
    instrument, n, first, columns, (sep, fc, rc, ic), sign, f0, f1 = SAMPLES[name]
    rows = raw_rows(name, first, n, sep)
    f = np.array([float(r[fc]) for r in rows])
    z = np.array([float(r[rc]) for r in rows]) + 1j * sign * np.array([float(r[ic]) for r in rows])
    return f, z


# ------------------------------------------------------------------ the sample files


@samples
def test_sample_file(name):
    instrument, n, first, columns, _, _, f0, f1 = SAMPLES[name]
    spectra = kio.read_all(DATA / name)
    assert len(spectra) == 1
    s = kio.read(str(DATA / name))
    assert (s.instrument, len(s), s.line, s.columns, s.sweep) == (instrument, n, first, columns, 0)
    assert s.path == str(DATA / name)
    assert s.frequencies.dtype == np.float64 and s.impedances.dtype == np.complex128
    assert s.frequencies[0] == pytest.approx(f0) and s.frequencies[-1] == pytest.approx(f1)
    f, z = raw_spectrum(name)
    np.testing.assert_array_equal(s.frequencies, f)
    np.testing.assert_array_equal(s.impedances, z)
    np.testing.assert_array_equal(spectra[0].impedances, z)


@samples
def test_capacitive_apex_has_negative_imaginary_part(name):
    # the apex of the arcs: the largest |Im Z| below the top decade (where cables
    # and battery cells turn inductive)
    f, z = kio.read(DATA / name)
    low = f <= f.max() / 10
    apex = np.argmax(np.abs(z.imag) * low)
    assert z.imag[apex] < 0


@pytest.mark.parametrize("name,first,n,sep,column", [
    ("exampleDataGamry.DTA", 449, 72, None, 7),           # Zphz
    ("exampleDataBioLogic.mpt", 62, 43, None, 4),         # Phase(Z)/deg
    ("exampleDataCHInstruments.txt", 19, 73, ",", 4),     # Phase/deg
])
def test_sign_agrees_with_the_phase_column(name, first, n, sep, column):
    phase = np.array([float(r[column]) for r in raw_rows(name, first, n, sep)])
    z = kio.read(DATA / name).impedances
    np.testing.assert_allclose(np.degrees(np.angle(z)), phase, atol=0.2)


@samples
def test_agrees_with_the_impedance_package(name):
    preprocessing = pytest.importorskip("impedance.preprocessing")
    f, z = preprocessing.readFile(str(DATA / name), instrument=PEER.get(name, "zplot"))
    s = kio.read(DATA / name)
    np.testing.assert_allclose(s.frequencies, f, rtol=1e-15)
    np.testing.assert_allclose(s.impedances, z, rtol=1e-15)


@pytest.mark.parametrize("name,circuit,tolerance", [
    ("Circuit1_EIS_1.z", "R0-p(R1,C1)", 0.01),
    ("Circuit2_EIS_2.z", "R0-p(R1,C1)", 0.01),
    ("Circuit3_EIS_1.z", "R0-p(R1,C1)", 0.01),
    ("exampleDataZPlot.z", "R0-p(R1,C1)", 0.02),
    ("exampleDataZPlot_noComments.z", "R0-p(R1,CPE1)", 0.05),
    ("exampleDataBioLogic.mpt", "R0-p(R1,CPE1)", 0.05),
    ("exampleDataVersaStudio.par", "R0-p(R1,CPE1)", 0.05),
    ("exampleDataAutolab.txt", "L0-R0-p(R1,CPE1)-p(R2,CPE2)", 0.05),
    ("exampleData.csv", "L0-R0-p(R1,CPE1)-p(R2,CPE2)", 0.05),
    ("exampleDataGamry.DTA", "R0-p(R1,CPE1)-p(R2,CPE2)", 0.15),
    ("exampleDataCHInstruments.txt", "R0-p(R1,CPE1)-p(R2,CPE2)", 0.15),
])
def test_fits_well_and_the_conjugate_does_not(name, circuit, tolerance):
    # Parstat and PowerSuite are left out: their high-frequency points are too noisy
    # for a small circuit; their numbers are checked against the raw file above
    f, z = kio.read(DATA / name)

    def misfit(data):
        fitted = kelvara.Circuit(circuit).fit(f, data, seed=0).circuit.impedance(f)
        return np.sqrt(np.mean(np.abs(fitted - data) ** 2)) / np.mean(np.abs(data))

    good = misfit(z)
    assert good < tolerance
    assert misfit(np.conj(z)) > 3 * good


# ------------------------------------------------------------------ detection and format=


@pytest.mark.parametrize("name", [n for n in SAMPLES if not n.startswith("Circuit")])
@pytest.mark.parametrize("target", ["data.txt", "data"])
def test_detected_from_content(tmp_path, name, target):
    path = tmp_path / target
    path.write_bytes((DATA / name).read_bytes())
    s = kio.read(path)
    assert (s.instrument, len(s)) == SAMPLES[name][:2]


def test_eclab_text_export_without_header_block(tmp_path):
    lines = raw_text("exampleDataBioLogic.mpt").split("\n")
    path = tmp_path / "eis.txt"
    path.write_text("\n".join(lines[60:]), encoding="latin-1")
    s = kio.read(path)
    assert (s.instrument, len(s), s.line) == ("BioLogic", 43, 2)
    np.testing.assert_array_equal(s.impedances, raw_spectrum("exampleDataBioLogic.mpt")[1])


def test_format_forces_a_reader(tmp_path):
    name = "exampleDataPowersuite.txt"
    assert kio.read(DATA / name).instrument == "PowerSuite"
    forced = kio.read(DATA / name, format="csv")
    assert forced.instrument == "CSV"
    np.testing.assert_array_equal(forced.impedances, raw_spectrum(name)[1])
    path = tmp_path / "gamry.csv"
    path.write_bytes((DATA / "exampleDataGamry.DTA").read_bytes())
    assert kio.read(path, format="gamry").instrument == "Gamry"
    with pytest.raises(kio.ReadError, match=r"exampleDataGamry\.DTA, line 1: expected a frequency column"):
        kio.read(DATA / "exampleDataGamry.DTA", format="biologic")
    with pytest.raises(ValueError, match="unknown format 'matlab': expected one of gamry, biologic, zplot"):
        kio.read(DATA / name, format="matlab")


def test_formats():
    assert kio.FORMATS == (
        "gamry", "biologic", "zplot", "autolab", "chinstruments", "parstat", "powersuite", "versastudio", "csv",
        "biologicmpr", "relaxis", "excel",
    )


# ------------------------------------------------------------------ errors


def derived(tmp_path, name, edit):
    """A copy of a sample with its text changed by `edit`."""
    path = tmp_path / name
    path.write_text(edit(raw_text(name)), encoding="latin-1", newline="")
    return path


def line_of(text, needle):
    return text[: text.index(needle)].count("\n") + 1


@pytest.mark.parametrize("name,needle,replacement,expected", [
    ("exampleDataGamry.DTA", "1739.625", "17x9.625", 'expected a number in the "Zreal" column of the ZCURVE table, found "17x9.625"'),
    ("exampleDataGamry.DTA", "\t-1620.144\t1\t", "\t-1620.144\t", "expected 11 numeric columns of the ZCURVE table, found"),
    ("exampleDataBioLogic.mpt", "6.3611004E+001", "n/a", 'expected a number in the "Re(Z)/Ohm" column'),
    ("exampleDataCHInstruments.txt", "1.036e+2", "1.036e+2, 7", "expected 5 numeric columns of the data table"),
    ("exampleDataVersaStudio.par", "55.31571", "55.31571,,", "expected 24 numeric columns of the Segment1 table"),
    ("exampleData.csv", "4.776559257398881736e-02", "", "expected a number in the \"column 2\" column"),
])
def test_bad_row_names_file_and_line(tmp_path, name, needle, replacement, expected):
    text = raw_text(name)
    path = derived(tmp_path, name, lambda t: t.replace(needle, replacement, 1))
    with pytest.raises(kio.ReadError) as info:
        kio.read(path)
    assert str(info.value).startswith(f"{path}, line {line_of(text, needle)}: {expected}")
    assert info.value.line == line_of(text, needle) and info.value.path == str(path)


@pytest.mark.parametrize("name,needle,expected", [
    # cut inside a row: the row is short
    ("exampleDataGamry.DTA", "-1620.144", "expected 11 numeric columns of the ZCURVE table, found \"\\t5\\t9\\t63328.12\\t2422.298\\t-16\""),
    ("Circuit1_EIS_1.z", "2.9071E+01", "expected 9 numeric columns of the data table"),
    ("exampleDataParstat.txt", "0.0164200662764439", "expected 8 numeric columns of the data table"),
    # cut before the data
    ("exampleDataGamry.DTA", "ZCURVE", "expected a ZCURVE table (the impedance data of a Gamry EIS file), found the end of the file"),
    ("exampleDataBioLogic.mpt", "Bandwidth", "expected 61 header lines (as line 2 says), found the end of the file"),
    ("exampleDataVersaStudio.par", "0,30,", "expected the closing </Segment1>, found the end of the file"),
    ("exampleDataCHInstruments.txt", "Freq/Hz", 'expected a column header starting with "Freq/Hz", found the end of the file'),
])
def test_truncated_file_names_file_and_line(tmp_path, name, needle, expected):
    text = raw_text(name)
    cut = text[: text.index(needle) + 3]
    path = derived(tmp_path, name, lambda t: cut)
    with pytest.raises(ValueError) as info:
        kio.read(path)
    assert str(info.value).startswith(f"{path}, line {cut.count(chr(10)) + 1}: {expected}")


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        kio.read(tmp_path / "absent.DTA")


def test_header_without_impedance_columns(tmp_path):
    path = tmp_path / "x.csv"
    path.write_text("time / s,voltage / V\n1,2\n")
    with pytest.raises(ValueError, match=r"x\.csv, line 1: expected a frequency column and the real and imaginary"):
        kio.read(path)


# ------------------------------------------------------------------ several sweeps


def test_several_gamry_tables(tmp_path):
    text = raw_text("exampleDataGamry.DTA")
    table = text[text.index("ZCURVE") :]
    path = derived(tmp_path, "exampleDataGamry.DTA", lambda t: t + "NOTES\tLABEL\tsecond\n" + table)
    spectra = kio.read_all(path)
    assert [(s.sweep, s.line, len(s)) for s in spectra] == [(0, 449, 72), (1, 525, 72)]
    np.testing.assert_array_equal(spectra[1].impedances, spectra[0].impedances)
    with pytest.raises(ValueError, match=rf"{path.name} holds 2 sweeps, read\(\) returns one: use kelvara.io.read_all\(\)"):
        kio.read(path)


def test_biologic_cycles(tmp_path):
    lines = raw_text("exampleDataBioLogic.mpt").split("\n")
    later = [row.replace("\t1.000000000000000E+000\t", "\t2.000000000000000E+000\t") for row in lines[81:]]
    path = tmp_path / "cycles.mpt"
    path.write_text("\n".join(lines[:81] + later), encoding="latin-1")
    spectra = kio.read_all(path)
    assert [(s.sweep, s.line, len(s)) for s in spectra] == [(0, 62, 20), (1, 82, 23)]
    f, z = raw_spectrum("exampleDataBioLogic.mpt")
    np.testing.assert_array_equal(np.concatenate([s.impedances for s in spectra]), z)


def test_parstat_blocks(tmp_path):
    lines = raw_text("exampleDataParstat.txt").split("\n")
    # time-series rows (zero frequency) between two impedance blocks
    path = tmp_path / "p.txt"
    path.write_text("\n".join(lines[:795] + lines[1:11] + lines[795:]), encoding="latin-1")
    spectra = kio.read_all(path)
    assert [(s.instrument, s.line, len(s)) for s in spectra] == [("Parstat", 783, 13), ("Parstat", 806, 18)]


# ------------------------------------------------------------------ CSV and other text


F = np.array([1e4, 1e2, 1.0, 0.01])
Z = np.array([1.0 + 0.2j, 1.5 - 0.5j, 2.5 - 0.9j, 3.0 - 0.1j])
BDF = "Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm"
SNAKE = "frequency_hertz,real_impedance_ohm,imaginary_impedance_ohm"


def rows(sep=",", fmt="{f!r}{s}{r!r}{s}{i!r}", comma=False):
    out = [fmt.format(f=float(f), r=float(z.real), i=float(z.imag), s=sep, m=float(abs(z)),
                      p=float(np.degrees(np.angle(z)))) for f, z in zip(F, Z)]
    return [row.replace(".", ",") for row in out] if comma else out


@pytest.mark.parametrize("text,columns", [
    ("\n".join([BDF, *rows()]), tuple(BDF.split(","))),
    ("\r\n".join([SNAKE, *rows()]) + "\r\n", tuple(SNAKE.split(","))),
    ("\n".join(["# exported by hand", SNAKE, "# points", *rows()]), tuple(SNAKE.split(","))),
    ("\n".join([BDF.replace(",", "\t"), *rows("\t")]), tuple(BDF.split(","))),
    ("\n".join([BDF.replace(",", ";"), *rows(";", comma=True)]), tuple(BDF.split(","))),
    ("\n".join([BDF + ",", *(r + "," for r in rows())]), tuple(BDF.split(","))),
    ('"Frequency / Hz","Real Impedance / ohm","Imaginary Impedance / ohm"\n' + "\n".join(rows()),
     tuple(BDF.split(","))),
    ("\n".join(rows()), ("column 1", "column 2", "column 3")),
    ("\n".join(rows(" ")), ("column 1", "column 2", "column 3")),
    ("\n".join(["Frequency / Hz,Absolute Impedance / ohm,Phase / deg", *rows(fmt="{f!r},{m!r},{p!r}")]),
     ("Frequency / Hz", "Absolute Impedance / ohm", "Phase / deg")),
    ("\n".join(["frequency_hertz;absolute_impedance_ohm;phase_degree", *rows(fmt="{f!r};{m!r};{p!r}")]),
     ("frequency_hertz", "absolute_impedance_ohm", "phase_degree")),
], ids=["bdf", "snake-crlf", "comments", "tsv", "semicolon-decimal-comma", "trailing-comma", "quoted",
        "unnamed", "unnamed-spaces", "polar", "polar-snake"])
def test_csv_variants(tmp_path, text, columns):
    path = tmp_path / "spectrum.csv"
    path.write_text(text, encoding="utf-8", newline="")
    s = kio.read(path)
    assert (s.instrument, s.columns) == ("CSV", columns)
    np.testing.assert_array_equal(s.frequencies, F)
    np.testing.assert_allclose(s.impedances, Z, rtol=1e-14)


def test_csv_cycle_column_splits_sweeps(tmp_path):
    path = tmp_path / "cycles.csv"
    body = [f"{c},{row}" for c in (1, 2) for row in rows()]
    path.write_text("\n".join(["Cycle Count / 1," + BDF, *body]))
    spectra = kio.read_all(path)
    assert [(s.sweep, s.line, len(s)) for s in spectra] == [(0, 2, 4), (1, 6, 4)]


def test_unnamed_needs_three_columns(tmp_path):
    path = tmp_path / "four.csv"
    path.write_text("1,2,3,4\n5,6,7,8\n")
    with pytest.raises(ValueError, match=r"four\.csv, line 1: expected a line of column names, or 3 unnamed"):
        kio.read(path)


def test_undecodable_bytes(tmp_path):
    # cp1252 degree and micro signs, an undefined byte: read all the same
    path = tmp_path / "latin.csv"
    path.write_bytes(b"# 25 \xb0C, 5 \xb5A, \x81\n" + "\n".join([BDF, *rows()]).encode())
    np.testing.assert_allclose(kio.read(path).impedances, Z, rtol=1e-14)


@pytest.mark.parametrize("sep", [";", "\t"])
def test_autolab_nova_export(tmp_path, sep):
    header = sep.join(["Index", "Frequency (Hz)", "Z' (Ω)", "-Z'' (Ω)", "Z (Ω)", "-Phase (°)", "Time (s)"])
    body = [sep.join([str(k), f"{f:.17g}", f"{z.real:.17g}", f"{-z.imag:.17g}", "1", "0", "1"]).replace(".", ",")
            for k, (f, z) in enumerate(zip(F, Z))]
    path = tmp_path / "nova.txt"
    path.write_text("\n".join([header, *body]), encoding="utf-8")
    s = kio.read(path)
    assert (s.instrument, s.columns, s.line) == ("Autolab", ("Frequency (Hz)", "Z' (Ω)", "-Z'' (Ω)"), 2)
    np.testing.assert_allclose(s.impedances, Z, rtol=1e-14)


# ------------------------------------------------------------------ Spectrum and to_frame


def test_spectrum_behaves_like_a_pair(tmp_path):
    path = tmp_path / "s.csv"
    path.write_text("\n".join([BDF, *rows()]))
    s = kio.read(path)
    f, z = s
    assert len(s) == 4 and f is s.frequencies and z is s.impedances
    assert not f.flags.writeable and not z.flags.writeable
    with pytest.raises(AttributeError):
        s.sweep = 1
    assert "CSV, 4 points" in repr(s)


def test_spectrum_stands_for_a_dataframe_and_selects_points():
    s = kio.read(DATA / "exampleDataAutolab.txt")
    f, z = s
    circuit = kelvara.Circuit("L0-R0-p(R1,CPE1)")
    assert circuit.fit(s).params == circuit.fit(f, z).params
    np.testing.assert_array_equal(s["Imaginary Impedance / ohm"], z.imag)
    np.testing.assert_array_equal(s["real_impedance_ohm"], z.real)
    with pytest.raises(KeyError):
        s["Phase / deg"]
    with pytest.raises(TypeError, match="selects points"):
        s[0]
    np.testing.assert_array_equal(s[::2].frequencies, f[::2])
    np.testing.assert_array_equal(s[f > 100].impedances, z[f > 100])
    assert s[1:3].path == s.path and s[1:3].instrument == s.instrument
    cropped = s.crop(1.0, 1000.0)
    np.testing.assert_array_equal(cropped.frequencies, f[(f >= 1) & (f <= 1000)])
    # the file starts at 10 kHz with six inductive points (Z'' > 0), then turns capacitive
    assert np.all(z.imag[:6] > 0) and z.imag[6] < 0
    np.testing.assert_array_equal(s.crop(drop_inductive=True).impedances, z[6:])
    np.testing.assert_array_equal(s.crop(fmax=2000.0, drop_inductive=True).frequencies, f[6:])


def test_to_frame_round_trip(tmp_path):
    pytest.importorskip("pandas")
    path = tmp_path / "s.csv"
    truth = kelvara.Circuit("R0-p(R1,CPE1)").with_values([0.5, 2.0, 1e-3, 0.9])
    freqs = np.logspace(5, -2, 40)
    z = truth.impedance(freqs)
    path.write_text("\n".join([SNAKE, *(f"{a:.17g},{b.real:.17g},{b.imag:.17g}" for a, b in zip(freqs, z))]))
    s = kio.read(path)
    frame = kio.to_frame(s)
    assert list(frame.columns) == ["Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"]
    from_frame = kelvara.Circuit("R0-p(R1,CPE1)").fit(frame, seed=0)
    from_pair = kelvara.Circuit("R0-p(R1,CPE1)").fit(*s, seed=0)
    assert from_frame.params == pytest.approx(from_pair.params)
    assert from_frame.params == pytest.approx(dict(zip(from_frame.params, [0.5, 2.0, 1e-3, 0.9])), rel=1e-6)


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_to_frame_without_the_library(monkeypatch, library):
    monkeypatch.setitem(sys.modules, library, None)
    s = kio.Spectrum(F, Z, "CSV", ("f", "re", "im"), "x.csv")
    with pytest.raises(ImportError, match=f'to_frame\\(library="{library}"\\) needs {library}.*pip install {library}'):
        kio.to_frame(s, library)


def test_import_is_light():
    proc = run_python("""
        import sys
        import kelvara.io
        heavy = sorted({"pandas", "polars", "matplotlib"} & set(sys.modules))
        assert not heavy, heavy
    """)
    assert_ok(proc)


# ------------------------------------------------------------------ readers that never guess


def test_every_row_has_the_table_field_count(tmp_path):
    # one row with an extra field and a later one short of an unused field: the total
    # count is right, the columns of the first row are not
    lines = raw_text("exampleDataGamry.DTA").split("\n")
    lines[448] = "\t7" + lines[448]
    lines[453] = lines[453].rsplit("\t", 1)[0]
    path = derived(tmp_path, "exampleDataGamry.DTA", lambda t: "\n".join(lines))
    with pytest.raises(kio.ReadError, match=r", line 449: expected 11 numeric columns"):
        kio.read(path)


@pytest.mark.parametrize("names, scale", [
    ("Frequency / kHz,Real Impedance / ohm,Imaginary Impedance / ohm", (1e3, 1, 1)),
    ("Frequency (mHz),Z' (Ohm),Z'' (Ohm)", (1e-3, 1, 1)),
    ("Freq [MHz],Zre [kOhm],Zim [kOhm]", (1e6, 1e3, 1e3)),
    ("freq/Hz,Re(Z)/mOhm,-Im(Z)/mOhm", (1, 1e-3, -1e-3)),
    ("Frequency / Hz,Z' / kΩ,Z'' / MΩ", (1, 1e3, 1e6)),
])
def test_unit_prefixes_are_converted(tmp_path, names, scale):
    path = tmp_path / "u.csv"
    path.write_text("\n".join([names, *rows()]), encoding="utf-8")
    s = kio.read(path)
    np.testing.assert_array_equal(s.frequencies, F * scale[0])
    np.testing.assert_allclose(s.impedances, Z.real * scale[1] + 1j * Z.imag * scale[2], rtol=1e-15)


@pytest.mark.parametrize("unit, phase", [("deg", np.degrees(np.angle(Z))), ("rad", np.angle(Z))])
def test_phase_in_degrees_or_radians(tmp_path, unit, phase):
    path = tmp_path / "p.csv"
    body = [f"{f:.17g},{abs(z):.17g},{p:.17g}" for f, z, p in zip(F, Z, phase)]
    path.write_text("\n".join([f"Frequency / Hz,|Z| / ohm,Phase / {unit}", *body]))
    np.testing.assert_allclose(kio.read(path).impedances, Z, rtol=1e-14)


@pytest.mark.parametrize("names, column", [
    ("Frequency / rpm,Real Impedance / ohm,Imaginary Impedance / ohm", "Frequency / rpm"),
    ("Frequency / Hz,Real Impedance / S,Imaginary Impedance / ohm", "Real Impedance / S"),
    ("Frequency / Hz,|Z| / ohm,Phase / grad", "Phase / grad"),
])
def test_unknown_units_are_refused_naming_the_header(tmp_path, names, column):
    path = tmp_path / "u.csv"
    path.write_text("\n".join([names, *rows()]))
    with pytest.raises(kio.ReadError, match=rf'line 1: expected a unit of .* for the column "{re.escape(column)}"'):
        kio.read(path)


@pytest.mark.parametrize("row, column", [
    ("10,3,inf", "column 3"), ("10,nan,-1", "column 2"), ("-inf,3,-1", "column 1"), ("10,3,-Infinity", "column 3"),
])
def test_non_finite_fields_name_file_line_and_column(tmp_path, row, column):
    path = tmp_path / "nan.csv"
    path.write_text("1000,1,-0.5\n" + row + "\n1,5,-2\n")
    with pytest.raises(kio.ReadError, match=rf'nan\.csv, line 2: expected a finite number in the "{column}" column'):
        kio.read(path)


def test_gamry_table_line_with_trailing_space(tmp_path):
    path = derived(tmp_path, "exampleDataGamry.DTA", lambda t: t.replace("ZCURVE\tTABLE", "ZCURVE\tTABLE ", 1))
    np.testing.assert_array_equal(kio.read(path).impedances, raw_spectrum("exampleDataGamry.DTA")[1])


def test_only_bounded_regular_text_files_are_read(tmp_path):
    fifo = tmp_path / "pipe.csv"
    os.mkfifo(fifo)
    long_line = tmp_path / "one-line.csv"
    long_line.write_bytes(b"1," * (kio.MAX_LINE_CHARS))
    late_long_line = tmp_path / "late.csv"
    late_long_line.write_bytes(b"1,2,3\n" * 100 + b"1" * (kio.MAX_LINE_CHARS + 1) + b"\n")
    huge = tmp_path / "huge.csv"
    with open(huge, "wb") as handle:
        handle.truncate(kio.MAX_FILE_BYTES + 1)
    binary = tmp_path / "zeros.csv"
    binary.write_bytes(b"1,2,3\n\0\0\0")
    cases = [(fifo, "not a regular file"), ("/dev/zero", "not a regular file"), (tmp_path, "a folder"),
             (long_line, "line 1: expected a line of at most"), (late_long_line, "line 101: expected a line"),
             (huge, f"{kio.MAX_FILE_BYTES + 1} bytes"), (binary, "NUL bytes")]
    for path, message in cases:
        with pytest.raises(kio.ReadError, match=message):
            kio.read(path)


def test_a_header_count_that_is_not_ascii_digits_is_a_read_error(tmp_path):
    # found by the reader fuzzer: "²" (latin-1 0xb2) passes str.isdigit() but not int()
    path = tmp_path / "superscript.mpt"
    path.write_bytes(b"EC-Lab ASCII FILE\nNb header lines :  \xb2\n")
    with pytest.raises(kio.ReadError, match=r"superscript\.mpt, line 2: expected \"Nb header lines : <number>\""):
        kio.read(path)
