"""The pictures of the documentation, drawn by the installed package while the site builds."""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402

import vollan  # noqa: E402
from vollan.datasets import simulate  # noqa: E402
from vollan.plot import plot_detection, plot_windows  # noqa: E402
from vollan.plot_columns import plot_columns  # noqa: E402


def draw(where: Path) -> None:
    """Save nile.png, windows.png and columns.png in ``where``."""
    where.mkdir(parents=True, exist_ok=True)
    nile = vollan.datasets.load_nile()
    found = vollan.detect(nile.values, labels=nile.labels)
    plot_detection(nile.values, found, labels=nile.labels, path=where / "nile.png")
    plot_windows(nile.values, found, path=where / "windows.png")
    table = np.column_stack(
        [simulate(family, seed=3).values[:300] for family in ("mean_steps", "variance_change")]
    )
    plot_columns(table, vollan.detect_columns(table), path=where / "columns.png")
