"""vollan: fast, bit-reproducible change-point detection.

The seven functions of the native engine ``_vollan_native`` are re-exported here unchanged.
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
from vollan import datasets

__version__ = "0.1.0"

__all__ = [
    "scan_detector",
    "scan_single_window",
    "refine_cusum",
    "refine_wasserstein",
    "swal_statistic",
    "wasserstein_statistic",
    "ipm_statistic",
    "datasets",
    "__version__",
]
