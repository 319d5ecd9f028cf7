"""Write the stages' table into README.md, ARCHITECTURE.md and docs/model.md.

The three documents hold the table between the markers ``<!-- stages:begin ... -->`` and
``<!-- stages:end -->``; it is drawn from the stages' own metadata
(:func:`vollan.pipeline.stage_table`), so that they cannot disagree with the code or with
each other. ``--check`` exits 1 when a document differs from what would be written.

    python tools/gen_stage_docs.py [--check]
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

from vollan.pipeline import stage_table

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = ("README.md", "ARCHITECTURE.md", "docs/model.md")
_BLOCK = re.compile(r"(<!-- stages:begin[^>]*-->\n).*?(<!-- stages:end -->)", re.S)


def rendered(text: str) -> str:
    """``text`` with the table between its markers written anew."""
    return _BLOCK.sub(lambda m: m.group(1) + stage_table() + "\n" + m.group(2), text)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="only report documents out of date")
    args = parser.parse_args()
    stale = []
    for name in DOCUMENTS:
        path = ROOT / name
        text = path.read_text(encoding="utf-8")
        if not _BLOCK.search(text):
            print(f"{name}: no stages markers", file=sys.stderr)
            return 1
        new = rendered(text)
        if new != text:
            stale.append(name)
            if not args.check:
                path.write_text(new, encoding="utf-8")
    if args.check and stale:
        print("out of date: " + ", ".join(stale) + " (run python tools/gen_stage_docs.py)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
