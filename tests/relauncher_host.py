"""Stand-in for the application's entry point in the restart tests.

Copied as ``talvex/__main__.py`` into a temporary portion of the ``talvex``
namespace package, so ``python -m talvex`` runs it, as the relaunch command does.
The first instance shows a main window and restarts from inside its event loop;
the instance it starts waits for the first one to exit. Each writes a report
into RELAUNCH_TEST_DIR, whole (through a rename) so readers never see half a file.
"""

import json
import logging
import os
import sys
import time
from pathlib import Path

from talvex.utils import relauncher

seen = []
handler = logging.Handler()
handler.emit = lambda record: seen.append([record.levelname, record.getMessage()])
logging.getLogger(relauncher.__name__).addHandler(handler)
logging.getLogger(relauncher.__name__).setLevel(logging.DEBUG)


def write(name, data):
    part = Path(os.environ["RELAUNCH_TEST_DIR"]) / (name + ".part")
    part.write_text(json.dumps(dict(data, pid=os.getpid(), log=seen)), encoding="utf-8")
    part.replace(part.with_suffix(".json"))


def first_instance(veto):
    from PySide6 import QtCore, QtWidgets

    class HostMainWindow(QtWidgets.QMainWindow):
        """Goes to the tray unless told to quit; a tab with unsaved work vetoes."""

        def closeEvent(self, event):
            if not veto and getattr(self, "_force_quit_from_tray", False):
                event.accept()
            else:
                event.ignore()
                if not veto:
                    self.hide()

    app = QtWidgets.QApplication([sys.argv[0]])
    window, report = HostMainWindow(), {}
    window.show()

    def restart():
        report.update(result=relauncher.restart_application(None), visible=window.isVisible())
        if not report["result"]:
            app.exit(0)  # quit() would ask the vetoing window again

    QtCore.QTimer.singleShot(0, restart)
    QtCore.QTimer.singleShot(15000, lambda: app.exit(3))
    report["exec"] = app.exec()
    time.sleep(0.8)  # linger, so the next instance has something to wait for
    write("first", dict(report, exited=time.time()))


if os.environ.get(relauncher.PREVIOUS_PID_ENV, "").strip():
    handed = os.environ.get(relauncher.PREVIOUS_PID_ENV)
    result = relauncher.wait_for_previous_instance(20.0)
    write("next", {"handed": handed, "result": result, "done": time.time(), "argv": sys.argv[1:],
                   "left": os.environ.get(relauncher.PREVIOUS_PID_ENV),
                   "again": relauncher.wait_for_previous_instance(0.0)})
else:
    first_instance("--veto" in sys.argv)
