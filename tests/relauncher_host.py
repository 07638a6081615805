"""Stand-in for the application's entry point in the restart tests.

The tests copy this file as ``talvex/__main__.py`` into a temporary portion of
the ``talvex`` namespace package, so ``python -m talvex`` runs it, as the
relaunch command does.  The first instance shows a main window and restarts
from inside its event loop; the instance it starts waits for the first one to
exit and records what it saw.  Reports go to the directory named by
RELAUNCH_TEST_DIR, written whole (through a rename) so that readers never see
half a file.
"""

import json
import logging
import os
import sys
import time
from pathlib import Path

from talvex.utils import relauncher

OUT = Path(os.environ["RELAUNCH_TEST_DIR"])


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.seen = []

    def emit(self, record):
        self.seen.append([record.levelname, record.getMessage()])


records = Records()
logging.getLogger(relauncher.__name__).addHandler(records)
logging.getLogger(relauncher.__name__).setLevel(logging.DEBUG)


def write(name, data):
    part = OUT / (name + ".part")
    part.write_text(json.dumps(data), encoding="utf-8")
    part.replace(OUT / name)


def next_instance():
    handed = os.environ.get(relauncher.PREVIOUS_PID_ENV)
    result = relauncher.wait_for_previous_instance(20.0)
    done = time.time()
    write("next.json", {
        "pid": os.getpid(),
        "handed": handed,
        "result": result,
        "done": done,
        "left": os.environ.get(relauncher.PREVIOUS_PID_ENV),
        "again": relauncher.wait_for_previous_instance(0.0),
        "argv": sys.argv[1:],
        "log": records.seen,
    })


def first_instance(veto):
    from PySide6 import QtCore, QtWidgets

    class HostMainWindow(QtWidgets.QMainWindow):
        """Closes for real only when told to quit; a tab with unsaved work vetoes."""

        on_close = "tray"

        def closeEvent(self, event):
            if veto:
                event.ignore()
            elif self.on_close == "tray" and not getattr(self, "_force_quit_from_tray", False):
                self.hide()
                event.ignore()
            else:
                event.accept()

    app = QtWidgets.QApplication([sys.argv[0]])
    window = HostMainWindow()
    window.show()
    report = {"pid": os.getpid()}

    def restart():
        report["result"] = relauncher.restart_application(None)
        report["visible"] = window.isVisible()
        if not report["result"]:
            app.exit(0)  # quit() would ask the vetoing window again

    QtCore.QTimer.singleShot(0, restart)
    QtCore.QTimer.singleShot(15000, lambda: app.exit(3))
    report["exec"] = app.exec()
    # Linger a little, so the next instance has something to wait for.
    time.sleep(0.8)
    report["log"] = records.seen
    report["exited"] = time.time()
    write("first.json", report)


if __name__ == "__main__":
    if os.environ.get(relauncher.PREVIOUS_PID_ENV, "").strip():
        next_instance()
    else:
        first_instance("--veto" in sys.argv)
