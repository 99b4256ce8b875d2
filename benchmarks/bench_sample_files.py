"""kelvara.select on the measured sample spectra of tests/data, and the reference
circuits it has to match on two of them.

    python benchmarks/bench_sample_files.py [--figures DIR]

For every file that kelvara.io.read takes as one spectrum (the others, such as
the licence text, are listed as skipped), ``kelvara.select(f, z)`` with its
default candidates; the table gives the chosen circuit, its rms relative misfit
(``kelvara.diagnostics.relative_misfit``), the spectrum's noise level as select
estimated it, the chosen fit's verdict, its chi-square (modulus weighting) and
the time of the select call.

On exampleDataCHInstruments.txt and exampleDataGamry.DTA the circuits
R0-p(R1,CPE1)-CPE2 and two_rq (R0-p(R1,CPE1)-p(R2,CPE2)) are also fitted without
values of the user's, each keeping the better of fit's default start and the data
start (``Circuit.with_data_start``, when the build has it). Target: the chosen
circuit describes these spectra at least as well as either reference, that is its
chi-square is not above the lower reference chi-square (1 % allowed for the
evaluation budget of select's fits).

--figures DIR saves one figure per spectrum (kelvara.plot.fit_figure of the chosen
fit) as DIR/<file name>.png.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import kelvara  # noqa: E402
import kelvara.io  # noqa: E402
from kelvara.diagnostics import relative_misfit  # noqa: E402
from unstarted import best_of, chi_square, fit_unstarted, has_data_start, start_mode, try_call  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
REFERENCE_FILES = ("exampleDataCHInstruments.txt", "exampleDataGamry.DTA")
REFERENCES = ("R0-p(R1,CPE1)-CPE2", "two_rq")
TOLERANCE = 0.01


def read_spectra() -> tuple[list[tuple[str, object]], list[tuple[str, str]]]:
    """([(file name, spectrum)], [(file name, why skipped)]) for the files of DATA."""
    spectra, skipped = [], []
    for path in sorted(DATA.iterdir()):
        if not path.is_file():
            continue
        try:
            spectra.append((path.name, kelvara.io.read(path)))
        except (ValueError, OSError) as error:  # kelvara.io.ReadError is a ValueError
            skipped.append((path.name, getattr(error, "detail", str(error)).splitlines()[0][:90]))
    return spectra, skipped


def fit_reference(notation: str, f: object, z: object) -> tuple[object, str]:
    """The better fit of `notation` from fit's default start and from the data start
    (when the build has it), and which start it came from."""
    starts = [("default", False)] + ([("data", True)] if has_data_start() else [])
    fits = []
    for name, data in starts:
        result, _, _ = try_call(fit_unstarted, notation, f, z, data_start=data)
        fits.append((result, name))
    best = best_of(*(result for result, _ in fits))
    return best, next((name for result, name in fits if result is best), "-")


def percent(value: float) -> str:
    return f"{100 * value:.3g}" if value is not None and math.isfinite(value) else "-"


def save_figure(directory: Path, name: str, spectrum: object, result: object, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    import kelvara.plot

    directory.mkdir(parents=True, exist_ok=True)
    figure = kelvara.plot.fit_figure(spectrum, None, result, title=title)
    figure.savefig(directory / f"{name}.png", dpi=90)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--figures", type=Path, help="directory for one figure per spectrum")
    args = parser.parse_args()
    spectra, skipped = read_spectra()
    print(f"select with default candidates on {len(spectra)} sample spectra; reference fits: {start_mode()}\n")
    rows = [("file", "points", "chosen circuit", "misfit %", "noise %", "verdict", "chi-square", "ms")]
    chosen_fits = {}
    for name, spectrum in spectra:
        f, z = spectrum.frequencies, spectrum.impedances  # type: ignore[attr-defined]
        comparison, seconds, error = try_call(kelvara.select, f, z)
        chosen = None if comparison is None else comparison.chosen
        if chosen is None or chosen.result is None:
            rows.append((name, str(len(f)), f"(none: {error or 'no candidate fitted'})"[:60], "-", "-", "failed",
                         "-", f"{1e3 * seconds:.0f}"))
            continue
        result = chosen.result
        chosen_fits[name] = result
        rows.append((name, str(len(f)), chosen.notation, percent(relative_misfit(result)),
                     percent(comparison.noise), chosen.verdict, f"{result.chi_square:.4g}", f"{1e3 * seconds:.0f}"))
        if args.figures is not None:
            save_figure(args.figures, name, spectrum, result, f"{name}: {chosen.notation} ({chosen.verdict})")
    widths = [max(len(row[c]) for row in rows) for c in range(len(rows[0]))]
    for row in rows:
        print("  ".join(cell.rjust(w) if c in (1, 3, 4, 6, 7) else cell.ljust(w)
                        for c, (cell, w) in enumerate(zip(row, widths))).rstrip())
    for name, why in skipped:
        print(f"skipped {name}: {why}")

    print("\nreference circuits beside the chosen one (chi-square, rms misfit, start of the reference's fit)")
    by_name = dict(spectra)
    for name in REFERENCE_FILES:
        if name not in by_name:
            print(f"{name}: not read")
            continue
        spectrum = by_name[name]
        f, z = spectrum.frequencies, spectrum.impedances  # type: ignore[attr-defined]
        lines = []
        for notation in REFERENCES:
            result, start = fit_reference(notation, f, z)
            lines.append((notation, result, f"{start} start"))
        chosen = chosen_fits.get(name)
        lowest = min(chi_square(result) for _, result, _ in lines)
        verdict = "no choice" if chosen is None else \
            "at least as good" if chi_square(chosen) <= (1 + TOLERANCE) * lowest else "WORSE"
        lines.append(("chosen " + ("-" if chosen is None else chosen.circuit.notation), chosen, verdict))
        width = max(len(line[0]) for line in lines)
        print(name)
        for label, result, note in lines:
            shown = "failed" if result is None else \
                f"{result.chi_square:10.4g}  {percent(relative_misfit(result)):>6s} %"
            print(f"  {label:{width}s}  {shown}  {note}")

if __name__ == "__main__":
    main()
