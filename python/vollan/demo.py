"""The Nile demo, also run by ``vollan demo`` and ``make demo``."""

from __future__ import annotations

import sys

from vollan.cli import main

if __name__ == "__main__":
    sys.exit(main(["demo", *sys.argv[1:]]))
