"""The native fast paths give exactly what the module's documented steps give."""

import re

import pytest
from hypothesis import given, settings, strategies as st

import talvex.core.extensions.wheelwork as wheelwork

ESC, BEL = "\x1b", "\x07"

# Characters that exercise every branch: the three escape forms and their
# terminators, line ends, controls, format characters, whitespace, wide text.
_alphabet = st.sampled_from(
    [ESC, BEL, "[", "]", "\\", "\r", "\n", "\t", " ", "0", ";", "?", "!", "/", "m", "A", "Z",
     "^", "_", "@", "~", "x", "\x00", "\x7f", "\x85", "\x9b", "\xa0", "\u200b", "\ufeff",
     "\u2028", "\u3000", "é", "中", "\U0001f600", "\ud800"]
)
texts = st.lists(_alphabet, max_size=40).map("".join)


class _PatternProxy:
    """Same matches as the module's pattern, but not the pattern object itself."""

    def __init__(self, pattern):
        self._pattern = pattern

    def sub(self, repl, text):
        return self._pattern.sub(repl, text)


def _documented_steps(ww, text, limit=4000):
    s = ww._ANSI_ESCAPE_RE.sub("", str(text or ""))
    s = s.replace("\r\n", "\n").replace("\r", "\n")
    kept = []
    for ch in s:
        code = ord(ch)
        if ch in "\n\t":
            kept.append(ch)
        elif code < 32 or 127 <= code <= 159:
            continue
        elif ch.isprintable() or ch.isspace():
            kept.append(ch)
    s = "".join(kept).strip()
    return s[-limit:] if limit > 0 and len(s) > limit else s


@settings(max_examples=600, deadline=None)
@given(texts, st.integers(min_value=-2, max_value=12))
def test_sanitize_fast_path_matches_the_documented_steps(text, limit):
    ww = wheelwork
    expected = _documented_steps(ww, text, limit)
    assert ww.sanitize_cli_text(text, limit=limit) == expected
    with pytest.MonkeyPatch.context() as m:
        m.setattr(ww, "_ANSI_ESCAPE_RE", _PatternProxy(ww._ANSI_ESCAPE_RE))
        assert ww.sanitize_cli_text(text, limit=limit) == expected


def test_sanitize_honours_a_replaced_pattern(ww, monkeypatch):
    monkeypatch.setattr(ww, "_ANSI_ESCAPE_RE", re.compile("x"))
    assert ww.sanitize_cli_text(f"axb{ESC}[1m") == "ab[1m"


def test_sanitize_stays_linear_on_many_unterminated_commands(ww):
    # Every ESC ] without a terminator falls back to the two-character escape.
    assert ww.sanitize_cli_text(f"{ESC}]x" * 50_000, limit=0) == "x" * 50_000


# --- names ---------------------------------------------------------------------

_name_alphabet = st.sampled_from(
    list("aAzZ09-_. \t[]=<>!~;@/") + ["Talvex", "talvex-ext-", "TALVEX_EXT_", "extension-", "sdk", "é", "İ", "ß", "\x1c"]
)
names = st.lists(_name_alphabet, max_size=12).map("".join)


def _wrapped(fn):
    def wrapper(*args, **kwargs):
        return fn(*args, **kwargs)

    return wrapper


@settings(max_examples=400, deadline=None)
@given(names, names)
def test_name_fast_paths_match_the_general_path(name, prefix):
    ww = wheelwork
    fast = (
        ww.normalize_pypi_name(name),
        ww._package_name_only(name),
        ww.is_user_visible_extension_package(name, prefix=prefix),
        ww.display_name_from_pypi_package(name),
        ww._quote_arg(name),
    )
    with pytest.MonkeyPatch.context() as m:
        # Replaced name functions take the general path everywhere.
        m.setattr(ww, "_normalize_dist_name", _wrapped(ww._normalize_dist_name))
        m.setattr(ww, "normalize_pypi_name", _wrapped(ww.normalize_pypi_name))
        general = (
            ww.normalize_pypi_name(name),
            ww._package_name_only(name),
            ww.is_user_visible_extension_package(name, prefix=prefix),
            ww.display_name_from_pypi_package(name),
            ww._quote_arg(name),
        )
    assert fast == general
    # The documented steps, written out.
    key = re.sub(r"[-_.]+", "-", name.strip().lower().replace(" ", "-")).strip("-")
    assert fast[0] == key
    assert fast[4] == (f'"{name.replace(chr(34), chr(92) + chr(34))}"'
                       if not name or any(c in name for c in ' \t"') else name)


_url_pieces = st.sampled_from(
    ["https://", "http://", "{host}", "{HOST}", "test.", "/project/", "/PROJECT/", "/simple/", "Talvex-Ext-Demo",
     "talvex_ext_demo", "-1.2.0", "-py3-none-any", ".whl", ".tar.gz", ".zip", ".exe", "?x=1", "#sha",
     "/", "\\", "C:", ".", "..", " ", "\t", "é", "0", "a"]
)


@settings(max_examples=500, deadline=None)
@given(st.lists(_url_pieces, max_size=10))
def test_url_fast_path_matches_the_general_path(pieces):
    ww = wheelwork
    host = re.match(r"\(\?:(.*?)\|", ww._PYPI_PROJECT_RE.pattern).group(1).replace("\\.", ".")
    url = "".join(pieces).replace("{host}", host).replace("{HOST}", host.upper())
    fast = ww.parse_pypi_project_from_url(url)
    with pytest.MonkeyPatch.context() as m:
        m.setattr(ww, "_PYPI_PROJECT_RE", re.compile(ww._PYPI_PROJECT_RE.pattern, re.IGNORECASE))
        assert ww.parse_pypi_project_from_url(url) == fast
