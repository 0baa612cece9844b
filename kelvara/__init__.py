"""Greedy BLOSUM62-weighted clustering of peptide anchors, with a native core."""

from kelvara._core import *  # noqa: F401,F403
from kelvara._core import InternalError, __all__  # noqa: F401
