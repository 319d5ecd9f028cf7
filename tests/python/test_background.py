"""The steps ``vollan.detect`` runs on a second core: the same results, errors handed back."""

from __future__ import annotations

import threading

import numpy as np
import pytest

import vollan
from vollan.pipeline import background as _background
from vollan.pipeline.background import Later, may_use_two_threads


def test_a_call_beside_gives_its_value_and_its_exception() -> None:
    assert Later(sum, [1, 2, 3], background=True).result() == 6
    failing = Later(int, "not a number", background=True)
    with pytest.raises(ValueError, match="not a number"):
        failing.result()


def test_a_call_not_beside_runs_only_when_asked_for() -> None:
    calls: list[int] = []
    dropped = Later(calls.append, 1, background=False)
    dropped.join()
    assert dropped.result() is None
    assert calls == []
    assert Later(calls.append, 2, background=False).result() is None
    assert calls == [2]


def test_a_call_beside_runs_on_another_thread() -> None:
    ran_on = Later(threading.get_ident, background=True).result()
    assert ran_on != threading.get_ident()


def test_the_thread_budget_follows_workers_then_the_engines_variables(monkeypatch) -> None:
    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)
    monkeypatch.delenv("RAYON_RS_NUM_CPUS", raising=False)
    assert may_use_two_threads(2) and not may_use_two_threads(1)
    monkeypatch.setenv("RAYON_NUM_THREADS", "1")
    assert not may_use_two_threads(None)
    assert may_use_two_threads(4)
    monkeypatch.setenv("RAYON_NUM_THREADS", "0")  # 0 means the default, as for the engine
    monkeypatch.setenv("RAYON_RS_NUM_CPUS", "3")
    assert may_use_two_threads(None)
    monkeypatch.setenv("RAYON_RS_NUM_CPUS", "1")
    monkeypatch.setattr(_background.os, "process_cpu_count", lambda: 8)
    assert not may_use_two_threads(None)
    monkeypatch.delenv("RAYON_RS_NUM_CPUS")
    monkeypatch.delenv("RAYON_NUM_THREADS")
    assert may_use_two_threads(None)
    monkeypatch.setattr(_background.os, "process_cpu_count", lambda: None)
    assert not may_use_two_threads(None)


def _series() -> dict[str, np.ndarray]:
    rng = np.random.default_rng(11)
    n = 3 * _background.BESIDE_FROM // 2
    noise = rng.normal(size=n)
    steps = np.repeat(rng.uniform(1, 4, n // 400 + 1).cumsum(), 400)[:n] + rng.normal(size=n)
    odd = steps.copy()
    odd[rng.choice(n, 30, replace=False)] += 40.0  # outliers: the period is found again
    t = np.arange(n)
    seasonal = 3 * np.sin(2 * np.pi * t / 50) + rng.normal(size=n) + (t > n // 2) * 3.0
    shape = rng.normal(size=n)
    shape[n // 3 :] = rng.uniform(-np.sqrt(3.0), np.sqrt(3.0), size=n - n // 3)
    return {"noise": noise, "steps": steps, "outliers": odd, "seasonal": seasonal, "shape": shape}


@pytest.mark.parametrize("name", ["noise", "steps", "outliers", "seasonal", "shape"])
def test_detect_gives_the_same_result_on_one_core_and_on_two(name: str, monkeypatch) -> None:
    # The period is found beside the search for outliers (found again when some are left out).
    x = _series()[name]
    started: list[str] = []
    real_start = threading.Thread.start

    def start(thread: threading.Thread) -> None:
        started.append(thread.name)
        real_start(thread)

    monkeypatch.setattr(threading.Thread, "start", start)
    two = vollan.detect(x, workers=2)
    assert started, "nothing ran beside"
    started.clear()
    one = vollan.detect(x, workers=1)
    assert not started
    assert repr(one.to_dict()) == repr(two.to_dict())
    assert not any(t.name == "vollan-beside" for t in threading.enumerate())


def test_each_keeps_the_order_and_hands_back_the_first_exception() -> None:
    names: set[str] = set()

    def square(k: int) -> int:
        names.add(threading.current_thread().name)
        return k * k

    items = list(range(40))
    assert _background.each(square, items, two_threads=True) == [k * k for k in items]
    assert any(name.startswith("vollan-each") for name in names)
    names.clear()
    assert _background.each(square, items, two_threads=False) == [k * k for k in items]
    assert names == {threading.current_thread().name}

    def fails(k: int) -> int:
        if k == 3:
            raise ValueError("three")
        return k

    with pytest.raises(ValueError, match="three"):
        _background.each(fails, items, two_threads=True)


def test_the_steps_series_searches_and_places_on_two_threads(monkeypatch) -> None:
    # Its 245 changes are enough for both the searches around the leaders and the placing.
    x = _series()["steps"]
    used: dict[str, list[bool]] = {"leaders": [], "place": []}
    real = _background.each

    def spy(where: str):  # type: ignore[no-untyped-def]
        def each(fn, items, *, two_threads):  # type: ignore[no-untyped-def]
            used[where].append(two_threads)
            return real(fn, items, two_threads=two_threads)

        return each

    for where in used:
        monkeypatch.setattr(f"vollan.pipeline.{where}.each", spy(where))
    two = vollan.detect(x, workers=2)
    assert all(any(flags) for flags in used.values()), used
    for flags in used.values():
        flags.clear()
    one = vollan.detect(x, workers=1)
    assert all(flags and not any(flags) for flags in used.values()), used
    assert repr(one.to_dict()) == repr(two.to_dict())
