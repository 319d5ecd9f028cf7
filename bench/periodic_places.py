"""Placing the changes of a periodic series by the order of its values (vollan._place), against
reporting them where the scan and the passes found them.

1. Cross-validated on the development corpus (leave one real series out, leave one family
   out), with "placed as found" as the baseline, so that the gains are the rule's.
2. The families whose scores move.
3. Fresh series that no choice was made on: the periodic regimes of bench/periods.py (their
   own seeds), and new seeds of the two seasonal families.

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

import vollan
from vollan import _families, _place
from vollan.metrics import f1_score, segmentation_cover

DEFAULT = functools.partial(variants.variant, fit=True, wide=True, level=0.95)
SETTINGS = {
    "placed as found": functools.partial(DEFAULT, place=False),
    "placed by the cycle": DEFAULT,
}


def fresh_rows(series: int) -> list[str]:
    rows = []
    for title, make, seed in (
        ("periodic regimes of bench/periods.py", lambda rng: periodic(rng)[::2], 2031),
        ("periodic regimes (family, new seeds)", _families.periodic_regimes, 2033),
        ("seasonal + shift (family, new seeds)", _families.seasonal_shift, 2035),
    ):
        for label, on in (("placed as found", False), ("placed by the cycle", True)):
            _place.PLACE_PERIODIC = on
            cover, f1, reported, true, false = [], [], 0, 0, 0
            for i in range(series):
                x, cuts = make(np.random.default_rng([seed, i]))
                found = list(vollan.detect(x).change_points)
                cover.append(segmentation_cover({"truth": cuts}, found, len(x)))
                f1.append(f1_score({"truth": cuts}, found, margin=5))
                reported += len(found)
                true += len(cuts)
                false += sum(all(abs(c - t) > 5 for t in cuts) for c in found)
            rows.append(
                f"| {title} | {label} | {np.mean(cover):.3f} | {np.mean(f1):.3f} | "
                f"{reported} / {true} | {false} |"
            )
            print(rows[-1], flush=True)
    _place.PLACE_PERIODIC = True
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
