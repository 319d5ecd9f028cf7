"""The ``vollan`` command: find change points in a file, or run the demo on the Nile."""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
import tempfile
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NoReturn

from vollan import __version__, _watch
from vollan._input import (
    LARGEST_OPTION,
    LARGEST_WINDOW,
    LARGEST_WORKERS,
    replicates_beyond_memory,
)
from vollan._progress import Bar, ProgressCallback, within
from vollan._readers import (
    DECIMAL_MARKS,
    InputError,
    Loaded,
    load,
    os_error_sentence,
    parse_dates,
)
from vollan.api import (
    DEFAULT_ALPHA,
    DEFAULT_MIN_SCORE,
    Detection,
    detect,
)

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

__all__ = ["InputError", "main"]

# Names a user can type for a thousands separator that a shell makes awkward.
_THOUSANDS_NAMES = {"space": " ", "apostrophe": "'", "none": "none"}
# The most window sizes --window-sizes may list (the default scans 12): counted before the list
# is built, so that a range such as 4:2000000000 is refused at once.
MAX_WINDOW_SIZES = 10_000
# The status of a command that wrote to a pipe nobody reads any more, as the shell reports
# one that SIGPIPE ended.
EXIT_BROKEN_PIPE = 128 + 13


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def parse_window_sizes(text: str) -> list[int]:
    """Window sizes from "10:20" (10 to 20), "10:40:5" (in steps of 5) or "10,12,15".

    At most :data:`MAX_WINDOW_SIZES` of them, each from 1 to 2**63 - 1 (sizes below 4 are
    refused by :func:`vollan.detect`, which says why).
    """
    ranges: list[range] = []
    for item in text.split(","):
        parts = item.strip().split(":")
        try:
            numbers = [int(p) for p in parts]
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"window sizes {text!r}: use 10:20, 10:40:5 or 10,12,15"
            ) from None
        if len(numbers) == 1:
            ranges.append(range(numbers[0], numbers[0] + 1))
        elif len(numbers) in (2, 3):
            start, stop = numbers[0], numbers[1]
            step = numbers[2] if len(numbers) == 3 else 1
            if step < 1 or stop < start:
                raise argparse.ArgumentTypeError(
                    f"window sizes {item.strip()!r}: need start <= stop and a positive step"
                )
            ranges.append(range(start, stop + 1, step))
        else:
            raise argparse.ArgumentTypeError(
                f"window sizes {text!r}: use 10:20, 10:40:5 or 10,12,15"
            )
    if any(r.start < 1 for r in ranges):
        raise argparse.ArgumentTypeError(f"window sizes {text!r}: sizes must be positive")
    if any(r.stop - 1 > LARGEST_WINDOW for r in ranges):
        raise argparse.ArgumentTypeError(f"window sizes {text!r}: sizes must be at most 2**63 - 1")
    # len() of a range fails beyond sys.maxsize; its own arithmetic does not.
    count = sum((r.stop - 1 - r.start) // r.step + 1 for r in ranges)
    if count > MAX_WINDOW_SIZES:
        raise argparse.ArgumentTypeError(
            f"window sizes {text!r}: {count} sizes, more than the {MAX_WINDOW_SIZES} allowed; "
            "scan fewer, e.g. in steps (10:1000:10)"
        )
    return [w for r in ranges for w in r]


def _natural(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is negative")
    if value > LARGEST_OPTION:
        raise argparse.ArgumentTypeError(f"{text!r} is too large: at most 2**64 - 1")
    return value


def _workers(text: str) -> int:
    value = _natural(text)
    if value > LARGEST_WORKERS:
        raise argparse.ArgumentTypeError(f"{text!r} is too many threads: at most {LARGEST_WORKERS}")
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


def _thousands(text: str) -> str:
    mark = _THOUSANDS_NAMES.get(text.lower(), text)
    if mark not in (",", ".", " ", "'", "_", "none"):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a thousands separator: use , . space apostrophe _ or none"
        )
    return mark


def _table(detection: Detection, show_all: bool, with_labels: bool) -> str:
    """The changes (kind, p-value, interval, size); with ``show_all`` every leader of the vote
    and change found apart from it, its votes and share of the vote beside."""
    if show_all:
        head = ["index", "label", "kind", "p-value", "votes", "vote share", "reported"]
        body = [
            [
                str(x.index),
                str(x.label),
                x.kind,
                _p(x.p_value),
                str(x.votes),
                f"{x.vote_share:.3f}",
                "yes" if x.reported else "no",
            ]
            for x in detection.leaders
        ]
    else:
        head = ["index", "label", "kind", "p-value", f"{_level(detection)} interval", "size"]
        body = [
            [
                str(c.index),
                str(c.label),
                c.kind,
                _p(c.p_value),
                f"{c.interval[0]}-{c.interval[1]}",
                _size(c.kind, c.size),
            ]
            for c in detection.changes
        ]
    keep = [i for i in range(len(head)) if i != 1 or with_labels]
    rows = [[r[i] for i in keep] for r in [head, *body]]
    widths = [max(len(r[j]) for r in rows) for j in range(len(keep))]
    return "\n".join(
        "  ".join(
            cell.ljust(w) if head[i] in ("label", "kind") else cell.rjust(w)
            for i, cell, w in zip(keep, r, widths, strict=True)
        ).rstrip()
        for r in rows
    )


def _p(p: float) -> str:
    return "<1e-300" if p < 1e-300 else f"{p:.2g}"


def _level(detection: Detection) -> str:
    return f"{detection.changes[0].level:.0%}" if detection.changes else "90%"


def _size(kind: str, size: float) -> str:
    if kind == "variance":
        return f"spread x{size:.2g}"
    if kind == "trend":
        return f"{size:+.2g} sd/step"
    return f"{size:+.2g} sd" if kind == "mean" else f"{size:.2g} sd apart"


def _summary(detection: Detection, loaded: Loaded) -> str:
    sizes = detection.window_sizes
    count = len(detection.changes)
    missing = f" ({detection.n_omitted} missing, left out)" if detection.n_omitted else ""
    return (
        f"{loaded.source}: {detection.n_obs} values of column {loaded.column}{missing}; "
        f"window sizes "
        f"{sizes[0]}..{sizes[-1]} ({_counted(len(sizes), 'size')})\n"
        f"{_counted(count, 'change')} at a false-alarm budget of {detection.alpha:g}"
        + (
            ", each with its p-value, interval and size:"
            if count
            else f" ({_counted(len(detection.leaders), 'weaker leader')}; --all lists "
            f"{'it' if len(detection.leaders) == 1 else 'them'})"
        )
    )


def _counted(n: int, noun: str) -> str:
    return f"{n} {noun}{'' if n == 1 else 's'}"


def _plotting() -> Any:
    try:
        from vollan import plot
    except ImportError as exc:
        raise InputError(str(exc)) from None
    return plot


def _check_plot_path(path: str) -> None:
    """Refuse a plot path before the data is read and scanned rather than after."""
    plot = _plotting()
    plot.savable_format(path)
    _check_writable(path, "write the plot to")


def _check_writable(path: str, action: str) -> None:
    """Refuse ``path`` when a file cannot be written there.

    A file is created and removed in its folder: permissions alone do not tell (a read-only
    file system, an administrator, access lists), and nothing is left at ``path`` itself
    should the run fail later.
    """
    if os.path.isdir(path):
        raise InputError(f"cannot {action} {path}: it is a directory")
    parent = os.path.dirname(path) or "."
    if not os.path.exists(parent):
        raise InputError(f"cannot {action} {path}: there is no directory {parent}")
    if not os.path.isdir(parent):
        raise InputError(f"cannot {action} {path}: {parent} is not a directory")
    try:
        if os.path.exists(path):
            with open(path, "ab"):
                pass
        else:
            with tempfile.TemporaryFile(dir=parent):
                pass
    except OSError as exc:
        raise InputError(os_error_sentence(exc, action, path)) from None


def _write_plot(
    path: str,
    values: Sequence[float] | NDArray[np.float64],
    detection: Detection,
    labels: Sequence[Any] | None,
    windows: bool = False,
    loaded: Loaded | None = None,
) -> str:
    """Save the plot at exactly ``path``; the words that say where it went."""
    plot = _plotting()
    names: dict[str, Any] = {}
    if loaded is not None:
        names = {"ylabel": loaded.value_name, "xlabel": loaded.label_name}
        if labels is not None:
            # Dates make a date axis; the table keeps the labels as they were written.
            labels = parse_dates(labels) or labels
    try:
        if windows:
            plot.plot_windows(values, detection, labels=labels, path=path, **names)
        else:
            plot.plot_detection(values, detection, labels=labels, path=path, **names)
    except OSError as exc:
        raise InputError(os_error_sentence(exc, "write the plot to", path)) from None
    suffix = os.path.splitext(path)[1]
    return path if suffix else f"{path} (as PNG: the name has no suffix)"


def _check_html_path(path: str) -> None:
    """Refuse a report path, or a missing plotly, before the scan rather than after it."""
    try:
        import vollan.report  # noqa: F401
    except ImportError as exc:
        raise InputError(f"--html: {exc}") from None
    _check_writable(path, "write the report to")


def _write_html(path: str, loaded: Loaded, detection: Detection, args: argparse.Namespace) -> str:
    from vollan.report import write_report

    labels: Sequence[Any] | None = loaded.labels
    if labels is not None:
        labels = parse_dates(labels) or labels
    options = {
        "file": loaded.source,
        "column": loaded.column,
        "change type": args.change_type,
        "alpha": args.alpha,
        "detrend": args.detrend,
        "outliers": args.outliers,
        "seed": args.seed,
        "tol": args.tol,
        "n_changes": args.n_changes,
        "min_size": args.min_size,
    }
    try:
        write_report(path, loaded.values, detection, labels=labels, options=options)
    except OSError as exc:
        raise InputError(os_error_sentence(exc, "write the report to", path)) from None
    return path


def _detect_loaded(
    loaded: Loaded, args: argparse.Namespace, progress: ProgressCallback | None = None
) -> Detection:
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
        nan_policy=args.nan_policy,
        outliers=args.outliers,
        n_changes=args.n_changes,
        min_size=args.min_size,
        progress=progress,
    )


def _cmd_detect(args: argparse.Namespace) -> int:
    # What can be refused without the data is refused before it is read.
    if args.n_perm is not None and (too_many := replicates_beyond_memory(args.n_perm)):
        raise InputError(
            f"--n-perm {args.n_perm}: the replicates take {too_many}; give fewer, or leave "
            "--n-perm out for the default"
        )
    for path in (args.plot, args.windows_plot):
        if path:
            _check_plot_path(path)
    if args.html:
        _check_html_path(args.html)
    source = "standard input" if args.file == "-" else args.file
    # Shares of a run: reading is quick beside the scan; drawing takes a moment at the end.
    with Bar() as progress:
        progress(0.0, f"reading {source}")
        loaded = load(
            args.file,
            args.column,
            args.label_column,
            stdin=sys.stdin,
            nan_policy=args.nan_policy,
            decimal=args.decimal,
            thousands=args.thousands,
        )
        progress(0.05, f"scanning {len(loaded.values)} values of column {loaded.column}")
        try:
            detection = _detect_loaded(loaded, args, within(progress, 0.05, 0.9))
        except ValueError as exc:
            raise InputError(f"{loaded.source}: {exc}") from None
        written = []
        for path, windows, what in (
            (args.plot, False, "plot"),
            (args.windows_plot, True, "per-window plot"),
        ):
            if path:
                progress(0.9, f"drawing {path}")
                where = _write_plot(path, loaded.values, detection, loaded.labels, windows, loaded)
                written.append(f"{what} written to {where}")
        if args.html:
            progress(0.95, f"writing {args.html}")
            written.append(f"report written to {_write_html(args.html, loaded, detection, args)}")
        progress(1.0, "done")
    if args.json:
        doc = {"source": loaded.source, "column": loaded.column_name} | detection.to_dict()
        print(json.dumps(doc, indent=2))
    elif args.csv:
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        if args.all:
            writer.writerow(
                ["index", "label", "kind", "p_value", "votes", "vote_share", "reported"]
            )
            for x in detection.leaders:
                writer.writerow(
                    [
                        x.index,
                        x.label,
                        x.kind,
                        repr(x.p_value),
                        x.votes,
                        repr(x.vote_share),
                        int(x.reported),
                    ]
                )
        else:
            writer.writerow(["index", "label", "kind", "p_value", "low", "high", "size"])
            for c in detection.changes:
                writer.writerow(
                    [c.index, c.label, c.kind, repr(c.p_value), *c.interval, repr(c.size)]
                )
        sys.stdout.write(out.getvalue())
    else:
        print(_summary(detection, loaded))
        if detection.changes or args.all:
            print(_table(detection, args.all, loaded.labels is not None))
    for line in written:
        print(line, file=sys.stderr)
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
    print(
        f"vollan.detect scanned window sizes {sizes[0]}..{sizes[-1]} "
        f"({_counted(len(sizes), 'size')})."
    )
    for change in found.changes:
        print(f"change point: {change.label} (index {change.index}): {change.describe()}")
    bounds = [0, *found.change_points, len(flow)]
    for a, b in zip(bounds[:-1], bounds[1:], strict=True):
        mean = sum(flow[a:b]) / (b - a)
        print(f"  mean flow {nile.labels[a]}-{nile.labels[b - 1]}: {mean:.0f}")
    if args.no_plot:
        return 0
    try:
        _check_plot_path(args.plot)
        where = _write_plot(args.plot, flow, found, nile.labels)
    except (InputError, ValueError) as exc:
        print(f"(no plot: {exc})")
        return 0
    print(f"plot written to {where}")
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
        "file with one number per line, a .npy or .npz file, or standard input ('-'; numpy's "
        "formats are recognised by their first bytes). The first row is a header when its "
        "cell in the value column is not a number. Empty cells and the markers NA, N/A, NaN, "
        "null, None and - are missing values (see --nan-policy). Thousands separators and "
        "decimal commas are read when the column leaves no doubt (see --decimal). Each change "
        "point "
        "is the 0-based index of the first value of the new regime, with its label, its kind "
        "(mean, variance, shape, trend), its p-value, a 90% interval for where it lies and its "
        "size; --all lists every leader of the vote with its votes.",
        epilog="example: vollan detect prices.csv --column close --plot prices.png",
    )
    d.add_argument(
        "file", metavar="FILE", help="CSV, text, .npy or .npz file; '-' reads standard input"
    )
    d.add_argument(
        "--column",
        "-c",
        metavar="COL",
        help="the column holding the values: a header name, or a 0-based position "
        "(negative counts from the end; a 1-D array has the one column 0); of an .npz "
        "archive, the name of the array; default the last column",
    )
    d.add_argument(
        "--label-column",
        metavar="COL",
        help="the column holding labels such as dates (name or 0-based position), or 'none'; "
        "default the first other column that holds dates, times or text, or whose header "
        "names time (date, time, year, ...); never another column of numbers; text files "
        "only",
    )
    d.add_argument(
        "--nan-policy",
        choices=("omit", "raise"),
        default="omit",
        help="missing values (empty cells, NA, N/A, NaN, null, None, -): leave them out of "
        "the scan and report change points at their positions in the file, as vollan.detect "
        "does, or stop at the first with an error (default: omit)",
    )
    d.add_argument(
        "--decimal",
        choices=DECIMAL_MARKS,
        metavar="MARK",
        help="the decimal mark of the values, . or , (default: as Python reads numbers, "
        "else the one mark, with thousands separators such as 10,062.87 or 10.062,87, that "
        "reads every value; an error when both read them, to different numbers)",
    )
    d.add_argument(
        "--thousands",
        type=_thousands,
        metavar="SEP",
        help="the thousands separator: , . space apostrophe _ or none; removed wherever it "
        "stands (default: the other mark than the decimal one, a space or an apostrophe, "
        "between groups of three digits)",
    )
    d.add_argument(
        "--window-sizes",
        "-w",
        type=parse_window_sizes,
        metavar="SIZES",
        help="window sizes to scan: 10:20 (10 to 20), 10:40:5 (in steps of 5) or 10,12,15; "
        f"each at least 4, at most {MAX_WINDOW_SIZES} sizes; default twelve sizes from 10 to a "
        "quarter of the series",
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
        "--n-changes",
        type=int,
        metavar="K",
        help="report the K strongest leaders instead of those the rules report, as ruptures' "
        "n_bkps does",
    )
    d.add_argument(
        "--min-size",
        type=int,
        metavar="M",
        help="keep reported change points at least M values apart and from both ends",
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
        "--outliers",
        choices=("omit", "keep"),
        default="omit",
        help="'omit': single values far from both of their neighbourhoods are reported apart "
        "and left out of the scan; 'keep': every value is scanned (default: omit)",
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
        type=_workers,
        metavar="N",
        help="threads for this run, at most 65535; 0, as the default, runs on all CPUs (or "
        "RAYON_NUM_THREADS), as xz -T0 does and as vollan.detect's workers=0",
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
        help="save a plot of the series with its change points at exactly FILE, in the "
        "format of its suffix (.png, .svg, .pdf, ...; PNG without one; needs matplotlib)",
    )
    d.add_argument(
        "--windows-plot",
        metavar="FILE.png",
        help="save the per-window statistics and thresholds, as --plot (needs matplotlib)",
    )
    d.add_argument(
        "--html",
        metavar="FILE.html",
        help="write a page to zoom into: the series with its changes, their intervals and "
        "sizes, the table of changes and the options, in one self-contained HTML file "
        "(needs plotly: pip install 'vollan[report]')",
    )
    d.set_defaults(run=_cmd_detect)

    demo = commands.add_parser(
        "demo",
        help="find the change in the Nile's annual flow (a bundled series)",
        description="Run vollan.detect on the Nile's annual flow at Aswan, 1871-1970, print "
        "the change point with its kind, p-value and interval, and save a plot.",
    )
    demo.add_argument(
        "--plot",
        metavar="FILE.png",
        default="vollan-demo.png",
        help="where to save the plot (default: vollan-demo.png)",
    )
    demo.add_argument("--no-plot", action="store_true", help="do not save a plot")
    demo.set_defaults(run=_cmd_demo)
    _watch.add_parser(commands, parse_window_sizes)
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
        0 on success, 2 on an error, which is reported as one line on standard error, 141
        when standard output is a pipe that its reader closed.
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status = int(args.run(args))
        # Written here, inside the try, rather than at exit, where a closed pipe would print
        # a traceback.
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader went away (`vollan detect x.csv --all | head -1`): stop without a word,
        # with the status the shell reports for tools that SIGPIPE ends (yes, cat, seq:
        # 128 + 13), so that `set -o pipefail` scripts see the same. The process is not
        # killed by the signal itself: main() also runs inside other programs.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as exc:
        target = exc.filename if exc.filename is not None else "a file"
        print(f"vollan: error: {os_error_sentence(exc, 'use', target)}", file=sys.stderr)
        return 2
    except (ValueError, TypeError, OverflowError) as exc:
        message = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        print(f"vollan: error: {message}", file=sys.stderr)
        return 2
    except MemoryError:
        # e.g. --n-perm 2305843009213693952: the engine cannot hold that many replicates.
        print(
            "vollan: error: not enough memory for this run; a smaller --n-perm, fewer window "
            "sizes or a shorter series needs less",
            file=sys.stderr,
        )
        return 2
    except KeyboardInterrupt:
        return 130
