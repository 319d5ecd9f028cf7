"""Placing the changes of a periodic series by the order of its values
(vollan.stats.period), against reporting them where the stages and the placement by the
cost of their kind put them (``DetectConfig.replace("place", periodic=False)``).

1. Cross-validated on the development corpus (leave one real series out, leave one family
   out), with "placed as found" as the baseline, so that the gains are the rule's.
2. The families whose scores move.
3. Fresh series that no choice was made on: the periodic regimes of bench/periods.py (their
   own seeds), new seeds of the two seasonal families, and beats at irregular intervals (a
   pulse train whose level, rate or height changes once), whose cycle no lag follows exactly.

    python bench/periodic_places.py [--reps 20] [--series 200]
"""

from __future__ import annotations

import argparse
import functools

import corpus
import numpy as np
import protocol
import variants
from periods import periodic

from vollan import _families

DEFAULT = functools.partial(variants.variant)
SETTINGS = {
    "placed as found": functools.partial(DEFAULT, place=False),
    "placed by the cycle": DEFAULT,
}


def _beats(
    rng: np.random.Generator, n: int, period: float, jitter: float, height: float
) -> np.ndarray:
    """Gaussian pulses of the given height, a period apart give or take ``jitter`` of it."""
    i = np.arange(n)
    x = np.zeros(n)
    at = rng.uniform(0.0, period)
    while at < n:
        x += height * np.exp(-0.5 * ((i - at) / (period / 10.0)) ** 2)
        at += period * (1.0 + jitter * rng.normal())
    return x


def irregular_beats(rng: np.random.Generator) -> tuple[np.ndarray, list[int]]:
    """1,500-4,000 values of beats every 20-80 values (jitter 3-15 %); at one change the level
    shifts by 1-3, or the rate rises by a factor 1.25-1.7, or the height grows 1.6-2.5 times."""
    n = int(rng.integers(1500, 4000))
    period = rng.uniform(20.0, 80.0)
    jitter = rng.uniform(0.03, 0.15)
    c = int(rng.integers(n // 4, 3 * n // 4))
    kind = int(rng.integers(0, 3))
    x = _beats(rng, n, period, jitter, 3.0)
    if kind == 0:
        x[c:] += rng.uniform(1.0, 3.0) * rng.choice([-1.0, 1.0])
    elif kind == 1:
        x[c:] = _beats(rng, n, period * rng.uniform(0.6, 0.8), jitter, 3.0)[c:]
    else:
        x[c:] = _beats(rng, n, period, jitter, 3.0 * rng.uniform(1.6, 2.5))[c:]
    return x + 0.3 * rng.normal(size=n), [c]


def fresh_rows(series: int) -> list[str]:
    rows = []
    for title, make, seed in (
        ("periodic regimes of bench/periods.py", lambda rng: periodic(rng)[::2], 2031),
        ("periodic regimes (family, new seeds)", _families.periodic_regimes, 2033),
        ("seasonal + shift (family, new seeds)", _families.seasonal_shift, 2035),
        ("beats at irregular intervals", irregular_beats, 2037),
    ):
        for label, detector in SETTINGS.items():
            rows.append(f"| {title} | {label} | {protocol.fresh_row(make, seed, series, detector)}")
            print(rows[-1], flush=True)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=20, help="simulated series per family")
    parser.add_argument("--series", type=int, default=200, help="fresh series per kind")
    parser.add_argument("--processes", type=int, default=2)
    args = parser.parse_args()
    real = corpus.load_tcpd()
    simulated = corpus.simulated_cases(args.reps)
    report = protocol.cross_validate_grid(
        SETTINGS, real, simulated, baseline="placed as found", processes=args.processes
    )
    protocol.shutdown()
    print(protocol.markdown_cross_validation(report))
    print()
    before = protocol.family_means(report.results, "placed as found", simulated)
    after = protocol.family_means(report.results, "placed by the cycle", simulated)
    print("| family | placed as found: cover / F1 | placed by the cycle |")
    print("|---|--:|--:|")
    for family, (c0, f0) in before.items():
        c1, f1 = after[family]
        if (c0, f0) != (c1, f1):
            print(f"| {family} | {c0:.3f} / {f0:.3f} | {c1:.3f} / {f1:.3f} |")
    for case in report.real:
        a, b = (report.results.outcomes(s, [case])[0] for s in SETTINGS)
        if (a.cover, a.f1) != (b.cover, b.f1):
            print(
                f"| {case.name} (real) | {a.cover:.3f} / {a.f1:.3f} | {b.cover:.3f} / {b.f1:.3f} |"
            )
    print()
    print("| series | changes | cover | F1 | reported / true changes | false reports |")
    print("|---|---|--:|--:|--:|--:|")
    fresh_rows(args.series)


if __name__ == "__main__":
    main()
