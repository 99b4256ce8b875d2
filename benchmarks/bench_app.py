"""The app's speed, measured (not asserted) on a running server and in headless chromium.

    python benchmarks/bench_app.py [--refits N]

1. Edit to refit: a parameter's start value changed in the page, the refit sent to the
   server, fitted, answered and drawn (Nyquist, Bode, residuals, DRT), for a 60-point
   two-arc spectrum; and the server's share alone (HTTP round trip with the fit).
   Target: under 100 ms.
2. A series of 100 spectra (the two-arc spectrum with its second resistance growing):
   the automatic choice of each, one request after another as the page sends them, and
   the series fit of all 100 (warm starts) in one request.
3. Page load to interactive: from navigation to the page having listed the spectra and
   drawn the first one (the `kelvara-ready` mark), with plotly.js cold and cached.
   Target: under 1 s.
4. The 100-spectrum series in the page: the server started on the 100 files, the page
   opened on it: when it is interactive, when every spectrum has its automatic choice
   shown in the table, and then the series fit of all 100 from the page's button until
   its trend is drawn, with the progress the page showed. All along, the page must
   answer: the latency of a trivial script round trip through Selenium (sent every
   50 ms while the load runs) and the longest stall of the page's main thread once
   it is interactive (a 10 ms timer's lateness).

Needs the app extra, Selenium, and Debian's chromium and chromedriver (for part 1's
first half and part 2).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import tempfile
import time
import urllib.request

import numpy as np

import kelvara
import kelvara.app

NOTATION = "R0-p(R1,CPE1)-p(R2,CPE2)"
TRUTH = [0.05, 0.5, 2e-3, 0.9, 0.3, 0.5, 0.85]


def spectrum_file(folder: str, scale: float = 1.0, name: str = "two_arcs.csv") -> str:
    f = np.geomspace(1e5, 0.01, 60)
    rng = np.random.default_rng(3)
    values = list(TRUTH)
    values[4] *= scale
    z = kelvara.Circuit(NOTATION).with_values(values).impedance(f)
    z = z * (1 + 0.005 * (rng.standard_normal(60) + 1j * rng.standard_normal(60)))
    path = os.path.join(folder, name)
    with open(path, "w") as handle:
        handle.write("Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n")
        handle.writelines(f"{a!r},{b.real!r},{b.imag!r}\n" for a, b in zip(f.tolist(), z.tolist()))
    return path


def post(server: kelvara.app.Server, path: str, body: dict) -> dict:
    request = urllib.request.Request(
        f"http://127.0.0.1:{server.port}{path}", data=json.dumps(body).encode(), method="POST",
        headers={"X-Kelvara-Token": server.app.state.token, "Content-Type": "application/json"})
    with urllib.request.urlopen(request) as answer:
        return json.loads(answer.read())


def percentiles(times: list[float]) -> str:
    ms = sorted(1000 * t for t in times)
    return f"median {statistics.median(ms):7.1f} ms   p90 {ms[int(0.9 * (len(ms) - 1))]:7.1f} ms   max {ms[-1]:7.1f} ms"


def server_refits(server: kelvara.app.Server, n: int) -> list[float]:
    rng = np.random.default_rng(1)
    times = []
    for _ in range(n):
        start = [v * float(rng.uniform(0.7, 1.3)) if i != 3 and i != 6 else v for i, v in enumerate(TRUTH)]
        t = time.perf_counter()
        answer = post(server, "/api/spectrum/1/fit", {"circuit": NOTATION, "values": start})
        times.append(time.perf_counter() - t)
        assert answer["fit"]["circuit"] == NOTATION
    return times


def series_of(n: int) -> list[tuple[str, list[float]]]:
    with tempfile.TemporaryDirectory() as folder:
        paths = [spectrum_file(folder, 1 + 0.01 * k, f"s{k:03d}.csv") for k in range(n)]
        server = kelvara.app.start(paths)
        try:
            auto = []
            for k in range(1, n + 1):
                t = time.perf_counter()
                post(server, f"/api/spectrum/{k}/auto", {})
                auto.append(time.perf_counter() - t)
            t = time.perf_counter()
            post(server, "/api/series", {"circuit": NOTATION})
            series = [time.perf_counter() - t]
        finally:
            server.stop()
    return [(f"{n} spectra: automatic choice, each", auto), (f"{n} spectra: series fit, all in one request", series)]


def browser():
    from selenium import webdriver

    path, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if path is None or driver is None:
        return None
    options = webdriver.ChromeOptions()
    options.binary_location = path
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1500,1300"):
        options.add_argument(argument)
    return webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=driver))


# Change R1.r's start in the page as a user would (its field's change event) and time
# until the answer is shown (values, verdict, flags and the Nyquist panel, then painted)
# and until every panel is redrawn.
EDIT = """
const done = arguments[arguments.length - 1];
const factor = arguments[0];
const input = document.querySelector('#params tr[data-name="R1.r"] input.value');
const t0 = performance.now();
input.value = String(Number(input.value) * factor);
input.dispatchEvent(new Event("change"));
const request = state.request;
let shown = null;
(function poll() {
  if (shown === null && state.shown === request) {
    requestAnimationFrame(() => { shown = performance.now() - t0; poll(); });
    return;
  }
  if (shown !== null && state.drawn === request) {
    requestAnimationFrame(() => done([shown, performance.now() - t0]));
    return;
  }
  setTimeout(poll, 1);
})();
"""


def page_refits(driver, server, n: int) -> list[float]:
    driver.get(server.url)
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(driver, 60).until(lambda d: d.find_element("id", "verdict").text in
                                    ("clean", "suspect", "unreliable", "failed"))
    driver.set_script_timeout(30)
    rng = np.random.default_rng(2)
    times = [driver.execute_async_script(EDIT, float(rng.uniform(0.7, 1.3))) for _ in range(n)]
    return [t[0] / 1000 for t in times], [t[1] / 1000 for t in times]


# Installed before the page's own scripts: how late a 10 ms timer fires once the page is
# interactive (before, the browser is still compiling plotly.js).
LAG = """
window.__lag = 0;
(function tick() {
  const t = performance.now();
  setTimeout(() => {
    const late = performance.now() - t - 10;
    if (performance.getEntriesByName('kelvara-ready').length) window.__lag = Math.max(window.__lag, late);
    tick();
  }, 10);
})();
"""
ALL_SHOWN = ("return state.rows.size === arguments[0] && !state.busy && state.queue.length === 0"
             " && document.querySelectorAll('#spectra .verdict.pending').length === 0"
             " && document.getElementById('nyquist').data !== undefined")


def _watch(driver, until, *args):
    """Round trips every 50 ms until `until` (a script) is true: their latencies, and the
    distinct status texts the page showed meanwhile."""
    pings, seen = [], []
    while True:
        t = time.perf_counter()
        finished, text = driver.execute_script(f"return [(() => {{ {until} }})(), $('status').textContent]", *args)
        pings.append(time.perf_counter() - t)
        if text and (not seen or seen[-1] != text):
            seen.append(text)
        if finished:
            return pings, seen
        time.sleep(0.05)


def page_series(driver, n: int) -> tuple[list[tuple[str, list[float]]], list[str]]:
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    with tempfile.TemporaryDirectory() as folder:
        paths = [spectrum_file(folder, 1 + 0.01 * k, f"s{k:03d}.csv") for k in range(n)]
        server = kelvara.app.start(paths)
        script = driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": LAG})
        try:
            driver.get(server.url)
            WebDriverWait(driver, 30).until(lambda d: d.execute_script(
                "return performance.getEntriesByName('kelvara-ready').length > 0"))
            ready = driver.execute_script("return performance.getEntriesByName('kelvara-ready')[0].startTime")
            pings, seen = _watch(driver, ALL_SHOWN, n)
            shown = driver.execute_script("return performance.now()")
            load_lag = driver.execute_script("return window.__lag")
            driver.execute_script("window.__lag = 0")
            t = driver.execute_script("return performance.now()")
            driver.find_element(By.ID, "series-button").click()
            series_pings, series_seen = _watch(
                driver, "return state.series !== undefined && state.series.spectra.length === arguments[0]"
                " && document.getElementById('trend').data !== undefined && !$('series-button').disabled", n)
            series = driver.execute_script("return performance.now()") - t
            series_lag = driver.execute_script("return window.__lag")
        finally:
            driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument", {"identifier": script["identifier"]})
            server.stop()
    progress = [text for text in seen + series_seen if " of " in text]
    rows = [
        (f"page, {n} files: navigation to interactive", [ready / 1000]),
        (f"page, {n} files: navigation to all choices shown", [shown / 1000]),
        (f"page, {n} files: series button to trend drawn", [series / 1000]),
        (f"page, {n} files: script round trip while loading", pings),
        (f"page, {n} files: script round trip during series", series_pings),
        (f"page, {n} files: longest main-thread stall, load", [load_lag / 1000]),
        (f"page, {n} files: longest main-thread stall, series", [series_lag / 1000]),
    ]
    notes = [f"progress texts shown: {len(progress)} (first {progress[0]!r}, last {progress[-1]!r})" if progress
             else "no progress shown"]
    return rows, notes


def page_load(driver, server, cold: bool) -> float:
    if cold:
        driver.execute_cdp_cmd("Network.clearBrowserCache", {})
    driver.get(server.url)
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(driver, 30).until(lambda d: d.execute_script(
        "return performance.getEntriesByName('kelvara-ready').length > 0"))
    return driver.execute_script("return performance.getEntriesByName('kelvara-ready')[0].startTime") / 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--refits", type=int, default=40)
    parser.add_argument("--series", type=int, default=100, help="spectra in the series part")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        server = kelvara.app.start([spectrum_file(folder)])
        try:
            post(server, "/api/spectrum/1/auto", {})
            post(server, "/api/spectrum/1/fit", {"circuit": NOTATION})
            rows = [("server: refit request to answer (HTTP + fit + JSON)", server_refits(server, args.refits))]
            rows += series_of(args.series)
            notes: list[str] = []
            driver = browser()
            if driver is None:
                print("chromium or chromedriver missing: the page's timings are left out")
            else:
                try:
                    shown, drawn = page_refits(driver, server, args.refits)
                    rows.append(("page: edit to refit shown (table, verdict, Nyquist)", shown))
                    rows.append(("page: edit to every panel redrawn", drawn))
                    loads_cold = [page_load(driver, server, cold=True) for _ in range(5)]
                    loads_warm = [page_load(driver, server, cold=False) for _ in range(5)]
                    rows.append(("page load to interactive, plotly.js not cached", loads_cold))
                    rows.append(("page load to interactive, plotly.js cached", loads_warm))
                    more, notes = page_series(driver, args.series)
                    rows += more
                finally:
                    driver.quit()
        finally:
            server.stop()
    print(f"60-point two-arc spectrum, {NOTATION}, {args.refits} refits; targets: refit < 100 ms, load < 1 s")
    for name, times in rows:
        total = f"   total {sum(times):6.2f} s" if name.endswith("each") else ""
        print(f"{name:52s} {percentiles(times)}{total}")
    for note in notes:
        print(note)


if __name__ == "__main__":
    main()
