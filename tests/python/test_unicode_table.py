"""The generated table of escaped code points matches the running Python's Unicode database."""

from __future__ import annotations

import importlib.util
import itertools
import re
import subprocess
import sys
import unicodedata
from pathlib import Path
from types import ModuleType

import pytest

ROOT = Path(__file__).resolve().parents[2]
GENERATOR = ROOT / "tools" / "gen_unicode_ranges.py"
TABLE = ROOT / "binding" / "unicode_ranges.inc"

# Written out again here rather than imported, so the quoting check below is independent of the
# generator.
NON_PRINTABLE_OR_COMBINING = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs", "Mn", "Mc", "Me"}
SIMPLE_ESCAPES = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
PREFIX = "change_type must be one of {'mean', 'var', 'distribution'}, got "


def load_generator() -> ModuleType:
    spec = importlib.util.spec_from_file_location("gen_unicode_ranges", GENERATOR)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def committed_text() -> str:
    return TABLE.read_text(encoding="utf-8")


def recorded_version(text: str) -> str:
    match = re.search(r"^// Unicode (\S+) ", text, re.MULTILINE)
    assert match is not None, "the table does not record its Unicode version"
    return match.group(1)


def parse_ranges(text: str) -> list[tuple[int, int]]:
    body = text[text.index("kEscapedRanges") :]
    return [
        (int(a, 16), int(b, 16)) for a, b in re.findall(r"\{0x([0-9a-f]+), 0x([0-9a-f]+)\}", body)
    ]


@pytest.fixture(scope="module")
def same_unicode() -> str:
    text = committed_text()
    version = recorded_version(text)
    if version != unicodedata.unidata_version:
        pytest.skip(
            f"table is for Unicode {version}, this Python has {unicodedata.unidata_version}"
        )
    return text


def test_committed_table_is_current(same_unicode: str) -> None:
    assert load_generator().generate() == same_unicode


def test_check_flag_rejects_a_stale_table(same_unicode: str, tmp_path: Path) -> None:
    stale = tmp_path / "unicode_ranges.inc"
    stale.write_text(same_unicode.replace("{0x0, 0x1f}", "{0x0, 0x1e}"), encoding="utf-8")
    result = subprocess.run(
        [sys.executable, str(GENERATOR), "--check", "--output", str(stale)],
        check=False,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 1
    assert "out of date" in result.stderr


def test_ranges_are_sorted_merged_and_declared_with_their_count() -> None:
    text = committed_text()
    ranges = parse_ranges(text)
    declared = re.search(r"kEscapedRanges\[(\d+)\]\[2\]", text)
    assert declared is not None and int(declared.group(1)) == len(ranges)
    assert all(first <= last for first, last in ranges)
    # Strictly more than one apart: adjacent ranges would have been merged.
    assert all(prev[1] + 1 < nxt[0] for prev, nxt in itertools.pairwise(ranges))
    assert ranges[0][0] >= 0 and ranges[-1][1] <= 0x10FFFF


def reference_quote(text: str) -> str:
    out = ['"']
    for ch in text:
        if ch in SIMPLE_ESCAPES:
            out.append(SIMPLE_ESCAPES[ch])
        elif ch != " " and unicodedata.category(ch) in NON_PRINTABLE_OR_COMBINING:
            out.append(f"\\u{{{ord(ch):x}}}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def ascii_lower(text: str) -> str:
    return text.translate({c: c + 32 for c in range(ord("A"), ord("Z") + 1)})


def test_change_type_error_quotes_every_code_point_like_the_reference(same_unicode: str) -> None:
    native = pytest.importorskip("_vollan_native")
    # Every code point except the surrogates, which cannot cross into UTF-8, in a few long words.
    code_points = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]
    chunk = 0x8000
    for start in range(0, len(code_points), chunk):
        word = "".join(map(chr, code_points[start : start + chunk]))
        with pytest.raises(ValueError) as excinfo:
            native.swal_statistic([0.0, 1.0, 2.0], change_type=word)
        assert str(excinfo.value) == PREFIX + reference_quote(ascii_lower(word)), hex(start)
