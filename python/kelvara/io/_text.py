"""Reading an export as text: regular files only, bounded in size and line length,
decoded and split into lines."""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass

from kelvara.io._types import ReadError

#: Largest file read (bytes). Instrument exports are kilobytes to a few megabytes.
MAX_FILE_BYTES = 64 * 2**20
#: Longest line accepted (characters): data rows and header lines are far shorter.
MAX_LINE_CHARS = 64 * 2**10
# the first part of a file, checked before the rest is read
_HEAD_BYTES = 2 * MAX_LINE_CHARS


@dataclass
class Source:
    path: str
    lines: list[str]

    def error(self, index: int, detail: str) -> ReadError:
        """An error at 0-based line ``index`` (clamped to the file)."""
        last = max(len(self.lines), 1)
        return ReadError(self.path, min(max(index + 1, 1), last), detail)

    def end_error(self, expected: str) -> ReadError:
        return self.error(len(self.lines) - 1, f"expected {expected}, found the end of the file")


def load_bytes(path: str) -> bytes:
    """The content of a regular file of at most MAX_FILE_BYTES.

    A FIFO, a device or a folder is refused without reading from it (the open does
    not wait for a writer).
    """
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    try:
        info = os.fstat(fd)
    except BaseException:
        os.close(fd)
        raise
    if not stat.S_ISREG(info.st_mode):
        os.close(fd)
        kind = "a folder" if stat.S_ISDIR(info.st_mode) else "not a regular file"
        raise ReadError(path, None, f"{kind}; expected an instrument export")
    with os.fdopen(fd, "rb") as handle:
        if info.st_size > MAX_FILE_BYTES:
            raise ReadError(path, None, f"{info.st_size} bytes, more than the {MAX_FILE_BYTES} of an "
                                        "instrument export")
        data = handle.read(MAX_FILE_BYTES + 1)
    if len(data) > MAX_FILE_BYTES:  # grew since the size was taken
        raise ReadError(path, None, f"more than the {MAX_FILE_BYTES} bytes of an instrument export")
    return data


def text(path: str, data: bytes) -> Source:
    """The lines of a file's content. Content with NUL bytes (binary, unless
    UTF-16) or a first line longer than MAX_LINE_CHARS is refused from its
    beginning alone."""
    head = data[:_HEAD_BYTES]
    if not head.startswith((b"\xff\xfe", b"\xfe\xff")):
        if b"\0" in head:
            raise ReadError(path, 1, "expected text, found NUL bytes (a binary file)")
        if len(head) == _HEAD_BYTES and b"\n" not in head and b"\r" not in head:
            raise ReadError(path, 1, f"expected a line of at most {MAX_LINE_CHARS} characters, found longer")
    lines = split_lines(decode(data))
    for index, line in enumerate(lines):
        if len(line) > MAX_LINE_CHARS:
            raise ReadError(path, index + 1, f"expected a line of at most {MAX_LINE_CHARS} characters, "
                                             f"found {len(line)}")
    return Source(path, lines)


def load(path: str) -> Source:
    """The lines of a regular text file (see :func:`load_bytes` and :func:`text`)."""
    return text(path, load_bytes(path))


def decode(data: bytes) -> str:
    """Text of a file: UTF-8 (with or without BOM) or UTF-16 with BOM; anything else is
    taken as Windows-1252, the usual encoding of instrument exports."""
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        return data.decode("utf-16", errors="replace")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("cp1252", errors="replace")


def split_lines(text: str) -> list[str]:
    # Line numbers follow the "\n" count (as grep and most editors do); a bare "\r"
    # separates lines only in files that have no "\n" at all.
    if "\n" not in text:
        lines = text.split("\r")
    elif "\r" in text:
        lines = [line.rstrip("\r") for line in text.split("\n")]
    else:
        lines = text.split("\n")
    while len(lines) > 1 and not lines[-1].strip():
        lines.pop()
    return lines


def show(text: str, limit: int = 60) -> str:
    """Quote a piece of the file for an error message."""
    shown = text.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t").replace("\r", "\\r")
    if len(shown) > limit:
        shown = shown[:limit] + "..."
    return f'"{shown}"'


def unquote(text: str) -> str:
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "\"'":
        text = text[1:-1].strip()
    return text


def fields(text: str, delimiter: str | None) -> list[str]:
    return [field.strip() for field in text.strip().split(delimiter)]


def is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True
