"""The statistics computed in place over the series' length give the values of their plain
formulas, bit for bit: a reference of each, written as the formula reads, on random series."""

from __future__ import annotations

import numpy as np
import pytest

from vollan.pipeline.outliers import _medians_of_three
from vollan.pipeline.shape import _standardised, shape_scores
from vollan.stats.cusum import local_line_residuals, local_sums


def residuals_reference(x, width):
    n = len(x)
    t = np.arange(n, dtype=np.float64)
    sums = local_sums(x, width)
    moments = local_sums(t * x, width)
    start = np.clip(np.arange(n) - width // 2, 0, max(n - width, 0)).astype(np.float64)
    centre = start + (width - 1) / 2.0
    spread = width * (width * width - 1) / 12.0
    slope = (moments - centre * sums) / spread if width > 1 else np.zeros(n)
    return x - sums / width - slope * (t - centre)


def series(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(300, 20_000))
    x = rng.standard_t(3, size=n) * 10 ** rng.uniform(-3, 3) + rng.normal() * 100
    x[n // 3 : n // 3 + 200] = 1.5  # equal values: a local spread of zero
    return x


def same_bits(a, b):
    return np.array_equal(np.asarray(a).view(np.int64), np.asarray(b).view(np.int64))


@pytest.mark.parametrize("seed", range(6))
def test_local_line_residuals_match_their_formula(seed):
    x = series(seed)
    for width in (1, 2, 7, 40, 255, len(x)):
        assert same_bits(local_line_residuals(x, width), residuals_reference(x, width)), width


@pytest.mark.parametrize("seed", range(6))
def test_shape_scores_and_medians_of_three_match_their_formulas(seed):
    x = series(seed)
    a, b, c = x[:-2], x[1:-1], x[2:]
    three = np.maximum(np.minimum(a, b), np.minimum(np.maximum(a, b), c))
    assert same_bits(_medians_of_three(x), three)
    z = _standardised(x, 40)
    first, second = float(np.mean(np.abs(z))), float(np.mean(z * z))
    expected = np.abs(z) - (first / (2.0 * second)) * z * z
    assert same_bits(shape_scores(x, 40), expected)
    copy = x.copy()
    shape_scores(x, 40)
    assert same_bits(x, copy)  # the caller's values are left alone
