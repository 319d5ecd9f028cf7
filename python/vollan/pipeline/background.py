"""Steps that :func:`vollan.detect` runs on a second core beside others.

The engine's scan keeps every core busy; the rules around it run in numpy, which lets go of
the interpreter lock in its loops over long arrays. On a long series the period of the values as
given is found while the outliers are looked for (:class:`Later`): it is the period of the
values scanned whenever no outlier is left out (else it is found again without them). And
independent calls over long arrays, the contrasts around each leader and the placing of each
change, run two at a time (:func:`each`). Each runs the same operations in the same order as
it would alone, so the results are the same to the bit whether it ran beside or not.

A call gets the second core when it may use more than one thread: its ``workers`` when given,
else the budget the engine's shared pool takes (``RAYON_NUM_THREADS``, then
``RAYON_RS_NUM_CPUS``, then the CPUs the process may run on). Each thread is joined before
``detect`` returns its result. On one thread the same steps run one after the other, and a
step whose result turns out not to be wanted is not run at all.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor

__all__ = ["BESIDE_FROM", "Later", "each", "may_use_two_threads"]

# Values (of the series, or summed over the leaders' searches) from which a step runs on a
# second core beside the next: below, starting a thread costs about what it saves.
BESIDE_FROM = 1 << 16


def _budget_from_environment() -> int | None:
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(name, "").strip()
        if value.isdecimal() and int(value) > 0:
            return int(value)
    return None


def may_use_two_threads(workers: int | None) -> bool:
    """Whether a call with this ``workers`` option may keep two cores busy."""
    if workers is not None:
        return workers >= 2
    budget = _budget_from_environment()
    if budget is None:
        budget = os.process_cpu_count() or 1
    return budget >= 2


class Later[T]:
    """``fn(*args)``, run on a thread of its own from now on when ``background``, else when
    its :meth:`result` is first asked for; :meth:`result` gives its value or raises its
    exception."""

    def __init__(self, fn: Callable[..., T], *args: object, background: bool) -> None:
        self._call: tuple[Callable[..., T], tuple[object, ...]] | None = (fn, args)
        self._value: T | None = None
        self._error: BaseException | None = None
        self._thread: threading.Thread | None = None
        if background:
            self._thread = threading.Thread(target=self._run, name="vollan-beside", daemon=True)
            self._thread.start()

    def _run(self) -> None:
        assert self._call is not None
        fn, args = self._call
        try:
            self._value = fn(*args)
        except BaseException as error:  # handed to the caller of result()
            self._error = error
        self._call = None

    def join(self) -> None:
        """Wait for a call already running to finish (one not started is dropped)."""
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        self._call = None

    def result(self) -> T:
        """The call's value, once it has finished."""
        if self._thread is None and self._call is not None:
            self._run()
        self.join()
        if self._error is not None:
            raise self._error
        return self._value  # type: ignore[return-value]


def each[T, R](fn: Callable[[T], R], items: Sequence[T], *, two_threads: bool) -> list[R]:
    """``[fn(item) for item in items]``, on two threads when ``two_threads``.

    For independent calls whose work is numpy's loops over arrays of a few thousand values or
    more (the contrasts around each leader, the placement of each change): numpy lets go of
    the interpreter lock in them, so two run at once. Each call is the same as alone, so the
    results are the same to the bit; they come back in the order of ``items``."""
    if not two_threads or len(items) < 2:
        return [fn(item) for item in items]
    with ThreadPoolExecutor(2, thread_name_prefix="vollan-each") as pool:
        return list(pool.map(fn, items))
