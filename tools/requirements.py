"""Prints requirements read from pyproject.toml, one per line: with --build those of the build
(and ninja), otherwise those of the package and of the extras named on the command line. The
set-up installs them itself, so that the build runs without an isolated environment of its own,
with its output visible, while the package's dependencies install beside it."""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())
meta = project["project"]
if sys.argv[1:] == ["--build"]:
    wanted = [*project["build-system"]["requires"], "ninja"]
else:
    wanted = list(meta.get("dependencies", []))
    for extra in sys.argv[1:]:
        wanted += meta["optional-dependencies"][extra]
print("\n".join(dict.fromkeys(wanted)))
