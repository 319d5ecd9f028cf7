"""The demo run by ``make demo``: change points of the Nile's annual flow, 1871-1970."""

from __future__ import annotations

import vollan
from vollan.datasets import load_nile


def main() -> None:
    nile = load_nile()
    years, flow = nile.labels, list(nile.values)
    print(f"Nile at Aswan, annual flow {years[0]}-{years[-1]} ({len(flow)} values)")

    k = vollan.refine_cusum(flow)
    print(
        f"refine_cusum: the mean changes at {years[k]} "
        f"(the first year of the new regime, index {k})"
    )

    k_w, stats = vollan.refine_wasserstein(flow)
    print(
        f"refine_wasserstein: the distribution changes at {years[k_w]} "
        f"(weighted distance {stats[k_w]:.1f})"
    )

    before, after = flow[:k], flow[k:]
    print(
        f"mean flow before {sum(before) / len(before):.0f}, from {years[k]} on "
        f"{sum(after) / len(after):.0f}; Wasserstein distance between the two parts "
        f"{vollan.wasserstein_statistic(before, after):.1f}"
    )

    try:
        single = vollan.scan_single_window(flow, 10, seed=1)
    except NotImplementedError:
        return
    found = ", ".join(str(years[c]) for c in single["change_points"]) or "none"
    print(f"scan_single_window (w = 10): change points at {found}")

    try:
        result = vollan.scan_detector(flow, window_sizes=list(range(8, 16)), seed=1)
    except NotImplementedError:
        return
    probs = result["out"]["leaders_probs"]
    if not probs:
        print("scan_detector: no change found")
    for leader, p in probs.items():
        votes = result["out"]["leaders_segment_votes"][leader]
        print(f"scan_detector leader: {years[leader]} with probability {p:.2f} ({votes} votes)")


if __name__ == "__main__":
    main()
