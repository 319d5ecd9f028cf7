"""The vollan command reads files as spreadsheets, databases and numpy write them.

Every file here is written by the test into tmp_path; results are compared with
:func:`vollan.detect` on the values the file holds, bit for bit.
"""

from __future__ import annotations

import errno
import io
import json
import math
import os
import re
import subprocess
import sys
import zipfile
from datetime import datetime

import numpy as np
import pytest

import vollan.cli
from vollan._progress import Bar, resolve, within
from vollan._readers import os_error_sentence, parse_dates
from vollan.api import detect
from vollan.cli import main

# A clear mean shift at 40 in 100 values with two decimals, so that every number is written
# exactly and reads back to the same float.
rng = np.random.default_rng(11)
VALUES = [round(v, 2) for v in np.r_[rng.normal(10.0, 1.0, 40), rng.normal(16.0, 1.0, 60)]]
DAYS = [f"2021-{1 + i // 28:02d}-{1 + i % 28:02d}" for i in range(100)]
MISSING_AT = (7, 63)


def run(argv, capsys, stdin=None, monkeypatch=None):
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", stdin)
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err


def write(tmp_path, name: str, text: str) -> str:
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def doc_of(argv, capsys, **kwargs):
    status, out, err = run([*argv, "--json"], capsys, **kwargs)
    assert status == 0, err
    return json.loads(out)


def same_result(doc, found) -> None:
    assert doc["n_obs"] == found.n_obs and doc["n_omitted"] == found.n_omitted
    assert doc["window_sizes"] == list(found.window_sizes)
    assert [(r["index"], r["label"]) for r in doc["leaders"]] == [
        (x.index, x.label) for x in found.leaders
    ]
    assert [r["vote_share"] for r in doc["leaders"]] == [x.vote_share for x in found.leaders]
    assert [r["p_value"] for r in doc["leaders"]] == [x.p_value for x in found.leaders]
    assert [r["reported"] for r in doc["leaders"]] == [x.reported for x in found.leaders]


def dated_csv(cells, delimiter=",", header=("date", "close")) -> str:
    rows = [delimiter.join(header)]
    rows += [f"{d}{delimiter}{c}" for d, c in zip(DAYS, cells, strict=True)]
    return "\n".join(rows) + "\n"


# Missing values -----------------------------------------------------------------------------


@pytest.mark.parametrize("marker", ["", "NA", "N/A", "NaN", "nan", "null", "NULL", "-", "None"])
def test_missing_cells_are_left_out_under_omit(tmp_path, capsys, marker):
    cells = [marker if i in MISSING_AT else f"{v:.2f}" for i, v in enumerate(VALUES)]
    path = write(tmp_path, "m.csv", dated_csv(cells))
    doc = doc_of(["detect", path, "--nan-policy", "omit"], capsys)
    series = [math.nan if i in MISSING_AT else v for i, v in enumerate(VALUES)]
    found = detect(series, labels=DAYS, nan_policy="omit")
    same_result(doc, found)
    assert doc["n_omitted"] == 2
    assert [r["index"] for r in doc["changes"]] == [40]
    status, out, _ = run(["detect", path, "--nan-policy", "omit"], capsys)
    assert status == 0 and "100 values of column 'close' (2 missing, left out)" in out


@pytest.mark.parametrize(
    ("marker", "message"),
    [
        ("", "m.csv:9: column 'close' is empty; pass --nan-policy omit"),
        ("NA", "m.csv:9: column 'close': 'NA' marks a missing value; pass --nan-policy omit"),
        ("N/A", "m.csv:9: column 'close': 'N/A' marks a missing value"),
        ("null", "m.csv:9: column 'close': 'null' marks a missing value"),
        ("-", "m.csv:9: column 'close': '-' marks a missing value"),
        ("NaN", "m.csv:9: column 'close': 'NaN' is not a finite number; pass --nan-policy omit"),
    ],
)
def test_missing_cells_stop_the_run_when_asked(tmp_path, capsys, marker, message):
    cells = [marker if i in MISSING_AT else f"{v:.2f}" for i, v in enumerate(VALUES)]
    path = write(tmp_path, "m.csv", dated_csv(cells))
    status, out, err = run(["detect", path, "--nan-policy", "raise"], capsys)
    assert status == 2 and out == ""
    assert err.count("\n") == 1 and message in err


def test_infinity_is_refused_whatever_the_policy(tmp_path, capsys):
    cells = ["inf" if i == 3 else f"{v:.2f}" for i, v in enumerate(VALUES)]
    path = write(tmp_path, "m.csv", dated_csv(cells))
    status, _, err = run(["detect", path, "--nan-policy", "omit"], capsys)
    assert status == 2 and "m.csv:5: column 'close': 'inf' is not a finite number" in err


# Thousands separators and decimal commas ----------------------------------------------------


def big(v: float) -> float:
    return round(v * 1000.0, 2)


@pytest.mark.parametrize(
    ("delimiter", "style", "options"),
    [
        (",", lambda v: f'"{v:,.2f}"', []),  # 10,062.87, quoted in a comma CSV
        (";", lambda v: f"{v:,.2f}", []),
        (";", lambda v: f"{v:,.2f}".replace(",", "_").replace(".", ",").replace("_", "."), []),
        (";", lambda v: f"{v:,.2f}".replace(",", " ").replace(".", ","), []),
        ("\t", lambda v: f"{v:,.2f}".replace(",", "'"), []),
        (";", lambda v: f"{v:,.2f}".replace(",", " "), ["--thousands", "space"]),
        (";", lambda v: f"{v:.2f}".replace(".", ","), ["--decimal", ","]),
    ],
)
def test_grouped_and_comma_numbers_read_to_the_same_floats(
    tmp_path, capsys, delimiter, style, options
):
    values = [big(v) for v in VALUES]
    path = write(tmp_path, "g.csv", dated_csv([style(v) for v in values], delimiter))
    doc = doc_of(["detect", path, *options], capsys)
    same_result(doc, detect(values, labels=DAYS))


def test_quoted_cells_of_a_single_column_are_read(tmp_path, capsys):
    # A one-column sheet saved as CSV quotes the numbers that hold a thousands separator; with
    # no delimiter in its header the file is split on spaces, and the quotes must go too.
    values = [big(v) for v in VALUES]
    cells = [f'"{v:,.2f}"' if v >= 1000 else f"{v:.2f}" for v in values]
    path = write(tmp_path, "one.csv", "close\n" + "".join(c + "\n" for c in cells))
    same_result(doc_of(["detect", path], capsys), detect(values))


def test_decimal_commas_one_number_per_line_need_the_option(tmp_path, capsys):
    path = write(tmp_path, "d.txt", "".join(f"{v:.2f}\n".replace(".", ",") for v in VALUES))
    doc = doc_of(["detect", path, "--decimal", ","], capsys)
    same_result(doc, detect(VALUES))


def test_decimal_commas_alone_in_a_column_are_read(tmp_path, capsys):
    # "12,5" cannot hold a thousands separator (a group of one digit): the comma is decimal.
    cells = [f"{v:.1f}".replace(".", ",") for v in VALUES]
    doc = doc_of(["detect", write(tmp_path, "d.csv", dated_csv(cells, ";"))], capsys)
    same_result(doc, detect([float(f"{v:.1f}") for v in VALUES], labels=DAYS))


def test_a_column_readable_both_ways_asks_which(tmp_path, capsys):
    cells = ["1.500", "2,250"] * 50
    path = write(tmp_path, "a.csv", dated_csv(cells, ";"))
    status, _, err = run(["detect", path], capsys)
    assert status == 2 and err.count("\n") == 1
    assert "a.csv:2: column 'close': '1.500' may be 1.5 or 1500; pass --decimal ." in err
    for mark, expected in ((".", [1.5, 2250.0]), (",", [1500.0, 2.25])):
        doc = doc_of(["detect", path, "--decimal", mark, "--min-contrast", "none"], capsys)
        same_result(doc, detect(expected * 50, labels=DAYS, min_contrast=None))


@pytest.mark.parametrize(
    ("cell", "message"),
    [
        ("12,34,5", "'12,34,5' is not a number (read with decimal points"),
        ("1.2.3", "'1.2.3' is not a number (read with decimal points"),
        ("abc", "'abc' is not a number\n"),
    ],
)
def test_numbers_that_no_convention_reads(tmp_path, capsys, cell, message):
    cells = [cell if i == 5 else f"{v:.2f}" for i, v in enumerate(VALUES)]
    status, _, err = run(["detect", write(tmp_path, "x.csv", dated_csv(cells, ";"))], capsys)
    assert status == 2 and f"x.csv:7: column 'close': {message}" in err


def test_same_thousands_and_decimal_mark_is_refused(tmp_path, capsys):
    path = write(tmp_path, "x.csv", dated_csv([f"{v:.2f}" for v in VALUES]))
    status, _, err = run(["detect", path, "--decimal", ",", "--thousands", ","], capsys)
    assert status == 2 and "the thousands separator and the decimal mark are both ','" in err


# numpy on standard input --------------------------------------------------------------------


class Stdin:
    """Standard input as the command sees it: a text stream with bytes beneath."""

    def __init__(self, data: bytes) -> None:
        self.buffer = io.BytesIO(data)

    def read(self) -> str:
        raise AssertionError("numpy data must be read as bytes")


def saved(save, *args, **kwargs) -> bytes:
    out = io.BytesIO()
    save(out, *args, **kwargs)
    return out.getvalue()


@pytest.mark.parametrize(
    ("data", "options"),
    [
        (saved(np.save, np.asarray(VALUES)), []),
        (saved(np.save, np.column_stack([np.zeros(100), VALUES])), ["--column", "1"]),
        (saved(np.savez, close=np.asarray(VALUES)), []),
        (saved(np.savez_compressed, close=np.asarray(VALUES), other=np.zeros(3)), ["-c", "close"]),
    ],
)
def test_npy_and_npz_on_standard_input(capsys, monkeypatch, data, options):
    doc = doc_of(["detect", "-", *options], capsys, stdin=Stdin(data), monkeypatch=monkeypatch)
    assert doc["source"] == "<stdin>"
    same_result(doc, detect(VALUES))


def test_npz_with_several_arrays_names_them(capsys, monkeypatch):
    data = saved(np.savez, a=np.zeros(50), b=np.ones(50))
    status, _, err = run(["detect", "-"], capsys, stdin=Stdin(data), monkeypatch=monkeypatch)
    assert status == 2
    assert err == "vollan: error: <stdin>: choose one of the arrays a, b with --column\n"


def corrupted(data: bytes) -> bytes:
    """``data`` with a byte in the middle flipped: an array's bytes, not its header."""
    middle = len(data) // 2
    return data[:middle] + bytes([data[middle] ^ 0xFF]) + data[middle + 1 :]


def zip_of_text() -> bytes:
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as archive:
        archive.writestr("notes.txt", "not an array")
    return out.getvalue()


ONE_COLUMN = saved(np.save, np.asarray(VALUES))


@pytest.mark.parametrize(
    ("data", "options", "message"),
    [
        # An empty archive starts with the end of its central directory, PK\x05\x06.
        (saved(np.savez), [], "the .npz archive holds no arrays"),
        (
            saved(np.savez, a=np.asarray(VALUES))[:200],
            [],
            "not a readable .npz array (File is not a zip file)",
        ),
        (
            corrupted(saved(np.savez, a=np.asarray(VALUES))),
            [],
            "array 'a' is not readable (Bad CRC-32 for file 'a.npy')",
        ),
        (zip_of_text(), [], "'notes.txt' in the archive is not a numpy array"),
        (
            saved(np.save, np.asarray(VALUES) * 1j),
            [],
            "array of complex128 holds complex numbers, not real ones",
        ),
        (saved(np.save, np.zeros((100, 0))), [], "the array has no columns (shape (100, 0))"),
        # A one-dimensional array is one column: --column may name it, and nothing else.
        (ONE_COLUMN, ["--column", "1"], "column 1 does not exist; the array has 1 column"),
        (ONE_COLUMN, ["--column", "-2"], "column -2 does not exist; the array has 1 column"),
        (
            ONE_COLUMN,
            ["--column", "close"],
            "column 'close' not found: the columns of an array have no names; "
            "give a 0-based position",
        ),
        (
            ONE_COLUMN,
            ["--label-column", "0"],
            "a numpy array has no label column; --label-column is for text files",
        ),
    ],
)
def test_numpy_data_that_cannot_be_the_series(capsys, monkeypatch, data, options, message):
    status, out, err = run(
        ["detect", "-", *options], capsys, stdin=Stdin(data), monkeypatch=monkeypatch
    )
    assert (status, out) == (2, "")
    assert err == f"vollan: error: <stdin>: {message}\n"


def test_an_empty_npz_file_is_one_sentence(tmp_path, capsys):
    path = tmp_path / "none.npz"
    np.savez(path)
    status, _, err = run(["detect", str(path)], capsys)
    assert status == 2
    assert err == f"vollan: error: {path}: the .npz archive holds no arrays\n"


@pytest.mark.parametrize(
    "options", [["--column", "0"], ["--column", "-1"], ["--label-column", "none"]]
)
def test_the_only_column_of_a_one_dimensional_array_may_be_named(capsys, monkeypatch, options):
    doc = doc_of(
        ["detect", "-", *options], capsys, stdin=Stdin(ONE_COLUMN), monkeypatch=monkeypatch
    )
    same_result(doc, detect(VALUES))


def test_npy_with_nan_follows_the_policy(tmp_path, capsys):
    series = np.asarray([math.nan if i in MISSING_AT else v for i, v in enumerate(VALUES)])
    path = tmp_path / "m.dat"  # told by its first bytes, not its name
    path.write_bytes(saved(np.save, series))
    status, _, err = run(["detect", str(path), "--nan-policy", "raise"], capsys)
    assert status == 2 and "value 7 is missing (NaN); pass --nan-policy omit" in err
    # Left out by default, as vollan.detect does.
    same_result(doc_of(["detect", str(path)], capsys), detect(series))


def test_text_on_standard_input_still_reads(capsys, monkeypatch):
    text = "".join(f"{v:.2f}\n" for v in VALUES)
    doc = doc_of(["detect", "-"], capsys, stdin=Stdin(text.encode()), monkeypatch=monkeypatch)
    same_result(doc, detect(VALUES))


# The label column ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("header", "first", "labelled"),
    [
        ("open,close", lambda i, v: f"{v - 0.5:.2f}", False),  # numbers: data, not labels
        ("id,close", lambda i, v: str(i + 1), False),
        ("date,close", lambda i, v: DAYS[i], True),
        ("when,close", lambda i, v: f"{i // 60:02d}:{i % 60:02d}", True),  # times
        ("site,close", lambda i, v: f"s{i}", True),  # text
        ("year,close", lambda i, v: str(1900 + i), True),  # a header that names time
    ],
)
def test_labels_come_only_from_dates_times_text_or_time_names(
    tmp_path, capsys, header, first, labelled
):
    rows = [header] + [f"{first(i, v)},{v:.2f}" for i, v in enumerate(VALUES)]
    path = write(tmp_path, "l.csv", "\n".join(rows))
    doc = doc_of(["detect", path], capsys)
    (point,) = doc["changes"]
    if labelled:
        assert point["label"] == first(point["index"], VALUES[point["index"]])
    else:
        assert point["label"] == point["index"]
        status, out, _ = run(["detect", path], capsys)
        assert "label" not in out.splitlines()[2].split()


def test_a_label_column_after_the_values_is_found(tmp_path, capsys):
    rows = ["close,date"] + [f"{v:.2f},{d}" for v, d in zip(VALUES, DAYS, strict=True)]
    doc = doc_of(["detect", write(tmp_path, "l.csv", "\n".join(rows)), "-c", "close"], capsys)
    assert [(r["index"], r["label"]) for r in doc["changes"]] == [(40, DAYS[40])]


@pytest.mark.parametrize(
    ("labels", "first"),
    [
        (["2021-01-01", "2021-01-02"], datetime(2021, 1, 1)),
        (["2021-01-01T10:00", "2021-01-01T10:05"], datetime(2021, 1, 1, 10, 0)),
        (["2002-01", "2002-02"], datetime(2002, 1, 1)),
        (["31.12.2020", "01.01.2021"], datetime(2020, 12, 31)),
        (["12/31/2020", "01/01/2021"], datetime(2020, 12, 31)),
        (["1871", "1872"], datetime(1871, 1, 1)),
        (["09:30", "09:31"], datetime(1900, 1, 1, 9, 30)),
        (["Jan 2020", "Feb 2020"], datetime(2020, 1, 1)),
    ],
)
def test_dates_for_the_plot_axis(labels, first):
    dates = parse_dates(labels)
    assert dates is not None and dates[0] == first and dates[0] < dates[1]


@pytest.mark.parametrize(
    "labels", [["a", "b"], ["2021-01-02", "2021-01-01"], ["2021-01-01", "x"], ["1", "2"], []]
)
def test_labels_that_are_no_time_axis(labels):
    assert parse_dates(labels) is None


# Paths and OS errors ------------------------------------------------------------------------


def test_a_directory_is_one_plain_sentence(tmp_path, capsys):
    status, out, err = run(["detect", str(tmp_path)], capsys)
    assert status == 2 and out == ""
    assert err == f"vollan: error: cannot read {tmp_path}: it is a directory\n"


@pytest.mark.parametrize(
    ("code", "action", "ending"),
    [
        (errno.EACCES, "read", "permission denied"),
        (errno.EISDIR, "read", "it is a directory"),
        (errno.ENOSPC, "write the plot to", "no space is left on the device"),
        (errno.EROFS, "write the plot to", "the file system is read-only"),
    ],
)
def test_os_errors_become_sentences(code, action, ending):
    exc = OSError(code, "ignored", "/x/y")
    assert os_error_sentence(exc, action, "/x/y") == f"cannot {action} /x/y: {ending}"


def nile_like(tmp_path) -> str:
    return write(tmp_path, "s.csv", dated_csv([f"{v:.2f}" for v in VALUES]))


@pytest.mark.parametrize(
    ("name", "magic"),
    [("p.png", b"\x89PNG"), ("noext", b"\x89PNG"), ("p.svg", b"<?xml"), ("p.PDF", b"%PDF")],
)
def test_plot_is_written_at_exactly_the_path_reported(tmp_path, capsys, name, magic):
    pytest.importorskip("matplotlib")
    target = tmp_path / "out" / name
    target.parent.mkdir()
    status, _, err = run(["detect", nile_like(tmp_path), "--plot", str(target)], capsys)
    assert status == 0, err
    assert target.read_bytes().startswith(magic)
    assert sorted(p.name for p in target.parent.iterdir()) == [name]
    suffix = "" if "." in name else " (as PNG: the name has no suffix)"
    assert err == f"plot written to {target}{suffix}\n"


@pytest.mark.parametrize(
    ("target", "message"),
    [
        ("p.foo", "cannot save a plot as .foo: matplotlib writes "),
        ("p.csv", "cannot save a plot as .csv: matplotlib writes "),
        ("missing/p.png", "cannot write the plot to {tmp}/missing/p.png: there is no directory"),
        ("s.csv/p.png", "cannot write the plot to {tmp}/s.csv/p.png: {tmp}/s.csv is not a dir"),
        (".", "cannot write the plot to {tmp}/.: it is a directory"),
    ],
)
def test_bad_plot_paths_stop_before_the_scan(tmp_path, capsys, monkeypatch, target, message):
    pytest.importorskip("matplotlib")
    source = nile_like(tmp_path)

    def never(*args, **kwargs):
        raise AssertionError("the scan ran")

    monkeypatch.setattr(vollan.cli, "detect", never)
    for option in ("--plot", "--windows-plot"):
        status, out, err = run(["detect", source, option, f"{tmp_path}/{target}"], capsys)
        assert status == 2 and out == ""
        assert err.count("\n") == 1 and message.format(tmp=tmp_path) in err
        assert "Errno" not in err


def test_an_unwritable_plot_path_is_one_sentence(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    # The kernel lets nobody create files in /proc, not even root.
    status, out, err = run(["detect", nile_like(tmp_path), "--plot", "/proc/vollan.png"], capsys)
    assert status == 2
    assert err.startswith("vollan: error: cannot write the plot to /proc/vollan.png: ")
    assert err.count("\n") == 1 and "Errno" not in err


# Progress -----------------------------------------------------------------------------------


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_on_a_terminal_shows_share_done_and_time_left(tmp_path, capsys, monkeypatch):
    pytest.importorskip("tqdm")
    terminal = Terminal()
    monkeypatch.setattr(Bar, "DELAY", 0.0)
    monkeypatch.setattr(sys, "stderr", terminal)
    path = nile_like(tmp_path)
    assert main(["detect", path, "--json"]) == 0
    shown = terminal.getvalue()
    # tqdm's bar: the step, the share done, elapsed<left.
    assert f"vollan: reading {path}   0%|" in shown
    assert re.search(r"vollan: scanning 100 values of column 'close'   5%\|.*\| 00:0\d<", shown)
    # detect's own steps move the bar on between the scan's start and the end of the run.
    shares = [int(p) for p in re.findall(r" (\d+)%\|", shown)]
    assert shares == sorted(shares) and any(5 < p < 90 for p in shares)
    assert shown.endswith("\r")  # the bar is taken off before the result is printed
    assert json.loads(capsys.readouterr().out)["n_obs"] == 100


@pytest.mark.parametrize("tty", [False, True])
def test_progress_stays_quiet_off_a_terminal_and_on_short_runs(tty):
    pytest.importorskip("tqdm")
    stream = Terminal() if tty else io.StringIO()
    with Bar(stream) as progress:  # the default delay outlasts this run
        progress(0.5, "scanning")
    assert stream.getvalue() == ""
    with Bar(stream, delay=0.0) as progress:
        progress(0.5, "scanning")
    assert ("scanning  50%|" in stream.getvalue()) == tty


def test_progress_callbacks_of_the_python_api():
    seen = []
    assert resolve(False) == (None, None)
    assert resolve(None) == (None, None)  # outside a notebook
    callback, bar = resolve(lambda done, what: seen.append((done, what)))
    assert bar is None
    part = within(callback, 0.2, 0.6)
    part(0.0, "a")
    part(0.5, "b")
    part(2.0, "c")  # a share beyond the whole is held at its end
    assert seen == [(0.2, "a"), (0.4, "b"), (0.6, "c")]
    callback, bar = resolve(True)
    assert callback is bar and isinstance(bar, Bar) and bar.enabled  # shown off a terminal too
    with pytest.raises(TypeError, match="progress must be True, False, None or a callable"):
        resolve("yes")


def test_html_report_from_the_command_line(tmp_path, capsys):
    pytest.importorskip("plotly")
    page = tmp_path / "report.html"
    status, out, err = run(["detect", nile_like(tmp_path), "--html", str(page)], capsys)
    assert status == 0 and err == f"report written to {page}\n"
    text = page.read_text(encoding="utf-8")
    assert "<tr><td>column</td><td>&#x27;close&#x27;</td></tr>" in text
    assert "<tr><td>seed</td><td>123</td></tr>" in text


def test_an_unwritable_report_is_refused_before_reading(tmp_path, capsys):
    pytest.importorskip("plotly")
    missing = tmp_path / "no" / "report.html"
    status, _, err = run(["detect", str(tmp_path / "absent.csv"), "--html", str(missing)], capsys)
    # The report's folder is checked first: the missing input file is not even reached.
    assert status == 2
    assert err == (
        f"vollan: error: cannot write the report to {missing}: there is no directory "
        f"{missing.parent}\n"
    )


def test_closed_standard_input_is_one_sentence(capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", None)
    status, _, err = run(["detect", "-"], capsys)
    assert status == 2
    assert err == "vollan: error: standard input is closed; give a file instead of '-'\n"


@pytest.mark.parametrize("policy", ["omit", "keep"])
def test_outliers_option_is_detects(tmp_path, capsys, policy):
    values = [float(v) for v in VALUES]
    values[len(values) // 3] += 50.0 * (max(values) - min(values))
    path = write(tmp_path, "o.txt", "".join(f"{v!r}\n" for v in values))
    doc = doc_of(["detect", path, "--outliers", policy], capsys)
    same_result(doc, detect(values, outliers=policy))


# Round three: positions that must not shift, paths checked before the data, pipes -------------


@pytest.mark.parametrize(
    ("text", "missing"),
    [
        ("\n{body}", 0),  # cut's output of a first row whose cell is empty
        ("{head}\n\n{tail}", 40),
        ("{head}\n   \n{tail}\n\n\n", 40),  # blank lines at the end are no values
        ("close\n{head}\n\n{tail}", 40),
        ("\n\nclose\n{head}\n\n{tail}", 40),  # blank lines before a header are none either
    ],
)
def test_a_blank_line_of_one_column_is_a_missing_value(tmp_path, capsys, text, missing):
    cells = [f"{v:.2f}" for v in VALUES]
    cells[missing] = ""
    head, tail = "\n".join(cells[:missing]), "\n".join(cells[missing + 1 :])
    path = write(tmp_path, "one.txt", text.format(body="\n".join(cells[1:]), head=head, tail=tail))
    doc = doc_of(["detect", path], capsys)
    expected = list(VALUES)
    expected[missing] = math.nan
    same_result(doc, detect(expected))
    assert doc["n_obs"] == 100 and doc["n_omitted"] == 1


def test_a_blank_line_stops_the_run_under_raise(tmp_path, capsys):
    path = write(tmp_path, "one.txt", "1.5\n\n2.5\n")
    status, _, err = run(["detect", path, "--nan-policy", "raise"], capsys)
    assert status == 2
    assert err == (
        f"vollan: error: {path}:2: column 0 is empty; pass --nan-policy omit to leave missing "
        "values out of the scan, or fill them first\n"
    )


@pytest.mark.parametrize("index", [True, False])
def test_pandas_one_column_export_is_read(tmp_path, capsys, index):
    pd = pytest.importorskip("pandas")
    values = list(VALUES)
    for i in MISSING_AT:
        values[i] = math.nan
    path = tmp_path / "onecol.csv"
    pd.DataFrame({"sales": values})[["sales"]].to_csv(path, index=index)
    doc = doc_of(["detect", str(path)], capsys)
    same_result(doc, detect(values))
    assert doc["column"] == "sales"  # the header, without quotes


def test_json_names_an_npz_array_by_its_key(tmp_path, capsys):
    path = tmp_path / "a.npz"
    np.savez(path, closes=np.asarray(VALUES))
    assert doc_of(["detect", str(path)], capsys)["column"] == "closes"


def test_a_symlink_loop_is_named_as_such(tmp_path, capsys):
    (tmp_path / "a").symlink_to(tmp_path / "b")
    (tmp_path / "b").symlink_to(tmp_path / "a")
    status, out, err = run(["detect", str(tmp_path / "a")], capsys)
    assert (status, out) == (2, "")
    assert (
        err
        == f"vollan: error: cannot read {tmp_path / 'a'}: the path is a loop of symbolic links\n"
    )


def test_a_dangling_symlink_is_no_such_file(tmp_path, capsys):
    (tmp_path / "a").symlink_to(tmp_path / "gone.csv")
    status, _, err = run(["detect", str(tmp_path / "a")], capsys)
    assert (status, err) == (2, f"vollan: error: {tmp_path / 'a'}: no such file\n")


def test_every_output_path_is_checked_before_the_data_is_read(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "plot.png"
    # The data file does not exist: an error about it would mean it was read first.
    status, out, err = run(
        [
            "detect",
            str(tmp_path / "never-read.csv"),
            "--plot",
            str(plot),
            "--windows-plot",
            "/proc/vollan-windows.png",
        ],
        capsys,
    )
    assert (status, out) == (2, "")
    assert err.startswith("vollan: error: cannot write the plot to /proc/vollan-windows.png: ")
    assert not plot.exists() and list(tmp_path.iterdir()) == []


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="root writes anywhere")
def test_a_folder_without_write_permission_is_refused_before_reading(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o555)
    try:
        status, _, err = run(
            ["detect", str(tmp_path / "never-read.csv"), "--plot", str(locked / "p.png")], capsys
        )
    finally:
        locked.chmod(0o755)
    assert status == 2
    assert err == f"vollan: error: cannot write the plot to {locked / 'p.png'}: permission denied\n"


def test_workers_zero_is_the_default_as_in_detect(tmp_path, capsys):
    path = nile_like(tmp_path)
    same_result(doc_of(["detect", path, "--workers", "0"], capsys), detect(VALUES, labels=DAYS))


def test_a_closed_output_pipe_ends_as_sigpipe_would_without_a_word(tmp_path):
    # As `vollan detect x.csv --all --json | head -0`: the reader is gone before the output.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen(
        [sys.executable, "-m", "vollan", "detect", nile_like(tmp_path), "--all", "--json"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    )
    process.stdout.close()
    err = process.stderr.read()
    process.stderr.close()
    assert process.wait(timeout=120) == vollan.cli.EXIT_BROKEN_PIPE == 141
    assert err == b""
