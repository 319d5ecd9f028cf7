"""Plain-Python reference of vollan's numerics, used as the oracle of the differential tests.

Everything here is a direct transcription of the algorithms, written for reading rather than
speed: Python floats are IEEE doubles, unsigned 64-bit arithmetic is emulated with a mask, and
every floating-point operation happens in the same order as in the extension, so results are
expected to agree bit for bit.  Core error texts are raised as ``ValueError``.
"""

from __future__ import annotations

import bisect
import math
import struct

MASK64 = 0xFFFFFFFFFFFFFFFF
MASK32 = 0xFFFFFFFF
MIN_STD = 1e-12
QUIET_NAN_BITS = 0x7FF8000000000000
# What x86 produces for an invalid operation such as inf - inf or 0 * inf.
DEFAULT_NAN_BITS = 0xFFF8000000000000

BLOCK_LEN_ERROR = "reference series is shorter than block length"
TAPER_ERROR = "taper_ratio is too large for the block length"


# Float helpers.


def bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b & MASK64))[0]


QUIET_NAN = from_bits(QUIET_NAN_BITS)


def total_order_key(x: float) -> int:
    """Integer key that sorts doubles in IEEE 754 total order (-NaN < -inf < ... < -0 < +0 ...)."""
    b = struct.unpack("<q", struct.pack("<d", x))[0]
    return b if b >= 0 else b ^ 0x7FFFFFFFFFFFFFFF


def sorted_total(values) -> list[float]:
    return sorted(values, key=total_order_key)


def is_finite_bits(x: float) -> bool:
    return (bits(x) & 0x7FFFFFFFFFFFFFFF) <= 0x7FEFFFFFFFFFFFFF


def to_u64(x: float) -> int:
    """Double to unsigned 64-bit: truncate toward zero, saturate; NaN and negatives give 0."""
    if math.isnan(x) or x <= 0.0:
        return 0
    if x >= 18446744073709551616.0:
        return MASK64
    return int(x)


def c_round(x: float) -> float:
    """C's round(): halves away from zero (Python's round() goes to even)."""
    if not math.isfinite(x):
        return x
    r = math.floor(abs(x))
    if abs(x) - r >= 0.5:  # the fractional part of a double is exact
        r += 1
    return math.copysign(float(r), x)


def c_floor(x: float) -> float:
    return float(math.floor(x)) if math.isfinite(x) else x


def c_ceil(x: float) -> float:
    return float(math.ceil(x)) if math.isfinite(x) else x


def fmax(a: float, b: float) -> float:
    """C fmax: a NaN operand yields the other one."""
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return max(b, a)


def fma(a: float, b: float, c: float) -> float:
    """C fma; math.fma raises where C returns inf or the default NaN."""
    try:
        return math.fma(a, b, c)
    except ValueError:
        return from_bits(DEFAULT_NAN_BITS)
    except OverflowError:
        return math.copysign(math.inf, a * b + c)


# Change types.

CHANGE_TYPES = ("mean", "var", "distribution")


def _quote(text: str) -> str:
    out = ['"']
    for ch in text:
        if ch in '\\"':
            out.append("\\" + ch)
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\0":
            out.append("\\0")
        elif not ch.isprintable():
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def ascii_lower(text: str) -> str:
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


def parse_change_type(text: str) -> str:
    lowered = ascii_lower(text)
    if lowered in CHANGE_TYPES:
        return lowered
    raise ValueError(
        "change_type must be one of {'mean', 'var', 'distribution'}, got " + _quote(lowered)
    )


# Prefix statistics.


def prefix_stats(series) -> tuple[list[float], list[float]]:
    ps = [0.0]
    pss = [0.0]
    acc = 0.0
    acc_sq = 0.0
    for v in series:
        acc = acc + v
        acc_sq = acc_sq + v * v
        ps.append(acc)
        pss.append(acc_sq)
    return ps, pss


def mean_std(prefix, start: int, length: int, min_std: float) -> tuple[float, float]:
    ps, pss = prefix
    L = float(length)
    d = ps[start + length] - ps[start]
    mean = d / L
    if length < 2:
        return mean, min_std
    s = (pss[start + length] - pss[start]) - (d * d) / L
    if math.isnan(s):
        s = 0.0
    v = fmax(s, 0.0) / (L - 1.0)
    r = math.sqrt(v)
    return mean, fmax(r, min_std)


# Distance.


def wasserstein_1d_sorted(a, b) -> float:
    n = len(a)
    m = len(b)
    if n == 0 or m == 0:
        return QUIET_NAN
    # A NaN never equals itself, so the walk could not consume it.
    if any(math.isnan(v) for v in a) or any(math.isnan(v) for v in b):
        return QUIET_NAN
    step_f = 1.0 / float(n)
    step_g = 1.0 / float(m)
    F = 0.0
    G = 0.0
    total = 0.0
    i = 0
    j = 0
    prev = min(a[0], b[0])
    while i < n or j < m:
        if i < n and j < m:
            x = min(a[i], b[j])
        elif i < n:
            x = a[i]
        else:
            x = b[j]
        # Equal distribution functions contribute nothing; skipping them also avoids inf * 0.
        if F != G:
            total = total + (x - prev) * abs(F - G)
        while i < n and a[i] == x:
            F = F + step_f
            i += 1
        while j < m and b[j] == x:
            G = G + step_g
            j += 1
        prev = x
    return total


def wasserstein_statistic(left, right) -> float:
    return wasserstein_1d_sorted(sorted_total(left), sorted_total(right))


# Refinement.


def cusum_split(values) -> int:
    n = len(values)
    total = 0.0
    for v in values:
        total = total + v
    mean = total / float(n)
    s = 0.0
    best = -math.inf
    best_k = 0
    for k in range(n - 1):
        s = s + (mean - values[k])
        if abs(s) > best:
            best = abs(s)
            best_k = k
    return best_k + 1


def wasserstein_split(values) -> tuple[int, list[float]]:
    n = len(values)
    stats = [QUIET_NAN] * n
    right = sorted_total(values)
    left: list[float] = []
    best = -math.inf
    best_j = 1
    for j in range(1, n):
        v = values[j - 1]
        key = total_order_key(v)
        left.insert(bisect.bisect_left(left, key, key=total_order_key), v)
        del right[bisect.bisect_left(right, key, key=total_order_key)]
        weight = math.sqrt((float(n - j) * float(j)) / float(n))
        stat = wasserstein_1d_sorted(left, right) * weight
        stats[j] = stat
        if stat > best:
            best = stat
            best_j = j
    return best_j, stats


def refine_for_change_type(values, change_type: str) -> int:
    if len(values) < 3:
        raise ValueError("need at least 3 points")
    if change_type == "mean":
        return cusum_split(values)
    return wasserstein_split(values)[0]


# Random numbers.

SM_GAMMA = 0x9E3779B97F4A7C15
C1 = 0xBF58476D1CE4E5B9
C2 = 0x94D049BB133111EB


class SplitMix64:
    def __init__(self, state: int):
        self.state = state & MASK64

    def next(self) -> int:
        self.state = (self.state + SM_GAMMA) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * C1) & MASK64
        z = ((z ^ (z >> 27)) * C2) & MASK64
        return z ^ (z >> 31)


def _rotl(x: int, k: int) -> int:
    return ((x << k) | (x >> (64 - k))) & MASK64


class Xoshiro256pp:
    def __init__(self, seed: int):
        sm = SplitMix64(seed)
        self.s = [sm.next(), sm.next(), sm.next(), sm.next()]

    def next(self) -> int:
        s = self.s
        result = (_rotl((s[0] + s[3]) & MASK64, 23) + s[0]) & MASK64
        t = (s[1] << 17) & MASK64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = _rotl(s[3], 45)
        return result


def canon_draw(rng: Xoshiro256pp, r: int) -> int:
    """Unbiased integer in 0 .. r-1 (Canon's method, one correction step)."""
    if r < (1 << 32):
        x = rng.next() >> 32
        m = x * r
        hi = m >> 32
        lo = m & MASK32
        if lo > ((-r) & MASK32):
            x2 = rng.next() >> 32
            h2 = (x2 * r) >> 32
            if lo + h2 >= (1 << 32):
                hi += 1
        return hi
    x = rng.next()
    m = x * r
    hi = m >> 64
    lo = m & MASK64
    if lo > ((-r) & MASK64):
        x2 = rng.next()
        h2 = (x2 * r) >> 64
        if lo + h2 > MASK64:
            hi += 1
    return hi


def window_seed(seed: int, w: int) -> int:
    return 0x3903FA2331F06E58 ^ ((w * C2) & MASK64) ^ seed


def position_seed(seed: int, w: int, p: int) -> int:
    return ((p * C1) & MASK64) ^ window_seed(seed, w)


def replicate_seed(seed: int, w: int, p: int, r: int) -> int:
    return (
        0x53B28FE19D2BBF48 ^ (((r * C1) & MASK64) ^ position_seed(seed, w, p)) ^ ((w * C2) & MASK64)
    )


# Bootstrap.


def block_length(L: int, b: int | None) -> int:
    if b is not None:
        return max(min(b, L), 3)
    f = math.sqrt(float(L)) if L < 100 else math.pow(float(L), 0.3333333333333333)
    r = to_u64(c_round(f))
    return max(min(r, L), 8)


def taper_weights(block_len: int, taper_ratio: float) -> tuple[list[float], float]:
    weights = [1.0] * block_len
    t = to_u64(c_floor(taper_ratio * float(block_len) * 0.5))
    if t > block_len:
        raise ValueError(TAPER_ERROR)
    if t > 0:
        c = 1.0 / float(t + 1)
        for k in range(t):
            v = float(k + 1) * c
            weights[k] = v
            weights[block_len - 1 - k] = v
    s = 0.0
    for wt in weights:
        s = s + wt * wt
    return weights, math.sqrt(float(block_len)) / math.sqrt(s)


def replicate_distance(z, w, block_len, weights, scale, seed_r) -> float:
    L = len(z)
    n_starts = L - block_len + 1
    n_blocks = -(-L // block_len)
    rng = Xoshiro256pp(seed_r)
    buf: list[float] = []
    for _ in range(n_blocks):
        u = canon_draw(rng, n_starts)
        m = min(block_len, L - len(buf))
        for k in range(m):
            buf.append((z[u + k] * weights[k]) * scale)
    return wasserstein_1d_sorted(sorted_total(buf[:w]), sorted_total(buf[w:]))


def tbb_distances(z, w, block_len, weights, scale, seed, p, n_perm) -> list[float]:
    return [
        replicate_distance(z, w, block_len, weights, scale, replicate_seed(seed, w, p, r))
        for r in range(n_perm)
    ]


def quantile(distances, q: float) -> float:
    n = len(distances)
    if n == 0:
        return QUIET_NAN
    if n == 1:
        return distances[0]
    h = float(n - 1) * q
    lo = to_u64(c_floor(h))
    hi = to_u64(c_ceil(h))
    ordered = sorted_total(distances)
    v_lo = ordered[lo]
    if lo == hi:
        return v_lo
    v_hi = ordered[lo + 1]
    f = h - float(lo)
    return fma(v_lo, 1.0 - f, f * v_hi)


def bootstrap_threshold(
    series, prefix, p, w, n_perm, q, min_std, taper_ratio, center, b, seed
) -> float:
    mL, sL = mean_std(prefix, p, w, min_std)
    mR, sR = mean_std(prefix, p + w, w, min_std)
    rL = 1.0 / sL
    rR = 1.0 / sR
    if center:
        z = [(series[p + k] - mL) * rL for k in range(w)]
        z += [(series[p + w + k] - mR) * rR for k in range(w)]
    else:
        z = [series[p + k] * rL for k in range(w)]
        z += [series[p + w + k] * rR for k in range(w)]
    L = 2 * w
    bl = block_length(L, b)
    weights, scale = taper_weights(bl, taper_ratio)
    if L < bl:
        raise ValueError(BLOCK_LEN_ERROR)
    distances = tbb_distances(z, w, bl, weights, scale, seed, p, n_perm)
    back = math.sqrt(0.5 * (sL * sL + sR * sR))
    distances = [d * back for d in distances]
    return quantile(distances, q)


# Per-window detection.


def alpha_percent(alpha_q: float) -> float:
    return 100.0 * alpha_q if alpha_q <= 1.0 else alpha_q


def quantile_level(a_percent: float, K: int) -> float:
    inner = 100.0 - a_percent / float(K)
    if math.isnan(inner):
        return inner
    return min(100.0, max(0.0, inner)) * 0.01


def localized_regions(flagged: list[int], w: int) -> list[tuple[int, int]]:
    """Adjacent flagged positions pair up from the start of each run; a lone one stands alone."""
    regions = []
    j = 0
    while j < len(flagged):
        s = flagged[j]
        if j + 1 < len(flagged) and flagged[j + 1] == s + 1:
            e = s + 1
            j += 2
        else:
            e = s
            j += 1
        regions.append((s * w, (e + 2) * w))
    return regions


def _empty_window() -> dict:
    return {
        "change_points": [],
        "starts": [],
        "statistics": [],
        "tapered_block_bootstrap_threshold": [],
        "localized_regions": [],
    }


def detect_for_window(
    series,
    w,
    n_perm=300,
    alpha_q=1.0,
    seed=123,
    change_type="mean",
    b=None,
    taper_ratio=0.5,
    center=True,
    prefix=None,
) -> dict:
    """One window size over the whole series: the five-key window result."""
    ct = parse_change_type(change_type)
    n = len(series)
    if w == 0 or n < 2 * w:
        return _empty_window()
    if prefix is None:
        prefix = prefix_stats(series)
    K = n // w - 1
    q = quantile_level(alpha_percent(alpha_q), K)

    starts, statistics, thresholds, flagged = [], [], [], []
    T = QUIET_NAN
    refresh = True
    for i in range(K):
        p = i * w
        if refresh:
            T = bootstrap_threshold(
                series, prefix, p, w, n_perm, q, MIN_STD, taper_ratio, center, b, seed
            )
        left = sorted_total(series[p : p + w])
        right = sorted_total(series[p + w : p + 2 * w])
        S = wasserstein_1d_sorted(left, right)
        starts.append(p)
        statistics.append(S)
        thresholds.append(T)
        refresh = S > T
        if refresh:
            flagged.append(i)

    regions = localized_regions(flagged, w)
    change_points = []
    for a, c in regions:
        k = refine_for_change_type(series[a:c], ct)
        change_points.append(min(max(a + k, a + 1), c - 1))

    return {
        "change_points": change_points,
        "starts": starts,
        "statistics": statistics,
        "tapered_block_bootstrap_threshold": thresholds,
        "localized_regions": regions,
    }


# Aggregation.


def compute_change_points_with_votes(cp_dict: dict, tol: int) -> dict:
    votes: dict[int, int] = {}
    for w in sorted(cp_dict):
        seen = set()
        for p in cp_dict[w]:
            if p in seen:
                continue
            seen.add(p)
            votes[p] = votes.get(p, 0) + 1

    segments: dict[str, dict] = {}
    counter = 1
    current = None
    prev = None
    for q in sorted(votes):
        v = votes[q]
        if current is not None and q - prev <= tol:
            current["points"].append(q)
            current["point_votes"][q] = v
            current["segment_votes"] += v
        else:
            if current is not None:
                segments["segment_" + str(counter)] = current
                counter += 1
            current = {"points": [q], "point_votes": {q: v}, "segment_votes": v}
        prev = q
    if current is not None:
        segments["segment_" + str(counter)] = current
    return segments


def cdf_from_segment_votes(segments: dict, n_windows: int) -> dict:
    if n_windows == 0:
        raise ValueError("number of windows must be positive")
    seg_votes: dict[int, int] = {}
    for seg in segments.values():
        if not seg["point_votes"]:
            continue
        leader = None
        best = None
        for p in sorted(seg["point_votes"]):
            if leader is None or seg["point_votes"][p] > best:
                leader = p
                best = seg["point_votes"][p]
        seg_votes[leader] = seg["segment_votes"]
    leaders = sorted(seg_votes)
    seg_votes = {p: seg_votes[p] for p in leaders}

    scores = {}
    for p in leaders:
        scores[p] = min(float(seg_votes[p]) / float(n_windows), 1.0)

    E = 0.0
    for p in leaders:
        E = E + scores[p]
    probs = {}
    if E > 0.0:
        r = 1.0 / E
        for p in leaders:
            probs[p] = scores[p] * r
    elif leaders:
        for p in leaders:
            probs[p] = 1.0 / float(len(leaders))

    cdf = []
    c = 0.0
    for p in leaders:
        c = c + probs[p]
        cdf.append((p, c))
    return {
        "leaders_segment_votes": seg_votes,
        "leaders_scores": scores,
        "leaders_probs": probs,
        "cdf": cdf,
    }


# Entries.


SERIES_LENGTH_ERROR = "series must contain at least 3 values"
SERIES_FINITE_ERROR = "series contains NaN or infinite values; clean/impute before calling vollan"


def _check_series(series) -> None:
    if len(series) < 3:
        raise ValueError(SERIES_LENGTH_ERROR)
    if not all(is_finite_bits(v) for v in series):
        raise ValueError(SERIES_FINITE_ERROR)


def refine_cusum(series) -> int:
    _check_series(series)
    return cusum_split(series)


def refine_wasserstein(series) -> tuple[int, list[float]]:
    _check_series(series)
    return wasserstein_split(series)


def swal_statistic(series, change_type="distribution") -> int:
    _check_series(series)
    return refine_for_change_type(series, parse_change_type(change_type))


def scan_single_window(
    series,
    window_size,
    n_perm=300,
    alpha_q=1.0,
    seed=123,
    change_type="mean",
    b=None,
    taper_ratio=0.5,
    center=True,
    batch_size=32,
) -> dict:
    _check_series(series)
    if window_size == 0:
        raise ValueError("window_size must be positive")
    parse_change_type(change_type)
    return detect_for_window(
        series, window_size, n_perm, alpha_q, seed, change_type, b, taper_ratio, center
    )


def scan_detector(
    series,
    window_sizes=None,
    n_perm=300,
    alpha_q=1.0,
    seed=123,
    tol=2,
    workers=None,
    backend="thread",
    change_type="mean",
    b=None,
    taper_ratio=0.5,
    center=True,
    batch_size=32,
) -> dict:
    _check_series(series)
    if window_sizes is None:
        window_sizes = list(range(10, 21))
    if not window_sizes:
        raise ValueError("window_sizes must not be empty")
    for w in window_sizes:
        if w == 0:
            raise ValueError("window_sizes must be positive, got 0")
    if ascii_lower(backend) not in ("thread", "process"):
        raise ValueError("backend must be 'thread' or 'process'.")
    parse_change_type(change_type)

    prefix = prefix_stats(series)
    # Every window is computed; the first failure in list order is the one reported.
    outcomes = []
    for w in window_sizes:
        try:
            outcomes.append(
                detect_for_window(
                    series, w, n_perm, alpha_q, seed, change_type, b, taper_ratio, center, prefix
                )
            )
        except ValueError as err:
            outcomes.append(err)
    by_window = {}
    for w, outcome in zip(window_sizes, outcomes, strict=True):
        if isinstance(outcome, ValueError):
            raise outcome
        by_window[w] = outcome
    cp_dict = {w: list(by_window[w]["change_points"]) for w in sorted(by_window)}
    window_results = {w: by_window[w] for w in sorted(by_window)}
    segments = compute_change_points_with_votes(cp_dict, tol)
    out = cdf_from_segment_votes(segments, len(cp_dict))
    return {"cp_dict": cp_dict, "window_results": window_results, "out": out}
