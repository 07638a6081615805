"""The runtime's Python idioms, driven from C++ by the developer build's probe
module: they must behave as the statements they stand for."""

import builtins
import logging
import sys
import types

import pytest

probe = pytest.importorskip("_runtime_probe", reason="the probe module is built by scripts/devbuild only")


class Manager:
    def __init__(self, suppress=False, fail_exit=False):
        self.suppress, self.fail_exit, self.exits = suppress, fail_exit, []

    def __enter__(self):
        return "entered"

    def __exit__(self, *info):
        self.exits.append(info)
        if self.fail_exit:
            raise KeyError("from __exit__")
        return self.suppress


@pytest.mark.parametrize("how, error, message", [
    ("python", ValueError, "raised in the body"),
    ("bad_alloc", MemoryError, ""),
    ("logic", SystemError, "unexpected C++ exception: a C++ error in the body"),
])
def test_with_calls_exit_with_the_exception_the_body_raised(how, error, message):
    manager, seen = Manager(), []
    with pytest.raises(error) as caught:
        probe.with_body(manager, how, seen)
    assert seen == ["entered"]
    assert str(caught.value) == message
    [(kind, value, tb)] = manager.exits
    assert kind is error and value is caught.value and (tb is None or isinstance(tb, types.TracebackType))


@pytest.mark.parametrize("how", ["python", "bad_alloc", "logic"])
def test_with_exit_may_suppress_or_replace(how):
    suppressing = Manager(suppress=True)
    assert probe.with_body(suppressing, how, []) is False
    assert len(suppressing.exits) == 1
    with pytest.raises(KeyError) as caught:
        probe.with_body(Manager(fail_exit=True), how, [])
    assert caught.value.__context__ is not None  # raised while the body's error was handled


def test_with_on_success_and_bad_managers():
    manager = Manager(suppress=True)
    assert probe.with_body(manager, "ok", []) is True
    assert manager.exits == [(None, None, None)]

    class NoExit:
        def __enter__(self):
            raise AssertionError("entered")

    class Instance:  # special methods come from the type, as for the statement
        pass

    odd = Instance()
    odd.__enter__ = odd.__exit__ = lambda *a: None
    for bad, tail in ((NoExit(), " (missed __exit__ method)"), (odd, ""), (3, "")):
        with pytest.raises(TypeError) as caught:
            probe.with_body(bad, "ok", [])
        name = type(bad).__name__
        assert str(caught.value) == f"'{name}' object does not support the context manager protocol{tail}"


def test_optional_attribute_only_absorbs_attribute_error():
    class Odd:
        present = 1

        @property
        def broken(self):
            raise ValueError("not an AttributeError")

        @property
        def missing(self):
            raise AttributeError("missing")

    assert probe.optional(Odd(), "present") == (True, 1)
    assert probe.optional(Odd(), "absent") == (False, None)
    assert probe.optional(Odd(), "missing") == (False, None)
    with pytest.raises(ValueError, match="not an AttributeError"):
        probe.optional(Odd(), "broken")


def interpreter_error(value):
    try:
        a, b, c = value
    except Exception as e:  # noqa: BLE001
        return type(e), str(e)
    return None


def broken_iter():
    yield 1
    raise RuntimeError("from the iterator")


@pytest.mark.parametrize("value", [(1, 2), [1, 2, 3, 4], 5, None, "ab", iter(()), {"a": 1}])
def test_unpack_errors_equal_the_interpreters(value):
    with pytest.raises(Exception) as caught:
        probe.unpack_three(value)
    assert (type(caught.value), str(caught.value)) == interpreter_error(value)


def test_unpack_takes_any_iterable_and_propagates_its_errors():
    assert probe.unpack_three(iter("xyz")) == ("x", "y", "z")
    with pytest.raises(RuntimeError, match="from the iterator"):
        probe.unpack_three(broken_iter())


def test_from_import_goes_through_builtins_import(monkeypatch):
    assert probe.from_import("os", "path") is sys.modules["os"].path
    calls = []
    real = builtins.__import__

    def spy(name, globals=None, locals=None, fromlist=(), level=0):
        calls.append((name, tuple(fromlist or ()), level, globals is vars(probe)))
        return real(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", spy)
    with pytest.raises(ImportError) as caught:
        probe.from_import("os", "no_such_name")
    assert calls == [("os", ("no_such_name",), 0, True)]
    assert str(caught.value) == f"cannot import name 'no_such_name' from 'os' ({sys.modules['os'].__file__})"
    assert (caught.value.name, caught.value.name_from) == ("os", "no_such_name")


def test_except_exception_logs_and_lets_base_exceptions_through(caplog):
    def fails():
        raise OSError("disk")

    with caplog.at_level(logging.DEBUG, logger="_runtime_probe"):
        assert probe.guarded(fails) == "handled"
        assert probe.guarded(lambda: 7) == 7
    [record] = caplog.records
    assert (record.levelname, record.msg, record.exc_info[1].args) == ("DEBUG", "fn failed", ("disk",))
    for base in (KeyboardInterrupt, SystemExit):
        with pytest.raises(base):
            probe.guarded(lambda: (_ for _ in ()).throw(base()))


def test_still_own_follows_the_module_name(monkeypatch):
    assert probe.marker_is_own() is True
    monkeypatch.setattr(probe, "marker", {})  # an equal but other object
    assert probe.marker_is_own() is False
    monkeypatch.delattr(probe, "marker")
    assert probe.marker_is_own() is False


def test_typed_body_gets_varargs_in_place_and_the_arity_is_checked():
    assert probe.spread(1, 2, 3, last=4) == (1, (2, 3), 4)
    assert probe.spread(1, last=4) == (1, (), 4)
    with pytest.raises(SystemError, match=r"mismatched: the body takes 2 named parameters .* declaration has 3"):
        probe.define_mismatched()
