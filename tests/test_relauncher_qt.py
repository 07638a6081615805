"""relauncher against real Qt (offscreen): windows, detached children, a whole restart."""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

QtWidgets = pytest.importorskip("PySide6.QtWidgets")
from PySide6 import QtCore  # noqa: E402

pytestmark = pytest.mark.qt
ENV = "TALVEX_WAIT_FOR_PID"
HERE = Path(__file__).resolve().parent


@pytest.fixture(scope="module")
def app():
    return QtWidgets.QApplication.instance() or QtWidgets.QApplication([])


@pytest.fixture
def rl(app):
    import talvex.utils.relauncher as module

    return module


class TalvexMainWindow(QtWidgets.QMainWindow):
    """Goes to the tray on close, as the host's window does, unless told to quit;
    unsaved work vetoes."""

    unsaved, to_tray = False, True

    def closeEvent(self, event):
        if self.unsaved:
            event.ignore()
        elif self.to_tray and not getattr(self, "_force_quit_from_tray", False):
            self.hide()
            event.ignore()
        else:
            event.accept()


@pytest.fixture
def windows(app):
    import shiboken6

    made = []

    def make(cls=TalvexMainWindow, **attrs):
        made.append(cls())
        made[-1].__dict__.update(attrs)
        return made[-1]

    yield make
    for w in made:  # gone at once, so later lookups cannot find them
        if shiboken6.isValid(w):
            shiboken6.delete(w)
    assert not QtWidgets.QApplication.topLevelWidgets()


def test_fallback_finds_the_main_window(rl, windows):
    other = windows(QtWidgets.QWidget)
    other.show()
    assert rl._main_window(None) is None
    main = windows()  # never shown: only isWindow() counts
    assert rl.main_window(None) is main


def test_close_bypasses_tray_preference_and_quits_the_loop(rl, app, windows):
    main = windows()
    main.show()
    main.close()  # without the flag the window only goes to the tray
    assert main.isHidden() and not getattr(main, "_force_quit_from_tray", False)
    main.show()
    QtCore.QTimer.singleShot(0, rl.quit_application)
    QtCore.QTimer.singleShot(5000, lambda: app.exit(7))
    assert app.exec() == 0
    assert main._force_quit_from_tray is True and not main.isVisible()


def test_veto_keeps_window_and_loop(rl, app, windows, caplog):
    main = windows(unsaved=True)
    main.show()
    assert rl._close_main_window() is False and main.isVisible()
    QtCore.QTimer.singleShot(0, rl.quit_application)
    QtCore.QTimer.singleShot(300, lambda: app.exit(7))
    assert app.exec() == 7  # quit_application did not stop the loop
    assert "The main window refused to close; not quitting" in caplog.messages


def test_window_deleted_by_its_close_counts_as_closed(rl, windows):
    import shiboken6

    class DisposableMainWindow(TalvexMainWindow):
        def close(self):
            super().close()
            shiboken6.delete(self)

    main = windows(DisposableMainWindow, to_tray=False)
    main.show()
    assert rl._close_main_window() is True


def _read_when_written(path, seconds=15.0):
    deadline = time.monotonic() + seconds
    while not path.exists():
        assert time.monotonic() < deadline, f"{path.name} never appeared"
        time.sleep(0.05)
    return json.loads(path.read_text(encoding="utf-8"))


CHILD = (
    "import json, os, sys; from pathlib import Path\n"
    "keys = ['TALVEX_WAIT_FOR_PID', 'RELAUNCH_EXTRA', 'RELAUNCH_INHERITED']\n"
    "data = {'argv': sys.argv[1:], 'env': {k: os.environ.get(k) for k in keys}}\n"
    "out = Path(sys.argv[1]); out.with_suffix('.part').write_text(json.dumps(data))\n"
    "out.with_suffix('.part').replace(out)\n"
)


@pytest.mark.parametrize("env, expected", [
    ({ENV: "4242", "RELAUNCH_EXTRA": "x y", "RELAUNCH_INHERITED": "over"},
     {ENV: "4242", "RELAUNCH_EXTRA": "x y", "RELAUNCH_INHERITED": "over"}),
    ({}, {ENV: None, "RELAUNCH_EXTRA": None, "RELAUNCH_INHERITED": "from parent"}),
], ids=["extra", "empty"])
def test_qt_start_detached_starts_a_real_child(rl, monkeypatch, tmp_path, env, expected):
    monkeypatch.delenv(ENV, raising=False)
    monkeypatch.setenv("RELAUNCH_INHERITED", "from parent")
    out = tmp_path / "child.json"
    assert rl._qt_start_detached(sys.executable, ["-c", CHILD, str(out), "two words"], env) is True
    assert _read_when_written(out) == {"argv": [str(out), "two words"], "env": expected}
    assert rl._qt_start_detached(str(tmp_path / "no-such-program"), [], env) is False


@pytest.mark.parametrize("veto", [False, True], ids=["restart", "vetoed"])
def test_restart_end_to_end(tmp_path, veto):
    """The host runs as `python -m talvex ...` until the first instance exits."""
    host, out = tmp_path / "host", tmp_path / "out"
    (host / "talvex").mkdir(parents=True)
    out.mkdir()
    shutil.copy(HERE / "relauncher_host.py", host / "talvex" / "__main__.py")
    import talvex.utils.relauncher as module

    env = {k: v for k, v in os.environ.items() if k != ENV}
    env.update(PYTHONPATH=os.pathsep.join([str(host), str(Path(module.__file__).resolve().parents[2])]),
               RELAUNCH_TEST_DIR=str(out), QT_QPA_PLATFORM="offscreen")
    args = ["scene.tvx", "two words"] + ["--veto"] * veto
    with open(tmp_path / "host.log", "wb") as log:  # not a pipe: the next instance inherits it
        first = subprocess.Popen([sys.executable, "-m", "talvex", *args], cwd=tmp_path, env=env,
                                 stdout=log, stderr=subprocess.STDOUT)
        assert first.wait(timeout=40) == 0, (tmp_path / "host.log").read_text()
    report = json.loads((out / "first.json").read_text())
    assert (report["pid"], report["exec"], report["result"], report["visible"]) == (first.pid, 0, not veto, veto)
    if veto:
        assert report["log"] == [["WARNING", "Restart cancelled: the main window refused to close"]]
        time.sleep(1.0)  # a started instance would have written by now
        assert not (out / "next.json").exists()
        return
    assert report["log"] == [["INFO", "Started a new Talvex instance; quitting this one"]]
    nxt = _read_when_written(out / "next.json", 30.0)
    assert nxt["pid"] != first.pid and nxt["handed"] == str(first.pid)
    assert nxt["result"] is True and nxt["done"] >= report["exited"]
    assert nxt["left"] is None and nxt["again"] is True and nxt["argv"] == args
    assert nxt["log"] == [["INFO", f"Previous Talvex instance (pid {first.pid}) has exited"]]
