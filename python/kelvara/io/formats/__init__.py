"""One module per file format. Each declares ``NAME`` (the ``format=`` name),
``INSTRUMENT``, ``EXTENSIONS`` (lower case, with the dot), ``ORDER`` (its place in
:data:`kelvara.io.FORMATS` and in recognition) and ``read(source)``; optionally
``signature(lines)`` (the first lines are unmistakably this format), ``header(names)``
(the column names of a ``.txt`` export are this format's) and ``FALLBACK`` (the
format of files no other one claims). A new format is a new module here."""

from __future__ import annotations

import importlib
import pkgutil
from types import ModuleType


def discover() -> list[ModuleType]:
    modules = [importlib.import_module(f"{__name__}.{info.name}")
               for info in pkgutil.iter_modules(__path__) if not info.name.startswith("_")]
    return sorted(modules, key=lambda module: module.ORDER)
