"""The bundled series: contents, annotations, provenance and the loaders."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from vollan import datasets

# The Turing Change Point Dataset as laid out beside the repository (present on developers'
# machines and in CI); the bundled copies must equal it.
TCPD = Path(__file__).resolve().parents[3] / "shared" / "datasets" / "tcpd"


def test_names_and_loaders_agree():
    names = datasets.names()
    assert "nile" in names and len(names) >= 2
    for name in names:
        assert datasets.load(name).name == name


@pytest.mark.parametrize("name", datasets.names())
def test_each_series_is_consistent(name):
    ds = datasets.load(name)
    n = len(ds.values)
    assert len(ds.labels) == n >= 30
    assert len(ds.annotations) == 5
    for points in ds.annotations.values():
        assert all(0 < p < n for p in points)
        assert list(points) == sorted(points)
    assert ds.source and ds.licence
    loader = getattr(datasets, f"load_{name}")
    assert "Source" in loader.__doc__ and "Licence" in loader.__doc__


@pytest.mark.skipif(
    not TCPD.is_dir(), reason="the Turing Change Point Dataset is not beside the repo"
)
@pytest.mark.parametrize("name", datasets.names())
def test_bundled_copy_equals_the_source(name):
    ds = datasets.load(name)
    source = json.loads((TCPD / name / f"{name}.json").read_text())
    assert list(ds.values) == [float(v) for v in source["series"][0]["raw"]]
    raw_time = source["time"].get("raw")
    if raw_time is not None:
        assert [str(label) for label in ds.labels] == raw_time
    annotations = json.loads((TCPD / "annotations.json").read_text())[name]
    assert {k: list(v) for k, v in ds.annotations.items()} == annotations


def test_nile_is_the_annual_flow_at_aswan():
    nile = datasets.load_nile()
    assert nile.labels[:3] == (1871, 1872, 1873)
    assert nile.labels[-1] == 1970
    assert nile.values[:3] == (1120.0, 1160.0, 963.0)
    assert sum(1 for v in nile.annotations.values() if 28 in v) == 3


def test_month_labels_stay_text():
    assert datasets.load_shanghai_license().labels[:2] == ("2002-01", "2002-02")


def test_unknown_name_lists_the_known_ones():
    with pytest.raises(KeyError, match="nile"):
        datasets.load("danube")


def test_to_pandas_uses_the_labels():
    pytest.importorskip("pandas")
    series = datasets.load_rail_lines().to_pandas()
    assert list(series.index[:2]) == [1980, 1981]
    assert series.name == "rail_lines"
    assert len(series) == 37


def test_datasets_are_frozen_and_hashable():
    nile = datasets.load_nile()
    with pytest.raises(AttributeError):
        nile.name = "other"  # type: ignore[misc]
    assert hash(nile) == hash(datasets.load_nile())
