"""Real series bundled with vollan, with the change points that people marked in them.

Every series comes from the Turing Change Point Dataset (G.J.J. van den Burg and C.K.I.
Williams, "An Evaluation of Change Point Detection Algorithms", 2020), whose annotations are
MIT-licensed (Copyright 2020 The Alan Turing Institute). Each was annotated by five people
independently; ``annotations`` maps each annotator's id to the indices they marked (the index
of the first value of the new regime). The loaders' docstrings give the source and licence of
each series.
"""

from __future__ import annotations

import csv
import importlib
import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from importlib import resources
from typing import Any

from vollan._families import Simulated, family_names, simulate

__all__ = [
    "Dataset",
    "Simulated",
    "family_names",
    "load",
    "load_bank",
    "load_children_per_woman",
    "load_jfk_passengers",
    "load_nile",
    "load_rail_lines",
    "load_shanghai_license",
    "names",
    "simulate",
]


@dataclass(frozen=True)
class Dataset:
    """A bundled series with the labels (years, months, ...) of its values.

    Attributes
    ----------
    name : str
        Short name, as accepted by :func:`load`.
    labels : tuple
        Label of each value: an int for a year or a day number, text such as "2002-01" for a
        month.
    values : tuple of float
        The series.
    source : str
        Where the data come from.
    licence : str
        The licence of the data.
    annotations : dict of str to tuple of int
        Annotator id -> change points that annotator marked (possibly none).
    """

    name: str
    labels: tuple[int | str, ...]
    values: tuple[float, ...]
    source: str
    licence: str = ""
    annotations: Mapping[str, tuple[int, ...]] = field(default_factory=dict, hash=False)

    def to_pandas(self) -> Any:
        """The series as a ``pandas.Series`` indexed by its labels (needs pandas).

        Returns
        -------
        pandas.Series
            Values indexed by ``labels``, named after the dataset.
        """
        pd: Any = importlib.import_module("pandas")
        return pd.Series(self.values, index=list(self.labels), name=self.name)


def _label(text: str) -> int | str:
    return int(text) if text.isdigit() else text


def _read(name: str, source: str, licence: str) -> Dataset:
    data = resources.files("vollan").joinpath("data")
    rows = list(csv.reader(data.joinpath(f"{name}.csv").read_text(encoding="utf-8").splitlines()))
    annotations = json.loads(data.joinpath("annotations.json").read_text(encoding="utf-8"))
    return Dataset(
        name=name,
        labels=tuple(_label(r[0]) for r in rows[1:]),
        values=tuple(float(r[1]) for r in rows[1:]),
        source=source,
        licence=licence,
        annotations={k: tuple(v) for k, v in annotations[name].items()},
    )


def load_nile() -> Dataset:
    """Annual flow volume of the Nile at Aswan, 1871-1970 (100 values, 10^8 m^3).

    Source: J. Durbin and S.J. Koopman, *Time Series Analysis by State Space Methods*; also in
    R's ``datasets`` package, as distributed with the Turing Change Point Dataset.
    Licence: GNU GPL version 2 (as part of R). A change is commonly placed at 1898, when the
    first Aswan dam was built; three of five annotators marked 1899 (index 28) as the first
    year of the new regime.

    Returns
    -------
    Dataset
        ``labels`` are the years, ``values`` the flow volumes.

    Examples
    --------
    >>> nile = load_nile()
    >>> len(nile.values), nile.labels[28], nile.annotations["7"]
    (100, 1899, (28,))
    """
    return _read(
        "nile",
        "Durbin & Koopman (2012), R datasets::Nile, via the Turing Change Point Dataset",
        "GPL-2",
    )


def load_rail_lines() -> Dataset:
    """Total length of the world's rail lines in route-km, yearly, 1980-2016 (37 values).

    Source: World Bank, indicator IS.RRS.TOTL.KM, via the Turing Change Point Dataset.
    Licence: CC BY 4.0 (World Bank open data).

    Returns
    -------
    Dataset
        ``labels`` are the years.

    Examples
    --------
    >>> rail = load_rail_lines()
    >>> len(rail.values), rail.labels[0]
    (37, 1980)
    """
    return _read(
        "rail_lines", "World Bank IS.RRS.TOTL.KM, via the Turing Change Point Dataset", "CC BY 4.0"
    )


def load_shanghai_license() -> Dataset:
    """Monthly applicants for car licence plates in Shanghai, 2002-01 to 2019-01 (205 values).

    Source: the "Shanghai car license plate auction price" data set on Kaggle, via the Turing
    Change Point Dataset (which splits the joint January/February 2008 auction equally
    between the two months). Licence: CC0 (public domain).

    Returns
    -------
    Dataset
        ``labels`` are months as "YYYY-MM".

    Examples
    --------
    >>> plates = load_shanghai_license()
    >>> len(plates.values), plates.labels[0]
    (205, '2002-01')
    """
    return _read(
        "shanghai_license",
        "Kaggle: Shanghai car license plate auction price, via the Turing Change Point Dataset",
        "CC0 1.0",
    )


def load_jfk_passengers() -> Dataset:
    """Monthly passengers at New York's JFK airport, 1977-01 to 2015-12 (468 values).

    Source: Port Authority of NY & NJ, "Air passenger traffic per month", published by New
    York State on Kaggle, via the Turing Change Point Dataset. Licence: CC0 (public domain).

    Returns
    -------
    Dataset
        ``labels`` are months as "YYYY-MM".

    Examples
    --------
    >>> jfk = load_jfk_passengers()
    >>> len(jfk.values), jfk.labels[0]
    (468, '1977-01')
    """
    return _read(
        "jfk_passengers",
        "Port Authority of NY & NJ via New York State (Kaggle), via the Turing Change Point "
        "Dataset",
        "CC0 1.0",
    )


def load_children_per_woman() -> Dataset:
    """Average number of children per woman, world total, yearly, 1800-2100 (301 values).

    Source: Gapminder, indicator gd008 ("Free data from www.gapminder.org"), via the Turing
    Change Point Dataset; values after the publication year are Gapminder's projections.
    Licence: CC BY 4.0.

    Returns
    -------
    Dataset
        ``labels`` are the years.

    Examples
    --------
    >>> children = load_children_per_woman()
    >>> len(children.values), children.labels[146]
    (301, 1946)
    """
    return _read(
        "children_per_woman",
        "Gapminder gd008 (www.gapminder.org), via the Turing Change Point Dataset",
        "CC BY 4.0",
    )


def load_bank() -> Dataset:
    """Daily balance of a personal current account (581 values, in log units).

    Source: G.J.J. van den Burg, Turing Change Point Dataset. Licence: MIT (Copyright 2019
    G.J.J. van den Burg). Large transactions make jumps, yet none of the five annotators
    marked a change: a series on which a detector should stay quiet.

    Returns
    -------
    Dataset
        ``labels`` are day numbers from 0.

    Examples
    --------
    >>> bank = load_bank()
    >>> len(bank.values), sorted(set(bank.annotations.values()))
    (581, [()])
    """
    return _read("bank", "G.J.J. van den Burg, Turing Change Point Dataset", "MIT")


_LOADERS = {
    "bank": load_bank,
    "children_per_woman": load_children_per_woman,
    "jfk_passengers": load_jfk_passengers,
    "nile": load_nile,
    "rail_lines": load_rail_lines,
    "shanghai_license": load_shanghai_license,
}


def names() -> list[str]:
    """Names of the bundled series.

    Returns
    -------
    list of str
        Sorted names, each accepted by :func:`load`.

    Examples
    --------
    >>> names()
    ['bank', 'children_per_woman', 'jfk_passengers', 'nile', 'rail_lines', 'shanghai_license']
    """
    return sorted(_LOADERS)


def load(name: str) -> Dataset:
    """Load a bundled series by name.

    Parameters
    ----------
    name : str
        One of :func:`names`.

    Returns
    -------
    Dataset
        The series, its labels, source, licence and annotations.

    Raises
    ------
    KeyError
        For an unknown name; the message lists the known ones.

    Examples
    --------
    >>> load("nile").source
    'Durbin & Koopman (2012), R datasets::Nile, via the Turing Change Point Dataset'
    """
    try:
        loader = _LOADERS[name]
    except KeyError:
        raise KeyError(f"no bundled series {name!r}; choose one of {', '.join(names())}") from None
    return loader()
