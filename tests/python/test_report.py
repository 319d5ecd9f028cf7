"""The HTML report: one self-contained page, checked as text and as a browser draws it."""

from __future__ import annotations

import dataclasses
import re
import shutil
import subprocess

import numpy as np
import pytest

pytest.importorskip("plotly", reason="the report needs plotly: pip install 'vollan[report]'")

import vollan  # noqa: E402
from vollan.report import _shown_positions, report_html, write_report  # noqa: E402

NILE = vollan.datasets.load_nile()
FOUND = vollan.detect(NILE.values, labels=NILE.labels)


def three_changes():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(7)
    values = np.r_[rng.normal(0, 1, 200), rng.normal(4, 1, 200), rng.normal(4, 3, 200)]
    values = np.r_[values, rng.normal(0, 1, 200)]
    days = pd.date_range("2023-03-01", periods=len(values), freq="D", name="day")
    return pd.Series(values, index=days, name="sales")


def test_the_page_holds_its_script_the_table_and_the_options():
    page = report_html(NILE.values, FOUND, labels=NILE.labels, options={"file": "nile.csv"})
    # Self-contained: plotly's script is inside, nothing is fetched.
    assert not re.search(r"<script[^>]+src=", page)
    assert "Plotly.newPlot" in page and len(page) > 1_000_000
    (change,) = FOUND.changes
    assert "<td>1899</td><td>mean</td>" in page
    # The marker's hover text, in the chart's JSON (which escapes < and /).
    hover = re.search(r'"hovertext":\["(.*?)"\]', page).group(1)
    hover = hover.replace("\\u003c", "<").replace("\\u003e", ">").replace("\\u002f", "/")
    assert hover.startswith("<b>mean</b> at 1899 (index 28)<br>p-value ")
    assert f"90% interval {change.interval[0]}-{change.interval[1]}<br>" in hover
    assert "<tr><td>file</td><td>nile.csv</td></tr>" in page
    assert "<tr><td>window sizes</td><td>10..25 (12 sizes)</td></tr>" in page


def test_a_long_series_keeps_every_value_near_its_changes_only():
    n = 400_000
    values = np.random.default_rng(3).normal(size=n)
    found = dataclasses.replace(FOUND, n_obs=n)  # the Nile's marks on a long series
    (change,) = found.changes
    shown = _shown_positions(n, values, found.changes)
    lo, hi = change.interval
    near = np.arange(max(0, lo - 500), hi + 501)
    assert np.isin(near, shown).all()
    assert np.all(np.diff(shown) > 0) and len(shown) <= 4 * 4000 + len(near) < n
    assert values[shown].max() == values.max() and values[shown].min() == values.min()
    page = report_html(values, found)
    assert len(page) < len(report_html(NILE.values, FOUND)) + 1_500_000
    assert "series (thinned away from the changes)" in page
    with pytest.raises(ValueError, match="the series has 99 values but the detection"):
        report_html(NILE.values[:99], FOUND)


def test_detection_writes_its_page(tmp_path):
    series = three_changes()
    found = vollan.detect(series)
    found.to_html(tmp_path / "report.html", series)
    page = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>")
    assert page.count("<tr><td>") >= len(found.changes)
    # Dates label the changes as people write them.
    assert re.search(r"<td>2023-\d\d-\d\d</td>", page)


BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")


def browse(tmp_path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [
            BROWSER,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--hide-scrollbars",
            f"--user-data-dir={tmp_path / 'profile'}",
            "--enable-logging=stderr",
            "--v=0",
            "--virtual-time-budget=10000",
            *args,
        ],
        capture_output=True,
        text=True,
        timeout=180,
        check=True,
    )


@pytest.mark.skipif(
    BROWSER is None, reason="chromium is not installed (tools/ensure_chromium.sh installs it)"
)
def test_a_browser_draws_the_page(tmp_path):
    series = three_changes()
    found = vollan.detect(series)
    changes = found.changes
    assert len(changes) >= 2
    page = tmp_path / "report.html"
    write_report(page, series, found)
    loaded = browse(tmp_path, "--dump-dom", page.as_uri())
    # The page's scripts ran without a word on the console (errors land there).
    assert [line for line in loaded.stderr.splitlines() if ":CONSOLE" in line] == []
    dom = loaded.stdout
    assert 'class="main-svg"' in dom
    # One marker per change, and per change its shaded interval and its line.
    markers = dom.split('class="trace scatter tracechanges"', 1)[1].split('class="trace ', 1)[0]
    assert markers.count('class="point"') == len(changes)
    assert dom.count('class="shape-group"') == 2 * len(changes)
    assert dom.count("<td>variance</td>") + dom.count("<td>mean</td>") == len(changes)
    shot = tmp_path / "report.png"
    browse(tmp_path, f"--screenshot={shot}", "--window-size=1280,1300", page.as_uri())
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    image = pytest.importorskip("PIL.Image")
    pixels = np.asarray(image.open(shot).convert("RGB")).astype(int)
    red = (abs(pixels - (214, 39, 40)).sum(axis=2) < 40).sum()
    blue = (abs(pixels - (31, 119, 180)).sum(axis=2) < 40).sum()
    assert red > 100 and blue > 1000  # the markers and lines of the changes, the series
