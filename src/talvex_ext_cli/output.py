"""Presentation: plain-text lines and tables for people, JSON for scripts."""

from __future__ import annotations

import json
import shutil
import sys
from collections.abc import Sequence
from typing import Any, TextIO

PROG = "talvex-ext"


def _is_tty(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


class Console:
    """Where the command writes: results to stdout, diagnostics to stderr."""

    def __init__(self, stdout: TextIO | None = None, stderr: TextIO | None = None):
        self.stdout = stdout if stdout is not None else sys.stdout
        self.stderr = stderr if stderr is not None else sys.stderr

    @property
    def interactive(self) -> bool:
        """True when stdout is a terminal (live indicators, clipped tables)."""
        return _is_tty(self.stdout)

    def width(self) -> int | None:
        """Terminal width for clipping table rows, or None when not a terminal."""
        if not self.interactive:
            return None
        return max(40, shutil.get_terminal_size((100, 24)).columns)

    def line(self, text: str = "") -> None:
        self.stdout.write(text + "\n")
        self.stdout.flush()

    def block(self, text: str, indent: str = "  ") -> None:
        """Write a multi-line text, each line indented."""
        for row in text.splitlines() or [""]:
            self.line((indent + row).rstrip())

    def note(self, text: str) -> None:
        """A remark that is not part of the result (goes to stderr)."""
        self.stderr.write(text + "\n")
        self.stderr.flush()

    def error(self, text: str) -> None:
        self.note(f"{PROG}: error: {text}")

    def warning(self, text: str) -> None:
        self.note(f"{PROG}: warning: {text}")

    def json(self, value: Any) -> None:
        self.stdout.write(json.dumps(value, indent=2, ensure_ascii=False) + "\n")
        self.stdout.flush()

    def table(self, headers: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
        """Left-aligned columns; on a terminal the last column is clipped to fit."""
        cells = [[_cell(v) for v in row] for row in rows]
        widths = [len(h) for h in headers]
        for row in cells:
            for i, value in enumerate(row[:-1]):
                widths[i] = max(widths[i], len(value))
        limit = self.width()
        for row in [list(headers), *cells]:
            text = "  ".join(v.ljust(widths[i]) for i, v in enumerate(row[:-1]))
            text = f"{text}  {row[-1]}" if len(row) > 1 else row[-1]
            if limit is not None and len(text) > limit:
                text = text[: limit - 3].rstrip() + "..."
            self.line(text.rstrip())


def _cell(value: Any) -> str:
    text = " ".join(str(value if value is not None else "").split())
    return text or "-"


def count(n: int, word: str) -> str:
    """``1 extension``, ``3 extensions``."""
    return f"{n} {word}" if n == 1 else f"{n} {word}s"
