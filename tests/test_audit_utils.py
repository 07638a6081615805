"""relauncher's run-time Qt imports behave like ``from PySide6 import X`` statements."""

import builtins
import sys
import types

import pytest


@pytest.fixture
def rl():
    import talvex.utils.relauncher as module

    return module


def test_qt_submodule_found_in_sys_modules_only(rl, monkeypatch):
    # A package that does not (yet) carry the submodule as an attribute: the
    # statement falls back to sys.modules["PySide6.QtWidgets"].
    quits = []
    app = types.SimpleNamespace(quit=lambda: quits.append(1), topLevelWidgets=lambda: [win])
    win = type("TalvexMainWindow", (), {"isWindow": lambda self: True})()
    widgets = types.ModuleType("PySide6.QtWidgets")
    widgets.QApplication = types.SimpleNamespace(instance=lambda: app)
    monkeypatch.setitem(sys.modules, "PySide6", types.ModuleType("PySide6"))
    monkeypatch.setitem(sys.modules, "PySide6.QtWidgets", widgets)
    assert rl._main_window() is win
    rl._quit_qt_application()
    assert quits == [1]

    monkeypatch.delitem(sys.modules, "PySide6.QtWidgets")
    monkeypatch.delitem(sys.modules, "PySide6.QtCore", raising=False)
    assert rl._main_window() is None  # ImportError counts as "no Qt"
    with pytest.raises(ImportError, match=r"cannot import name 'QtCore' from 'PySide6' \(unknown location\)") as err:
        rl._qt_start_detached("p", [], None)
    assert (err.value.name, err.value.name_from) == ("PySide6", "QtCore")


def test_qt_import_goes_through_builtins_import(rl, monkeypatch):
    seen = []
    real = builtins.__import__

    def blocking(name, globals=None, locals=None, fromlist=(), level=0):
        if name.split(".")[0] == "PySide6":
            seen.append((name, tuple(fromlist or ()), level))
            raise ImportError("blocked")
        return real(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", blocking)
    assert rl._main_window() is None and rl._quit_qt_application() is None
    with pytest.raises(ImportError, match="blocked"):
        rl._qt_start_detached("p", [], None)
    assert seen == [("PySide6", ("QtWidgets",), 0)] * 2 + [("PySide6", ("QtCore",), 0)]


def test_cli_verbosity_adds_up_on_both_sides_of_the_command(monkeypatch, capsys):
    import logging

    from talvex_ext_cli import cli

    talvex = logging.getLogger("talvex")
    monkeypatch.setattr(talvex, "handlers", [])
    monkeypatch.setattr(talvex, "level", talvex.level)
    monkeypatch.setattr(talvex, "propagate", talvex.propagate)
    for argv, level in ((["-v", "about", "-v"], logging.DEBUG), (["about", "-v"], logging.INFO)):
        assert cli.main(argv) == 0
        assert talvex.level == level
    capsys.readouterr()
