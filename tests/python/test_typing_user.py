"""A user's code passes numpy arrays and pandas Series to vollan under ``mypy --strict``."""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy")
pytest.importorskip("numpy")
pytest.importorskip("pandas")

SNIPPET = textwrap.dedent(
    """
    import numpy as np
    import pandas as pd

    import vollan

    x = np.random.default_rng(0).normal(size=200)
    s = pd.Series(x, index=pd.date_range("2020-01-01", periods=200))

    found = vollan.detect(x, change_type="mean", n_changes=1, min_size=10)
    breakpoints: list[int] = found.breakpoints()
    vollan.detect(s, change_type="var")
    vollan.detect([1.0, None, 2.0], nan_policy="omit")  # None is a missing value
    vollan.scan_detector(x, window_sizes=[10, 20], change_type="distribution")
    vollan.scan_detector(s, backend="process")
    window = vollan.scan_single_window(x, 20, change_type="var")
    vollan.scan_single_window(s, window_size=20)
    k, statistics = vollan.refine_wasserstein(x)
    vollan.refine_wasserstein(s)
    vollan.swal_statistic(s, "mean")
    vollan.wasserstein_statistic(x, s)
    reveal_type(window["change_points"])
    reveal_type(k)
    reveal_type(vollan.detect_columns(np.column_stack([x, x])))
    reveal_type(vollan.detect_columns(pd.DataFrame({"a": x})))
    """
)

# Lines of the snippet above that a checker must refuse.
WRONG = textwrap.dedent(
    """
    import numpy as np

    import vollan

    x = np.zeros(100)
    vollan.detect(x, change_type="median")
    vollan.scan_detector(x, change_type="Mean ")
    vollan.scan_single_window("abc", 20)
    vollan.refine_wasserstein(3.0)
    """
)


def _mypy(tmp_path: Path, code: str) -> subprocess.CompletedProcess[str]:
    path = tmp_path / "user.py"
    path.write_text(code)
    return subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            str(tmp_path / "cache"),
            str(path),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_numpy_arrays_and_pandas_series_pass_mypy_strict(tmp_path: Path) -> None:
    try:
        importlib.metadata.version("pandas-stubs")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("pandas-stubs is not installed (the test extra installs it)")
    out = _mypy(tmp_path, SNIPPET)
    text = out.stdout
    errors = [line for line in text.splitlines() if ": error:" in line]
    assert not errors, text
    assert 'Revealed type is "list[int]"' in text, text
    assert 'Revealed type is "int"' in text, text
    assert 'Revealed type is "list[vollan._result.Detection]"' in text, text
    assert 'Revealed type is "dict[typing.Hashable, vollan._result.Detection]"' in text, text


def test_mypy_refuses_unknown_change_types_and_non_series(tmp_path: Path) -> None:
    text = _mypy(tmp_path, WRONG).stdout
    errors = [line for line in text.splitlines() if ": error:" in line]
    assert len(errors) == 4, text
    assert '"change_type" to "detect" has incompatible type "Literal[\'median\']"' in text, text
    assert '"change_type" to "scan_detector" has incompatible type "Literal[\'Mean \']"' in text
    assert '"scan_single_window" has incompatible type "str"' in text, text
    assert '"refine_wasserstein" has incompatible type "float"' in text, text
