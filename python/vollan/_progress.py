"""Progress of long work: a bar with the share done and the time left (drawn by tqdm).

The share comes from the work itself, never from a clock. Whoever does the work calls a
*progress callback* at the boundaries of its steps::

    progress(done: float, what: str) -> None

``done`` is the share of the call's expected work finished so far, from 0.0 to 1.0, never
decreasing; ``what`` names the step that starts now ("scanning 12 window sizes"). The last call
passes 1.0. A step's share is its expected part of the time (a scan of many window sizes is
most of a detection), so that the time left, which tqdm extrapolates from the share done, is
worth reading.

:class:`Bar` is the callback that draws: only after ``delay`` seconds, so that short calls stay
quiet, and, for the command line, only on a terminal. :func:`resolve` turns the ``progress=``
argument of the Python API into a callback, and :func:`within` gives a step its own callback
over a part of the whole.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from types import TracebackType
from typing import Any, TextIO

__all__ = ["Bar", "ProgressCallback", "in_notebook", "resolve", "within"]

ProgressCallback = Callable[[float, str], None]

# Steps of the bar: the share done is drawn to a thousandth.
_STEPS = 1000


class Bar:
    """A progress callback that draws a bar on ``stream``: share done, elapsed and time left.

    Parameters
    ----------
    stream : text stream, optional
        Where to draw; default ``sys.stderr`` when the bar is made.
    delay : float, optional
        Seconds before the bar first shows (default :attr:`DELAY`): a call done sooner shows
        nothing.
    terminal_only : bool
        Draw only when ``stream`` is a terminal (the command line); a caller who asked for
        progress (``progress=True``) sees it in a notebook or a log too.
    """

    DELAY = 2.0

    def __init__(
        self,
        stream: TextIO | None = None,
        *,
        delay: float | None = None,
        terminal_only: bool = True,
    ) -> None:
        self.stream = sys.stderr if stream is None else stream
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = not terminal_only or bool(isatty and isatty())
        self._delay = self.DELAY if delay is None else delay
        self._bar: Any = None
        self._done = 0

    def __call__(self, done: float, what: str) -> None:
        if not self.enabled:
            return
        if self._bar is None:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            except ImportError:  # an installation without it draws nothing
                self.enabled = False
                return
            self._bar = tqdm(
                total=_STEPS,
                desc=what,
                file=self.stream,
                delay=self._delay,
                leave=False,
                # Calls come only at the boundaries of steps: each is worth drawing.
                mininterval=0.0,
                bar_format="vollan: {desc} {percentage:3.0f}%|{bar}| {elapsed}<{remaining}",
                dynamic_ncols=True,
            )
        step = min(_STEPS, max(self._done, round(done * _STEPS)))
        self._bar.set_description_str(what, refresh=False)
        self._bar.update(step - self._done)
        self._done = step

    def close(self) -> None:
        """Take the bar off the screen."""
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self) -> Bar:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


def within(progress: ProgressCallback | None, start: float, end: float) -> ProgressCallback:
    """A callback for a step that covers ``start`` .. ``end`` of ``progress``'s whole: its
    own 0.0 .. 1.0 land there."""

    def part(done: float, what: str) -> None:
        if progress is not None:
            progress(start + (end - start) * min(max(done, 0.0), 1.0), what)

    return part


def in_notebook() -> bool:
    """Whether this process is a Jupyter kernel."""
    shell = sys.modules.get("IPython")
    get = getattr(shell, "get_ipython", None)
    kernel = get() if callable(get) else None
    return kernel is not None and hasattr(kernel, "kernel")


def resolve(progress: bool | ProgressCallback | None) -> tuple[ProgressCallback | None, Bar | None]:
    """The callback for a ``progress=`` argument of the Python API, and the bar to close
    when the call ends (None when the caller's own callback or nothing is used).

    ``True`` draws a bar on standard error for calls longer than :attr:`Bar.DELAY` seconds;
    ``False`` draws nothing; ``None`` (the default) draws one in a notebook only; a callable
    receives ``(done, what)`` itself.

    Raises
    ------
    TypeError
        For anything else, naming the argument.
    """
    if progress is None:
        progress = in_notebook()
    if isinstance(progress, bool):
        if not progress:
            return None, None
        bar = Bar(terminal_only=False)
        return bar, bar
    if callable(progress):
        return progress, None
    raise TypeError(
        "progress must be True, False, None or a callable progress(done, what), "
        f"got {type(progress).__name__}"
    )
