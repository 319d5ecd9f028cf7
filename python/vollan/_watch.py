"""``vollan watch``: a :class:`vollan.Monitor` fed by a file or standard input as lines arrive."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import Any, TextIO

from vollan.monitor import CHANGE_TYPES, Monitor, StreamChange

# Cells that stand for a missing value, as `vollan detect` reads them (compared in lower case).
MISSING_MARKERS = frozenset({"", "na", "n/a", "nan", "null", "none", "-"})
# Bytes read at a time: a pipe gives what it holds, up to this.
READ_SIZE = 1 << 16


def add_parser(commands: Any, window_sizes: Any) -> None:
    """Register ``watch`` among the subcommands; ``window_sizes`` parses --window-sizes."""
    w = commands.add_parser(
        "watch",
        help="watch a stream of numbers for changes as they arrive",
        description="Read one number per line from a file or standard input ('-') as the "
        "lines arrive, and print one line per confirmed change at once: the position of the "
        "first value of the new regime (0-based, counting every line), the position where "
        "it was confirmed, its kind, size and evidence. Empty lines and NA, N/A, NaN, null, "
        "None and - are missing values; any other line that is not a number is reported on "
        "standard error with its line number and counts as missing. The first --warmup "
        "values (and as many after each change) calibrate the threshold.",
        epilog="example: tail -f app.log | cut -d' ' -f3 | vollan watch - --json",
    )
    w.add_argument("file", metavar="FILE", help="a text file of numbers; '-' reads standard input")
    w.add_argument(
        "--window-sizes",
        "-w",
        type=window_sizes,
        metavar="SIZES",
        help="window sizes compared at each value: 10:20, 10:40:5 or 10,12,15 (default: 16, "
        "32, ... up to a third of the warm-up)",
    )
    w.add_argument(
        "--change-type",
        choices=CHANGE_TYPES,
        default="distribution",
        help="compare the windows' distributions, means or centred values (default: distribution)",
    )
    w.add_argument(
        "--false-alarm-every",
        type=float,
        default=10_000,
        metavar="N",
        help="mean number of values between false alarms on a stream without change "
        "(default: 10000)",
    )
    w.add_argument(
        "--warmup",
        type=int,
        default=None,
        metavar="N",
        help="values that calibrate (default: 500, more for dependent values, up to 4000)",
    )
    w.add_argument("--seed", type=int, default=0, metavar="N", help="seed (default: 0)")
    w.add_argument("--json", action="store_true", help="print each change as a JSON line")
    w.set_defaults(run=run)


def describe(change: StreamChange) -> str:
    """One line of text for a change."""
    if change.kind == "mean":
        size = f"shift {change.size:+.3g} sd"
    elif change.kind == "var":
        size = f"spread x{change.size:.3g}"
    else:
        size = f"distance {change.size:.3g} sd"
    return (
        f"change at {change.index}: {change.kind}, {size}; confirmed at {change.confirmed_at} "
        f"(delay {change.delay}), statistic {change.evidence:.3g} > {change.threshold:.3g} "
        f"at window {change.window_size}"
    )


def as_json(change: StreamChange) -> str:
    return json.dumps(
        {
            "index": change.index,
            "confirmed_at": change.confirmed_at,
            "kind": change.kind,
            "size": change.size,
            "evidence": change.evidence,
            "threshold": change.threshold,
            "window_size": change.window_size,
        }
    )


def parse_line(text: str) -> float | None:
    """The number on a line, NaN for a missing value, None for anything else."""
    cell = text.strip()
    if cell.lower() in MISSING_MARKERS:
        return math.nan
    try:
        value = float(cell)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def run(args: argparse.Namespace) -> int:
    monitor = Monitor(
        window_sizes=args.window_sizes,
        change_type=args.change_type,
        false_alarm_every=args.false_alarm_every,
        warmup=args.warmup,
        seed=args.seed,
    )
    if args.file == "-":
        return watch_fd(monitor, sys.stdin.fileno(), sys.stdout, sys.stderr, args.json)
    fd = os.open(args.file, os.O_RDONLY)
    try:
        return watch_fd(monitor, fd, sys.stdout, sys.stderr, args.json)
    finally:
        os.close(fd)


def watch_fd(monitor: Monitor, fd: int, out: TextIO, err: TextIO, as_json_lines: bool) -> int:
    """Feed the lines read from ``fd`` to ``monitor`` as they come, each read's complete lines
    in one update; print every change at once."""
    pending = b""
    line_number = 0
    while True:
        chunk = os.read(fd, READ_SIZE)
        if chunk:
            pending += chunk
            *lines, pending = pending.split(b"\n")
        else:  # end of input: the last line may lack its newline
            lines, pending = ([pending] if pending else []), b""
        values = []
        for raw in lines:
            line_number += 1
            text = raw.decode("utf-8", errors="replace")
            value = parse_line(text)
            if value is None:
                print(
                    f"vollan watch: line {line_number}: not a finite number: {text.strip()[:60]!r}",
                    file=err,
                    flush=True,
                )
                value = math.nan
            values.append(value)
        for change in monitor.update(values) if values else []:
            print(as_json(change) if as_json_lines else describe(change), file=out, flush=True)
        if not chunk:
            return 0
