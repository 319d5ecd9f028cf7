"""The README's Python snippets run as written, each saved to a file of its own."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
SNIPPETS = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)


def test_readme_has_python_snippets() -> None:
    assert len(SNIPPETS) >= 3


@pytest.mark.parametrize("number", range(len(SNIPPETS)))
def test_snippet_runs_from_a_file(number: int, tmp_path: Path) -> None:
    code = SNIPPETS[number]
    # Optional dependencies (matplotlib behind vollan.plot, distributed) may be missing.
    for module in re.findall(r"^(?:from|import) ([\w.]+)", code, flags=re.M):
        pytest.importorskip(module, exc_type=ImportError)
    script = tmp_path / f"snippet_{number}.py"
    script.write_text(code)
    done = subprocess.run(
        [sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr[-3000:]
