"""Console text: cleaning installer output, decoding it, quoting command lines."""

import locale

import pytest

ESC = "\x1b"
BEL = "\x07"
PRINTABLE = "a\tb\u00a0c\u2028d\u2029e \u00e9\u4e2d\U0001f600"  # kept as it is


class Odd:
    def __str__(self):
        return "  odd\x1b[1m!  "


# --- sanitize_cli_text ----------------------------------------------------------


@pytest.mark.parametrize(
    "raw, expected",
    [
        *[(falsy, "") for falsy in (None, "", b"", 0, False, [])],
        (b"ab", "b'ab'"),  # anything else goes through str()
        (12.5, "12.5"),
        (Odd(), "odd!"),
        (f"{ESC}[31mred{ESC}[0m", "red"),
        (f"{ESC}[1;32;40mok{ESC}[K", "ok"),  # parameters and a final letter
        (f"a{ESC}[?25lb{ESC}[?25hc", "abc"),  # private-mode parameters
        (f"a{ESC}[2 qb", "ab"),  # intermediate character before the final one
        (f"{ESC}]0;title{BEL}x", "x"),  # window title ended by BEL
        (f"{ESC}]0;title{ESC}\\x", "x"),  # ... ended by ESC backslash
        (f"a{ESC}]0;never ends", "a0;never ends"),  # unterminated: only ESC ] goes
        (f"a{ESC}Mb{ESC}7c{ESC}_d", "ab7cd"),  # single-character forms; ESC 7 is not one
        (f"a{ESC}", "a"),  # a lone ESC is a control character
        # text between two terminated commands is kept
        (f"{ESC}]8;;http://example.invalid/{ESC}\\docs{ESC}]8;;{ESC}\\ here", "docs here"),
        (f"{ESC}]0;one{ESC}\\kept{ESC}]0;two{ESC}\\", "kept"),
        ("a\r\nb\rc", "a\nb\nc"),
        ("10%\r50%\r100%\r\n", "10%\n50%\n100%"),  # a redrawn progress bar becomes lines
        ("a\x00b\x08c\x7fd\x85e\x9ff\u200bg\ufeffh\ud800i\U000e0001j\U0010ffffk", "abcdefghijk"),
        (PRINTABLE, PRINTABLE),
    ],
)
def test_sanitize(ww, raw, expected):
    assert ww.sanitize_cli_text(raw) == expected


def test_sanitize_escape_pattern_prefers_the_command_form(ww):
    # ESC ] starts an operating-system command when a terminator follows, even
    # though ESC ] alone is also a single-character escape.
    assert ww._ANSI_ESCAPE_RE.match(f"{ESC}]2;t{BEL}").group() == f"{ESC}]2;t{BEL}"
    assert ww._ANSI_ESCAPE_RE.match(f"{ESC}]2;t").group() == f"{ESC}]"


def test_sanitize_strips_then_cuts_the_tail(ww):
    text = "".join(chr(ord("a") + i % 26) for i in range(5000))
    assert ww.sanitize_cli_text(text) == text[-4000:]
    assert ww.sanitize_cli_text(text, limit=0) == ww.sanitize_cli_text(text, limit=-5) == text
    assert ww.sanitize_cli_text("0123456789 abc", limit=10) == "456789 abc"
    assert ww.sanitize_cli_text("\n\n  0123 abc  \n", limit=4) == " abc"  # tail not stripped again
    assert ww.sanitize_cli_text("short", limit=5) == "short"
    assert ww.sanitize_cli_text(f"{ESC}[31m" * 100 + "x" * 10, limit=10) == "x" * 10


# --- _decode_cli_bytes -----------------------------------------------------------


class Preferred(list):
    """Stands in for the locale's preferred encoding: answers a value or raises; records calls."""

    answer = "cp1252"

    def __call__(self, do_setlocale=True):
        self.append(do_setlocale)
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer


@pytest.fixture
def preferred(monkeypatch):
    fake = Preferred()
    monkeypatch.setattr(locale, "getpreferredencoding", fake)
    return fake


def test_decode_trivial_values(ww):
    assert ww._decode_cli_bytes(None) == ww._decode_cli_bytes(b"") == ""
    assert ww._decode_cli_bytes(bytearray()) == ""
    text = "already text \x1b"
    assert ww._decode_cli_bytes(text) is text
    sub = type("Sub", (str,), {})("x")
    assert ww._decode_cli_bytes(sub) is sub


def test_decode_utf8_first_and_bom_kept(ww, preferred):
    assert ww._decode_cli_bytes("héllo 中".encode()) == "héllo 中"
    assert ww._decode_cli_bytes(b"\xef\xbb\xbfhi") == "\ufeffhi"
    assert ww.sanitize_cli_text(ww._decode_cli_bytes(b"\xef\xbb\xbfhi")) == "hi"


def test_decode_prefers_the_console_code_page(ww, preferred):
    preferred.answer = "cp1251"
    assert ww._decode_cli_bytes(b"\x93hi\x94") == "\u201chi\u201d"
    assert ww._decode_cli_bytes(b"\xcf\xf0\xe8") == "При"
    assert preferred == [False, False]


@pytest.mark.parametrize("answer", [None, "", "no-such-codec-xyz", "ascii"])
def test_decode_falls_back_to_windows_1252(ww, preferred, answer):
    preferred.answer = answer
    assert ww._decode_cli_bytes(b"\x93hi\x94") == "\u201chi\u201d"
    # 0x81 is undefined in Windows-1252; GBK reads this pair as one character
    assert ww._decode_cli_bytes("中".encode("gbk") + b"\x81\x40") == "中" + b"\x81\x40".decode("gbk")
    # 0x81 followed by a byte GBK rejects: Latin-1 takes anything
    assert ww._decode_cli_bytes(b"a\x81\x7f") == "a\x81\x7f"


def test_decode_errors_outside_the_chain_propagate(ww, preferred):
    with pytest.raises(AttributeError):
        ww._decode_cli_bytes(12)
    preferred.answer = RuntimeError("locale is broken")
    with pytest.raises(RuntimeError, match="locale is broken"):
        ww._decode_cli_bytes(b"x")


# --- _quote_arg / _display_command -------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        ("", '""'),
        ("a b", '"a b"'),
        ("a\tb", '"a\tb"'),
        ('say "hi"', '"say \\"hi\\""'),
        ('"', '"\\""'),
        ("C:\\Tools", "C:\\Tools"),
        ("C:\\Program Files\\", '"C:\\Program Files\\"'),  # trailing backslash not doubled
        ("it's;|&$x\n", "it's;|&$x\n"),
        ("talvex-ext-demo>=1.0", "talvex-ext-demo>=1.0"),
        (None, "None"),
        (5, "5"),
    ],
)
def test_quote_arg(ww, value, expected):
    assert ww._quote_arg(value) == expected


def test_display_command(ww, tmp_path):
    spaced = tmp_path / "with space"
    assert ww._quote_arg(spaced) == f'"{spaced}"'
    assert ww._display_command(["uv", "pip", "install", "talvex-ext-demo"]) == (
        "uv pip install talvex-ext-demo"
    )
    assert ww._display_command(("C:\\Program Files\\Py\\python.exe", "-m", "pip")) == (
        '"C:\\Program Files\\Py\\python.exe" -m pip'
    )
    assert ww._display_command(iter(["a", "", "b"])) == 'a "" b'
    assert ww._display_command([]) == ""
