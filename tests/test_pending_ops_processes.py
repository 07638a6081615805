"""The pending-operations queue changed by real processes: killed mid-change, and two
writers with a reader at once."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

import pending_ops_worker as worker

WORKER = str(Path(worker.__file__).resolve())
EMPTY = {"uninstall": [], "install": []}

# Forks and SIGKILL; on Windows, moreover, a reader holding the file open makes a
# replace wait, which this test's timing does not allow for.
pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="POSIX processes and file sharing")


def child_env(pending_file):
    return {**os.environ, "TALVEX_PENDING_OPS_FILE": str(pending_file)}


def run_worker(pending_file, *args, **kw):
    return subprocess.Popen([sys.executable, WORKER, *map(str, args)], env=child_env(pending_file),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def finish(proc, timeout=120):
    out, err = proc.communicate(timeout=timeout)
    assert proc.returncode == 0, err
    return out


def test_killed_writer_loses_no_acknowledged_change(pending_file):
    rounds = [json.loads(line) for line in finish(run_worker(pending_file, "kill", 300, 11)).splitlines()]
    assert len(rounds) == 300 and "error" not in rounds[-1]

    states = [EMPTY]  # states[n]: the queue after the first n steps

    def state(n):
        while len(states) <= n:
            op, pkg, add = worker.step(len(states) - 1)
            nxt = {kind: list(keys) for kind, keys in states[-1].items()}
            if add and pkg not in nxt[op]:
                nxt[op].append(pkg)
            elif not add and pkg in nxt[op]:
                nxt[op].remove(pkg)
            states.append(nxt)
        return states[n]

    for r in rounds:
        found = EMPTY if r["text"] is None else json.loads(r["text"])  # always parses
        # Every acknowledged step is there; the one in flight at the kill may be.
        assert found in (state(r["done"]), state(r["done"] + 1)), r
        if r["text"] is not None:
            assert found != EMPTY and r["text"] == json.dumps(found, indent=1)
    assert rounds[-1]["done"] > 50  # the workers did real work between the kills
    # Some kills landed inside a write: their temporary files are left behind.
    assert any(p.name.endswith(".tmp") for p in pending_file.parent.iterdir())


def test_two_writers_and_a_reader(pending_file, tmp_path):
    start, stop = time.time() + 1.5, tmp_path / "stop"
    reader = run_worker(pending_file, "reader", start, stop)
    writers = [run_worker(pending_file, "writer", tag, start, 2.0) for tag in "ab"]
    outputs = [finish(w) for w in writers]
    stop.touch()
    summary = json.loads(finish(reader))

    expected, acknowledged = {"uninstall": [], "install": []}, 0
    for out in outputs:
        lines = [line.split() for line in out.splitlines()]
        assert all(what != "NOT STORED" for what, _, _ in lines)
        cleared = {(kind, pkg) for what, kind, pkg in lines if what == "cleared"}
        for what, kind, pkg in lines:
            if what == "queued":
                acknowledged += 1
                if (kind, pkg) not in cleared:
                    expected[kind].append(pkg)
    found = json.loads(pending_file.read_text(encoding="utf-8"))
    # Nothing lost and nothing brought back; each writer's entries keep their order.
    for kind in expected:
        for tag in "ab":
            mine = [p for p in found[kind] if p.startswith(f"talvex-ext-{tag}")]
            assert mine == [p for p in expected[kind] if p.startswith(f"talvex-ext-{tag}")]
    assert acknowledged > 20
    assert summary["unreadable"] == 0 and summary["warnings"] == [] and summary["nonempty"] > 0
