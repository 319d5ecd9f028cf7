"""Scoring detectors on the corpus, and choosing a default setting without fooling oneself.

A detector is any callable ``(values: np.ndarray) -> list[int]`` returning change points (the
index of the first value of each new regime). Its results are kept in a :class:`Results`
table, one entry per (method name, case name), so that each is computed once: a grid of
settings is run on every series a single time, and the cross-validation only reads the table.

- :func:`run_detector`: NaN handling. A detector that declares ``accepts_nan = True``
  (see :func:`accepts_nan`) gets the values as they are; any other gets the observed values
  only, and its change points are mapped back to positions of the full series.
- :func:`evaluate`: fills a :class:`Results` table (two worker processes by default).
- :func:`null_table`: share of change-free series with any reported change.
- :func:`select_and_validate`: the in-sample best setting against the cross-validated
  choice (leave one group out), on a plain table of per-series scores.
- :func:`cross_validate_grid`: the same on a grid of settings run on the corpus: leave one
  real series out, leave one simulated family out.
- :func:`grid`: a dict of settings from a callable ``(values, **setting)`` and value lists.

    import protocol, corpus
    settings = protocol.grid(protocol.vollan_detect, min_score=[0.5, 0.6])
    report = protocol.cross_validate_grid(settings, corpus.load_tcpd(),
                                          corpus.simulated_cases(20))
    print(protocol.markdown_cross_validation(report))
"""

from __future__ import annotations

import functools
import inspect
import itertools
import math
import os
import pickle
import statistics
import sys
import time
import traceback
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from corpus import Case

from vollan.metrics import f1_score, segmentation_cover

Detector = Callable[[np.ndarray], Sequence[int]]
MARGIN = 5
TIE = 1e-12  # scores closer than this count as equal; the earlier setting wins


# --------------------------------------------------------------------------------------------
# Detectors


def accepts_nan(fn: Any) -> Any:
    """Mark a detector as taking series with NaN (missing values) as they are."""
    fn.accepts_nan = True
    return fn


def max_n(limit: int) -> Callable[[Any], Any]:
    """Mark a detector as too slow above ``limit`` values: longer series are not run."""

    def mark(fn: Any) -> Any:
        fn.max_n = limit
        return fn

    return mark


class Limited:
    """A detector that is not run above ``limit`` values; picklable when the detector is."""

    def __init__(self, fn: Any, limit: int) -> None:
        self.fn = fn
        self.max_n = limit
        if hasattr(fn, "accepts_nan"):
            self.accepts_nan = fn.accepts_nan

    def __call__(self, values: np.ndarray, **options: Any) -> Sequence[int]:
        return self.fn(values, **options)


def map_back(change_points: Iterable[int], kept: np.ndarray) -> list[int]:
    """Positions in the full series of change points found on ``values[kept]``.

    A change at position k of the shortened series (first value of its new regime) becomes
    ``kept[k]``, the position of that same value in the full series: missing values between
    the two regimes stay with the old one. Positions outside 1 .. len(kept) - 1 are dropped.
    """
    out = {int(kept[int(c)]) for c in change_points if 0 < int(c) < len(kept)}
    return sorted(out)


def run_detector(detector: Detector, values: np.ndarray) -> list[int]:
    """The detector's change points on values that may hold NaN, sorted, each in 1 .. n-1."""
    values = np.asarray(values, dtype=np.float64)
    n = len(values)
    missing = np.isnan(values)
    if getattr(detector, "accepts_nan", False) or not missing.any():
        found = detector(values)
        return sorted({int(c) for c in found if 0 < int(c) < n})
    kept = np.flatnonzero(~missing)
    return map_back(detector(values[kept]), kept)


def vollan_detect(values: np.ndarray, **options: Any) -> list[int]:
    """``vollan.detect(values, **options).change_points``.

    Takes NaN as they are when ``vollan.detect`` has a ``nan_policy`` parameter (it then
    leaves missing values out itself), and otherwise gets the observed values only.
    """
    import vollan  # noqa: PLC0415

    return list(vollan.detect(values, **options).change_points)


def _detect_takes_nan() -> bool:
    try:
        import vollan  # noqa: PLC0415
    except ImportError:
        return False
    return "nan_policy" in inspect.signature(vollan.detect).parameters


vollan_detect.accepts_nan = _detect_takes_nan()  # type: ignore[attr-defined]


def scan_and_vote(values: np.ndarray) -> list[int]:
    """The engine's scan and vote alone: no detrending, no contrast check, 300 replicates."""
    return vollan_detect(values, detrend=None, min_contrast=None, n_perm=300)


def bic_penalty(x: np.ndarray) -> float:
    # BIC for a Gaussian change in mean: each change adds a location and a mean (2 parameters),
    # each costing log(n) in units of the noise variance, here the sample variance.
    return 2.0 * float(np.var(x)) * math.log(len(x))


def _ruptures(name: str, x: np.ndarray) -> list[int]:
    import ruptures as rpt  # noqa: PLC0415

    algo = getattr(rpt, name)(model="l2").fit(x.reshape(-1, 1))
    return [int(c) for c in algo.predict(pen=bic_penalty(x))[:-1]]


@max_n(100_000)
def ruptures_binseg(x: np.ndarray) -> list[int]:
    """ruptures Binseg, model "l2", BIC penalty 2 var(x) log n, default min_size and jump."""
    return _ruptures("Binseg", x)


@max_n(100_000)
def ruptures_pelt(x: np.ndarray) -> list[int]:
    """ruptures Pelt, model "l2", BIC penalty 2 var(x) log n, default min_size and jump."""
    return _ruptures("Pelt", x)


def no_change(x: np.ndarray) -> list[int]:
    return []


def fresh_row(
    make: Callable[[np.random.Generator], tuple[np.ndarray, Sequence[int]]],
    seed: int,
    series: int,
    detector: Detector = vollan_detect,
) -> str:
    """Mean cover and F1 (margin :data:`MARGIN`) of ``detector`` on the series
    ``make(default_rng([seed, i]))`` for i below ``series``, the changes reported against the
    true ones, and the reports farther than the margin from every true change; as the last
    cells of a markdown row."""
    cover, f1, reported, true, false = [], [], 0, 0, 0
    for i in range(series):
        x, cuts = make(np.random.default_rng([seed, i]))
        found = list(detector(x))
        cover.append(segmentation_cover({"truth": cuts}, found, len(x)))
        f1.append(f1_score({"truth": cuts}, found, margin=MARGIN))
        reported += len(found)
        true += len(cuts)
        false += sum(all(abs(c - t) > MARGIN for t in cuts) for c in found)
    return f"{np.mean(cover):.3f} | {np.mean(f1):.3f} | {reported} / {true} | {false} |"


def grid(fn: Callable[..., Sequence[int]], **axes: Sequence[Any]) -> dict[str, Detector]:
    """Every combination of the axes' values, in order: the first is the first value of each.

    The first setting is the one that ties are resolved to (declare the simplest first).
    Names read "key=value, key=value". With a module-level ``fn`` the settings pickle, so
    they run in worker processes.
    """
    keys = list(axes)
    out: dict[str, Detector] = {}
    for combo in itertools.product(*(axes[k] for k in keys)):
        setting = dict(zip(keys, combo, strict=True))
        name = ", ".join(
            f"{k}={v!r}" if isinstance(v, str) else f"{k}={v}" for k, v in setting.items()
        )
        part = functools.partial(fn, **setting)
        for flag in ("accepts_nan", "max_n"):
            if hasattr(fn, flag):
                setattr(part, flag, getattr(fn, flag))
        out[name] = part
    return out


# --------------------------------------------------------------------------------------------
# Running and scoring


@dataclass(frozen=True)
class Outcome:
    """One detector on one series. An error or a series above the detector's ``max_n`` is
    scored as "no change" and marked, so that it shows in the tables."""

    change_points: tuple[int, ...]
    cover: float
    f1: float
    seconds: float
    error: str | None = None
    skipped: bool = False

    def score(self, metric: str) -> float:
        if metric == "cover":
            return self.cover
        if metric == "f1":
            return self.f1
        if metric == "mean":
            return 0.5 * (self.cover + self.f1)
        raise ValueError(f"unknown metric {metric!r}")


def score(case: Case, change_points: Sequence[int]) -> tuple[float, float]:
    """(segmentation cover, F1 at a margin of 5) against the case's annotators."""
    return (
        segmentation_cover(case.annotations, change_points, case.n),
        f1_score(case.annotations, change_points, margin=MARGIN),
    )


def _run_one(detector: Detector, case: Case) -> Outcome:
    limit = getattr(detector, "max_n", None)
    if limit is not None and case.n > limit:
        cover, f1 = score(case, [])
        return Outcome((), cover, f1, 0.0, error=f"not run above n = {limit}", skipped=True)
    start = time.perf_counter()
    try:
        found = run_detector(detector, case.values)
        error = None
    except Exception as exc:  # a failure is a result to report, not a reason to stop
        found = []
        error = f"{type(exc).__name__}: {exc}"
        if os.environ.get("BENCH_TRACEBACK"):
            traceback.print_exc()
    seconds = time.perf_counter() - start
    cover, f1 = score(case, found)
    return Outcome(tuple(found), cover, f1, seconds, error)


def _task(job: tuple[Detector, Case]) -> Outcome:
    return _run_one(*job)


_POOL: Any = None
_POOL_SIZE = 0


def _pool(processes: int) -> Any:
    """Worker processes (spawned, so that no engine thread pool is inherited half-started),
    each with one engine thread and one BLAS thread: together they fill the cores."""
    global _POOL, _POOL_SIZE
    if _POOL is None or _POOL_SIZE != processes:
        import multiprocessing  # noqa: PLC0415

        if _POOL is not None:
            _POOL.terminate()
        saved = {k: os.environ.get(k) for k in ("RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS")}
        os.environ["RAYON_NUM_THREADS"] = "1"
        os.environ["OPENBLAS_NUM_THREADS"] = "1"
        try:
            _POOL = multiprocessing.get_context("spawn").Pool(processes)
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        _POOL_SIZE = processes
    return _POOL


def _picklable(obj: Any) -> bool:
    try:
        pickle.dumps(obj)
        return True
    except Exception:
        return False


class Results:
    """Outcomes by (method name, case name). A name must stand for one detector throughout."""

    def __init__(self) -> None:
        self.table: dict[tuple[str, str], Outcome] = {}

    def __getitem__(self, key: tuple[str, str]) -> Outcome:
        return self.table[key]

    def __contains__(self, key: tuple[str, str]) -> bool:
        return key in self.table

    def outcomes(self, method: str, cases: Iterable[Case]) -> list[Outcome]:
        return [self.table[(method, c.name)] for c in cases]

    def scores(self, method: str, cases: Iterable[Case], metric: str) -> dict[str, float]:
        return {c.name: self.table[(method, c.name)].score(metric) for c in cases}


def evaluate(
    methods: Mapping[str, Detector],
    cases: Sequence[Case],
    results: Results | None = None,
    processes: int = 2,
) -> Results:
    """Run every method on every case not yet in ``results``; return the filled table.

    With ``processes`` > 1 the runs go to spawned worker processes, longest series first;
    a method that cannot be pickled (a lambda, a local function) runs here instead.
    """
    results = Results() if results is None else results
    todo = [(name, case) for name in methods for case in cases if (name, case.name) not in results]
    if not todo:
        return results
    local = [(m, c) for m, c in todo if processes <= 1 or not _picklable(methods[m])]
    remote = [(m, c) for m, c in todo if processes > 1 and _picklable(methods[m])]
    if local and processes > 1:
        names = sorted({m for m, _ in local})
        print(f"  (not picklable, run in this process: {', '.join(names)})", file=sys.stderr)
    if remote:
        remote.sort(key=lambda job: -job[1].n)
        pool = _pool(processes)
        jobs = [(methods[m], c) for m, c in remote]
        chunk = 1 if len(jobs) < 200 else 4
        for (m, c), outcome in zip(remote, pool.imap(_task, jobs, chunksize=chunk), strict=True):
            results.table[(m, c.name)] = outcome
    for m, c in local:
        results.table[(m, c.name)] = _run_one(methods[m], c)
    return results


def shutdown() -> None:
    global _POOL
    if _POOL is not None:
        _POOL.close()
        _POOL.join()
        _POOL = None


# --------------------------------------------------------------------------------------------
# Tables


def _fmt(x: float) -> str:
    return f"{x:.3f}"


def _flags(outcomes: Sequence[Outcome]) -> str:
    errors = sum(o.error is not None and not o.skipped for o in outcomes)
    skipped = sum(o.skipped for o in outcomes)
    notes = []
    if errors:
        notes.append(f"{errors} failed")
    if skipped:
        notes.append(f"{skipped} not run")
    return f" ({', '.join(notes)})" if notes else ""


def markdown_real(
    results: Results, methods: Sequence[str], cases: Sequence[Case], title: str
) -> str:
    """One row per series (cover / F1 per method), then the mean, counts and seconds."""
    head = ["series", "n", *methods]
    lines = [
        "| " + " | ".join(head) + " |",
        "|" + "|".join(["---", "--:"] + ["--:"] * len(methods)) + "|",
    ]
    for case in cases:
        cells = []
        for m in methods:
            o = results[(m, case.name)]
            cells.append(f"{_fmt(o.cover)} / {_fmt(o.f1)}{_flags([o])}")
        lines.append(f"| {case.name} | {case.n} | " + " | ".join(cells) + " |")
    means = []
    for m in methods:
        got = results.outcomes(m, cases)
        means.append(
            f"**{_fmt(np.mean([o.cover for o in got]))} / {_fmt(np.mean([o.f1 for o in got]))}**"
            + _flags(got)
        )
    lines.append(f"| **mean ({title})** | | " + " | ".join(means) + " |")
    counts = [str(sum(len(o.change_points) for o in results.outcomes(m, cases))) for m in methods]
    lines.append("| change points (total) | | " + " | ".join(counts) + " |")
    secs = [f"{sum(o.seconds for o in results.outcomes(m, cases)):.2f}" for m in methods]
    lines.append("| seconds (total) | | " + " | ".join(secs) + " |")
    return "\n".join(lines)


def family_means(
    results: Results, method: str, cases: Sequence[Case]
) -> dict[str, tuple[float, float]]:
    """Family -> (mean cover, mean F1) of one method."""
    out: dict[str, tuple[float, float]] = {}
    for family in dict.fromkeys(c.family for c in cases):
        got = results.outcomes(method, [c for c in cases if c.family == family])
        out[family] = (float(np.mean([o.cover for o in got])), float(np.mean([o.f1 for o in got])))
    return out


def markdown_families(
    results: Results,
    methods: Sequence[str],
    cases: Sequence[Case],
    descriptions: Mapping[str, str] | None = None,
    mean_row: bool = True,
) -> str:
    """One row per family: cover / F1 / mean number of change points per method; then the
    mean over families and the seconds spent."""
    families = list(dict.fromkeys(c.family for c in cases))
    head = ["family", "series", "true changes", *methods]
    lines = [
        "| " + " | ".join(head) + " |",
        "|" + "|".join(["---"] + ["--:"] * (len(head) - 1)) + "|",
    ]
    for family in families:
        members = [c for c in cases if c.family == family]
        true = np.mean([len(c.truth or []) for c in members])
        cells = []
        for m in methods:
            got = results.outcomes(m, members)
            count = np.mean([len(o.change_points) for o in got])
            cells.append(
                f"{_fmt(np.mean([o.cover for o in got]))} / {_fmt(np.mean([o.f1 for o in got]))}"
                f" / {count:.2f}{_flags(got)}"
            )
        name = (
            family
            if not descriptions or family not in descriptions
            else f"{family}: {descriptions[family]}"
        )
        lines.append(f"| {name} | {len(members)} | {true:.2f} | " + " | ".join(cells) + " |")
    if mean_row:
        means = []
        for m in methods:
            per = family_means(results, m, cases).values()
            means.append(
                f"**{_fmt(np.mean([c for c, _ in per]))} / {_fmt(np.mean([f for _, f in per]))}**"
            )
        lines.append("| **mean over families** | | | " + " | ".join(means) + " |")
    secs = [f"{sum(o.seconds for o in results.outcomes(m, cases)):.1f}" for m in methods]
    lines.append("| seconds (total) | | | " + " | ".join(secs) + " |")
    return "\n".join(lines)


# --------------------------------------------------------------------------------------------
# False alarms on change-free series


@dataclass
class NullCell:
    method: str
    family: str
    n: int
    alarms: int
    series: int
    planned: int
    seconds: float
    failures: int = 0
    skipped: bool = False

    def text(self) -> str:
        if self.skipped:
            return "not run"
        share = 100.0 * self.alarms / self.series if self.series else float("nan")
        text = f"{self.alarms}/{self.series} = {share:.1f}%"
        if self.series < self.planned:
            text += " *"
        if self.failures:
            text += f" ({self.failures} failed)"
        return text


def null_table(
    methods: Mapping[str, Detector],
    reps: int,
    sizes: Sequence[int],
    families: Sequence[str] | None = None,
    processes: int = 2,
    budget: float = 300.0,
    results: Results | None = None,
    log: Callable[[str], None] | None = None,
) -> list[NullCell]:
    """Share of change-free series with any reported change, per method, noise family and n.

    A cell whose first series takes so long that ``reps`` series would exceed ``budget``
    seconds of computation per worker runs fewer series (at least ``processes``); its count
    says how many ran and the table marks it.
    """
    from corpus import NULL_FAMILIES, null_cases  # noqa: PLC0415

    results = Results() if results is None else results
    names = list(NULL_FAMILIES if families is None else families)
    cells: list[NullCell] = []
    for method, detector in methods.items():
        limit = getattr(detector, "max_n", None)
        for family in names:
            for n in sizes:
                cases = null_cases(reps, [n], [family])
                if limit is not None and n > limit:
                    cells.append(NullCell(method, family, n, 0, 0, reps, 0.0, skipped=True))
                    continue
                count = reps
                if n >= 10_000 and reps > processes:
                    evaluate({method: detector}, cases[:1], results, processes)
                    first = results[(method, cases[0].name)].seconds
                    count = min(reps, max(processes, int(budget * processes / max(first, 1e-9))))
                chosen = cases[:count]
                evaluate({method: detector}, chosen, results, processes)
                got = results.outcomes(method, chosen)
                cells.append(
                    NullCell(
                        method,
                        family,
                        n,
                        alarms=sum(bool(o.change_points) for o in got),
                        series=len(got),
                        planned=reps,
                        seconds=sum(o.seconds for o in got),
                        failures=sum(o.error is not None for o in got),
                    )
                )
                if log is not None:
                    log(f"  {method}, {family}, n={n}: {cells[-1].text()}")
    return cells


def markdown_null(cells: Sequence[NullCell]) -> str:
    sizes = sorted({c.n for c in cells})
    head = ["method", "noise", *(f"n={n:,}" for n in sizes), "seconds"]
    lines = [
        "| " + " | ".join(head) + " |",
        "|" + "|".join(["---", "---"] + ["--:"] * (len(sizes) + 1)) + "|",
    ]
    rows: dict[tuple[str, str], dict[int, NullCell]] = {}
    for c in cells:
        rows.setdefault((c.method, c.family), {})[c.n] = c
    for (method, family), by_n in rows.items():
        texts = [by_n[n].text() if n in by_n else "" for n in sizes]
        secs = sum(c.seconds for c in by_n.values())
        lines.append(f"| {method} | {family} | " + " | ".join(texts) + f" | {secs:.1f} |")
    if any(c.skipped for c in cells):
        lines.append("")
        lines.append("not run: above the length the method is run to (it would take too long).")
    if any(c.series < c.planned and not c.skipped for c in cells):
        lines.append("")
        lines.append(
            "\\* fewer series than asked for: the first series of the cell showed that all of "
            "them would exceed the time budget."
        )
    return "\n".join(lines)


# --------------------------------------------------------------------------------------------
# Choosing a setting: in-sample against cross-validated


@dataclass
class Validation:
    """In-sample choice against leave-one-group-out choice for one corpus and one metric.

    Scores are means over groups of the mean within each group (each series its own group for
    the real series, each family a group for the simulated ones). Gains are per-series score
    differences against the baseline setting; ``*_se`` is their standard error.
    """

    corpus: str
    metric: str
    baseline: str
    baseline_score: float
    in_sample_setting: str
    in_sample_score: float
    in_sample_gain: float
    in_sample_se: float
    cv_score: float
    cv_gain: float
    cv_se: float
    folds: int
    chosen: dict[str, str] = field(default_factory=dict)  # held-out group -> setting chosen


def _group_mean(
    scores: Mapping[str, float], groups: Mapping[str, str], names: Iterable[str]
) -> float:
    by: dict[str, list[float]] = {}
    for name in names:
        by.setdefault(groups[name], []).append(scores[name])
    return float(np.mean([np.mean(v) for v in by.values()]))


def _best(
    table: Mapping[str, Mapping[str, float]],
    order: Sequence[str],
    groups: Mapping[str, str],
    names: Sequence[str],
) -> str:
    """The setting with the highest group-averaged score on ``names``; on a tie the earliest."""
    best, best_score = order[0], -math.inf
    if not names:  # nothing to choose on: the declared simplest setting
        return best
    for setting in order:
        s = _group_mean(table[setting], groups, names)
        if s > best_score + TIE:
            best, best_score = setting, s
    return best


def _se(diffs: Sequence[float]) -> float:
    return statistics.stdev(diffs) / math.sqrt(len(diffs)) if len(diffs) > 1 else float("nan")


def select_and_validate(
    table: Mapping[str, Mapping[str, float]],
    groups: Mapping[str, str],
    order: Sequence[str] | None = None,
    baseline: str | None = None,
    train_only: Iterable[str] = (),
    corpus: str = "",
    metric: str = "",
) -> Validation:
    """Compare choosing the setting on all series with choosing it without the held-out group.

    ``table[setting][series]`` is the score of a setting on a series (higher is better);
    ``groups[series]`` is the series' fold (leave one group out). ``order`` lists the
    settings, simplest first (ties go to the earliest); ``baseline`` defaults to the first.
    Series in ``train_only`` help choose in every fold but are never scored.
    """
    order = list(table) if order is None else list(order)
    baseline = order[0] if baseline is None else baseline
    extra = set(train_only)
    series = [s for s in table[order[0]] if s not in extra]
    fold_names = list(dict.fromkeys(groups[s] for s in series))
    everything = list(table[order[0]])

    inside = _best(table, order, groups, everything)
    in_diffs = [table[inside][s] - table[baseline][s] for s in series]

    chosen: dict[str, str] = {}
    picked: dict[str, float] = {}
    for fold in fold_names:
        train = [s for s in everything if groups[s] != fold]
        setting = _best(table, order, groups, train)
        chosen[fold] = setting
        for s in series:
            if groups[s] == fold:
                picked[s] = table[setting][s]
    cv_diffs = [picked[s] - table[baseline][s] for s in series]
    return Validation(
        corpus=corpus,
        metric=metric,
        baseline=baseline,
        baseline_score=_group_mean(table[baseline], groups, series),
        in_sample_setting=inside,
        in_sample_score=_group_mean(table[inside], groups, series),
        in_sample_gain=float(np.mean(in_diffs)),
        in_sample_se=_se(in_diffs),
        cv_score=_group_mean(picked, groups, series),
        cv_gain=float(np.mean(cv_diffs)),
        cv_se=_se(cv_diffs),
        folds=len(fold_names),
        chosen=chosen,
    )


@dataclass
class GridReport:
    settings: list[str]
    validations: list[Validation]
    results: Results
    real: list[Case]
    simulated: list[Case]


def cross_validate_grid(
    settings: Mapping[str, Detector],
    real: Sequence[Case],
    simulated: Sequence[Case],
    metrics: Sequence[str] = ("cover", "f1"),
    baseline: str | None = None,
    use_training: bool = False,
    results: Results | None = None,
    processes: int = 2,
) -> GridReport:
    """Run every setting on every series once, then validate the choice of setting.

    Real series: leave one evaluation series out (the dataset's training series, when
    ``use_training``, help choose in every fold and are never scored). Simulated series:
    leave one family out. For each corpus and metric, the best setting chosen on everything
    against the cross-validated choice, and both against ``baseline`` (default: the first
    setting, which also wins ties).
    """
    order = list(settings)
    real = [c for c in real if use_training or not c.training]
    results = evaluate(settings, [*real, *simulated], results, processes)
    validations = []
    for metric in metrics:
        if real:
            table = {s: results.scores(s, real, metric) for s in order}
            validations.append(
                select_and_validate(
                    table,
                    {c.name: c.name for c in real},
                    order,
                    baseline,
                    train_only=[c.name for c in real if c.training],
                    corpus="real series, leave one out",
                    metric=metric,
                )
            )
        if simulated:
            table = {s: results.scores(s, simulated, metric) for s in order}
            validations.append(
                select_and_validate(
                    table,
                    {c.name: c.family for c in simulated},
                    order,
                    baseline,
                    corpus="simulated, leave one family out",
                    metric=metric,
                )
            )
    return GridReport(order, validations, results, list(real), list(simulated))


def _pm(gain: float, se: float) -> str:
    return f"{gain:+.3f} ± {se:.3f}"


def markdown_cross_validation(report: GridReport) -> str:
    """The score of every setting, then in-sample against cross-validated choices."""
    real_eval = [c for c in report.real if not c.training]
    head = ["setting", "real: cover / F1", "simulated: cover / F1 (mean over families)"]
    lines = ["| " + " | ".join(head) + " |", "|---|--:|--:|"]
    for s in report.settings:
        got = report.results.outcomes(s, real_eval)
        real = (
            f"{_fmt(np.mean([o.cover for o in got]))} / {_fmt(np.mean([o.f1 for o in got]))}"
            if got
            else ""
        )
        sim = ""
        if report.simulated:
            per = family_means(report.results, s, report.simulated).values()
            sim = f"{_fmt(np.mean([c for c, _ in per]))} / {_fmt(np.mean([f for _, f in per]))}"
        lines.append(f"| {s} | {real} | {sim} |")
    lines += [
        "",
        "| corpus | chosen by | baseline (first setting) | in-sample best "
        "| in-sample score, gain ± SE | cross-validated score, gain ± SE "
        "| settings chosen across folds |",
        "|---|---|--:|---|--:|--:|---|",
    ]
    for v in report.validations:
        counts: dict[str, int] = {}
        for s in v.chosen.values():
            counts[s] = counts.get(s, 0) + 1
        folds = "; ".join(f"{s}: {k}/{v.folds}" for s, k in counts.items())
        lines.append(
            f"| {v.corpus} | {v.metric} | {_fmt(v.baseline_score)} | {v.in_sample_setting} "
            f"| {_fmt(v.in_sample_score)}, {_pm(v.in_sample_gain, v.in_sample_se)} "
            f"| {_fmt(v.cv_score)}, {_pm(v.cv_gain, v.cv_se)} | {folds} |"
        )
    # A run that raised scores as "no change": say so, or a broken setting reads as a weak one.
    cases = [*real_eval, *report.simulated]
    for s in report.settings:
        failed = [o for o in report.results.outcomes(s, cases) if o.error and not o.skipped]
        if failed:
            lines.append(f"\n{s}: {len(failed)} of {len(cases)} runs failed ({failed[0].error})")
    return "\n".join(lines)
