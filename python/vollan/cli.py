"""The ``vollan`` command: find change points in a file, or run the demo on the Nile."""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NoReturn

from vollan import __version__
from vollan.api import (
    DEFAULT_ALPHA,
    DEFAULT_MIN_SCORE,
    Detection,
    detect,
)

__all__ = ["main"]


class InputError(ValueError):
    """A problem with the user's input, reported as one line."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


@dataclass(frozen=True)
class Loaded:
    values: list[float]
    labels: list[str] | None
    column: str
    source: str


def parse_window_sizes(text: str) -> list[int]:
    """Window sizes from "10:20" (10 to 20), "10:40:5" (in steps of 5) or "10,12,15"."""
    sizes: list[int] = []
    for item in text.split(","):
        parts = item.strip().split(":")
        try:
            numbers = [int(p) for p in parts]
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"window sizes {text!r}: use 10:20, 10:40:5 or 10,12,15"
            ) from None
        if len(numbers) == 1:
            sizes.extend(numbers)
        elif len(numbers) in (2, 3):
            start, stop = numbers[0], numbers[1]
            step = numbers[2] if len(numbers) == 3 else 1
            if step < 1 or stop < start:
                raise argparse.ArgumentTypeError(
                    f"window sizes {item.strip()!r}: need start <= stop and a positive step"
                )
            sizes.extend(range(start, stop + 1, step))
        else:
            raise argparse.ArgumentTypeError(
                f"window sizes {text!r}: use 10:20, 10:40:5 or 10,12,15"
            )
    if any(w < 1 for w in sizes):
        raise argparse.ArgumentTypeError(f"window sizes {text!r}: sizes must be positive")
    return sizes


def _natural(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    return value


def _contrast(text: str) -> float | str | None:
    if text.lower() == "none":
        return None
    if text.lower() == "auto":
        return "auto"
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is neither a number, 'auto' nor 'none'"
        ) from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of at least 0")
    return value


def _number(cell: str) -> float | None:
    try:
        return float(cell)
    except ValueError:
        return None


def _sniff_delimiter(line: str) -> str | None:
    for delimiter in ("\t", ",", ";"):
        if delimiter in line:
            return delimiter
    return None


def _column_index(header: list[str] | None, width: int, column: str | None) -> int:
    if column is None:
        return width - 1
    if column.lstrip("-").isdigit():
        index = int(column)
        if not -width <= index < width:
            raise InputError(f"column {index} does not exist; the file has {width} columns")
        return index % width
    if header is None:
        raise InputError(f"column {column!r} not found: the file has no header row")
    names = [h.strip() for h in header]
    if column not in names:
        raise InputError(f"column {column!r} not found; the header has {', '.join(names)}")
    return names.index(column)


def read_text(text: str, source: str, column: str | None, label_column: str | None) -> Loaded:
    """Read a CSV (comma, semicolon or tab) or a plain one-number-per-line text."""
    lines = [
        (number, line)
        for number, line in enumerate(text.splitlines(), start=1)
        if line.strip() and not line.lstrip().startswith("#")
    ]
    if not lines:
        raise InputError(f"{source}: no values found")
    delimiter = _sniff_delimiter(lines[0][1])
    if delimiter is None:
        rows = [(n, line.split()) for n, line in lines]
    else:
        rows = [(n, next(csv.reader([line], delimiter=delimiter))) for n, line in lines]
    first = rows[0][1]
    width = len(first)
    # The first row is a header when the values are chosen by name, or when its cell in the
    # value column is not a number (labels such as "2002-01" may be non-numeric in data rows).
    by_name = column is not None and not column.lstrip("-").isdigit()
    if by_name:
        header: list[str] | None = None if all(_number(c) is not None for c in first) else first
    else:
        position = _column_index(None, width, column)
        header = first if _number(first[position]) is None else None
    if header is not None:
        rows = rows[1:]
    value_at = _column_index(header, width, column)
    if label_column is None:
        label_at = 0 if width > 1 and value_at != 0 else None
    elif label_column == "none":
        label_at = None
    else:
        label_at = _column_index(header, width, label_column)
    name = repr(header[value_at].strip()) if header is not None else str(value_at)
    values: list[float] = []
    labels: list[str] = []
    for n, cells in rows:
        if len(cells) <= max(value_at, label_at or 0):
            raise InputError(f"{source}:{n}: expected {width} columns, found {len(cells)}")
        cell = cells[value_at].strip()
        if not cell:
            raise InputError(
                f"{source}:{n}: column {name} is empty; fill or drop missing values first"
            )
        value = _number(cell)
        if value is None:
            raise InputError(f"{source}:{n}: column {name}: {cell!r} is not a number")
        if not math.isfinite(value):
            raise InputError(
                f"{source}:{n}: column {name}: {cell!r} is not a finite number; "
                f"clean or impute the series first"
            )
        values.append(value)
        if label_at is not None:
            labels.append(cells[label_at].strip())
    if not values:
        raise InputError(f"{source}: no values found")
    return Loaded(values, labels if label_at is not None else None, name, source)


def read_npy(path: str, column: str | None) -> Loaded:
    """Read a one-dimensional ``.npy`` array, or one column of a two-dimensional one."""
    try:
        import numpy as np
    except ImportError:
        raise InputError("reading .npy files needs numpy: pip install numpy") from None
    try:
        array = np.load(path, allow_pickle=False)
    except ValueError as exc:
        raise InputError(f"{path}: not a readable .npy array ({exc})") from None
    name = "0"
    if array.ndim == 2:
        index = _column_index(None, array.shape[1], column if column is not None else "-1")
        array, name = array[:, index], str(index)
    elif array.ndim != 1:
        raise InputError(f"{path}: expected a 1-D or 2-D array, got shape {array.shape}")
    try:
        values = array.astype(float)
    except (TypeError, ValueError):
        raise InputError(f"{path}: array of {array.dtype} is not numeric") from None
    bad = np.flatnonzero(~np.isfinite(values))
    if bad.size:
        raise InputError(
            f"{path}: value {int(bad[0])} is {values[bad[0]]}; clean or impute the series first"
        )
    return Loaded([float(v) for v in values], None, name, path)


def load(path: str, column: str | None, label_column: str | None) -> Loaded:
    if path == "-":
        return read_text(sys.stdin.read(), "<stdin>", column, label_column)
    if not os.path.exists(path):
        raise InputError(f"{path}: no such file")
    if path.endswith(".npy"):
        return read_npy(path, column)
    try:
        with open(path, encoding="utf-8-sig") as handle:
            text = handle.read()
    except UnicodeDecodeError:
        raise InputError(f"{path}: not a text file (UTF-8 CSV, plain text or .npy)") from None
    return read_text(text, path, column, label_column)


def _table(detection: Detection, show_all: bool, with_labels: bool) -> str:
    head = ["index", "label", "probability", "score", "votes", "contrast", "reported"]
    body = [
        [
            str(x.index),
            str(x.label),
            f"{x.probability:.3f}",
            f"{x.score:.2f}",
            str(x.votes),
            "-" if x.contrast is None else f"{x.contrast:.1f}",
            "yes" if x.reported else "no",
        ]
        for x in detection.leaders
        if show_all or x.reported
    ]
    keep = [i for i in range(len(head)) if (i != 1 or with_labels) and (i != 6 or show_all)]
    rows = [[r[i] for i in keep] for r in [head, *body]]
    widths = [max(len(r[j]) for r in rows) for j in range(len(keep))]
    return "\n".join(
        "  ".join(
            cell.ljust(w) if head[i] == "label" else cell.rjust(w)
            for i, cell, w in zip(keep, r, widths, strict=True)
        ).rstrip()
        for r in rows
    )


def _summary(detection: Detection, loaded: Loaded) -> str:
    sizes = detection.window_sizes
    count = len(detection.change_points)
    return (
        f"{loaded.source}: {detection.n_obs} values of column {loaded.column}; window sizes "
        f"{sizes[0]}..{sizes[-1]} ({len(sizes)} sizes)\n"
        f"{count} change point{'s' if count != 1 else ''} voted for by at least "
        f"{detection.min_score:.0%} of the window sizes"
        + _contrast_words(detection)
        + (":" if count else f" ({len(detection.leaders)} weaker leaders; --all lists them)")
    )


def _contrast_words(detection: Detection) -> str:
    if detection.min_contrast is None:
        return ""
    if detection.min_contrast == "auto":
        return " and standing out beyond the calibrated critical contrast"
    return f" and standing out by more than {detection.min_contrast:g} scaled MADs"


def _write_plot(
    path: str,
    values: list[float],
    detection: Detection,
    labels: Sequence[Any] | None,
    windows: bool = False,
) -> None:
    try:
        from vollan import plot
    except ImportError as exc:
        raise InputError(str(exc)) from None
    if windows:
        plot.plot_windows(values, detection, labels=labels, path=path)
    else:
        plot.plot_detection(values, detection, labels=labels, path=path)


def _detect_loaded(loaded: Loaded, args: argparse.Namespace) -> Detection:
    return detect(
        loaded.values,
        window_sizes=args.window_sizes,
        change_type=args.change_type,
        alpha=args.alpha,
        min_score=args.min_score,
        min_contrast=args.min_contrast,
        detrend=None if args.detrend == "none" else args.detrend,
        n_perm=args.n_perm,
        seed=args.seed,
        tol=args.tol,
        workers=args.workers,
        labels=loaded.labels,
    )


def _cmd_detect(args: argparse.Namespace) -> int:
    loaded = load(args.file, args.column, args.label_column)
    try:
        detection = _detect_loaded(loaded, args)
    except ValueError as exc:
        raise InputError(f"{loaded.source}: {exc}") from None
    if args.json:
        doc = {"source": loaded.source, "column": loaded.column} | detection.to_dict()
        print(json.dumps(doc, indent=2))
    elif args.csv:
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["index", "label", "probability", "score", "votes", "contrast", "reported"])
        for x in detection.leaders:
            if args.all or x.reported:
                contrast = "" if x.contrast is None else repr(x.contrast)
                writer.writerow(
                    [
                        x.index,
                        x.label,
                        repr(x.probability),
                        repr(x.score),
                        x.votes,
                        contrast,
                        int(x.reported),
                    ]
                )
        sys.stdout.write(out.getvalue())
    else:
        print(_summary(detection, loaded))
        if detection.change_points or args.all:
            print(_table(detection, args.all, loaded.labels is not None))
    if args.plot:
        _write_plot(args.plot, loaded.values, detection, loaded.labels)
        print(f"plot written to {args.plot}", file=sys.stderr)
    if args.windows_plot:
        _write_plot(args.windows_plot, loaded.values, detection, loaded.labels, windows=True)
        print(f"per-window plot written to {args.windows_plot}", file=sys.stderr)
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    from vollan.datasets import load_nile

    nile = load_nile()
    flow = list(nile.values)
    print(
        f"Nile at Aswan, annual flow volume {nile.labels[0]}-{nile.labels[-1]} "
        f"({len(flow)} values); the first Aswan dam was begun in 1898."
    )
    found = detect(flow, labels=nile.labels)
    sizes = found.window_sizes
    print(f"vollan.detect scanned window sizes {sizes[0]}..{sizes[-1]} ({len(sizes)} sizes).")
    for leader in found.leaders:
        if leader.reported:
            print(
                f"change point: {leader.label} (index {leader.index}), probability "
                f"{leader.probability:.2f} ({leader.votes} votes from {len(sizes)} "
                f"window sizes)"
            )
    bounds = [0, *found.change_points, len(flow)]
    for a, b in zip(bounds[:-1], bounds[1:], strict=True):
        mean = sum(flow[a:b]) / (b - a)
        print(f"  mean flow {nile.labels[a]}-{nile.labels[b - 1]}: {mean:.0f}")
    if args.no_plot:
        return 0
    try:
        _write_plot(args.plot, flow, found, nile.labels)
    except InputError as exc:
        print(f"(no plot: {exc})")
        return 0
    print(f"plot written to {args.plot}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vollan",
        description="Find the change points of a series: where its mean, variance or "
        "distribution changes.",
    )
    parser.add_argument("--version", action="version", version=f"vollan {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    d = commands.add_parser(
        "detect",
        help="find the change points of a series in a file",
        description="Find the change points of a series read from a CSV file, a plain text "
        "file with one number per line, a .npy file, or standard input ('-'). The first row "
        "is a header when its cell in the value column is not a number. Each change point "
        "is the 0-based index of the first value of the new regime, with its label, its "
        "probability among all leaders of the vote, its score (the fraction of window sizes "
        "that voted for it) and its votes.",
        epilog="example: vollan detect prices.csv --column close --plot prices.png",
    )
    d.add_argument("file", metavar="FILE", help="CSV, text or .npy file; '-' reads standard input")
    d.add_argument(
        "--column",
        "-c",
        metavar="COL",
        help="the column holding the values: a header name, or a 0-based position "
        "(negative counts from the end); default the last column",
    )
    d.add_argument(
        "--label-column",
        metavar="COL",
        help="the column holding labels such as dates (name or 0-based position), or 'none'; "
        "default the first column when the values are in another one",
    )
    d.add_argument(
        "--window-sizes",
        "-w",
        type=parse_window_sizes,
        metavar="SIZES",
        help="window sizes to scan: 10:20 (10 to 20), 10:40:5 (in steps of 5) or 10,12,15; "
        "each at least 4; default twelve sizes from 10 to a quarter of the series",
    )
    d.add_argument(
        "--change-type",
        choices=("distribution", "mean", "var"),
        default="distribution",
        help="which changes to report: any change of distribution, of the mean only, or of "
        "the spread only (default: distribution)",
    )
    d.add_argument(
        "--n-perm",
        type=_natural,
        metavar="N",
        help="bootstrap replicates per threshold (default: ten times the positions of the "
        "smallest window divided by alpha, within a time budget, at least 300)",
    )
    d.add_argument(
        "--alpha",
        type=float,
        default=DEFAULT_ALPHA,
        metavar="A",
        help=f"family-wise level of each window's scan, in (0, 1] (default: {DEFAULT_ALPHA})",
    )
    d.add_argument(
        "--min-score",
        type=float,
        default=DEFAULT_MIN_SCORE,
        metavar="S",
        help="fraction of window sizes that must vote for a change point to report it "
        f"(default: {DEFAULT_MIN_SCORE})",
    )
    d.add_argument(
        "--min-contrast",
        type=_contrast,
        default="auto",
        metavar="Z",
        help="'auto': the local contrast at a change point must exceed its calibrated "
        "critical value; a number: the scaled MADs by which it must exceed its median over "
        "the series; 'none' turns the check off (default: auto)",
    )
    d.add_argument(
        "--detrend",
        choices=("linear", "none"),
        default="none",
        help="remove a straight line (slope fitted between the level shifts of a first "
        "scan) before scanning, or scan the values as they are (default: none)",
    )
    d.add_argument(
        "--seed",
        type=_natural,
        default=123,
        metavar="N",
        help="base seed; the same seed gives the same result (default: 123)",
    )
    d.add_argument(
        "--tol",
        type=_natural,
        default=2,
        metavar="N",
        help="largest gap between change points of different windows that still counts as "
        "one change (default: 2)",
    )
    d.add_argument(
        "--workers",
        type=_natural,
        metavar="N",
        help="threads for this run (default: all CPUs, or RAYON_NUM_THREADS)",
    )
    d.add_argument(
        "--all",
        action="store_true",
        help="list every leader of the vote, not only the reported change points",
    )
    out = d.add_mutually_exclusive_group()
    out.add_argument("--json", action="store_true", help="print the result as JSON")
    out.add_argument("--csv", action="store_true", help="print the result as CSV")
    d.add_argument(
        "--plot",
        metavar="FILE.png",
        help="save a plot of the series with its change points (needs matplotlib)",
    )
    d.add_argument(
        "--windows-plot",
        metavar="FILE.png",
        help="save the per-window statistics and thresholds (needs matplotlib)",
    )
    d.set_defaults(run=_cmd_detect)

    demo = commands.add_parser(
        "demo",
        help="find the change in the Nile's annual flow (a bundled series)",
        description="Run vollan.detect on the Nile's annual flow at Aswan, 1871-1970, print "
        "the change point and its probability, and save a plot.",
    )
    demo.add_argument(
        "--plot",
        metavar="FILE.png",
        default="vollan-demo.png",
        help="where to save the plot (default: vollan-demo.png)",
    )
    demo.add_argument("--no-plot", action="store_true", help="do not save a plot")
    demo.set_defaults(run=_cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (2 for bad input or usage).

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments without the program name; default ``sys.argv[1:]``.

    Returns
    -------
    int
        0 on success, 2 on an error, which is reported as one line on standard error.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args))
    except BrokenPipeError:
        # The reader went away (e.g. `vollan detect x.csv | head -1`): stop quietly.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except (ValueError, TypeError, OverflowError, OSError) as exc:
        message = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        print(f"vollan: error: {message}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
