"""Plots render headless and show what the detection found."""

from __future__ import annotations

import dataclasses

import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

import numpy as np  # noqa: E402
from matplotlib.colors import to_rgba  # noqa: E402

import vollan  # noqa: E402
from vollan.api import detect  # noqa: E402
from vollan.datasets import load_nile  # noqa: E402
from vollan.plot import plot_detection, plot_windows  # noqa: E402

PNG = b"\x89PNG\r\n\x1a\n"
NILE = load_nile()
FOUND = detect(NILE.values, labels=NILE.labels)


def vertical_lines(ax, colour):
    return [
        line
        for line in ax.get_lines()
        if len(set(line.get_xdata())) == 1 and to_rgba(line.get_color()) == to_rgba(colour)
    ]


def tick_texts(fig, ax):
    fig.canvas.draw()
    return [t.get_text() for t in ax.get_xticklabels() if t.get_text()]


@pytest.mark.parametrize("leaders", [False, True])
def test_detection_plot_file_and_axes(tmp_path, leaders):
    path = tmp_path / "nile.png"
    fig = plot_detection(NILE.values, FOUND, labels=NILE.labels, path=path, leaders=leaders)
    assert path.read_bytes()[:8] == PNG
    ax, ax_cdf = fig.axes
    # One red line per reported change point; one grey per other leader when asked for.
    red = vertical_lines(ax, "tab:red")
    assert [line.get_xdata()[0] for line in red] == list(FOUND.change_points)
    others = len(FOUND.leaders) - len(FOUND.change_points)
    assert others > 0
    grey = [
        segment[0][0]
        for collection in ax.collections
        if to_rgba(collection.get_color()[0]) == to_rgba("0.55")
        for segment in collection.get_segments()
    ]
    assert grey == ([x.index for x in FOUND.leaders if not x.reported] if leaders else [])
    (text,) = [t.get_text() for t in ax.texts]
    assert text.split("\n")[0] == "1899" and text.split("\n")[1].startswith("mean")
    # The CDF steps up at each leader and ends at the last cumulative probability.
    step = ax_cdf.get_lines()[0]
    assert list(step.get_xdata()) == [0, *(i for i, _ in FOUND.cdf), 99]
    assert step.get_ydata()[-1] == FOUND.cdf[-1][1]
    # The x axis speaks in years.
    assert set(tick_texts(fig, ax_cdf)) <= {str(y) for y in NILE.labels}
    assert "1891" in tick_texts(fig, ax_cdf)


@pytest.mark.parametrize("leaders", [False, True])
def test_a_change_found_after_the_vote_is_drawn_and_the_vote_steps_where_it_voted(leaders):
    # The Shanghai licence series' changes are bends of the trend (at 140, and at 183 seen by
    # the doubled width), found by the slope stage with no votes: they have no step in the
    # cumulative share, which the vote's leaders make.
    series = vollan.datasets.load_shanghai_license()
    found = detect(series.values, labels=series.labels)
    assert [c.stage for c in found.changes] == ["slope", "slope"]
    fig = plot_detection(series.values, found, labels=series.labels, leaders=leaders)
    ax, ax_cdf = fig.axes
    assert [line.get_xdata()[0] for line in vertical_lines(ax, "tab:red")] == [
        c.index for c in found.changes
    ]
    dots = [
        (float(px), float(py))
        for line in ax_cdf.get_lines()[1:]
        for px, py in zip(line.get_xdata(), line.get_ydata(), strict=True)
    ]
    voted = [x for x in found.leaders if x.stage == "vote"]
    assert len(voted) == len(found.cdf)
    shown = [
        (float(i), c) for (i, c), x in zip(found.cdf, voted, strict=True) if leaders or x.reported
    ]
    assert sorted(dots) == sorted(shown)


def test_each_change_shades_its_interval():
    rng = np.random.default_rng(7)
    values = np.r_[rng.normal(0, 1, 200), rng.normal(4, 1, 200), rng.normal(4, 3, 200)]
    found = detect(values)
    changes = found.changes
    assert len(changes) > 1
    fig = plot_detection(values, found)
    shaded = [
        (p.get_x(), p.get_x() + p.get_width())
        for p in fig.axes[0].patches
        if to_rgba(p.get_facecolor())[:3] == to_rgba("tab:red")[:3]
    ]
    # Each value's slot is one wide, centred on its position: the closed interval [lo, hi]
    # covers lo - 0.5 .. hi + 0.5.
    assert shaded == [(c.interval[0] - 0.5, c.interval[1] + 0.5) for c in changes]
    assert all(lo <= c.index <= hi for c, (lo, hi) in zip(changes, shaded, strict=True))


def test_pandas_index_labels_the_axis(tmp_path):
    pd = pytest.importorskip("pandas")
    series = pd.Series(NILE.values, index=[f"y{y}" for y in NILE.labels])
    found = detect(series)
    fig = plot_detection(series, found, path=tmp_path / "p.svg")
    assert (tmp_path / "p.svg").read_text().lstrip().startswith("<?xml")
    assert all(t.startswith("y") for t in tick_texts(fig, fig.axes[1]))
    assert [t.get_text().split("\n")[0] for t in fig.axes[0].texts] == ["y1899"]


def test_windows_plot_shades_every_localised_region(tmp_path):
    path = tmp_path / "w.png"
    fig = plot_windows(NILE.values, FOUND, path=path)
    assert path.read_bytes()[:8] == PNG
    # Four of the twelve sizes scanned, the smallest and the largest among them.
    shown = [int(ax.get_ylabel().removeprefix("w = ")) for ax in fig.axes[1:]]
    assert len(shown) == 4 and shown == sorted(shown)
    assert set(shown) <= set(FOUND.window_sizes)
    assert (shown[0], shown[-1]) == (FOUND.window_sizes[0], FOUND.window_sizes[-1])
    for ax, w in zip(fig.axes[1:], shown, strict=True):
        regions = FOUND.raw["window_results"][w]["localized_regions"]
        assert len(ax.patches) == len(regions)
        statistic = ax.get_lines()[0]
        assert list(statistic.get_ydata()) == FOUND.raw["window_results"][w]["statistics"]


def test_windows_plot_draws_the_scan_in_the_series_units():
    # A series in tiny units is scanned at a power of two (Detection.scale); the plot draws
    # the distances and thresholds back in the series' own units: those of the Nile, scaled.
    tiny = np.asarray(NILE.values) * 2.0**-80
    found = detect(tiny)
    assert found.scale != 1.0
    fig = plot_windows(tiny, found, window_sizes=[found.window_sizes[0]])
    (line, step) = fig.axes[1].get_lines()[:2]
    plain = FOUND.raw["window_results"][found.window_sizes[0]]
    assert list(line.get_ydata()) == [v * 2.0**-80 for v in plain["statistics"]]
    assert list(step.get_ydata()) == [
        v * 2.0**-80 for v in plain["tapered_block_bootstrap_threshold"]
    ]


def test_windows_plot_with_chosen_sizes():
    fig = plot_windows(NILE.values, FOUND, window_sizes=[12])
    assert [ax.get_ylabel() for ax in fig.axes[1:]] == ["w = 12"]
    with pytest.raises(ValueError, match=r"window sizes \[17\] were not scanned"):
        plot_windows(NILE.values, FOUND, window_sizes=[17])


@pytest.mark.parametrize("plot", [plot_detection, plot_windows])
def test_series_must_match_the_detection(plot):
    with pytest.raises(ValueError, match="100"):
        plot(NILE.values[:50], FOUND)


# Readable figures ---------------------------------------------------------------------------

pd_ = pytest.importorskip("pandas")
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.dates import ConciseDateFormatter  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402


def dated_series(n: int = 300):
    rng = np.random.default_rng(5)
    values = np.r_[rng.normal(0.0, 1.0, n // 2), rng.normal(5.0, 1.0, n - n // 2)]
    index = pd_.date_range("2022-01-01", periods=n, freq="D", name="day")
    return pd_.Series(values, index=index, name="close")


def rendered(fig):
    """Draw ``fig`` as saving a PNG would, and the renderer that measured its texts."""
    canvas = FigureCanvasAgg(fig)
    canvas.draw()
    return canvas.get_renderer()


def shown_tick_labels(fig, ax):
    """The tick labels drawn on ``ax``: text and box of each visible one, major and minor."""
    renderer = rendered(fig)
    return [
        (t.get_text(), t.get_window_extent(renderer))
        for t in ax.xaxis.get_ticklabels(which="both")
        if t.get_visible() and t.get_text()
    ]


def overlapping(boxes) -> list[tuple[int, int]]:
    return [
        (i, j)
        for i in range(len(boxes))
        for j in range(i + 1, len(boxes))
        if boxes[i].overlaps(boxes[j])
    ]


@pytest.mark.parametrize("plot", [plot_detection, plot_windows])
def test_a_date_index_gives_one_set_of_concise_date_ticks(plot):
    series = dated_series()
    fig = plot(series, detect(series))
    *upper, lowest = fig.axes
    assert isinstance(lowest.xaxis.get_major_formatter(), ConciseDateFormatter)
    shown = shown_tick_labels(fig, lowest)
    texts = [t for t, _ in shown]
    assert len(texts) >= 4 and len(set(texts)) == len(texts)
    assert not any("00:00:00" in t for t in texts)
    assert overlapping([box for _, box in shown]) == []
    for ax in upper:  # shared x axis: the dates are written once, at the bottom
        assert shown_tick_labels(fig, ax) == []


@pytest.mark.parametrize("length", [12, 40])
def test_long_text_labels_do_not_touch(length):
    labels = [f"{i:0{length}d}" for i in range(len(NILE.values))]
    fig = plot_detection(NILE.values, FOUND, labels=labels)
    shown = shown_tick_labels(fig, fig.axes[1])
    assert len(shown) >= 2
    assert overlapping([box for _, box in shown]) == []


def legend_texts(fig) -> list[str]:
    (legend,) = fig.legends
    return [t.get_text() for t in legend.get_texts()]


def test_legend_explains_every_mark():
    assert legend_texts(plot_detection(NILE.values, FOUND)) == [
        "series",
        "mean between reported changes",
        "reported change (kind, p-value), its interval shaded",
        "cumulative vote share of the leaders",
    ]
    assert "leader of the vote, not reported" in legend_texts(
        plot_detection(NILE.values, FOUND, leaders=True)
    )
    values = list(NILE.values)
    values[60] = 3000.0  # an isolated outlier, left out of the scan
    found = detect(values)
    assert found.outliers == (60,)
    fig = plot_detection(values, found, true_changes=[28])
    assert "outlier, left out of the scan" in legend_texts(fig)
    assert "true segments (shaded alternately)" in legend_texts(fig)
    (crosses,) = [line for line in fig.axes[0].get_lines() if line.get_marker() == "x"]
    assert list(crosses.get_xdata()) == [60] and list(crosses.get_ydata()) == [3000.0]
    windows = legend_texts(plot_windows(values, found, true_changes=[28]))
    assert windows[:2] == ["series", "change point"]
    assert windows[-1] == "true segments (shaded alternately)"


def test_a_series_without_reported_change_has_no_reported_legend_entry():
    flat = np.random.default_rng(2).normal(size=120)
    found = detect(flat, min_score=1.0)
    assert found.change_points == ()
    assert not any(t.startswith("reported") for t in legend_texts(plot_detection(flat, found)))


@pytest.mark.parametrize("plot", [plot_detection, plot_windows])
def test_axis_titles_come_from_the_data(plot):
    series = dated_series()
    found = detect(series)
    fig = plot(series, found)
    assert (fig.axes[0].get_ylabel(), fig.axes[-1].get_xlabel()) == ("close", "day")
    fig = plot(series.to_numpy(), found)
    assert (fig.axes[0].get_ylabel(), fig.axes[-1].get_xlabel()) == ("value", "position")
    fig = plot(series, found, xlabel="trading day", ylabel="EUR")
    assert (fig.axes[0].get_ylabel(), fig.axes[-1].get_xlabel()) == ("EUR", "trading day")


def test_true_change_points_shade_the_true_segments():
    fig = plot_detection(NILE.values, FOUND, true_changes=[28, 60, 100])
    for ax in fig.axes:
        # The true segments lie beneath everything; the changes' intervals above them.
        spans = [p for p in ax.patches if isinstance(p, Rectangle) and p.get_zorder() == 0]
        edges = [(p.get_x(), p.get_x() + p.get_width()) for p in spans]
        assert edges == [(-0.5, 27.5), (27.5, 59.5), (59.5, 99.5)]
        colours = [to_rgba(p.get_facecolor()) for p in spans]
        assert colours[0] == colours[2] != colours[1]
    # The change point found is still drawn, beside the truth.
    assert [line.get_xdata()[0] for line in vertical_lines(fig.axes[0], "tab:red")] == [28]


@pytest.mark.parametrize(
    ("true_changes", "error", "message"),
    [
        ([0], ValueError, "true change point 0 is outside 1..100"),
        ([101], ValueError, "true change point 101 is outside 1..100"),
        ([2.5], TypeError, "true_changes must be positions"),
    ],
)
def test_bad_true_change_points(true_changes, error, message):
    with pytest.raises(error, match=message):
        plot_detection(NILE.values, FOUND, true_changes=true_changes)


def test_annotations_sit_above_the_data():
    values = np.r_[np.zeros(60), np.full(60, 10.0), np.zeros(60)]
    values += np.random.default_rng(4).normal(0.0, 0.5, 180)
    found = detect(values)
    assert len(found.change_points) == 2
    fig = plot_detection(values, found)
    ax = fig.axes[0]
    renderer = rendered(fig)
    top_of_data = ax.transData.transform((0.0, float(values.max())))[1]
    boxes = [t.get_window_extent(renderer) for t in ax.texts]
    assert len(boxes) == 2
    assert all(box.y0 > top_of_data for box in boxes)
    assert all(ax.get_window_extent(renderer).contains(box.x0, box.y0) for box in boxes)


def test_long_titles_fit_the_figure():
    long = "a title far longer than the figure is wide " * 4
    for fig in (plot_detection(NILE.values, FOUND, title=long), plot_detection(NILE.values, FOUND)):
        renderer = rendered(fig)
        title = fig.axes[0].title.get_window_extent(renderer)
        page = fig.bbox
        assert page.x0 <= title.x0 and title.x1 <= page.x1


@pytest.mark.parametrize(("name", "magic"), [("plot", PNG), ("plot.svg", b"<?xml")])
def test_path_is_written_exactly(tmp_path, name, magic):
    plot_detection(NILE.values, FOUND, path=tmp_path / name)
    assert [p.name for p in tmp_path.iterdir()] == [name]
    assert (tmp_path / name).read_bytes().startswith(magic)


def test_unknown_suffix_is_refused_before_drawing(tmp_path):
    with pytest.raises(ValueError, match=r"cannot save a plot as \.txt: matplotlib writes .*\.png"):
        plot_windows(NILE.values, FOUND, path=tmp_path / "p.txt")
    assert list(tmp_path.iterdir()) == []


def pixels(fig) -> np.ndarray:
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    canvas = FigureCanvasAgg(fig)
    canvas.draw()
    return np.asarray(canvas.buffer_rgba())[..., :3].astype(int)


def test_a_long_series_is_thinned_and_looks_the_same():
    n = 200_000
    values = np.random.default_rng(5).normal(size=n)
    values[n // 3 :] += 3.0
    values[n // 2 : n // 2 + 4000] = np.nan
    # The Nile's detection stands in for one of this length: only its marks are drawn.
    found = dataclasses.replace(FOUND, n_obs=n)
    fig = plot_detection(values, found)
    line = fig.axes[0].get_lines()[0]
    assert len(line.get_xdata()) <= 4 * 2000 < n
    assert np.nanmax(line.get_ydata()) == np.nanmax(values)
    assert "smallest and largest of every 100 values" in legend_texts(fig)[0]
    thinned = pixels(fig)
    line.set_data(np.arange(n), values)
    every = pixels(fig)
    differ = np.abs(thinned - every).max(axis=2)
    # Only antialiased tips of the envelope may differ, and only faintly.
    assert (differ > 64).mean() < 0.002
    assert differ.mean() < 0.5


def test_plot_columns_draws_a_frames_dates_with_a_legend(tmp_path):
    pd = pytest.importorskip("pandas")
    from vollan.plot_columns import plot_columns

    rng = np.random.default_rng(0)
    days = pd.date_range("2024-01-01", periods=300, freq="D", name="day")
    frame = pd.DataFrame(
        {"sales": np.r_[np.zeros(150), np.full(150, 3.0)] + rng.normal(size=300)}, index=days
    )
    found = vollan.detect_columns(frame)
    fig = plot_columns(frame, found, path=tmp_path / "columns")
    assert (tmp_path / "columns").read_bytes()[:8] == PNG
    ax = fig.axes[0]
    line = ax.get_lines()[0]
    # Drawn against the dates, not positions: matplotlib's day numbers of 2024-01-01 on.
    assert line.get_xdata()[0] == matplotlib.dates.date2num(days[0].to_pydatetime())
    assert "2024" in tick_texts(fig, ax) and ax.get_xlabel() == "day"
    (change,) = found["sales"].change_points
    assert [line.get_xdata()[0] for line in vertical_lines(ax, "tab:red")] == [
        matplotlib.dates.date2num(days[change].to_pydatetime())
    ]
    assert legend_texts(fig) == ["values", "reported change", "its confidence interval"]
