"""The guessing network in PyTorch and its export to `.eisnn`.

Stem conv (3 -> C), residual blocks (conv, group norm, GELU, conv, group norm,
GELU of the sum) with dilations 1, 2, 4, 8 and zero padding d*(K-1)//2, mean
and max pooling plus the two extras, dense head 2C+2 -> 4C -> 4C -> 2P.
The first P outputs are the standardised targets; the last P a predicted
log-variance (training only; the runtime reads the first P).
"""

from __future__ import annotations

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

from . import eisnn
from .registry import DILATIONS, GROUPS, KERNEL, Entry, header


def gelu(u):
    # tanh form; same formula as the runtime, fused kernel for speed
    return F.gelu(u, approximate="tanh")


class GELU(nn.Module):
    def forward(self, u):
        return gelu(u)


class Block(nn.Module):
    def __init__(self, C: int, d: int):
        super().__init__()
        pad = d * (KERNEL - 1) // 2
        self.conv1 = nn.Conv1d(C, C, KERNEL, padding=pad, dilation=d)
        self.norm1 = nn.GroupNorm(GROUPS, C, eps=1e-5)
        self.conv2 = nn.Conv1d(C, C, KERNEL, padding=pad, dilation=d)
        self.norm2 = nn.GroupNorm(GROUPS, C, eps=1e-5)

    def forward(self, h):
        u = gelu(self.norm1(self.conv1(h)))
        u = self.norm2(self.conv2(u))
        return gelu(h + u)


class GuessNet(nn.Module):
    def __init__(self, channels: int, n_out: int):
        super().__init__()
        C = channels
        self.stem = nn.Conv1d(3, C, KERNEL, padding=(KERNEL - 1) // 2)
        self.blocks = nn.ModuleList([Block(C, d) for d in DILATIONS])
        self.head = nn.Sequential(
            nn.Linear(2 * C + 2, 4 * C), GELU(),
            nn.Linear(4 * C, 4 * C), GELU(),
            nn.Linear(4 * C, 2 * n_out))

    def forward(self, x, extras):
        h = self.stem(x)
        for blk in self.blocks:
            h = blk(h)
        pooled = torch.cat([h.mean(dim=2), h.amax(dim=2), extras], dim=1)
        return self.head(pooled)


def tensor_order(n_blocks: int = len(DILATIONS)):
    """Network tensor names in file order (without the "w." prefix)."""
    names = ["stem.weight", "stem.bias"]
    for b in range(n_blocks):
        for layer in ("conv1", "norm1", "conv2", "norm2"):
            names += [f"blocks.{b}.{layer}.weight", f"blocks.{b}.{layer}.bias"]
    for i in (0, 2, 4):
        names += [f"head.{i}.weight", f"head.{i}.bias"]
    return names


def export_tensors(net: GuessNet, target_mean, target_std, entry: Entry):
    sd = net.state_dict()
    tensors = [("w." + n, sd[n].detach().cpu().double().numpy(), eisnn.F16)
               for n in tensor_order()]
    tensors += [
        ("target_mean", np.asarray(target_mean, dtype=np.float64), eisnn.F32),
        ("target_std", np.asarray(target_std, dtype=np.float64), eisnn.F32),
        ("scaling", entry.scaling, eisnn.F32),
        ("log_params", entry.log_params, eisnn.F32),
    ]
    return tensors


def to_bytes(net: GuessNet, target_mean, target_std, entry: Entry) -> bytes:
    return eisnn.to_bytes(header(entry), export_tensors(net, target_mean, target_std, entry))


def from_network(network: eisnn.Network, dtype=torch.float64) -> GuessNet:
    """A PyTorch model carrying the (decoded) weights of a loaded file."""
    P = len(network.param_names)
    net = GuessNet(network.channels, P).to(dtype)
    sd = {}
    for n, ref in net.state_dict().items():
        dims, data = network.tensor("w." + n)
        sd[n] = torch.tensor(data.reshape(dims), dtype=dtype)
    net.load_state_dict(sd)
    return net


def round_to_half(net: GuessNet) -> GuessNet:
    """Copy of `net` whose weights went through float16, as stored in files."""
    import copy
    out = copy.deepcopy(net)
    with torch.no_grad():
        for p in out.parameters():
            p.copy_(p.half().to(p.dtype))
    return out
