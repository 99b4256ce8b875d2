"""The app's server: the token, uploads, bad files, fits and exports, through
Starlette's test client. Fits are checked against spectra computed here from the
circuit's formula."""

import csv
import io
import json
import socket
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

pytest.importorskip("starlette")
pytest.importorskip("httpx")
app_module = pytest.importorskip("kelvara.app")
with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # newer Starlette prefers httpx2 to httpx; either drives the client
    from starlette.testclient import TestClient  # noqa: E402

from conftest import DATA, child_env  # noqa: E402

# R0-p(R1,CPE1): Z = R0 + R1 / (1 + R1 Q (j w)^alpha), written out here
TRUTH = {"R0.r": 12.0, "R1.r": 85.0, "CPE1.q": 3e-5, "CPE1.alpha": 0.87}
F = np.geomspace(1e5, 0.1, 60)


def rq_impedance(f, r0, r1, q, alpha):
    jw = 1j * 2 * np.pi * f
    return r0 + r1 / (1 + r1 * q * jw**alpha)


def spectrum_csv(values=TRUTH):
    z = rq_impedance(F, *values.values())
    lines = ["Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm"]
    lines += [f"{float(f)!r},{float(v.real)!r},{float(v.imag)!r}" for f, v in zip(F, z)]
    return ("\n".join(lines) + "\n").encode()


@pytest.fixture
def client():
    app = app_module.create_app(max_upload_bytes=200_000)
    with TestClient(app) as test_client:
        test_client.headers["X-Kelvara-Token"] = app.state.token
        yield test_client


def upload(client, name, data):
    return client.post(f"/api/upload?name={name}", content=data)


def uploaded(client, name="rq.csv", data=None):
    answer = upload(client, name, spectrum_csv() if data is None else data)
    assert answer.status_code == 200, answer.text
    return answer.json()["spectra"][0]["id"]


@pytest.mark.parametrize("path", ["/", "/api/spectra", "/static/plotly.min.js", "/api/export.csv"])
@pytest.mark.parametrize("token", [None, "", "wrong"])
def test_every_address_needs_the_token(path, token):
    app = app_module.create_app()
    with TestClient(app) as bare:
        headers = {} if token is None else {"X-Kelvara-Token": token}
        assert bare.get(path, headers=headers).status_code == 403
        assert bare.get(path, params={"token": token or "x"}).status_code == 403
        assert bare.get(path, params={"token": app.state.token}).status_code == 200


def test_page_carries_its_token_and_plotly_from_the_package():
    app = app_module.create_app()
    other = app_module.create_app()
    assert app.state.token != other.state.token and len(app.state.token) >= 24
    with TestClient(app) as bare:
        page = bare.get("/", params={"token": app.state.token}).text
        assert f'data-token="{app.state.token}"' in page and "{{token}}" not in page
        script = bare.get("/static/plotly.min.js", params={"token": app.state.token})
        assert script.headers["content-type"].startswith("text/javascript")
        assert "plotly.js" in script.text[:2000] and len(script.content) > 1_000_000
        assert "https://" not in page  # nothing fetched from elsewhere


def test_server_listens_on_loopback_only():
    server = app_module.Server()
    try:
        host, port = server._socket.getsockname()
        assert host == "127.0.0.1"
        assert server.url == f"http://127.0.0.1:{port}/?token={server.app.state.token}"
    finally:
        server._socket.close()


def test_upload_above_the_limit_is_refused_and_the_server_goes_on(client):
    answer = upload(client, "big.csv", spectrum_csv() + b"1,2,3\n" * 40_000)
    assert answer.status_code == 413
    assert "big.csv" in answer.json()["error"] and "upload limit" in answer.json()["error"]
    assert client.get("/api/spectra").json()["spectra"] == []
    uploaded(client)


@pytest.mark.parametrize("name, data, words", [
    ("broken.csv", b"Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n1,2,3\n10,nope,4\n", "broken.csv"),
    ("noise.bin", bytes(range(256)) * 20, "noise.bin"),
    ("empty.csv", b"", "empty.csv"),
])
def test_a_bad_file_shows_the_readers_message(client, name, data, words):
    answer = upload(client, name, data)
    assert answer.status_code == 400
    message = answer.json()["error"]
    assert words in message and "kelvara-app-" not in message  # the user's name, not the server's copy
    uploaded(client)  # still serving


def test_only_named_files_are_opened(tmp_path):
    (tmp_path / "rq.csv").write_bytes(spectrum_csv())
    app = app_module.create_app([str(tmp_path / "rq.csv"), str(tmp_path / "missing.csv")])
    with TestClient(app) as bare:
        listing = bare.get("/api/spectra", params={"token": app.state.token}).json()
    assert [row["label"] for row in listing["spectra"]] == ["rq.csv"]
    assert listing["errors"] == ["missing.csv: no such file"]


def test_automatic_choice_has_a_verdict_and_flags(client):
    ident = uploaded(client, "Circuit1_EIS_1.z", (DATA / "Circuit1_EIS_1.z").read_bytes())
    detail = client.post(f"/api/spectrum/{ident}/auto").json()
    fit = detail["fit"]
    assert detail["auto"] == fit["circuit"]
    assert fit["verdict"] in ("clean", "suspect", "unreliable", "failed")
    assert all(flag["code"] and flag["text"] for flag in fit["flags"])
    assert detail["kk"]["summary"] and detail["drt"]["tau"]
    # the dummy cell is an R-RC circuit: the series resistance is the high-frequency intercept
    f, z = np.array(detail["f"]), np.array(detail["re"]) + 1j * np.array(detail["im"])
    assert [row["verdict"] for row in client.get("/api/spectra").json()["spectra"]] == [fit["verdict"]]
    brief = client.post(f"/api/spectrum/{ident}/auto?brief=1").json()  # chosen once; the table's row only
    assert (brief["verdict"], brief["circuit"], brief["revision"]) == (fit["verdict"], fit["circuit"], 1)
    assert "f" not in brief
    assert len(f) == 48 and np.all(np.isfinite(z))


def fit(client, ident, **body):
    return client.post(f"/api/spectrum/{ident}/fit", json=body)


def test_refit_from_the_data_finds_the_formulas_values(client):
    ident = uploaded(client)
    answer = fit(client, ident, circuit="R0-p(R1,CPE1)", request=7)
    assert answer.status_code == 200, answer.text
    detail = answer.json()
    assert detail["request"] == 7
    values = {p["name"]: p["value"] for p in detail["fit"]["params"]}
    assert values == pytest.approx(TRUTH, rel=1e-6)
    assert np.max(np.abs(detail["fit"]["residuals"]["re"])) < 1e-8


def test_edited_fixed_and_bounded_parameters(client):
    ident = uploaded(client)
    start = [10.0, 100.0, 1e-5, 0.8]
    held = fit(client, ident, circuit="R0-p(R1,CPE1)", values=start, fixed=["R0.r"],
               bounds={"R1.r": [None, 80.0]}).json()["fit"]
    params = {p["name"]: p for p in held["params"]}
    assert params["R0.r"]["value"] == 10.0 and params["R0.r"]["fixed"] and params["R0.r"]["stderr"] is None
    assert params["R1.r"]["upper"] == 80.0 and params["R1.r"]["value"] <= 80.0
    assert held["verdict"] != "clean"  # R0 held 2 ohm off the truth: the fit cannot be clean
    free = fit(client, ident, circuit="R0-p(R1,CPE1)", values=start).json()["fit"]
    assert {p["name"]: p["value"] for p in free["params"]} == pytest.approx(TRUTH, rel=1e-6)


@pytest.mark.parametrize("body, words", [
    ({"circuit": "R0-p(R1,CPX1)"}, "CPX"),
    ({"circuit": "R0-p(R1,CPF1)"}, "did you mean 'R0-p(R1,CPE1)'?"),
    ({"circuit": "randels"}, "did you mean 'randles'?"),
    ({"circuit": ""}, "write a circuit"),
    ({"circuit": "R0-p(R1,CPE1)", "values": [1, 2]}, "2 values for the 4 parameters"),
    ({"circuit": "R0-p(R1,CPE1)", "values": [1, 2, 3, 0.5], "fixed": ["R9.r"]}, "no parameter R9.r"),
    ({"circuit": "R0-p(R1,CPE1)", "values": [1, 2, 3, 0.5], "bounds": {"R1.r": [5, 1]}}, "R1.r"),
    ({"circuit": "R0-p(R1,CPE1)", "values": [1, 2, 3, 0.5], "bounds": [[5, 1]]}, "parameters"),
    ({"circuit": "R0-p(R1,CPE1)", "values": [1, 2, 3, 0.5], "fixed": 5}, "parameters"),
    ({"circuit": "R0-p(R1,CPE1)", "values": [1, "x", 3, 0.5]}, "parameters"),
    ({"circuit": 5}, "write a circuit"),
])
def test_bad_circuits_and_parameters_are_explained(client, body, words):
    ident = uploaded(client)
    answer = fit(client, ident, **body)
    assert answer.status_code == 400 and words in answer.json()["error"]
    assert fit(client, ident, circuit="R0-p(R1,CPE1)").status_code == 200


def test_the_same_refit_twice_at_once_leaves_one_whole_result(client):
    ident = uploaded(client)
    session = client.app.state.session
    barrier = threading.Barrier(4)
    errors = []

    def refit(start):
        barrier.wait()
        try:
            session.refit(ident, "R0-p(R1,CPE1)", start, ["R0.r"] if start[0] == 11.0 else [])
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=refit, args=([11.0 + (i % 2), 90.0, 2e-5, 0.85],)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    entry = session.get(ident)
    assert entry.revision == 4
    params = entry.result.params
    if entry.result.circuit.fixed:  # the last one stored held R0 at 11
        assert params["R0.r"] == 11.0
    else:
        assert params == pytest.approx(TRUTH, rel=1e-6)


def test_exports_hold_the_fit(client, tmp_path):
    ident = uploaded(client)
    fit(client, ident, circuit="R0-p(R1,CPE1)", values=[10.0, 100.0, 1e-5, 0.8], fixed=["CPE1.alpha"])
    table = list(csv.DictReader(io.StringIO(client.get("/api/export.csv").text)))
    assert [row["parameter"] for row in table] == list(TRUTH)
    assert {row["file"] for row in table} == {"rq.csv"} and table[3]["fixed"] == "yes"
    assert float(table[3]["value"]) == 0.8 and table[3]["stderr"] == ""
    document = json.loads(client.get("/api/export.json").text)
    assert document["spectra"][0]["result"]["fixed"] == ["CPE1.alpha"]
    # the script repeats the fit with the public API, next to the file
    (tmp_path / "rq.csv").write_bytes(spectrum_csv())
    script = client.get(f"/api/spectrum/{ident}/script.py").text
    (tmp_path / "repeat.py").write_text(script + "print(repr(result.params['R1.r']))\n")
    run = subprocess.run([sys.executable, "repeat.py"], cwd=tmp_path, env=child_env(), capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert float(run.stdout.split()[-1]) == pytest.approx(float(table[1]["value"]), rel=1e-6)


def test_serve_on_a_taken_port_is_a_usage_error(capsys):
    from kelvara.cli import main

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        status = main(["serve", "--no-browser", "--port", str(taken.getsockname()[1])])
    assert status == 2 and "cannot listen" in capsys.readouterr().err


def test_masked_points_are_left_out_of_the_fit_and_the_exports(client, tmp_path):
    z = rq_impedance(F, *TRUTH.values())
    outliers = [5, 30, 31]
    z[outliers] *= 1.5  # three spoilt points: only leaving them out gives the formula's values back
    lines = ["Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm"]
    lines += [f"{float(a)!r},{float(b.real)!r},{float(b.imag)!r}" for a, b in zip(F, z)]
    data = ("\n".join(lines) + "\n").encode()
    ident = uploaded(client, "spoilt.csv", data)
    start = [10.0, 100.0, 1e-5, 0.8]
    spoilt = fit(client, ident, circuit="R0-p(R1,CPE1)", values=start).json()
    assert {p["name"]: p["value"] for p in spoilt["fit"]["params"]} != pytest.approx(TRUTH, rel=1e-3)
    detail = fit(client, ident, circuit="R0-p(R1,CPE1)", values=start, masked=outliers, weight="unit").json()
    assert detail["masked"] == outliers and detail["weight"] == "unit"
    assert {p["name"]: p["value"] for p in detail["fit"]["params"]} == pytest.approx(TRUTH, rel=1e-6)
    assert [detail["fit"]["residuals"]["re"][i] for i in outliers] == [None] * 3
    table = list(csv.DictReader(io.StringIO(client.get("/api/export.csv").text)))
    assert {row["masked_points"] for row in table} == {"3"}
    record = json.loads(client.get("/api/export.json").text)["spectra"][0]
    assert record["masked_frequencies"] == pytest.approx(F[outliers].tolist()) and record["weight"] == "unit"
    (tmp_path / "spoilt.csv").write_bytes(data)
    (tmp_path / "repeat.py").write_text(client.get(f"/api/spectrum/{ident}/script.py").text
                                        + "print(repr(result.params['R1.r']))\n")
    run = subprocess.run([sys.executable, "repeat.py"], cwd=tmp_path, env=child_env(), capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert float(run.stdout.split()[-1]) == pytest.approx(TRUTH["R1.r"], rel=1e-6)


@pytest.mark.parametrize("body, words", [
    ({"masked": [60]}, "no point 60"),
    ({"masked": ["a"]}, "positions"),
    ({"masked": list(range(60))}, ""),  # no point left: the engine's message
    ({"method": "newton"}, "unknown method 'newton'"),
    ({"weight": "square"}, "unknown weight 'square'"),
])
def test_bad_masks_and_options_are_explained(client, body, words):
    ident = uploaded(client)
    answer = fit(client, ident, circuit="R0-p(R1,CPE1)", values=[10.0, 100.0, 1e-5, 0.8], **body)
    assert answer.status_code == 400 and words in answer.json()["error"] and answer.json()["error"]


def test_a_folder_stands_for_its_files(tmp_path):
    (tmp_path / "b.csv").write_bytes(spectrum_csv())
    (tmp_path / "a.csv").write_bytes(spectrum_csv())
    (tmp_path / ".hidden.csv").write_bytes(b"not read")
    (tmp_path / "empty").mkdir()
    app = app_module.create_app([tmp_path, tmp_path / "empty"])
    with TestClient(app) as bare:
        listing = bare.get("/api/spectra", params={"token": app.state.token}).json()
    assert [row["label"] for row in listing["spectra"]] == ["a.csv", "b.csv"]
    assert listing["errors"] == [f"{tmp_path / 'empty'}: a folder without files"]


def test_a_series_fits_every_spectrum_with_shared_parameters(client):
    scales = (1.0, 1.2, 1.4)
    ids = [uploaded(client, f"soc{k}.csv", spectrum_csv(dict(TRUTH, **{"R1.r": TRUTH["R1.r"] * s})))
           for k, s in enumerate(scales)]
    answer = client.post("/api/series", json={"circuit": "R0-p(R1,CPE1)", "values": [10.0, 100.0, 1e-5, 0.8],
                                              "shared": ["R0.r"], "ids": ids[::-1]})
    assert answer.status_code == 200, answer.text
    trend = answer.json()
    assert [row["label"] for row in trend["spectra"]] == ["soc2.csv", "soc1.csv", "soc0.csv"]
    r1 = [row["values"][trend["names"].index("R1.r")] for row in trend["spectra"]]
    assert r1 == pytest.approx([TRUTH["R1.r"] * s for s in scales[::-1]], rel=1e-6)
    assert trend["shared"] == {"R0.r": pytest.approx(TRUTH["R0.r"], rel=1e-6)}
    # each spectrum now shows its series fit
    for ident, scale in zip(ids, scales):
        params = {p["name"]: p["value"] for p in client.get(f"/api/spectrum/{ident}").json()["fit"]["params"]}
        assert params["R1.r"] == pytest.approx(TRUTH["R1.r"] * scale, rel=1e-6)


@pytest.mark.parametrize("body, words", [
    ({"circuit": "R0-p(R1,CPE1)", "shared": ["R5.r"]}, "no parameter R5.r to share"),
    ({"circuit": "R0-p(R1,CPE1)", "ids": [99]}, "no spectrum 99"),
    ({"circuit": "R0-p(R1"}, "R0-p(R1"),
])
def test_a_bad_series_is_explained(client, body, words):
    uploaded(client)
    answer = client.post("/api/series", json=body)
    assert answer.status_code == 400 and words in answer.json()["error"]


def test_a_candidate_of_the_ranking_can_be_picked(client):
    ident = uploaded(client, "Circuit1_EIS_1.z", (DATA / "Circuit1_EIS_1.z").read_bytes())
    ranking = client.post(f"/api/spectrum/{ident}/auto").json()["ranking"]
    assert len(ranking) > 1 and client.get(f"/api/spectrum/{ident}").json()["auto"] in [r["notation"] for r in ranking]
    bics = [r["bic"] for r in ranking if r["bic"] is not None]
    assert bics == sorted(bics)
    picked = client.post(f"/api/spectrum/{ident}/candidate/{len(ranking) - 1}").json()
    assert picked["fit"]["circuit"] == ranking[-1]["notation"] and picked["fit"]["verdict"] == ranking[-1]["verdict"]
    assert client.post(f"/api/spectrum/{ident}/candidate/{len(ranking)}").status_code == 404


def test_the_report_is_self_contained_and_says_what_was_fitted(client):
    good = uploaded(client)
    uploaded(client, "Circuit1_EIS_1.z", (DATA / "Circuit1_EIS_1.z").read_bytes())
    fit(client, good, circuit="R0-p(R1,CPE1)", values=[10.0, 100.0, 1e-5, 0.8], masked=[0, 1], weight="unit")
    client.post("/api/spectrum/2/auto")
    answer = client.get("/api/export.html")
    assert answer.status_code == 200 and answer.headers["content-type"].startswith("text/html")
    report = answer.text
    for words in ("rq.csv", "Circuit1_EIS_1.z", "R0-p(R1,CPE1)", "R1.r", "CPE1.alpha", f"kelvara {kelvara_version()}",
                  "unit weights", "Left out of the fit: the points at 1e+05, 7.912e+04 Hz", "Kramers-Kronig check",
                  "kelvara.select chose"):
        assert words in report, words
    assert "<script src=" not in report and report.count("plotly.js v") == 1  # plotly.js inside, once
    assert report.count("Plotly.newPlot") == 2


def kelvara_version():
    import kelvara

    return kelvara.__version__


def test_a_saved_project_reopens_the_session(client):
    free = uploaded(client, "free.csv")
    held = uploaded(client, "held.csv")
    fit(client, free, circuit="R0-p(R1,CPE1)", values=[10.0, 100.0, 1e-5, 0.8], masked=[3, 4], weight="unit")
    fit(client, held, circuit="R0-p(R1,CPE1)", values=[10.0, 100.0, 1e-5, 0.8], fixed=["R0.r"],
        bounds={"CPE1.alpha": [0.5, 0.95], "R1.r": [None, 90.0]})
    project = client.get("/api/export.kelvara")
    assert project.headers["content-disposition"].endswith('filename="session.kelvara"')
    again = app_module.create_app()
    with TestClient(again) as other:
        other.headers["X-Kelvara-Token"] = again.state.token
        rows = other.post("/api/upload?name=session.kelvara", content=project.content).json()["spectra"]
        assert [(row["label"], row["fitted"]) for row in rows] == [("free.csv", True), ("held.csv", True)]
        first, second = (other.get(f"/api/spectrum/{row['id']}").json() for row in rows)
        assert other.post(f"/api/spectrum/{rows[0]['id']}/auto").json()["fit"]["circuit"] == "R0-p(R1,CPE1)"
    assert first["masked"] == [3, 4] and first["weight"] == "unit" and first["kk"] is not None
    assert {p["name"]: p["value"] for p in first["fit"]["params"]} == pytest.approx(TRUTH, rel=1e-6)
    params = {p["name"]: p for p in second["fit"]["params"]}
    assert params["R0.r"]["fixed"] and params["R0.r"]["value"] == 10.0
    assert (params["CPE1.alpha"]["lower"], params["CPE1.alpha"]["upper"]) == (0.5, 0.95)
    assert params["R1.r"]["upper"] == 90.0 and params["R1.r"]["value"] <= 90.0
    assert np.allclose(first["re"], rq_impedance(F, *TRUTH.values()).real, rtol=1e-15)


@pytest.mark.parametrize("data", [b"{}", b"not json", b'{"format": "kelvara app project 1", "spectra": [{}]}'])
def test_a_bad_project_is_refused(client, data):
    answer = upload(client, "old.kelvara", data)
    assert answer.status_code == 400 and "old.kelvara: not a kelvara project" in answer.json()["error"]


# -- stopping a fit -----------------------------------------------------------------------------

LONG_CIRCUIT = "R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)-p(R4,CPE4)-p(R5,CPE5)"


def long_fit(f, z):
    """A differential-evolution search over ten arcs' worth of parameters and thousands of
    points: a minute or more of work when nothing stops it."""
    from kelvara.selection import fit_started

    return fit_started(kelvara_module().Circuit(LONG_CIRCUIT), f, z, method="differential_evolution", seed=0)


def kelvara_module():
    import kelvara

    return kelvara


def in_thread(call, *args):
    outcome = {}

    def run():
        try:
            outcome["value"] = call(*args)
        except BaseException as error:  # noqa: BLE001 - the test looks at what was raised
            outcome["raised"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def long_batch(f, z):
    """The same search for two spectra at once, on the worker pool (fit_many's batch)."""
    circuit = kelvara_module().Circuit(LONG_CIRCUIT)
    return kelvara_module().fit_many(circuit, [(f, z), (f, 1.1 * z)], method="differential_evolution", seed=0)


@pytest.mark.parametrize("call", [long_fit, long_batch])
def test_another_thread_cancels_a_running_call(call):
    from kelvara import _core

    f = np.geomspace(1e5, 0.1, 2000)
    z = rq_impedance(f, *TRUTH.values())
    mine, others = threading.Event(), threading.Event()

    def cancellable():
        _core._push_cancel(others)  # an event of an outer scope that nobody sets
        _core._push_cancel(mine)
        try:
            return call(f, z)
        finally:
            _core._pop_cancel()
            _core._pop_cancel()

    thread, outcome = in_thread(cancellable)
    # set on this thread: the event of the call running on the other one
    threading.Timer(0.3, mine.set).start()
    thread.join(timeout=60)
    assert not thread.is_alive()
    assert isinstance(outcome.get("raised"), KeyboardInterrupt) and str(outcome["raised"]) == "cancelled"
    # an event pushed on another thread does not reach this one's calls; a set one pushed here does
    few = F[:20], rq_impedance(F[:20], *TRUTH.values())
    assert kelvara_module().Circuit("R0-p(R1,CPE1)").fit(*few).success
    with pytest.raises(RuntimeError, match="without a matching"):
        _core._pop_cancel()
    with pytest.raises(AttributeError):
        _core._push_cancel(5)


@pytest.fixture
def long_client(tmp_path):
    f = np.geomspace(1e5, 0.1, 2000)
    z = rq_impedance(f, *TRUTH.values())
    path = tmp_path / "long.csv"
    path.write_text("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n" +
                    "".join(f"{a!r},{b.real!r},{b.imag!r}\n" for a, b in zip(f.tolist(), z.tolist())))
    app = app_module.create_app([path])
    with TestClient(app) as test_client:
        test_client.headers["X-Kelvara-Token"] = app.state.token
        yield test_client


def wait_for_running(session, count):
    for _ in range(2000):
        if len(session._running) >= count:
            return
        threading.Event().wait(0.01)
    raise AssertionError("the fits did not start")


def test_stop_ends_long_fits_and_keeps_the_session_as_it_was(long_client):
    session = long_client.app.state.session
    ident = session.entries()[0].id
    first = fit(long_client, ident, circuit="R0-p(R1,CPE1)", values=[10.0, 100.0, 1e-5, 0.8])
    assert first.status_code == 200
    before = session.get(ident)
    kept, revision = before.result, before.revision
    body = {"circuit": LONG_CIRCUIT, "method": "differential_evolution"}
    # the same long refit sent twice: one runs, the other waits for it; Stop ends both
    runs = [in_thread(lambda: fit(long_client, ident, **body)) for _ in range(2)]
    wait_for_running(session, 2)
    assert long_client.post("/api/cancel").json() == {"stopped": 2}
    for thread, outcome in runs:
        thread.join(timeout=60)
        assert not thread.is_alive()
        answer = outcome["value"]
        assert answer.status_code == 409 and answer.json()["cancelled"], answer.text
    entry = session.get(ident)
    assert entry.result is kept and entry.revision == revision and not session._running
    shown = long_client.get(f"/api/spectrum/{ident}").json()
    assert shown["fit"]["circuit"] == "R0-p(R1,CPE1)" and shown["revision"] == revision
    # a stop ends what runs then, not what is sent after
    again = fit(long_client, ident, circuit="R0-p(R1,CPE1)", values=[10.0, 100.0, 1e-5, 0.8], masked=[0])
    assert again.status_code == 200 and again.json()["revision"] == revision + 1


@pytest.mark.parametrize("shared", [[], ["R0.r"]])
def test_a_series_fitted_spectrum_by_spectrum_is_fit_series_itself(client, shared):
    """The page follows a series spectrum by spectrum; what it fits must be the library's series fit."""
    kelvara = kelvara_module()
    scales = (1.0, 1.3, 0.8, 1.6)
    spectra = [(F, rq_impedance(F, *dict(TRUTH, **{"R1.r": TRUTH["R1.r"] * s}).values()) * (1 + 0.01j * k))
               for k, s in enumerate(scales)]
    ids = [uploaded(client, f"s{k}.csv", "\n".join(
        ["f,re,im"] + [f"{a!r},{b.real!r},{b.imag!r}" for a, b in zip(f.tolist(), z.tolist())]).encode())
        for k, (f, z) in enumerate(spectra)]
    start = [10.0, 100.0, 1e-5, 0.8]
    trend = client.post("/api/series", json={"circuit": "R0-p(R1,CPE1)", "values": start, "shared": shared,
                                             "ids": ids}).json()
    expected = kelvara.fit_series(kelvara.Circuit("R0-p(R1,CPE1)").with_values(start), spectra, shared=shared)
    names = trend["names"]
    assert [row["values"] for row in trend["spectra"]] == [[r.params[n] for n in names] for r in expected]
    assert trend["shared"] == expected.shared
    assert client.get("/api/series/progress").json() == {"task": "series", "done": 4, "total": 4,
                                                         "stage": "joint" if shared else "separate"}


def _tlm(r_ion, gamma):
    """TLMQ where r_ion qs w^gamma = 1: sqrt(r_ion Z_Q) coth sqrt(r_ion / Z_Q), r_ion / Z_Q = j^gamma."""
    root = 1j ** (gamma / 2)
    return r_ion / root / np.tanh(root)


@pytest.mark.parametrize("notation, values, tau, handle, slope", [
    ("R0-p(R1,C1)", [5.0, 40.0, 1e-4], 40.0 * 1e-4, 5.0 + 40.0 / (1 + 1j), 0.5),
    ("R0-K1", [5.0, 40.0, 2e-3], 2e-3, 5.0 + 40.0 / (1 + 1j), 0.5),
    ("R0-Zarc1", [5.0, 40.0, 2e-3, 0.7], 2e-3, 5.0 + 40.0 / (1 + 1j ** 0.7), 0.5),
    ("R0-Tlmq1", [5.0, 40.0, 1e-3, 0.8], (40.0 * 1e-3) ** (1 / 0.8), 5.0 + _tlm(40.0, 0.8), _tlm(1.0, 0.8).real),
])
def test_every_arc_has_a_handle_at_its_time_constant(notation, values, tau, handle, slope):
    """Where each arc's handle sits (the impedance at w tau = 1) and how far it moves per ohm of
    the arc's resistance, from the elements' formulas."""
    circuit = kelvara_module().Circuit(notation).with_values(values)
    (arc,) = app_module._session.arcs(circuit)
    assert arc["f"] == pytest.approx(1 / (2 * np.pi * tau), rel=1e-12)
    assert (arc["x"], arc["y"]) == pytest.approx((handle.real, -handle.imag), rel=1e-9)
    assert arc["slope"] == pytest.approx(slope, rel=1e-4)


def test_an_edit_stops_the_long_refit_it_replaces(long_client):
    session = long_client.app.state.session
    ident = session.entries()[0].id
    thread, outcome = in_thread(lambda: fit(long_client, ident, circuit=LONG_CIRCUIT, method="differential_evolution"))
    wait_for_running(session, 1)
    start = [10.0, 100.0, 1e-5, 0.8]
    answer = fit(long_client, ident, circuit="R0-p(R1,CPE1)", values=start, replace=True)
    thread.join(timeout=60)
    assert not thread.is_alive() and outcome["value"].status_code == 409
    assert answer.status_code == 200 and answer.json()["revision"] == 1
    assert session.get(ident).result.params == pytest.approx(TRUTH, rel=1e-6)


def test_a_series_stopped_between_two_spectra_is_a_stop_not_an_error(client, monkeypatch):
    ids = [uploaded(client), uploaded(client, "second.csv")]

    def stopped_after_the_first(self, model, pairs, kwargs, event):
        event.set()  # Stop pressed while the first spectrum was fitted
        app_module._session._stop_if(event)

    monkeypatch.setattr(app_module._session.Session, "_warm_started", stopped_after_the_first)
    answer = client.post("/api/series", json={"ids": ids, "circuit": "R0-p(R1,C1)"})
    assert answer.status_code == 409 and answer.json()["cancelled"], answer.text
