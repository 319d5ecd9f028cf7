"""Prints the requirements of the package and of the extras named on the command line, one per
line, read from pyproject.toml: the set-up installs them before compiling, so that the build
itself can run without its own isolated environment and with its output visible."""

import sys
import tomllib
from pathlib import Path

project = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())
build = project["build-system"]["requires"]
meta = project["project"]
wanted = list(build) + list(meta.get("dependencies", []))
for extra in sys.argv[1:]:
    wanted += meta["optional-dependencies"][extra]
print("\n".join(dict.fromkeys(wanted)))
