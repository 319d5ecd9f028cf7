"""Hausdorff distance, Rand index and precision/recall at a margin against one true set:
examples worked out by hand, an all-pairs reference, and ruptures' own metrics."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest

from vollan.metrics import hausdorff, precision_recall_at_margin, rand_index


@pytest.mark.parametrize(
    ("truth", "predictions", "n_obs", "expected"),
    [
        ([50, 200], [55], None, 145.0),  # 200 is missed: 145 from the nearest prediction
        ([50], [10, 52], None, 40.0),  # 10 is spurious: 40 from the nearest change
        ([50, 200, 300], [48, 205, 300], 300, 5.0),  # the final breakpoints are ignored
        ([], [], None, 0.0),
        ([300], [300], 300, 0.0),  # nothing inside the series on either side
        ([50], [], None, math.inf),
        ([], [7], None, math.inf),
    ],
)
def test_hausdorff_worked_examples(truth, predictions, n_obs, expected):
    assert hausdorff(truth, predictions, n_obs) == expected


@pytest.mark.parametrize(
    ("truth", "predictions", "n_obs", "expected"),
    [
        # Segments 50 | 50 against 60 | 40: 1225 + 1225 and 1770 + 780 pairs together, 1225 +
        # 45 + 780 together in both, so 2450 + 2550 - 4100 = 900 of 4950 pairs disagree.
        ([50], [60], 100, 4050 / 4950),
        ([50], [50, 100], 100, 1.0),
        ([], [], 10, 1.0),
        # Every pair together against every pair apart: 10 values, 45 pairs, all disagree.
        ([], range(1, 10), 10, 0.0),
        # 2 values: the one pair is together in one and apart in the other.
        ([1], [], 2, 0.0),
    ],
)
def test_rand_index_worked_examples(truth, predictions, n_obs, expected):
    assert rand_index(truth, predictions, n_obs) == expected


@pytest.mark.parametrize(
    ("truth", "predictions", "margin", "n_obs", "expected"),
    [
        ([100, 200], [103, 150], 5, None, (0.5, 0.5)),
        ([100, 200, 300], [96, 200, 300], 5, 300, (1.0, 1.0)),
        ([100], [105], 5, None, (1.0, 1.0)),  # exactly at the margin
        ([100], [106], 5, None, (0.0, 0.0)),
        ([100, 104], [102], 5, None, (1.0, 0.5)),  # one prediction matches one change
        ([], [10], 5, None, (0.0, 0.0)),
        ([10], [], 5, None, (0.0, 0.0)),
    ],
)
def test_precision_recall_at_margin_worked_examples(truth, predictions, margin, n_obs, expected):
    assert precision_recall_at_margin(truth, predictions, margin, n_obs) == expected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: rand_index([5], [5], 1), "n_obs must be at least 2, got 1"),
        (lambda: hausdorff([5], [5], 0), "n_obs must be positive, got 0"),
        (lambda: precision_recall_at_margin([5], [5], -1), "margin must be at least 0, got -1"),
    ],
)
def test_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def _rand_by_pairs(truth: list[int], predictions: list[int], n: int) -> float:
    def labels(points: list[int]) -> list[int]:
        return [sum(1 for p in points if p <= i) for i in range(n)]

    a, b = labels(truth), labels(predictions)
    agree = sum((a[i] == a[j]) == (b[i] == b[j]) for i, j in itertools.combinations(range(n), 2))
    return agree / (n * (n - 1) // 2)


def _random_points(rng: np.random.Generator, n: int) -> list[int]:
    k = int(rng.integers(0, 6))
    return sorted(int(c) for c in rng.choice(np.arange(1, n), size=min(k, n - 1), replace=False))


@pytest.mark.parametrize("seed", range(20))
def test_rand_index_counts_every_pair(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 60))
    truth, predictions = _random_points(rng, n), _random_points(rng, n)
    assert rand_index(truth, predictions, n) == pytest.approx(
        _rand_by_pairs(truth, predictions, n), abs=1e-15
    )


def _separated(rng: np.random.Generator, n: int, k: int, gap: int) -> list[int]:
    """k points in (gap, n - gap), more than 2 gap apart, so that matching is unambiguous."""
    while True:
        cps = sorted(int(c) for c in rng.choice(np.arange(gap + 1, n - gap), size=k, replace=False))
        if all(b - a > 2 * gap for a, b in itertools.pairwise(cps)):
            return cps


@pytest.mark.parametrize("seed", range(30))
def test_agree_with_ruptures_metrics(seed):
    metrics = pytest.importorskip("ruptures.metrics")
    rng = np.random.default_rng(seed)
    n = int(rng.integers(800, 2000))
    margin = 10
    truth = _separated(rng, n, int(rng.integers(1, 6)), 3 * margin)
    # Predictions: true points moved within the margin or clearly outside it, and spurious
    # points far from every change, so that each prediction is near at most one change and
    # ruptures' matching (the first free prediction in order) is the nearest one.
    predictions = set()
    for t in truth:
        if rng.random() < 0.7:
            predictions.add(t + int(rng.integers(-(margin - 1), margin)))
        elif rng.random() < 0.5:
            predictions.add(t + int(rng.choice([-1, 1]) * rng.integers(2 * margin + 1, 3 * margin)))
    for c in rng.integers(1, n, size=int(rng.integers(0, 4))):
        if all(abs(int(c) - t) > 2 * margin for t in truth):
            predictions.add(int(c))
    if not predictions:
        predictions.add(truth[0])
    ordered = sorted(predictions)
    true_bkps, my_bkps = [*truth, n], [*ordered, n]
    assert precision_recall_at_margin(truth, ordered, margin - 1, n) == pytest.approx(
        metrics.precision_recall(true_bkps, my_bkps, margin=margin)
    )
    assert hausdorff(true_bkps, my_bkps, n) == metrics.hausdorff(true_bkps, my_bkps)
    assert rand_index(true_bkps, my_bkps, n) == pytest.approx(
        metrics.randindex(true_bkps, my_bkps), abs=1e-12
    )
