"""Reference forward pass of an `.eisnn` network in float64 NumPy.

This is the yardstick for the C++ runtime: same feature steps, same layer
order, zero convolution taps skipped, population variance in group norm,
NaN-ignoring max pooling, then decoding with the spectrum's scales.
"""

from __future__ import annotations

import math

import numpy as np

from .eisnn import EisnnError, Network, load
from .features import features


def gelu(u):
    t = np.tanh((u * 0.044715 * u * u + u) * 0.7978845608028654)
    return (t + 1) * u * 0.5


def conv1d(net: Network, x, n_in: int, layer: str, dilation: int):
    wd, w = net.tensor(f"w.{layer}.weight")
    _, b = net.tensor(f"w.{layer}.bias")
    K = net.kernel
    O = wd[0]
    G = x.shape[1]
    w = w[:O * n_in * K].reshape(O, n_in, K)
    pad = dilation * (K - 1) // 2
    out = np.repeat(b[:O, None], G, axis=1).astype(np.float64)
    if np.all(np.isfinite(x)):
        xp = np.zeros((n_in, G + 2 * pad + K * dilation))
        xp[:, pad:pad + G] = x
        for k in range(K):
            s = k * dilation  # input index t + s - pad -> padded index t + s
            out += w[:, :, k] @ xp[:, s:s + G]
        return out
    # Non-finite inputs: skip zero taps exactly, as the runtime does.
    for o in range(O):
        for t in range(G):
            acc = out[o, t]
            for i in range(n_in):
                for k in range(K):
                    wt = w[o, i, k]
                    if wt == 0.0:
                        continue
                    p = t + k * dilation - pad
                    if 0 <= p < G:
                        acc += wt * x[i, p]
            out[o, t] = acc
    return out


def group_norm(net: Network, x, layer: str):
    _, gw = net.tensor(f"w.{layer}.weight")
    _, gb = net.tensor(f"w.{layer}.bias")
    C, N = net.channels, net.groups
    G = x.shape[1]
    c = C // N
    for j in range(N):
        blk = x[j * c:(j + 1) * c]
        m = blk.sum() / (c * G)
        v = ((blk - m) ** 2).sum() / (c * G)
        r = 1 / math.sqrt(v + 1e-5)
        x[j * c:(j + 1) * c] = (blk - m) * r * gw[j * c:(j + 1) * c, None] + gb[j * c:(j + 1) * c, None]
    return x


def linear(net: Network, x, layer: str):
    wd, w = net.tensor(f"w.{layer}.weight")
    _, b = net.tensor(f"w.{layer}.bias")
    O, I = wd[0], wd[1]
    if len(x) != I:
        raise EisnnError(f'tensor "{layer}" has {len(x)} elements, expected {I}')
    return b[:O] + w[:O * I].reshape(O, I) @ x


def network_outputs(net: Network, x, extras):
    """Raw 2P outputs of the network for one feature input."""
    C = net.channels
    h = conv1d(net, x, 3, "stem", 1)
    for b, d in enumerate(net.dilations):
        u = conv1d(net, h, C, f"blocks.{b}.conv1", d)
        group_norm(net, u, f"blocks.{b}.norm1")
        u = gelu(u)
        u = conv1d(net, u, C, f"blocks.{b}.conv2", d)
        group_norm(net, u, f"blocks.{b}.norm2")
        h = gelu(h + u)
    G = h.shape[1]
    pooled = np.concatenate([
        h.sum(axis=1) / G,
        np.fmax.reduce(h, axis=1, initial=-np.inf),
        extras,
    ])
    z = gelu(linear(net, pooled, "head.0"))
    z = gelu(linear(net, z, "head.2"))
    return linear(net, z, "head.4")


def decode(net: Network, z, r_scale: float, omega_scale: float):
    P = len(net.param_names)
    v = np.empty(P)
    for j in range(P):
        y = net.target_mean[j] + net.target_std[j] * z[j]
        v[j] = 10.0 ** y if net.log_params[j] else y
    for j in range(P):
        if not net.log_params[j]:
            v[j] = min(max(v[j], net.alpha_min), net.alpha_max)
    if not net.scaling:
        return v
    out = np.empty(P)
    for j, (a, b, c, k) in enumerate(net.scaling):
        e = c * v[k] if k >= 0 else 0.0
        out[j] = v[j] * r_scale ** a * omega_scale ** (b + e)
    return out


def predict(net, f, z):
    """P physical values for the spectrum (f in Hz, complex z in ohm)."""
    if not isinstance(net, Network):
        net = load(net)
    x, extras, r_scale, omega_scale = features(f, z, net.n_grid)
    out = network_outputs(net, x, extras)
    return decode(net, out, r_scale, omega_scale)


def predict_raw(net, f, z):
    """(2P raw outputs, r_scale, omega_scale), for comparisons."""
    if not isinstance(net, Network):
        net = load(net)
    x, extras, r_scale, omega_scale = features(f, z, net.n_grid)
    return network_outputs(net, x, extras), r_scale, omega_scale


if __name__ == "__main__":  # python -m training.reference models/rq.eisnn
    import sys

    from .registry import BY_NAME
    from .sampling import sample_spectrum

    net = load(sys.argv[1])
    entry = next(m for m in BY_NAME.values() if m.circuit == net.circuit)
    f, z, v = sample_spectrum(entry, np.random.default_rng(0), noise=0.01)
    g = predict(net, f, z)
    print(net.circuit)
    for n, a, b in zip(net.param_names, v, g):
        print(f"  {n:<12} true {a:.4g}  guess {b:.4g}")
