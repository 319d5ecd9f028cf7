"""The extension against the plain-Python reference on seeded random input, compared bit for bit."""

import math
import random

import pytest

import _vollan_native as native
import reference as ref

MAX = 1.7976931348623157e308
KINDS = ["gauss", "ties", "negzero", "huge", "tiny", "constant", "extremes"]


def assert_same(got, want, path="result"):
    """Structural equality with floats compared by their bits (NaN included) and exact types."""
    assert type(got) is type(want), f"{path}: {type(got).__name__} != {type(want).__name__}"
    if isinstance(want, float):
        assert ref.bits(got) == ref.bits(want), (
            f"{path}: {got!r} ({ref.bits(got):#018x}) != {want!r} ({ref.bits(want):#018x})"
        )
    elif isinstance(want, dict):
        assert list(got) == list(want), f"{path}: keys {list(got)} != {list(want)}"
        for k in want:
            assert_same(got[k], want[k], f"{path}[{k!r}]")
    elif isinstance(want, (list, tuple)):
        assert len(got) == len(want), f"{path}: length {len(got)} != {len(want)}"
        for i, (g, w) in enumerate(zip(got, want, strict=True)):
            assert_same(g, w, f"{path}[{i}]")
    else:
        assert got == want, f"{path}: {got!r} != {want!r}"


def sample(rng: random.Random, kind: str, n: int) -> list[float]:
    if kind == "gauss":
        return [rng.gauss(0.0, 1.0) for _ in range(n)]
    if kind == "ties":
        return [float(rng.randint(-3, 3)) for _ in range(n)]
    if kind == "negzero":
        return [rng.choice([0.0, -0.0, 0.0, -0.0, 1.0, -1.0, 0.5]) for _ in range(n)]
    if kind == "huge":
        return [rng.uniform(-1.0, 1.0) * 1e300 for _ in range(n)]
    if kind == "tiny":
        return [
            rng.choice([rng.uniform(-1.0, 1.0) * 1e-300, 5e-324, -5e-324, 0.0]) for _ in range(n)
        ]
    if kind == "constant":
        out: list[float] = []
        while len(out) < n:
            out += [round(rng.gauss(0.0, 2.0), 1)] * rng.randint(1, 8)
        return out[:n]
    if kind == "extremes":
        return [rng.choice([MAX, -MAX, 1e300, -1e300, 0.0, 1.0]) for _ in range(n)]
    raise AssertionError(kind)


# Two-sample distance.


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("fn", [native.wasserstein_statistic, native.ipm_statistic])
def test_distance_matches_reference(fn, kind):
    rng = random.Random(f"distance-{kind}")
    for _ in range(60):
        a = sample(rng, kind, rng.randint(1, 25))
        b = sample(rng, kind, rng.randint(1, 25))
        if rng.random() < 0.3:
            b = a[: rng.randint(1, len(a))] + b[:3]
        rng.shuffle(a)
        assert_same(fn(a, b), ref.wasserstein_statistic(a, b), f"{fn.__name__}({a}, {b})")


def test_distance_of_mixed_scales():
    rng = random.Random("distance-mixed")
    for _ in range(100):
        a = sample(rng, rng.choice(KINDS), rng.randint(1, 12))
        b = sample(rng, rng.choice(KINDS), rng.randint(1, 12))
        assert_same(native.wasserstein_statistic(a, b), ref.wasserstein_statistic(a, b))


# Whole-series split searches.


@pytest.mark.parametrize("kind", KINDS)
def test_split_searches_match_reference(kind):
    rng = random.Random(f"split-{kind}")
    for _ in range(40):
        n = rng.randint(3, 40)
        s = sample(rng, kind, n)
        if rng.random() < 0.5:
            cut = rng.randint(1, n - 1)
            s = (
                s[:cut] + [v * 0.5 + 2.0 for v in s[cut:]]
                if kind not in ("huge", "extremes")
                else s
            )
        assert_same(native.refine_cusum(s), ref.refine_cusum(s), f"refine_cusum({s})")
        assert_same(
            native.refine_wasserstein(s), ref.refine_wasserstein(s), f"refine_wasserstein({s})"
        )
        for ct in ("mean", "var", "distribution", "DISTRIBUTION"):
            assert_same(
                native.swal_statistic(s, ct),
                ref.swal_statistic(s, ct),
                f"swal_statistic({s}, {ct})",
            )
        assert_same(native.swal_statistic(s), ref.swal_statistic(s))


# Single window.


def planted(rng: random.Random, kind: str, n: int) -> list[float]:
    """A series with changes at about 40% and 75% of its length."""
    c1, c2 = int(n * 0.4), int(n * 0.75)
    if kind == "mean":
        levels = [0.0, 3.0, -1.0]
        return [rng.gauss(levels[(i >= c1) + (i >= c2)], 1.0) for i in range(n)]
    if kind == "var":
        scales = [1.0, 4.0, 0.3]
        return [rng.gauss(0.0, scales[(i >= c1) + (i >= c2)]) for i in range(n)]
    if kind == "distribution":

        def draw(i):
            if c1 <= i < c2:
                return rng.expovariate(1.0) - 1.0
            return rng.gauss(0.0, 1.0)

        return [draw(i) for i in range(n)]
    if kind == "ties":
        return [float(rng.randint(0, 2) + 3 * (c1 <= i < c2)) for i in range(n)]
    if kind == "constant":
        return [5.0] * c1 + [5.0 + (rng.random() < 0.2) for _ in range(c2 - c1)] + [2.0] * (n - c2)
    if kind == "huge":
        return [v * 1e300 for v in planted(rng, "mean", n)]
    if kind == "tiny":
        return [v * 1e-300 for v in planted(rng, "var", n)]
    if kind == "extremes":
        # Prefix sums overflow to inf and inf - inf: NaN moments, NaN replicates.
        return [rng.choice([MAX, -MAX, 1.0] if i < c1 else [MAX, MAX, 0.0]) for i in range(n)]
    if kind == "negzero":
        return [rng.choice([0.0, -0.0]) if i < c1 else rng.choice([-0.0, 1.0]) for i in range(n)]
    raise AssertionError(kind)


SINGLE_CASES = [
    # kind, n, w, n_perm, b, center, taper_ratio, change_type, alpha_q, seed
    ("mean", 120, 10, 30, None, True, 0.5, "mean", 1.0, 123),
    ("mean", 127, 9, 7, None, True, 0.5, "mean", 0.05, 1),
    ("mean", 150, 12, 64, None, False, 0.0, "distribution", 1.0, 2**64 - 1),
    ("mean", 131, 8, 70, 5, True, 1.0, "var", 5.0, 42),
    ("var", 160, 16, 30, None, True, 2.0, "var", 1.0, 7),
    ("var", 103, 7, 64, 3, False, 0.5, "mean", 0.5, 0),
    ("distribution", 200, 20, 30, None, True, 0.5, "distribution", 1.0, 99),
    ("distribution", 155, 13, 7, 30, True, 1.0, "mean", 30.0, 5),
    ("ties", 120, 6, 70, None, True, 0.5, "distribution", 1.0, 11),
    ("ties", 93, 5, 30, 2, False, 0.0, "mean", 1.0, 12),
    ("constant", 100, 10, 30, None, True, 0.5, "mean", 1.0, 13),
    ("constant", 90, 4, 64, None, False, 2.0, "var", 1.0, 14),
    ("huge", 120, 10, 30, None, True, 0.5, "mean", 1.0, 15),
    ("huge", 96, 8, 30, None, False, 0.5, "distribution", 1.0, 16),
    ("tiny", 120, 10, 30, None, True, 0.5, "var", 1.0, 17),
    ("negzero", 80, 8, 30, None, True, 1.0, "distribution", 1.0, 18),
    ("extremes", 80, 8, 30, None, True, 0.5, "mean", 1.0, 29),
    ("extremes", 99, 9, 64, None, False, 0.5, "distribution", 0.2, 30),
    ("extremes", 80, 8, 30, None, True, 0.5, "mean", 1e6, 31),
    ("extremes", 80, 8, 31, None, True, 0.5, "mean", 450.0, 32),
    ("extremes", 80, 8, 64, None, False, 1.0, "mean", 600.0, 33),
    ("mean", 40, 4, 7, None, True, 0.5, "mean", 1.0, 19),
    ("mean", 41, 20, 7, None, True, 0.5, "mean", 1.0, 20),
    ("mean", 39, 20, 7, None, True, 0.5, "mean", 1.0, 21),
    ("mean", 39, 2**63, 7, None, True, 0.5, "mean", 1.0, 21),
    ("mean", 39, 2**64 - 1, 7, 2**64 - 1, True, 0.5, "mean", 1.0, 21),
    ("mean", 60, 1, 7, 3, True, 0.5, "mean", 1.0, 22),
    ("mean", 30, 2, 7, None, True, 0.5, "mean", 1.0, 23),
    ("mean", 60, 10, 0, None, True, 0.5, "mean", 1.0, 24),
    ("mean", 60, 10, 1, None, True, 0.5, "mean", 1.0, 25),
    ("mean", 60, 10, 7, None, True, 0.5, "mean", math.nan, 26),
    ("mean", 60, 10, 7, None, True, -1.0, "mean", -3.0, 27),
    ("mean", 400, 3, 7, 6, True, 0.5, "mean", 1.0, 28),
    # Default block lengths beyond 8: sqrt rule (9, 10) and cube-root rule (9, 10).
    ("mean", 200, 37, 30, None, True, 0.5, "mean", 1.0, 34),
    ("var", 300, 49, 30, None, True, 1.0, "var", 1.0, 35),
    ("distribution", 160, 50, 64, None, False, 0.5, "distribution", 1.0, 36),
    ("mean", 700, 308, 7, None, True, 0.5, "mean", 1.0, 37),
    ("var", 1001, 500, 7, None, True, 2.0, "var", 1.0, 38),
]


def outcome(fn, *args, **kwargs):
    try:
        return "ok", fn(*args, **kwargs)
    except ValueError as err:
        return "ValueError", str(err)


@pytest.mark.parametrize(
    "case", SINGLE_CASES, ids=[f"{c[0]}-n{c[1]}-w{c[2]}-p{c[3]}" for c in SINGLE_CASES]
)
def test_scan_single_window_matches_reference(case):
    kind, n, w, n_perm, b, center, taper, ct, alpha, seed = case
    s = planted(random.Random(f"single-{case}"), kind, n)
    kwargs = {
        "n_perm": n_perm,
        "alpha_q": alpha,
        "seed": seed,
        "change_type": ct,
        "taper_ratio": taper,
        "center": center,
    }
    if b is not None:
        kwargs["b"] = b
    got = outcome(native.scan_single_window, s, w, **kwargs)
    want = outcome(ref.scan_single_window, s, w, **kwargs)
    assert_same(got, want)


def test_single_window_finds_and_thresholds_many_regions():
    # Enough alternating steps for eight or more regions, refined in parallel.
    rng = random.Random("many-regions")
    s = [rng.gauss(6.0 * ((i // 16) % 2), 0.5) for i in range(16 * 20)]
    got = native.scan_single_window(s, 8, n_perm=7, seed=3)
    assert_same(got, ref.scan_single_window(s, 8, n_perm=7, seed=3))
    assert len(got["localized_regions"]) >= 8


@pytest.mark.parametrize("taper_ratio", [2.2, 1.99, math.nan, -1.0, 1e-300])
@pytest.mark.parametrize("w", [10, 37])
def test_taper_ratio_edges_match_reference(taper_ratio, w):
    # 2.2 still fits a block of 8 (ramps of 8); NaN and negative ratios mean no taper.
    s = planted(random.Random(f"taper-{w}"), "mean", 4 * w)
    kwargs = {"n_perm": 30, "taper_ratio": taper_ratio, "seed": w}
    assert_same(native.scan_single_window(s, w, **kwargs), ref.scan_single_window(s, w, **kwargs))


@pytest.mark.parametrize("taper_ratio", [2.5, math.inf])
def test_too_large_taper_ratio_is_refused_by_both(taper_ratio):
    s = planted(random.Random("taper"), "mean", 60)
    with pytest.raises(ValueError):
        ref.scan_single_window(s, 10, n_perm=7, taper_ratio=taper_ratio)
    with pytest.raises(ValueError):
        native.scan_single_window(s, 10, n_perm=7, taper_ratio=taper_ratio)


# Many windows.


DETECTOR_CASES = [
    # kind, n, window_sizes, n_perm, tol, change_type, b
    ("mean", 150, [10, 12, 15], 7, 2, "mean", None),
    ("var", 140, [14, 7, 10, 7], 30, 5, "var", None),
    ("distribution", 160, [20, 8, 16, 11, 9], 7, 0, "distribution", 4),
    ("ties", 120, [6, 6, 6], 64, 2, "mean", None),
    ("constant", 100, [10, 5, 60], 7, 5, "mean", None),
    ("mean", 45, None, 7, 2, "mean", None),
    ("mean", 80, [2**64 - 1, 10, 2**63], 7, 2, "mean", 2**64 - 1),
    ("distribution", 220, None, 300, 2, "distribution", None),
    ("extremes", 90, [9, 10, 15], 7, 2, "var", None),
    ("mean", 60, [30, 4, 2], 7, 2, "mean", None),
]


@pytest.mark.parametrize(
    "case", DETECTOR_CASES, ids=[f"{c[0]}-{c[2]}-tol{c[4]}" for c in DETECTOR_CASES]
)
def test_scan_detector_matches_reference(case):
    kind, n, sizes, n_perm, tol, ct, b = case
    s = planted(random.Random(f"detector-{case}"), kind, n)
    kwargs = {
        "window_sizes": sizes,
        "n_perm": n_perm,
        "seed": 77,
        "tol": tol,
        "change_type": ct,
        "b": b,
    }
    got = outcome(native.scan_detector, s, **kwargs)
    want = outcome(ref.scan_detector, s, **kwargs)
    assert_same(got, want)
    if want[0] == "ok":
        assert_same(outcome(native.scan_detector, s, workers=1, **kwargs), want)


# Random sweeps over all settings.

PLANTED_KINDS = [
    "mean",
    "var",
    "distribution",
    "ties",
    "constant",
    "huge",
    "tiny",
    "negzero",
    "extremes",
]


def random_settings(rng: random.Random) -> dict:
    return {
        "n_perm": rng.choice([0, 1, 2, 7, 30, 63, 64, 65, 70, 150, 300]),
        "alpha_q": rng.choice([1.0, 0.05, 0.5, 5.0, 100.0, 250.0, rng.random()]),
        "seed": rng.getrandbits(64),
        "change_type": rng.choice(["mean", "var", "distribution"]),
        "b": rng.choice([None, None, rng.randint(0, 40)]),
        "taper_ratio": rng.choice([0.0, 0.5, 1.0, 2.0, rng.uniform(0.0, 2.0)]),
        "center": rng.random() < 0.6,
    }


@pytest.mark.parametrize("chunk", range(8))
def test_scan_single_window_random_sweep(chunk):
    rng = random.Random(f"single-sweep-{chunk}")
    for _ in range(25):
        s = planted(rng, rng.choice(PLANTED_KINDS), rng.randint(3, 300))
        w = rng.choice([rng.randint(1, 6), rng.randint(4, 30), rng.randint(30, 80)])
        kwargs = random_settings(rng)
        got = outcome(native.scan_single_window, s, w, **kwargs)
        want = outcome(ref.scan_single_window, s, w, **kwargs)
        assert_same(got, want, f"scan_single_window(n={len(s)}, w={w}, {kwargs})")


@pytest.mark.parametrize("chunk", range(4))
def test_scan_detector_random_sweep(chunk):
    rng = random.Random(f"detector-sweep-{chunk}")
    for _ in range(8):
        s = planted(rng, rng.choice(PLANTED_KINDS), rng.randint(3, 250))
        sizes = [rng.randint(4, 40) for _ in range(rng.randint(1, 5))]
        kwargs = random_settings(rng)
        kwargs["tol"] = rng.choice([0, 2, 5])
        got = outcome(native.scan_detector, s, sizes, **kwargs)
        want = outcome(ref.scan_detector, s, sizes, **kwargs)
        assert_same(got, want, f"scan_detector(n={len(s)}, {sizes}, {kwargs})")
