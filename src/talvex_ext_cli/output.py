"""Presentation: plain-text lines and tables for people, JSON for scripts."""

from __future__ import annotations

import importlib
import json
import re
import shutil
import sys
from collections.abc import Sequence
from typing import Any, TextIO

PROG = "talvex-ext"
WHEELWORK = "talvex.core.extensions.wheelwork"

# In JSON text: every character that is neither printable ASCII nor the line feed
# of the indentation (candidates for the \uXXXX form, see _escape_unprintable).
_JSON_CANDIDATE = re.compile(r"[^\n -~]")
# What clean() keeps that would break a line or move to a tab stop.
_LINE_BREAKS = str.maketrans(dict.fromkeys("\n\t\u2028\u2029", " "))


def clean(value: Any) -> str:
    """*value* as text that is safe to show on a terminal.

    For everything this tool prints that comes from outside it: the package
    index, package metadata, the queue file, installer output, error texts.
    Escape sequences and control and format characters are removed and line ends
    become line feeds (the extension manager's ``sanitize_cli_text``); line feeds
    and tabs stay, surrounding blanks are stripped, nothing is cut.
    """
    text = "" if value is None else str(value)
    try:
        sanitize = importlib.import_module(WHEELWORK).sanitize_cli_text
    except (ImportError, AttributeError):
        # Without the native module only messages about that are printed: keep
        # their printable characters.
        text = text.replace("\r\n", "\n").replace("\r", "\n")
        return "".join(ch for ch in text if ch.isprintable() or ch in "\n\t").strip()
    return sanitize(text, limit=0)


def inline(value: Any) -> str:
    """:func:`clean` for a place within one line (a name in a sentence, a command
    line): each line break and tab becomes a space."""
    return clean(value).translate(_LINE_BREAKS)


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
        """Write a multi-line text from outside (installer output), cleaned, each line indented."""
        for row in clean(text).splitlines() or [""]:
            self.line((indent + row).rstrip())

    def note(self, text: str) -> None:
        """A remark that is not part of the result (goes to stderr), cleaned: diagnostics
        quote error texts from outside (network errors, HTTP error bodies, exceptions)."""
        self.stderr.write(clean(text) + "\n")
        self.stderr.flush()

    def error(self, text: str) -> None:
        self.note(f"{PROG}: error: {text}")

    def warning(self, text: str) -> None:
        self.note(f"{PROG}: warning: {text}")

    def json(self, value: Any) -> None:
        text = json.dumps(value, indent=2, ensure_ascii=False)
        self.stdout.write(_JSON_CANDIDATE.sub(_escape_unprintable, text) + "\n")
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
    return " ".join(clean(value).split()) or "-"


def _escape_unprintable(match: re.Match) -> str:
    # json.dumps escapes the C0 controls but, with ensure_ascii=False, leaves DEL,
    # the C1 controls (U+009B starts a control sequence on many terminals), format
    # characters such as bidi overrides, separators and lone surrogates as they
    # are.  Inside a JSON string (the only place such characters can be) the
    # \uXXXX form reads back as the same character.
    ch = match.group()
    if ch.isprintable():
        return ch
    code = ord(ch)
    if code > 0xFFFF:
        code -= 0x10000
        return "\\u%04x\\u%04x" % (0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF))
    return "\\u%04x" % code


def count(n: int, word: str) -> str:
    """``1 extension``, ``3 extensions``."""
    return f"{n} {word}" if n == 1 else f"{n} {word}s"
