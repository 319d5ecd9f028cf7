"""The spread pass of vollan.detect on series it was not chosen on: fresh periodic series (the
regimes of bench/periods.py), fresh changes of spread (a noise of one law whose scale changes
once or twice by a factor 1.5-4, up or down) and change-free series (bench/level_fresh.py),
without the pass, with its first statistic (the long-run spread of the scores about two parts)
and with the present one (about three parts); cover and F1 at a margin of 5, and how many
reports lie farther than the margin from every true change.

    python bench/spread_fresh.py [--series 200]
"""

from __future__ import annotations

import argparse
import math

import numpy as np
import protocol
from level_fresh import change_free
from periods import periodic
from variants import _SPREAD_TWO_PARTS

from vollan import _contrast, _spread
from vollan._families import NOISE

KINDS = _contrast.KINDS_OF_CHANGE_TYPE["distribution"]


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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200)
    args = parser.parse_args()
    print("| series | pass | cover | F1 | reported / true changes | false reports |")
    print("|---|---|--:|--:|--:|--:|")
    present = _spread.CRITICAL_BY_LENGTH
    for title, make, seed in (
        ("periodic regimes", lambda rng: periodic(rng)[::2], 2027),
        ("changes of spread", spread_changes, 2029),
        ("change-free: drift, walk, seasonal, AR(1)", change_free, 2039),
    ):
        without = tuple(k for k in KINDS if k != "spread")
        for label, kinds, bursts in (
            ("without", without, True),
            ("with, about two parts", KINDS, False),
            ("with", KINDS, True),
        ):
            _contrast.KINDS_OF_CHANGE_TYPE["distribution"] = kinds
            _spread.BURSTS = bursts
            _spread.CRITICAL_BY_LENGTH = present if bursts else _SPREAD_TWO_PARTS
            print(
                f"| {title} | {label} | {protocol.fresh_row(make, seed, args.series)}", flush=True
            )
    _spread.BURSTS = True
    _spread.CRITICAL_BY_LENGTH = present
    _contrast.KINDS_OF_CHANGE_TYPE["distribution"] = KINDS


if __name__ == "__main__":
    main()
