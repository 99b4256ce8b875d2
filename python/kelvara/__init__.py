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
