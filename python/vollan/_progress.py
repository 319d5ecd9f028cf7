"""A status line on standard error for the ``vollan`` command: what runs, and for how long.

It is drawn only when standard error is a terminal and the run has lasted ``delay`` seconds,
so that scripts, pipes and short runs see nothing. The engine keeps Python's interpreter lock
while it scans, so the clock may stand still during a scan and catch up after it.
"""

from __future__ import annotations

import sys
import threading
import time
from types import TracebackType
from typing import TextIO

__all__ = ["Progress"]

_CLEAR = "\r\x1b[K"


class Progress:
    """Say on ``stream`` which step runs and the time elapsed since the start.

    Parameters
    ----------
    stream : text stream, optional
        Where to draw; default ``sys.stderr``. Nothing is drawn unless it is a terminal.
    delay : float
        Seconds before the first drawing, so that quick runs stay quiet.
    """

    DELAY = 1.0
    TICK = 0.5

    def __init__(self, stream: TextIO | None = None, delay: float | None = None) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.delay = self.DELAY if delay is None else delay
        isatty = getattr(self.stream, "isatty", None)
        self.enabled = bool(isatty and isatty())
        self._text = ""
        self._start = time.monotonic()
        self._shown = False
        self._last = ""
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self) -> Progress:
        if self.enabled:
            self._thread = threading.Thread(target=self._run, name="vollan-progress", daemon=True)
            self._thread.start()
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        with self._lock:
            if self._shown:
                self.stream.write(_CLEAR)
                self.stream.flush()

    def step(self, text: str) -> None:
        """Name the step that starts now, e.g. "scanning 1000000 values of column 'close'"."""
        with self._lock:
            self._text = text
        self._draw()

    def _run(self) -> None:
        while not self._stop.wait(self.TICK):
            self._draw()

    def _draw(self) -> None:
        if not self.enabled:
            return
        elapsed = time.monotonic() - self._start
        with self._lock:
            if elapsed < self.delay or not self._text or self._stop.is_set():
                return
            line = f"{_CLEAR}vollan: {self._text}... {elapsed:.0f} s"
            if line != self._last:  # redrawn only when the step or the second changes
                self.stream.write(line)
                self.stream.flush()
                self._last = line
                self._shown = True
