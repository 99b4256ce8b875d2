"""The ``kelvara`` command line: fit instrument files, check them, list circuits.

    kelvara fit FILE... [--circuit C] [--method M] [--weight W] [--plot OUT.png]
                        [--json OUT.json] [--csv SUMMARY.csv] [--format F]
    kelvara check FILE... [--plot OUT.png] [--format F]
    kelvara drt FILE... [--plot OUT.png] [--csv OUT.csv] [--lambda L] [--format F]
    kelvara circuits

Exit status: 0 when every fit succeeded (every check passed), 1 when one did
not, 2 for a usage or input error (reported in one line, without a traceback).
"""

from __future__ import annotations

import argparse
import csv
import json
import sys
import warnings
from pathlib import Path
from typing import IO, Any, Sequence

import kelvara

EXIT_OK, EXIT_UNSUCCESSFUL, EXIT_INPUT = 0, 1, 2
DEFAULT_CIRCUIT = "R0-p(R1,CPE1)"
METHODS = ("levenberg_marquardt", "particle_swarm", "nelder_mead", "differential_evolution",
           "simulated_annealing", "basin_hopping")
ELEMENT_CODES = ("R", "C", "L", "La", "CPE", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "TLMQ", "T")


class InputError(Exception):
    """A user's mistake: reported as one line and exit status 2."""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kelvara", description="Fit equivalent circuits to impedance spectra from instrument files.")
    parser.add_argument("--version", action="version", version=f"kelvara {kelvara.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fit = commands.add_parser("fit", help="fit a circuit to every spectrum in the files",
                              description="Fit a circuit to every spectrum (sweep) in the files.")
    fit.add_argument("files", nargs="+", metavar="FILE", help="instrument export or CSV file")
    fit.add_argument("--circuit", default=DEFAULT_CIRCUIT,
                     help=f"notation or model name (default {DEFAULT_CIRCUIT}; see 'kelvara circuits')")
    fit.add_argument("--start", metavar="V1,V2,...",
                     help="starting values in the circuit's parameter order (see 'kelvara circuits'); "
                          "default: the network's guess for trained topologies")
    fit.add_argument("--method", default="levenberg_marquardt", choices=METHODS, metavar="METHOD",
                     help="fit method: " + ", ".join(METHODS) + " (default levenberg_marquardt)")
    fit.add_argument("--weight", default="modulus", choices=("modulus", "unit"), help="residual weighting")
    fit.add_argument("--format", dest="file_format", default=None, help="force a file format")
    fit.add_argument("--plot", metavar="OUT.png", help="write a figure of data and fit (one per spectrum)")
    fit.add_argument("--json", metavar="OUT.json", help="write the results as JSON")
    fit.add_argument("--csv", metavar="SUMMARY.csv", help="write one summary row per spectrum ('-': stdout)")

    check = commands.add_parser("check", help="linear Kramers-Kronig check of every spectrum",
                                description="Linear Kramers-Kronig check of every spectrum in the files.")
    check.add_argument("files", nargs="+", metavar="FILE")
    check.add_argument("--format", dest="file_format", default=None, help="force a file format")
    check.add_argument("--plot", metavar="OUT.png", help="write a figure of data and residuals")

    _add_drt_parser(commands)
    commands.add_parser("circuits", help="trained topologies and the element catalogue")
    return parser


def _spectra(paths: Sequence[str], file_format: str | None, errors: list[str]):
    """(label, spectrum) for every sweep of every file; unreadable files go to `errors`."""
    from kelvara import io

    for index, path in enumerate(paths):
        if len(paths) > 1:
            print(f"[{index + 1}/{len(paths)}] {path}", file=sys.stderr, flush=True)
        try:
            sweeps = io.read_all(path, format=file_format)
        except FileNotFoundError:
            errors.append(f"{path}: no such file")
            continue
        except (OSError, ValueError) as error:
            errors.append(str(error) if path in str(error) else f"{path}: {error}")
            continue
        for spectrum in sweeps:
            label = path if len(sweeps) == 1 else f"{path} (sweep {spectrum.sweep + 1} of {len(sweeps)})"
            yield label, spectrum


def _numbered(path: str, index: int, count: int) -> Path:
    """OUT.png for one output, OUT-1.png, OUT-2.png, ... for several."""
    out = Path(path)
    return out if count == 1 else out.with_name(f"{out.stem}-{index + 1}{out.suffix}")


def _save_figures(figures: list[tuple[str, Any]], path: str | None) -> None:
    if path is None:
        return
    import matplotlib.pyplot as plt

    for index, (label, figure) in enumerate(figures):
        target = _numbered(path, index, len(figures))
        figure.savefig(target, dpi=120)
        plt.close(figure)
        print(f"figure: {target} ({label})", file=sys.stderr)


def _plotting(path: str | None):
    """The plot module when a figure is asked for, with the Agg backend; else None."""
    if path is None:
        return None
    try:
        import matplotlib

        matplotlib.use("Agg")
        from kelvara import plot
    except ImportError as error:
        raise InputError(f"--plot needs matplotlib: pip install kelvara[plot] ({error})") from None
    return plot


def _circuit(text: str) -> kelvara.Circuit:
    try:
        return kelvara.Circuit(text)
    except ValueError as error:
        raise InputError(f"--circuit {text!r}: {str(error).splitlines()[0]}") from None


def _with_start(circuit: kelvara.Circuit, text: str | None) -> kelvara.Circuit:
    if text is None:
        return circuit
    try:
        values = [float(v) for v in text.split(",")]
        return circuit.with_values(values)
    except ValueError as error:
        names = ", ".join(circuit.param_names())
        raise InputError(f"--start {text!r}: {str(error).splitlines()[0]} (parameters: {names})") from None


def _fit(args: argparse.Namespace, out: IO[str]) -> int:
    circuit = _with_start(_circuit(args.circuit), args.start)
    plot = _plotting(args.plot)
    errors: list[str] = []
    rows: list[dict[str, Any]] = []
    figures: list[tuple[str, Any]] = []
    warned: set[str] = set()
    status = EXIT_OK
    for label, spectrum in _spectra(args.files, args.file_format, errors):
        f, z = spectrum
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                result = circuit.fit(f, z, method=args.method, weight=args.weight)
        except ValueError as error:
            errors.append(f"{label}: {error}")
            continue
        for warning in caught:
            text = str(warning.message)
            if text not in warned:
                warned.add(text)
                print(f"kelvara: warning: {text}", file=sys.stderr)
        if not result.success:
            status = EXIT_UNSUCCESSFUL
        print(f"{label}: {len(f)} points, {spectrum.instrument}; {result.circuit.notation} by {args.method}", file=out)
        print(result.table(), file=out)
        print(f"chi-square {result.chi_square:.6g}; {'success' if result.success else 'NOT successful'}: "
              f"{result.message}\n", file=out)
        row = {"file": spectrum.path, "sweep": spectrum.sweep, "points": len(f), **result.to_dict()}
        rows.append(row)
        if plot is not None:
            figures.append((label, plot.fit_figure(f, z, result, title=label)))
    _save_figures(figures, args.plot)
    if args.json is not None and rows:
        Path(args.json).write_text(json.dumps(rows[0] if len(rows) == 1 else rows, indent=2) + "\n")
    if args.csv is not None and rows:
        _write_summary(rows, args.csv, out)
    for message in errors:
        print(f"kelvara: error: {message}", file=sys.stderr)
    return EXIT_INPUT if errors else status


def _write_summary(rows: list[dict[str, Any]], path: str, out: IO[str]) -> None:
    names = list(dict.fromkeys(name for row in rows for name in row["params"]))
    header = ["file", "sweep", "points", "circuit", "success", "chi_square"]
    header += names + [f"{name} stderr" for name in names]
    handle = out if path == "-" else open(path, "w", newline="")
    try:
        writer = csv.writer(handle)
        writer.writerow(header)
        for row in rows:
            errors = row["stderr"] or {}
            writer.writerow([row["file"], row["sweep"], row["points"], row["circuit"], row["success"],
                             repr(row["chi_square"])]
                            + [repr(row["params"][n]) if n in row["params"] else "" for n in names]
                            + [repr(errors[n]) if n in errors else "" for n in names])
    finally:
        if handle is not out:
            handle.close()


def _check(args: argparse.Namespace, out: IO[str]) -> int:
    from kelvara.validate import kramers_kronig

    plot = _plotting(args.plot)
    errors: list[str] = []
    figures: list[tuple[str, Any]] = []
    status = EXIT_OK
    for label, spectrum in _spectra(args.files, args.file_format, errors):
        f, z = spectrum
        try:
            result = kramers_kronig(f, z)
        except ValueError as error:
            errors.append(f"{label}: {error}")
            continue
        if not result.passed:
            status = EXIT_UNSUCCESSFUL
        print(f"{label}: {result.summary()}", file=out)
        if plot is not None:
            figures.append((label, plot.fit_figure(f, z, kk=result, title=label)))
    _save_figures(figures, args.plot)
    for message in errors:
        print(f"kelvara: error: {message}", file=sys.stderr)
    return EXIT_INPUT if errors else status


def _add_drt_parser(commands: Any) -> None:
    command = commands.add_parser("drt", help="distribution of relaxation times of every spectrum",
                                  description="Distribution of relaxation times (DRT) of every spectrum in the "
                                              "files: peaks with their time constants and resistances.")
    command.add_argument("files", nargs="+", metavar="FILE")
    command.add_argument("--format", dest="file_format", default=None, help="force a file format")
    command.add_argument("--lambda", dest="lambda_value", type=float, default=None, metavar="L",
                         help="regularisation weight (default: chosen by generalised cross-validation)")
    command.add_argument("--plot", metavar="OUT.png", help="write a figure of data and DRT (one per spectrum)")
    command.add_argument("--csv", metavar="OUT.csv",
                         help="write one row per peak ('-': stdout, with the summaries on stderr)")


def _drt(args: argparse.Namespace, out: IO[str]) -> int:
    plot = _plotting(args.plot)
    errors: list[str] = []
    rows: list[list[Any]] = []
    figures: list[tuple[str, Any]] = []
    text = sys.stderr if args.csv == "-" else out
    for label, spectrum in _spectra(args.files, args.file_format, errors):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the notes are printed with the summary
                result = kelvara.drt(spectrum, lambda_value=args.lambda_value)
        except ValueError as error:
            errors.append(f"{label}: {error}")
            continue
        print(f"{label}: {len(spectrum)} points, {spectrum.instrument}", file=text)
        print(result.summary() + "\n", file=text)
        for index, peak in enumerate(result.peaks, 1):
            rows.append([spectrum.path, spectrum.sweep, index, repr(peak.tau), repr(peak.frequency),
                         repr(peak.height), repr(peak.resistance), repr(result.r_inf), repr(result.inductance),
                         repr(result.lambda_value)])
        if plot is not None:
            figures.append((label, plot.fit_figure(*spectrum, drt_result=result, title=label)))
    _save_figures(figures, args.plot)
    if args.csv is not None:
        handle = out if args.csv == "-" else open(args.csv, "w", newline="")
        try:
            writer = csv.writer(handle)
            writer.writerow(["file", "sweep", "peak", "tau_s", "frequency_hz", "gamma_ohm", "resistance_ohm",
                             "r_inf_ohm", "inductance_h", "lambda"])
            writer.writerows(rows)
        finally:
            if handle is not out:
                handle.close()
    for message in errors:
        print(f"kelvara: error: {message}", file=sys.stderr)
    return EXIT_INPUT if errors else EXIT_OK


def _circuits(out: IO[str]) -> int:
    print("Trained topologies (a network guesses the starting values):", file=out)
    for name in kelvara.Circuit.ml_circuits():
        print(f"  {name:16s} {kelvara.Circuit(name).notation}", file=out)
    print("\nElements (write a code and a number: R0, CPE1, Wo2; '-' in series, p(a,b) in parallel):", file=out)
    for code in ELEMENT_CODES:
        element = kelvara.Circuit(code + "0")
        params = ", ".join(f"{name.split('.')[1]} [{unit}]"
                           for name, unit in zip(element.param_names(), element.param_units()))
        print(f"  {code:5s} {params}", file=out)
    return EXIT_OK


def main(argv: Sequence[str] | None = None, out: IO[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    out = sys.stdout if out is None else out
    args = _parser().parse_args(argv)
    try:
        if args.command == "fit":
            return _fit(args, out)
        if args.command == "check":
            return _check(args, out)
        if args.command == "drt":
            return _drt(args, out)
        return _circuits(out)
    except InputError as error:
        print(f"kelvara: error: {error}", file=sys.stderr)
        return EXIT_INPUT
