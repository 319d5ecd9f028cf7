"""A detection as a notebook shows it, by executing a notebook in a real kernel."""

from __future__ import annotations

import os
import sys

import pytest

nbformat = pytest.importorskip("nbformat", reason="needs nbformat, nbclient and ipykernel")
nbclient = pytest.importorskip("nbclient", reason="needs nbformat, nbclient and ipykernel")
pytest.importorskip("ipykernel", reason="needs nbformat, nbclient and ipykernel")

import vollan  # noqa: E402

NILE = vollan.datasets.load_nile()

CELLS = [
    "import vollan\n"
    "nile = vollan.datasets.load_nile()\n"
    "found = vollan.detect(nile.values, labels=nile.labels)\n"
    "found",
    "import numpy as np\nvollan.detect(np.random.default_rng(2).normal(size=120))",
]


def test_a_notebook_shows_a_table_of_the_changes(tmp_path, monkeypatch):
    # The kernel imports the same vollan as these tests.
    package = os.path.dirname(os.path.dirname(vollan.__file__))
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([package, os.environ.get("PYTHONPATH", "")]))
    book = nbformat.v4.new_notebook()
    book.cells = [nbformat.v4.new_code_cell(source) for source in CELLS]
    book.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3"}
    client = nbclient.NotebookClient(
        book, timeout=300, kernel_name="python3", resources={"metadata": {"path": str(tmp_path)}}
    )
    client.execute()
    shown = [cell.outputs[0]["data"] for cell in book.cells]
    first, second = (data["text/html"] for data in shown)
    assert "1 change (1 mean) in 100 values" in first
    assert "<tr><td>28</td><td>1899</td><td>mean</td>" in first
    assert "No change was reported." in second
    if "matplotlib" in sys.modules or _has("matplotlib"):
        assert first.count('<img alt="where the changes lie" src="data:image/png;base64,') == 1
    # The plain repr stays beside it for consoles.
    assert shown[0]["text/plain"] == repr(vollan.detect(NILE.values, labels=NILE.labels))


def _has(name: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(name) is not None
