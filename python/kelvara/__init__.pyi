from kelvara._core import *
from kelvara._core import PanicException as PanicException
from kelvara._core import __all__ as __all__

__version__: str
from kelvara._batch import fit_many as fit_many
from kelvara.series import fit_series as fit_series
from kelvara.selection import compare as compare
from kelvara.selection import select as select
from kelvara.drt import drt as drt, drt_many as drt_many
