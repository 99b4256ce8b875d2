"""atheris harness for the instrument-file readers (kelvara.io).

The first input byte picks a file name extension and, or not, a forced format;
the rest is the file's content. The seeds are the sample exports of tests/data,
so mutations start from real Gamry, EC-Lab, ZPlot, ... files.

ReadError (a ValueError naming file and line) and the ValueError of read() on a
file of several sweeps are the expected refusals. Anything else escaping is a
finding, and so is a spectrum that breaks the readers' promises: one-dimensional
float64 frequencies and complex128 impedances of equal, non-zero length, all
finite, read-only.

    python fuzz/reader_fuzzer.py [libFuzzer flags] [corpus dirs]
    python fuzz/reader_fuzzer.py --make-seeds DIR
"""

import os
import pathlib
import sys
import tempfile

import atheris
import numpy as np

with atheris.instrument_imports():
    import kelvara.io as kio

EXTENSIONS = (".DTA", ".mpt", ".z", ".txt", ".par", ".csv", ".tsv", "")
CHOICES = [(ext, None) for ext in EXTENSIONS] + [(".txt", name) for name in kio.FORMATS]
SEED_CHOICE = {".dta": 0, ".mpt": 1, ".z": 2, ".txt": 3, ".par": 4, ".csv": 5}
FOLDER = tempfile.mkdtemp(prefix="reader_fuzzer-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)


def check(spectra):
    assert isinstance(spectra, list) and spectra, "no spectra and no error"
    for k, s in enumerate(spectra):
        f, z = s.frequencies, s.impedances
        assert f.dtype == np.float64 and z.dtype == np.complex128, (f.dtype, z.dtype)
        assert f.ndim == 1 and f.shape == z.shape and len(f) > 0, (f.shape, z.shape)
        assert np.isfinite(f).all() and np.isfinite(z).all(), f"non-finite values in sweep {k}"
        assert not f.flags.writeable and not z.flags.writeable
        assert s.sweep == k and s.line >= 1 and len(s.columns) == 3


def test_one_input(data):
    if not data:
        return
    extension, file_format = CHOICES[data[0] % len(CHOICES)]
    path = os.path.join(FOLDER, "input" + extension)
    with open(path, "wb") as handle:
        handle.write(data[1:])
    try:
        spectra = kio.read_all(path, format=file_format)
    except kio.ReadError as error:
        assert error.path == path and str(error).startswith(path), str(error)
        return
    check(spectra)
    if len(spectra) == 1:
        assert len(kio.read(path, format=file_format)) == len(spectra[0])


def make_seeds(folder):
    data = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data"
    out = pathlib.Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    for sample in sorted(data.iterdir()):
        choice = SEED_CHOICE.get(sample.suffix.lower())
        if choice is not None:
            (out / sample.name).write_bytes(bytes([choice]) + sample.read_bytes())


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--make-seeds":
        make_seeds(sys.argv[2])
    else:
        atheris.Setup(sys.argv, test_one_input)
        atheris.Fuzz()
