"""Installer runs that relay their output line by line and can be cancelled: real
children (installer stand-ins) and the process trees they start."""

import logging
import os
import sys
import threading
import time

import pytest

PY = sys.executable


def stand_in(code):
    return [PY, "-c", "import os, sys, time\n" + code]


def relayed(ww, code, **kwargs):
    lines = []
    result = ww._run(stand_in(code), on_output=lines.append, **kwargs)
    return result, lines


def alive(pid):
    if os.name == "nt":
        from talvex.utils import relauncher

        return relauncher._pid_alive(pid)
    try:  # a zombie nobody reaped (a container without an init) does not count
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


OUT, ERR = "sys.stdout.write", "sys.stderr.write"


@pytest.mark.parametrize("code, expected", [
    # both pipes, in the order the lines were written
    (f"{OUT}('one\\n'); time.sleep(.2); {ERR}('two\\n'); time.sleep(.2); {OUT}('three')", ["one", "two", "three"]),
    # a rewritten line arrives as its latest state; escapes and control characters go
    (f"{OUT}('\\x1b[1mget 10%\\rget 50%\\rget 100%\\r\\n'); {OUT}('\\x07done\\r\\n')", ["get 100%", "done"]),
    # pip's progress for programs, as a person reads it
    (f"{OUT}('  Downloading http://127.0.0.1/f/big-2.0-py3-none-any.whl (2.4 GB)\\n'"
     "'Progress 0 of 2400000000\\nProgress 984000000 of 2400000000\\n'"
     "'Progress 2400000000 of 2400000000\\nInstalling collected packages: big\\n')",
     ["Downloading http://127.0.0.1/f/big-2.0-py3-none-any.whl (2.4 GB)",
      "Downloading big-2.0-py3-none-any.whl: 100% of 2.4 GB", "Installing collected packages: big"]),
])
def test_lines_are_relayed_cleaned_in_arrival_order(ww, code, expected):
    result, lines = relayed(ww, code)
    assert lines == expected
    assert result.ok and result.returncode == 0 and result.deferred is False


def test_progress_is_relayed_while_the_run_goes_on_at_most_ten_times_a_second(ww):
    code = f"for i in range(150):\n    {OUT}(f'Progress {{i}} of 149\\n'); time.sleep(.01)\n{OUT}('end\\n')"
    stamps = []
    started = time.monotonic()
    result = ww._run(stand_in(code), on_output=lambda line: stamps.append((time.monotonic() - started, line)))
    total = time.monotonic() - started
    progress = [t for t, line in stamps if line.startswith("Downloading")]
    assert stamps[-2][1] == "Downloading download: 100% of 149 bytes" and stamps[-1][1] == "end"
    assert progress[0] < total - 0.5  # lines arrive during the run, not at its end
    assert 5 <= len(progress) <= 2 + total * 10
    assert result.stdout.count("Progress") == 150  # the result keeps the whole output


class Unreadable:
    def is_set(self):
        raise RuntimeError("no state")


def test_a_failing_callback_and_a_cancel_that_cannot_tell_are_logged_and_ignored(ww, caplog):
    def broken(line):
        raise ValueError("callback broke")

    with caplog.at_level(logging.DEBUG, logger=ww.__name__):
        result = ww._run(stand_in(f"{OUT}('a\\nb\\n'); time.sleep(.3); {ERR}('c\\n')"), on_output=broken,
                         cancel=Unreadable())
    assert (result.ok, result.stdout, result.stderr) == (True, "a\nb", "c")
    failures = [str(r.exc_info[1]) for r in caplog.records if r.exc_info and r.levelno == logging.DEBUG]
    assert failures.count("callback broke") == 3 and "no state" in failures


# The stand-in starts a grandchild, tells both pids and its temporary directory, then
# downloads (or, past the marker, installs) for a while.
TREE = """
import subprocess
kid = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
print("pids", os.getpid(), kid.pid, os.environ.get("TMPDIR") or os.environ["TEMP"], flush=True)
open(os.path.join(os.environ.get("TMPDIR") or os.environ["TEMP"], "part.whl"), "w").close()
print(%r, flush=True)
time.sleep(%s)
print("Successfully installed", flush=True)
kid.kill()
"""


def cancel_when(ww, first_line, sleep, cancel_on):
    cancel, lines, seen = threading.Event(), [], {}

    def on_output(line):
        lines.append(line)
        if line.startswith("pids"):
            _, me, kid, tmp = line.split(" ", 3)
            seen.update(pids=(int(me), int(kid)), tmp=tmp)
        if line.startswith(cancel_on) and not cancel.is_set():
            seen["at"] = time.monotonic()
            cancel.set()

    result = ww._run(stand_in(TREE % (first_line, sleep)), on_output=on_output, cancel=cancel)
    return result, lines, seen, time.monotonic() - seen["at"]


def test_cancel_before_the_change_ends_the_whole_tree(ww):
    result, lines, seen, took = cancel_when(ww, "Collecting big", 30, "Collecting")
    assert took < 2
    assert (result.ok, result.returncode, result.deferred) == (False, 130, False)
    assert "nothing was changed" in result.stderr and "Collecting big" in result.stdout
    deadline = time.monotonic() + 5
    while any(map(alive, seen["pids"])) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(map(alive, seen["pids"]))
    assert not os.path.exists(seen["tmp"])


def test_cancel_after_the_change_began_lets_the_run_finish(ww, caplog):
    with caplog.at_level(logging.INFO, logger=ww.__name__):
        result, lines, seen, _ = cancel_when(ww, "Installing collected packages: big", 1, "Installing")
    assert (result.ok, result.returncode) == (True, 0) and lines[-1] == "Successfully installed"
    assert any("too late" in r.getMessage() for r in caplog.records if r.levelno == logging.INFO)
    assert not os.path.exists(seen["tmp"])


def test_a_cancel_set_beforehand_starts_nothing_and_queues_nothing(ww, pending_file):
    cancel = threading.Event()
    cancel.set()
    for call in (ww.run_install, ww.run_upgrade, ww.run_uninstall):
        result = call("talvex-ext-demo", cancel=cancel)
        assert (result.ok, result.returncode, result.deferred) == (False, 130, False)
    assert ww.pending_operations() == []
    # a cancelled start-up replay leaves the queue and its counts as they were
    ww.queue_pending_op("install", "talvex-ext-demo")
    assert ww.process_pending_operations(cancel=cancel) == []
    assert ww.pending_operations() == [("install", "talvex-ext-demo")] and not ww._failed_starts().get("install")


def test_the_waiting_thread_lets_others_run(ww):
    gaps, stop = [], threading.Event()

    def tick():
        last = time.monotonic()
        while not stop.is_set():
            time.sleep(0.002)
            now = time.monotonic()
            gaps.append(now - last)
            last = now

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        code = f"for i in range(300):\n    {OUT}(f'Progress {{i}} of 299\\r'); {ERR}('x' * 5000 + '\\n'); time.sleep(.005)"
        worker = threading.Thread(target=ww._run, args=(stand_in(code),),
                                  kwargs={"on_output": lambda line: None, "cancel": threading.Event()})
        worker.start()
        worker.join()
    finally:
        stop.set()
        ticker.join()
    assert len(gaps) > 100 and max(gaps) < 0.05
