"""Real series bundled with vollan."""

from __future__ import annotations

import csv
from dataclasses import dataclass
from importlib import resources

__all__ = ["Dataset", "load_nile"]


@dataclass(frozen=True)
class Dataset:
    """A bundled series with the labels (e.g. years) of its values."""

    name: str
    labels: tuple[int, ...]
    values: tuple[float, ...]
    source: str


def load_nile() -> Dataset:
    """Annual flow volume of the Nile at Aswan, 1871-1970 (100 values, 10^8 m^3).

    Source: Durbin and Koopman, *Time Series Analysis by State Space Methods*; also in R's
    ``datasets`` package (GPL-2), as distributed with the Turing Change Point Dataset
    (van den Burg and Williams, 2020). A change is commonly placed at 1898, when the first
    Aswan dam was built.

    Returns
    -------
    Dataset
        ``labels`` are the years, ``values`` the flow volumes.
    """
    text = resources.files("vollan").joinpath("data/nile.csv").read_text(encoding="utf-8")
    rows = list(csv.reader(text.splitlines()))
    labels = tuple(int(r[0]) for r in rows[1:])
    values = tuple(float(r[1]) for r in rows[1:])
    return Dataset(
        name="nile",
        labels=labels,
        values=values,
        source=(
            "Durbin & Koopman (2012), R datasets::Nile (GPL-2), via the Turing Change Point Dataset"
        ),
    )
