"""The spread pass of vollan.detect on series it was not chosen on: fresh periodic series (the
regimes of bench/periods.py), fresh changes of spread (a noise of one law whose scale changes
once or twice by a factor 1.5-4, up or down), change-free series (bench/level_fresh.py) and
series whose spread grows steadily, with and without a change of spread on top: without the
pass, with its first statistic (the long-run spread of the scores about two parts), with the
present one (about three parts) taking splits where a line through the scores fits as well,
and with the present one; cover and F1 at a margin of 5, and how many reports lie farther than
the margin from every true change.

    python bench/spread_fresh.py [--series 200]
"""

from __future__ import annotations

import argparse
import math

import numpy as np
import protocol
from level_fresh import change_free
from periods import periodic

import vollan
from vollan._families import NOISE


def spread_changes(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    """n 300-3000 values of one noise law whose scale changes once or twice."""
    n = int(rng.integers(300, 3001))
    law = list(NOISE)[int(rng.integers(len(NOISE)))]
    k = int(rng.integers(1, 3))
    cuts = sorted(int(c) for c in rng.choice(np.arange(n // 6, n - n // 6), k, replace=False))
    if k == 2 and cuts[1] - cuts[0] < 50:
        cuts = cuts[:1]
    scale = np.ones(n)
    level = 1.0
    for c in cuts:
        level *= math.exp(rng.choice([-1, 1]) * rng.uniform(math.log(1.5), math.log(4.0)))
        scale[c:] = level
    return NOISE[law](rng, n) * scale, cuts


def growing_spread(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    """n 300-3000 values whose spread grows steadily, no change: noise times a line rising by a
    factor 2-4, noise times an exponential rising as much, a seasonal swing of period 12 that
    widens as much, or a geometric random walk."""
    n = int(rng.integers(300, 3001))
    t = np.arange(n) / n
    factor = rng.uniform(2.0, 4.0)
    kind = int(rng.integers(4))
    if kind == 0:
        return rng.normal(size=n) * (1.0 + (factor - 1.0) * t), []
    if kind == 1:
        return rng.normal(size=n) * factor**t, []
    if kind == 2:
        swing = 2.0 * np.sin(2 * np.pi * np.arange(n) / 12) * (1.0 + (factor - 1.0) * t)
        return swing + rng.normal(size=n), []
    return 100.0 * np.exp(np.cumsum(0.0005 + 0.02 * rng.normal(size=n))), []


def growing_with_a_change(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    """As growing_spread's first two kinds, times a change of spread by a factor 2-4 (up or
    down) at a point in the middle two thirds."""
    n = int(rng.integers(300, 3001))
    t = np.arange(n) / n
    factor = rng.uniform(2.0, 4.0)
    grow = 1.0 + (factor - 1.0) * t if rng.integers(2) else factor**t
    c = int(rng.integers(n // 6, n - n // 6))
    step = np.where(np.arange(n) >= c, rng.uniform(2.0, 4.0) ** rng.choice([-1, 1]), 1.0)
    return rng.normal(size=n) * grow * step, [c]


# Without the stage; its first statistic (the scores' long-run spread about two parts, judged
# against the present critical values: the stage has no table of its own for it); splits where
# a line through the scores fits as well taken too; and as it is.
SETTINGS = {
    "without": vollan.DEFAULT_CONFIG.without("spread"),
    "with, about two parts": vollan.DEFAULT_CONFIG.replace(
        "spread", bursts=False, steps_only=False
    ),
    "with, where a line fits as well too": vollan.DEFAULT_CONFIG.replace(
        "spread", steps_only=False
    ),
    "with": vollan.DEFAULT_CONFIG,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200)
    args = parser.parse_args()
    print("| series | pass | cover | F1 | reported / true changes | false reports |")
    print("|---|---|--:|--:|--:|--:|")
    for title, make, seed in (
        ("periodic regimes", lambda rng: periodic(rng)[::2], 2027),
        ("changes of spread", spread_changes, 2029),
        ("change-free: drift, walk, seasonal, AR(1)", change_free, 2039),
        ("spread growing steadily, no change", growing_spread, 2041),
        ("spread growing steadily, one change of spread", growing_with_a_change, 2043),
    ):
        for label, config in SETTINGS.items():

            def detector(x: np.ndarray, config: vollan.DetectConfig = config) -> list[int]:
                return list(vollan.detect(x, config=config).change_points)

            row = protocol.fresh_row(make, seed, args.series, detector)
            print(f"| {title} | {label} | {row}", flush=True)


if __name__ == "__main__":
    main()
