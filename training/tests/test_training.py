"""Checks of the training pipeline: file format, features, forward pass."""

import re
import struct
import sys

import numpy as np
import pytest

from training import eisnn, reference
from training.features import features, features_fast
from training.registry import BY_NAME, MODELS, header
from training.sampling import sample_spectrum
from training.simulate import impedance_numpy, kelvara_module


def _spectra(name, count, seed=3):
    rng = np.random.default_rng(seed)
    return [sample_spectrum(BY_NAME[name], rng) for _ in range(count)]


def test_forward_pass_matches_reference():
    torch = pytest.importorskip("torch")
    from training.model import GuessNet, from_network, to_bytes

    torch.manual_seed(0)
    entry = BY_NAME["rq"]
    net = GuessNet(entry.channels, entry.P)
    with torch.no_grad():  # larger norm affine values than the init, to exercise them
        for p in net.parameters():
            p.add_(0.1 * torch.randn_like(p))
    data = to_bytes(net, np.array([0.1, -0.2, 0.3, 0.7]), np.array([1.5, 0.5, 0.8, 0.1]), entry)
    loaded = eisnn.load(data)
    ref_net = from_network(loaded, torch.float64)
    for f, z, _ in _spectra("rq", 6):
        raw, rs, ws = reference.predict_raw(loaded, f, z)
        x, ex, _, _ = features(f, z)
        with torch.no_grad():
            out = ref_net(torch.tensor(x[None]), torch.tensor(ex[None]))[0].numpy()
        np.testing.assert_allclose(raw, out, rtol=1e-6, atol=1e-9)
        np.testing.assert_allclose(reference.decode(loaded, out, rs, ws),
                                   reference.predict(loaded, f, z), rtol=1e-6)


def test_file_layout_and_tensor_order():
    torch = pytest.importorskip("torch")
    from training.model import GuessNet, to_bytes, tensor_order

    entry = BY_NAME["two_rq"]
    data = to_bytes(GuessNet(entry.channels, entry.P), np.zeros(entry.P), np.ones(entry.P), entry)
    hdr, tensors = eisnn.from_bytes(data)
    assert list(hdr) == [k for k, _ in header(entry)]
    names = list(tensors)
    assert len(names) == 44
    assert names == ["w." + n for n in tensor_order()] + \
        ["target_mean", "target_std", "scaling", "log_params"]
    assert tensors["w.head.0.weight"][0] == (4 * 32, 2 * 32 + 2)
    assert tensors["w.head.4.weight"][0] == (2 * entry.P, 4 * 32)
    assert tensors["scaling"][0] == (entry.P, 4)


def test_writer_reader_round_trip():
    rng = np.random.default_rng(1)
    a = rng.standard_normal((4, 3, 5))
    b = rng.standard_normal(7)
    hdr = [("circuit", "R0-(R1,C1)"), ("k", "v1"), ("k", "v2")]
    data = eisnn.to_bytes(hdr, [("a", a, eisnn.F16), ("b", b, eisnn.F32),
                                ("q", b, eisnn.Q8), ("s", np.float64(2.5), eisnn.F32)])
    h, t = eisnn.from_bytes(data)
    assert h == {"circuit": "R0-(R1,C1)", "k": "v2"}
    assert t["a"][0] == (4, 3, 5)
    np.testing.assert_array_equal(t["a"][1], a.astype(np.float16).astype(np.float64).ravel())
    np.testing.assert_array_equal(t["b"][1], b.astype(np.float32).astype(np.float64))
    np.testing.assert_allclose(t["q"][1], b, atol=np.abs(b).max() / 127)
    assert t["s"] == ((), np.array([2.5]))
    # the writer's bytes for one half tensor, by hand
    one = eisnn.to_bytes([], [("h", np.array([1.0, -2.0]), eisnn.F16)])
    assert one == b"EISNN001" + struct.pack("<II", 0, 1) + struct.pack("<I", 1) + b"h" + \
        bytes([1, 1]) + struct.pack("<I", 2) + bytes.fromhex("003c00c0")


def test_reader_errors():
    with pytest.raises(eisnn.EisnnError, match="truncated"):
        eisnn.from_bytes(b"EISNN00")
    with pytest.raises(eisnn.EisnnError, match="truncated"):
        eisnn.from_bytes(b"EISNN001")
    with pytest.raises(eisnn.EisnnError, match="bad magic"):
        eisnn.from_bytes(b"EISNN002" + bytes(8))
    bad = b"EISNN001" + struct.pack("<II", 0, 1) + struct.pack("<I", 1) + b"x" + bytes([3, 0])
    with pytest.raises(eisnn.EisnnError, match="encoding 3"):
        eisnn.from_bytes(bad)


def test_features_do_not_depend_on_point_order():
    for name in ("rq", "two_rq_l", "sei_randles_wo"):
        for f, z, _ in _spectra(name, 4, seed=11):
            o = np.argsort(f)
            up = features(f[o], z[o])
            down = features(f[o][::-1], z[o][::-1])
            # only the scale sums run in input order, so rounding may differ there
            np.testing.assert_allclose(up[0], down[0], rtol=0, atol=1e-12)
            np.testing.assert_array_equal(up[0][1], down[0][1])
            np.testing.assert_array_equal(up[1], down[1])
            fast = features_fast(f, z)
            np.testing.assert_allclose(fast[0], up[0], atol=1e-10)


def test_features_fallback_and_unwrap():
    f = np.array([1.0, 10.0, 100.0])
    z = np.array([1 + 1j, 2 + 1j, 4 + 0j])  # nothing capacitive
    x, ex, r, w = features(f, z, 8)
    assert r == pytest.approx(abs(2 + 1j))
    assert w == pytest.approx(6.283185307179586 * 10.0)
    # a -350 degree step unwraps to +10 degrees
    a, b = np.deg2rad(175.0), np.deg2rad(-175.0)
    z = np.array([np.exp(1j * a), np.exp(1j * b)])
    x, *_ = features(np.array([1.0, 2.0]), z, 2)
    assert x[1, 1] * 90 == pytest.approx(185.0)


def test_simulator_against_known_values():
    z = impedance_numpy("R0-(R1,C1)", [1.0, 1.0, 0.001], [1000 / 6.283185307179586])
    assert z[0] == pytest.approx(1.5 - 0.5j)
    z = impedance_numpy("La0", [1e-6, 0.5], [1e6 / 6.283185307179586])
    assert z[0] == pytest.approx(np.sqrt(0.5) + 1j * np.sqrt(0.5))
    z = impedance_numpy("CPE0", [2.0, 1.0], [1.0])
    c = impedance_numpy("C0", [2.0], [1.0])
    assert z[0] == pytest.approx(c[0])


def test_simulator_matches_kelvara():
    if kelvara_module() is None:
        pytest.skip("kelvara is not built")
    from training.simulate import compare_backends
    rng = np.random.default_rng(2)
    for entry in MODELS:
        f, _, v = sample_spectrum(entry, rng, backend="numpy")
        assert compare_backends(entry.circuit, v, f) < 1e-12


@pytest.mark.parametrize("with_tqdm", [False, True])
def test_training_reports_each_epoch(tmp_path, monkeypatch, capsys, with_tqdm):
    pytest.importorskip("torch")
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm -> ImportError
    from training import train as tr

    monkeypatch.setattr(tr, "CACHE", tmp_path / "cache")
    # 3000 spectra: 300 held back for validation, 10 steps of 256 per epoch
    path, _ = tr.train(BY_NAME["rc"], samples=3000, epochs=2.5, backend="numpy",
                       out_dir=tmp_path)
    found = re.findall(r"rc epoch (\d+)/3: step (\d+)/25, train loss \S+, val loss ([^,]+),",
                       capsys.readouterr().out)
    assert [(int(e), int(s)) for e, s, _ in found] == [(1, 10), (2, 20), (3, 25)]
    assert all(0 < float(v) < 10 for _, _, v in found)
    assert eisnn.load(path.read_bytes()).channels == 16


def test_continuing_keeps_the_standardisation(tmp_path, monkeypatch):
    pytest.importorskip("torch")
    from training import train as tr

    monkeypatch.setattr(tr, "CACHE", tmp_path / "cache")
    first, _ = tr.train(BY_NAME["rc"], samples=3000, epochs=0.5, backend="numpy",
                        out_dir=tmp_path / "a", progress=False)
    again, _ = tr.train(BY_NAME["rc"], samples=3000, epochs=0.5, backend="numpy",
                        out_dir=tmp_path / "b", progress=False, init=first)
    a, b = eisnn.load(first.read_bytes()), eisnn.load(again.read_bytes())
    np.testing.assert_array_equal(a.target_mean, b.target_mean)
    np.testing.assert_array_equal(a.target_std, b.target_std)
    assert a.tensor("w.stem.weight")[1].tolist() != b.tensor("w.stem.weight")[1].tolist()
    with pytest.raises(ValueError, match="not of rq"):
        tr.train(BY_NAME["rq"], samples=3000, epochs=0.5, backend="numpy",
                 out_dir=tmp_path / "c", init=first)
