"""Quality of change points on real annotated series, next to peers and published scores.

Scores ``vollan.detect`` at its defaults, ruptures' ``Binseg`` and ``Pelt`` (model "l2", a
BIC penalty) and the prediction "no change" on every series of the Turing Change Point
Dataset found in ``--tcpd``, with the F1 score at a margin of 5 and the segmentation cover of
``vollan.metrics``, and prints a Markdown table.

    python bench/quality.py [--tcpd ../shared/datasets/tcpd]

Needs the benchmarks' own peers: ``pip install -r bench/requirements.txt``.
"""

from __future__ import annotations

import argparse
import json
import math
import time
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tcpd", type=Path, default=DEFAULT_TCPD, help="dataset directory")
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


if __name__ == "__main__":
    main()
