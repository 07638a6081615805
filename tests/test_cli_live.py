"""The command on a terminal (a pseudo-terminal): the live line with the installer's
latest line, and Ctrl-C before and after the installer began to change anything."""

import os
import re
import sys
import time

import pytest

import cli_support as cs

pytestmark = pytest.mark.skipif(not hasattr(os, "fork") or sys.platform == "darwin", reason="POSIX terminals")

COLUMNS = 80  # the download's live line is longer: it is cut
# The installer stands in: a download with pip's progress for programs, then (after
# the marker) an install that takes a while.
PRELUDE = """
import sys
import talvex.core.extensions.wheelwork as _ww
_ww._install_argv = lambda pkg, **kw: [sys.executable, "-c", %r]
_ww._missing_third_party_deps = lambda pkg: []
"""
DOWNLOAD = """
import time
print("Collecting talvex-ext-demo", flush=True)
print("  Downloading talvex_ext_demo-2.0-py3-none-any.whl (2.4 GB)", flush=True)
for i in range(600):
    print(f"Progress {i * 4000000} of 2400000000", flush=True)
    time.sleep(0.05)
"""
INSTALL = """
import time
print("Installing collected packages: talvex-ext-demo", flush=True)
time.sleep(2)
print("Successfully installed talvex-ext-demo-2.0", flush=True)
"""


def run_on_terminal(tmp_path, installer, interrupt_after):
    """Runs ``talvex-ext install`` on a pseudo-terminal, types Ctrl-C once the screen
    shows *interrupt_after*; returns (status, screen text, seconds from Ctrl-C to exit)."""
    import fcntl
    import pty
    import struct
    import termios

    env = cs.cli_environ(tmp_path)
    argv = [sys.executable, "-c", PRELUDE % installer + "\nimport runpy, sys\nsys.argv[0] = 'talvex-ext'\n"
            "runpy.run_module('talvex_ext_cli', run_name='__main__', alter_sys=True)\n", "install", "talvex-ext-demo"]
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(argv[0], argv, env)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, COLUMNS, 0, 0))
    screen, typed, deadline = b"", None, time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the command ended
            break
        if not chunk:
            break
        screen += chunk
        if typed is None and interrupt_after.encode() in screen:
            os.write(fd, b"\x03")
            typed = time.monotonic()
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    assert typed is not None, screen.decode("utf-8", "replace")
    return os.waitstatus_to_exitcode(status), screen.decode("utf-8", "replace"), time.monotonic() - typed


def test_ctrl_c_during_the_download_cancels_and_exits_130(tmp_path):
    status, screen, took = run_on_terminal(tmp_path, DOWNLOAD, "installing ... 2s  Downloading")
    assert status == 130 and took < 3
    assert "Cancelled: " in screen and "nothing was changed" in screen
    drawn = [part for part in re.split(r"[\r\n]", screen.replace("^C", "")) if "installing ..." in part or "cancelling ..." in part]
    assert any(re.match(r"  installing \.\.\. \ds  Downloading talvex_ext_demo-2\.0-py3-none-any\.whl: \d", d)
               for d in drawn)
    assert all(len(d.rstrip()) < COLUMNS for d in drawn), [d for d in drawn if len(d.rstrip()) >= COLUMNS]


def test_ctrl_c_after_the_change_began_finishes_it(tmp_path):
    status, screen, took = run_on_terminal(tmp_path, INSTALL, "s  Installing collected")
    assert status == 0 and took > 1, screen
    assert "finishing (already changing the environment" in screen
    assert "Installed talvex-ext-demo" in screen and "Cancelled" not in screen
