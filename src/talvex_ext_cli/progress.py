"""Elapsed-time indicator shown on a terminal while an installer runs.

The installer call waits for the child without holding the interpreter, so a
small daemon thread redraws one status line until the call returns: the elapsed
time and the installer's latest line, cut to the terminal's width.  When stdout
is not a terminal nothing is drawn at all, so logs and pipes stay clean.
"""

from __future__ import annotations

import shutil
import threading
import time
from typing import TextIO

_REDRAW_SECONDS = 0.2


def format_elapsed(seconds: float) -> str:
    """``7s``, ``1m05s``: the resolution a person watching an installer needs."""
    whole = int(seconds)
    if whole < 60:
        return f"{whole}s"
    minutes, secs = divmod(whole, 60)
    return f"{minutes}m{secs:02d}s"


class Elapsed:
    """Context manager drawing ``  <label> ... 12s`` on *stream* while active."""

    def __init__(self, stream: TextIO, label: str, *, enabled: bool):
        self._stream = stream
        self._label = label
        self._enabled = enabled
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._drawn = 0
        self._shown: tuple[str, str] = ("", "")
        self._latest = ""
        self._start = 0.0

    def __enter__(self) -> "Elapsed":
        self._start = time.monotonic()
        if self._enabled:
            self._draw()
            self._thread = threading.Thread(target=self._loop, name="talvex-ext-elapsed", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @property
    def seconds(self) -> float:
        return time.monotonic() - self._start

    def show(self, line: str) -> None:
        """Make *line* (one cleaned installer line) the one shown after the time."""
        self._latest = line

    def relabel(self, label: str) -> None:
        """Show *label* in place of the one given (``cancelling``, ``finishing``)."""
        self._label = label
        self._shown = ("", "")

    def stop(self) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        self._thread = None
        self._erase()

    def _loop(self) -> None:
        while not self._stop.wait(_REDRAW_SECONDS):
            if (format_elapsed(self.seconds), self._latest) != self._shown:
                self._draw()

    def _draw(self) -> None:
        latest = self._latest
        self._shown = (format_elapsed(self.seconds), latest)
        text = f"  {self._label} ... {self._shown[0]}" + (f"  {latest}" if latest else "")
        # One column short of the width: a full line would wrap on some terminals.
        text = text[: max(shutil.get_terminal_size().columns - 1, 1)]
        self._write("\r" + text.ljust(self._drawn))
        self._drawn = len(text)

    def _erase(self) -> None:
        if self._drawn:
            self._write("\r" + " " * self._drawn + "\r")
            self._drawn = 0

    def _write(self, text: str) -> None:
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):
            # A closed or broken terminal must not break the installer run.
            self._stop.set()
