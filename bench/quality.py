"""Quality of change points on real annotated series, next to peers and published scores.

Scores ``vollan.detect`` at its defaults, the engine's scan and vote alone (no detrending, no
contrast check, 300 replicates), ruptures' ``Binseg`` and ``Pelt`` (model "l2", a BIC
penalty) and the prediction "no change" on every series of the Turing Change Point Dataset
found in ``--tcpd``, with the F1 score at a margin of 5 and the segmentation cover of
``vollan.metrics``, and prints Markdown tables. A second table scores the same methods on
simulated series with known change points (and on series without any), none of which was
looked at while the defaults were chosen.

    python bench/quality.py [--tcpd ../shared/datasets/tcpd] [--reps 40]

Needs the benchmarks' own peers: ``pip install -r bench/requirements.txt``.
"""

from __future__ import annotations

import argparse
import json
import math
import time
import warnings
from collections.abc import Callable
from pathlib import Path

import numpy as np
import ruptures as rpt

import vollan
from vollan.metrics import f1_score, segmentation_cover

DEFAULT_TCPD = Path(__file__).resolve().parents[2] / "shared" / "datasets" / "tcpd"

# van den Burg & Williams (2020), univariate series, each method at its default settings
# (cover, F1); computed on all univariate series of the dataset, of which the directory may
# hold a subset.
PUBLISHED = {
    "binseg": (0.706, 0.744),
    "pelt": (0.689, 0.710),
    "amoc": (0.702, 0.704),
    "bocpd": (0.636, 0.690),
    "zero (no change)": (0.583, 0.669),
    "best tuned per series (bocpd, oracle)": (0.789, 0.880),
}


def vollan_detect(x: np.ndarray) -> list[int]:
    return list(vollan.detect(x).change_points)


def scan_and_vote(x: np.ndarray) -> list[int]:
    found = vollan.detect(x, detrend=None, min_contrast=None, n_perm=300)
    return list(found.change_points)


def bic_penalty(x: np.ndarray) -> float:
    # BIC for a Gaussian change in mean: each change adds a location and a mean (2 parameters),
    # each costing log(n) in units of the noise variance, here the sample variance.
    return 2.0 * float(np.var(x)) * math.log(len(x))


def ruptures_method(cls: type) -> Callable[[np.ndarray], list[int]]:
    def run(x: np.ndarray) -> list[int]:
        algo = cls(model="l2").fit(x.reshape(-1, 1))
        return [int(c) for c in algo.predict(pen=bic_penalty(x))[:-1]]

    return run


METHODS: dict[str, Callable[[np.ndarray], list[int]]] = {
    "vollan.detect": vollan_detect,
    "scan and vote only": scan_and_vote,
    "ruptures Binseg": ruptures_method(rpt.Binseg),
    "ruptures Pelt": ruptures_method(rpt.Pelt),
    "no change": lambda x: [],
}


def load_tcpd(root: Path) -> list[tuple[str, np.ndarray, dict[str, list[int]]]]:
    annotations = json.loads((root / "annotations.json").read_text())
    out = []
    for name in sorted(annotations):
        doc = json.loads((root / name / f"{name}.json").read_text())
        if doc["n_dim"] != 1:
            continue
        raw = doc["series"][0]["raw"]
        if any(v is None for v in raw):
            continue
        out.append((name, np.asarray(raw, dtype=float), annotations[name]))
    return out


def _ar1(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    e = rng.normal(size=n)
    x = np.empty(n)
    x[0] = e[0]
    for t in range(1, n):
        x[t] = phi * x[t - 1] + e[t]
    return x


def _steps(rng: np.random.Generator, n: int, k: int) -> tuple[np.ndarray, list[int]]:
    # k changes at least n / (2(k + 1)) apart, each a jump of 1 to 5 noise deviations.
    gap = n // (2 * (k + 1))
    while True:
        cps = sorted(int(c) for c in rng.choice(np.arange(gap, n - gap), size=k, replace=False))
        if all(b - a >= gap for a, b in zip(cps[:-1], cps[1:], strict=True)):
            break
    jumps = rng.uniform(1, 5, size=k) * rng.choice([-1, 1], size=k)
    level = np.zeros(n)
    for c, j in zip(cps, jumps, strict=True):
        level[c:] += j
    return level + rng.normal(size=n), cps


Simulated = Callable[[np.random.Generator], tuple[np.ndarray, list[int]]]

SIMULATED: dict[str, Simulated] = {
    "steps, n=500, 4 changes": lambda r: _steps(r, 500, 4),
    "steps, n=200, 2 changes": lambda r: _steps(r, 200, 2),
    "steps, n=1000, 8 changes": lambda r: _steps(r, 1000, 8),
    "drift and one step, n=300": lambda r: (
        np.linspace(0, 10, 300) + np.r_[np.zeros(150), np.full(150, 4.0)] + r.normal(size=300),
        [150],
    ),
    "variance x3, n=400": lambda r: (
        r.normal(size=400) * np.r_[np.ones(200), np.full(200, 3.0)],
        [200],
    ),
    "white noise, n=500 (no change)": lambda r: (r.normal(size=500), []),
    "AR(1) 0.5, n=500 (no change)": lambda r: (_ar1(r, 500, 0.5), []),
    "drift, n=300 (no change)": lambda r: (np.linspace(0, 10, 300) + r.normal(size=300), []),
    "random walk, n=300 (no change)": lambda r: (np.cumsum(r.normal(size=300)), []),
}


Methods = dict[str, Callable[[np.ndarray], list[int]]]


def family_table(
    methods: Methods, families: dict[str, Simulated], reps: int, seed: int
) -> list[list[tuple[float, float]]]:
    """Print one row per family (mean cover / F1 / count per method); return the means."""
    print("| family | " + " | ".join(methods) + " |")
    print("|---|" + "--:|" * len(methods))
    means = []
    for k, (family, make) in enumerate(families.items()):
        rng = np.random.default_rng(seed + k)
        rows: dict[str, list[tuple[float, float, int]]] = {m: [] for m in methods}
        for _ in range(reps):
            x, truth = make(rng)
            ann = {"truth": truth}
            for method, run in methods.items():
                cps = run(x)
                rows[method].append(
                    (segmentation_cover(ann, cps, len(x)), f1_score(ann, cps), len(cps))
                )
        row = [
            tuple(float(np.mean(col)) for col in zip(*got, strict=True)) for got in rows.values()
        ]
        means.append([(c, f) for c, f, _ in row])
        cells = [f"{c:.3f} / {f:.3f} / {count:.2f}" for c, f, count in row]
        print(f"| {family} | " + " | ".join(cells) + " |")
    return means


def simulated_table(reps: int) -> None:
    methods = {m: run for m, run in METHODS.items() if m != "no change"}
    print(
        f"\nSimulated series, {reps} per family (seeded), cover / F1 / mean number of change "
        "points; the true number follows the family's name.\n"
    )
    per_family = family_table(methods, SIMULATED, reps, 20261207)
    totals = zip(*per_family, strict=True)  # per method, its (cover, F1) of every family
    means = [
        f"**{np.mean([c for c, _ in v]):.3f} / {np.mean([f for _, f in v]):.3f}**" for v in totals
    ]
    print("| **mean** | " + " | ".join(means) + " |")


def ruptures_normal(cls: type) -> Callable[[np.ndarray], list[int]]:
    # The "normal" cost is n·log σ̂² per segment, twice the negative log-likelihood; BIC adds
    # log n for each of a new segment's mean, variance and location.
    def run(x: np.ndarray) -> list[int]:
        with warnings.catch_warnings():  # ruptures announces its small diagonal bias
            warnings.simplefilter("ignore", UserWarning)
            algo = cls(model="normal").fit(x.reshape(-1, 1))
            return [int(c) for c in algo.predict(pen=3.0 * math.log(len(x)))[:-1]]

    return run


def variance_table(reps: int) -> None:
    methods: Methods = {
        "vollan.detect, change_type='var'": lambda x: list(
            vollan.detect(x, change_type="var").change_points
        ),
        "scan and vote only, 'var'": lambda x: list(
            vollan.detect(
                x, change_type="var", detrend=None, min_contrast=None, n_perm=300
            ).change_points
        ),
        "ruptures Binseg, normal": ruptures_normal(rpt.Binseg),
        "ruptures Pelt, normal": ruptures_normal(rpt.Pelt),
    }
    families: dict[str, Simulated] = {
        "variance x3, n=400": SIMULATED["variance x3, n=400"],
        "variance x2, n=400": lambda r: (
            r.normal(size=400) * np.r_[np.ones(200), np.full(200, 2.0)],
            [200],
        ),
        "white noise, n=500 (no change)": SIMULATED["white noise, n=500 (no change)"],
    }
    print(
        f"\nVariance changes with the change type made for them, {reps} series per family, "
        "cover / F1 / mean number of change points.\n"
    )
    family_table(methods, families, reps, 20261207 + 100)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tcpd", type=Path, default=DEFAULT_TCPD, help="dataset directory")
    parser.add_argument("--reps", type=int, default=40, help="simulated series per family")
    args = parser.parse_args()
    data = load_tcpd(args.tcpd)
    scores: dict[str, list[tuple[float, float]]] = {m: [] for m in METHODS}
    seconds = dict.fromkeys(METHODS, 0.0)
    counts: dict[str, list[int]] = {m: [] for m in METHODS}
    for _name, x, ann in data:
        for method, run in METHODS.items():
            start = time.perf_counter()
            cps = run(x)
            seconds[method] += time.perf_counter() - start
            counts[method].append(len(cps))
            scores[method].append((segmentation_cover(ann, cps, len(x)), f1_score(ann, cps)))

    print(f"{len(data)} series from {args.tcpd.name}/; cover / F1 per series, mean last.\n")
    head = ["series", "n", *METHODS]
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join(["---"] + ["--:"] * (len(head) - 1)) + "|")
    for k, (name, x, _ann) in enumerate(data):
        cells = [f"{scores[m][k][0]:.3f} / {scores[m][k][1]:.3f}" for m in METHODS]
        print(f"| {name} | {len(x)} | " + " | ".join(cells) + " |")
    means = {
        m: (float(np.mean([c for c, _ in v])), float(np.mean([f for _, f in v])))
        for m, v in scores.items()
    }
    print(
        "| **mean** | | " + " | ".join(f"**{c:.3f} / {f:.3f}**" for c, f in means.values()) + " |"
    )
    print("| change points (total) | | " + " | ".join(str(sum(counts[m])) for m in METHODS) + " |")
    print("| seconds (total) | | " + " | ".join(f"{seconds[m]:.2f}" for m in METHODS) + " |")
    print("\nPublished (all univariate series of the dataset, default settings), cover / F1:\n")
    print("| method | cover | F1 |")
    print("|---|--:|--:|")
    for method, (c, f) in PUBLISHED.items():
        print(f"| {method} | {c:.3f} | {f:.3f} |")
    if args.reps > 0:
        simulated_table(args.reps)
        variance_table(args.reps)


if __name__ == "__main__":
    main()
