"""What a ruptures user looks for: a known number of changes, a minimum segment length,
breakpoints ending with n, and several series side by side (``detect_columns``; ``detect``
itself keeps refusing two dimensions)."""

from __future__ import annotations

import numpy as np
import pytest

import vollan
from vollan.datasets import simulate


def three_steps() -> np.ndarray:
    # Jumps of 4, 0.8 and 4.2 noise sd at 150, 300 and 450: the small one is too small for the
    # windows, and is found over the whole stretch between the others (at 301).
    rng = np.random.default_rng(5)
    return np.repeat([0.0, 4.0, 4.8, 9.0], 150) + rng.normal(size=600)


@pytest.mark.parametrize(
    ("n_changes", "expected"),
    # The order is the p-values': the two jumps by the stretches between their neighbours
    # (1e-97 at 150, over 150 and 151 values, and 1e-67 at 450, over 149 and 150), then the
    # small step (0.004). A fourth goes to the strongest leader the scan can tell apart from
    # the three (320), not to 299, which is the change at 301 placed again.
    [(0, ()), (1, (150,)), (2, (150, 450)), (3, (150, 301, 450)), (4, (150, 301, 320, 450))],
)
def test_n_changes_reports_the_strongest(n_changes, expected):
    assert vollan.detect(three_steps(), n_changes=n_changes).change_points == expected


def test_n_changes_goes_to_changes_the_scan_can_tell_apart():
    # Jumps at 300, 600 and 900, the last small: the rules report two, and two of the scan's
    # leaders (593 and 600) are one change placed twice; the third goes elsewhere.
    rng = np.random.default_rng(33)
    x = np.r_[
        rng.normal(0, 1, 300),
        rng.normal(1.5, 1, 300),
        rng.normal(0, 1, 300),
        rng.normal(0.35, 1, 300),
    ]
    assert len(vollan.detect(x).change_points) == 2
    found = vollan.detect(x, n_changes=3)
    points = found.change_points
    assert len(points) == 3
    assert all(b - a >= min(found.window_sizes) for a, b in zip(points, points[1:], strict=False))


def test_n_changes_beyond_the_leaders_reports_every_leader():
    with pytest.warns(UserWarning, match="50 changes were asked for; the series has 8 "):
        found = vollan.detect(three_steps(), n_changes=50)
    assert found.note is not None and found.note.startswith("50 changes were asked for")
    assert found.change_points == tuple(x.index for x in found.leaders)
    assert all(x.reported for x in found.leaders)


@pytest.mark.parametrize(
    ("min_size", "n_changes", "expected"),
    [
        (1, None, (150, 301, 450)),
        # Segments of exactly min_size are allowed; 301 is 149 from the stronger 450.
        (150, None, (150, 450)),
        (151, None, (301,)),  # 150 and 450 are 150 values from an end
        (100, 4, (150, 301, 450)),  # 299 is 2 from 301, which is stronger
        (160, 3, (301,)),
    ],
)
def test_min_size_keeps_change_points_apart_and_from_the_ends(min_size, n_changes, expected):
    if n_changes is not None and len(expected) < n_changes:
        # Fewer can be told apart than were asked for: the note says so, and a warning too.
        with pytest.warns(UserWarning, match=f"the series has {len(expected)} candidates"):
            found = vollan.detect(three_steps(), min_size=min_size, n_changes=n_changes)
    else:
        found = vollan.detect(three_steps(), min_size=min_size, n_changes=n_changes)
    assert found.change_points == expected


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("family", ["mean_steps", "variance_change", "t3_shifts"])
def test_selection_properties_on_simulated_series(family, seed):
    x = simulate(family, seed=seed).values
    default = vollan.detect(x, seed=seed)
    k = len(default.change_points)
    # As many as the rules report: the same ones; None leaves the result as it was.
    assert vollan.detect(x, seed=seed, n_changes=k) == default
    assert vollan.detect(x, seed=seed, n_changes=None, min_size=None) == default
    # The strongest k + 1 hold the strongest k.
    more = vollan.detect(x, seed=seed, n_changes=k + 1)
    assert set(default.change_points) <= set(more.change_points)
    assert len(more.change_points) == min(k + 1, len(more.leaders))
    # min_size: every segment at least that long, and only leaders that were reported before.
    for size in (1, 25, 120):
        spaced = vollan.detect(x, seed=seed, min_size=size)
        bounds = spaced.breakpoints()
        assert all(b - a >= size for a, b in zip([0, *bounds[:-1]], bounds, strict=True))
        assert set(spaced.change_points) <= set(default.change_points)
        assert spaced.labels == spaced.change_points
        assert [x.index for x in spaced.leaders if x.reported] == list(spaced.change_points)


def test_n_changes_reports_on_a_series_too_short_to_judge():
    x = np.r_[np.zeros(20), np.full(20, 5.0)] + np.random.default_rng(1).normal(0, 0.1, 40)
    # Too short for contrasts, and a change of spread alone has no test there.
    plain = vollan.detect(x, change_type="var")
    assert plain.change_points == () and plain.note.startswith("nothing is reported")
    found = vollan.detect(x, change_type="var", n_changes=1)
    assert found.change_points == (20,) and found.note is None


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"n_changes": -1}, ValueError, "n_changes must be at least 0, got -1"),
        ({"min_size": 0}, ValueError, "min_size must be at least 1, got 0"),
        ({"n_changes": 2.0}, TypeError, "n_changes must be an integer or None, not float"),
        ({"min_size": True}, TypeError, "min_size must be an integer or None, not bool"),
        ({"min_size": "5"}, TypeError, "min_size must be an integer or None, not str"),
    ],
)
def test_bad_selection_is_refused_before_the_scan(options, error, message):
    with pytest.raises(error, match=message):
        vollan.detect(three_steps(), **options)


def test_numpy_integers_are_accepted():
    found = vollan.detect(three_steps(), n_changes=np.int64(1), min_size=np.int32(10))
    assert found.change_points == (150,)


def test_breakpoints_end_with_the_length_of_the_series():
    series = [0.0] * 3 + list(three_steps()) + [float("nan")] * 2
    found = vollan.detect(series)
    assert found.breakpoints() == [153, 304, 453, 605]
    assert vollan.detect(np.zeros(30) + np.arange(30) % 2).breakpoints() == [30]


def test_two_dimensional_array_is_detected_column_by_column():
    a, b = simulate("mean_steps", seed=1).values[:600], three_steps()
    found = vollan.detect_columns(np.column_stack([a, b]), seed=3, n_changes=2)
    assert isinstance(found, list) and len(found) == 2
    assert found == [vollan.detect(a, seed=3, n_changes=2), vollan.detect(b, seed=3, n_changes=2)]
    single = vollan.detect_columns(b.reshape(-1, 1))
    assert single == [vollan.detect(b)]
    assert vollan.detect_columns(np.empty((40, 0))) == []


def test_masked_columns_keep_their_mask():
    x = np.ma.masked_array(np.column_stack([three_steps(), three_steps()]))
    x[10, 1] = np.ma.masked
    first, second = vollan.detect_columns(x)
    assert first.n_omitted == 0 and second.n_omitted == 1


def test_dataframe_is_detected_column_by_column_with_its_index_as_labels():
    pd = pytest.importorskip("pandas")
    nile = vollan.datasets.load_nile()
    frame = pd.DataFrame(
        {"flow": nile.values, "reversed": nile.values[::-1]}, index=list(nile.labels)
    )
    found = vollan.detect_columns(frame)
    assert list(found) == ["flow", "reversed"]
    assert found["flow"] == vollan.detect(frame["flow"])
    assert found["flow"].labels == (1899,)
    assert found["reversed"].labels == (1943,)


def test_dataframe_with_repeated_column_names_is_refused():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(np.zeros((50, 2)), columns=["a", "a"])
    with pytest.raises(ValueError, match="distinct column names, got \\['a', 'a'\\]"):
        vollan.detect_columns(frame)


@pytest.mark.parametrize("shape", [(50,), (5, 4, 3), (2, 2, 2, 2)])
def test_detect_columns_needs_two_dimensions(shape):
    with pytest.raises(ValueError, match=r"table must be two-dimensional \(one series per col"):
        vollan.detect_columns(np.zeros(shape))
    # A list is no table, whatever it holds: asarray says how its rows become columns.
    with pytest.raises(TypeError, match=r"^table must be a 2-D numpy array .* not list; pass"):
        vollan.detect_columns(list(np.zeros(shape)))


def test_plot_columns_stacks_one_panel_per_column(tmp_path):
    pytest.importorskip("matplotlib")
    from vollan.plot_columns import plot_columns

    x = np.column_stack([three_steps(), three_steps()[::-1], np.zeros(600)])
    found = vollan.detect_columns(x)
    fig = plot_columns(x, found, path=tmp_path / "columns.png")
    assert len(fig.axes) == 3
    # The red lines of each panel are its change points.
    for ax, detection in zip(fig.axes, found, strict=True):
        lines = [tuple(line.get_xdata()) for line in ax.lines[1:]]
        assert lines == [(c, c) for c in detection.change_points]
    assert (tmp_path / "columns.png").stat().st_size > 0
    assert fig.axes[0].get_title() == "change points per column (0: 3, 1: 3, 2: 0)"


def test_plot_columns_refuses_results_of_other_columns():
    pd = pytest.importorskip("pandas")
    pytest.importorskip("matplotlib")
    from vollan.plot_columns import plot_columns

    frame = pd.DataFrame({"a": three_steps(), "b": three_steps()})
    found = vollan.detect_columns(frame)
    with pytest.raises(ValueError, match=r"detections are keyed \['a'\] but the columns are"):
        plot_columns(frame, {"a": found["a"]})
    with pytest.raises(ValueError, match="1 detections for 2 columns"):
        plot_columns(frame.to_numpy(), [found["a"]])
    with pytest.raises(ValueError, match="table must be two-dimensional"):
        plot_columns(three_steps(), [found["a"]])
