"""What the views of a detection share: thinning a series for display, and the changes read
from a result."""

from __future__ import annotations

import math

import numpy as np
import pytest

from vollan._display import html_table, m4, p_text
from vollan.api import detect
from vollan.datasets import load_nile


def reference_m4(y: np.ndarray, buckets: int) -> list[int]:
    """Positions of each run's first, smallest, largest and last value, written plainly."""
    n = len(y)
    width = -(-n // buckets)
    kept: list[int] = []
    for start in range(0, n, width):
        run = range(start, min(start + width, n))
        present = [i for i in run if not math.isnan(y[i])]
        if not present:
            picks = {run[0], run[-1]}
        else:
            low = min(present, key=lambda i: (y[i], i))
            high = max(present, key=lambda i: (y[i], -i))
            picks = {present[0], low, high, present[-1]}
        kept += sorted(picks)
    return kept


@pytest.mark.parametrize("n", [101, 1000, 4099])
@pytest.mark.parametrize("holes", [False, True])
def test_m4_keeps_each_runs_ends_and_extremes(n, holes):
    rng = np.random.default_rng(n)
    y = rng.normal(size=n).round(1)  # ties: the first smallest and largest count
    if holes:
        y[rng.random(n) < 0.3] = np.nan
        y[n // 2 : n // 2 + 60] = np.nan  # whole runs missing
    x = np.arange(n) * 2.0
    tx, ty = m4(x, y, 20)
    expected = reference_m4(y, 20)
    assert tx.tolist() == [2.0 * i for i in expected]
    assert np.array_equal(ty, y[expected], equal_nan=True)


def test_m4_leaves_short_series_alone():
    y = np.arange(80.0)
    tx, ty = m4(y, y, 20)
    assert tx is y and ty is y


NILE = load_nile()


def test_changes_read_from_a_result():
    found = detect(NILE.values, labels=NILE.labels)
    (change,) = found.changes
    assert (change.index, change.label, change.kind) == (28, 1899, "mean")
    lo, hi = change.interval
    assert lo <= 28 <= hi
    assert change.size < 0  # the flow fell
    table = html_table(found)
    assert "<td>1899</td>" in table and "<td>mean</td>" in table
    assert f"<td>{lo}-{hi} (90%)</td>" in table


@pytest.mark.parametrize(
    ("p", "text"), [(0.0004, "< 0.001"), (0.0123, "0.012"), (math.nan, "-"), (1.0, "1.000")]
)
def test_p_values_read_as_people_write_them(p, text):
    assert p_text(p) == text
