"""Each default rule of vollan.detect against its alternative, in-sample and cross-validated.

Every setting runs once on every series (the results are shared between comparisons); each
comparison then chooses between the default and one alternative by leave-one-series-out on the
13 real evaluation series and leave-one-family-out on the simulated families, and shows the
in-sample choice, the cross-validated score and the gain over the default with its standard
error. A rule is kept when the alternative's cross-validated gain is within the noise.

    python bench/defaults.py [--reps 20] [--processes 2] > defaults.md
"""

from __future__ import annotations

import argparse
import functools
import time

import corpus
import protocol
import variants

DEFAULT = functools.partial(variants.variant)

# Each alternative changes one stage parameter of the defaults (bench/variants.py), switches a
# stage off, or sets one of detect's own options. The contrast's critical level of the rules
# before the p-values is the false-alarm budget alpha now.
ALTERNATIVES = {
    "no test of shape (location and scale only)": functools.partial(DEFAULT, shape=False),
    'detrend="linear"': functools.partial(DEFAULT, detrend="linear"),
    'change_type="mean"': functools.partial(DEFAULT, change_type="mean"),
    'outliers="keep"': functools.partial(DEFAULT, outliers="keep"),
    "scores over all window sizes": functools.partial(DEFAULT, fit=False),
    "contrasts at the least width only": functools.partial(DEFAULT, wide=False),
    "alpha 0.025": functools.partial(DEFAULT, alpha=0.025),
    "alpha 0.1 (fails the null table)": functools.partial(DEFAULT, alpha=0.1),
    "the period of the strongest peak only": functools.partial(DEFAULT, harmonics=False),
    "no test of slope": functools.partial(DEFAULT, slope=False),
    "no test of spread over stretches": functools.partial(DEFAULT, spread=False),
    "changes of a periodic series placed as found": functools.partial(DEFAULT, place=False),
    "no test of level over whole stretches": functools.partial(DEFAULT, shifts=False),
    "the spread of the spread scores about two parts only": functools.partial(
        DEFAULT, bursts=False
    ),
    "the level's long-run spread about two parts only": functools.partial(DEFAULT, bumps=False),
    "location contrasts that a smooth drift explains reported as well": functools.partial(
        DEFAULT, drift=False
    ),
    "changes of spread where a line through the scores fits as well reported too": (
        functools.partial(DEFAULT, spread_steps=False)
    ),
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=20, help="simulated series per family")
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument(
        "--only", help="comma-separated numbers of the comparisons to run (1-based), default all"
    )
    args = parser.parse_args()
    chosen = list(ALTERNATIVES.items())
    if args.only:
        chosen = [chosen[int(i) - 1] for i in args.only.split(",")]
    started = time.time()
    real = corpus.load_tcpd()
    simulated = corpus.simulated_cases(args.reps)
    results = None
    for name, alternative in chosen:
        report = protocol.cross_validate_grid(
            {"defaults": DEFAULT, name: alternative},
            real,
            simulated,
            baseline="defaults",
            results=results,
            processes=args.processes,
        )
        results = report.results
        print(f"### defaults against {name}\n")
        print(protocol.markdown_cross_validation(report))
        print(flush=True)
    print(f"_{len(real)} real series, {len(simulated)} simulated; {time.time() - started:.0f} s_")
    protocol.shutdown()


if __name__ == "__main__":
    main()
