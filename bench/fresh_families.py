"""The simulated families on series that no default was chosen on.

    python bench/fresh_families.py [--series 100] [--seed 7001]

The tables of the quality run draw series 0-19 of each family from the corpus' seeds, and every
rule of ``vollan.detect`` was checked there. Here each family draws ``--series`` new series from
``default_rng([seed, i])``, a stream the corpus never uses, and ``vollan.detect`` runs at its
defaults. Cells: cover, F1 (margin 5), change points reported / true, reports farther than the
margin from every true change.
"""

from __future__ import annotations

import argparse
import time

import corpus
import numpy as np
import protocol


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=100, help="series per family (100)")
    parser.add_argument("--seed", type=int, default=7001, help="first word of the seeds (7001)")
    args = parser.parse_args()
    started = time.perf_counter()
    print("| family | series | cover | F1 | reported / true | other reports |")
    print("|---|--:|--:|--:|--:|--:|")
    covers, f1s = [], []
    for name, (make, _) in corpus.FAMILIES.items():
        row = protocol.fresh_row(make, args.seed, args.series)
        cells = row.split("|")
        covers.append(float(cells[0]))
        f1s.append(float(cells[1]))
        print(f"| {name} | {args.series} | {row}", flush=True)
    print(f"| **mean over families** | | **{np.mean(covers):.3f}** | **{np.mean(f1s):.3f}** | | |")
    print(
        f"\n_{args.series} series a family, seed {args.seed}; took "
        f"{time.perf_counter() - started:.0f} s._"
    )


if __name__ == "__main__":
    main()
