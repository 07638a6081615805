"""Console text: cleaning installer output, decoding it, quoting command lines."""

import pytest

ESC = "\x1b"
BEL = "\x07"


# --- sanitize_cli_text ----------------------------------------------------------


@pytest.mark.parametrize("value", [None, "", b"", 0, False, []])
def test_sanitize_falsy_values_give_empty_text(ww, value):
    assert ww.sanitize_cli_text(value) == ""


def test_sanitize_converts_non_text_with_str(ww):
    assert ww.sanitize_cli_text(b"ab") == "b'ab'"
    assert ww.sanitize_cli_text(12.5) == "12.5"

    class Odd:
        def __str__(self):
            return "  odd\x1b[1m!  "

    assert ww.sanitize_cli_text(Odd()) == "odd!"


@pytest.mark.parametrize(
    "raw, expected",
    [
        (f"{ESC}[31mred{ESC}[0m", "red"),
        (f"{ESC}[1;32;40mok{ESC}[K", "ok"),  # parameters and a final letter
        (f"a{ESC}[?25lb{ESC}[?25hc", "abc"),  # private-mode parameters
        (f"a{ESC}[2 qb", "ab"),  # intermediate character before the final one
        (f"{ESC}]0;title{BEL}x", "x"),  # window title ended by BEL
        (f"{ESC}]0;title{ESC}\\x", "x"),  # ... ended by ESC backslash
        (f"a{ESC}]0;never ends", "a0;never ends"),  # unterminated: only ESC ] goes
        (f"a{ESC}Mb{ESC}7c{ESC}_d", "ab7cd"),  # single-character forms; ESC 7 is not one
        (f"a{ESC}", "a"),  # a lone ESC is a control character
    ],
)
def test_sanitize_removes_escape_sequences(ww, raw, expected):
    assert ww.sanitize_cli_text(raw) == expected


def test_sanitize_keeps_text_between_two_terminated_commands(ww):
    link = f"{ESC}]8;;http://example.invalid/{ESC}\\docs{ESC}]8;;{ESC}\\ here"
    assert ww.sanitize_cli_text(link) == "docs here"
    titles = f"{ESC}]0;one{ESC}\\kept{ESC}]0;two{ESC}\\"
    assert ww.sanitize_cli_text(titles) == "kept"


def test_sanitize_escape_pattern_prefers_the_command_form(ww):
    # ESC ] starts an operating-system command when a terminator follows, even
    # though ESC ] alone is also a single-character escape.
    assert ww._ANSI_ESCAPE_RE.match(f"{ESC}]2;t{BEL}").group() == f"{ESC}]2;t{BEL}"
    assert ww._ANSI_ESCAPE_RE.match(f"{ESC}]2;t").group() == f"{ESC}]"


def test_sanitize_normalises_line_ends(ww):
    assert ww.sanitize_cli_text("a\r\nb\rc") == "a\nb\nc"
    # a progress bar redrawn with CR becomes separate lines
    assert ww.sanitize_cli_text("10%\r50%\r100%\r\n") == "10%\n50%\n100%"


def test_sanitize_drops_control_and_format_characters(ww):
    raw = "a\x00b\x08c\x7fd\x85e\x9ff\u200bg\ufeffh\ud800i\U000e0001j\U0010ffffk"
    assert ww.sanitize_cli_text(raw) == "abcdefghijk"


def test_sanitize_keeps_tabs_spaces_and_printable_text(ww):
    raw = "a\tb\u00a0c\u2028d\u2029e \u00e9\u4e2d\U0001f600"
    assert ww.sanitize_cli_text(raw) == raw


def test_sanitize_strips_then_cuts_the_tail(ww):
    text = "".join(chr(ord("a") + i % 26) for i in range(5000))
    assert ww.sanitize_cli_text(text) == text[-4000:]
    assert ww.sanitize_cli_text(text, limit=0) == text
    assert ww.sanitize_cli_text(text, limit=-5) == text
    assert ww.sanitize_cli_text("0123456789 abc", limit=10) == "456789 abc"
    # the tail is not stripped again
    assert ww.sanitize_cli_text("\n\n  0123 abc  \n", limit=4) == " abc"
    assert ww.sanitize_cli_text("short", limit=5) == "short"


def test_sanitize_counts_the_limit_after_cleaning(ww):
    raw = f"{ESC}[31m" * 100 + "x" * 10
    assert ww.sanitize_cli_text(raw, limit=10) == "x" * 10


def test_sanitize_limit_is_keyword_only(ww):
    with pytest.raises(TypeError):
        ww.sanitize_cli_text("abc", 2)


# --- _decode_cli_bytes -----------------------------------------------------------


def test_decode_trivial_values(ww):
    assert ww._decode_cli_bytes(None) == ""
    assert ww._decode_cli_bytes(b"") == ""
    assert ww._decode_cli_bytes(bytearray()) == ""
    text = "already text \x1b"
    assert ww._decode_cli_bytes(text) is text

    class Sub(str):
        pass

    sub = Sub("x")
    assert ww._decode_cli_bytes(sub) is sub


def test_decode_utf8_first_and_bom_kept(ww, monkeypatch):
    import locale

    monkeypatch.setattr(locale, "getpreferredencoding", lambda do_setlocale=True: "cp1252")
    assert ww._decode_cli_bytes("héllo 中".encode()) == "héllo 中"
    assert ww._decode_cli_bytes(b"\xef\xbb\xbfhi") == "\ufeffhi"
    assert ww.sanitize_cli_text(ww._decode_cli_bytes(b"\xef\xbb\xbfhi")) == "hi"


def test_decode_prefers_the_console_code_page(ww, monkeypatch):
    import locale

    calls = []

    def preferred(do_setlocale=True):
        calls.append(do_setlocale)
        return "cp1251"

    monkeypatch.setattr(locale, "getpreferredencoding", preferred)
    assert ww._decode_cli_bytes(b"\x93hi\x94") == "\u201chi\u201d"
    assert ww._decode_cli_bytes(b"\xcf\xf0\xe8") == "При"
    assert calls == [False, False]


@pytest.mark.parametrize("preferred", [None, "", "no-such-codec-xyz", "ascii"])
def test_decode_falls_back_to_windows_1252(ww, monkeypatch, preferred):
    import locale

    monkeypatch.setattr(locale, "getpreferredencoding", lambda do_setlocale=True: preferred)
    assert ww._decode_cli_bytes(b"\x93hi\x94") == "\u201chi\u201d"


def test_decode_later_fallbacks(ww, monkeypatch):
    import locale

    monkeypatch.setattr(locale, "getpreferredencoding", lambda do_setlocale=True: "ascii")
    # 0x81 is undefined in Windows-1252; GBK reads this pair as one character
    assert ww._decode_cli_bytes("中".encode("gbk") + b"\x81\x40") == "中" + b"\x81\x40".decode("gbk")
    # 0x81 followed by a byte GBK rejects: Latin-1 takes anything
    assert ww._decode_cli_bytes(b"a\x81\x7f") == "a\x81\x7f"


def test_decode_errors_outside_the_chain_propagate(ww, monkeypatch):
    import locale

    with pytest.raises(AttributeError):
        ww._decode_cli_bytes(12)

    def broken(do_setlocale=True):
        raise RuntimeError("locale is broken")

    monkeypatch.setattr(locale, "getpreferredencoding", broken)
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
    ],
)
def test_quote_arg(ww, value, expected):
    assert ww._quote_arg(value) == expected


def test_quote_arg_converts_with_str(ww, tmp_path):
    assert ww._quote_arg(None) == "None"
    assert ww._quote_arg(5) == "5"
    spaced = tmp_path / "with space"
    assert ww._quote_arg(spaced) == f'"{spaced}"'


def test_display_command(ww):
    assert ww._display_command(["uv", "pip", "install", "talvex-ext-demo"]) == (
        "uv pip install talvex-ext-demo"
    )
    assert ww._display_command(("C:\\Program Files\\Py\\python.exe", "-m", "pip")) == (
        '"C:\\Program Files\\Py\\python.exe" -m pip'
    )
    assert ww._display_command(iter(["a", "", "b"])) == 'a "" b'
    assert ww._display_command([]) == ""
