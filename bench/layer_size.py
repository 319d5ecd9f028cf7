"""The size of the detection layer of ``vollan.detect``: modules and lines, by kind of line.

The layer is ``python/vollan/pipeline/*.py``, ``python/vollan/stats/*.py``, ``api.py``,
``config.py``, ``_scanview.py`` and ``_engine.py``. Each line counts once: a docstring line
(blank lines inside a docstring included), else a code line, else a comment line, else blank.

Usage::

    python bench/layer_size.py [--rev REV] [--modules]

``--rev`` counts the files as they are at a git revision (default: the working tree);
``--modules`` adds a row per module.
"""

from __future__ import annotations

import argparse
import io
import subprocess
import tokenize
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = "python/vollan"
TOP = ("api.py", "config.py", "_scanview.py", "_engine.py")
# Tokens after which a string stands alone as a statement: a docstring.
_STATEMENT_START = (None, tokenize.INDENT, tokenize.DEDENT, tokenize.NEWLINE)


def layer_files(rev: str | None) -> dict[str, str]:
    """Each module of the layer (relative to the package) and its text."""
    if rev is None:
        paths = sorted(
            str(p.relative_to(ROOT / PACKAGE))
            for sub in ("pipeline", "stats")
            for p in (ROOT / PACKAGE / sub).glob("*.py")
        )
        return {p: (ROOT / PACKAGE / p).read_text() for p in [*paths, *TOP]}
    listed = subprocess.run(
        [
            "git",
            "-C",
            str(ROOT),
            "ls-tree",
            "--name-only",
            rev,
            f"{PACKAGE}/pipeline/",
            f"{PACKAGE}/stats/",
        ],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.split()
    paths = sorted(p[len(PACKAGE) + 1 :] for p in listed if p.endswith(".py"))
    return {
        p: subprocess.run(
            ["git", "-C", str(ROOT), "show", f"{rev}:{PACKAGE}/{p}"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        for p in [*paths, *TOP]
    }


def line_kinds(text: str) -> dict[str, int]:
    """Lines of ``text`` by kind (see the module's notes)."""
    docstring: set[int] = set()
    code: set[int] = set()
    comment: set[int] = set()
    previous = None
    for tok in tokenize.generate_tokens(io.StringIO(text).readline):
        rows = range(tok.start[0], tok.end[0] + 1)
        if tok.type == tokenize.STRING and previous in _STATEMENT_START:
            docstring.update(rows)
        elif tok.type == tokenize.COMMENT:
            comment.add(tok.start[0])
        elif tok.type not in (tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT):
            code.update(rows)
        if tok.type not in (tokenize.COMMENT, tokenize.NL):
            previous = tok.type
    lines = text.splitlines()
    counts = {"lines": len(lines), "code": 0, "docstring": 0, "comment": 0, "blank": 0}
    for row, line in enumerate(lines, start=1):
        if row in docstring and row not in code - docstring:
            counts["docstring"] += 1
        elif not line.strip():
            counts["blank"] += 1
        elif row in code:
            counts["code"] += 1
        else:
            counts["comment"] += 1
    return counts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rev", help="a git revision (default: the working tree)")
    parser.add_argument("--modules", action="store_true", help="a row per module")
    args = parser.parse_args()
    files = layer_files(args.rev)
    total = {"lines": 0, "code": 0, "docstring": 0, "comment": 0, "blank": 0}
    print("| module | lines | code | docstring | comment | blank |")
    print("|---|--:|--:|--:|--:|--:|")
    for name, text in files.items():
        counts = line_kinds(text)
        for k in total:
            total[k] += counts[k]
        if args.modules:
            print(f"| `{name}` | " + " | ".join(str(counts[k]) for k in total) + " |")
    print(f"| {len(files)} modules | " + " | ".join(str(total[k]) for k in total) + " |")


if __name__ == "__main__":
    main()
