"""The vollan command: input formats, options, output formats and error exits."""

from __future__ import annotations

import csv
import io
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

from vollan.api import detect
from vollan.cli import main, parse_window_sizes
from vollan.datasets import load_nile

NILE = load_nile()


def run(argv, capsys, stdin: str | None = None, monkeypatch=None):
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    status = main(argv)
    out, err = capsys.readouterr()
    return status, out, err


def write(tmp_path, name: str, text: str) -> str:
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def nile_csv(tmp_path, delimiter: str = ",") -> str:
    rows = [f"year{delimiter}volume"] + [
        f"{y}{delimiter}{v:g}" for y, v in zip(NILE.labels, NILE.values, strict=True)
    ]
    return write(tmp_path, "nile.csv", "\n".join(rows) + "\n")


def json_of(argv, capsys):
    status, out, err = run([*argv, "--json"], capsys)
    assert status == 0, err
    return json.loads(out)


# Input formats ------------------------------------------------------------------------------


def test_csv_with_dates_and_values(tmp_path, capsys):
    values = [10.0] * 40 + [20.0] * 40
    rows = ["date,value"] + [
        f"2020-{1 + i // 28:02d}-{1 + i % 28:02d},{v}" for i, v in enumerate(values)
    ]
    path = write(tmp_path, "daily.csv", "\n".join(rows))
    status, out, err = run(["detect", path], capsys)
    assert status == 0 and err == ""
    assert "80 values of column 'value'" in out
    assert "2020-02-13" in out  # label of index 40
    doc = json_of(["detect", path], capsys)
    assert [(r["index"], r["label"]) for r in doc["change_points"]] == [(40, "2020-02-13")]


@pytest.mark.parametrize("delimiter", [",", ";", "\t"])
def test_delimiters(tmp_path, capsys, delimiter):
    doc = json_of(["detect", nile_csv(tmp_path, delimiter)], capsys)
    assert doc["column"] == "volume"
    assert [(r["index"], r["label"]) for r in doc["change_points"]] == [(28, "1899")]


def test_result_equals_detect_on_the_same_values(tmp_path, capsys):
    doc = json_of(["detect", nile_csv(tmp_path)], capsys)
    found = detect(NILE.values, labels=[str(y) for y in NILE.labels])
    assert doc["n_obs"] == 100
    assert doc["window_sizes"] == list(found.window_sizes)
    assert [r["index"] for r in doc["leaders"]] == [x.index for x in found.leaders]
    assert [r["probability"] for r in doc["leaders"]] == [x.probability for x in found.leaders]
    assert [r["reported"] for r in doc["leaders"]] == [x.reported for x in found.leaders]
    assert [tuple(p) for p in doc["cdf"]] == list(found.cdf)


def test_plain_text_and_stdin(tmp_path, capsys, monkeypatch):
    text = "# Nile\n" + "\n".join(f"{v:g}" for v in NILE.values) + "\n\n"
    path = write(tmp_path, "nile.txt", text)
    from_file = json_of(["detect", path], capsys)
    status, out, err = run(["detect", "-", "--json"], capsys, stdin=text, monkeypatch=monkeypatch)
    assert status == 0, err
    from_stdin = json.loads(out)
    assert from_stdin["source"] == "<stdin>"
    assert from_file["leaders"] == from_stdin["leaders"]
    assert [r["index"] for r in from_file["change_points"]] == [28]
    assert [r["label"] for r in from_file["change_points"]] == [28]  # no labels: positions


def test_npy_files(tmp_path, capsys):
    np = pytest.importorskip("numpy")
    one = tmp_path / "one.npy"
    np.save(one, np.asarray(NILE.values))
    two = tmp_path / "two.npy"
    np.save(two, np.column_stack([np.zeros(100), np.asarray(NILE.values)]))
    assert json_of(["detect", str(one)], capsys)["change_points"][0]["index"] == 28
    assert json_of(["detect", str(two)], capsys)["change_points"][0]["index"] == 28
    assert json_of(["detect", str(two), "--column", "0"], capsys)["change_points"] == []


def test_first_row_with_text_labels_is_data(tmp_path, capsys):
    rows = [f"2001-{i % 12 + 1:02d},{0 if i < 30 else 9}" for i in range(60)]
    doc = json_of(["detect", write(tmp_path, "m.csv", "\n".join(rows))], capsys)
    assert doc["n_obs"] == 60
    assert doc["column"] == "1"


@pytest.mark.parametrize(
    ("options", "n_change_points"),
    [
        (["--column", "volume"], 1),
        (["--column", "1"], 1),
        (["--column", "-1"], 1),
        # The years themselves rise steadily: no abrupt change, but a different column.
        (["--column", "year", "--label-column", "none"], None),
    ],
)
def test_column_choice(tmp_path, capsys, options, n_change_points):
    doc = json_of(["detect", nile_csv(tmp_path), *options], capsys)
    if n_change_points is None:
        assert doc["column"] == "year"
        assert all(isinstance(r["label"], int) for r in doc["leaders"])
    else:
        assert len(doc["change_points"]) == n_change_points


# Options ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "sizes"),
    [
        ("10:20", list(range(10, 21))),
        ("10:40:10", [10, 20, 30, 40]),
        ("10,12,15", [10, 12, 15]),
        ("4,10:12", [4, 10, 11, 12]),
        ("8", [8]),
        ("1:10000", list(range(1, 10001))),  # as many as are allowed
    ],
)
def test_window_size_syntax(text, sizes):
    assert parse_window_sizes(text) == sizes


@pytest.mark.parametrize("text", ["", "a", "10:", "20:10", "10:20:0", "1:2:3:4", "0", "-5"])
def test_bad_window_size_syntax(text, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["detect", "x.csv", "--window-sizes", text])
    assert stop.value.code == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err.count("\n") == 1 and "--window-sizes" in err


TOO_MANY = "more than the 10000 allowed; scan fewer, e.g. in steps (10:1000:10)"


@pytest.mark.parametrize(
    ("text", "message"),
    [
        # Counted before the list is built: 4:2000000000 used to build two billion sizes.
        ("4:2000000000", f"1999999997 sizes, {TOO_MANY}"),
        ("1:9223372036854775807", f"9223372036854775807 sizes, {TOO_MANY}"),
        ("1:10001", f"10001 sizes, {TOO_MANY}"),
        ("10,1:10000", f"10001 sizes, {TOO_MANY}"),
        ("10,9223372036854775808", "sizes must be at most 2**63 - 1"),
        ("4:100000000000000000000000000000:1000", "sizes must be at most 2**63 - 1"),
    ],
)
def test_too_many_or_too_large_window_sizes_are_refused_at_once(text, message, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["detect", "x.csv", "--window-sizes", text])
    assert stop.value.code == 2
    out, err = capsys.readouterr()
    assert out == ""
    assert err == (
        f"vollan detect: error: argument --window-sizes/-w: window sizes {text!r}: {message} "
        "(see 'vollan detect --help')\n"
    )


@pytest.mark.parametrize(
    ("option", "value", "message"),
    [
        ("--workers", "-1", "'-1' is negative"),
        ("--seed", str(2**64), f"'{2**64}' is too large: at most 2**64 - 1"),
        ("--tol", str(2**64), f"'{2**64}' is too large: at most 2**64 - 1"),
        ("--n-perm", str(2**64), f"'{2**64}' is too large: at most 2**64 - 1"),
        ("--workers", str(2**64), f"'{2**64}' is too large: at most 2**64 - 1"),
        ("--workers", "65536", "'65536' is too many threads: at most 65535"),
    ],
)
def test_integer_options_beyond_the_engine_are_usage_errors(option, value, message, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["detect", "x.csv", option, value])
    assert stop.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith(f"vollan detect: error: argument {option}: {message}")
    assert err.count("\n") == 1


def test_too_many_replicates_is_one_line_not_a_traceback(tmp_path, capsys):
    # The engine cannot hold 2**61 replicates: refused before the file is even read (a
    # MemoryError used to escape main()).
    status, out, err = run(
        ["detect", str(tmp_path / "unread.csv"), "--n-perm", "2305843009213693952"], capsys
    )
    assert (status, out) == (2, "")
    assert re.fullmatch(
        r"vollan: error: --n-perm 2305843009213693952: the replicates take 16 EiB per "
        r"threshold, more than this machine's [0-9.]+ [GTPM]iB of memory; give fewer, or leave "
        r"--n-perm out for the default\n",
        err,
    )


def test_options_reach_the_detector(tmp_path, capsys):
    path = nile_csv(tmp_path)
    options = dict(
        window_sizes=[8, 9, 12],
        change_type="var",
        n_perm=50,
        alpha=0.2,
        seed=7,
        tol=4,
        min_score=0.3,
        min_contrast=2.5,
        detrend=None,
    )
    doc = json_of(
        [
            "detect",
            path,
            "-w",
            "8,9,12",
            "--change-type",
            "var",
            "--n-perm",
            "50",
            "--alpha",
            "0.2",
            "--seed",
            "7",
            "--tol",
            "4",
            "--min-score",
            "0.3",
            "--min-contrast",
            "2.5",
            "--detrend",
            "none",
            "--workers",
            "2",
        ],
        capsys,
    )
    found = detect(NILE.values, **options)
    assert doc["window_sizes"] == [8, 9, 12]
    assert doc["min_score"] == 0.3
    assert doc["min_contrast"] == 2.5
    assert doc["n_perm"] == 50 and doc["trend"] is None
    assert [(r["index"], r["votes"], r["contrast"], r["reported"]) for r in doc["leaders"]] == [
        (x.index, x.votes, x.contrast, x.reported) for x in found.leaders
    ]
    doc = json_of(["detect", path, "--min-contrast", "none"], capsys)
    assert doc["min_contrast"] is None
    assert all(r["contrast"] is None for r in doc["leaders"])
    # The defaults: 600 replicates for 100 values, no line removed, the calibrated contrast.
    assert (doc["n_perm"], doc["trend"]) == (600, None)
    doc = json_of(["detect", path], capsys)
    assert doc["min_contrast"] == "auto"
    assert [r["index"] for r in doc["change_points"]] == list(detect(NILE.values).change_points)
    assert doc["change_points"][0]["critical"] > 3.0


@pytest.mark.parametrize("text", ["-1", "x", "nan"])
def test_bad_min_contrast(text, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["detect", "x.csv", "--min-contrast", text])
    assert stop.value.code == 2
    assert "--min-contrast" in capsys.readouterr().err


def test_table_and_csv_outputs(tmp_path, capsys):
    path = nile_csv(tmp_path)
    status, out, _ = run(["detect", path], capsys)
    assert status == 0
    lines = out.splitlines()
    assert lines[2].split() == ["index", "label", "probability", "score", "votes", "contrast"]
    found = detect(NILE.values)
    (leader,) = [x for x in found.leaders if x.reported]
    assert lines[3].split() == [
        "28",
        "1899",
        f"{found.probabilities[28]:.3f}",
        f"{leader.score:.2f}",
        str(leader.votes),
        f"{leader.contrast:.1f}",
    ]
    assert "standing out beyond the calibrated critical contrast" in lines[1]
    status, out, _ = run(["detect", path, "--csv", "--all"], capsys)
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [int(r["index"]) for r in rows] == [x.index for x in found.leaders]
    assert [float(r["probability"]) for r in rows] == [x.probability for x in found.leaders]
    assert [r["reported"] for r in rows] == [str(int(x.reported)) for x in found.leaders]
    # Leaders without enough votes are not judged: their contrast is empty.
    assert [float(r["contrast"]) if r["contrast"] else None for r in rows] == [
        x.contrast for x in found.leaders
    ]


def test_no_change_point_says_so(tmp_path, capsys):
    path = write(tmp_path, "flat.txt", "\n".join(["1", "2"] * 50))
    status, out, _ = run(["detect", path], capsys)
    assert status == 0
    assert "0 change points" in out


def test_plot_option_writes_pngs(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    plot, windows = tmp_path / "p.png", tmp_path / "w.png"
    status, _, err = run(
        ["detect", nile_csv(tmp_path), "--plot", str(plot), "--windows-plot", str(windows)],
        capsys,
    )
    assert status == 0
    for path in (plot, windows):
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert str(path) in err


# Errors -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("content", "argv_extra", "message"),
    [
        (None, [], "no such file"),
        ("v\n1\n2\nx\n", [], "x.csv:4: column 'v': 'x' is not a number"),
        ("v\n1\nnan\n", ["--nan-policy", "raise"], "x.csv:3: column 'v': 'nan'"),
        ("a,b\n1,2\n3,\n", ["--nan-policy", "raise"], "x.csv:3: column 'b' is empty"),
        ("a,b\n1,2\n3\n", [], "x.csv:3: expected 2 columns, found 1"),
        ("1\n2\n3\n", [], "series has 3 values; at least 8 are needed"),
        ("\n# nothing\n", [], "no values found"),
        ("a,b\n" + "1,2\n" * 20, ["--column", "c"], "column 'c' not found; the header has a, b"),
        ("a,b\n" + "1,2\n" * 20, ["--column", "2"], "column 2 does not exist"),
        ("1\n" * 20, ["--column", "v"], "the file has no header row"),
        ("1\n" * 20, ["-w", "2:5"], "window sizes must be at least 4"),
        ("1\n" * 20, ["-w", "11"], "fewer than two windows"),
        ("1\n" * 20, ["--alpha", "0"], "alpha must be in (0, 1]"),
    ],
)
def test_bad_input_exits_2_with_one_line(tmp_path, capsys, content, argv_extra, message):
    path = tmp_path / "x.csv"
    if content is not None:
        path.write_text(content)
    status, out, err = run(["detect", str(path), *argv_extra], capsys)
    assert status == 2
    assert out == ""
    assert err.count("\n") == 1 and err.startswith("vollan: error: ")
    assert message in err


@pytest.mark.parametrize(
    ("content", "argv_extra", "message"),
    [
        ("a,b\n" + "1,2\n" * 20, ["-c", "c"], "column 'c' not found; the header has a, b"),
        ("a,b\n" + "1,2\n" * 20, ["-c", "2"], "column 2 does not exist; the file has 2 columns"),
        ("1\n" * 20, ["--column", "1"], "column 1 does not exist; the file has 1 column"),
        ("1\n" * 20, ["--label-column", "-2"], "column -2 does not exist; the file has 1 column"),
        ("1\n" * 20, ["--column", "v"], "column 'v' not found: the file has no header row"),
    ],
)
def test_column_errors_name_the_file(tmp_path, capsys, content, argv_extra, message):
    path = tmp_path / "x.csv"
    path.write_text(content)
    status, out, err = run(["detect", str(path), *argv_extra], capsys)
    assert (status, out) == (2, "")
    assert err == f"vollan: error: {path}: {message}\n"


def test_binary_and_broken_npy_files(tmp_path, capsys):
    pytest.importorskip("numpy")
    bad = tmp_path / "bad.npy"
    bad.write_bytes(b"not numpy")
    binary = tmp_path / "bin.csv"
    binary.write_bytes(b"\xff\xfe\x00\x81")
    for path, message in ((bad, "not a readable .npy"), (binary, "not a text file")):
        status, _, err = run(["detect", str(path)], capsys)
        assert status == 2 and message in err and err.count("\n") == 1


@pytest.mark.parametrize(
    "argv",
    [
        [],
        ["bogus"],
        ["detect"],
        ["detect", "x", "--n-perm", "-1"],
        ["detect", "x", "--seed", "a"],
        ["detect", "x", "--change-type", "median"],
        ["detect", "x", "--json", "--csv"],
    ],
)
def test_usage_errors_exit_2_with_one_line(capsys, argv):
    with pytest.raises(SystemExit) as stop:
        main(argv)
    assert stop.value.code == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "error:" in err


def test_help_explains_every_option(capsys):
    with pytest.raises(SystemExit) as stop:
        main(["detect", "--help"])
    assert stop.value.code == 0
    text = capsys.readouterr().out
    for option in (
        "--column",
        "--label-column",
        "--window-sizes",
        "--change-type",
        "--n-perm",
        "--alpha",
        "--min-score",
        "--seed",
        "--tol",
        "--workers",
        "--all",
        "--json",
        "--csv",
        "--plot",
        "--windows-plot",
    ):
        assert option in text


# As a user runs it --------------------------------------------------------------------------


def command(*args: str) -> list[str]:
    return [sys.executable, "-m", "vollan", *args]


def test_python_m_vollan_reports_errors_without_traceback(tmp_path):
    bad = tmp_path / "bad.csv"
    bad.write_text("v\n1\nabc\n")
    done = subprocess.run(command("detect", str(bad)), capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr == f"vollan: error: {bad}:3: column 'v': 'abc' is not a number\n"


def test_demo_prints_the_nile_change_and_writes_a_plot(tmp_path):
    pytest.importorskip("matplotlib")
    env = dict(os.environ, MPLBACKEND="Agg")
    done = subprocess.run(
        command("demo"), capture_output=True, text=True, cwd=tmp_path, env=env, timeout=120
    )
    assert done.returncode == 0, done.stderr
    found = detect(NILE.values)
    assert (
        f"change point: 1899 (index 28), probability {found.probabilities[28]:.2f}" in done.stdout
    )
    assert (tmp_path / "vollan-demo.png").read_bytes()[:4] == b"\x89PNG"


def test_console_script_is_installed():
    script = os.path.join(os.path.dirname(sys.executable), "vollan")
    if not os.path.exists(script):
        pytest.skip("vollan is not installed as a console script in this environment")
    done = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.startswith("vollan ")


def test_n_changes_and_min_size_reach_detect(tmp_path, capsys):
    values = [0.0] * 60 + [4.0] * 60 + [0.0] * 60 + [4.0] * 60
    noise = np.random.default_rng(3).normal(scale=0.3, size=len(values))
    series = [float(v + e) for v, e in zip(values, noise, strict=True)]
    path = tmp_path / "s.txt"
    path.write_text("".join(f"{v!r}\n" for v in series))
    for options, kwargs in (
        (["--n-changes", "1"], {"n_changes": 1}),
        (["--min-size", "70"], {"min_size": 70}),
    ):
        status, out, _ = run(["detect", str(path), "--json", *options], capsys)
        assert status == 0
        expected = detect(series, **kwargs).change_points
        assert [c["index"] for c in json.loads(out)["change_points"]] == list(expected)
    assert len(detect(series, n_changes=1).change_points) == 1
    status, _, err = run(["detect", str(path), "--n-changes", "-1"], capsys)
    assert status == 2 and "n_changes must be at least 0" in err


def test_the_summary_counts_in_the_singular_too(tmp_path, capsys):
    path = tmp_path / "ten.txt"
    path.write_text("".join(f"{v}\n" for v in (39, 45, 21, 27, 8, 95, 48, 65, 24, 79)))
    status, out, _ = run(["detect", str(path)], capsys)
    assert status == 0
    assert "window sizes 4..4 (1 size)" in out
    assert "(1 weaker leader; --all lists it)" in out
