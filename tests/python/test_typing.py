"""Type checkers see the real signatures and result types of the native module."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

SNIPPET = textwrap.dedent(
    """
    import vollan
    import _vollan_native

    result = _vollan_native.scan_detector([1.0, 2.0, 3.0], window_sizes=[10])
    reveal_type(result["out"]["cdf"])
    reveal_type(vollan.refine_wasserstein([1.0, 2.0, 3.0]))
    reveal_type(vollan.scan_single_window([1.0], 4)["localized_regions"])
    bad: str = vollan.refine_cusum([1.0])
    vollan.wasserstein_statistic([1.0])
    """
)


def test_mypy_sees_signatures_and_results(tmp_path):
    path = tmp_path / "snippet.py"
    path.write_text(SNIPPET)
    out = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path / "c"),
            str(path),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    text = out.stdout
    assert 'Revealed type is "list[tuple[int, float]]"' in text, text
    assert 'Revealed type is "tuple[int, list[float]]"' in text, text
    assert 'Revealed type is "list[tuple[int, int]]"' in text, text
    assert 'Incompatible types in assignment (expression has type "int"' in text, text
    assert 'Missing positional argument "right"' in text, text
