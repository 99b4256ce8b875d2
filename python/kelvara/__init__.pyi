from kelvara._core import *
from kelvara._core import PanicException as PanicException
from kelvara._core import __all__ as __all__

__version__: str
from kelvara._batch import fit_many as fit_many
from kelvara.series import fit_series as fit_series
from kelvara.selection import compare as compare
from kelvara.selection import select as select
from kelvara.drt import drt as drt, drt_many as drt_many
from kelvara import cli as cli, dask as dask, diagnostics as diagnostics, io as io, plot as plot
from kelvara import selection as selection, series as series, validate as validate
