"""The kelvara command line: exit codes, messages and the files it writes."""

import csv
import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import kelvara
import kelvara.io
from conftest import TWO_PI, child_env
from kelvara.cli import main


def randles_wo_drift(f, drift=0.0):
    """R0-p(R1,CPE1) in ohm; `drift` adds a resistance growing during a high-to-low sweep."""
    z = 0.5 + 1 / (1 / 10.0 + 2e-4 * (1j * TWO_PI * f) ** 0.9)
    return z + drift * np.arange(len(f)) / len(f)


def write_csv(path, f, z):
    rows = ["Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm"]
    rows += [f"{float(a)!r},{float(b.real)!r},{float(b.imag)!r}" for a, b in zip(f, z)]
    path.write_text("\n".join(rows) + "\n")
    return str(path)


@pytest.fixture
def spectrum_file(tmp_path):
    f = np.logspace(5, -2, 50)
    rng = np.random.default_rng(1)
    z = randles_wo_drift(f) * (1 + 0.003 * (rng.standard_normal(50) + 1j * rng.standard_normal(50)))
    return write_csv(tmp_path / "cell.csv", f, z)


def run(*argv):
    out = io.StringIO()
    return main(list(argv), out=out), out.getvalue()


def test_fit_prints_the_table_and_writes_json_and_csv(tmp_path, spectrum_file, capsys):
    status, out = run("fit", spectrum_file, "--json", str(tmp_path / "r.json"), "--csv", str(tmp_path / "s.csv"))
    assert status == 0
    assert "R0-p(R1,CPE1)" in out and "CPE1.alpha" in out and "rel. error" in out
    result = json.loads((tmp_path / "r.json").read_text())
    assert result["success"] and result["circuit"] == "R0-p(R1,CPE1)"
    assert result["params"]["R1.r"] == pytest.approx(10.0, rel=0.02)
    rows = list(csv.DictReader((tmp_path / "s.csv").open()))
    assert len(rows) == 1 and float(rows[0]["R0.r"]) == result["params"]["R0.r"]


def test_several_files_show_progress_and_one_summary_row_each(tmp_path, spectrum_file, capsys):
    f = np.logspace(4, -1, 40)
    second = write_csv(tmp_path / "other.csv", f, randles_wo_drift(f))
    status, out = run("fit", spectrum_file, second, "--csv", "-")
    assert status == 0
    err = capsys.readouterr().err
    assert "[1/2]" in err and "rel. error" in err  # the tables go to standard error
    summary = list(csv.DictReader(io.StringIO(out)))  # standard output is the CSV alone
    assert [row["file"] for row in summary] == [spectrum_file, second]
    # the column names of kelvara.dask's frames
    assert list(summary[0])[3:10] == ["circuit", "success", "chi_square", "message", "R0.r", "R1.r", "CPE1.q"]
    assert float(summary[0]["R1.r_stderr"]) > 0 and summary[0]["message"]


@pytest.mark.parametrize("argv, message", [
    (["fit", "absent.csv"], "absent.csv: no such file"),
    (["fit", "{file}", "--circuit", "R0-(R1"], "--circuit 'R0-(R1'"),
    (["fit", "{file}", "--circuit", "rq", "--start", "1,2"], "--start '1,2'"),
    (["fit", "{file}", "--fix", "R0.r=1"], "--fix needs a circuit"),
])
def test_input_errors_are_one_line_and_status_2(spectrum_file, capsys, argv, message):
    status, _ = run(*[a.format(file=spectrum_file) for a in argv])
    err = capsys.readouterr().err
    assert status == 2
    assert err.startswith("kelvara: error: ") and message in err and "Traceback" not in err
    assert len([line for line in err.splitlines() if line.startswith("kelvara: error")]) == 1


def test_unsuccessful_fit_is_status_1(tmp_path, capsys, monkeypatch):
    # the readers refuse NaN; a spectrum holding one gives an unsuccessful fit
    f = np.logspace(3, -1, 20)
    z = randles_wo_drift(f)
    z[5] = complex(np.nan, 0.0)
    path = write_csv(tmp_path / "nan.csv", f, z)
    assert run("fit", path)[0] == 2 and "line 7: expected a finite number" in capsys.readouterr().err
    monkeypatch.setattr(kelvara.io, "read_all", lambda *a, **k: [kelvara.io.Spectrum(f, z, "CSV", (), path)])
    status, out = run("fit", path, "--circuit", "R0-p(R1,C1)-W2", "--start", "0.5,10,1e-4,1")
    assert status == 1 and "NOT successful" in out


@pytest.mark.parametrize("drift, status", [(0.0, 0), (3.0, 1)])
def test_check_verdict(tmp_path, drift, status, capsys):
    f = np.logspace(5, -2, 60)
    got, out = run("check", write_csv(tmp_path / "s.csv", f, randles_wo_drift(f, drift)))
    assert got == status and "Kramers-Kronig" in out


def test_circuits_lists_models_and_elements():
    status, out = run("circuits")
    assert status == 0
    for name in kelvara.Circuit.ml_circuits():
        assert name in out
    assert "CPE   q [ohm^-1*s^alpha], alpha [-]" in out


def test_plot_writes_a_png(tmp_path, spectrum_file):
    pytest.importorskip("matplotlib")
    status, _ = run("fit", spectrum_file, "--plot", str(tmp_path / "fit.png"))
    assert status == 0 and (tmp_path / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("argv, status", [(["--version"], 0), (["fit"], 2), (["nonsense"], 2)])
def test_module_entry_point_exit_status(argv, status):
    proc = subprocess.run([sys.executable, "-m", "kelvara", *argv], env=child_env(), capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == status, proc.stderr
    assert "Traceback" not in proc.stderr


# ---------------------------------------------------------------- outputs never touch inputs


def snapshot(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


@pytest.mark.parametrize("command, option", [("fit", "--json"), ("fit", "--csv"), ("fit", "--plot"),
                                             ("drt", "--csv"), ("drt", "--plot")])
@pytest.mark.parametrize("spelling", ["same", "dotted", "symlink"])
def test_an_output_that_is_an_input_is_refused_before_any_work(tmp_path, spectrum_file, capsys, command, option,
                                                               spelling):
    pytest.importorskip("matplotlib")
    if option == "--plot":  # a figure name is an input too when the input has a figure suffix
        spectrum_file = str(tmp_path / "cell.png")
        (tmp_path / "cell.csv").rename(spectrum_file)
    target = {"same": spectrum_file, "dotted": str(tmp_path / "." / ".." / tmp_path.name / "cell"),
              "symlink": str(tmp_path / "link")}[spelling]
    if spelling == "dotted":
        target += ".png" if option == "--plot" else ".csv"
    if spelling == "symlink":
        (tmp_path / "link").symlink_to(spectrum_file)
    before = snapshot(tmp_path)
    status, out = run(command, spectrum_file, "--format", "csv", option, target)
    err = capsys.readouterr().err
    assert status == 2 and "input file" in err and "Traceback" not in err and out == ""
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("option, path, message", [
    ("--json", "{tmp}", "a folder"),
    ("--csv", "{tmp}/missing/s.csv", "no folder"),
    ("--plot", "{tmp}/out", "expected a figure suffix"),
    ("--plot", "{tmp}/out.csv", "expected a figure suffix"),
    ("--plot", "/dev/full", "expected a figure suffix"),
])
def test_unusable_outputs_are_one_line_input_errors(tmp_path, spectrum_file, capsys, option, path, message):
    pytest.importorskip("matplotlib")
    before = snapshot(tmp_path)
    status, out = run("fit", spectrum_file, option, path.format(tmp=tmp_path))
    err = capsys.readouterr().err
    assert status == 2 and message in err and "Traceback" not in err and out == ""
    assert len(err.splitlines()) == 1 and snapshot(tmp_path) == before


def test_check_plot_to_a_device_creates_nothing(spectrum_file, capsys):
    pytest.importorskip("matplotlib")
    from pathlib import Path
    assert run("check", spectrum_file, "--plot", "/dev/full")[0] == 2
    assert not Path("/dev/full.png").exists()


def test_a_dollar_file_name_is_drawn_literally(tmp_path, spectrum_file):
    pytest.importorskip("matplotlib")
    name = tmp_path / "$x^{2$_1$.csv"
    (tmp_path / "cell.csv").rename(name)
    status, _ = run("fit", str(name), "--plot", str(tmp_path / "fit.svg"))
    assert status == 0 and "$x^{2$_1$.csv" in (tmp_path / "fit.svg").read_text()


def test_figures_are_numbered_and_closed_and_a_failed_figure_keeps_the_results(tmp_path, spectrum_file,
                                                                               monkeypatch, capsys):
    plt = pytest.importorskip("matplotlib.pyplot")
    second = str(tmp_path / "b.csv")
    (tmp_path / "b.csv").write_bytes((tmp_path / "cell.csv").read_bytes())
    status, _ = run("fit", spectrum_file, second, "--plot", str(tmp_path / "f.png"))
    assert status == 0 and plt.get_fignums() == []
    assert sorted(p.name for p in tmp_path.glob("f*")) == ["f-1.png", "f-2.png"]

    from kelvara import plot

    def broken(*args, **kwargs):
        raise RuntimeError("no figure today")

    monkeypatch.setattr(plot, "fit_figure", broken)
    status, _ = run("fit", spectrum_file, second, "--plot", str(tmp_path / "g.png"),
                    "--json", str(tmp_path / "r.json"))
    assert status == 2 and "no figure today" in capsys.readouterr().err
    assert len(json.loads((tmp_path / "r.json").read_text())) == 2
    assert not list(tmp_path.glob("g*")) and not list(tmp_path.glob(".*"))


def test_ctrl_c_writes_the_finished_fits_and_exits_130(tmp_path, spectrum_file, monkeypatch, capsys):
    from kelvara import cli

    spectra = cli._spectra

    def interrupted_second(*args):
        for index, item in enumerate(spectra(*args)):
            if index == 1:
                raise KeyboardInterrupt
            yield item

    monkeypatch.setattr(cli, "_spectra", interrupted_second)
    (tmp_path / "json").mkdir()
    (tmp_path / "json" / "r.json").write_text("old")
    status, _ = run("fit", spectrum_file, spectrum_file, spectrum_file, "--json", str(tmp_path / "json" / "r.json"))
    assert status == 130 and "interrupted" in capsys.readouterr().err
    assert json.loads((tmp_path / "json" / "r.json").read_text())["file"] == spectrum_file
    assert [p.name for p in (tmp_path / "json").iterdir()] == ["r.json"]


def test_misspelt_model_name_gets_a_suggestion(spectrum_file, capsys):
    assert run("fit", spectrum_file, "--circuit", "radnles")[0] == 2
    err = capsys.readouterr().err
    assert "did you mean 'randles'?" in err and "unexpected character" not in err


def test_seed_repeats_a_random_method(spectrum_file, tmp_path):
    chi = []
    for i in range(2):
        path = tmp_path / f"r{i}.json"
        assert run("fit", spectrum_file, "--method", "simulated_annealing", "--seed", "7", "--json", str(path))[0] in (0, 1)
        chi.append(json.loads(path.read_text())["chi_square"])
    assert chi[0] == chi[1]


def test_frequency_selection(tmp_path, capsys):
    f = np.logspace(5, -1, 61)
    z = randles_wo_drift(f) + 1j * TWO_PI * f * 2e-5  # leads: inductive above about 3 kHz
    path = write_csv(tmp_path / "leads.csv", f, z)
    inductive = int(np.sum(np.cumprod(z.imag > 0)))
    assert inductive > 5
    status, out = run("fit", path, "--fmin", "0.5", "--fmax", "5e4", "--csv", "-")
    assert status == 0 and next(csv.DictReader(io.StringIO(out)))["points"] == str(np.sum((f >= 0.5) & (f <= 5e4)))
    status, out = run("fit", path, "--drop-inductive", "--csv", "-")
    assert next(csv.DictReader(io.StringIO(out)))["points"] == str(f.size - inductive)
    assert run("fit", path, "--fmin", "1e6")[0] == 2
    assert "no point left" in capsys.readouterr().err


@pytest.mark.parametrize("tolerance, status", [("1e-6", 1), ("50%", 0)])
def test_check_tolerance(spectrum_file, capsys, tolerance, status):
    assert run("check", spectrum_file, "--tolerance", tolerance)[0] == status


def test_figures_are_titled_with_the_file_name(spectrum_file, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    from kelvara import plot

    titles = []
    original = plot.fit_figure

    def spy(*args, title=None, **kwargs):
        titles.append(title)
        return original(*args, title=title, **kwargs)

    monkeypatch.setattr(plot, "fit_figure", spy)
    assert run("check", spectrum_file, "--plot", str(tmp_path / "kk.png"))[0] == 0
    assert run("fit", spectrum_file, "--plot", str(tmp_path / "fit.png"))[0] == 0
    assert titles == ["cell.csv", "cell.csv"]


# ------------------------------------------------------------------ pipelines and batches


def kelvara_process(*argv, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "kelvara", *argv], env=child_env(), text=True,
                            stderr=subprocess.PIPE, **kwargs)


def test_a_closed_pipe_ends_quietly_and_the_files_are_written(tmp_path, spectrum_file):
    second = write_csv(tmp_path / "other.csv", *np.loadtxt(spectrum_file, delimiter=",", skiprows=1).T[:1],
                       np.loadtxt(spectrum_file, delimiter=",", skiprows=1, usecols=(1, 2)) @ [1, 1j])
    proc = kelvara_process("fit", spectrum_file, second, "--circuit", "R0-p(R1,CPE1)",
                           "--csv", str(tmp_path / "s.csv"), stdout=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()  # as `| head -1` does
    err = proc.stderr.read()
    assert proc.wait(timeout=120) == 0 and "Traceback" not in err and "BrokenPipe" not in err
    assert len((tmp_path / "s.csv").read_text().splitlines()) == 3


def test_a_link_to_standard_output_is_written_through(tmp_path, spectrum_file):
    with open(tmp_path / "captured", "w") as sink:
        proc = kelvara_process("fit", spectrum_file, "--circuit", "R0-p(R1,CPE1)", "--csv", "/dev/stdout",
                               stdout=sink)
        assert proc.wait(timeout=120) == 0, proc.stderr.read()
    lines = (tmp_path / "captured").read_text().splitlines()
    assert lines[0].startswith("file,sweep,points") and len(lines) == 2  # the tables went to stderr
    assert os.path.islink("/dev/stdout")


def test_a_device_is_written_through_and_its_failure_reported(spectrum_file, capsys):
    status, _ = run("fit", spectrum_file, "--circuit", "R0-p(R1,CPE1)", "--json", "/dev/full")
    err = capsys.readouterr().err
    assert status == 2 and "--json /dev/full: No space left on device" in err and "Traceback" not in err


def test_numbered_figures_never_replace_another_output(tmp_path, spectrum_file, capsys):
    pytest.importorskip("matplotlib")
    second = tmp_path / "second.csv"
    second.write_text(open(spectrum_file).read())
    status, _ = run("drt", spectrum_file, str(second), "--plot", str(tmp_path / "d.png"),
                    "--csv", str(tmp_path / "d-1.png"))
    err = capsys.readouterr().err
    assert status == 2 and "the numbered name" in err and "--csv output" in err
    assert (tmp_path / "d-1.png").read_text().startswith("file,sweep,peak")


def test_folders_and_patterns_name_their_files_and_quiet_prints_nothing(tmp_path, spectrum_file, capsys):
    folder = tmp_path / "runs"
    folder.mkdir()
    for name in ("b.csv", "a.csv", ".hidden.csv"):
        (folder / name).write_text(open(spectrum_file).read())
    status, out = run("fit", str(folder), "--circuit", "R0-p(R1,CPE1)", "--quiet", "--csv", str(tmp_path / "s.csv"))
    assert status == 0 and out == "" and capsys.readouterr().err == ""
    files = [row["file"] for row in csv.DictReader((tmp_path / "s.csv").open())]
    assert files == [str(folder / "a.csv"), str(folder / "b.csv")]
    status, out = run("check", str(folder / "*.csv"))
    assert status == 0 and out.count("passed") == 2
    status, _ = run("check", str(folder / "*.txt"))
    assert status == 2 and "no file matches" in capsys.readouterr().err


def test_a_series_plot_is_the_trend_and_its_table_has_verdicts(tmp_path, spectrum_file):
    pytest.importorskip("matplotlib")
    status, out = run("fit", spectrum_file, spectrum_file, "--circuit", "R0-p(R1,CPE1)", "--series",
                      "--plot", str(tmp_path / "trend.png"))
    assert status == 0 and "verdict" in out.split("the series, in the order given")[1]
    assert [p.name for p in tmp_path.iterdir() if p.suffix == ".png"] == ["trend.png"]  # one figure, not one per fit


def test_ctrl_c_during_a_series_says_only_what_is_true(tmp_path):
    import signal
    import time

    f = np.logspace(4, -1, 20)
    z = randles_wo_drift(f)
    rows = ["Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm,Cycle"]
    rows += [f"{float(a)!r},{float(b.real)!r},{float(b.imag)!r},{cycle}" for cycle in range(4000) for a, b in zip(f, z)]
    (tmp_path / "long.csv").write_text("\n".join(rows) + "\n")
    proc = kelvara_process("fit", str(tmp_path / "long.csv"), "--circuit", "R0-p(R1,CPE1)", "--series",
                           "--csv", str(tmp_path / "s.csv"), stdout=subprocess.PIPE)
    time.sleep(4)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    written = (tmp_path / "s.csv").exists()
    assert ("no output file was written" in err) != written
    assert not written or f"written to {tmp_path / 's.csv'}" in err


def test_drt_exits_1_when_the_data_are_not_represented(tmp_path, capsys):
    f = np.logspace(4, -1, 40)
    z = randles_wo_drift(f)
    good, bad = write_csv(tmp_path / "good.csv", f, z), write_csv(tmp_path / "bad.csv", f, np.conj(z))
    assert run("drt", good, "--fmin", "0.5")[0] == 0
    status, out = run("drt", bad)
    assert status == 1 and "no R_inf, L and non-negative DRT describes them" in out
