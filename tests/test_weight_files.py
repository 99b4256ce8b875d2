"""Guesses from .eisnn files on disk, checked against a NumPy forward pass of the network."""
import errno
import json
import math
import os
import pathlib
import struct
import uuid

import numpy as np
import pytest

import kelvara
from conftest import run_python

TWO_PI = 6.283185307179586

# ---- writing weight files ----


def _string(text):
    raw = text.encode() if isinstance(text, str) else text
    return struct.pack("<I", len(raw)) + raw


def _record(name, values, encoding):
    """One tensor record and the values a reader decodes from it (encodings 0, 1 and 2)."""
    flat = np.asarray(values, dtype=np.float64).ravel()
    if encoding < 2:
        data = flat.astype("<f4" if encoding == 0 else "<f2")
        raw, decoded = data.tobytes(), data.astype(np.float64)
    else:
        scale = np.float32(max(np.abs(flat).max(), 1e-3) / 127.0)
        q = np.clip(np.round(flat / scale), -128, 127).astype("i1")
        raw, decoded = scale.astype("<f4").tobytes() + q.tobytes(), q.astype(np.float64) * float(scale)
    dims = np.shape(values)
    head = _string(name) + bytes([encoding, len(dims)]) + b"".join(struct.pack("<I", d) for d in dims)
    return head + raw, decoded.reshape(dims)


class Network:
    def __init__(self, header, tensors):
        self.header = dict(header)
        self.tensors = dict(tensors)  # name -> (values, encoding)

    def write(self, path):
        records, self.decoded = [], {}
        for name, (values, encoding) in reversed(self.tensors.items()):  # any order loads
            raw, self.decoded[name] = _record(name, values, encoding)
            records.append(raw)
        out = b"EISNN001" + struct.pack("<I", len(self.header))
        out += b"".join(_string(k) + _string(v) for k, v in self.header.items())
        out += struct.pack("<I", len(records)) + b"".join(records)
        pathlib.Path(path).write_bytes(out)
        return str(path)


RC_ROWS = [(1, 0, 0, -1), (1, 0, 0, -1), (-1, -1, 0, -1)]  # R, R, C
RQ_ROWS = [(1, 0, 0, -1), (1, 0, 0, -1), (-1, 0, -1, 3), (0, 0, 0, -1)]  # R, R, q coupled to alpha, alpha
CONFIGS = {
    # circuit, channels, groups, kernel, n_grid, dilations, log flags, scaling rows, mean, std, alpha range
    "rc": ("R0-(R1,C1)", 8, 4, 3, 16, "1,2", [1, 1, 1], RC_ROWS, [0.0, 0.5, -0.3], [0.5, 0.8, 0.6], ("0.05", "1.0")),
    "rq": ("R0-(R1,CPE1)", 8, 3, 4, 12, "1, 3", [1, 1, 1, 0], RQ_ROWS, [0.0, 0.2, -0.1, 0.8], [0.5, 0.5, 0.5, 0.05],
           ("0.05", "1.0")),
    "rq_clamped": ("R0-(R1,CPE1)", 8, 2, 5, 10, "2,1", [0, 1, 1, 0], RQ_ROWS, [2.0, 0.2, -0.1, 1.7],
                   [0.3, 0.5, 0.5, 0.05], ("0.05", "0.9")),
    "rc_one_point_grid": ("R0-(R1,C1)", 4, 2, 3, 1, "1048576,1", [1, 1, 1], RC_ROWS, [0.0, 0.5, -0.3],
                          [0.5, 0.8, 0.6], ("0.05", "1.0")),
}
PARAM_NAMES = {"R0-(R1,C1)": "R0.r,R1.r,C1.c", "R0-(R1,CPE1)": "R0.r,R1.r,CPE1.q,CPE1.alpha"}
HIDDEN = 12


def make_network(config, seed=0):
    circuit, c, groups, kernel, n_grid, dilations, logs, scaling, mean, std, (amin, amax) = CONFIGS[config]
    p = len(logs)
    rng = np.random.default_rng(seed)

    def conv(o, i):
        w = rng.normal(0.0, 1.0 / math.sqrt(i * kernel), (o, i, kernel))
        w[rng.random(w.shape) < 0.2] = 0.0
        return w

    header = {"circuit": circuit, "param_names": PARAM_NAMES[circuit], "estimator": "reactive_centroid",
              "n_grid": str(n_grid), "channels": str(c), "kernel": str(kernel), "groups": str(groups),
              "dilations": dilations, "alpha_min": amin, "alpha_max": amax, "trained_on": "unit test"}
    t = {"w.stem.weight": (conv(c, 3), 1), "w.stem.bias": (rng.normal(0, 0.1, c), 0)}
    for b in range(len(dilations.split(","))):
        for layer, enc in (("conv1", 2), ("conv2", 1)):
            t[f"w.blocks.{b}.{layer}.weight"] = (conv(c, c), enc)
            t[f"w.blocks.{b}.{layer}.bias"] = (rng.normal(0, 0.1, c), 1)
        for norm in ("norm1", "norm2"):
            t[f"w.blocks.{b}.{norm}.weight"] = (1.0 + rng.normal(0, 0.2, c), 0)
            t[f"w.blocks.{b}.{norm}.bias"] = (rng.normal(0, 0.2, c), 0)
    for layer, (o, i), enc in (("0", (HIDDEN, 2 * c + 2), 2), ("2", (HIDDEN, HIDDEN), 1), ("4", (2 * p, HIDDEN), 0)):
        t[f"w.head.{layer}.weight"] = (rng.normal(0, 1.0 / math.sqrt(i), (o, i)), enc)
        t[f"w.head.{layer}.bias"] = (rng.normal(0, 0.1, o), 1)
    t["target_mean"] = (np.array(mean), 0)
    t["target_std"] = (np.array(std), 0)
    t["scaling"] = (np.array(scaling, dtype=float), 0)
    t["log_params"] = (np.array(logs, dtype=float), 0)
    return Network(header, t)


# ---- the forward pass, step by step ----


def _interpolate(xs, ys, x):
    if x <= xs[0]:
        return ys[0]
    if x >= xs[-1]:
        return ys[-1]
    i = int(np.searchsorted(xs, x, side="right"))
    if xs[i - 1] == xs[i]:
        return ys[i - 1]
    return ys[i - 1] + (x - xs[i - 1]) * (ys[i] - ys[i - 1]) / (xs[i] - xs[i - 1])


def _gelu(u):
    t = np.tanh((u * 0.044715 * u * u + u) * 0.7978845608028654)
    return (t + 1) * u * 0.5


def _conv1d(x, w, b, dilation, kernel):
    channels_in, g = x.shape
    pad = dilation * (kernel - 1) // 2
    out = np.repeat(b[:, None], g, axis=1).astype(float)
    for k in range(kernel):
        shift = k * dilation - pad
        src = np.zeros_like(x)
        lo, hi = max(0, -shift), min(g, g - shift)
        if lo < hi:
            src[:, lo:hi] = x[:, lo + shift:hi + shift]
        out += w[:, :, k] @ src
    return out


def _group_norm(x, weight, bias, groups):
    c = x.shape[0] // groups
    y = x.copy()
    for j in range(groups):
        block = x[j * c:(j + 1) * c]
        m = block.mean()
        r = 1.0 / math.sqrt(((block - m) ** 2).mean() + 1e-5)
        y[j * c:(j + 1) * c] = (block - m) * r * weight[j * c:(j + 1) * c, None] + bias[j * c:(j + 1) * c, None]
    return y


def _round_half_away(x):
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


def reference_guess(net, f, z):
    h, t = net.header, net.decoded
    f, z = np.asarray(f, dtype=float), np.asarray(z, dtype=complex)
    g, kernel, groups = int(h["n_grid"]), int(h["kernel"]), int(h["groups"])
    # scales from the capacitive points, in input order
    w_sum = a_sum = b_sum = 0.0
    for fi, zi in zip(f, z):
        mag = math.hypot(zi.real, zi.imag)
        if fi <= 0 or mag <= 0:
            continue
        w = max(0.0, -zi.imag / mag)
        w_sum, a_sum, b_sum = w_sum + w, a_sum + w * math.log(TWO_PI * fi), b_sum + w * math.log(mag)
    if w_sum >= 1e-9:
        omega_scale, r_scale = math.exp(a_sum / w_sum), math.exp(b_sum / w_sum)
    else:
        omega_scale = math.exp(sum(math.log(TWO_PI * fi) for fi in f) / len(f))
        r_scale = sorted(abs(zi) for zi in z)[len(z) // 2]
    # sorted points, unwrapped phase, grid
    order = np.argsort(f, kind="stable")
    lf, zs = np.log10(f[order]), z[order]
    lm, raw = np.log10(np.abs(zs)), np.arctan2(zs.imag, zs.real)
    ph = [raw[0]]
    for a in raw[1:]:
        d = a - ph[-1]
        d = d - 2 * math.pi * math.floor((d + math.pi) / (2 * math.pi))
        if d == -math.pi and ph[-1] < a:
            d = math.pi
        ph.append(ph[-1] + d)
    span = lf[-1] - lf[0]
    step = span / (g - 1) if g > 1 else 0.0
    xg = [i * step + lf[0] for i in range(g)]
    l_r, l_w = math.log10(r_scale), math.log10(omega_scale / TWO_PI)
    x = np.array([[_interpolate(lf, lm, v) - l_r for v in xg],
                  [_interpolate(lf, ph, v) / (math.pi / 2) for v in xg],
                  [(v - l_w) * 0.25 for v in xg]])
    extras = [span * 0.125, math.log10(len(f)) * 0.5]
    # network
    hmap = _conv1d(x, t["w.stem.weight"], t["w.stem.bias"], 1, kernel)
    for b, d in enumerate(int(p) for p in h["dilations"].split(",")):
        pre = f"w.blocks.{b}."
        u = _conv1d(hmap, t[pre + "conv1.weight"], t[pre + "conv1.bias"], d, kernel)
        u = _gelu(_group_norm(u, t[pre + "norm1.weight"], t[pre + "norm1.bias"], groups))
        u = _conv1d(u, t[pre + "conv2.weight"], t[pre + "conv2.bias"], d, kernel)
        u = _group_norm(u, t[pre + "norm2.weight"], t[pre + "norm2.bias"], groups)
        hmap = _gelu(hmap + u)
    pool = np.concatenate([hmap.sum(axis=1) / g, hmap.max(axis=1), extras])
    y = _gelu(t["w.head.0.weight"] @ pool + t["w.head.0.bias"])
    y = _gelu(t["w.head.2.weight"] @ y + t["w.head.2.bias"])
    out = t["w.head.4.weight"] @ y + t["w.head.4.bias"]
    # decoding
    logs = [v != 0.0 for v in t["log_params"]]
    amin, amax = float(h["alpha_min"]), float(h["alpha_max"])
    v = []
    for j, is_log in enumerate(logs):
        yj = t["target_mean"][j] + t["target_std"][j] * out[j]
        v.append(10.0 ** yj if is_log else min(max(yj, amin), amax))
    values = []
    for j, (a, bw, c, k) in enumerate(t["scaling"]):
        k = _round_half_away(k)
        values.append(v[j] * r_scale ** a * omega_scale ** (bw + (c * v[k] if k >= 0 else 0.0)))
    return values


# ---- spectra ----


def spectrum(kind):
    rng = np.random.default_rng(7)
    if kind in ("capacitive", "shuffled"):
        f = np.logspace(-1, 4, 25)
        w = TWO_PI * f
        z = 3.0 + 40.0 / (1 + 40.0 * 2e-4 * (1j * w) ** 0.9) + 5.0 / (1 + 1j * w * 5.0 * 1e-6)
        if kind == "shuffled":
            perm = rng.permutation(len(f))
            f, z = f[perm], z[perm]
        return list(f), list(z)
    if kind == "inductive":
        f = np.logspace(0, 5, 20)
        return list(f), list(2.0 + 1j * TWO_PI * f * 1e-5)
    if kind == "wrapping":
        f = np.logspace(1, 3, 15)
        theta = np.linspace(2.6, 3.7, 15)
        return list(f), list(np.linspace(1.0, 3.0, 15) * np.exp(1j * theta))
    return [10.0, 1000.0], [5 - 2j, 3 - 0.5j]


SPECTRA = ["capacitive", "shuffled", "inductive", "wrapping", "two_points"]


@pytest.mark.parametrize("kind", SPECTRA)
@pytest.mark.parametrize("config", list(CONFIGS))
def test_guess_matches_numpy_forward_pass(tmp_path, config, kind):
    net = make_network(config, seed=1)
    path = net.write(tmp_path / "net.eisnn")
    f, z = spectrum(kind)
    got = kelvara.Circuit(net.header["circuit"]).guess(f, z, weights=path)
    assert isinstance(got, list) and all(isinstance(v, float) for v in got)
    np.testing.assert_allclose(got, reference_guess(net, f, z), rtol=1e-9, atol=0)


@pytest.mark.parametrize(
    "config,circuit,expected",
    [
        ("rc", "(R1,C2)-R3", lambda v: [v[1], v[2], v[0]]),
        ("rc", "R0-K1", lambda v: [v[0], v[1], v[1] * v[2]]),
        ("rc", "K1-R0", lambda v: [v[1], v[1] * v[2], v[0]]),
        ("rq", "R0-Zarc1", lambda v: [v[0], v[1], (v[1] * v[2]) ** (1 / v[3]), v[3]]),
        ("rq_clamped", "Zarc4-R7", lambda v: [v[1], (v[1] * v[2]) ** (1 / v[3]), v[3], v[0]]),
    ],
)
def test_outputs_are_mapped_onto_the_user_circuit(tmp_path, config, circuit, expected):
    net = make_network(config, seed=2)
    path = net.write(tmp_path / "net.eisnn")
    f, z = spectrum("capacitive")
    got = kelvara.Circuit(circuit).guess(f, z, weights=path)
    np.testing.assert_allclose(got, expected(reference_guess(net, f, z)), rtol=1e-9, atol=0)


# ---- errors ----


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def unparsable(key):
    return "weight file has an unparsable value for " + quoted(key)


def guess_error(circuit, f, z, weights, exc=ValueError):
    with pytest.raises(exc) as info:
        kelvara.Circuit(circuit).guess(f, z, weights=weights)
    return str(info.value)


def test_unreadable_files(tmp_path):
    f, z = spectrum("two_points")
    message = guess_error("R0-(R1,C1)", f, z, str(tmp_path / "absent.eisnn"))
    assert message.startswith("reading weights: ") and os.strerror(errno.ENOENT) in message
    # A directory opens but cannot be read; in a child interpreter, since a failure here may
    # leave the process-wide cache unusable. Afterwards a good file must still load.
    good = make_network("rc").write(tmp_path / "good.eisnn")
    proc = run_python(f"""
        import kelvara
        c = kelvara.Circuit("R0-(R1,C1)")
        try:
            c.guess({f!r}, {z!r}, weights={str(tmp_path)!r})
        except BaseException as e:
            print(type(e).__name__, e)
        print(len(c.guess({f!r}, {z!r}, weights={good!r})))
    """)
    lines = proc.stdout.splitlines()
    assert len(lines) == 2 and lines[0].startswith("ValueError reading weights: "), proc.stdout + proc.stderr
    assert lines[1] == "3", proc.stdout + proc.stderr


@pytest.mark.parametrize("filename", ["net.eisnn", 'we"ird\\name.eisnn'])
def test_weights_for_another_circuit(tmp_path, filename):
    path = make_network("rc").write(tmp_path / filename)
    f, z = spectrum("capacitive")
    assert guess_error("R0-(R1,CPE1)", f, z, path) == (
        "weight file " + path + " was trained for " + quoted("R0-(R1,C1)") + ", a different circuit than "
        + quoted("R0-p(R1,CPE1)"))
    assert guess_error("R0-C1", f, z, path).endswith('a different circuit than "R0-C1"')


@pytest.mark.parametrize("bad_circuit", ["R0-(R1", 'R0-("C1")'])
def test_weights_whose_circuit_does_not_parse(tmp_path, bad_circuit):
    net = make_network("rc")
    net.header["circuit"] = bad_circuit
    path = net.write(tmp_path / "net.eisnn")
    f, z = spectrum("capacitive")
    assert guess_error("R0-(R1,C1)", f, z, path) == unparsable("circuit " + quoted(bad_circuit) + " in " + path)


@pytest.mark.parametrize("n", [0, 1])
def test_too_few_points(tmp_path, n):
    path = make_network("rc").write(tmp_path / "net.eisnn")
    f, z = spectrum("capacitive")
    assert guess_error("R0-(R1,C1)", f[:n], z[:n], path) == f"need at least 2 frequency points to guess, got {n}"


@pytest.mark.parametrize("weights", [5, b"net.eisnn", pathlib.Path("net.eisnn"), ["net.eisnn"]])
def test_weights_must_be_text(weights):
    f, z = spectrum("capacitive")
    with pytest.raises(TypeError) as info:
        kelvara.Circuit("R0-(R1,C1)").guess(f[:1], z[:1], weights=weights)
    assert str(info.value).startswith("argument 'weights': ")
    assert isinstance(info.value.__cause__, TypeError)
    if weights == 5:
        assert str(info.value) == "argument 'weights': 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("name", ["w.stem.weight", "w.blocks.1.norm2.bias", "w.head.4.bias"])
def test_missing_network_tensor_fails_at_the_guess(tmp_path, name):
    net = make_network("rc")
    del net.tensors[name]
    path = net.write(tmp_path / "net.eisnn")
    f, z = spectrum("capacitive")
    assert guess_error("R0-(R1,C1)", f, z, path) == f"weight file is missing {quoted(name)}"


@pytest.mark.parametrize(
    "damage,message",
    [
        (lambda b: b"EISNN002" + b[8:], "not an eisnn weight file (bad magic bytes)"),
        (lambda b: b[:-1], "weight file is truncated"),
        (lambda b: b"", "weight file is truncated"),
    ],
)
def test_invalid_file_and_no_caching_of_failures(tmp_path, damage, message):
    path = make_network("rc").write(tmp_path / "net.eisnn")
    good = pathlib.Path(path).read_bytes()
    pathlib.Path(path).write_bytes(damage(good))
    f, z = spectrum("capacitive")
    assert guess_error("R0-(R1,C1)", f, z, path) == message
    pathlib.Path(path).write_bytes(good)
    assert len(kelvara.Circuit("R0-(R1,C1)").guess(f, z, weights=path)) == 3


def test_same_path_text_is_read_once(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    name = f"w_{uuid.uuid4().hex}.eisnn"
    first, second = make_network("rc", seed=3), make_network("rc", seed=4)
    f, z = spectrum("capacitive")
    rc = kelvara.Circuit("R0-(R1,C1)")
    first.write(name)
    a = rc.guess(f, z, weights=name)
    second.write(name)
    assert rc.guess(f, z, weights=name) == a
    assert rc.guess(f, z, weights=os.path.abspath(name)) != a
    np.testing.assert_allclose(rc.guess(f, z, weights="./" + name), reference_guess(second, f, z), rtol=1e-9)
    np.testing.assert_allclose(a, reference_guess(first, f, z), rtol=1e-9)


# ---- malformed networks and hostile spectra, run in a child interpreter so a crash fails tests, not the run ----


def _resize(name, n):
    def change(net):
        values, enc = net.tensors[name]
        net.tensors[name] = (np.resize(np.ravel(values), n), enc)
    return change


def _set(key, value):
    return lambda net: net.header.__setitem__(key, value)


def _reshape(name, shape):
    return lambda net: net.tensors.__setitem__(name, (np.zeros(shape), 0))


def _alpha_index(index):
    def change(net):
        rows = np.array(net.tensors["scaling"][0])
        rows[2, 3] = index
        net.tensors["scaling"] = (rows, 0)
    return change


def _both(*changes):
    return lambda net: [c(net) for c in changes]


ANY = None  # a ValueError or a list of three floats; never a crash
MALFORMED = {
    "stem weight short": (_resize("w.stem.weight", 71), 'tensor "w.stem.weight" has 71 elements, expected 72'),
    "stem bias short": (_resize("w.stem.bias", 7), 'tensor "w.stem.bias" has 7 elements, expected 8'),
    "block conv short": (_resize("w.blocks.1.conv2.weight", 187),
                         'tensor "w.blocks.1.conv2.weight" has 187 elements, expected 192'),
    "norm weight short": (_resize("w.blocks.0.norm1.weight", 5),
                          'tensor "w.blocks.0.norm1.weight" has 5 elements, expected 8'),
    "kernel larger than weights": (_set("kernel", "5"), 'tensor "w.stem.weight" has 72 elements, expected 120'),
    "head input mismatch": (_reshape("w.head.0.weight", (HIDDEN, 17)), 'tensor "head.0" has 18 elements, expected 17'),
    "dense bias short": (_resize("w.head.2.bias", 5), 'tensor "w.head.2.bias" has 5 elements, expected 12'),
    "target_std short": (_resize("target_std", 2), 'tensor "target_std" has 2 elements, expected 3'),
    "log_params short": (_resize("log_params", 2), 'tensor "log_params" has 2 elements, expected 3'),
    "target_mean short": (_both(_resize("target_mean", 1), _resize("scaling", 4)),
                          ('tensor "target_mean" has 1 elements, expected 3',
                           'tensor "scaling" has 4 elements, expected 12')),
    "groups zero": (_set("groups", "0"), unparsable("groups")),
    "alpha range reversed": (_both(_set("alpha_min", "0.9"), _set("alpha_max", "0.1")), unparsable("alpha_min")),
    "n_grid too large": (_set("n_grid", "65537"), unparsable("n_grid")),
    "dilation too large": (_set("dilations", "1,1048577"), unparsable("dilations")),
    "dense weight not 2-D": (_reshape("w.head.0.weight", (HIDDEN * 18,)), ANY),
    "too few outputs": (_both(_reshape("w.head.4.weight", (2, HIDDEN)), _reshape("w.head.4.bias", (2,))), ANY),
    "alpha index out of range": (_alpha_index(7.0), ANY),
    "alpha index huge": (_alpha_index(3e9), ANY),
    "more groups than channels": (_set("groups", "9"), unparsable("groups")),
    "groups 2^32 - 1": (_set("groups", "4294967295"), unparsable("groups")),
    "weight count wraps": (_set("kernel", "6148914691236517206"), unparsable("kernel")),  # 3 * kernel = 2^64 + 2
    "kernel zero": (_set("kernel", "0"), ANY),
    "channels zero": (_set("channels", "0"), ANY),
    "n_grid zero": (_set("n_grid", "0"), ANY),
    "n_grid limit": (_set("n_grid", "65536"), ANY),
}
NAN, INF = float("nan"), float("inf")
BAD_F, BAD_Z = ("cannot guess from this spectrum: frequencies must be finite and positive, but point ",
                "cannot guess from this spectrum: impedances must be finite, but point ")
HOSTILE = {
    "nan impedance": ([1, 10, 100], [1 - 1j, complex(NAN, 0), 1 - 0.1j], BAD_Z + "1 has impedance NaN+0j"),
    "inf impedance": ([1, 10, 100], [1 - 1j, complex(INF, -INF), 1 - 0.1j], BAD_Z + "1 has impedance inf-infj"),
    "nan frequency": ([1, NAN, 100], [1 - 1j, 2 - 1j, 1 - 0.1j], BAD_F + "1 has frequency NaN"),
    "inf frequency": ([1, 10, INF], [1 - 1j, 2 - 1j, 1 - 0.1j], BAD_F + "2 has frequency inf"),
    "zero frequency": ([0, 10, 100], [1 - 1j, 2 - 1j, 1 - 0.1j], BAD_F + "0 has frequency 0"),
    "negative frequency": ([-5, 10, 100], [1 - 1j, 2 - 1j, 1 - 0.1j], BAD_F + "0 has frequency -5"),
    "zero impedances": ([1, 10, 100], [0j, 0j, 0j], ANY),
    "equal frequencies": ([10, 10, 10], [1 - 1j, 2 - 1j, 3 - 1j], ANY),
    "all nan": ([NAN, NAN], [complex(NAN, NAN), complex(NAN, NAN)], BAD_F + "0 has frequency NaN"),
}


@pytest.fixture(scope="module")
def isolated_results(tmp_path_factory):
    folder = tmp_path_factory.mktemp("malformed")
    f, z = spectrum("capacitive")
    cases = {}
    for name, (change, _) in MALFORMED.items():
        net = make_network("rc")
        change(net)
        cases[name] = (net.write(folder / f"{len(cases)}.eisnn"), f, z)
    good = make_network("rc").write(folder / "good.eisnn")
    for name, (hf, hz, _) in HOSTILE.items():
        cases[name] = (good, hf, hz)
    recorded = {k: [p, list(cf), [[c.real, c.imag] for c in cz]] for k, (p, cf, cz) in cases.items()}
    cases_path = str(folder / "cases.json")
    pathlib.Path(cases_path).write_text(json.dumps(recorded))
    proc = run_python(f"""
        import json, kelvara
        for name, (path, f, z) in json.load(open({cases_path!r})).items():
            print(json.dumps(["started", name]), flush=True)
            try:
                out = kelvara.Circuit("R0-(R1,C1)").guess(f, [complex(*c) for c in z], weights=path)
                result = ["list", [repr(v) for v in out], all(isinstance(v, float) for v in out)]
            except BaseException as e:
                result = [type(e).__name__, str(e)]
            print(json.dumps([name, result]), flush=True)
    """)
    results = dict(json.loads(line) for line in proc.stdout.splitlines())
    return results, proc


@pytest.mark.parametrize("case", list(MALFORMED) + list(HOSTILE))
def test_malformed_networks_and_hostile_spectra_never_crash(isolated_results, case):
    results, proc = isolated_results
    assert case in results, (f"child interpreter died (status {proc.returncode}) after starting "
                             f"{results.get('started')!r}\n{proc.stderr[-2000:]}")
    result = results[case]
    expected = MALFORMED[case][1] if case in MALFORMED else HOSTILE[case][2]
    if expected is ANY:
        assert result[0] in ("list", "ValueError"), result
        if result[0] == "list":
            assert len(result[1]) == 3 and result[2], result
    else:
        allowed = (expected,) if isinstance(expected, str) else expected
        assert result[0] == "ValueError" and result[1] in allowed, result


def test_oversized_file_is_refused_and_later_loads_work(tmp_path):
    f, z = spectrum("capacitive")
    message = guess_error("R0-(R1,C1)", f, z, "/dev/zero")
    assert message == "reading weights: the file is larger than 64 MiB, the most a weight file may have"
    assert len(kelvara.Circuit("R0-(R1,C1)").guess(f, z, weights=make_network("rc").write(tmp_path / "a.eisnn"))) == 3
    assert len(kelvara.Circuit("rc").guess(f, z)) == 3


def test_path_with_a_nul_byte_is_refused_like_open(tmp_path):
    f, z = spectrum("capacitive")
    path = make_network("rc").write(tmp_path / "net.eisnn")
    with pytest.raises(ValueError, match="embedded null byte"):
        open(path + "\0ignored")
    assert guess_error("R0-(R1,C1)", f, z, path + "\0ignored") == "embedded null byte"
