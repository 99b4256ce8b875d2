"""Writes the seed corpora of the libFuzzer harnesses into fuzz/corpus/.

    python fuzz/make_corpus.py

The notation seeds are real circuits and near misses. The weight-file seeds
are cut from the built-in models/*.eisnn files (their headers, with tensors
re-encoded at toy sizes so that one inference stays cheap, and truncations
of the real files) plus a few hand-made broken ones. The output is
deterministic; the atheris harness makes its own seeds
(measured_input_fuzzer.py --make-seeds).
"""

import pathlib
import random
import struct

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
MODELS = HERE.parent / "models"

NOTATIONS = [
    "R0", "R0-p(R1,C1)", "R0-(R1,C1)", "L0-R0-(R1,CPE1)-(R2-W2,CPE2)", "R0-(R1-W1,CPE1)",
    "R0-(R1,CPE1)-(R2-Wo2,CPE2)", "L0-R0-(R1,C1)-(R2,C2)", "R0-K1-Zarc2", "La0-R0-(R1,Cpe1)",
    "R0-(R1-(R2,C2),C1)", "(R1)", "p(R1,C1,L1,W1)", "R0-Ws1-G2-Gs3-T4-TLMQ5-Tlmq6", "R0-(R1,(R2,(R3,(R4,C4))))",
    "randles", " Sei_Randles_WO ", "R", "0R", "R0 ", "R0,C1", "R0)", "R0-", "R0-(R1,C1", "(R1;C1)",
    "X1", "R0-Q12", "r1", "R1-R1", "P(R1,C1)", "Rp1", "\u03a91-R0", "R0-(R1,C1)-\u00e9", "R00-R0-R000",
    "C1-CPE1-Cpe2-W9999999999999999999", "((((((((R1))))))))", "R0-p(p(R1,C1),p(R2,C2))", "K1-Zarc1",
]

# Unsigned fields at the edges of the platform word, and text that the
# header parsers have to refuse.
HEADER_EDGES = {
    "n_grid": ["0", "1", "+8", "65536", "65537", "18446744073709551615", "18446744073709551616", "-1", "8 "],
    "channels": ["0", "1", "3", "4294967295"],
    "kernel": ["0", "1", "2", "4", "9"],
    "groups": ["0", "1", "3", "5"],
    "dilations": ["1", " 1, 2 ,4", "1,,2", "0", "1048577", "1,2,3,4,5,6"],
    "alpha_min": ["-inf", "nan", "1e999", "0.5"],
    "alpha_max": ["INFINITY", "-0", "1e-999", "0.1"],
    "estimator": ["reactive_centroid ", "median"],
}


def text(value: str) -> bytes:
    data = value.encode()
    return struct.pack("<I", len(data)) + data


def tensor(name: str, array: np.ndarray, encoding: int, rng: random.Random) -> bytes:
    out = text(name) + struct.pack("<BB", encoding, array.ndim) + b"".join(struct.pack("<I", d) for d in array.shape)
    flat = array.reshape(-1)
    if encoding == 0:
        return out + flat.astype("<f4").tobytes()
    if encoding == 1:
        return out + flat.astype("<f2").tobytes()
    scale = float(np.max(np.abs(flat)) / 127.0) if flat.size and np.max(np.abs(flat)) > 0 else 1.0
    quantised = np.clip(np.round(flat / scale), -127, 127).astype("i1")
    return out + struct.pack("<f", scale) + quantised.tobytes()


def read_header(path: pathlib.Path) -> tuple[dict[str, str], int]:
    data = path.read_bytes()
    assert data[:8] == b"EISNN001", path
    (count,) = struct.unpack_from("<I", data, 8)
    at = 12
    header = {}
    for _ in range(count):
        pieces = []
        for _ in range(2):
            (n,) = struct.unpack_from("<I", data, at)
            pieces.append(data[at + 4 : at + 4 + n].decode())
            at += 4 + n
        header[pieces[0]] = pieces[1]
    return header, at


def network(header: dict[str, str], rng: random.Random, *, channels: int, n_grid: int, kernel: int, groups: int,
            dilations: list[int], encoding: int | None = None, drop: str | None = None) -> bytes:
    """A complete weight file for the circuit in `header`, with toy sizes."""
    header = dict(header)
    header.update(channels=str(channels), n_grid=str(n_grid), kernel=str(kernel), groups=str(groups),
                  dilations=",".join(map(str, dilations)))
    outputs = len(header["param_names"].split(","))
    hidden = 2 * channels
    gen = np.random.default_rng(rng.randrange(1 << 30))

    def w(*shape: int) -> np.ndarray:
        return gen.normal(0.0, 0.3, size=shape)

    tensors = [("w.stem.weight", w(channels, 3, kernel)), ("w.stem.bias", w(channels))]
    for b in range(len(dilations)):
        for part in ("conv1", "norm1", "conv2", "norm2"):
            if part.startswith("conv"):
                tensors += [(f"w.blocks.{b}.{part}.weight", w(channels, channels, kernel)),
                            (f"w.blocks.{b}.{part}.bias", w(channels))]
            else:
                tensors += [(f"w.blocks.{b}.{part}.weight", 1.0 + w(channels)),
                            (f"w.blocks.{b}.{part}.bias", w(channels))]
    tensors += [("w.head.0.weight", w(hidden, 2 * channels + 2)), ("w.head.0.bias", w(hidden)),
                ("w.head.2.weight", w(hidden, hidden)), ("w.head.2.bias", w(hidden)),
                ("w.head.4.weight", w(2 * outputs, hidden)), ("w.head.4.bias", w(2 * outputs))]
    log_params = np.array([0.0 if name.endswith((".alpha", ".gamma")) else 1.0
                           for name in header["param_names"].split(",")])
    scaling = np.zeros((outputs, 4))
    scaling[:, 3] = -1.0
    for i, name in enumerate(header["param_names"].split(",")):
        if name.endswith(".r"):
            scaling[i, 0] = 1.0
        elif name.endswith(".c"):
            scaling[i, 0], scaling[i, 1] = -1.0, -1.0
        elif name.endswith(".q") and i + 1 < outputs:
            scaling[i, 0], scaling[i, 2], scaling[i, 3] = -1.0, -1.0, i + 1
    decoding = [("target_mean", gen.normal(0.0, 1.0, outputs)), ("target_std", np.abs(gen.normal(0.5, 0.1, outputs))),
                ("scaling", scaling), ("log_params", log_params)]
    body = b""
    records = 0
    for name, array in tensors + decoding:
        if name == drop:
            continue
        code = encoding if encoding is not None else (1 if name.startswith("w.") else 0)
        body += tensor(name, np.asarray(array, dtype=float), code, rng)
        records += 1
    head = b"EISNN001" + struct.pack("<I", len(header))
    head += b"".join(text(k) + text(v) for k, v in header.items())
    return head + struct.pack("<I", records) + body


def write(directory: pathlib.Path, name: str, data: bytes) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data)


def main() -> None:
    rng = random.Random(20240607)
    parser_dir = HERE / "corpus" / "parser_fuzzer"
    for i, notation in enumerate(NOTATIONS):
        write(parser_dir, f"notation_{i:02d}", notation.encode())
    write(parser_dir, "deep_101", ("(" * 101 + "R1" + ")" * 101).encode())
    write(parser_dir, "deep_100", ("-".join(f"R{i}" for i in range(3)) + "-" + "(" * 100 + "C1" + ")" * 100).encode())
    write(parser_dir, "invalid_utf8", b"R0-(R1,\xff\xfe)")

    weights_dir = HERE / "corpus" / "weights_fuzzer"
    real = sorted(MODELS.glob("*.eisnn"))
    for path in real:
        header, header_end = read_header(path)
        stem = path.stem
        # The real header followed by the first bytes of its first tensor.
        write(weights_dir, f"{stem}_cut", path.read_bytes()[: header_end + 64])
        write(weights_dir, f"{stem}_toy", network(header, rng, channels=4, n_grid=8, kernel=3, groups=2,
                                                  dilations=[1, 2]))
    header, _ = read_header(MODELS / "randles.eisnn")
    for encoding in (0, 1, 2):
        write(weights_dir, f"randles_encoding{encoding}", network(header, rng, channels=2, n_grid=5, kernel=1,
                                                                  groups=1, dilations=[1], encoding=encoding))
    write(weights_dir, "randles_no_blocks", network(header, rng, channels=3, n_grid=1, kernel=5, groups=3,
                                                    dilations=[]))
    write(weights_dir, "randles_groups_uneven", network(header, rng, channels=5, n_grid=3, kernel=2, groups=2,
                                                        dilations=[7]))
    write(weights_dir, "randles_no_stem", network(header, rng, channels=2, n_grid=4, kernel=3, groups=1,
                                                  dilations=[1], drop="w.stem.weight"))
    write(weights_dir, "randles_no_scaling", network(header, rng, channels=2, n_grid=4, kernel=3, groups=1,
                                                     dilations=[1], drop="scaling"))
    base = dict(header)
    for key, values in HEADER_EDGES.items():
        for j, value in enumerate(values):
            edited = dict(base, **{key: value})
            data = network(edited, rng, channels=2, n_grid=4, kernel=3, groups=1, dilations=[1])
            # network() writes its own sizes; put the edge value back over them.
            if key in ("n_grid", "channels", "kernel", "groups", "dilations"):
                data = data.replace(text(key) + text({"n_grid": "4", "channels": "2", "kernel": "3", "groups": "1",
                                                      "dilations": "1"}[key]), text(key) + text(value), 1)
            write(weights_dir, f"edge_{key}_{j}", data)
    write(weights_dir, "short_7", b"EISNN00")
    write(weights_dir, "magic_only", b"EISNN001")
    write(weights_dir, "bad_magic", b"EISNN002" + bytes(8))
    write(weights_dir, "encoding_3", b"EISNN001" + struct.pack("<I", 0) + struct.pack("<I", 1) + text("x") +
          struct.pack("<BBI", 3, 1, 1) + bytes(4))
    write(weights_dir, "huge_dims", b"EISNN001" + struct.pack("<I", 0) + struct.pack("<I", 1) + text("x") +
          struct.pack("<BBII", 0, 2, 65536, 65536) + bytes(16))
    write(weights_dir, "bad_utf8_key", b"EISNN001" + struct.pack("<I", 1) + struct.pack("<I", 2) + b"\xc3\x28" +
          text("v") + struct.pack("<I", 0))


if __name__ == "__main__":
    main()
