"""scan_arrays' pilot thresholds: off, the scan of scan_detector; on, the same flags except,
rarely, a flag the pilot sets alone; the same bits on any number of threads; and its argument
checked by name. detect scans with the pilot."""

from __future__ import annotations

import math

import numpy as np
import pytest

import _vollan_native as native
import vollan
from vollan import _kernels
from vollan._scanview import ScanView, scan_view
from vollan.pipeline import windows
from vollan.pipeline.windows import PILOT_FACTOR, default_n_perm, default_window_sizes


def flags(view: ScanView, j: int) -> np.ndarray:
    """The flagged positions of window j, read back from its regions: a position alone holds
    its two windows (2w values), a pair of adjacent positions one region of 3w."""
    w = int(view.window_sizes[j])
    f = np.zeros(len(view.starts[j]), dtype=bool)
    for a, b in view.regions[j].tolist():
        f[a // w] = True
        if b - a == 3 * w:
            f[a // w + 1] = True
    return f


def series(kind: str, n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    if kind == "jumps":
        x += np.repeat(rng.normal(0, 3, n // 500 + 1), 500)[:n]
    elif kind == "walk":
        x = 0.1 * np.cumsum(x) + rng.normal(size=n)
    elif kind == "t3":
        x = rng.standard_t(3, size=n)
    return x


def detect_options(n: int, seed: int) -> dict[str, object]:
    sizes = default_window_sizes(n)
    return {
        "window_sizes": sizes,
        "n_perm": default_n_perm(n, sizes[0]),
        "alpha_q": 0.05,
        "seed": seed,
    }


def test_pilot_none_is_scan_detector():
    x = series("jumps", 3_000, 1)
    want = native.scan_detector(x, n_perm=120, alpha_q=0.05)
    got = scan_view(x, n_perm=120, alpha_q=0.05, pilot=None).to_raw()
    assert got == want
    for j, w in enumerate(want["window_results"]):
        thresholds = np.array(want["window_results"][w]["tapered_block_bootstrap_threshold"])
        assert scan_view(x, n_perm=120, alpha_q=0.05).thresholds[j].tobytes() == (
            thresholds.tobytes()
        )


@pytest.mark.parametrize(("kind", "seed"), [("jumps", 2), ("walk", 3), ("null", 4), ("t3", 5)])
def test_infinite_factor_flags_as_the_full_run(kind, seed):
    # Never flagging on the pilot alone, every decision is the exact bound's or the full
    # threshold's: the scan's flags, change points and vote are the full run's, bit for bit.
    x = series(kind, 8_000, seed)
    options = detect_options(len(x), seed)
    off = scan_view(x, **options)
    on = scan_view(x, pilot=math.inf, **options)
    for j in range(off.n_windows):
        assert np.array_equal(flags(on, j), flags(off, j))
        assert on.statistics[j].tobytes() == off.statistics[j].tobytes()
        assert on.regions[j].tobytes() == off.regions[j].tobytes()
    assert on.cp_values.tobytes() == off.cp_values.tobytes()
    for name in ("leaders", "leader_votes", "leader_scores", "leader_probs", "cdf_values"):
        assert getattr(on, name).tobytes() == getattr(off, name).tobytes(), name
    # Thresholds never completed hold the pilot's own: some differ, and each such position
    # lies below the full run's threshold (a flag would have completed or ended it).
    differ = [(on.thresholds[j] != off.thresholds[j]) for j in range(off.n_windows)]
    assert sum(int(d.sum()) for d in differ) > 0
    for j, d in enumerate(differ):
        assert np.all(off.statistics[j][d] <= off.thresholds[j][d])


def test_detect_factor_changes_at_most_a_few_flags():
    # A flag can differ only where the full threshold exceeds PILOT_FACTOR times the pilot's
    # (measured below one threshold in 70,000 on change-free series) and the statistic lies
    # between them. Measured on these 12 series: no position differs; up to 2 are allowed.
    # Before the first difference of a window both runs refresh at the same positions, so a
    # difference there is a flag of the pilot alone, above the pilot's threshold.
    differing = 0
    flagged = 0
    for kind in ("null", "jumps", "walk"):
        for seed in range(4):
            x = series(kind, 6_000, 100 + seed)
            options = detect_options(len(x), seed)
            off = scan_view(x, **options)
            on = scan_view(x, pilot=PILOT_FACTOR, **options)
            for j in range(off.n_windows):
                a, b = flags(off, j), flags(on, j)
                flagged += int(a.sum())
                d = np.flatnonzero(a != b)
                differing += len(d)
                if len(d):
                    first = d[0]
                    assert b[first] and not a[first]
                    assert on.statistics[j][first] > on.thresholds[j][first]
    assert flagged > 500
    assert differing <= 2


def test_a_factor_of_one_does_change_flags():
    # The smallest factor allowed flags on the pilot's threshold itself, about 12% below the
    # full one: some flags differ, each first one a flag of the pilot alone.
    x = series("jumps", 6_000, 7)
    options = detect_options(len(x), 7)
    off = scan_view(x, **options)
    on = scan_view(x, pilot=1.0, **options)
    firsts = []
    for j in range(off.n_windows):
        d = np.flatnonzero(flags(off, j) != flags(on, j))
        if len(d):
            firsts.append((j, d[0]))
    assert firsts
    for j, i in firsts:
        assert flags(on, j)[i] and off.statistics[j][i] <= off.thresholds[j][i]


@pytest.mark.parametrize("pilot", [1.0, PILOT_FACTOR, math.inf])
def test_one_or_two_workers_give_the_same_bits(pilot):
    x = series("jumps", 20_000, 8)
    options = detect_options(len(x), 8)
    one = scan_view(x, pilot=pilot, workers=1, **options)
    two = scan_view(x, pilot=pilot, workers=2, **options)
    shared = scan_view(x, pilot=pilot, **options)
    for other in (two, shared):
        for j in range(one.n_windows):
            for name in ("statistics", "thresholds", "regions", "starts"):
                assert getattr(other, name)[j].tobytes() == getattr(one, name)[j].tobytes()
        assert other.leader_probs.tobytes() == one.leader_probs.tobytes()


AT_LEAST_ONE = "pilot must be at least 1 (a factor on the pilot's threshold) or None, got "


@pytest.mark.parametrize(
    ("pilot", "error", "message"),
    [
        (0.5, ValueError, AT_LEAST_ONE + "0.5"),
        (0, ValueError, AT_LEAST_ONE + "0"),
        (-math.inf, ValueError, AT_LEAST_ONE + "-inf"),
        (math.nan, ValueError, AT_LEAST_ONE + "nan"),
        (True, TypeError, "pilot must be a number or None, not bool"),
        ("2", TypeError, "pilot must be a number or None, not str"),
        ([2.0], TypeError, "pilot must be a number or None, not list"),
    ],
)
def test_bad_pilot_raises_naming_it(pilot, error, message):
    x = series("jumps", 200, 9)
    with pytest.raises(error) as got:
        _kernels.scan_arrays(x, window_sizes=[10], n_perm=20, pilot=pilot)
    assert str(got.value) == message


def test_pilot_is_keyword_only_and_checked_after_the_scan_arguments():
    x = series("jumps", 200, 10)
    with pytest.raises(TypeError, match="positional"):
        _kernels.scan_arrays(
            x, None, 300, 1.0, 123, 2, None, "thread", "mean", None, 0.5, True, 32, 2.0
        )
    # The scan's own errors come first, as scan_detector's.
    with pytest.raises(ValueError, match="window_sizes must not be empty"):
        _kernels.scan_arrays(x, window_sizes=[], pilot=0.5)
    with pytest.raises(TypeError, match="multiple values for argument 'n_perm'"):
        _kernels.scan_arrays(x, None, 20, n_perm=20, pilot=2.0)
    # Numbers of any kind are factors; numpy's too.
    a = scan_view(x, window_sizes=[10], n_perm=20, pilot=np.float64(3))
    b = scan_view(x, window_sizes=[10], n_perm=20, pilot=3)
    assert a.thresholds[0].tobytes() == b.thresholds[0].tobytes()


def test_detect_scans_with_the_pilot(monkeypatch):
    x = series("jumps", 5_000, 11)
    with_pilot = vollan.detect(x)
    monkeypatch.setattr(windows, "PILOT_FACTOR", None)
    without = vollan.detect(x)
    assert [c.index for c in with_pilot.changes] == [c.index for c in without.changes]
    # The scans differ in the thresholds the pilot left uncompleted, and only there.
    a, b = with_pilot.raw["window_results"], without.raw["window_results"]
    assert a.keys() == b.keys()
    assert any(
        a[w]["tapered_block_bootstrap_threshold"] != b[w]["tapered_block_bootstrap_threshold"]
        for w in a
    )
    assert all(a[w]["localized_regions"] == b[w]["localized_regions"] for w in a)


@pytest.mark.parametrize(
    "options", [{"taper_ratio": 5.0}, {"window_sizes": [10, 0]}, {"n_perm": -1}]
)
def test_the_scan_errors_are_the_same_with_a_pilot(options):
    x = series("jumps", 100, 12)
    with pytest.raises(Exception) as want:
        _kernels.scan_arrays(x, **options)
    with pytest.raises(Exception) as got:
        _kernels.scan_arrays(x, pilot=2.0, **options)
    assert type(got.value) is type(want.value) and str(got.value) == str(want.value)
