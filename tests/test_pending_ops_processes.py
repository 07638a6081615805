"""The pending-operations queue changed by real processes: killed mid-change, two
writers with a reader at once, and starts in a row that replay it."""

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


# An installer that never finds one package and reaches the index for another only
# at its second run.
STAND_IN_UV = """#!/bin/sh
echo "$*" >> "{calls}"
case "$*" in
  *talvex-ext-withdrawn*)
    echo 'error: Because talvex-ext-withdrawn was not found in the package registry, your requirements are unsatisfiable.' >&2
    exit 1 ;;
  *talvex-ext-flaky*)
    if [ -e "{reached}" ]; then echo 'Installed 1 package in 4ms'; exit 0; fi
    touch "{reached}"
    echo 'error: Failed to fetch: connection reset by peer' >&2
    exit 2 ;;
esac
exit 3
"""


def test_three_starts_in_a_row(ww, pending_file, tmp_path, monkeypatch):
    bin_dir, calls = tmp_path / "bin", tmp_path / "calls.txt"
    bin_dir.mkdir()
    (bin_dir / "uv").write_text(STAND_IN_UV.format(calls=calls, reached=tmp_path / "reached"))
    (bin_dir / "uv").chmod(0o755)
    for pkg in ("talvex-ext-withdrawn", "talvex-ext-flaky"):
        assert ww.queue_pending_op("install", pkg)
    env = {**child_env(pending_file), "PATH": os.pathsep.join([str(bin_dir), os.environ.get("PATH", "")])}

    starts = []
    for _ in range(4):
        proc = subprocess.run([sys.executable, WORKER, "start"], env=env, capture_output=True, text=True,
                              timeout=120)
        assert proc.returncode == 0, proc.stderr
        starts.append(json.loads(proc.stdout))
    first, second, third, fourth = starts

    assert first["completed"] == [] and first["failed_starts"]["install"] == {
        "talvex-ext-withdrawn": 1, "talvex-ext-flaky": 1}
    assert [w.split(":")[0] for w in first["warnings"]] == [
        f"Deferred install of {p} could not be applied and stays queued" for p in ("talvex-ext-withdrawn", "talvex-ext-flaky")]
    # Cleared at the second start like any completed change.
    assert second["completed"] == ["install talvex-ext-flaky"]
    assert second["queued"] == [["install", "talvex-ext-withdrawn"]]
    assert second["failed_starts"]["install"] == {"talvex-ext-withdrawn": 2}
    # After the third failed start the withdrawn package leaves, named with its last error.
    assert third["completed"] == [] and third["queued"] == []
    [warning] = third["warnings"]
    assert warning.startswith("Deferred install of talvex-ext-withdrawn failed at 3 starts and leaves the queue: ")
    assert warning.endswith("was not found in the package registry, your requirements are unsatisfiable.")
    assert third["dropped"] == [["install", "talvex-ext-withdrawn", warning.split("leaves the queue: ")[1]]]
    assert fourth == {"completed": [], "dropped": [], "failed_starts": {"uninstall": {}, "install": {}},
                      "queued": [], "warnings": []}
    runs = calls.read_text().splitlines()
    assert [sum(p in run for run in runs) for p in ("talvex-ext-withdrawn", "talvex-ext-flaky")] == [3, 2]
    assert sorted(os.listdir(pending_file.parent)) == sorted(["bin", "calls.txt", "reached", pending_file.name + ".lock"])
