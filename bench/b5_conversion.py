"""B5: the cost per element of converting a series, against a plain copy of the same data.

The entry is wasserstein_statistic(x, []): it converts x, converts the empty right sample and
raises ValueError before any computation, so its time is the conversion of x (plus a constant
of a few microseconds). The floor is numpy.ndarray.copy of the same float64 array; numpy's own
conversion of a list (numpy.array) is shown for the list row.
"""

from __future__ import annotations

import argparse

import numpy as np
from _common import command_line, side_by_side, table

import vollan


def convert(x: object) -> None:
    try:
        vollan.wasserstein_statistic(x, [])
    except ValueError:
        pass


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--n", type=int, default=10_000_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    n = args.n
    array = np.random.default_rng(5).normal(size=n)
    as_list = array.tolist()
    t_numpy, t_list, t_copy, t_np_list = side_by_side(
        [
            lambda: convert(array),
            lambda: convert(as_list),
            lambda: array.copy(),
            lambda: np.array(as_list, dtype=np.float64),
        ],
        args.repeats,
    )

    def per(t: float) -> str:
        return f"{t / n * 1e9:.2f} ns"

    rows = [
        ["numpy float64 array", per(t_numpy), per(t_copy), f"**{t_numpy / t_copy:.2f}×**"],
        ["list of floats", per(t_list), per(t_copy), f"{t_list / t_copy:.2f}×"],
        [
            "(numpy.array of the list, for scale)",
            per(t_np_list),
            per(t_copy),
            f"{t_np_list / t_copy:.2f}×",
        ],
    ]
    print(f"`{command_line()}` (n = {n:,})\n")
    print(
        table(
            ["input", "conversion per element", "ndarray.copy per element", "conversion / copy"],
            rows,
        )
    )


if __name__ == "__main__":
    main()
