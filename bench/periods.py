"""vollan.dominant_period on series it was not chosen on: fresh periodic series (sine, square,
sawtooth and triangle waves, one to three regimes of their own form, amplitude and period) and
series without a cycle, with the fundamental looked for past a harmonic peak and without.

A period counts as right when it lies within 10 % of the period of a regime, or of a whole
multiple of one up to the fourth (windows of such a length still hold whole cycles of that
regime); a period found in a series without a cycle is a false one.

Then vollan.detect on the first ``--detect`` of the periodic series, whose changes of regime
are the truth (cover and F1 at a margin of 5), with the period rules of each row.

    python bench/periods.py [--series 400] [--detect 200]
"""

from __future__ import annotations

import argparse
from collections.abc import Callable

import numpy as np

import vollan
from vollan._families import NOISE, _wave, ar1
from vollan.metrics import f1_score, segmentation_cover
from vollan.stats import period as _scale


def periodic(rng: np.random.Generator) -> tuple[np.ndarray, list[float], list[int]]:
    """One to three regimes of periods 5-80 values, noise of 0.1-1 amplitudes; the values,
    the periods and the changes of regime."""
    n = int(rng.integers(400, 4001))
    k = int(rng.integers(1, 4))
    cuts = np.sort(rng.choice(np.arange(n // 5, n - n // 5), size=k - 1, replace=False))
    periods = []
    parts = []
    for a, b in zip([0, *cuts], [*cuts, n], strict=True):
        period = float(rng.uniform(5.0, min(80.0, n / 8)))
        periods.append(period)
        parts.append(rng.uniform(1.0, 3.0) * _wave(rng, int(b - a), period))
    noise = rng.uniform(0.1, 1.0) * rng.normal(size=n)
    return np.concatenate(parts) + noise, periods, [int(c) for c in cuts]


WITHOUT_CYCLE: dict[str, Callable[[np.random.Generator, int], np.ndarray]] = {
    **{name: NOISE[name] for name in ("N(0,1)", "t(3)", "AR(1) 0.5")},
    "AR(1) 0.9": lambda rng, n: ar1(rng, n, 0.9),
    "random walk": lambda rng, n: np.cumsum(rng.normal(size=n)),
    "level shifts": lambda rng, n: (
        rng.normal(size=n) + np.repeat(rng.normal(0.0, 2.0, size=4), -(-n // 4))[:n]
    ),
}


def right(period: int, periods: list[float]) -> bool:
    return any(abs(period - m * p) <= 0.1 * m * p for p in periods for m in (1, 2, 3, 4))


RULES = (("the fundamental past a harmonic", True), ("the peak only", False))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=400)
    parser.add_argument("--detect", type=int, default=200)
    args = parser.parse_args()
    print("| rule | periodic: right | periodic: wrong | periodic: none |", end="")
    print("".join(f" {name}: false |" for name in WITHOUT_CYCLE))
    print("|---|" + "--:|" * (3 + len(WITHOUT_CYCLE)))
    for label, harmonics in RULES:
        counts = {"right": 0, "wrong": 0, "none": 0}
        for i in range(args.series):
            x, periods, _ = periodic(np.random.default_rng([2027, i]))
            found = _scale.dominant_period(x, harmonics)
            counts["none" if found is None else "right" if right(found, periods) else "wrong"] += 1
        false = []
        for name, make in WITHOUT_CYCLE.items():
            hits = 0
            for i in range(args.series):
                rng = np.random.default_rng([2028, i, len(name)])
                period = _scale.dominant_period(make(rng, int(rng.integers(100, 4001))), harmonics)
                hits += period is not None
            false.append(f"{hits}/{args.series}")
        print(f"| {label} | " + " | ".join(f"{counts[k]}/{args.series}" for k in counts), end="")
        print(" | " + " | ".join(false) + " |")
    print()
    print("| rule | series | changes | reported | one regime: series reporting | cover | F1 |")
    print("|---|--:|--:|--:|--:|--:|--:|")
    for label, harmonics in RULES:
        config = vollan.DEFAULT_CONFIG.replace("prepare", harmonics=harmonics)
        covers, f1s, changes, reported = [], [], 0, 0
        calm, false = 0, 0
        for i in range(args.detect):
            x, _, cuts = periodic(np.random.default_rng([2027, i]))
            found = list(vollan.detect(x, config=config).change_points)
            calm += not cuts
            false += bool(found) and not cuts
            covers.append(segmentation_cover({"truth": cuts}, found, len(x)))
            f1s.append(f1_score({"truth": cuts}, found, margin=5))
            changes += len(cuts)
            reported += len(found)
        print(
            f"| {label} | {args.detect} | {changes} | {reported} | {false}/{calm} | "
            f"{np.mean(covers):.3f} | {np.mean(f1s):.3f} |"
        )


if __name__ == "__main__":
    main()
