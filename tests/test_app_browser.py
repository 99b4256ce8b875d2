"""The app in a real browser: Debian's chromium and chromedriver, driven headless
through Selenium. Skipped when either is missing (scripts/test.sh installs them
when run as root); KELVARA_BROWSER_TESTS=required turns the skip into a failure,
as in CI."""

import os
import shutil
import tempfile
import time

import pytest

from conftest import DATA

pytest.importorskip("starlette")
app_module = pytest.importorskip("kelvara.app")
webdriver = pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import StaleElementReferenceException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

SCREENSHOTS = os.path.join(tempfile.gettempdir(), "kelvara-app-screenshots")
VERDICTS = ("clean", "suspect", "unreliable", "failed")


def _programs():
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if browser is None or driver is None:
        missing = " and ".join(n for n, p in (("chromium", browser), ("chromedriver", driver)) if p is None)
        if os.environ.get("KELVARA_BROWSER_TESTS") == "required":
            pytest.fail(f"{missing} not installed (apt-get install chromium chromium-driver)")
        pytest.skip(f"{missing} not installed (apt-get install chromium chromium-driver)")
    return browser, driver


@pytest.fixture(scope="module")
def browser():
    path, driver_path = _programs()
    options = webdriver.ChromeOptions()
    options.binary_location = path
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1500,1300",
                     "--disable-gpu"):
        options.add_argument(argument)
    # the browser is no part of what is tested: it runs without the sanitizer runtimes a sanitized run preloads
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.startswith(("ASAN_", "UBSAN_"))}
    service = webdriver.ChromeService(executable_path=driver_path, env=env)
    driver = webdriver.Chrome(options=options, service=service)
    yield driver
    driver.quit()


@pytest.fixture
def server():
    running = app_module.start()
    yield running
    running.stop()


def wait(driver, seconds=60):
    # the page rebuilds its tables as answers come in: an element read mid-rebuild is read again
    return WebDriverWait(driver, seconds, ignored_exceptions=(StaleElementReferenceException,))


def verdict_shown(driver):
    text = driver.find_element(By.ID, "verdict").text
    return text if text in VERDICTS else False


def test_open_a_file_and_see_the_fit_and_its_verdict(browser, server):
    browser.get(server.url)
    wait(browser, 10).until(lambda d: d.execute_script("return typeof Plotly") == "object")
    browser.find_element(By.ID, "files").send_keys(str(DATA / "Circuit1_EIS_1.z"))
    verdict = wait(browser).until(verdict_shown)
    assert browser.find_element(By.ID, "verdict-words").text
    rows = browser.find_elements(By.CSS_SELECTOR, "#spectra tbody tr")
    assert len(rows) == 1 and "Circuit1_EIS_1.z" in rows[0].text and verdict in rows[0].text
    circuit = browser.find_element(By.ID, "circuit").get_attribute("value")
    assert circuit and circuit in rows[0].text
    names = [td.text for td in browser.find_elements(By.CSS_SELECTOR, "#params tbody tr td:first-child")]
    assert names and all("." in name for name in names)
    # the panels drew the data and the fitted curve; Nyquist keeps -Z'' up at equal scales
    traces = browser.execute_script("return document.getElementById('nyquist').data.map(t => t.y.length)")
    assert traces[0] == 48 and traces[1] > 48
    layout = browser.execute_script("return document.getElementById('nyquist').layout.yaxis")
    assert layout["scaleanchor"] == "x" and layout["scaleratio"] == 1
    up = browser.execute_script("return Math.max(...document.getElementById('nyquist').data[0].y)")
    assert up > 0  # a capacitive arc above the axis
    assert "Kramers" in browser.find_element(By.ID, "kk").text
    candidates = [option.text for option in browser.find_elements(By.CSS_SELECTOR, "#ranking option")][1:]
    assert len(candidates) > 1 and [c.split(":")[0] for c in candidates if c.endswith("(chosen)")] == [circuit]
    os.makedirs(SCREENSHOTS, exist_ok=True)
    browser.save_screenshot(os.path.join(SCREENSHOTS, "fit.png"))


def test_fix_a_parameter_and_see_it_held(browser, server):
    browser.get(server.url)
    browser.find_element(By.ID, "files").send_keys(str(DATA / "Circuit1_EIS_1.z"))
    wait(browser).until(verdict_shown)
    box = browser.find_element(By.ID, "circuit")
    box.clear()
    box.send_keys("R0-p(R1,C1)\n")
    wait(browser, 20).until(lambda d: [td.text for td in d.find_elements(
        By.CSS_SELECTOR, "#params tbody tr td:first-child")] == ["R0.r", "R1.r", "C1.c"])

    def field(selector):  # looked up afresh each time: an answer may have redrawn the row
        return browser.find_element(By.CSS_SELECTOR, f'#params tr[data-name="R0.r"] {selector}')

    field("input.value").clear()
    field("input.value").send_keys("20")
    field("input.fixed").click()  # the change of the value and the box: two refits, the later one kept
    wait(browser, 20).until(lambda d: field("td.stderr").text == "fixed")
    held = field("input.value").get_attribute("value")
    assert float(held) == 20.0


def test_a_bad_file_is_reported_in_the_page(browser, server, tmp_path):
    bad = tmp_path / "broken.mpt"
    bad.write_text("this is not an EC-Lab file\n1,2\n")
    browser.get(server.url)
    browser.find_element(By.ID, "files").send_keys(str(bad))
    message = wait(browser, 20).until(lambda d: d.find_element(By.ID, "errors").text)
    assert "broken.mpt" in message
    time.sleep(0.1)
    assert browser.find_elements(By.CSS_SELECTOR, "#spectra tbody tr") == []


def test_mask_a_frequency_range_and_see_the_refit(browser, server):
    from kelvara import io

    f = io.read(DATA / "Circuit1_EIS_1.z").frequencies
    above = int((f > 1000).sum())
    browser.get(server.url)
    browser.find_element(By.ID, "files").send_keys(str(DATA / "Circuit1_EIS_1.z"))
    wait(browser).until(verdict_shown)
    browser.find_element(By.ID, "fmax").send_keys("1000\n")
    shown = wait(browser, 20).until(lambda d: d.find_element(By.ID, "mask-count").text
                                    if "left out" in d.find_element(By.ID, "mask-count").text else False)
    assert shown.startswith(f"{above} of {len(f)} points")
    symbols = browser.execute_script("return document.getElementById('nyquist').data[0].marker.symbol")
    assert [s == "x-open" for s in symbols] == (f > 1000).tolist()
    wait(browser, 20).until(lambda d: d.execute_script("return state.drawn === state.request"))  # every panel
    residuals = browser.execute_script("return document.getElementById('residuals').data[0].y")
    assert [r is None for r in residuals] == (f > 1000).tolist()
    os.makedirs(SCREENSHOTS, exist_ok=True)
    browser.save_screenshot(os.path.join(SCREENSHOTS, "masked.png"))


def test_run_a_series_and_see_its_trend(browser, server):
    files = [DATA / name for name in ("Circuit1_EIS_1.z", "Circuit1_EIS_2.z")]
    browser.get(server.url)
    browser.find_element(By.ID, "files").send_keys("\n".join(str(path) for path in files))
    wait(browser).until(lambda d: [badge.text for badge in d.find_elements(By.CSS_SELECTOR, "#spectra .verdict")]
                        and all(badge.text in VERDICTS for badge in d.find_elements(By.CSS_SELECTOR,
                                                                                     "#spectra .verdict")))
    browser.find_element(By.ID, "shared").send_keys("R0.r")
    browser.find_element(By.ID, "series-button").click()
    wait(browser, 30).until(lambda d: d.find_element(By.ID, "trend").is_displayed()
                            and d.execute_script("return document.getElementById('trend').data !== undefined"))
    points = browser.execute_script("return document.getElementById('trend').data[0].y.length")
    assert points == 2
    assert "series of 2 spectra fitted" in browser.find_element(By.ID, "status").text
    circuits = [td.text for td in browser.find_elements(By.CSS_SELECTOR, "#spectra td.circuit")]
    assert len(set(circuits)) == 1  # both now hold the series' circuit
    os.makedirs(SCREENSHOTS, exist_ok=True)
    browser.save_screenshot(os.path.join(SCREENSHOTS, "series.png"))
    # the report behind the page's link
    browser.set_script_timeout(30)
    report = browser.execute_async_script(
        "const done = arguments[0];"
        "fetch(document.getElementById('export-report').href).then(r => r.text()).then(done);")
    assert all(path.name in report for path in files) and "joint fit of 2 spectra sharing R0.r" in report


@pytest.mark.parametrize("notation", ["R0-p(R1,C1)", "R0-Zarc1"])
def test_drag_an_arc_handle_and_see_the_refit(browser, server, notation):
    browser.get(server.url)
    browser.find_element(By.ID, "files").send_keys(str(DATA / "Circuit1_EIS_1.z"))
    wait(browser).until(verdict_shown)
    box = browser.find_element(By.ID, "circuit")
    box.clear()
    box.send_keys(notation + "\n")
    wait(browser, 20).until(lambda d: d.execute_script(
        "return state.detail.fit.circuit === arguments[0] && state.drawn === state.request", notation))
    shapes = browser.execute_script("return document.getElementById('nyquist').layout.shapes")
    arcs = browser.execute_script("return state.detail.fit.arcs")
    assert len(shapes) == len(arcs) == 1 and shapes[0]["xanchor"] == pytest.approx(arcs[0]["x"])
    fitted = browser.execute_script("return state.detail.fit.params.map(p => p.value)")
    request = browser.execute_script("return state.request")
    browser.execute_script("window.sent = []; const send = window.fetch; window.fetch = (url, options) => {"
                           "  if (options && typeof options.body === 'string') sent.push(JSON.parse(options.body));"
                           "  return send(url, options); };")
    # what a drag of the handle to the left does: plotly moves the shape and reports it
    browser.execute_script("Plotly.relayout('nyquist', {'shapes[0].xanchor': arguments[0]})", arcs[0]["x"] - 10)
    wait(browser, 20).until(lambda d: d.execute_script(
        "return state.request > arguments[0] && state.detail.request === state.request", request))
    start = browser.execute_script("return sent[sent.length - 1]")
    # the arc's resistance by as much as moves the handle by the drag: an R-C arc's by twice the drag
    assert arcs[0]["slope"] == pytest.approx(0.5, rel=1e-4)
    assert start["values"][1] == pytest.approx(fitted[1] - 20, rel=1e-5)
    assert start["values"][0] == pytest.approx(fitted[0], rel=1e-5)
    # the start moved by twice the drag, and the refit went back to the data's optimum
    assert browser.execute_script("return state.detail.fit.circuit") == notation
    refitted = browser.execute_script("return state.detail.fit.params.map(p => p.value)")
    assert refitted == pytest.approx(fitted, rel=1e-4)


def test_export_a_project_and_reopen_it_in_a_fresh_session(browser, server, tmp_path):
    browser.get(server.url)
    browser.find_element(By.ID, "files").send_keys(str(DATA / "Circuit1_EIS_1.z"))
    wait(browser).until(verdict_shown)
    box = browser.find_element(By.ID, "circuit")
    box.clear()
    box.send_keys("R0-p(R1,C1)\n")
    wait(browser, 20).until(lambda d: d.execute_script("return state.detail.fit.circuit === 'R0-p(R1,C1)'"))
    browser.find_element(By.CSS_SELECTOR, '#params tr[data-name="R0.r"] input.fixed').click()
    browser.find_element(By.ID, "fmax").send_keys("1000\n")
    wait(browser, 20).until(lambda d: d.execute_script(
        "return state.detail.masked.length > 0 && state.detail.fit.params[0].fixed"
        " && state.drawn === state.request"))
    saved = browser.execute_script("return state.detail")
    browser.set_script_timeout(30)
    project = browser.execute_async_script(
        "const done = arguments[0];"
        "fetch(document.getElementById('export-project').href).then(r => r.text()).then(done);")
    path = tmp_path / "session.kelvara"
    path.write_text(project)

    fresh = app_module.start()
    try:
        browser.get(fresh.url)
        assert browser.find_elements(By.CSS_SELECTOR, "#spectra tbody tr") == []
        browser.find_element(By.ID, "files").send_keys(str(path))
        wait(browser).until(lambda d: d.execute_script(
            "return state.detail !== null && state.detail.fit !== null && state.drawn === state.detail.request"))
        reopened = browser.execute_script("return state.detail")
        assert browser.find_element(By.ID, "circuit").get_attribute("value") == "R0-p(R1,C1)"
        assert reopened["masked"] == saved["masked"]
        assert browser.find_element(By.ID, "mask-count").text.startswith(f"{len(saved['masked'])} of ")
        symbols = browser.execute_script("return document.getElementById('nyquist').data[0].marker.symbol")
        assert [i for i, s in enumerate(symbols) if s == "x-open"] == saved["masked"]
        held = browser.find_element(By.CSS_SELECTOR, '#params tr[data-name="R0.r"] td.stderr').text
        assert held == "fixed"
        assert [p["value"] for p in reopened["fit"]["params"]] == pytest.approx(
            [p["value"] for p in saved["fit"]["params"]], rel=1e-6)
        assert reopened["fit"]["verdict"] == saved["fit"]["verdict"]
        os.makedirs(SCREENSHOTS, exist_ok=True)
        browser.save_screenshot(os.path.join(SCREENSHOTS, "reopened.png"))
    finally:
        fresh.stop()


def test_a_series_shows_its_progress_and_stop_ends_it(browser, server):
    from selenium.webdriver.support.ui import Select

    files = [DATA / f"Circuit{k}_EIS_{j}.z" for k in (1, 2, 3) for j in (1, 2)]
    browser.get(server.url)
    browser.find_element(By.ID, "files").send_keys("\n".join(str(path) for path in files))
    wait(browser).until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#spectra .verdict")) == len(files)
                        and all(badge.text in VERDICTS for badge in d.find_elements(By.CSS_SELECTOR,
                                                                                     "#spectra .verdict")))
    # a slow search: differential evolution over five arcs, a second or more for each spectrum
    slow = "R0-p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)-p(R4,CPE4)-p(R5,CPE5)"
    box = browser.find_element(By.ID, "circuit")
    box.clear()
    box.send_keys(slow + "\n")
    wait(browser).until(lambda d: d.execute_script(
        "return state.detail.fit.circuit === arguments[0] && state.detail.request === state.request", slow))
    Select(browser.find_element(By.ID, "method")).select_by_value("differential_evolution")
    wait(browser).until(lambda d: d.execute_script(
        "return state.detail.method === 'differential_evolution' && state.detail.request === state.request"))
    before = [td.text for td in browser.find_elements(By.CSS_SELECTOR, "#spectra td.circuit")]
    browser.find_element(By.ID, "series-button").click()
    progress = wait(browser).until(lambda d: d.find_element(By.ID, "status").text
                                   if " of 6 spectra fitted" in d.find_element(By.ID, "status").text else False)
    assert progress.startswith("series: ") and browser.find_element(By.ID, "progress").is_displayed()
    os.makedirs(SCREENSHOTS, exist_ok=True)
    browser.save_screenshot(os.path.join(SCREENSHOTS, "series-progress.png"))
    browser.find_element(By.ID, "stop").click()
    wait(browser, 20).until(lambda d: d.find_element(By.ID, "status").text.startswith("series stopped"))
    # nothing of the stopped series was kept: every spectrum shows the fit it had
    assert [td.text for td in browser.find_elements(By.CSS_SELECTOR, "#spectra td.circuit")] == before
    assert browser.execute_script("return state.series === undefined")
    assert not browser.find_element(By.ID, "progress").is_displayed()
    wait(browser, 20).until(lambda d: not d.find_element(By.ID, "stop").is_displayed())
