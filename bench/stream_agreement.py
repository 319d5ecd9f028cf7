"""Agreement of vollan.Monitor with the offline call: on the simulated families, does each true
change that both find get the same place from both?

Each series of a family with changes is given once to ``vollan.detect`` and once, as a stream,
to a Monitor. A true change is found by a detector when one of its changes lies within
``--margin`` values of it (the quality benchmark's margin, 5). For the true changes both find,
the Monitor's change (the one nearest the truth) agrees when its index lies in the interval of
``vollan.detect``'s nearest change. Target: agreement for at least 90 % of them.

The families' series are short (200-2,000 values, changes anywhere): they are watched by a
Monitor with a warm-up of 150 (window sizes 16 and 32; after each change it warms up again for
150 values). The default Monitor (warm-up 500, sizes 16-128) watches a long family made for it:
20,000 values of N(0, 1) noise with a jump of 1-4 sd every 1,000. Series are drawn with fresh
seeds ``[20261209, crc32(family), i]``.

    python bench/stream_agreement.py [--reps 30] [--families mean_steps,...] [--margin 5]
"""

from __future__ import annotations

import argparse
import time
import zlib
from typing import Any

import numpy as np

import vollan
from vollan._families import FAMILIES, regular_steps

SHORT = dict(warmup=150)
LONG_STEPS = "steps every 1,000, n 20,000"


def cases() -> list[tuple[str, Any, dict[str, Any]]]:
    """(family, generator, Monitor options): the families with changes, then the long one."""
    chosen = [(name, make, SHORT) for name, (make, _) in FAMILIES.items()]
    return [*chosen, (LONG_STEPS, regular_steps(20_000, 1_000), {})]


def nearest(found: list[int], truth: int) -> int | None:
    """Position in ``found`` of the index nearest ``truth``, or None."""
    if not found:
        return None
    return int(np.argmin([abs(f - truth) for f in found]))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=30)
    parser.add_argument("--families", default="")
    parser.add_argument("--margin", type=int, default=5)
    args = parser.parse_args()
    header = "| family | Monitor | true changes | detect finds | Monitor finds | both | agree |"
    print(header + "\n|---|---|--:|--:|--:|--:|--:|", flush=True)
    totals: dict[str, list[int]] = {}
    started = time.perf_counter()
    for family, make, options in cases():
        if args.families and family not in args.families.split(","):
            continue
        draws = [
            make(np.random.default_rng([20261209, zlib.crc32(family.encode()), i]))
            for i in range(args.reps)
        ]
        if not any(cps for _, cps in draws):
            continue  # change-free families: nothing to agree on
        label = f"warm-up {options['warmup']}" if options else "default"
        counts = [0, 0, 0, 0, 0]  # truths, detect finds, Monitor finds, both, agree
        for i, (values, truth) in enumerate(draws):
            offline = vollan.detect(values).changes
            places = [c.index for c in offline]
            monitor = vollan.Monitor(seed=i, **options)
            streamed = [c.index for c in monitor.update(values)]
            for c in truth:
                counts[0] += 1
                d = nearest(places, c)
                m = nearest(streamed, c)
                by_detect = d is not None and abs(places[d] - c) <= args.margin
                by_monitor = m is not None and abs(streamed[m] - c) <= args.margin
                counts[1] += by_detect
                counts[2] += by_monitor
                if by_detect and by_monitor:
                    counts[3] += 1
                    low, high = offline[d].interval
                    counts[4] += low <= streamed[m] <= high
        t = totals.setdefault(label, [0, 0, 0, 0, 0])
        for k in range(5):
            t[k] += counts[k]
        share = f"{counts[4] / counts[3]:.0%}" if counts[3] else "-"
        print(
            f"| {family} | {label} | {counts[0]} | {counts[1]} | {counts[2]} | {counts[3]} | "
            f"{share} |",
            flush=True,
        )
    for label, t in totals.items():
        share = f"{t[4] / t[3]:.1%}" if t[3] else "-"
        print(f"| all | {label} | {t[0]} | {t[1]} | {t[2]} | {t[3]} | **{share}** |")
    print(f"\n{time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
