"""Regenerates ``SHIFT_QUANTILES`` of vollan/pipeline/short.py: the quantiles of the short-series
test's statistic (the best split's t statistic divided by the dependence factor of the residuals
about its two levels) on change-free series, at the levels ``SHIFT_LEVELS``, the largest over
the noises of the stated null: Gaussian AR(1) with coefficient 0, 0.15, 0.3, 0.4, 0.5 and 0.7,
Student-t(3), the Gaussian random walk, and Gaussian noise about a drift of 0.03 to 1 sd a step.
A series whose two levels do not fit clearly better than a line and than two lines joined at
the split (the vote's check, ``short.fits_a_step``) scores 0, as the vote reports nothing there.

    python bench/calibrate_short.py [--series 20000] [--seed 29] [--power 1.5] [--margin 1.5]

With ``--power`` or ``--margin`` other than the package's, the table is simulated for that
power of the dependence factor or margin of the drift check (to compare them). The share of
planted shifts found at the 5 % level is printed beside: white noise with a 3-sd shift in the
middle, and the ``short + shift`` family's draws (a shift of 2 to 5 sd in the middle half).
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from vollan.pipeline import short

LENGTHS = (8, 9, 10, 12, 14, 17, 20, 24, 28, 33, 39, 46, 65, 100, 200)
CHUNK = 2000


def _ar1(rng: np.random.Generator, rows: int, n: int, phi: float) -> np.ndarray:
    e = rng.normal(size=(rows, n + 200))
    x = np.empty_like(e)
    x[:, 0] = e[:, 0] / np.sqrt(1.0 - phi * phi)
    for t in range(1, e.shape[1]):
        x[:, t] = phi * x[:, t - 1] + e[:, t]
    return x[:, 200:]


NOISES = {
    "N(0,1)": lambda rng, rows, n: rng.normal(size=(rows, n)),
    "AR(1) 0.15": lambda rng, rows, n: _ar1(rng, rows, n, 0.15),
    "AR(1) 0.3": lambda rng, rows, n: _ar1(rng, rows, n, 0.3),
    "AR(1) 0.4": lambda rng, rows, n: _ar1(rng, rows, n, 0.4),
    "AR(1) 0.5": lambda rng, rows, n: _ar1(rng, rows, n, 0.5),
    "AR(1) 0.7": lambda rng, rows, n: _ar1(rng, rows, n, 0.7),
    "t(3)": lambda rng, rows, n: rng.standard_t(3, size=(rows, n)),
    "random walk": lambda rng, rows, n: np.cumsum(rng.normal(size=(rows, n)), axis=1),
    **{
        f"drift {slope}": lambda rng, rows, n, slope=slope: (
            slope * np.arange(n) + rng.normal(size=(rows, n))
        )
        for slope in (0.03, 0.05, 0.1, 0.2, 0.3, 0.5, 1.0)
    },
}


def statistic(x: np.ndarray, every: bool = False) -> np.ndarray:
    """The test's statistic of each row, 0 where the vote's line check turns the split away
    (checked on every row with ``every``, else only where the row could reach a tabled level)."""
    raw = short.split_statistics(x)
    best = raw.argmax(axis=1)
    scaled = short.shift_statistics(x).max(axis=1)
    # Only a row that could reach the lowest tabled level needs the (slow) check.
    least = -np.inf if every else np.quantile(scaled, 1.0 - 2.0 * short.SHIFT_LEVELS[0])
    check = np.flatnonzero(scaled > least)
    passed = np.zeros(len(x), dtype=bool)
    passed[check] = [short.fits_a_step(x[i], int(best[i])) for i in check]
    return np.where(passed, scaled, 0.0)


def simulate(make, n: int, series: int, rng: np.random.Generator) -> np.ndarray:
    return np.concatenate(
        [statistic(make(rng, min(CHUNK, series - s), n)) for s in range(0, series, CHUNK)]
    )


def planted(n: int, series: int, rng: np.random.Generator, family: bool) -> np.ndarray:
    x = rng.normal(size=(series, n))
    if family:
        for row in x:
            c = int(rng.integers(n // 4, n - n // 4 + 1))
            row[c:] += rng.uniform(2.0, 5.0) * rng.choice([-1.0, 1.0])
    else:
        x[:, n // 2 :] += 3.0
    chunks = [statistic(x[s : s + CHUNK], every=True) for s in range(0, series, CHUNK)]
    return np.concatenate(chunks)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=29)
    parser.add_argument("--power", type=float, default=short.DEPENDENCE_POWER)
    parser.add_argument("--margin", type=float, default=short.LINE_MARGIN)
    parser.add_argument("--lengths", type=int, nargs="+", default=list(LENGTHS))
    args = parser.parse_args()
    short.DEPENDENCE_POWER = args.power
    short.LINE_MARGIN = args.margin
    started = time.perf_counter()
    levels = np.array(short.SHIFT_LEVELS)
    rows = []
    print(f"power {args.power}, margin {args.margin}; tail levels {short.SHIFT_LEVELS}")
    for n in args.lengths:
        by_noise = {}
        for k, (name, make) in enumerate(NOISES.items()):
            rng = np.random.default_rng([args.seed, n, k])
            by_noise[name] = np.quantile(simulate(make, n, args.series, rng), 1.0 - levels)
        worst = np.max(list(by_noise.values()), axis=0)
        # Quantiles rise with the level; where most series fail the line check the lowest
        # levels tie at 0, and the table's knots are kept apart by 0.01.
        for j in range(1, len(worst)):
            worst[j] = max(worst[j], worst[j - 1] + 0.01)
        rows.append((n, tuple(round(float(v), 2) for v in worst)))
        at5 = list(short.SHIFT_LEVELS).index(0.05)
        who = max(by_noise, key=lambda name: by_noise[name][at5])
        line = ", ".join(f"{name} {q[at5]:.2f}" for name, q in by_noise.items())
        rng = np.random.default_rng([args.seed, n, 99])
        mid = float(np.mean(planted(n, max(args.series // 10, 200), rng, False) > worst[at5]))
        fam = float(np.mean(planted(n, max(args.series // 10, 200), rng, True) > worst[at5]))
        print(
            f"n={n}: 95 % points {line}; largest {who}; found at 5 %: 3-sd middle {mid:.3f}, "
            f"short + shift {fam:.3f}",
            flush=True,
        )
    print("\nSHIFT_QUANTILES: tuple[tuple[int, tuple[float, ...]], ...] = (")
    for n, q in rows:
        print(f"    ({n}, {q}),")
    print(")")
    took = time.perf_counter() - started
    print(f"\n_{args.series} series a noise and length; took {took:.0f} s._")


if __name__ == "__main__":
    main()
