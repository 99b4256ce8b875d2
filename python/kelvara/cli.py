"""The ``kelvara`` command line: fit instrument files, check them, list circuits.

    kelvara fit FILE... [--circuit C|auto] [--method M] [--weight W] [--seed N] [--plot OUT.png]
                        [--json OUT.json] [--csv SUMMARY.csv] [--format F]
                        [--fix NAME[=VALUE]]... [--bound NAME=LO:HI]...
                        [--series [--shared NAME]...]
                        [--fmin HZ] [--fmax HZ] [--drop-inductive]
    kelvara select FILE... [--method M] [--weight W] [--seed N] [--plot OUT.png]
                        [--json OUT.json] [--csv SUMMARY.csv] [--format F]
                        [--fmin HZ] [--fmax HZ] [--drop-inductive]
    kelvara compare FILE... --circuit A --circuit B... [--criterion aicc|aic|bic]
                        [--method M] [--weight W] [--seed N] [--format F]
                        [--fmin HZ] [--fmax HZ] [--drop-inductive]
    kelvara check FILE... [--plot OUT.png] [--format F] [--tolerance T]
                          [--fmin HZ] [--fmax HZ] [--drop-inductive]
    kelvara drt FILE... [--plot OUT.png] [--csv OUT.csv] [--lambda L] [--format F]
                        [--fmin HZ] [--fmax HZ] [--drop-inductive]
    kelvara circuits
    kelvara serve [FILE...] [--port N] [--no-browser]

A FILE may be a folder (every file in it, in name order, that is not hidden) or a
glob pattern ("data/*.mpt", for shells that do not expand it). --quiet prints only
warnings and errors: the results go to the output files and the exit status.

`select` (or `fit` without --circuit, or with --circuit auto) chooses the circuit
per spectrum with kelvara.select (the trained topologies and the circuits the
spectrum's DRT proposes) and prints the ranking. `compare` ranks the circuits
given (default: the trained topologies) with kelvara.compare, and marks the one
kelvara.compare chooses. A named circuit without --start starts from the data
(and from the network's guess for a trained topology); --fix NAME without a
value holds the parameter at that start.

With --csv - or --json - the data go to standard output alone and the tables to
standard error, so that a program can read the output as it is.

Exit status: 0 when every fit succeeded and is clean (no flag, see
FitResult.flags; for compare: every chosen circuit is clean; for check: every
check passed; for drt: every point is represented), 1 when a fit failed or is
flagged, 2 for a usage or input error (reported in one line, without a
traceback), 130 when interrupted (Ctrl-C); the results of the fits that finished
are written all the same, and the message names what was written. Output files are
checked before any work and never overwrite an input file or one another; a link to
a stream or a device (--csv /dev/stdout) is written through. When the reader of
standard output goes away (kelvara fit ... | head -1), the rest of the printing is
dropped quietly, the work and the output files are finished, and the exit status is
the one the work earns.
"""

from __future__ import annotations

import argparse
import csv
import difflib
import glob
import io
import os
import sys
import warnings
from typing import IO, Any, Sequence, cast

import kelvara
from kelvara import _core
from kelvara._outputs import OutputError, Outputs, escape_text
from kelvara.selection import fit_started

EXIT_OK, EXIT_UNSUCCESSFUL, EXIT_INPUT = 0, 1, 2
EXIT_INTERRUPTED = 130
DEFAULT_CIRCUIT = "auto"  # kelvara.select over the trained topologies
METHODS = tuple(_core._fit_methods())


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
                     help="notation or model name (see 'kelvara circuits'), or 'auto' (the default): the "
                          "simplest adequate circuit per spectrum (as 'kelvara select')")
    fit.add_argument("--start", metavar="V1,V2,...",
                     help="starting values in the circuit's parameter order (see 'kelvara circuits'); "
                          "default: from the data (and the network's guess for trained topologies)")
    fit.add_argument("--method", default="levenberg_marquardt", choices=METHODS, metavar="METHOD",
                     help="fit method: " + ", ".join(METHODS) + " (default levenberg_marquardt)")
    fit.add_argument("--weight", default="modulus", choices=("modulus", "unit"), help="residual weighting")
    fit.add_argument("--seed", type=_seed, default=None, metavar="N",
                     help="seed of the random fit methods, for results that repeat (default: fresh entropy)")
    fit.add_argument("--fix", action="append", default=[], metavar="NAME[=VALUE]",
                     help="hold a parameter at VALUE (or, without one, at the value the fit starts from: "
                          "--start, else the data's start or the network's guess) in every fit; repeatable")
    fit.add_argument("--bound", action="append", default=[], metavar="NAME=LO:HI",
                     help="the parameter's own bounds (an empty side keeps the catalogue's: R1.r=:1000); "
                          "repeatable")
    fit.add_argument("--series", action="store_true",
                     help="the spectra of the files, in the order given, are a series: each fit starts from "
                          "the previous one's values")
    fit.add_argument("--shared", action="append", default=[], metavar="NAME",
                     help="with --series: a parameter common to every spectrum, fitted jointly; repeatable")
    fit.add_argument("--format", dest="file_format", default=None, help="force a file format")
    fit.add_argument("--plot", metavar="OUT.png", help="write a figure of data and fit (one per spectrum)")
    fit.add_argument("--json", metavar="OUT.json", help="write the results as JSON")
    fit.add_argument("--csv", metavar="SUMMARY.csv", help="write one summary row per spectrum ('-': stdout)")
    _selection_options(fit)

    compare = commands.add_parser("compare", help="fit candidate circuits and rank them",
                                  description="Fit every candidate circuit to every spectrum in the files and rank "
                                              "them by an information criterion, with their flags.")
    compare.add_argument("files", nargs="+", metavar="FILE", help="instrument export or CSV file")
    compare.add_argument("--circuit", action="append", default=[], metavar="C",
                         help="a candidate: notation or model name; repeatable (default: the trained topologies)")
    compare.add_argument("--criterion", default="aicc", choices=("aicc", "aic", "bic"), help="ranking criterion")
    compare.add_argument("--method", default="levenberg_marquardt", choices=METHODS, metavar="METHOD",
                         help="fit method (default levenberg_marquardt)")
    compare.add_argument("--weight", default="modulus", choices=("modulus", "unit"), help="residual weighting")
    compare.add_argument("--format", dest="file_format", default=None, help="force a file format")
    compare.add_argument("--seed", type=_seed, default=None, metavar="N",
                         help="seed of the random fit methods, for repeatable results")
    _selection_options(compare)

    select = commands.add_parser("select", help="choose the circuit of every spectrum and fit it",
                                 description="Choose the simplest adequate circuit of every spectrum with "
                                             "kelvara.select (as fit --circuit auto) and print the ranking.")
    select.add_argument("files", nargs="+", metavar="FILE", help="instrument export or CSV file")
    select.add_argument("--method", default="levenberg_marquardt", choices=METHODS, metavar="METHOD",
                        help="fit method (default levenberg_marquardt)")
    select.add_argument("--weight", default="modulus", choices=("modulus", "unit"), help="residual weighting")
    select.add_argument("--seed", type=_seed, default=None, metavar="N",
                        help="seed of the random fit methods, for repeatable results")
    select.add_argument("--format", dest="file_format", default=None, help="force a file format")
    select.add_argument("--plot", metavar="OUT.png", help="write a figure of data and fit (one per spectrum)")
    select.add_argument("--json", metavar="OUT.json", help="write the results as JSON")
    select.add_argument("--csv", metavar="SUMMARY.csv", help="write one summary row per spectrum ('-': stdout)")
    select.set_defaults(circuit="auto", start=None, fix=[], bound=[], series=False, shared=[])
    _selection_options(select)

    check = commands.add_parser("check", help="linear Kramers-Kronig check of every spectrum",
                                description="Linear Kramers-Kronig check of every spectrum in the files.")
    check.add_argument("files", nargs="+", metavar="FILE")
    check.add_argument("--format", dest="file_format", default=None, help="force a file format")
    check.add_argument("--plot", metavar="OUT.png", help="write a figure of data, Kramers-Kronig fit and residuals")
    check.add_argument("--tolerance", type=_fraction, default=None, metavar="T",
                       help="fail a spectrum when any relative residual exceeds T (0.02 or 2%%) instead of "
                            "judging the residuals against the spectrum's own noise")
    _selection_options(check)

    _add_drt_parser(commands)
    commands.add_parser("circuits", help="trained topologies and the element catalogue")
    _add_serve_parser(commands)
    return parser


def _add_serve_parser(commands: Any) -> None:
    serve = commands.add_parser("serve", help="open the app in the browser (needs pip install kelvara[app])",
                                description="Start the local app (127.0.0.1 only) and open it in the browser.")
    serve.add_argument("files", nargs="*", metavar="FILE", help="files (or a folder) to open at once")
    serve.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    serve.add_argument("--no-browser", action="store_true", help="only print the address (with its token)")


def _serve(args: argparse.Namespace) -> int:
    try:
        import kelvara.app
    except ImportError as error:
        raise InputError(str(error)) from None
    try:
        kelvara.app.serve(args.files, port=args.port, open_browser=not args.no_browser)
    except OSError as error:
        raise InputError(str(error)) from None
    return EXIT_OK


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"must lie in 0..2**64-1, got {text}")
    return value


def _fraction(text: str) -> float:
    percent = text.strip().endswith("%")
    try:
        value = float(text.strip().rstrip("%")) / (100.0 if percent else 1.0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return value


def _frequency(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive frequency in Hz, got {text}")
    return value


def _selection_options(command: argparse.ArgumentParser) -> None:
    command.add_argument("-q", "--quiet", action="store_true",
                         help="print only warnings and errors (the results go to the output files and the exit "
                              "status)")
    command.add_argument("--fmin", type=_frequency, metavar="HZ", help="drop the points below this frequency")
    command.add_argument("--fmax", type=_frequency, metavar="HZ", help="drop the points above this frequency")
    command.add_argument("--drop-inductive", action="store_true",
                         help="drop the inductive points (positive imaginary part) at the high-frequency end")


def _title(label: str, path: str) -> str:
    """A figure title: the file's name, not its folders (the sweep note kept)."""
    return escape_text(os.path.basename(path) + label[len(path):])


def _spectra(paths: Sequence[str], file_format: str | None, errors: list[str],
             selection: argparse.Namespace | None = None):
    """(label, spectrum) for every sweep of every file; unreadable files go to `errors`.
    `selection` (the options --fmin, --fmax, --drop-inductive) crops each spectrum."""
    from kelvara import io

    quiet = selection is not None and getattr(selection, "quiet", False)
    for index, path in enumerate(paths):
        if len(paths) > 1 and not quiet:
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
            if selection is not None and (selection.fmin is not None or selection.fmax is not None
                                          or selection.drop_inductive):
                if selection.fmin is not None and selection.fmax is not None and selection.fmin > selection.fmax:
                    raise InputError(f"--fmin {selection.fmin:g} is above --fmax {selection.fmax:g}")
                kept = spectrum.crop(selection.fmin, selection.fmax, drop_inductive=selection.drop_inductive)
                if len(kept) == 0:
                    errors.append(f"{label}: no point left after --fmin/--fmax/--drop-inductive "
                                  f"(the data span {spectrum.frequencies.min():g} to "
                                  f"{spectrum.frequencies.max():g} Hz)")
                    continue
                spectrum = kept
            yield label, spectrum


def _figure(outputs: Outputs, errors: list[str], label: str, draw: Any) -> None:
    """Save one figure; a failure is reported once and ends the figures, not the run."""
    if outputs.figures is None:
        return
    try:
        outputs.figures.save(label, draw)
    except (OSError, ValueError, RuntimeError) as error:
        errors.append(f"--plot {outputs.paths['--plot']}: {label}: {error}")
        outputs.figures.discard()
        outputs.figures = None


def _finish(outputs: Outputs, errors: list[str], writers: Sequence[tuple[str, Any]], interrupted: bool) -> int:
    """Write every output that has content; returns EXIT_INTERRUPTED or 0."""
    for option, write in writers:
        if option in outputs.paths:
            try:
                write()
            except OSError as error:
                errors.append(f"{option} {outputs.paths[option]}: {error.strerror or error}")
    if outputs.figures is not None:
        try:
            outputs.figures.finish()
        except (OSError, OutputError) as error:
            errors.append(f"--plot {outputs.paths['--plot']}: {getattr(error, 'strerror', None) or error}")
    if interrupted:
        written = ", ".join(outputs.written)
        print("kelvara: interrupted; " + (f"the results of the finished work were written to {written}" if written
                                          else "no output file was written"), file=sys.stderr)
        return EXIT_INTERRUPTED
    return EXIT_OK


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
        message = f"--circuit {text!r}: {str(error).splitlines()[0]}"
        # a word that is no notation is most likely a misspelt model name
        if text.isidentifier() and not text[:1].isupper():
            models = kelvara.Circuit.ml_circuits()
            close = difflib.get_close_matches(text.lower(), models, n=1, cutoff=0.6)
            message = (f"--circuit {text!r}: no such model" + (f"; did you mean {close[0]!r}?" if close else "")
                       + f" (models: {', '.join(models)}; or circuit notation, see 'kelvara circuits')")
        raise InputError(message) from None


def _with_start(circuit: kelvara.Circuit, text: str | None) -> kelvara.Circuit:
    if text is None:
        return circuit
    try:
        values = [float(v) for v in text.split(",")]
        return circuit.with_values(values)
    except ValueError as error:
        names = ", ".join(circuit.param_names())
        raise InputError(f"--start {text!r}: {str(error).splitlines()[0]} (parameters: {names})") from None


def _number(option: str, text: str, value: str) -> float:
    try:
        return float(value)
    except ValueError:
        raise InputError(f"{option} {text!r}: {value!r} is not a number") from None


def _with_control(circuit: kelvara.Circuit, fix: Sequence[str], bound: Sequence[str]) -> kelvara.Circuit:
    """The circuit with the parameters of --fix held and the bounds of --bound."""
    held: dict[str, float] = {}
    at_start: list[str] = []
    for text in fix:
        name, sep, value = text.partition("=")
        if sep:
            held[name.strip()] = _number("--fix", text, value)
        else:
            at_start.append(name.strip())
    bounds: dict[str, tuple[float | None, float | None]] = {}
    for text in bound:
        name, sep, interval = text.partition("=")
        lo, colon, hi = interval.partition(":")
        if not sep or not colon:
            raise InputError(f"--bound {text!r}: expected NAME=LO:HI, e.g. CPE1.alpha=0.7:1")
        bounds[name.strip()] = (None if not lo.strip() else _number("--bound", text, lo),
                                None if not hi.strip() else _number("--bound", text, hi))
    steps: list[tuple[str, str, Any]] = [("--bound", "with_bounds", bounds), ("--fix", "with_fixed", at_start),
                                         ("--fix", "with_fixed", held)]
    for option, method, given in steps:
        if not given:
            continue
        try:
            circuit = getattr(circuit, method)(given)
        except ValueError as error:
            names = ", ".join(circuit.param_names())
            raise InputError(f"{option}: {str(error).splitlines()[0]} (parameters: {names})") from None
    return circuit


def _fit(args: argparse.Namespace, out: IO[str]) -> int:
    data_out = out
    plot = _plotting(args.plot)
    outputs = Outputs(args.files, {"--plot": args.plot, "--json": args.json, "--csv": args.csv})
    out = _tables_out(args, outputs, out)
    if args.circuit.strip().lower() == "auto":
        given = [option for option, value in (("--start", args.start), ("--fix", args.fix), ("--bound", args.bound),
                                              ("--series", args.series or args.shared)) if value]
        if given:
            raise InputError(f"{given[0]} needs a circuit: name one with --circuit (the automatic choice "
                             f"fits each spectrum with its own circuit)")
        circuit = None
    else:
        circuit = _with_control(_with_start(_circuit(args.circuit), args.start), args.fix, args.bound)
    if args.shared:
        args.series = True
    errors: list[str] = []
    rows: list[dict[str, Any]] = []
    warned: set[str] = set()
    status = EXIT_OK
    interrupted = False
    try:
        _fit_all(args, out, circuit, plot, outputs, errors, rows, warned)
    except KeyboardInterrupt:
        interrupted = True
    if any(not row["success"] or row["flags"] for row in rows):
        status = EXIT_UNSUCCESSFUL
    writers = []
    if rows:
        writers = [("--json", lambda: outputs.write_json("--json", rows[0] if len(rows) == 1 else rows, data_out)),
                   ("--csv", lambda: outputs.write_text("--csv", lambda handle: _write_summary(rows, handle),
                                                        data_out))]
    stopped = _finish(outputs, errors, writers, interrupted)
    for message in errors:
        print(f"kelvara: error: {message}", file=sys.stderr)
    return stopped or (EXIT_INPUT if errors else status)


class _Discard(io.StringIO):
    def write(self, text: str) -> int:
        return len(text)


def _tables_out(args: argparse.Namespace, outputs: Outputs | None, out: IO[str]) -> IO[str]:
    """Where the tables go: nowhere with --quiet, standard error when standard output
    carries a data file ("-" or a link to it), else `out`."""
    if getattr(args, "quiet", False):
        if outputs is not None:
            outputs.announce = False
        return _Discard()
    if outputs is not None and "-" in outputs.paths.values():
        return sys.stderr
    return out


def _warn_once(caught: Sequence[warnings.WarningMessage], warned: set[str]) -> None:
    for warning in caught:
        text = str(warning.message)
        if text not in warned:
            warned.add(text)
            print(f"kelvara: warning: {text}", file=sys.stderr)


def _fits(args: argparse.Namespace, circuit: kelvara.Circuit | None, spectra: Any, errors: list[str],
          warned: set[str]):
    """(label, spectrum, result, ranking) per spectrum: one fit each (chosen by kelvara.select,
    whose ranking comes along, when `circuit` is None), or the series fit of them all."""
    if not args.series:
        for label, spectrum in spectra:
            ranking = None
            try:
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    if circuit is None:
                        ranking = kelvara.select(spectrum.frequencies, spectrum.impedances, method=args.method,
                                                 weight=args.weight, seed=args.seed)
                        result = ranking.best
                        if result is None:
                            errors.append(f"{label}: no candidate circuit could be fitted")
                            continue
                    else:
                        result = fit_started(circuit, spectrum.frequencies, spectrum.impedances,
                                             method=args.method, weight=args.weight, seed=args.seed)
            except ValueError as error:
                errors.append(f"{label}: {error}")
                continue
            _warn_once(caught, warned)
            yield label, spectrum, result, ranking
        return
    from kelvara.series import fit_series

    listed = list(spectra)
    if not listed:
        return
    assert circuit is not None  # --series needs a named circuit (checked in _fit)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            series = fit_series(circuit, [s for _, s in listed], shared=args.shared, method=args.method,
                                weight=args.weight, seed=args.seed)
    except ValueError as error:
        errors.append(f"series of {len(listed)} spectra: {str(error).splitlines()[0]}")
        return
    _warn_once(caught, warned)
    args.series_result = series  # for the series table and the trend figure
    for (label, spectrum), result in zip(listed, series):
        yield label, spectrum, result, None


def _fit_all(args: argparse.Namespace, out: IO[str], circuit: kelvara.Circuit | None, plot: Any, outputs: Outputs,
             errors: list[str], rows: list[dict[str, Any]], warned: set[str]) -> None:
    spectra = _spectra(args.files, args.file_format, errors, args)
    for label, spectrum, result, ranking in _fits(args, circuit, spectra, errors, warned):
        f, z = spectrum
        if ranking is not None:
            print(f"{label}: circuits ranked for the automatic choice\n{ranking.table()}", file=out)
        print(f"{label}: {len(f)} points, {spectrum.instrument}; {result.circuit.notation} by {args.method}", file=out)
        print(result.table(), file=out)
        held = [text.strip() for text in args.fix if "=" not in text]
        if held and args.start is None:
            print(f"held at the value the fit started from: {', '.join(held)}", file=out)
        shared = list(args.shared) if args.series else []
        if shared:
            print(f"shared with every spectrum of the series, fitted jointly: {', '.join(shared)}", file=out)
        print(f"chi-square {result.chi_square:.6g}; {'success' if result.success else 'NOT successful'}: "
              f"{result.message}; verdict: {result.verdict}\n", file=out)
        row = {"file": spectrum.path, "sweep": spectrum.sweep, "points": len(f), **result.to_dict(), "shared": shared}
        rows.append(row)
        if plot is not None and not args.series:
            title = _title(label, spectrum.path)
            _figure(outputs, errors, label, lambda _: plot.fit_figure(f, z, result, title=title))
    series = getattr(args, "series_result", None)
    if series is not None:
        print(f"the series, in the order given ({len(series)} spectra):\n{series.table()}", file=out)
        if plot is not None:  # one figure: the parameters along the series
            label = f"series of {len(series)} spectra"
            _figure(outputs, errors, label, lambda title: _trend_figure(plot, series, title))


def _trend_figure(plot: Any, series: Any, title: str) -> Any:
    axes = plot.series(series)
    axes[0].figure.suptitle(title)
    return axes[0].figure


def _number_cell(value: Any) -> str:
    return "" if value is None else repr(value)


def _write_summary(rows: list[dict[str, Any]], handle: IO[str]) -> None:
    """One row per fit, with the column names of kelvara.dask's frames (success,
    chi_square, message, the parameters, NAME_stderr) after the file's columns,
    then the statistics, verdict, flags (codes joined by ';') and the parameters
    shared by a series (joined by ';')."""
    from kelvara._batch import STATISTICS

    names = list(dict.fromkeys(name for row in rows for name in row["params"]))
    statistics = [*STATISTICS, "verdict", "flags", "shared"]
    header = ["file", "sweep", "points", "circuit", "success", "chi_square", "message"]
    header += names + [f"{name}_stderr" for name in names] + statistics
    writer = csv.writer(handle)
    writer.writerow(header)
    for row in rows:
        errors = row["stderr"] or {}
        writer.writerow([row["file"], row["sweep"], row["points"], row["circuit"], row["success"],
                         _number_cell(row["chi_square"]), row["message"]]
                        + [_number_cell(row["params"][n]) if n in row["params"] else "" for n in names]
                        + [_number_cell(errors.get(n)) for n in names]
                        + [row["n_free"]] + [_number_cell(row[name]) for name in statistics[1:6]]
                        + [row["verdict"], ";".join(flag["code"] for flag in row["flags"]), ";".join(row["shared"])])


def _compare(args: argparse.Namespace, out: IO[str]) -> int:
    out = _tables_out(args, None, out)
    candidates = [_circuit(text) for text in args.circuit] or \
        [kelvara.Circuit(name) for name in kelvara.Circuit.ml_circuits()]
    errors: list[str] = []
    status = EXIT_OK
    try:
        for label, spectrum in _spectra(args.files, args.file_format, errors, args):
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    ranking = kelvara.compare(spectrum.frequencies, spectrum.impedances, candidates=candidates,
                                              criterion=args.criterion, method=args.method, weight=args.weight,
                                              seed=args.seed)
            except ValueError as error:
                errors.append(f"{label}: {error}")
                continue
            chosen = ranking.chosen
            if chosen is None or chosen.verdict != "clean":
                status = EXIT_UNSUCCESSFUL
            print(f"{label}: {len(spectrum.frequencies)} points, {spectrum.instrument}\n{ranking.table()}", file=out)
    except KeyboardInterrupt:
        print("kelvara: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    for message in errors:
        print(f"kelvara: error: {message}", file=sys.stderr)
    return EXIT_INPUT if errors else status


def _check(args: argparse.Namespace, out: IO[str]) -> int:
    from kelvara.validate import kramers_kronig

    plot = _plotting(args.plot)
    outputs = Outputs(args.files, {"--plot": args.plot})
    out = _tables_out(args, outputs, out)
    errors: list[str] = []
    status = EXIT_OK
    interrupted = False
    try:
        for label, spectrum in _spectra(args.files, args.file_format, errors, args):
            f, z = spectrum
            try:
                result = kramers_kronig(f, z, tolerance=args.tolerance)
            except ValueError as error:
                errors.append(f"{label}: {error}")
                continue
            if not result.passed:
                status = EXIT_UNSUCCESSFUL
            print(f"{label}: {result.summary()}", file=out)
            if plot is not None:
                title = _title(label, spectrum.path)
                _figure(outputs, errors, label,
                        lambda _, f=f, z=z, result=result, title=title: plot.fit_figure(f, z, kk=result, title=title))
    except KeyboardInterrupt:
        interrupted = True
    stopped = _finish(outputs, errors, [], interrupted)
    for message in errors:
        print(f"kelvara: error: {message}", file=sys.stderr)
    return stopped or (EXIT_INPUT if errors else status)


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
    _selection_options(command)


def _drt(args: argparse.Namespace, out: IO[str]) -> int:
    data_out = out
    plot = _plotting(args.plot)
    outputs = Outputs(args.files, {"--plot": args.plot, "--csv": args.csv})
    out = _tables_out(args, outputs, out)
    errors: list[str] = []
    rows: list[list[Any]] = []
    status = EXIT_OK
    interrupted = False
    try:
        for label, spectrum in _spectra(args.files, args.file_format, errors, args):
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # the notes are printed with the summary
                    result = kelvara.drt(spectrum, lambda_value=args.lambda_value)
            except ValueError as error:
                errors.append(f"{label}: {error}")
                continue
            if not result.represented:
                status = EXIT_UNSUCCESSFUL
            print(f"{label}: {len(spectrum)} points, {spectrum.instrument}", file=out)
            print(result.summary() + "\n", file=out)
            for index, peak in enumerate(result.peaks, 1):
                rows.append([spectrum.path, spectrum.sweep, index, repr(peak.tau), repr(peak.frequency),
                             repr(peak.height), repr(peak.resistance), repr(result.r_inf), repr(result.inductance),
                             repr(result.lambda_value), repr(peak.alpha)])
            if plot is not None:
                title = _title(label, spectrum.path)
                _figure(outputs, errors, label,
                        lambda _, spectrum=spectrum, result=result, title=title:
                        plot.fit_figure(*spectrum, drt_result=result, title=title))
    except KeyboardInterrupt:
        interrupted = True

    def write_rows(handle: IO[str]) -> None:
        writer = csv.writer(handle)
        writer.writerow(["file", "sweep", "peak", "tau_s", "frequency_hz", "gamma_ohm", "resistance_ohm",
                         "r_inf_ohm", "inductance_h", "lambda", "alpha"])
        writer.writerows(rows)

    stopped = _finish(outputs, errors, [("--csv", lambda: outputs.write_text("--csv", write_rows, data_out))],
                      interrupted)
    for message in errors:
        print(f"kelvara: error: {message}", file=sys.stderr)
    return stopped or (EXIT_INPUT if errors else status)


def _circuits(out: IO[str]) -> int:
    print("Trained topologies (a network guesses the starting values):", file=out)
    for name in kelvara.Circuit.ml_circuits():
        print(f"  {name:16s} {kelvara.Circuit(name).notation}", file=out)
    print("\nElements (write a code and a number: R0, CPE1, Wo2; '-' in series, p(a,b) in parallel):", file=out)
    for element in _core._elements():
        params = ", ".join(f"{name} [{unit}]" for name, unit in zip(element["params"], element["units"]))
        print(f"  {element['help_code']:5s} {params}", file=out)
    return EXIT_OK


def main(argv: Sequence[str] | None = None, out: IO[str] | None = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    out = sys.stdout if out is None else out
    args = _parser().parse_args(argv)
    guard = cast(IO[str], _PipeGuard(out))  # a TextIOBase, written to as a text stream
    if out is sys.stdout:
        sys.stdout = guard  # data written to "-" goes through the guard too
    try:
        return _run(args, guard)
    finally:
        if sys.stdout is guard:
            sys.stdout = out


def _run(args: argparse.Namespace, out: IO[str]) -> int:
    try:
        if hasattr(args, "files"):
            args.files = _expand(args.files)
        if args.command in ("fit", "select"):
            return _fit(args, out)
        if args.command == "check":
            return _check(args, out)
        if args.command == "compare":
            return _compare(args, out)
        if args.command == "drt":
            return _drt(args, out)
        if args.command == "serve":
            return _serve(args)
        return _circuits(out)
    except (InputError, OutputError) as error:
        print(f"kelvara: error: {error}", file=sys.stderr)
        return EXIT_INPUT


def _expand(paths: Sequence[str]) -> list[str]:
    """The files named: a folder stands for its files (name order, hidden ones left
    out), a pattern that names no file for the files it matches."""
    files: list[str] = []
    for path in paths:
        if os.path.isdir(path):
            inside = sorted(entry.path for entry in os.scandir(path)
                            if not entry.name.startswith(".") and entry.is_file())
            if not inside:
                raise InputError(f"{path}: a folder without files")
            files += inside
        elif not os.path.lexists(path) and any(c in path for c in "*?["):
            matched = sorted(p for p in glob.glob(path) if os.path.isfile(p))
            if not matched:
                raise InputError(f"{path}: no file matches this pattern")
            files += matched
        else:
            files.append(path)
    return files


class _PipeGuard(io.TextIOBase):
    """Standard output that, once its reader has gone (a closed pipe), drops what is
    printed instead of raising: the work and its output files go on."""

    def __init__(self, out: IO[str]) -> None:
        self._out = out
        self.closed_pipe = False

    def write(self, text: str) -> int:
        if not self.closed_pipe:
            try:
                self._out.write(text)
            except BrokenPipeError:
                self._drop()
        return len(text)

    def flush(self) -> None:
        if not self.closed_pipe:
            try:
                self._out.flush()
            except BrokenPipeError:
                self._drop()

    def _drop(self) -> None:
        self.closed_pipe = True
        try:  # the interpreter's own flush at exit must not fail on the pipe either
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self._out.fileno())
            os.close(devnull)
        except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
            pass

    def writable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self._out.fileno()
