// The page of `kelvara serve`: a table of the opened spectra, the circuit and its
// parameters, and linked plotly panels. Every call to the server carries the token.
"use strict";

const token = document.body.dataset.token;
const state = {
  rows: new Map(), current: null, detail: null, request: 0, maxUpload: Infinity, queue: [], busy: false,
  drawing: 0, drtOf: null, shown: null, drawn: null, masked: new Set(), working: 0, handles: [],  // which answer the panels show (benchmarks/bench_app.py reads these)
};
const $ = (id) => document.getElementById(id);

const VERDICT_WORDS = {
  clean: "no flag: the fit describes the data to their noise level.",
  suspect: "the fit leaves something in the data unexplained; read the flags.",
  unreliable: "some values are not determined by the data or sit on a bound.",
  failed: "the fit did not converge to finite values.",
};

async function api(path, options = {}) {
  const headers = Object.assign({ "X-Kelvara-Token": token }, options.headers || {});
  const response = await fetch(path, Object.assign({}, options, { headers }));
  let body = null;
  try { body = await response.json(); } catch (e) { body = { error: `${response.status} ${response.statusText}` }; }
  if (!response.ok) {
    const error = new Error(body && body.error ? body.error : `${response.status}`);
    error.cancelled = Boolean(body && body.cancelled);  // stopped by the user: no error of the page's own
    throw error;
  }
  return body;
}

// Stop shows while anything runs on the server: the automatic choices, a refit, a series.
function working(change) {
  state.working += change;
  $("stop").hidden = !(state.busy || state.working > 0);
}

function showError(text) {
  const div = document.createElement("div");
  div.textContent = text;
  $("errors").appendChild(div);
}

function status(text) { $("status").textContent = text; }

// -- the side table -------------------------------------------------------------

function renderRows() {
  const body = document.querySelector("#spectra tbody");
  body.replaceChildren();
  for (const row of state.rows.values()) {
    const tr = document.createElement("tr");
    tr.dataset.id = row.id;
    if (row.id === state.current) tr.className = "current";
    const verdict = row.error ? "failed" : (row.verdict || (row.fitted ? "" : "pending"));
    const cells = [row.label, String(row.points), row.circuit || "", null];
    cells.forEach((text, i) => {
      const td = document.createElement("td");
      if (i === 2) td.className = "circuit";
      if (i === 3) {
        const badge = document.createElement("span");
        badge.className = "verdict " + verdict;
        const waiting = state.queue.includes(row.id) || state.running === row.id;
        badge.textContent = verdict === "pending" ? (waiting ? "fitting…" : "not fitted") : verdict;
        td.appendChild(badge);
      } else td.textContent = text;
      tr.appendChild(td);
    });
    tr.addEventListener("click", () => choose(row.id));
    body.appendChild(tr);
  }
  $("drop-hint").hidden = state.rows.size > 0;
}

function remember(rows) {
  for (const row of rows) state.rows.set(row.id, row);
  renderRows();
}

// Every new spectrum gets select's automatic choice, one at a time, with progress.
function enqueue(ids) {
  state.queue.push(...ids);
  if (!state.busy) runQueue();
}

// Stop ends every fit running on the server (each keeps what it showed before) and
// leaves the spectra still waiting unfitted; choosing one, Fit from the data, a
// candidate or a series fits them later.
$("stop").addEventListener("click", async () => {
  state.queue.length = 0;
  status("stopping…");
  try { await api("/api/cancel", { method: "POST" }); } catch (error) { showError(error.message); }
});

async function runQueue() {
  state.busy = true;
  working(0);
  let done = 0, stopped = false;
  while (state.queue.length) {
    const id = state.queue.shift();
    state.running = id;
    status(`choosing circuits: ${done + 1} of ${done + 1 + state.queue.length}`);
    Object.assign($("progress"), { hidden: false, max: done + 1 + state.queue.length, value: done });
    try {
      // the panels' data only for the spectrum shown (the first: it is shown once fitted)
      const brief = state.current !== null && state.current !== id;
      const detail = await api(`/api/spectrum/${id}/auto${brief ? "?brief=1" : ""}`, { method: "POST" });
      remember([detail]);
      if (state.current === null) choose(id, brief ? undefined : detail);
      else if (state.current === id) show(brief ? await api(`/api/spectrum/${id}`) : detail);
    } catch (error) {
      if (error.cancelled) { stopped = true; continue; }
      showError(error.message);
    }
    done += 1;
  }
  state.busy = false;
  state.running = null;
  $("progress").hidden = true;
  renderRows();
  working(0);
  status((done ? `${done} spectr${done === 1 ? "um" : "a"} fitted` : "") + (stopped ? (done ? "; stopped" : "stopped") : ""));
}

async function load() {
  const listing = await api("/api/spectra");
  state.maxUpload = listing.max_upload_bytes;
  listing.errors.forEach(showError);
  remember(listing.spectra);
  enqueue(listing.spectra.filter((row) => !row.fitted).map((row) => row.id));
  const first = listing.spectra.find((row) => row.fitted);
  if (first) await choose(first.id);
  performance.mark("kelvara-ready");  // the page answers from here on (benchmarks/bench_app.py reads it)
}

async function upload(files) {
  for (const file of files) {
    if (file.size > state.maxUpload) {
      showError(`${file.name}: ${(file.size / 1048576).toFixed(1)} MB is above the upload limit of ` +
                `${Math.round(state.maxUpload / 1048576)} MB`);
      continue;
    }
    status(`reading ${file.name}`);
    try {
      const answer = await api(`/api/upload?name=${encodeURIComponent(file.name)}`, { method: "POST", body: file });
      remember(answer.spectra);
      enqueue(answer.spectra.filter((row) => !row.fitted).map((row) => row.id));
      const fitted = answer.spectra.find((row) => row.fitted);  // a reopened project's
      if (fitted && state.current === null) choose(fitted.id);
    } catch (error) { showError(error.message); status(""); }
  }
}

async function choose(id, detail) {
  state.current = id;
  const row = state.rows.get(id);
  if (row && !row.fitted && !state.queue.includes(id) && state.running !== id) enqueue([id]);  // a stopped one
  renderRows();
  show(detail || await api(`/api/spectrum/${id}`));
}

// -- the fit --------------------------------------------------------------------

function show(detail) {
  if (detail.id !== state.current) return;
  state.detail = detail;
  state.masked = new Set(detail.masked || []);
  if (detail.method) $("method").value = detail.method;
  if (detail.weight) $("weight").value = detail.weight;
  $("mask-count").textContent = state.masked.size ?
    `${state.masked.size} of ${detail.f.length} points left out (click one to take it back).` :
    "Click a point to leave it out of the fit (again to take it back).";
  $("work").hidden = false;
  $("export-script").href = `/api/spectrum/${detail.id}/script.py?token=${token}`;
  const fit = detail.fit;
  if (document.activeElement !== $("circuit")) $("circuit").value = fit ? fit.circuit : "";
  const verdict = detail.error ? "failed" : (fit ? fit.verdict : "pending");
  $("verdict").className = "verdict " + verdict;
  $("verdict").textContent = verdict === "pending" ? "fitting…" : verdict;
  $("verdict-words").textContent = detail.error ? detail.error : (fit ? VERDICT_WORDS[verdict] || "" : "");
  const flags = $("flags");
  flags.replaceChildren();
  for (const flag of fit ? fit.flags : []) {
    const li = document.createElement("li");
    li.textContent = `${flag.code}: ${flag.text}`;
    flags.appendChild(li);
  }
  const misfit = fit && fit.misfit !== null ? `; rms misfit ${(100 * fit.misfit).toPrecision(3)} % of |Z|` : "";
  $("fit-message").textContent = fit ? `${fit.message}${misfit}` +
    (detail.auto && detail.auto === fit.circuit ? " (the automatic choice's circuit)" : "") : "";
  renderParams(fit);
  renderRanking(detail);
  draw(detail);
  $("kk").textContent = detail.kk ? detail.kk.summary : "";
  $("drt-summary").textContent = detail.drt ? detail.drt.summary : "";
}

function numberText(value) {
  if (value === null || value === undefined) return "";
  const v = Number(value), size = Math.abs(v);
  const text = size !== 0 && (size < 1e-3 || size >= 1e6) ? v.toExponential(5) : v.toPrecision(6);
  return text.replace(/\.?0+(e|$)/, "$1");
}

function renderParams(fit) {
  const body = document.querySelector("#params tbody");
  if (!fit) { body.replaceChildren(); return; }
  const names = [...body.querySelectorAll("tr")].map((tr) => tr.dataset.name);
  if (names.join() !== fit.params.map((p) => p.name).join()) {
    body.replaceChildren(...fit.params.map(paramRow));
  }
  // Same parameters: update the cells in place, so that a field being edited keeps its text and focus.
  fit.params.forEach((p, i) => {
    const tr = body.children[i];
    const set = (selector, value) => {
      const input = tr.querySelector(selector);
      if (input !== document.activeElement) input.value = numberText(value);
    };
    set("input.value", p.value);
    set("input.lower", p.lower);
    set("input.upper", p.upper);
    tr.querySelector("input.fixed").checked = p.fixed;
    tr.querySelector("td.stderr").textContent = p.fixed ? "fixed" : (p.stderr === null ? "—" : numberText(p.stderr));
  });
}

function paramRow(p) {
  const tr = document.createElement("tr");
  tr.dataset.name = p.name;
  const cell = (child) => { const td = document.createElement("td"); td.append(child); tr.appendChild(td); return td; };
  const input = (cls, title) => {
    const el = document.createElement("input");
    el.type = "text"; el.className = cls; el.title = title;
    el.addEventListener("change", refit);
    return el;
  };
  cell(p.name);
  cell(input("value", "start value (held when fixed); the fit runs at once"));
  cell("").className = "stderr";
  cell(p.unit);
  const box = document.createElement("input");
  box.type = "checkbox"; box.className = "fixed"; box.title = "hold at the value";
  box.addEventListener("change", refit);
  cell(box);
  cell(input("lower", "lower bound (empty: the element's own)"));
  cell(input("upper", "upper bound (empty: none)"));
  return tr;
}

async function fitRequest(body) {
  const request = ++state.request;
  const id = state.current;
  status("fitting…");
  working(1);
  try {
    const detail = await api(`/api/spectrum/${id}/fit`, {
      method: "POST", headers: { "Content-Type": "application/json" },
      // an edit makes the spectrum's fits still running moot: the server stops them
      body: JSON.stringify(withOptions(Object.assign({ request, replace: true }, body))),
    });
    if (detail.request !== state.request) return;  // a later edit has been sent since
    $("circuit-error").textContent = "";
    remember([detail]);
    show(detail);
    status("");
  } catch (error) {
    if (request !== state.request) return;
    if (error.cancelled) { status("stopped: the fit shown is the one before"); return; }
    $("circuit-error").textContent = error.message;
    status("");
  } finally { working(-1); }
}

// A number typed by hand; empty stays null (for a bound: the element's own).
function typed(tr, selector, what) {
  const text = tr.querySelector(selector).value.trim();
  if (text === "") return null;
  const value = Number(text);
  if (!Number.isFinite(value) && !/^[+]?inf(inity)?$/i.test(text)) throw new Error(`${tr.dataset.name}: ${what} "${text}" is not a number`);
  return Number.isFinite(value) ? value : Infinity;
}

// The circuit with the table's values, fixed parameters and bounds; null (and a message) on a bad entry.
function tableBody() {
  const values = [], fixed = [], bounds = {};
  try {
    for (const tr of document.querySelectorAll("#params tbody tr")) {
      const name = tr.dataset.name, value = typed(tr, "input.value", "the value");
      if (value === null || !Number.isFinite(value)) throw new Error(`${name}: give a finite value to start from`);
      values.push(value);
      if (tr.querySelector("input.fixed").checked) fixed.push(name);
      const upper = typed(tr, "input.upper", "the upper bound");
      bounds[name] = [typed(tr, "input.lower", "the lower bound"), upper === Infinity ? null : upper];
    }
  } catch (error) {
    $("circuit-error").textContent = error.message;
    return null;
  }
  return { circuit: state.detail.fit.circuit, values, fixed, bounds };
}

function refit() {
  const body = tableBody();
  if (body !== null) fitRequest(body);
}

// The points left out, the method and the weighting go with every fit.
function withOptions(body) {
  return Object.assign(body, { masked: [...state.masked], method: $("method").value, weight: $("weight").value });
}

function toggle(point) {
  if (!state.detail || !state.detail.fit) return;
  if (state.masked.has(point)) state.masked.delete(point); else state.masked.add(point);
  refit();
}

$("mask-form").addEventListener("submit", (event) => {
  event.preventDefault();
  if (!state.detail || !state.detail.fit) return;
  const lo = $("fmin").value.trim() === "" ? -Infinity : Number($("fmin").value);
  const hi = $("fmax").value.trim() === "" ? Infinity : Number($("fmax").value);
  if (Number.isNaN(lo) || Number.isNaN(hi)) { $("circuit-error").textContent = "the frequency range needs numbers (Hz)"; return; }
  state.masked = new Set(state.detail.f.flatMap((f, i) => (f < lo || f > hi ? [i] : [])));
  refit();
});
$("unmask").addEventListener("click", () => { state.masked.clear(); if (state.detail && state.detail.fit) refit(); });
$("method").addEventListener("change", () => { if (state.detail && state.detail.fit) refit(); });
$("weight").addEventListener("change", () => { if (state.detail && state.detail.fit) refit(); });

$("circuit-form").addEventListener("submit", (event) => {
  event.preventDefault();
  fitRequest({ circuit: $("circuit").value });
});
$("ranking").addEventListener("change", async (event) => {
  const position = Number(event.target.value);
  if (!state.detail || !(position >= 0)) return;
  const request = ++state.request;  // answers to edits sent before this pick are dropped
  try {
    const detail = await api(`/api/spectrum/${state.detail.id}/candidate/${position}`, { method: "POST" });
    if (request !== state.request) return;
    detail.request = request;
    $("circuit-error").textContent = "";
    remember([detail]);
    show(detail);
  } catch (error) { $("circuit-error").textContent = error.message; }
});

function renderRanking(detail) {
  const choice = $("ranking");
  const ranking = detail.ranking || [];
  choice.replaceChildren(new Option(ranking.length ? "pick one of select's candidates…" : "(none)", ""),
    ...ranking.map((r, i) => new Option(
      `${r.notation}: ${r.verdict}, ${r.n_free} free, BIC ${r.bic === null ? "—" : r.bic.toFixed(1)}` +
      (r.notation === detail.auto ? " (chosen)" : ""), String(i))));
  choice.value = "";
}

// -- a series ---------------------------------------------------------------------

const VERDICT_COLOURS = { clean: "#2e7d32", suspect: "#b26a00", unreliable: "#c62828", failed: "#6a1b1b" };

$("series-form").addEventListener("submit", async (event) => {
  event.preventDefault();
  if (!state.detail || !state.detail.fit) return;
  const body = tableBody();
  if (body === null) return;
  body.shared = $("shared").value.split(/[\s,;]+/).filter((name) => name);
  body.ids = [...state.rows.keys()];
  status(`fitting a series of ${body.ids.length} spectra…`);
  $("series-button").disabled = true;
  working(1);
  const meter = $("progress");
  // the server fits the series spectrum by spectrum; the page asks how far it is
  const follow = setInterval(async () => {
    try {
      const p = await api("/api/series/progress");
      if (p.task !== "series" || !$("series-button").disabled) return;
      meter.hidden = false;
      meter.max = p.total;
      meter.value = p.done;
      status(p.stage === "joint" ? `series: joint fit of the shared parameters over ${p.total} spectra…`
        : `series: ${p.done} of ${p.total} spectra fitted`);
    } catch (error) { /* the next tick asks again */ }
  }, 250);
  try {
    const trend = await api("/api/series", {
      method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(withOptions(body)),
    });
    $("circuit-error").textContent = "";
    state.series = trend;
    remember(trend.rows);
    const choice = $("trend-param");
    const before = choice.value;
    choice.replaceChildren(...trend.names.map((name) => new Option(name, name)));
    if (trend.names.includes(before)) choice.value = before;
    $("trend-choice").hidden = false;
    drawTrend();
    status(`series of ${trend.spectra.length} spectra fitted`);
    choose(state.current);
  } catch (error) {
    if (error.cancelled) status("series stopped: every spectrum keeps the fit it had");
    else { $("circuit-error").textContent = error.message; status(""); }
  } finally {
    clearInterval(follow);
    meter.hidden = true;
    $("series-button").disabled = false;
    working(-1);
  }
});
$("trend-param").addEventListener("change", drawTrend);

function drawTrend() {
  const trend = state.series;
  if (!trend) return;
  const k = Math.max(0, trend.names.indexOf($("trend-param").value));
  const name = trend.names[k];
  $("trend").hidden = false;
  const rows = trend.spectra;
  Plotly.react("trend", [{
    x: rows.map((_, i) => i + 1), y: rows.map((r) => r.values[k]), text: rows.map((r) => `${r.label}: ${r.verdict}`),
    mode: "lines+markers", name, line: { color: "#8da2c0" },
    marker: { size: 9, color: rows.map((r) => VERDICT_COLOURS[r.verdict] || "#7b8794") },
    error_y: { type: "data", array: rows.map((r) => r.stderr[k]), visible: true, color: "#4b5563" },
    hovertemplate: "%{text}<br>%{y:.5g}<extra></extra>",
  }], {
    title: title(`${name} along the series (${trend.circuit})` + (name in trend.shared ? ", shared" : "")),
    margin: MARGIN, showlegend: false,
    xaxis: { title: { text: "spectrum (table order)" }, dtick: rows.length > 20 ? undefined : 1 },
    yaxis: { title: { text: `${name} / ${trend.units[k]}` } },
  }, CONFIG);
}

// -- the panels ------------------------------------------------------------------

const DATA = { mode: "markers", marker: { size: 6, color: "#1f4e9a" } };
const FIT = { mode: "lines", line: { color: "#d0452b", width: 2 } };
const CONFIG = { responsive: true, displaylogo: false };
const MARGIN = { l: 70, r: 20, t: 30, b: 45 };
// Titles on the left: the plot's tool bar takes the top right corner.
const title = (text) => ({ text, x: 0.01, xanchor: "left", y: 0.98, yanchor: "top", font: { size: 13 } });

// A handle on the top of each arc (an R-C or R-CPE pair, a K, Zarc, Havriliak-Negami,
// Gerischer or transmission-line element): dragging it sideways moves the arc's
// resistance as the fit's start so that the handle would land where it was dropped
// (an R-C pair's diameter by twice the move; the server gives each arc's rate), then refits.
// Only the handles near the data: an arc whose resistance ran off (a fit that does not
// hold it) would otherwise stretch the plot far past the spectrum.
function handles(detail) {
  const fit = detail.fit;
  const negIm = detail.im.map((v) => -v);
  const finite = (values) => values.filter((v) => v !== null && Number.isFinite(v));
  const re = finite(detail.re), im = finite(negIm);
  const span = Math.max(Math.max(...re) - Math.min(...re), Math.max(...im) - Math.min(...im), 0);
  const near = (arc) => arc.x >= Math.min(...re) - span && arc.x <= Math.max(...re) + span &&
    arc.y >= Math.min(...im, 0) - span && arc.y <= Math.max(...im) + span;
  state.handles = (fit && re.length ? fit.arcs : []).filter(near);
  return state.handles.map((arc) => ({
    type: "circle", xref: "x", yref: "y", xsizemode: "pixel", ysizemode: "pixel", xanchor: arc.x, yanchor: arc.y,
    x0: -7, x1: 7, y0: -7, y1: 7, line: { color: "#d0452b", width: 2 }, fillcolor: "rgba(255,255,255,0.7)",
  }));
}

function dragged(event) {
  const fit = state.detail && state.detail.fit;
  if (!fit) return;
  for (const key of Object.keys(event)) {
    const match = /^shapes\[(\d+)\]\.xanchor$/.exec(key);
    if (!match || !state.handles[Number(match[1])]) continue;
    const arc = state.handles[Number(match[1])];
    const input = document.querySelector(`#params tr[data-name="${arc.r}"] input.value`);
    const r = Number(input.value) + (Number(event[key]) - arc.x) / (arc.slope || 0.5);
    input.value = numberText(Math.max(r, 1e-9 * Math.abs(Number(input.value)) || 1e-9));
    refit();
    return;
  }
}

const percent = (v) => (v === null ? null : 100 * v);  // a left-out point stays a gap, not a zero

function draw(detail) {
  const f = detail.f, negIm = detail.im.map((v) => -v);
  const modulus = detail.re.map((r, i) => Math.hypot(r, detail.im[i]));
  const phase = detail.re.map((r, i) => -Math.atan2(detail.im[i], r) * 180 / Math.PI);
  const fit = detail.fit;
  const text = f.map((v, i) => `${v.toPrecision(4)} Hz` + (state.masked.has(i) ? " (left out)" : ""));
  const marked = (color, symbol) => ({ size: 7, color: f.map((_, i) => (state.masked.has(i) ? "#9aa3ad" : color)),
    symbol: f.map((_, i) => (state.masked.has(i) ? "x-open" : symbol)) });
  const nyquist = [Object.assign({ x: detail.re, y: negIm, name: "data", text, hovertemplate: "%{text}<br>Z' %{x:.4g} Ω<br>−Z'' %{y:.4g} Ω<extra></extra>" }, DATA, { marker: marked("#1f4e9a", "circle") })];
  const bode = [Object.assign({ x: f, y: modulus, name: "|Z| data", text }, DATA, { marker: marked("#1f4e9a", "circle") }),
                Object.assign({ x: f, y: phase, name: "−phase data", yaxis: "y2", text }, DATA, { marker: marked("#2e8b57", "square") })];
  const residuals = [];
  if (fit) {
    const c = fit.curve;
    nyquist.push(Object.assign({ x: c.re, y: c.im.map((v) => -v), name: "fit", hoverinfo: "skip" }, FIT));
    bode.push(Object.assign({ x: c.f, y: c.re.map((r, i) => Math.hypot(r, c.im[i])), name: "|Z| fit", hoverinfo: "skip" }, FIT));
    bode.push(Object.assign({ x: c.f, y: c.re.map((r, i) => -Math.atan2(c.im[i], r) * 180 / Math.PI), name: "−phase fit", yaxis: "y2", hoverinfo: "skip" }, FIT, { line: { color: "#e39a1c", width: 2 } }));
    residuals.push({ x: f, y: fit.residuals.re.map(percent), name: "Z' fit", mode: "lines+markers", text });
    residuals.push({ x: f, y: fit.residuals.im.map(percent), name: "Z'' fit", mode: "lines+markers", text });
  }
  if (detail.kk) {
    residuals.push({ x: f, y: detail.kk.re.map((v) => 100 * v), name: "Z' Kramers–Kronig", mode: "lines", line: { dash: "dot" }, hoverinfo: "skip" });
    residuals.push({ x: f, y: detail.kk.im.map((v) => 100 * v), name: "Z'' Kramers–Kronig", mode: "lines", line: { dash: "dot" }, hoverinfo: "skip" });
  }
  const legend = { orientation: "h", y: -0.22 };
  // Nyquist first, in this task: the refit shows at once. The other panels follow one per
  // frame, and a newer answer cancels what is left of an older one's drawing.
  const generation = ++state.drawing;
  const panels = [
    () => Plotly.react("nyquist", nyquist, {
      title: title("Nyquist"), margin: MARGIN, showlegend: false, hovermode: "closest",
      xaxis: { title: { text: "Z' / Ω" }, constrain: "domain" },
      yaxis: { title: { text: "−Z'' / Ω" }, scaleanchor: "x", scaleratio: 1 },
      shapes: handles(detail), uirevision: detail.id,
    }, Object.assign({ edits: { shapePosition: true } }, CONFIG)),
    () => Plotly.react("bode", bode, {
      title: title("Bode"), margin: { l: 60, r: 55, t: 30, b: 70 }, legend, hovermode: "closest",
      xaxis: { type: "log", title: { text: "f / Hz" } },
      yaxis: { type: "log", title: { text: "|Z| / Ω" } },
      yaxis2: { overlaying: "y", side: "right", title: { text: "−phase / °" }, tickmode: "auto", showgrid: false },
    }, CONFIG),
    () => Plotly.react("residuals", residuals, {
      title: title("Residuals (Z − Z_model) / |Z|"), margin: { l: 60, r: 20, t: 30, b: 70 }, legend, hovermode: "closest",
      xaxis: { type: "log", title: { text: "f / Hz" } }, yaxis: { title: { text: "%" }, zeroline: true },
    }, CONFIG),
  ];
  if (state.drtOf !== detail.id || !detail.drt) {  // the DRT is the spectrum's: a refit leaves it
    state.drtOf = detail.drt ? detail.id : null;
    const drt = detail.drt ? [{ x: detail.drt.tau, y: detail.drt.gamma, mode: "lines", name: "γ", line: { color: "#6b3fa0" } }] : [];
    panels.push(() => Plotly.react("drt", drt, {
      title: title("Distribution of relaxation times"), margin: MARGIN, showlegend: false,
      xaxis: { type: "log", title: { text: "τ / s" } }, yaxis: { title: { text: "γ / Ω" } },
    }, CONFIG));
  }
  panels.shift()();
  state.shown = detail.request;
  // after the frame that paints the last panel drawn, not inside it
  const later = () => requestAnimationFrame(() => setTimeout(next, 0));
  const next = () => {
    if (generation !== state.drawing) return;
    if (panels.length) { panels.shift()(); later(); return; }
    link();
    state.drawn = detail.request;
  };
  later();
}

// Hovering a measured point shows the same point in the other panels.
const LINKS = { nyquist: [0], bode: [0, 1], residuals: [0, 1] };
let linking = false;
function link() {
  for (const id of Object.keys(LINKS)) {
    const div = $(id);
    if (div.dataset.linked) continue;
    div.dataset.linked = "1";
    div.on("plotly_hover", (event) => {
      if (linking) return;
      const point = event.points[0];
      if (!LINKS[id].includes(point.curveNumber)) return;
      linking = true;
      for (const other of Object.keys(LINKS)) {
        if (other === id || !$(other).data || $(other).data.length === 0) continue;
        const curves = LINKS[other].filter((c) => c < $(other).data.length);
        try { Plotly.Fx.hover(other, curves.map((c) => ({ curveNumber: c, pointNumber: point.pointNumber }))); } catch (e) { /* panel not drawn yet */ }
      }
      linking = false;
    });
    if (id === "nyquist") div.on("plotly_relayout", dragged);
    div.on("plotly_click", (event) => {
      const point = event.points[0];
      if (LINKS[id].includes(point.curveNumber)) toggle(point.pointNumber);
    });
    div.on("plotly_unhover", () => {
      for (const other of Object.keys(LINKS)) if (other !== id) Plotly.Fx.unhover(other);
    });
  }
}

// -- files ------------------------------------------------------------------------

$("files").addEventListener("change", (event) => { upload([...event.target.files]); event.target.value = ""; });
const drop = $("drop");
drop.addEventListener("dragover", (event) => { event.preventDefault(); drop.classList.add("dragging"); });
drop.addEventListener("dragleave", () => drop.classList.remove("dragging"));
drop.addEventListener("drop", (event) => {
  event.preventDefault();
  drop.classList.remove("dragging");
  upload([...event.dataTransfer.files]);
});

load().catch((error) => showError(error.message));
