"""Lab files beyond the text exports: BioLogic .mpr (against EC-Lab's own text export of the same
run), RelaxIS exports, multi-loop files and thousands separators."""

import struct

import numpy as np
import pytest

import kelvara
import kelvara.io as kio
from kelvara.io.formats import biologic_mpr

from conftest import DATA

RUN = DATA / "hybrid-drt" / "PEIS_LPSCl_IonBlocking_-25C"


def export_table():
    """EC-Lab's text export as printed: the column names and each row's fields."""
    lines = (RUN.with_suffix(".txt")).read_text(encoding="latin-1").splitlines()
    count = int(lines[1].split(":")[1])
    names = lines[count - 1].rstrip("\t").split("\t")
    return names, [line.split("\t") for line in lines[count:] if line.strip()]


def agrees_to_printed_digits(value, text):
    """`value` rounds to `text` (d.dddddddE+ddd): within half a unit of its last
    digit (ties either way), give or take the rounding of the text to a double."""
    mantissa, exponent = text.split("E")
    unit = 10.0 ** (int(exponent) - (len(mantissa.lstrip("-")) - 2))
    return abs(float(value) - float(text)) <= 0.5 * unit + 2 * np.spacing(float(value))


def test_every_column_matches_the_text_export_to_its_printed_digits():
    names, rows = export_table()
    table = biologic_mpr.table(str(RUN.with_suffix(".mpr")), RUN.with_suffix(".mpr").read_bytes())
    assert len(table) == len(rows) == 79
    for c, name in enumerate(names):
        for r, row in enumerate(rows):
            text = row[c]
            value = table[name][r]
            if "E" not in text:  # integer columns
                assert int(value) == int(text), (name, r)
            else:
                assert agrees_to_printed_digits(value, text), (name, r, value, text)


def test_read_gives_the_export_spectrum():
    binary = kio.read(RUN.with_suffix(".mpr"))
    text = kio.read(RUN.with_suffix(".txt"))
    assert binary.instrument == "BioLogic" and len(binary) == 79
    np.testing.assert_allclose(binary.frequencies, text.frequencies, rtol=1e-7)
    np.testing.assert_allclose(binary.impedances, text.impedances, rtol=1e-7)
    assert binary.impedances.imag[-1] < 0  # -Im(Z) negated back: capacitive
    second = kio.read(DATA / "hybrid-drt" / "PEIS_SSB.mpr")
    assert len(second) == 89 and 0.0099 < second.frequencies.min() < 0.0101
    kelvara.Circuit("R0-p(R1,CPE1)-CPE2").with_data_start(*binary).fit(*binary)


def edited(data, at, packed):
    return data[:at] + packed + data[at + len(packed):]


def data_module(data):
    return data.index(b"MODULEVMP data")


@pytest.mark.parametrize("edit, message", [
    (lambda d: d[:3000], r"module at byte 52 holds \d+ bytes, but the file ends"),
    (lambda d: edited(d, data_module(d) + 41 + 4 + 8, struct.pack("<I", 3)), "data module version 3 is not one"),
    (lambda d: edited(d, data_module(d) + 65 + 6, struct.pack("<H", 999)), r"column ids \[999\]"),
    (lambda d: edited(d, data_module(d) + 65, struct.pack("<I", 80)), "not the 1007 \\+ 80 rows x 72 bytes"),
    (lambda d: d.replace(b"MODULEVMP data", b"MODULEVMP date"), "expected a 'VMP data' module"),
    (lambda d: edited(d, 60, b"XXXXXX"), None),
])
def test_malformed_files_are_refused_by_name(tmp_path, edit, message):
    data = RUN.with_suffix(".mpr").read_bytes()
    path = tmp_path / "run.mpr"
    path.write_bytes(edit(data))
    if message is None:  # a byte of the settings module changed: nothing the reader reads
        assert len(kio.read(path)) == 79
        return
    with pytest.raises(kio.ReadError, match=message) as error:
        kio.read(path)
    assert str(path) in str(error.value)


def test_a_text_file_forced_as_mpr_is_refused():
    with pytest.raises(kio.ReadError, match="BIO-LOGIC MODULAR FILE"):
        kio.read(RUN.with_suffix(".txt"), format="biologic-mpr")


def test_a_ten_loop_export_is_a_series_without_its_zero_frequency_rows():
    path = DATA / "hybrid-drt" / "Sample2_PEIS_AtRest.csv"
    rows = np.loadtxt(path, delimiter=",", skiprows=1)
    with pytest.warns(UserWarning, match=r"left out 10 rows of zero frequency .* at lines 91, 181, 271"):
        sweeps = kio.read_all(path)
    assert [s.sweep for s in sweeps] == list(range(10))
    for loop, sweep in enumerate(sweeps):
        mine = rows[(rows[:, 6] == loop) & (rows[:, 1] != 0)]
        np.testing.assert_array_equal(sweep.frequencies, mine[:, 1])
        np.testing.assert_allclose(sweep.impedances, mine[:, 2] * np.exp(1j * np.radians(mine[:, 3])), rtol=1e-15)


def test_relaxis_export_matches_the_binary_file_of_the_same_run():
    relaxis = kio.read(RUN.parent / (RUN.name + "_RelaxIS.txt"))
    binary = kio.read(RUN.with_suffix(".mpr"))
    assert relaxis.instrument == "RelaxIS"
    order = np.argsort(binary.frequencies)
    np.testing.assert_array_equal(np.sort(relaxis.frequencies), binary.frequencies[order])
    np.testing.assert_array_equal(relaxis.impedances[np.argsort(relaxis.frequencies)], binary.impedances[order])


@pytest.mark.parametrize("rows, expected", [
    ("100,000\t1.5\t2.0\n1,000.5\t2\t3\n", [100000.0, 1000.5]),  # thousands grouped, "." decimals
    ("100,5\t1,5\t2\n10\t2\t3\n", [100.5, 10.0]),                  # decimal commas
    ("100,00\t1.5\t2.0\n", 'expected "." as the decimal mark'),   # neither: refused
])
def test_thousands_separators_are_read_as_such_or_refused(tmp_path, rows, expected):
    path = tmp_path / "grouped.txt"
    path.write_text("freq/Hz\tRe(Z)/Ohm\t-Im(Z)/Ohm\n" + rows)
    if isinstance(expected, str):
        with pytest.raises(kio.ReadError, match=expected):
            kio.read(path)
    else:
        np.testing.assert_array_equal(kio.read(path).frequencies, expected)


def test_an_excel_workbook_reads_each_sheet_and_cycle(tmp_path):
    openpyxl = pytest.importorskip("openpyxl")
    f = np.logspace(5, -1, 12)
    z = 10 + 100 / (1 + 1j * f / 10)
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.append(["Frequency / Hz", "Absolute Impedance / ohm", "Phase / deg", "Cycle"])
    for cycle in (1, 2):
        for fk, zk in zip(f, z * cycle):
            sheet.append([fk, abs(zk), np.degrees(np.angle(zk)), cycle])
    book.create_sheet("notes").append(["measured on Tuesday"])
    path = tmp_path / "cells.xlsx"
    book.save(path)
    sweeps = kio.read_all(path)
    assert [s.instrument for s in sweeps] == ["Excel", "Excel"] and sweeps[1].line == 14
    np.testing.assert_allclose(sweeps[1].impedances, 2 * z, rtol=1e-13)
    (tmp_path / "other.xlsx").write_bytes(b"PK\x03\x04 not a workbook")
    with pytest.raises(kio.ReadError, match="other.xlsx: expected an Excel .xlsx workbook"):
        kio.read(tmp_path / "other.xlsx")
