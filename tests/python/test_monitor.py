"""vollan.Monitor and `vollan watch`: the windows' statistic against a plain numpy reference,
chunking and checkpoint invariance, bounded state, refused input, and the command end to end."""

from __future__ import annotations

import doctest
import inspect
import json
import math
import pickle
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vollan
from vollan import _kernels
from vollan.monitor import StreamWindows, gev_quantile, warmup_length

# Small monitors calibrate in a fraction of a second; a low false_alarm_every makes the
# restarts after changes (true or false) frequent enough to be exercised.
SMALL = dict(window_sizes=(4, 8, 16), warmup=64, false_alarm_every=300, seed=5)


def lane_sum(terms):
    """Term i added to lane i % 4, in order; (lane 0 + lane 1) + (lane 2 + lane 3)."""
    lanes = [0.0, 0.0, 0.0, 0.0]
    for i, term in enumerate(terms.tolist()):
        lanes[i % 4] += term
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3])


def reference_statistics(values, sizes, change_type, low, high):
    """The windows' statistic, sorted afresh at every value, summed in the core's four lanes."""
    v = np.clip(np.asarray(values, dtype=np.float64), low, high) + 0.0
    out = np.full((len(v), len(sizes)), np.nan)
    for j in range(len(v)):
        for k, w in enumerate(sizes):
            if j + 1 < 2 * w:
                continue
            left = np.sort(v[j + 1 - 2 * w : j + 1 - w])
            right = np.sort(v[j + 1 - w : j + 1])
            if change_type == "distribution":
                out[j, k] = lane_sum(np.abs(left - right)) / w
            elif change_type == "mean":
                out[j, k] = abs(lane_sum(right) - lane_sum(left)) / w
            else:
                ml, mr = lane_sum(left) / w, lane_sum(right) / w
                out[j, k] = lane_sum(np.abs((left - ml) - (right - mr))) / w
    return out


def series_with_changes(seed: int, n: int = 1500) -> np.ndarray:
    rng = np.random.default_rng(seed)
    a, b = n // 3, 2 * n // 3
    return np.r_[rng.normal(0, 1, a), rng.normal(2.5, 1, b - a), rng.normal(2.5, 3, n - b)]


@pytest.mark.parametrize("change_type", ["distribution", "mean", "var"])
@pytest.mark.parametrize("law", ["normal", "ties"])
def test_statistic_equals_the_numpy_reference_bit_for_bit(change_type, law):
    rng = np.random.default_rng(11)
    values = rng.normal(size=400) if law == "normal" else rng.integers(-3, 4, 400) * 0.5
    values[::37] = -0.0
    sizes, low, high = (1, 3, 8, 25), -1.7, 2.2
    kernel = StreamWindows(sizes, change_type, low, high)
    got = np.vstack(
        [kernel.statistics(part, np.arange(len(part))) for part in np.split(values, [5, 90, 91])]
    )
    want = reference_statistics(values, sizes, change_type, low, high)
    assert np.array_equal(got.view(np.int64), want.view(np.int64))


def test_kernel_refuses_non_finite_values_and_keeps_its_windows():
    kernel = StreamWindows((2, 3), "distribution", -10.0, 10.0)
    kernel.statistics(np.arange(7.0), np.arange(7))
    before = kernel.contents()
    with pytest.raises(ValueError, match="values must be finite"):
        kernel.statistics(np.array([1.0, np.inf]), np.arange(2))
    after = kernel.contents()
    assert np.array_equal(before[0], after[0]) and np.array_equal(before[1], after[1])
    with pytest.raises(TypeError, match="values must hold float64"):
        _kernels.stream_statistics(kernel._handle, np.arange(2), np.arange(2), np.empty(4))
    with pytest.raises(ValueError, match="ascending and distinct"):
        StreamWindows((3, 2), "mean", 0.0, 1.0)


@pytest.mark.parametrize("change_type", ["distribution", "mean", "var"])
def test_watch_alarms_where_every_statistic_computed_afresh_says(change_type):
    # watch's alarms (value, size and z), over calls of any lengths that go on after each alarm,
    # are those of the statistics computed at every value.
    rng = np.random.default_rng(12)
    values = np.r_[rng.normal(size=3000), rng.normal(0.8, 1, 300), rng.normal(0, 2.5, 300)]
    values = np.r_[values, rng.standard_t(2, size=3000)]
    sizes, low, high = (3, 8, 25), -4.0, 4.0
    stats = StreamWindows(sizes, change_type, low, high).statistics(values, np.arange(len(values)))
    center, scale = np.nanmean(stats[:3000], axis=0), np.nanstd(stats[:3000], axis=0)
    z = np.where(np.isnan(stats), -np.inf, (stats - center) / scale)
    threshold = 3.5
    want, at = [], 0
    for j in np.flatnonzero(z.max(axis=1) > threshold).tolist():
        k = int(np.argmax(z[j]))
        want.append((j, k, float(z[j, k])))
    kernel = StreamWindows(sizes, change_type, low, high)
    got = []
    while at < len(values):
        step = int(rng.integers(1, 400))
        part = slice(at, min(at + step, len(values)))
        consumed, k, zk = kernel.watch(
            values[part], np.arange(part.start, part.stop), center, scale, threshold
        )
        at += consumed
        if k >= 0:
            got.append((at - 1, k, zk))
    assert len(want) > 20
    assert [(j, k) for j, k, _ in got] == [(j, k) for j, k, _ in want]
    assert np.array_equal(
        np.array([x for *_, x in got]).view(np.int64),
        np.array([x for *_, x in want]).view(np.int64),
    )


def test_gev_quantile_recovers_a_gumbel_law():
    # Maxima of 200 exponentials are Gumbel(log 200, 1): the 0.99 quantile is log 200 + 4.60.
    rng = np.random.default_rng(2)
    maxima = rng.exponential(size=(4000, 200)).max(axis=1)
    assert gev_quantile(maxima, 0.99) == pytest.approx(
        math.log(200) - math.log(-math.log(0.99)), abs=0.15
    )


def changes_of(monitor, pieces):
    found = []
    for piece in pieces:
        found += monitor.update(piece)
    return found


@settings(max_examples=8, deadline=None)
@given(cuts=st.lists(st.integers(0, 1500), max_size=12))
def test_any_chunking_gives_the_same_changes(cuts):
    series = series_with_changes(1)
    whole = vollan.Monitor(**SMALL).update(series)
    pieces = np.split(series, sorted(cuts))
    assert changes_of(vollan.Monitor(**SMALL), pieces) == whole
    assert len(whole) >= 2


def test_one_value_at_a_time_gives_the_same_changes():
    series = series_with_changes(2, 700)
    whole = vollan.Monitor(**SMALL).update(series)
    assert changes_of(vollan.Monitor(**SMALL), [float(v) for v in series]) == whole


@pytest.mark.parametrize("stop", [30, 64, 500, 1000, 1499])
def test_pickled_monitor_resumes_with_identical_results(stop):
    series = series_with_changes(3)
    whole = vollan.Monitor(**SMALL).update(series)
    first = vollan.Monitor(**SMALL)
    found = first.update(series[:stop])
    resumed = pickle.loads(pickle.dumps(first))
    found += resumed.update(series[stop:])
    assert found == whole
    assert resumed.position == len(series)
    once = vollan.Monitor(**SMALL)
    once.update(series)
    assert (resumed.watched, resumed.last_warmup) == (once.watched, once.last_warmup)


def ar1(seed: int, n: int, phi: float) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = np.empty(n)
    x[0] = rng.normal() / math.sqrt(1 - phi * phi)
    for t, e in enumerate(rng.normal(size=n - 1).tolist(), start=1):
        x[t] = phi * x[t - 1] + e
    return x


@pytest.mark.parametrize(
    "law, low, high",
    [
        # AR(1) 0.5: long-run variance 4, variance 4/3, so about 3 * 500.
        ("ar 0.5", 1200, 1800),
        ("ar 0.8", 3500, 4000),  # ratio 9: the cap, 8 * 500
        ("random walk", 4000, 4000),
        ("normal", 500, 500),  # the BIC keeps order 0: no dependence, no longer warm-up
        ("ar -0.5", 500, 500),  # alternating values: a mean is learnt faster, never shorter
    ],
)
def test_the_warm_up_grows_with_the_dependence_of_its_first_values(law, low, high):
    if law == "random walk":
        values = np.cumsum(np.random.default_rng(3).normal(size=500))
    elif law == "normal":
        values = np.random.default_rng(3).normal(size=500)
    else:
        values = ar1(3, 500, float(law.split()[1]))
    assert low <= warmup_length(values, 500) <= high


def test_a_dependent_stream_starts_watching_after_the_lengthened_warm_up():
    series = ar1(3, 3000, 0.5)
    length = warmup_length(series[:500], 500)
    assert length > 1000
    monitor = vollan.Monitor(seed=1)
    assert monitor.warmup == 500 and "warmup=None" in repr(monitor)
    monitor.update(series[: length - 1])
    assert monitor.warming_up and monitor.last_warmup == 0
    monitor.update(series[length - 1 : length + 100])
    assert not monitor.warming_up and monitor.last_warmup == length
    assert monitor.watched == 100
    # A jump right after it is found before 2 * 16 new values could fill a window pair: the
    # windows were filled from the end of the lengthened warm-up.
    (change,) = monitor.update(np.full(64, 40.0))
    assert change.index == length + 100 and change.delay < 32
    assert monitor.warming_up and monitor.watched == 100 + change.delay + 1


# The default warm-up with small windows: lengthened warm-ups, quick calibrations.
LENGTHENED = dict(window_sizes=(4, 8, 16), false_alarm_every=300, seed=5)


@settings(max_examples=6, deadline=None)
@given(cuts=st.lists(st.integers(0, 9000), max_size=10))
def test_any_chunking_of_a_dependent_stream_gives_the_same_changes(cuts):
    # Lengthened warm-ups at the start and after each change: each length is decided on the
    # warm-up's first 500 values whatever the pieces.
    series = ar1(4, 9000, 0.6) + np.repeat([0.0, 8.0, -4.0], 3000)
    whole = vollan.Monitor(**LENGTHENED)
    found = whole.update(series)
    assert len(found) >= 2 and whole.last_warmup > 1000
    pieces = np.split(series, sorted(cuts))
    chunked = vollan.Monitor(**LENGTHENED)
    assert changes_of(chunked, pieces) == found
    assert (chunked.watched, chunked.last_warmup) == (whole.watched, whole.last_warmup)


def test_a_given_warm_up_is_kept_as_it_is():
    series = ar1(3, 700, 0.5)
    monitor = vollan.Monitor(warmup=500)
    monitor.update(series)
    assert monitor.last_warmup == 500 and monitor.watched == 200


def three_points(m: int, seed: int = 0) -> np.ndarray:
    """500 values: m of -1, m of +1, zeros between, shuffled; the clip points (5th smallest and
    largest) leave them as they are when m >= 5, and their kurtosis is 500 / (2 m)."""
    values = np.r_[np.full(m, -1.0), np.zeros(500 - 2 * m), np.full(m, 1.0)]
    return np.random.default_rng(seed).permutation(values)


@pytest.mark.parametrize(
    "m, expected",
    [
        (100, 500),  # kurtosis 2.5, lighter than a normal law's
        (76, 500),  # 3.29: within a normal law's 500 values
        (75, 699),  # 3.33: heavy; 500 * 2.333 / 1.67 = 698.6
        (50, 1198),  # 5, as t(3)'s clipped 500 values: 500 * 4 / 1.67 = 1197.6
        (5, 4000),  # 50: at most eight times 500
    ],
)
def test_the_warm_up_grows_with_the_kurtosis_of_its_first_values(m, expected):
    assert warmup_length(three_points(m), 500) == expected


def clipped_kurtosis(values: np.ndarray) -> float:
    ordered = np.sort(values)
    k = math.ceil(len(values) / 100)
    clipped = np.clip(values, ordered[k - 1], ordered[-k])
    x = clipped - clipped.mean()
    return float(np.mean(x**4) / np.mean(x**2) ** 2)


@pytest.mark.parametrize("seed", range(6))
def test_heavy_tailed_warm_ups_are_lengthened_and_normal_ones_kept(seed):
    rng = np.random.default_rng([32, seed])
    heavy, normal = rng.standard_t(3, size=500), rng.normal(size=500)
    assert warmup_length(normal, 500) == 500
    # Independent values: the tails alone lengthen it, by (kurtosis - 1) / (2.67 - 1).
    kurtosis = clipped_kurtosis(heavy)
    assert kurtosis > 3.3
    assert warmup_length(heavy, 500) == min(4000, math.ceil(500 * (kurtosis - 1) / 1.67))
    assert warmup_length(heavy, 500) > 650
    # Dependence and tails multiply: an AR(1) driven by t(3) shocks waits longer than either.
    ar = np.empty(500)
    ar[0] = heavy[0]
    for t in range(1, 500):
        ar[t] = 0.5 * ar[t - 1] + heavy[t]
    assert warmup_length(ar, 500) > warmup_length(ar1(seed, 500, 0.5), 500)


def heavy_tailed_steps(seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return rng.standard_t(3, size=9000) + np.repeat([0.0, 8.0, -4.0], 3000)


def test_a_heavy_tailed_stream_starts_watching_after_the_lengthened_warm_up():
    series = heavy_tailed_steps(5)
    length = warmup_length(series[:500], 500)
    assert length > 700
    monitor = vollan.Monitor(seed=2)
    monitor.update(series[: length - 1])
    assert monitor.warming_up and monitor.last_warmup == 0
    monitor.update(series[length - 1 : length + 50])
    assert not monitor.warming_up and monitor.last_warmup == length
    assert monitor.watched == 50


@settings(max_examples=6, deadline=None)
@given(cuts=st.lists(st.integers(0, 9000), max_size=10))
def test_any_chunking_of_a_heavy_tailed_stream_gives_the_same_changes(cuts):
    series = heavy_tailed_steps(6)
    whole = vollan.Monitor(**LENGTHENED)
    found = whole.update(series)
    # Each restart decides its own warm-up on its first 500 values, whatever the pieces.
    assert len(found) >= 2 and whole.last_warmup > 600
    chunked = vollan.Monitor(**LENGTHENED)
    assert changes_of(chunked, np.split(series, sorted(cuts))) == found
    assert (chunked.watched, chunked.last_warmup) == (whole.watched, whole.last_warmup)


@pytest.mark.parametrize("stop", [499, 500, 501, 900, 2500, 3600])
def test_a_heavy_tailed_monitor_resumes_from_a_pickle_inside_its_warm_up(stop):
    # 500 to 900: the length is decided and the warm-up not yet complete.
    series = heavy_tailed_steps(6)
    whole = vollan.Monitor(**LENGTHENED)
    found = whole.update(series)
    first = vollan.Monitor(**LENGTHENED)
    head = first.update(series[:stop])
    resumed = pickle.loads(pickle.dumps(first))
    assert head + resumed.update(series[stop:]) == found
    assert (resumed.watched, resumed.last_warmup) == (whole.watched, whole.last_warmup)


def test_state_does_not_grow_with_the_stream():
    monitor = vollan.Monitor(window_sizes=(8, 16), warmup=64, false_alarm_every=1e6, seed=1)
    rng = np.random.default_rng(0)
    monitor.update(rng.normal(size=2_000))
    early = len(pickle.dumps(monitor))
    for _ in range(20):
        monitor.update(rng.normal(size=5_000))
    assert not monitor.warming_up
    # The warm-up list is empty, the windows hold 2 * 16 values and their indices.
    assert len(pickle.dumps(monitor)) <= early + 16  # the position is an int: a few bytes more
    assert len(monitor._kernel.contents()[0]) == 32


@pytest.mark.parametrize(
    "bad, error, message",
    [
        (["1.0", 2.0], TypeError, "values must be numbers"),
        ([1.0, math.inf], ValueError, "values must be finite or missing: inf at position 1"),
        ([[1.0, 2.0]], ValueError, "one-dimensional"),
        ([1 + 2j], TypeError, "values must be numbers"),
        ([object()], TypeError, "values must be numbers"),
    ],
)
@pytest.mark.parametrize("after", [30, 200])
def test_bad_values_are_refused_and_leave_the_state_unchanged(bad, error, message, after):
    series = series_with_changes(4, 900)
    monitor = vollan.Monitor(**SMALL)
    monitor.update(series[:after])
    before = pickle.dumps(monitor)
    with pytest.raises(error, match=message):
        monitor.update(bad)
    assert pickle.dumps(monitor) == before
    fresh = vollan.Monitor(**SMALL)
    fresh.update(series[:after])
    assert monitor.update(series[after:]) == fresh.update(series[after:])


def test_missing_values_are_skipped_but_counted():
    series = series_with_changes(5, 900)
    plain = vollan.Monitor(**SMALL).update(series)
    holes = np.insert(series.astype(object), [0, 100, 100, 400], [None, math.nan, None, math.nan])
    found = vollan.Monitor(**SMALL).update(holes)

    def shifted(i):  # position of value i once the four missing values are in
        return i + 1 + 2 * (i >= 100) + (i >= 400)

    assert [(c.index, c.confirmed_at) for c in found] == [
        (shifted(c.index), shifted(c.confirmed_at)) for c in plain
    ]


@pytest.mark.parametrize("unit", [1e-9, 2.0**20])
def test_the_units_do_not_matter(unit):
    series = series_with_changes(6, 900)
    plain = vollan.Monitor(**SMALL).update(series)
    scaled = vollan.Monitor(**SMALL).update(series * unit)
    assert [(c.index, c.confirmed_at, c.kind) for c in scaled] == [
        (c.index, c.confirmed_at, c.kind) for c in plain
    ]
    assert [c.size for c in scaled] == pytest.approx([c.size for c in plain])


def test_after_a_constant_warm_up_any_other_value_is_a_change():
    found = vollan.Monitor(**SMALL).update(np.r_[np.full(100, 3.0), np.full(20, 4.0)])
    assert [(c.index, c.confirmed_at, c.size) for c in found] == [(100, 100, math.inf)]


@pytest.mark.parametrize(
    "options, error, message",
    [
        (dict(change_type="median"), ValueError, "change_type must be one of"),
        (dict(false_alarm_every=10), ValueError, "false_alarm_every must be from 100"),
        (dict(false_alarm_every="1e4"), TypeError, "false_alarm_every must be a number"),
        (dict(warmup=10), ValueError, "warmup must be"),
        (dict(window_sizes=(8, 300)), ValueError, r"warmup // 2 = 250"),
        (dict(window_sizes="8"), TypeError, "window_sizes must be a sequence"),
        (dict(seed=-1), ValueError, "seed must be"),
    ],
)
def test_options_are_checked_by_name(options, error, message):
    with pytest.raises(error, match=message):
        vollan.Monitor(**options)


@pytest.mark.parametrize(
    "law, shift",
    [("normal", "mean"), ("normal", "var")],
)
def test_a_clear_change_is_found_soon_after_it_happens(law, shift):
    rng = np.random.default_rng(9)
    before = rng.normal(0, 1, 3000)
    after = rng.normal(3, 1, 1000) if shift == "mean" else rng.normal(0, 4, 1000)
    found = vollan.Monitor(seed=2).update(np.r_[before, after])
    hits = [c for c in found if c.confirmed_at >= 3000]
    assert hits and hits[0].kind == shift and abs(hits[0].index - 3000) <= 10
    assert hits[0].delay < 64


# The command ---------------------------------------------------------------------------------

WATCH = [sys.executable, "-m", "vollan", "watch"]


def stream_lines(seed: int = 3) -> list[str]:
    rng = np.random.default_rng(seed)
    return [f"{v:.5f}" for v in np.r_[rng.normal(0, 1, 1500), rng.normal(3, 1, 400)]]


@pytest.mark.parametrize("as_json", [False, True])
def test_watch_reports_the_change_and_malformed_lines(tmp_path, as_json):
    lines = stream_lines()
    lines[700], lines[800] = "oops", "NA"
    path = tmp_path / "stream.txt"
    path.write_text("\n".join(lines))  # no final newline: the last line still counts
    done = subprocess.run(
        [*WATCH, str(path), *(["--json"] if as_json else [])], capture_output=True, text=True
    )
    assert done.returncode == 0
    assert done.stderr == "vollan watch: line 701: not a finite number: 'oops'\n"
    out = done.stdout.splitlines()
    assert len(out) == 1
    if as_json:
        change = json.loads(out[0])
        assert change["kind"] == "mean" and abs(change["index"] - 1500) <= 5
        assert set(change) == {
            "index",
            "confirmed_at",
            "kind",
            "size",
            "evidence",
            "threshold",
            "window_size",
        }
    else:
        assert out[0].startswith("change at 15") and ": mean, shift +" in out[0]


def test_watch_prints_a_change_before_its_input_ends_and_stops_on_ctrl_c():
    proc = subprocess.Popen(
        [*WATCH, "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        bufsize=1,
    )
    try:
        printed = None
        for i, line in enumerate(stream_lines()):
            proc.stdin.write(line + "\n")
            proc.stdin.flush()
            if i % 50 == 0:
                time.sleep(0.005)  # a slow producer
            if select.select([proc.stdout], [], [], 0)[0]:
                printed = proc.stdout.readline()
                break
        if printed is None:  # give the last values a moment to reach the monitor
            ready = select.select([proc.stdout], [], [], 20)[0]
            printed = proc.stdout.readline() if ready else None
        assert printed is not None and printed.startswith("change at 15")
        assert proc.poll() is None  # still running: its input has not ended
        proc.send_signal(signal.SIGINT)
        status = proc.wait(timeout=20)
        assert status == 130 and proc.stderr.read() == ""
    finally:
        proc.kill()
        proc.wait()
        for stream in (proc.stdin, proc.stdout, proc.stderr):
            stream.close()


# What users read -----------------------------------------------------------------------------

PAGE = Path(__file__).resolve().parents[2] / "docs" / "streaming.md"


def test_the_guide_pages_example_prints_what_the_page_shows(capsys):
    text = PAGE.read_text()
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    shown = re.search(r"prints\n\n```text\n(.*?)```", text, re.S).group(1)
    exec(compile(code, str(PAGE), "exec"), {})
    assert capsys.readouterr().out == shown


def test_the_monitors_docstring_example_runs():
    doc = inspect.getdoc(vollan.Monitor)
    test = doctest.DocTestParser().get_doctest(doc, {}, "vollan.Monitor", None, 0)
    runner = doctest.DocTestRunner()
    runner.run(test)
    assert test.examples and runner.summarize(verbose=False).failed == 0
