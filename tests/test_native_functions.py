"""The module's functions behave like functions written in Python: argument errors,
mutable defaults, pickling, exceptions, call-time name lookup and reference counts."""

import builtins
import copy
import gc
import inspect
import pickle
import pydoc
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


def twin(fn):
    """A pure-Python function with the same name and signature as `fn`."""
    ns = {}
    exec(f"def {fn.__name__}{inspect.signature(fn)}:\n    pass\n", ns)
    return ns[fn.__name__]


def error_of(fn, args, kwargs):
    with pytest.raises(TypeError) as caught:
        fn(*args, **kwargs)
    return caught.value


# Calls that fail while binding their arguments, so the body never runs.
BAD_CALLS = [
    ("sanitize_cli_text", (), {}), ("sanitize_cli_text", ("a", 1), {}),
    ("sanitize_cli_text", ("a", 1), {"limit": 3}), ("sanitize_cli_text", ("a",), {"limt": 3}),
    ("sanitize_cli_text", ("a",), {"text": "b"}), ("sanitize_cli_text", (), {"limit": 3}),
    ("_quote_arg", (1, 2, 3), {}), ("_quote_arg", (1,), {"value": 2}), ("_quote_arg", (), {}),
    ("_run", (), {"timeout": 1}), ("_run", (["x"],), {"timeot": 1}),
    ("purge_imported_package_modules", (), {"names": "x"}),
    ("run_install", ("p", True), {"upgrade": True, "defer_on_lock": False}),
    ("queue_pending_op", ("install",), {}), ("_deferred_result", (), {}),
    ("_deferred_result", (), {"pkg": "p"}), ("_http_json", ("u",), {}),
    ("_http_json", ("u", 1), {"timeout": 1}), ("list_pypi_talvex_extensions", (1,), {}),
    ("process_pending_operations", (1, 2, 3), {}),
]


@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS)
def test_argument_errors_match_the_interpreter(ww, name, args, kwargs):
    fn = getattr(ww, name)
    assert str(error_of(fn, args, kwargs)) == str(error_of(twin(fn), args, kwargs))


# Misspelt keywords: the "Did you mean" is the interpreter's own, on every platform (the
# python.org Windows build has no _suggestions module). Case flips, swaps, long and
# non-ASCII names, and names too far from every parameter.
MISSPELT = ["upgrde", "UPGRADE", "Upgrade", "updrage", "defer_on_lok", "defer-on-lock", "deferonlock",
            "names", "pakage", "PACKAGE", "pkg", "p", "x" * 41, "defer_on_lock_" + "x" * 40,
            "upgräde", "défer_on_lock", "pack\u00e4ge", "u", "timeuot", "upgrade_", "_upgrade"]


@pytest.mark.parametrize("keyword", MISSPELT)
@pytest.mark.parametrize("name", ["run_install", "sanitize_cli_text", "_run"])
def test_misspelt_keyword_suggestion_matches_the_interpreter(ww, name, keyword):
    fn = getattr(ww, name)
    args = ("a",) if name != "_run" else (["a"],)
    assert keyword not in inspect.signature(fn).parameters
    assert str(error_of(fn, args, {keyword: 1})) == str(error_of(twin(fn), args, {keyword: 1}))


@st.composite
def near_misses(draw):
    """A parameter name of run_install with a few letters changed, dropped, added or case-flipped."""
    name = list(draw(st.sampled_from(["package", "upgrade", "defer_on_lock"])))
    for at, put in draw(st.lists(st.tuples(st.integers(0, 14), st.sampled_from(["", "x", "_", "E", "\u00e9", "+"])),
                                 max_size=4)):
        at = min(at, len(name))
        name[at:at + 1] = [put] if draw(st.booleans()) else [put] + name[at:at + 1]
    text = "".join(name)
    return text.swapcase() if draw(st.booleans()) else text


@given(st.one_of(near_misses(), st.text(st.characters(codec="utf-8", categories=["L", "N", "Pc"]),
                                        min_size=1, max_size=45)))
@settings(max_examples=400, deadline=None)
def test_any_misspelt_keyword_gets_the_interpreters_message(keyword):
    import talvex.core.extensions.wheelwork as ww

    fn = ww.run_install
    if not keyword or keyword in inspect.signature(fn).parameters:
        return
    assert str(error_of(fn, ("a",), {keyword: 1})) == str(error_of(twin(fn), ("a",), {keyword: 1}))


def test_suggestion_needs_no_import(ww, monkeypatch):
    imported = []
    real_import = builtins.__import__
    monkeypatch.setattr(builtins, "__import__", lambda name, *a, **k: imported.append(name) or real_import(name, *a, **k))
    monkeypatch.setitem(sys.modules, "_suggestions", None)  # as in a build without it
    message = str(error_of(ww.run_install, ("a",), {"upgrad": True}))
    assert message == "run_install() got an unexpected keyword argument 'upgrad'. Did you mean 'upgrade'?"
    assert imported == []


def test_keyword_names_that_are_equal_but_not_identical(ww):
    assert ww._quote_arg(**{"".join(["va", "lue"]): "a b"}) == '"a b"'


class Unequal(str):  # a str subclass that equals nothing
    __eq__ = lambda self, other: False  # noqa: E731
    __hash__ = str.__hash__


class Equal(str):  # one whose == is str's
    pass


@pytest.mark.parametrize("keyword", [Unequal("timeout"), Unequal("timeot"), Equal("timeot"), Unequal("argv")])
def test_keyword_as_a_str_subclass_binds_like_the_interpreter(ww, keyword):
    args = () if keyword == "argv" else (["x"],)
    assert str(error_of(ww._run, args, {keyword: 1})) == str(error_of(twin(ww._run), args, {keyword: 1}))


# --- function attributes ----------------------------------------------------------------


def test_defaults_can_be_replaced(ww, monkeypatch):
    monkeypatch.setattr(ww._quote_arg, "__defaults__", ("a b",))
    assert ww._quote_arg() == '"a b"'
    assert str(inspect.signature(ww._quote_arg)) == "(value: 'str' = 'a b') -> 'str'"

    monkeypatch.setattr(ww.sanitize_cli_text, "__kwdefaults__", {"limit": 3})
    assert ww.sanitize_cli_text("abcdef") == "def"
    monkeypatch.setattr(ww.sanitize_cli_text, "__kwdefaults__", None)
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'limit'"):
        ww.sanitize_cli_text("abc")
    with pytest.raises(TypeError):
        ww._quote_arg.__defaults__ = ["not", "a", "tuple"]


def test_defaults_replaced_during_a_call_stay_valid(ww, monkeypatch):
    # A call keeps using the defaults it started with even when the function's
    # defaults are replaced (and the old ones freed) while it runs.
    class Pattern:
        def sub(self, repl, text):
            ww.sanitize_cli_text.__kwdefaults__ = {"limit": 2}
            gc.collect()
            return text

    monkeypatch.setattr(ww.sanitize_cli_text, "__kwdefaults__", {"limit": int("9" * 40)})
    monkeypatch.setattr(ww, "_ANSI_ESCAPE_RE", Pattern())
    assert ww.sanitize_cli_text("abcdef") == "abcdef"
    assert ww.sanitize_cli_text("abcdef") == "ef"

    class Value:
        def __str__(self):
            ww._quote_arg.__defaults__ = ("x",)
            gc.collect()
            return "a b"

    monkeypatch.setattr(ww._quote_arg, "__defaults__", (Value(),))
    assert ww._quote_arg() == '"a b"'
    assert ww._quote_arg() == "x"


def test_attributes_like_a_python_function(ww):
    fn = ww._display_command
    assert fn.__globals__ is vars(ww)
    assert repr(fn).startswith("<function _display_command at 0x")
    assert inspect.isroutine(fn) and fn.__code__.co_varnames[:1] == ("argv",)
    fn.custom = 1
    try:
        assert fn.__dict__["custom"] == 1
    finally:
        del fn.custom


def test_function_used_as_a_method_binds_self(ww):
    class Holder:
        quote = ww._quote_arg

        def __str__(self):
            return "the holder"

    assert Holder().quote() == '"the holder"'
    assert Holder.quote("x") == "x"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickled_and_copied_by_reference(ww, protocol):
    for fn in (ww._run, ww.sanitize_cli_text):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    assert copy.copy(ww._run) is copy.deepcopy(ww._run) is ww._run


def test_help_shows_signature_and_docstring(ww):
    sig = "sanitize_cli_text(text: 'str', *, limit: 'int' = 4000) -> 'str'"
    text = pydoc.render_doc(ww.sanitize_cli_text, renderer=pydoc.plaintext)
    assert sig in text and "Make pip/uv console output safe for Qt dialogs" in text
    assert sig in pydoc.render_doc(ww, renderer=pydoc.plaintext)


# --- exceptions and call-time lookup ---------------------------------------------------


def test_python_exceptions_propagate_unchanged(ww, monkeypatch):
    raised = ValueError("outer")
    raised.__cause__ = cause = KeyError("inner")

    def quote(value):
        raise raised

    monkeypatch.setattr(ww, "_quote_arg", quote)
    with pytest.raises(ValueError) as caught:
        ww._display_command(["a"])
    assert caught.value is raised and caught.value.__cause__ is cause
    assert any(entry.name == "quote" for entry in caught.traceback)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_base_exceptions_are_not_swallowed(ww, exc):
    class Data:
        def __bool__(self):
            return True

        def decode(self, encoding):
            raise exc()

    with pytest.raises(exc):
        ww._decode_cli_bytes(Data())


def test_decode_catches_only_its_two_errors(ww):
    class Data:
        tried = []

        def decode(self, encoding, errors="strict"):
            self.tried.append(encoding)
            if encoding == "utf-8" and errors == "strict":
                raise UnicodeDecodeError("utf-8", b"\x93", 0, 1, "bad")
            if encoding == "utf-8-sig":
                raise LookupError(encoding)
            raise ValueError("not a decode error")

    with pytest.raises(ValueError, match="not a decode error"):
        ww._decode_cli_bytes(Data())
    assert Data.tried[:2] == ["utf-8", "utf-8-sig"]


class Builtins:
    """A mapping that is not a dict, as __builtins__ may be."""

    def __init__(self, **names):
        self.names = names

    def __getitem__(self, key):
        return self.names[key]


def test_module_names_are_looked_up_at_call_time(ww, monkeypatch):
    monkeypatch.setattr(ww, "_quote_arg", lambda value: f"<{value}>")
    assert ww._display_command(["a", "b"]) == "<a> <b>"
    monkeypatch.undo()
    namespace, saved = vars(ww), dict(vars(ww))
    del namespace["_quote_arg"]
    try:
        with pytest.raises(NameError, match="name '_quote_arg' is not defined") as caught:
            ww._display_command(["a"])
        assert caught.value.name == "_quote_arg"
        # A name missing from the module is then looked up in its builtins, as a
        # Python module's globals are: a module, a dict or any mapping.
        import builtins

        for holder in (builtins, {"_quote_arg": repr}, Builtins(_quote_arg=repr)):
            namespace["__builtins__"] = holder
            if holder is builtins:
                monkeypatch.setattr(builtins, "_quote_arg", repr, raising=False)
            assert ww._display_command(["a"]) == "'a'"
        namespace["__builtins__"] = Builtins()
        with pytest.raises(NameError) as caught:
            ww._display_command(["a"])
        assert caught.value.name == "_quote_arg"
    finally:
        # put the name back at its place in the namespace's order
        namespace.clear()
        namespace.update(saved)


def test_deep_recursion_raises_recursion_error(ww, monkeypatch):
    def quote(value):
        return ww._display_command([value])

    monkeypatch.setattr(ww, "_quote_arg", quote)
    with pytest.raises(RecursionError):
        ww._display_command(["a"])


# --- no leaks ---------------------------------------------------------------------------


def _growth(action, rounds=20000):
    for _ in range(500):
        action()
    gc.collect()
    tracemalloc.start()
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            action()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    return after - before


def _swallow(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except (TypeError, NameError, ValueError):
        pass


@pytest.fixture
def fake_children(ww, monkeypatch):
    def run(cmd, **kwargs):
        if cmd[0] == "missing":
            raise FileNotFoundError(2, "No such file or directory", cmd[0])
        if cmd[0] == "slow":
            raise subprocess.TimeoutExpired(cmd, kwargs["timeout"], output=b"partial \x93")
        return subprocess.CompletedProcess(cmd, 1, b"\x1b[1mout\r\n", b"err \x93")

    monkeypatch.setattr(ww.subprocess, "run", run)
    # The site's settings are read from files by configparser, whose own caches grow a constant
    # amount per measurement; their functions are checked for leaks in test_network_settings.py.
    monkeypatch.setattr(ww, "_installer_environment", lambda env: env)


def test_repeated_calls_do_not_leak(ww, fake_children):
    text = "\x1b[31mred\x1b[0m\r\nline \u200b two " * 20
    data = ("caf\u00e9 " * 50).encode("cp1252")
    argv = ["uv", "pip", "install", "a b", 'q"t']
    result = ww.PipResult(False, ("x",), 1, "o", "e \x1b[1m")
    watched = [text, data, argv, result]
    counts = [sys.getrefcount(obj) for obj in watched]

    def action():
        ww.sanitize_cli_text(text)
        ww.sanitize_cli_text(text, limit=7)
        ww._decode_cli_bytes(data)
        ww._quote_arg(argv[3])
        ww._display_command(argv)
        ww._looks_like_file_lock_error(text)
        ww._subprocess_kwargs()
        ww._run(argv)
        ww._run(["missing"])
        ww._run(["slow"], timeout=1)
        result.output

    assert _growth(action, rounds=5000) < 64 * 1024
    assert [sys.getrefcount(obj) for obj in watched] == counts


def test_failed_calls_do_not_leak(ww, monkeypatch):
    text = "some text"
    counts = sys.getrefcount(text)

    def action():
        _swallow(ww.sanitize_cli_text, text, text)
        _swallow(ww.sanitize_cli_text, text, limt=text)
        _swallow(ww.sanitize_cli_text, text, text=text)
        _swallow(ww.sanitize_cli_text, limit=text)
        _swallow(ww._run, text, timeout=text, zz=1)
        _swallow(ww._quote_arg)
        _swallow(ww.sanitize_cli_text, text, limit=text)  # fails inside the body

    assert _growth(action) < 64 * 1024
    assert sys.getrefcount(text) == counts
