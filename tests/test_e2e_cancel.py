"""Real uv and pip against a slow local index: lines while the run goes on, a cancel
during the download that leaves the previous version in place, and one that comes
after the change began and lets it finish; also in the missing-dependency run."""

import json
import os
import shutil
import subprocess
import time

import pytest

import e2e_support as e2e

pytestmark = [pytest.mark.e2e, pytest.mark.skipif(os.name == "nt", reason="the private environment is POSIX")]

BIG, NEEDY, BIG_DEP = "talvex-ext-big", "talvex-ext-needy", "talvex-big-dep"
# uv and pip each name the download when it starts; the change begins after these
DOWNLOAD = "Downloading"
CHANGE = {"pip": "Installing collected packages", "uv": "Prepared"}

CHILD = r'''
import json, sys, threading, time
from talvex.core.extensions import wheelwork as ww
spec = json.loads(sys.argv[1])
lines, cancel, marks = [], threading.Event(), {}
def on_output(line):
    lines.append([time.monotonic(), line])
    if "at" not in marks and all(word in line for word in spec["cancel_on"]):
        marks["at"] = time.monotonic()
        threading.Timer(spec["delay"], cancel.set).start()
start = time.monotonic()
r = ww.run_install(spec["package"], on_output=on_output, cancel=cancel)
end = time.monotonic()
print("@@REPORT@@" + json.dumps(dict(
    ok=r.ok, returncode=r.returncode, deferred=r.deferred, stderr=r.stderr, start=start, end=end,
    cancel_at=marks.get("at", 0) + spec["delay"], lines=lines, pending=ww.pending_operations())))
'''


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    root = tmp_path_factory.mktemp("e2e-cancel")
    files = root / "index"
    payload = os.urandom(20_000_000)
    e2e.build_wheel(files, BIG, "2.0", payload=payload)
    e2e.build_wheel(files, BIG_DEP, "1.0", payload=payload)
    e2e.build_wheel(files, NEEDY, "2.0", (BIG_DEP,))
    old = e2e.build_wheel(root / "old", BIG, "1.0")
    python, site = e2e.create_environment(root)
    with e2e.slow_index(files, 2_000_000) as url:
        yield root, python, site, url, old


def run(world, installer, package, cancel_on, delay=0.0):
    root, python, site, url, old = world
    work = root / installer
    path = [e2e.uv_directory(work, e2e.find_uv() or pytest.skip("uv is not available"))] if installer == "uv" else []
    env = e2e.index_environ(e2e.child_environ(work, root / "old", path_dirs=path, pending=work / "pending.json"), url)
    for stale in site.iterdir():
        if stale.name.startswith(("talvex_ext_big", "talvex_ext_needy", "talvex_big_dep")):
            shutil.rmtree(stale)
    subprocess.run([str(python), "-m", "pip", "install", "--no-index", "-q", str(old)], env=env, check=True)
    spec = {"package": package, "cancel_on": cancel_on, "delay": delay}
    proc = subprocess.run([str(python), "-c", CHILD, json.dumps(spec)], env=env, cwd=str(work.parent),
                          capture_output=True, text=True, timeout=300)
    report = [json.loads(line[10:]) for line in proc.stdout.splitlines() if line.startswith("@@REPORT@@")]
    assert report, proc.stdout + proc.stderr
    return report[0], python, env


def version(python, env, module):
    code = f"import {module} as m; print(m.VERSION)"
    proc = subprocess.run([str(python), "-c", code], env=env, capture_output=True, text=True)
    return proc.stdout.strip() or None


def leftovers(python):
    """Processes whose command line names the private environment's interpreter."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if str(python).encode() in f.read():
                    found.append(pid)
        except OSError:
            pass
    return found


@pytest.mark.parametrize("installer", ["pip", "uv"])
def test_cancel_during_the_download_keeps_the_previous_version(world, installer):
    report, python, env = run(world, installer, BIG, [DOWNLOAD, "big"], delay=1.0)
    assert (report["ok"], report["returncode"], report["deferred"]) == (False, 130, False)
    assert "nothing was changed" in report["stderr"] and report["pending"] == []
    assert report["end"] - report["cancel_at"] < 2
    assert report["lines"][0][0] < report["end"] - 1  # lines came while the run went on
    assert version(python, env, "talvex_ext_big") == "1.0"
    assert leftovers(python) == []


@pytest.mark.parametrize("installer", ["pip", "uv"])
def test_cancel_after_the_change_began_completes_the_upgrade(world, installer):
    report, python, env = run(world, installer, BIG, [CHANGE[installer]])
    assert (report["ok"], report["returncode"]) == (True, 0)
    if installer == "pip":
        assert any("% of 20.0 MB" in line for _, line in report["lines"])
    assert version(python, env, "talvex_ext_big") == "2.0"


@pytest.mark.parametrize("installer", ["pip", "uv"])
def test_cancel_in_the_dependency_run_names_what_is_missing(world, installer):
    report, python, env = run(world, installer, NEEDY, [DOWNLOAD, "big"], delay=1.0)
    assert (report["ok"], report["returncode"], report["deferred"]) == (False, 130, False)
    assert f"Installed '{NEEDY}'" in report["stderr"] and f"not installed: {BIG_DEP}" in report["stderr"]
    assert report["end"] - report["cancel_at"] < 2 and report["pending"] == []
    assert version(python, env, "talvex_ext_needy") == "2.0"
    assert version(python, env, "talvex_big_dep") is None
    assert leftovers(python) == []
