"""relauncher without a display: every branch, with the module's collaborators replaced."""

import builtins
import inspect
import logging
import os
import pathlib
import subprocess
import sys
import types
import typing

import pytest

ENV = "TALVEX_WAIT_FOR_PID"
LOGGER = "talvex.utils.relauncher"


@pytest.fixture
def rl():
    import talvex.utils.relauncher as module

    return module


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == LOGGER]


def test_module_surface(rl):
    assert rl.__doc__.startswith("Restart the Talvex application: start a fresh instance, then quit this one.\n\n")
    assert (rl.logging, rl.os, rl.sys, rl.time) == (logging, os, sys, __import__("time"))
    assert (rl.Path, rl.Any, rl.Optional) == (pathlib.Path, typing.Any, typing.Optional)
    assert rl.logger is logging.getLogger(LOGGER) and rl.PREVIOUS_PID_ENV == ENV
    assert rl.__all__ == ["PREVIOUS_PID_ENV", "main_window", "relaunch_command",
                          "restart_application", "quit_application", "wait_for_previous_instance"]
    ctx, opt = "(app_context: 'Any' = None)", "'Optional[Any]'"
    for name, text in {
        "_gui_executable": "(executable: 'str') -> 'str'",
        "relaunch_command": "() -> 'tuple[str, list[str]]'",
        "_qt_start_detached": "(program: 'str', arguments: 'list[str]', env: 'dict[str, str] | None') -> 'bool'",
        "_start_detached":
            "(program: 'str', arguments: 'list[str]', *, wait_for_pid: 'Optional[int]' = None) -> 'bool'",
        "_pid_alive": "(pid: 'int') -> 'bool'",
        "wait_for_previous_instance": "(timeout: 'float' = 30.0) -> 'bool'",
        "_main_window": f"{ctx} -> {opt}", "main_window": f"{ctx} -> {opt}",
        "_quit_qt_application": "() -> 'None'", "_close_main_window": f"{ctx} -> 'bool'",
        "quit_application": f"{ctx} -> 'None'", "restart_application": f"{ctx} -> 'bool'",
    }.items():
        fn = getattr(rl, name)
        assert str(inspect.signature(fn)) == text, name
        assert fn.__module__ == LOGGER and fn.__doc__.strip()
    with pytest.raises(TypeError):
        rl._start_detached("p", [], 5)


def test_pyside6_is_not_imported_at_load():
    probe = "import sys, talvex.utils.relauncher; print('PySide6' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.stdout.strip() == "False", out.stderr


# ------------------------------------------------------------------ relaunch command


@pytest.fixture
def windows(rl, monkeypatch):
    """Pretend to be Windows; pathlib cannot make Windows paths elsewhere, so POSIX ones stand in."""
    if os.name != "nt":
        monkeypatch.setattr(rl.os, "name", "nt")
        monkeypatch.setattr(rl, "Path", pathlib.PosixPath)


@pytest.mark.parametrize("executable, expected",
                         [(None, "python"), ("  \t", "python"), ("  /opt/py/bin/python3 \n", "/opt/py/bin/python3")])
def test_relaunch_command_executable(rl, monkeypatch, executable, expected):
    monkeypatch.setattr(rl.sys, "executable", executable)
    monkeypatch.setattr(rl.sys, "argv", ["talvex", "scene.tvx", 7])
    assert rl.relaunch_command() == (expected, ["-m", "talvex", "scene.tvx", "7"])
    monkeypatch.setattr(rl.sys, "argv", ["talvex"])
    assert rl.relaunch_command() == (expected, ["-m", "talvex"])


def test_windows_relaunch_prefers_pythonw_unless_frozen(rl, monkeypatch, tmp_path, windows):
    exe, pythonw = str(tmp_path / "python.exe"), tmp_path / "pythonw.exe"
    assert rl._gui_executable(exe) == exe
    pythonw.write_bytes(b"")
    assert rl._gui_executable(exe) == str(pythonw)
    frozen = str(tmp_path / "Talvex.exe")
    monkeypatch.setattr(rl.sys, "executable", frozen)
    monkeypatch.setattr(rl.sys, "argv", [frozen, "a b"])
    monkeypatch.setattr(rl.sys, "frozen", True, raising=False)
    assert rl.relaunch_command() == (frozen, ["a b"])
    monkeypatch.setattr(rl.sys, "frozen", 0)
    assert rl.relaunch_command() == (str(pythonw), ["-m", "talvex", "a b"])
    # A blank interpreter path becomes "python"; a pythonw.exe in the current directory wins.
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(rl.sys, "executable", "")
    monkeypatch.setattr(rl.sys, "argv", ["x"])
    assert rl.relaunch_command() == ("pythonw.exe", ["-m", "talvex"])
    pythonw.unlink()
    assert rl.relaunch_command() == ("python", ["-m", "talvex"])


def test_gui_executable_elsewhere_and_errors(rl, monkeypatch, tmp_path):
    (tmp_path / "pythonw.exe").write_bytes(b"")
    exe = str(tmp_path / "python")
    monkeypatch.setattr(rl.os, "name", "posix")
    assert rl._gui_executable(exe) is exe
    monkeypatch.setattr(rl.os, "name", "nt")

    class Broken(type(tmp_path)):
        def is_file(self):
            raise PermissionError("no look")

    monkeypatch.setattr(rl, "Path", Broken)
    with pytest.raises(PermissionError):
        rl._gui_executable(exe)


def test_start_detached_hands_over_pid(rl, monkeypatch):
    calls, args = [], ["-m", "talvex"]
    monkeypatch.setattr(rl, "_qt_start_detached", lambda *a: calls.append(a) or "started")
    assert rl._start_detached("py", args) == rl._start_detached("py", args, wait_for_pid=0) == "started"
    monkeypatch.setattr(rl, "PREVIOUS_PID_ENV", "OTHER_NAME")
    rl._start_detached("py", args, wait_for_pid=4321)
    assert calls == [("py", args, None), ("py", args, {ENV: "0"}), ("py", args, {"OTHER_NAME": "4321"})]


# ------------------------------------------------------------------ liveness probe and waiting


@pytest.mark.skipif(os.name == "nt", reason="the probe is native on Windows")
@pytest.mark.parametrize("raised, alive", [(None, True), (ProcessLookupError, False), (PermissionError, True),
                                           (OSError, False), (FileNotFoundError, False), (ValueError, ValueError)])
def test_pid_alive_maps_probe_outcomes(rl, monkeypatch, raised, alive):
    calls = []

    def kill(pid, sig):
        calls.append((pid, sig))
        if raised:
            raise raised("probe")

    monkeypatch.setattr(rl.os, "kill", kill)
    if alive is ValueError:
        with pytest.raises(ValueError):
            rl._pid_alive(1234)
    else:
        assert rl._pid_alive(1234) is alive
    assert rl._pid_alive(0) is False and rl._pid_alive(-3) is False  # never probed
    assert calls == [(1234, 0)]


def exited_child_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def test_pid_alive_and_wait_with_real_processes(rl, monkeypatch, records):
    assert rl._pid_alive(os.getpid()) is True
    dead = exited_child_pid()
    assert rl._pid_alive(dead) is False
    for pid in (dead, -5):
        monkeypatch.setenv(ENV, str(pid))
        assert rl.wait_for_previous_instance(5) is True
    assert [m for _, m in records()] == [f"Previous Talvex instance (pid {p}) has exited" for p in (dead, -5)]


@pytest.mark.skipif(os.name == "nt", reason="the POSIX probe is os.kill")
def test_wait_with_the_real_probe_never_raises_for_a_huge_pid(rl, monkeypatch, records):
    with pytest.raises(OverflowError):  # what the probe meets for such a number
        rl.os.kill(2147483648, 0)
    for value in ("2147483648", "4294967296", "99999999999999999999"):
        monkeypatch.setenv(ENV, value)
        assert rl.wait_for_previous_instance(5) is True and ENV not in os.environ
    monkeypatch.setenv(ENV, "2147483647")  # the largest process id, and no process has it
    assert rl.wait_for_previous_instance(5) is True
    assert [m for _, m in records()][-1] == "Previous Talvex instance (pid 2147483647) has exited"


@pytest.fixture
def clock(rl, monkeypatch):
    """Stands in for the time module: sleeping advances the monotonic clock."""
    c = types.SimpleNamespace(now=100.0, sleeps=[])
    c.monotonic = lambda: c.now
    c.sleep = lambda s: (c.sleeps.append(s), setattr(c, "now", c.now + s))
    monkeypatch.setattr(rl, "time", c)
    return c


@pytest.fixture
def probe(rl, monkeypatch):
    """_pid_alive replaced: answers from `answers` in turn (the last one repeats)."""
    state = types.SimpleNamespace(answers=[True], calls=[])

    def alive(pid):
        state.calls.append(pid)
        return state.answers.pop(0) if len(state.answers) > 1 else state.answers[0]

    monkeypatch.setattr(rl, "_pid_alive", alive)
    return state


@pytest.mark.parametrize("value, consumed, logged", [
    (None, False, []), ("", False, []), ("   \t ", False, []), ("own", True, []),
    *[(f" {v} ", True, [("DEBUG", f"Ignoring unparsable {ENV}={v!r}")]) for v in ("abc", "12.5", "0x1f")],
    # Numbers no process id can be: the probe would raise OverflowError.
    *[(v, True, [("DEBUG", f"Ignoring unparsable {ENV}={v!r}")])
      for v in ("4294967296", "2147483648", "99999999999999999999")],
])
def test_wait_nothing_to_wait_for(rl, monkeypatch, probe, records, value, consumed, logged):
    if value is None:
        monkeypatch.delenv(ENV, raising=False)
    else:
        monkeypatch.setenv(ENV, str(os.getpid()) if value == "own" else value)
    assert rl.wait_for_previous_instance() is True
    assert os.environ.get(ENV) == (None if consumed else value)
    assert probe.calls == [] and records() == logged


@pytest.mark.parametrize("value, pid", [(" 4242 ", 4242), ("-7", -7), ("0", 0)])
def test_wait_until_exit(rl, monkeypatch, clock, probe, records, value, pid):
    monkeypatch.setenv(ENV, value)
    probe.answers = [True, True, False]
    assert rl.wait_for_previous_instance() is True
    assert probe.calls == [pid] * 3 and clock.sleeps == [0.2, 0.2]
    assert records() == [("INFO", f"Previous Talvex instance (pid {pid}) has exited")]
    assert rl.wait_for_previous_instance() is True and probe.calls == [pid] * 3  # one shot


@pytest.mark.parametrize("timeout, shown, polls", [(30.0, "30s", 150), (0, "0s", 0), (-4.0, "-4s", 0), (0.5, "0s", 3)])
def test_wait_times_out(rl, monkeypatch, clock, probe, records, timeout, shown, polls):
    monkeypatch.setenv(ENV, "4242")
    assert rl.wait_for_previous_instance(timeout) is False
    assert len(probe.calls) == polls and len(clock.sleeps) == polls and ENV not in os.environ
    assert records() == [("WARNING", f"Previous Talvex instance (pid 4242) is still running after {shown}; "
                                     "deferred extension changes may fail and stay queued")]


# ------------------------------------------------------------------ main window, quit and restart


class Window:
    def __init__(self, *, vetoes=False, close_error=None, visible_error=None):
        self.vetoes, self.close_error, self.visible_error = vetoes, close_error, visible_error
        self.visible, self.closed = True, 0

    def close(self):
        self.closed += 1
        if self.close_error:
            raise self.close_error
        self.visible = self.vetoes

    def isVisible(self):
        if self.visible_error:
            raise self.visible_error
        return self.visible


def context(window):
    ui = types.SimpleNamespace(main_window_ui=types.SimpleNamespace(main_window=window))
    return types.SimpleNamespace(get_component={"ui_manager": ui}.__getitem__)


@pytest.fixture
def fake_qt(monkeypatch):
    """A stand-in PySide6 whose QApplication holds the given top-level widgets."""
    app = types.SimpleNamespace(widgets=[], quits=0)
    app.topLevelWidgets = lambda: list(app.widgets)
    app.quit = lambda: setattr(app, "quits", app.quits + 1)
    state = types.SimpleNamespace(app=app)
    widgets = types.ModuleType("PySide6.QtWidgets")
    widgets.QApplication = types.SimpleNamespace(instance=lambda: state.app)
    package = types.ModuleType("PySide6")
    package.QtWidgets = widgets
    monkeypatch.setitem(sys.modules, "PySide6", package)
    monkeypatch.setitem(sys.modules, "PySide6.QtWidgets", widgets)
    return state


def widget(class_name, is_window=True):
    return type(class_name, (), {"isWindow": lambda self: is_window})()


def test_main_window_through_context(rl, fake_qt):
    win = Window()
    assert rl._main_window(context(win)) is win and rl.main_window(app_context=context(win)) is win


def _lookup_fails(name):
    raise LookupError(name)


@pytest.mark.parametrize("ctx", [
    types.SimpleNamespace(get_component=_lookup_fails),
    types.SimpleNamespace(get_component=lambda name: object()),
    types.SimpleNamespace(get_component=lambda name: types.SimpleNamespace(main_window_ui=object())),
    context(None),
], ids=["raises", "no ui attr", "no window attr", "window None"])
def test_main_window_falls_back_to_qt(rl, fake_qt, ctx):
    others = [widget("SettingsDialog"), widget("MainWindowPart", is_window=False)]
    first = widget("talvexMAINwindowX")
    fake_qt.app.widgets = others + [first, widget("MainWindow")]
    assert rl._main_window(ctx) is first
    fake_qt.app.widgets = others
    assert rl._main_window(ctx) is None
    fake_qt.app = None
    assert rl._main_window(ctx) is None


def test_main_window_only_missing_attributes_fall_back(rl, fake_qt):
    class Holder:
        @property
        def main_window(self):
            raise RuntimeError("holder broken")

    ui = types.SimpleNamespace(main_window_ui=Holder())
    with pytest.raises(RuntimeError, match="holder broken"):
        rl._main_window(types.SimpleNamespace(get_component=lambda name: ui))


def test_without_pyside6(rl, monkeypatch, records):
    monkeypatch.setitem(sys.modules, "PySide6", None)
    assert rl._main_window(None) is None and rl._close_main_window() is True
    assert rl._quit_qt_application() is None
    with pytest.raises(ImportError):
        rl._qt_start_detached("p", [], {"A": "1"})
    assert rl.restart_application() is False
    assert records() == [("ERROR", "Could not start a new Talvex instance")]


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


def test_quit(rl, fake_qt, records):
    assert rl._quit_qt_application() is None and fake_qt.app.quits == 1
    assert rl.quit_application(context(Window(vetoes=True))) is None and fake_qt.app.quits == 1
    assert records() == [("WARNING", "The main window refused to close; not quitting")]
    assert rl.quit_application(context(Window())) is None and fake_qt.app.quits == 2
    fake_qt.app = None
    assert rl._quit_qt_application() is None


@pytest.mark.parametrize("window, closed, logged", [
    (None, True, []),
    (Window(), True, []),
    (Window(vetoes=True), False, []),
    (Window(close_error=ValueError("boom")), False, [("DEBUG", "Could not close the main window")]),
    (Window(visible_error=RuntimeError("C++ object deleted")), True, []),
], ids=["no window", "closes", "vetoes", "close raises", "deleted"])
def test_close_main_window(rl, fake_qt, caplog, records, window, closed, logged):
    assert rl._close_main_window(context(window)) is closed
    assert getattr(window, "_force_quit_from_tray", False) is (window is not None)
    assert records() == logged
    if logged:
        assert caplog.records[-1].exc_info[0] is ValueError
    with pytest.raises(TypeError):  # other visibility errors propagate
        rl._close_main_window(context(Window(visible_error=TypeError("odd"))))


@pytest.fixture
def restart(rl, monkeypatch, fake_qt):
    """restart_application with a recorded start; `start` decides its outcome."""
    state = types.SimpleNamespace(events=[], start=lambda: True, app=fake_qt.app)
    monkeypatch.setattr(rl, "relaunch_command", lambda: ("py", ["-m", "talvex", "f.tvx"]))

    def start_detached(program, arguments, *, wait_for_pid=None):
        state.events.append(("start", program, arguments, wait_for_pid))
        return state.start()

    monkeypatch.setattr(rl, "_start_detached", start_detached)
    return state


def test_restart_success_closes_then_starts_then_quits(rl, restart, fake_qt, records):
    win = Window()
    win.close = lambda: restart.events.append(("close", win._force_quit_from_tray)) or setattr(win, "visible", False)
    assert rl.restart_application(context(win)) is True
    assert restart.events == [("close", True), ("start", "py", ["-m", "talvex", "f.tvx"], os.getpid())]
    assert restart.app.quits == 1
    assert records() == [("INFO", "Started a new Talvex instance; quitting this one")]
    fake_qt.app = None  # neither a window nor a Qt application
    assert rl.restart_application() is True and len(restart.events) == 3


def _raise_import():
    raise ImportError("No module named 'PySide6'")


def _interrupt():
    raise KeyboardInterrupt


@pytest.mark.parametrize("window, start, logged", [
    (Window(vetoes=True), None, [("WARNING", "Restart cancelled: the main window refused to close")]),
    (Window(close_error=OSError("x")), None, [("DEBUG", "Could not close the main window"),
                                             ("WARNING", "Restart cancelled: the main window refused to close")]),
    (Window(), _raise_import, [("ERROR", "Could not start a new Talvex instance")]),
    (Window(), lambda: 0, [("ERROR", "Could not start a new Talvex instance: ['-m', 'talvex', 'f.tvx']")]),
    (Window(), _interrupt, KeyboardInterrupt),
], ids=["veto", "close raises", "start raises", "start refused", "interrupted"])
def test_restart_failures(rl, restart, caplog, records, window, start, logged):
    restart.start = start or restart.start
    if logged is KeyboardInterrupt:
        with pytest.raises(KeyboardInterrupt):
            rl.restart_application(context(window))
        return
    assert rl.restart_application(context(window)) is False
    assert records() == logged and restart.app.quits == 0
    assert len(restart.events) == (1 if start else 0)  # a refused close starts nothing
    if start is _raise_import:
        assert caplog.records[-1].exc_info[0] is ImportError


def test_restart_command_errors_come_before_the_close(rl, monkeypatch, restart):
    win = Window()
    for bad, error in [(("py", [], "x"), ValueError), (("py",), ValueError), (5, TypeError)]:
        monkeypatch.setattr(rl, "relaunch_command", lambda bad=bad: bad)
        with pytest.raises(error):
            rl.restart_application(context(win))
    assert win.closed == 0 and restart.events == []
