# The compiled core is kelvara._core; this package re-exports it unchanged
# (the same names in the same order, the same empty docstring) and adds the
# pure-Python tools as submodules, imported only when used: kelvara.io
# (instrument files), kelvara.validate (Kramers-Kronig check), kelvara.plot
# (matplotlib) and kelvara.cli (the command line).
from kelvara._core import *  # noqa: F401,F403
from kelvara._core import PanicException, __all__  # noqa: F401

__doc__ = ""
__version__ = "0.2.0"
from kelvara._batch import fit_many  # noqa: E402  (many spectra on every core; not in __all__)
from kelvara.drt import drt, drt_many  # noqa: E402  (distribution of relaxation times; not in __all__)
from kelvara.selection import compare, select  # noqa: E402  (choosing the circuit; not in __all__)


# submodules reached as attributes (kelvara.io.read after a bare `import kelvara`), imported on first use
_SUBMODULES = ("cli", "dask", "diagnostics", "io", "plot", "selection", "series", "validate")


def __getattr__(name: str):  # kelvara.fit_series, imported on first use: it needs NumPy at import
    if name == "fit_series":
        from kelvara.series import fit_series

        return fit_series
    if name in _SUBMODULES:
        import importlib

        return importlib.import_module(f"kelvara.{name}")
    raise AttributeError(f"module 'kelvara' has no attribute {name!r}")
