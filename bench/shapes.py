"""vollan.detect on changes of shape it was not chosen on: a normal law turning into another
law of the same mean and variance halfway (Laplace, a skewed one, Student t(5), a flat one, a
two-peaked one), and change-free series of each law, at two lengths; with the shape test and
with location and scale only.

Counts the series whose change is reported within 5 and within 20 values, and the series that
report any change more than 20 values away (for change-free series: any change).

    python bench/shapes.py [--seeds 50]
"""

from __future__ import annotations

import argparse
from collections.abc import Callable

import numpy as np

import vollan

Law = Callable[[np.random.Generator, int], np.ndarray]

LAWS: dict[str, Law] = {
    "Laplace": lambda rng, m: rng.laplace(scale=1.0 / np.sqrt(2.0), size=m),
    "skewed (exponential - 1)": lambda rng, m: rng.exponential(size=m) - 1.0,
    "t(5)": lambda rng, m: rng.standard_t(5, size=m) / np.sqrt(5.0 / 3.0),
    "flat": lambda rng, m: rng.uniform(-np.sqrt(3.0), np.sqrt(3.0), size=m),
    "two-peaked": lambda rng, m: rng.choice([-0.95, 0.95], size=m) + 0.3125 * rng.normal(size=m),
}
SIZES = (600, 2000)
# The defaults, and the defaults without the shape stage.
CONFIGS = (vollan.DEFAULT_CONFIG, vollan.DEFAULT_CONFIG.without("shape"))


def row(label: str, n: int, make: Callable[[np.random.Generator], np.ndarray], seeds: int) -> str:
    change = n // 2
    cells = []
    for config in CONFIGS:
        near5 = near20 = elsewhere = 0
        for seed in range(seeds):
            x = make(np.random.default_rng([n, seed, len(label)]))
            found = vollan.detect(x, config=config).change_points
            if label.startswith("no change"):
                elsewhere += bool(found)
                continue
            near5 += any(abs(c - change) <= 5 for c in found)
            near20 += any(abs(c - change) <= 20 for c in found)
            elsewhere += any(abs(c - change) > 20 for c in found)
        cells.append(f"{near5} / {near20} / {elsewhere}")
    return f"| {label} | {n:,} | " + " | ".join(cells) + " |"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=50)
    args = parser.parse_args()
    print(
        "| series | n | with the shape test: within 5 / within 20 / elsewhere "
        "| location and scale only |"
    )
    print("|---|--:|--:|--:|")
    for n in SIZES:
        for name, law in LAWS.items():

            def changed(rng: np.random.Generator, law: Law = law, n: int = n) -> np.ndarray:
                return np.concatenate([rng.normal(size=n // 2), law(rng, n - n // 2)])

            def calm(rng: np.random.Generator, law: Law = law, n: int = n) -> np.ndarray:
                return law(rng, n)

            print(row(f"normal to {name}", n, changed, args.seeds))
            print(row(f"no change, {name}", n, calm, args.seeds))


if __name__ == "__main__":
    main()
