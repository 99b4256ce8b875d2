"""The command line's output files: checked before any work, written atomically,
never one of the input files.

Every output goes first to a temporary file in its own folder, then replaces the
target by a rename, so that a failed or interrupted run leaves either the old file
or the complete new one. A link is followed: the file it names is replaced, not the
link. A stream or a device (``/dev/stdout``, ``/proc/self/fd/1``, a FIFO,
``/dev/null``) is written through instead, never replaced; one that is this process's
standard output counts as "-". Figures are saved (and closed) as soon as each is
drawn and get their final names at the end, when their number is known; a numbered
name that is another output or an input is refused.
"""

from __future__ import annotations

import json
import os
import stat
import sys
import tempfile
from pathlib import Path
from typing import IO, Any, Callable, Sequence


class OutputError(Exception):
    """An output path that cannot be written: reported as one line, exit status 2."""


def _identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return (info.st_dev, info.st_ino)


def is_stream(path: str) -> bool:
    """Whether `path` is, or links through, something other than a regular file's
    name: a device, a FIFO, a socket, or a descriptor of this process (/dev/fd,
    /proc/self/fd), whatever the descriptor points to."""
    hop = os.path.abspath(path)
    for _ in range(40):  # the kernel's own limit on a chain of links
        if hop.startswith(("/dev/", "/proc/")):
            return True
        if not os.path.islink(hop):
            break
        hop = os.path.join(os.path.dirname(hop), os.readlink(hop))
        hop = os.path.abspath(hop)
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not (stat.S_ISREG(mode) or stat.S_ISDIR(mode))


def _same_as_stdout(path: str) -> bool:
    try:
        return _identity(path) == (lambda info: (info.st_dev, info.st_ino))(os.fstat(sys.stdout.fileno()))
    except (OSError, ValueError, AttributeError):
        return False


def figure_suffixes() -> tuple[str, ...]:
    """File name suffixes matplotlib can write, without the dot ("png", "pdf", ...)."""
    from matplotlib.backend_bases import FigureCanvasBase

    return tuple(sorted(FigureCanvasBase.get_supported_filetypes()))


class Outputs:
    """The output paths of one command (`option` -> path), checked against `inputs`.

    Raises OutputError, naming the option and the path, for a path that is (or
    resolves to) an input file, an existing non-regular file (a folder, a device),
    a missing or unwritable folder, or a figure name without a suffix matplotlib
    knows.
    """

    def __init__(self, inputs: Sequence[str], paths: dict[str, str | None], *, figure_option: str = "--plot",
                 stdout_name: str = "-") -> None:
        self._inputs = {_identity(p) for p in inputs} - {None}
        self._input_paths = {os.path.realpath(p) for p in inputs}
        self._stdout_name = stdout_name
        self.paths = {option: path for option, path in paths.items() if path is not None}
        self.written: list[str] = []  # the outputs written so far
        self.announce = True  # name each figure on standard error as it gets its final name
        for option, path in self.paths.items():
            if option != figure_option and path != stdout_name and is_stream(path) and _same_as_stdout(path):
                self.paths[option] = stdout_name  # --csv /dev/stdout: this process's output, as "-"
        seen: dict[str, str] = {}
        for option, path in self.paths.items():
            if path == stdout_name and option != figure_option:
                continue
            self._check(option, path, figure=option == figure_option)
            real = os.path.realpath(path)
            if real in seen:
                raise OutputError(f"{option} {path}: the same file as {seen[real]}")
            seen[real] = option
        self.figures = _Figures(self, figure_option, self.paths[figure_option]) \
            if figure_option in self.paths else None

    def _check(self, option: str, path: str, *, figure: bool) -> None:
        where = f"{option} {path}"
        if not path:
            raise OutputError(f"{option}: empty file name")
        self.refuse_input(option, path)
        try:
            info = os.stat(path)
        except FileNotFoundError:
            info = None
        except OSError as error:
            raise OutputError(f"{where}: {error.strerror}") from None
        if info is not None and stat.S_ISDIR(info.st_mode):
            raise OutputError(f"{where}: a folder; give a file name")
        if figure:
            suffix = Path(path).suffix.lower().lstrip(".")
            known = figure_suffixes()
            if suffix not in known:
                found = f"'.{suffix}'" if suffix else "none"
                raise OutputError(f"{where}: expected a figure suffix ({', '.join('.' + s for s in known)}), "
                                  f"found {found}")
        if info is not None and is_stream(path):
            if not os.access(path, os.W_OK):
                raise OutputError(f"{where}: not writable")
            return  # written through
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise OutputError(f"{where}: no folder {folder}")
        if not os.access(folder, os.W_OK | os.X_OK):
            raise OutputError(f"{where}: the folder {folder} is not writable")

    def refuse_input(self, option: str, path: str) -> None:
        if os.path.realpath(path) in self._input_paths or _identity(path) in self._inputs:
            raise OutputError(f"{option} {path}: that is an input file; refusing to overwrite measured data")

    def refuse_taken(self, option: str, path: str) -> None:
        """Refuse `path` (a numbered figure name) when it is an input or another output."""
        self.refuse_input(option, path)
        real = os.path.realpath(path)
        for other, taken in self.paths.items():
            if other != option and taken != self._stdout_name and os.path.realpath(taken) == real:
                raise OutputError(f"{option}: the numbered name {path} is the {other} output; choose other names")

    def write_text(self, option: str, write: Callable[[IO[str]], object], stdout: IO[str]) -> None:
        """Write the output of `option` through `write(handle)`: to `stdout` for "-"."""
        path = self.paths[option]
        if path == self._stdout_name:
            write(stdout)
            stdout.flush()
        elif is_stream(path):
            with open(path, "a", newline="", encoding="utf-8") as handle:
                write(handle)
        else:
            atomic_write(path, lambda handle: write(handle), text=True,
                         guard=lambda: self.refuse_input(option, path))
        self.written.append(path if path != self._stdout_name else "standard output")

    def write_json(self, option: str, value: Any, stdout: IO[str]) -> None:
        self.write_text(option, lambda handle: handle.write(json.dumps(value, indent=2) + "\n"), stdout)


def atomic_write(path: str, write: Callable[[IO[Any]], object], *, text: bool,
                 guard: Callable[[], None] | None = None) -> None:
    """Write `path` by `write(handle)` on a temporary file beside it, then a rename.
    `guard` runs just before the rename (it raises to stop it). A link is followed."""
    path = os.path.realpath(path)
    folder = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        handle: IO[Any] = os.fdopen(fd, "w", newline="", encoding="utf-8") if text else os.fdopen(fd, "wb")
        with handle:
            write(handle)
            handle.flush()
            os.fsync(handle.fileno())
        finish_temporary(temp, path, guard)
    except BaseException:
        _remove(temp)
        raise


def finish_temporary(temp: str, path: str, guard: Callable[[], None] | None = None) -> None:
    """Give `temp` the permissions of a new file (or of the file it replaces) and rename it."""
    if guard is not None:
        guard()
    path = os.path.realpath(path)
    try:
        mode = stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    os.chmod(temp, mode)
    os.replace(temp, path)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def numbered(path: str, index: int, count: int) -> str:
    """OUT.png for one output, OUT-1.png, OUT-2.png, ... for several."""
    out = Path(path)
    return str(out if count == 1 else out.with_name(f"{out.stem}-{index + 1}{out.suffix}"))


def escape_text(text: str) -> str:
    """A file name shown as literal text in a figure (no mathtext)."""
    return text.replace("$", r"\$")


class _Figures:
    """Figures saved one by one to temporary files, renamed at the end."""

    def __init__(self, outputs: Outputs, option: str, path: str) -> None:
        self._outputs = outputs
        self._option = option
        self._path = path
        self._format = Path(path).suffix.lower().lstrip(".")
        self._saved: list[tuple[str, str]] = []  # (temporary file, label)

    def save(self, label: str, draw: Callable[[str], Any]) -> None:
        """Draw a figure by `draw(title)`, save it to a temporary file and close it."""
        import matplotlib.pyplot as plt

        figure = draw(escape_text(label))
        folder = tempfile.gettempdir() if is_stream(self._path) else os.path.dirname(os.path.realpath(self._path))
        fd, temp = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(self._path)}.", suffix=".tmp")
        try:
            with os.fdopen(fd, "wb") as handle:
                figure.savefig(handle, format=self._format, dpi=120)
        except BaseException:
            _remove(temp)
            raise
        finally:
            plt.close(figure)
        self._saved.append((temp, label))

    def finish(self) -> None:
        """Rename the saved figures to their final names and announce them."""
        count = len(self._saved)
        if count > 1 and is_stream(self._path):
            self.discard()
            raise OutputError(f"{self._option} {self._path}: {count} figures cannot go to one stream; "
                              "give a file name (they are numbered)")
        for index, (temp, label) in enumerate(self._saved):
            target = numbered(self._path, index, count)
            try:
                if is_stream(target):
                    with open(temp, "rb") as source, open(target, "ab") as sink:
                        sink.write(source.read())
                    _remove(temp)
                else:
                    finish_temporary(temp, target, lambda: self._outputs.refuse_taken(self._option, target))
            except BaseException:
                self.discard(index)
                raise
            self._outputs.written.append(target)
            if self._outputs.announce:
                print(f"figure: {target} ({label})", file=sys.stderr)
        self._saved.clear()

    def discard(self, start: int = 0) -> None:
        for temp, _ in self._saved[start:]:
            _remove(temp)
        self._saved.clear()
