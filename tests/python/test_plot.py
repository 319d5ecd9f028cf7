"""Plots render headless and show what the detection found."""

from __future__ import annotations

import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

from matplotlib.colors import to_rgba  # noqa: E402

from vollan.api import detect  # noqa: E402
from vollan.datasets import load_nile, load_shanghai_license  # noqa: E402
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


def test_detection_plot_file_and_axes(tmp_path):
    path = tmp_path / "nile.png"
    fig = plot_detection(NILE.values, FOUND, labels=NILE.labels, path=path)
    assert path.read_bytes()[:8] == PNG
    ax, ax_cdf = fig.axes
    # One red line per reported change point, one grey per other leader.
    red = vertical_lines(ax, "tab:red")
    assert [line.get_xdata()[0] for line in red] == list(FOUND.change_points)
    assert len(vertical_lines(ax, "0.55")) == len(FOUND.leaders) - len(FOUND.change_points)
    texts = [t.get_text() for t in ax.texts]
    assert texts == [f"1899\np = {FOUND.probabilities[28]:.2f}"]
    # The CDF steps up at each leader and ends at the last cumulative probability.
    step = ax_cdf.get_lines()[0]
    assert list(step.get_xdata()) == [0, *(i for i, _ in FOUND.cdf), 99]
    assert step.get_ydata()[-1] == FOUND.cdf[-1][1]
    # The x axis speaks in years.
    assert set(tick_texts(fig, ax_cdf)) <= {str(y) for y in NILE.labels}
    assert "1891" in tick_texts(fig, ax_cdf)


def test_line_width_grows_with_probability():
    series = load_shanghai_license()
    found = detect(series.values, labels=series.labels, min_score=0.0)
    fig = plot_detection(series.values, found, labels=series.labels)
    widths = {
        line.get_xdata()[0]: line.get_linewidth() for line in vertical_lines(fig.axes[0], "tab:red")
    }
    probs = found.probabilities
    ordered = sorted(probs, key=probs.get)
    assert [widths[i] for i in ordered] == sorted(widths.values())
    assert widths[ordered[-1]] > widths[ordered[0]]


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


def test_windows_plot_with_chosen_sizes():
    fig = plot_windows(NILE.values, FOUND, window_sizes=[12])
    assert [ax.get_ylabel() for ax in fig.axes[1:]] == ["w = 12"]
    with pytest.raises(ValueError, match=r"window sizes \[17\] were not scanned"):
        plot_windows(NILE.values, FOUND, window_sizes=[17])


@pytest.mark.parametrize("plot", [plot_detection, plot_windows])
def test_series_must_match_the_detection(plot):
    with pytest.raises(ValueError, match="100"):
        plot(NILE.values[:50], FOUND)
