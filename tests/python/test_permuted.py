"""Critical values from a series' own values in random order, where values repeat a lot."""

from __future__ import annotations

import numpy as np
import pytest

import vollan
from vollan.pipeline import contrast as _contrast
from vollan.pipeline import permuted as _permuted
from vollan.stats.robust import resolution


@pytest.mark.parametrize("h", [8, 13, 40])
@pytest.mark.parametrize(
    "law",
    [
        lambda r, n: r.poisson(0.3, n).astype(float),
        lambda r, n: 2.5 * (r.random(n) < 0.05),
        lambda r, n: 0.1 * np.round(r.normal(0, 0.5, n)),
    ],
)
def test_contrasts_from_cumulative_sums_match_the_sorted_windows(law, h) -> None:
    x = law(np.random.default_rng(h), 700)
    gap = resolution(x)
    bounds = np.arange(h, len(x) - h + 1)
    location = _contrast.contrasts_at(x, h, bounds, "location", gap)
    np.testing.assert_allclose(
        _permuted.location_contrasts(x, h, np.unique(x), gap), location, rtol=0, atol=1e-12
    )
    # The moments lose digits where a window barely spreads; the root of the log ratio
    # magnifies them, still far below anything a critical value could tell apart.
    scale = _contrast.contrasts_at(x, h, bounds, "scale", gap)
    np.testing.assert_allclose(_permuted.scale_contrasts(x, h, gap), scale, rtol=0, atol=1e-5)


def test_which_series_are_calibrated_on_their_own_values() -> None:
    rng = np.random.default_rng(1)
    assert _permuted.applies(np.sort(rng.poisson(0.05, 500).astype(float)))
    assert _permuted.applies(np.sort((rng.random(500) < 0.1).astype(float)))
    assert not _permuted.applies(np.sort(rng.normal(size=500)))  # no ties
    assert not _permuted.applies(np.sort(rng.poisson(0.3, 500).astype(float)))  # 74 % zeros
    long = rng.poisson(0.05, _permuted.PERMUTED_UP_TO + 1).astype(float)
    assert not _permuted.applies(np.sort(long))
    # 90 % zeros and 101 distinct heights: events of continuous heights are calibrated too, on
    # their values rounded to a few quantiles away from the mode.
    many = np.r_[np.zeros(900), np.arange(1.0, 101.0)]
    assert _permuted.applies(np.sort(many))
    rounded = _permuted.quantized(many, np.sort(many))
    assert len(np.unique(rounded)) <= _permuted.MOST_LEVELS
    assert np.array_equal(rounded == 0.0, many == 0.0) and np.all(rounded <= many)
    few = np.r_[np.zeros(900), np.arange(1.0, 11.0)]
    assert _permuted.quantized(few, np.sort(few)) is few


def test_sparse_events_without_change_rarely_report_one() -> None:
    # Flags at a rate of 1 %: the Gaussian critical values alone let 73-78 of 200 change-free
    # series of 150-300 values report a change.
    reports = 0
    for seed in range(40):
        x = (np.random.default_rng([seed, 301]).random(250) < 0.01).astype(float)
        reports += bool(vollan.detect(x).change_points)
    assert reports <= 4


def test_changes_of_rate_in_flags_and_counts_are_found() -> None:
    for seed in range(5):
        r = np.random.default_rng([seed, 302])
        flags = np.r_[r.random(300) < 0.2, r.random(300) < 0.8].astype(float)
        assert any(abs(c - 300) <= 5 for c in vollan.detect(flags).change_points)
        counts = np.r_[r.poisson(0.1, 300), r.poisson(1.0, 300)].astype(float)
        assert any(abs(c - 300) <= 10 for c in vollan.detect(counts).change_points)
    # A clean step between two values stands out beyond any order of its values.
    assert vollan.detect(np.r_[np.zeros(60), np.ones(60)]).change_points == (60,)


def test_the_critical_values_do_not_vary_between_calls_or_threads() -> None:
    x = np.random.default_rng(303).poisson(0.05, 400).astype(float)
    x[200:230] += 1.0
    first = vollan.detect(x)
    assert vollan.detect(x).to_dict() == first.to_dict()
    assert vollan.detect(x, workers=1).to_dict() == first.to_dict()
    judged = [lead.p_value for lead in first.leaders if lead.contrast is not None]
    assert judged and all(0.0 < p <= 1.0 for p in judged)


def _vicinity_by_scans(contrast: np.ndarray, h: int, peaks: int) -> np.ndarray:
    """peak_vicinity as plain passes over the whole series, one per peak."""
    near = np.zeros(len(contrast), dtype=bool)
    rest = contrast.astype(float)
    for _ in range(max(1, peaks)):
        if np.isneginf(rest).all():
            break
        at = int(np.argmax(rest))
        end = at
        while end + 1 < min(len(rest), at + 4 * h) and rest[end + 1] == rest[at]:
            end += 1
        at = (at + end) // 2
        lo, hi = max(0, at - h + 1), min(len(contrast), at + h)
        near[lo:hi] = True
        rest[lo:hi] = -np.inf
    return near


def test_peaks_found_by_blocks_match_plain_passes() -> None:
    rng = np.random.default_rng(4)
    for _ in range(400):
        n, h, peaks = int(rng.integers(5, 300)), int(rng.integers(1, 25)), int(rng.integers(0, 20))
        # Rounded values make runs of equal contrasts, as sparse events do.
        contrast = np.round(rng.exponential(size=n) * rng.choice([1, 3]))
        np.testing.assert_array_equal(
            _permuted.peak_vicinity(contrast, h, peaks), _vicinity_by_scans(contrast, h, peaks)
        )
