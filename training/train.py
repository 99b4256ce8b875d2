"""Train one guessing network (or all) and write models/<name>.eisnn.

    python -m training.train rq
    python -m training.train all
    python -m training.train rq --samples 20000 --epochs 1   # quick run

Data sets are generated once per (model, seed, size, simulator) and cached in
$KELVARA_TRAIN_CACHE (default /tmp/kelvara_training_cache).
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from pathlib import Path

if __package__ in (None, ""):  # run as a script: python training/train.py rq
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
    __package__ = "training"

import numpy as np

from .features import features_fast
from .registry import BY_NAME, MODELS, N_GRID, TRAIN_ORDER, Entry
from .sampling import sample_spectrum
from .simulate import backend_name

ROOT = Path(__file__).resolve().parent.parent
MODELS_DIR = ROOT / "models"
CACHE = Path(os.environ.get("KELVARA_TRAIN_CACHE", "/tmp/kelvara_training_cache"))

BASE_SEED = 20_240_917
VAL_SIZE = 4000

# (spectra, epochs): sized for about 6-7 minutes of one CPU thread for 32
# channels, 4 for the 16-channel rc model.  The 64-channel sei_randles* nets
# need many more steps to reach a good fit-start rate; a spectrum costs about
# a third of a training pass to generate, so they see fresh data every step
# (one epoch over a million spectra, about 26 minutes each).
BUDGET = {
    "rc": (120_000, 4.0),
    "sei_randles": (1_000_000, 1.0),
    "sei_randles_wo": (1_000_000, 1.0),
}
DEFAULT_BUDGET = (150_000, 3.0)


def seed_for(entry: Entry) -> int:
    return BASE_SEED + 1000 * [m.name for m in MODELS].index(entry.name)


def targets_for(entry: Entry, values, r_scale, omega_scale):
    """Raw (unstandardised) targets: log10 of the scale-free value, or alpha."""
    sc = entry.scaling
    t = np.empty(entry.P)
    for j in range(entry.P):
        a, b, c, k = sc[j]
        if entry.log_params[j]:
            e = c * values[int(k)] if k >= 0 else 0.0
            t[j] = math.log10(values[j]) - a * math.log10(r_scale) - (b + e) * math.log10(omega_scale)
        else:
            t[j] = values[j]
    return t


def make_dataset(entry: Entry, n: int, seed: int, noise=None, backend="auto", progress=True):
    """Features, extras, raw targets, true values and spectra of n random circuits."""
    rng = np.random.default_rng(seed)
    X = np.empty((n, 3, N_GRID), dtype=np.float32)
    E = np.empty((n, 2), dtype=np.float32)
    T = np.empty((n, entry.P), dtype=np.float64)
    V = np.empty((n, entry.P), dtype=np.float64)
    keep = np.ones(n, dtype=bool)
    bar = _bar(n, f"{entry.name} data", progress)
    for i in range(n):
        f, z, v = sample_spectrum(entry, rng, noise=noise, backend=backend)
        x, ex, rs, ws = features_fast(f, z, N_GRID)
        X[i], E[i], V[i] = x, ex, v
        T[i] = targets_for(entry, v, rs, ws)
        keep[i] = np.all(np.isfinite(x)) and np.all(np.isfinite(T[i]))
        if (i + 1) % 1000 == 0:
            bar.update(1000)
    bar.close()
    return X[keep], E[keep], T[keep], V[keep]


def cached_dataset(entry: Entry, n: int, seed: int, backend="auto"):
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"{entry.name}_s{seed}_n{n}_{backend_name(backend)}.npz"
    if path.exists():
        d = np.load(path)
        return d["X"], d["E"], d["T"], d["V"]
    X, E, T, V = make_dataset(entry, n, seed, backend=backend)
    np.savez(path, X=X, E=E, T=T, V=V)
    return X, E, T, V


class _PlainBar:
    """Progress without tqdm: a plain line at every tenth of the work.

    `write` prints a line of its own (the per-epoch report of the training loop).
    With `quiet` the tenths are not printed, only the written lines.
    """

    def __init__(self, total, desc, quiet=False):
        self.total, self.desc, self.n, self.post = total, desc, 0, ""
        self.quiet = quiet
        self.t0 = time.time()

    def update(self, k):
        before, self.n = self.n, self.n + k
        tenth = max(self.total // 10, 1)
        if not self.quiet and (self.n // tenth > before // tenth or self.n == self.total):
            frac = self.n / max(self.total, 1)
            print(f"{self.desc}: {self.n}/{self.total} ({100 * frac:.0f}%) "
                  f"{time.time() - self.t0:.0f}s {self.post}".rstrip(), flush=True)

    def set_postfix_str(self, s):
        self.post = s

    def write(self, line):
        print(line, flush=True)

    def close(self):
        pass


class _NullBar:
    def update(self, k): pass
    def set_postfix_str(self, s): pass
    def write(self, line): pass
    def close(self): pass


def _bar(total, desc, enabled=True, per_epoch=False):
    """A tqdm bar, or plain lines when tqdm is missing.

    Training loops pass `per_epoch`: without tqdm they then report only through
    `write`, one line per epoch, instead of at every tenth of the steps.
    """
    if not enabled:
        return _NullBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _PlainBar(total, desc, quiet=per_epoch)
    return tqdm(total=total, desc=desc, mininterval=2.0, file=sys.stdout)


def train(entry: Entry, samples=None, epochs=None, backend="auto", out_dir=MODELS_DIR,
          progress=True, batch=256, lr=None, init=None):
    """Train `entry`'s network and write <out_dir>/<name>.eisnn.

    `init` names an existing weight file of the same model to continue from:
    its weights and its target standardisation are kept (the head's outputs
    are only meaningful in that scale), and the default peak learning rate is
    lower than from scratch.
    """
    import torch

    from . import eisnn
    from .model import GuessNet, from_network, round_to_half, to_bytes

    torch.set_num_threads(1)
    n_default, e_default = BUDGET.get(entry.name, DEFAULT_BUDGET)
    samples = samples or n_default
    epochs = epochs or e_default
    seed = seed_for(entry)
    start = None
    if init is not None:
        start = eisnn.load(init)
        if start.circuit != entry.circuit or start.channels != entry.channels:
            raise ValueError(f"{init}: a {start.channels}-channel network of {start.circuit!r}, "
                             f"not of {entry.name}")
    t0 = time.time()
    X, E, T, _ = cached_dataset(entry, samples, seed, backend=backend)
    n_val = min(VAL_SIZE, len(X) // 10)
    Xt, Et, Tt = X[:-n_val], E[:-n_val], T[:-n_val]
    Xv, Ev, Tv = X[-n_val:], E[-n_val:], T[-n_val:]
    torch.manual_seed(seed)
    P = entry.P
    if start is not None:
        net = from_network(start, torch.float32)
        mean = np.asarray(start.target_mean, dtype=np.float64)
        std = np.asarray(start.target_std, dtype=np.float64)
        lr = lr or 1e-3
    else:
        mean = Tt.mean(axis=0)
        std = Tt.std(axis=0)
        std = np.where(std > 1e-6, std, 1.0)
        # the file stores them in single precision: standardise with those values
        mean = mean.astype(np.float32).astype(np.float64)
        std = std.astype(np.float32).astype(np.float64)
        net = GuessNet(entry.channels, P)
        lr = lr or 3e-3
    xt = torch.from_numpy(Xt)
    et = torch.from_numpy(Et)
    zt = torch.from_numpy(((Tt - mean) / std).astype(np.float32))
    xv = torch.from_numpy(Xv)
    ev = torch.from_numpy(Ev)
    zv = torch.from_numpy(((Tv - mean) / std).astype(np.float32))

    steps_per_epoch = len(xt) // batch
    total = int(round(epochs * steps_per_epoch))
    opt = torch.optim.AdamW(net.parameters(), lr=lr, weight_decay=1e-4)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, max_lr=lr, total_steps=total,
                                                pct_start=0.1, div_factor=20,
                                                final_div_factor=200)
    gen = torch.Generator().manual_seed(seed + 1)

    def val_loss(model):
        model.eval()
        with torch.no_grad():
            out = torch.cat([model(xv[i:i + 1000], ev[i:i + 1000])
                             for i in range(0, len(xv), 1000)])
        model.train()
        return float(((out[:, :P] - zv) ** 2).mean())

    bar = _bar(total, f"{entry.name} train", progress, per_epoch=True)
    n_epochs = math.ceil(total / steps_per_epoch)
    step = 0
    run_loss, run_n = 0.0, 0
    perm = torch.randperm(len(xt), generator=gen)
    pos = 0
    vl = float("nan")
    while step < total:
        if pos + batch > len(xt):
            perm = torch.randperm(len(xt), generator=gen)
            pos = 0
        idx = perm[pos:pos + batch]
        pos += batch
        out = net(xt[idx], et[idx])
        mu, s = out[:, :P], out[:, P:].clamp(-10, 10)
        err2 = (mu - zt[idx]) ** 2
        # spare outputs learn a log-variance of the (detached) error
        nll = 0.5 * (torch.exp(-s) * err2.detach() + s)
        loss = err2.mean() + 0.05 * nll.mean()
        opt.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(net.parameters(), 2.0)
        opt.step()
        sched.step()
        step += 1
        run_loss += float(err2.detach().mean())
        run_n += 1
        bar.update(1)
        epoch_end = step % steps_per_epoch == 0 or step == total
        if step % 200 == 0 or epoch_end:
            vl = val_loss(net)
            bar.set_postfix_str(f"val {vl:.4f}")
        if epoch_end:
            epoch = math.ceil(step / steps_per_epoch)
            bar.write(f"{entry.name} epoch {epoch}/{n_epochs}: step {step}/{total}, "
                      f"train loss {run_loss / max(run_n, 1):.4f}, val loss {vl:.4f}, "
                      f"lr {sched.get_last_lr()[0]:.2e}, {time.time() - t0:.0f}s")
            run_loss, run_n = 0.0, 0
    bar.close()

    half = round_to_half(net)
    vl_half = val_loss(half)
    data = to_bytes(net, mean, std, entry)
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / f"{entry.name}.eisnn"
    path.write_bytes(data)
    dt = time.time() - t0
    per_param = _per_param_val(half, xv, ev, zv, P)
    print(f"{entry.name}: val loss {vl:.4f} (float16 weights {vl_half:.4f}); "
          f"per output {np.round(per_param.astype(float), 3).tolist()}; "
          f"{len(data)} bytes -> {path} in {dt:.0f}s", flush=True)
    return path, dt


def _per_param_val(model, xv, ev, zv, P):
    import torch
    with torch.no_grad():
        out = model(xv, ev)
    return ((out[:, :P] - zv) ** 2).mean(dim=0).numpy()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("names", nargs="+", help="model names, or 'all'")
    ap.add_argument("--samples", type=int, default=None, help="spectra to generate")
    ap.add_argument("--epochs", type=float, default=None)
    ap.add_argument("--backend", choices=("auto", "kelvara", "numpy"), default="auto",
                    help="simulator for the spectra (auto: kelvara when it imports)")
    ap.add_argument("--lr", type=float, default=None,
                    help="peak learning rate (default 3e-3, 1e-3 with --init)")
    ap.add_argument("--init", default=None, metavar="DIR",
                    help="continue from DIR/<name>.eisnn instead of a random start")
    ap.add_argument("--out", default=str(MODELS_DIR))
    ap.add_argument("--no-eval", action="store_true", help="skip the held-out evaluation")
    args = ap.parse_args(argv)
    names = TRAIN_ORDER if args.names == ["all"] else args.names
    for name in names:
        if name not in BY_NAME:
            ap.error(f"unknown model {name!r}; known: {', '.join(BY_NAME)}")
    print(f"simulator: {backend_name(args.backend)}", flush=True)
    for name in names:
        init = Path(args.init) / f"{name}.eisnn" if args.init else None
        path, dt = train(BY_NAME[name], args.samples, args.epochs, args.backend, args.out,
                         lr=args.lr, init=init)
        if not args.no_eval:
            from .evaluate import evaluate, format_table
            res = evaluate(BY_NAME[name], path, n=2000, fits=200)
            print(format_table(res), flush=True)


if __name__ == "__main__":
    main()
