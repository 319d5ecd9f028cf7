"""vollan: fast, bit-reproducible change-point detection.

The seven functions of the native engine ``_vollan_native`` are re-exported here unchanged;
their documentation, which ``help()`` shows, lives in :mod:`vollan._engine`.
:func:`detect` runs the whole detector with defaults that fit any series and returns a
:class:`Detection`; :func:`detect_many` does so for many series, here or on a Dask cluster,
and :func:`detect_columns` for the columns of a 2-D array or a DataFrame.
Plots live in :mod:`vollan.plot` (needs matplotlib), bundled series in :mod:`vollan.datasets`
and scores against annotations in :mod:`vollan.metrics`.
"""

from _vollan_native import (
    ipm_statistic,
    refine_cusum,
    refine_wasserstein,
    scan_detector,
    scan_single_window,
    swal_statistic,
    wasserstein_statistic,
)
from vollan import (
    _engine,  # noqa: F401 - documents the functions above for help()
    datasets,
    metrics,
)
from vollan._columns import detect_columns
from vollan.api import Change, Detection, Leader, default_window_sizes, detect, detect_many
from vollan.config import DEFAULT as DEFAULT_CONFIG
from vollan.config import DetectConfig
from vollan.monitor import Monitor, StreamChange

__version__ = "0.1.0"

__all__ = [
    "scan_detector",
    "scan_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
    "detect",
    "detect_many",
    "detect_columns",
    "Change",
    "Detection",
    "DetectConfig",
    "DEFAULT_CONFIG",
    "Leader",
    "Monitor",
    "StreamChange",
    "default_window_sizes",
    "datasets",
    "metrics",
    "__version__",
]
