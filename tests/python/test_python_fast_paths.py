"""The detection rules' fast paths against the plain numpy they replace, bit for bit.

Each rule of ``vollan.detect`` takes medians, running moments and counts over the whole series;
the faster ways of finding them must give the very same numbers, or the results would move.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

from vollan.pipeline.leaders import _clean_boundaries
from vollan.stats import median as _median
from vollan.stats import period as _scale
from vollan.stats.cusum import local_moments
from vollan.stats.median import median


def same(a: float, b: float) -> bool:
    """Equal to the bit, NaN equal to NaN."""
    return (math.isnan(a) and math.isnan(b)) or (
        a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
    )


def arrays(n: int, rng: np.random.Generator) -> list[np.ndarray]:
    normal = rng.standard_normal(n)
    out = [
        normal,
        np.sort(normal),
        np.sort(normal)[::-1].copy(),
        rng.integers(0, 3, n).astype(np.float64),  # few values, many ties
        np.zeros(n),
        (np.arange(n) % 97).astype(np.float64),
        rng.standard_t(1, n),  # Cauchy: a wide spread of magnitudes
    ]
    if n >= 8:
        # Large values at every stride the sample might take: it sees only those.
        trap = rng.standard_normal(n)
        trap[:: max(8, n // _median.SAMPLE)] = 1e9
        out.append(trap)
        with_nan = rng.standard_normal(n)
        with_nan[n // 3] = np.nan
        out.append(with_nan)
        infinite = rng.standard_normal(n)
        infinite[: n // 2] = np.inf
        out.append(infinite)
        both = np.full(n, np.inf)
        both[n // 2 :] = -np.inf
        out.append(both)
    return out


@pytest.mark.parametrize("n", [1, 2, 3, 8, 101, 8_191, 8_192, 8_193, 32_768, 100_000, 300_001])
def test_median_is_numpys(n: int) -> None:
    rng = np.random.default_rng(n)
    for a in arrays(n, rng):
        with np.errstate(all="ignore"):
            want = float(np.median(a))
        with np.errstate(all="ignore"):
            got = median(a)
        assert same(got, want), (n, a[:5])


def test_median_of_a_slice_and_the_fallback_when_the_sample_misleads() -> None:
    rng = np.random.default_rng(7)
    a = rng.standard_normal(200_000)
    assert same(median(a[1000:150_001]), float(np.median(a[1000:150_001])))
    # Half the values sit on the sampled places: the bracket from the sample misses the
    # middle ranks, and the plain median answers.
    b = rng.standard_normal(100_000)
    step = max(8, len(b) // _median.SAMPLE)
    b[::step] = 5.0 + np.arange(len(b[::step]))
    assert same(median(b), float(np.median(b)))


def plain_clean_boundaries(n: int, h: int, candidates: list[int]) -> int:
    return sum(1 for b in range(h, n - h + 1) if all(abs(b - c) >= h for c in candidates))


def test_clean_boundaries_counts_what_a_plain_loop_counts() -> None:
    rng = np.random.default_rng(3)
    for _ in range(3000):
        n = int(rng.integers(1, 200))
        h = int(rng.integers(1, 60))
        candidates = sorted(rng.integers(0, n + 1, int(rng.integers(0, 8))).tolist())
        got = _clean_boundaries(n, h, np.array(candidates, dtype=np.int64))
        assert got == plain_clean_boundaries(n, h, candidates), (n, h, candidates)


def test_local_moments_are_those_of_the_running_sums_at_each_window() -> None:
    rng = np.random.default_rng(4)
    for _ in range(500):
        n = int(rng.integers(1, 120))
        width = int(rng.integers(1, n + 1))
        x = rng.standard_normal(n)
        first = np.concatenate([[0.0], np.cumsum(x)])
        second = np.concatenate([[0.0], np.cumsum(x * x)])
        mean = np.empty(n)
        var = np.empty(n)
        for i in range(n):
            lo = min(max(i - width // 2, 0), n - width)
            mean[i] = (first[lo + width] - first[lo]) / width
            var[i] = max((second[lo + width] - second[lo]) / width - mean[i] * mean[i], 0.0)
        got_mean, got_sd = local_moments(x, width)
        assert np.array_equal(got_mean, mean)
        assert np.array_equal(got_sd, np.sqrt(var))


@pytest.mark.parametrize("n", [13, 60, 1000, 4099, 40_000])
def test_running_median_of_the_periodogram_takes_numpys_median_of_each_window(n: int) -> None:
    rng = np.random.default_rng(n)
    for x in (rng.standard_normal(n), np.round(rng.standard_normal(n))):
        power = np.abs(np.fft.rfft(x)) ** 2
        lo, hi = 4, n // 3
        centres = np.unique(np.geomspace(lo, hi, max(2, int(math.log(hi / lo) / 0.02) + 1)).round())
        medians = [
            np.median(power[max(1, int(c / math.sqrt(2.0))) : int(c * math.sqrt(2.0)) + 2])
            for c in centres
        ]
        want = np.interp(np.arange(lo, hi + 1), centres, medians)
        assert np.array_equal(_scale._running_median_log(power, lo, hi), want)


@pytest.mark.parametrize("width", [1, 3, 5, 11, 13, 19, 21, 41])
def test_window_medians_are_the_partitions_middles(width: int) -> None:
    # Widths up to NETWORK_MOST go through the comparison network, the rest through partitions;
    # lengths straddle the network's chunk so that its last, short chunk is met.
    rng = np.random.default_rng(width)
    chunk = _median._NETWORK_CHUNK
    for n in (width, width + 1, 3 * width + 7, chunk + width - 1, chunk + width + 5, 3 * chunk):
        for a in arrays(n, rng)[:7]:
            want = np.partition(
                np.lib.stride_tricks.sliding_window_view(a, width), width // 2, axis=1
            )[:, width // 2]
            got = _median.window_medians(a, width)
            assert got.shape == want.shape
            assert np.array_equal(got, want), (n, width)
    assert _median.window_medians(np.arange(3.0), 5).shape == (0,)


def test_the_median_network_keeps_only_what_the_middle_needs() -> None:
    # Three values need three comparators; the network for 11 values is far smaller than the
    # 63 of Batcher's network on 16 wires, and sorts any 0/1 input's middle right (the 0-1
    # principle: a network that selects every 0/1 input's middle selects every input's).
    assert len(_median._median_network(3)[0]) == 3
    comparators, middle = _median._median_network(11)
    assert len(comparators) < 63
    for bits in range(1 << 11):
        wires = [float(bits >> k & 1) for k in range(11)]
        for a, b in comparators:
            wires[a], wires[b] = min(wires[a], wires[b]), max(wires[a], wires[b])
        assert wires[middle] == (1.0 if bin(bits).count("1") > 5 else 0.0)


def _plain_size(x: list[float], c: int, kind: str, start: int, stop: int, largest: int) -> float:
    """The size of a change in plain Python: the values within the largest window on each
    side, between the neighbours."""
    import statistics

    w = max(2, min(c - start, stop - c, largest))
    before, after = x[max(start, c - w) : c], x[c : min(stop, c + w)]
    sb, sa = statistics.stdev(before), statistics.stdev(after)
    pooled = math.sqrt((sb * sb + sa * sa) / 2)
    if kind == "variance":
        return sa / sb
    if kind == "shape":
        m = min(len(before), len(after))
        pairs = zip(sorted(after[:m]), sorted(before[-m:]), strict=True)
        return statistics.fmean(abs(a - b) for a, b in pairs) / pooled
    return (statistics.fmean(after) - statistics.fmean(before)) / pooled


@pytest.mark.parametrize("kind", ["mean", "variance", "shape"])
def test_change_sizes_are_those_of_plain_means_and_deviations(kind: str) -> None:
    from vollan.pipeline.place import kind_size

    rng = np.random.default_rng(8)
    x = rng.standard_normal(3000)
    x[1000:] = 0.5 + 2.0 * x[1000:]
    for c, start, stop, largest in ((1000, 0, 3000, 250), (1000, 990, 1400, 250), (5, 0, 9, 4)):
        got = kind_size(x, c, kind, start, stop, largest, 1.0)
        want = _plain_size(x.tolist(), c, kind, start, stop, largest)
        assert got == pytest.approx(want, rel=1e-12), (c, start, stop)
    # Sides of fewer than two values have no size.
    assert math.isnan(kind_size(x, 1, kind, 0, 3000, 250, 1.0))


@pytest.mark.parametrize("change_type", ["mean", "var", "distribution"])
def test_one_sort_gives_the_kinds_and_the_least_gap_that_unique_gives(change_type: str) -> None:
    from vollan.pipeline.stage import kinds_to_judge
    from vollan.stats.robust import resolution

    rng = np.random.default_rng(4)
    for n in (1, 2, 3, 50, 1000):
        finite = [a for a in arrays(n, rng) if np.isfinite(a).all()]
        finite += [np.r_[np.zeros(n), -np.zeros(n), np.ones(n)], rng.integers(0, 2, n) * 1e308]
        for a in finite:
            ordered = np.sort(a)
            assert kinds_to_judge(change_type, a, ordered) == kinds_to_judge(change_type, a)
            assert same(resolution(a, ordered), resolution(a))
