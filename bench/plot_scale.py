"""How long a plot and a report of a long series take, and how close the thinned plot looks to
the plot of every value.

    python bench/plot_scale.py [--n 10000000] [--out build/bench-plots]

Detects the changes of a series of ``--n`` values (three changes: mean, spread, mean), then
times, each the median of three:
- ``plot_detection`` of the Nile's 100 values, for scale (matplotlib's own cost);
- ``plot_detection`` as drawn by default (reported changes, the series thinned per pixel column)
  and saved as PNG, and with ``leaders=True``;
- the same figure with the line set back to every value, saved as PNG (matplotlib's own path
  simplification is all that helps it);
- ``report_html``, and the page's size.
Then compares the thinned and the full pictures pixel by pixel at 2*10^5 and 10^6 values (the
same detection's marks): the share of pixels that differ at all, and by more than a quarter of
the range. The PNGs are written to ``--out`` to be looked at.
"""

from __future__ import annotations

import argparse
import dataclasses
import statistics
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402

import vollan  # noqa: E402
from vollan.plot import plot_detection  # noqa: E402


def series(n: int) -> np.ndarray:
    rng = np.random.default_rng(11)
    x = rng.normal(size=n)
    x[n // 4 :] += 1.0
    x[n // 2 :] *= 2.0
    x[3 * n // 4 :] -= 3.0
    return x


def median_time(f, repeats: int = 3) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def pixels(fig) -> np.ndarray:
    canvas = FigureCanvasAgg(fig)
    canvas.draw()
    return np.asarray(canvas.buffer_rgba())[..., :3].astype(int)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10_000_000)
    parser.add_argument("--out", type=Path, default=Path("build/bench-plots"))
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    x = series(args.n)
    start = time.perf_counter()
    found = vollan.detect(x)
    print(
        f"detect: {time.perf_counter() - start:.1f} s, {len(found.change_points)} changes, "
        f"{len(found.leaders)} leaders"
    )

    png = args.out / f"plot_{args.n}.png"
    default = median_time(lambda: plot_detection(x, found, path=png))
    with_leaders = median_time(
        lambda: plot_detection(x, found, leaders=True, path=args.out / f"leaders_{args.n}.png")
    )

    def every_value() -> None:
        fig = plot_detection(x, found)
        fig.axes[0].get_lines()[0].set_data(np.arange(args.n), x)
        fig.savefig(args.out / f"every_{args.n}.png", dpi=110)

    full = median_time(every_value, repeats=1)
    nile = vollan.datasets.load_nile()
    nile_found = vollan.detect(nile.values)
    baseline = median_time(
        lambda: plot_detection(nile.values, nile_found, path=args.out / "nile.png")
    )
    print(f"| plot of {args.n:,} values | seconds |")
    print("|---|---|")
    print(f"| the Nile's 100 values, for scale | {baseline:.2f} |")
    print(f"| thinned, reported changes (default) | {default:.2f} |")
    print(f"| thinned, every leader (`leaders=True`) | {with_leaders:.2f} |")
    print(f"| every value (one run) | {full:.2f} |")
    try:
        from vollan.report import report_html
    except ImportError:
        print("(no report: plotly is not installed)")
    else:
        page: list[str] = []
        seconds = median_time(lambda: page.append(report_html(x, found)))
        print(f"| report page | {seconds:.2f} ({len(page[-1]) / 1e6:.1f} MB) |")
        (args.out / f"report_{args.n}.html").write_text(page[-1], encoding="utf-8")

    print()
    print("| n | pixels that differ | by more than 64/255 | mean difference (/255) |")
    print("|---|---|---|---|")
    small = vollan.detect(series(2000))
    for n in (200_000, 1_000_000):
        values = series(n)
        scaled = dataclasses.replace(small, n_obs=n)
        fig = plot_detection(values, scaled)
        thinned = pixels(fig)
        fig.axes[0].get_lines()[0].set_data(np.arange(n), values)
        every = pixels(fig)
        differ = np.abs(thinned - every).max(axis=2)
        print(
            f"| {n:,} | {(differ > 0).mean():.2%} | {(differ > 64).mean():.3%} | "
            f"{differ.mean():.3f} |"
        )


if __name__ == "__main__":
    main()
