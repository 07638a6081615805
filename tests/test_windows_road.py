"""The update of a loaded extension on Windows, end to end: real wheels with a compiled
module, real pip, real processes and the operating system's own file locks.

A "host" process imports talvex-ext-demo 1.0 (its compiled module stays mapped for the
life of the process), then asks for the upgrade or the removal; pip meets the lock, the
result is deferred and queued. The next instance waits for the host to exit and replays
the queue. The environment is a folder made by ``pip install --target`` and put on
``PYTHONPATH`` (with ``PIP_TARGET`` pointing pip's later installs at it): the embeddable
interpreter that scripts/windows-test runs has no ``venv``.

scripts/windows-test builds the compiled module for both versions and names their folder
in ``TALVEX_WINDOWS_DEMO``.
"""

import base64
import hashlib
import json
import os
import shutil
import subprocess
import sys
import textwrap
import time
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(sys.platform != "win32",
                                reason="Windows file locks and process calls (scripts/windows-test runs these)")

DEMO = os.environ.get("TALVEX_WINDOWS_DEMO", "")
PYD = "_native.cp313-win_amd64.pyd"
needs_demo = pytest.mark.skipif(sys.platform == "win32" and not (Path(DEMO) / "1.0" / PYD).is_file(),
                                reason="TALVEX_WINDOWS_DEMO names no cross-built talvex-ext-demo")


def make_wheel(folder, version):
    """talvex_ext_demo-VERSION-cp313-cp313-win_amd64.whl with the compiled module of VERSION."""
    files = {
        "talvex_ext_demo/__init__.py": b"from ._native import VERSION\n",
        f"talvex_ext_demo/{PYD}": (Path(DEMO) / version / PYD).read_bytes(),
        f"talvex_ext_demo-{version}.dist-info/METADATA":
            f"Metadata-Version: 2.1\nName: talvex-ext-demo\nVersion: {version}\n".encode(),
        f"talvex_ext_demo-{version}.dist-info/WHEEL":
            b"Wheel-Version: 1.0\nGenerator: talvex-tests\nRoot-Is-Purelib: false\nTag: cp313-cp313-win_amd64\n",
    }
    record = f"talvex_ext_demo-{version}.dist-info/RECORD"
    lines = []
    for name, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        lines.append(f"{name},sha256={digest},{len(data)}")
    lines.append(f"{record},,")
    path = folder / f"talvex_ext_demo-{version}-cp313-cp313-win_amd64.whl"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as whl:
        for name, data in files.items():
            whl.writestr(name, data)
        whl.writestr(record, "\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    folder = tmp_path_factory.mktemp("wheels")
    for version in ("1.0", "2.0"):
        make_wheel(folder, version)
    return folder


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "TALVEX_"))}
    env.update(PYTHONUTF8="1", PIP_DISABLE_PIP_VERSION_CHECK="1", **extra)
    return env


@pytest.fixture
def road(tmp_path, wheels):
    """An environment holding talvex-ext-demo 1.0, and the settings of a host that uses it."""
    target = tmp_path / "env"
    done = subprocess.run([sys.executable, "-m", "pip", "install", "--no-index", "--find-links", str(wheels),
                           "--target", str(target), "talvex-ext-demo==1.0"],
                          env=clean_env(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert (target / "talvex_ext_demo" / PYD).is_file()
    pending = tmp_path / "pending-extension-ops.json"
    env = clean_env(PYTHONPATH=os.pathsep.join([str(target), os.environ.get("PYTHONPATH", "")]),
                    PIP_TARGET=str(target), PIP_NO_INDEX="1", PIP_FIND_LINKS=str(wheels),
                    TALVEX_PENDING_OPS_FILE=str(pending))
    return target, pending, env


HOST = textwrap.dedent("""
    import json, os, sys
    import talvex_ext_demo
    from talvex.core.extensions import wheelwork as ww
    loaded = talvex_ext_demo.VERSION
    if sys.argv[2] == "holds-folder":
        # What a file dialog opened in the extension's folder leaves behind on Windows: the
        # folder is the process's current directory, so it cannot be renamed.
        os.chdir(os.path.dirname(talvex_ext_demo.__file__))
    del talvex_ext_demo
    purged = ww.purge_imported_package_modules("talvex-ext-demo")
    runs, real_run = [], ww._run
    def recorded(*args, **kwargs):  # keeps what the installer itself said
        result = real_run(*args, **kwargs)
        runs.append(result.stderr + "\\n" + result.stdout)
        return result
    ww._run = recorded
    r = getattr(ww, sys.argv[1])(sys.argv[3] if len(sys.argv) > 3 else "talvex-ext-demo")
    print(json.dumps({"loaded": loaded, "purged": purged, "ok": r.ok, "deferred": r.deferred,
                      "queue": ww.pending_operations(), "message": r.stderr, "installer": runs}), flush=True)
    sys.stdin.readline()
""")

NEXT_INSTANCE = textwrap.dedent("""
    import json, os
    from talvex.utils import relauncher
    from talvex.core.extensions import wheelwork as ww
    waited = relauncher.wait_for_previous_instance()
    done = ww.process_pending_operations()
    try:
        import talvex_ext_demo
        version = talvex_ext_demo.VERSION
    except ImportError:
        version = None
    print(json.dumps({"waited": waited, "done": done, "version": version, "queue": ww.pending_operations(),
                      "left": os.environ.get(relauncher.PREVIOUS_PID_ENV)}), flush=True)
""")


def start(code, env, *args):
    return subprocess.Popen([sys.executable, "-c", code, *args], env=env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def report(proc):
    line = proc.stdout.readline()
    assert line, proc.stderr.read()
    return json.loads(line)


def release(host):
    _, err = host.communicate("\n", timeout=60)
    assert host.returncode == 0, err


@needs_demo
@pytest.mark.parametrize("operation, hold, op, expected_version", [
    # pip --target deletes the old package folder first: the loaded module refuses.
    ("run_upgrade", "module", "install", "2.0"),
    # pip uninstall moves the folder aside first: refused while it is the host's directory.
    ("run_uninstall", "holds-folder", "uninstall", None),
])
def test_locked_change_is_deferred_and_finished_by_the_next_instance(road, operation, hold, op,
                                                                     expected_version):
    target, pending, env = road
    host = start(HOST, env, operation, hold)
    try:
        seen = report(host)
        assert (seen["loaded"], seen["purged"]) == ("1.0", 2)
        assert (seen["ok"], seen["deferred"]) == (False, True), json.dumps(seen, indent=1)
        assert seen["message"].startswith("'talvex-ext-demo' is in use by Talvex")
        assert len(seen["installer"]) == 1 and "PermissionError: [WinError" in seen["installer"][0]
        assert seen["queue"] == [[op, "talvex-ext-demo"]]
        assert json.loads(pending.read_text(encoding="utf-8"))[op] == ["talvex-ext-demo"]
        # The compiled module of 1.0 is still in place, and still held by the host.
        pyd = target / "talvex_ext_demo" / PYD
        with pytest.raises(PermissionError):
            pyd.unlink()

        nxt = start(NEXT_INSTANCE, {**env, "TALVEX_WAIT_FOR_PID": str(host.pid)})
        time.sleep(1.0)
        assert nxt.poll() is None, "the next instance did not wait for the host"
    finally:
        release(host)
    after = report(nxt)
    assert nxt.wait(timeout=120) == 0
    assert after == {"waited": True, "done": [f"{op} talvex-ext-demo"], "version": expected_version,
                     "queue": [], "left": None}
    assert not pending.exists()


@needs_demo
def test_uninstall_of_a_loaded_extension_that_pip_can_move_aside(road):
    # pip moves the package folder away whole; with only the compiled module loaded, Wine
    # lets it (the module itself may be renamed on Windows too). The removal is done at
    # once, nothing is queued, and pip leaves the moved folder for later.
    target, pending, env = road
    host = start(HOST, env, "run_uninstall", "module")
    try:
        seen = report(host)
        if seen["deferred"]:
            pytest.skip("this system refuses to move the folder: the deferred road above covers it")
        assert (seen["ok"], seen["queue"]) == (True, []), json.dumps(seen, indent=1)
        assert not (target / "talvex_ext_demo").exists() and not pending.exists()
    finally:
        release(host)
    after = report(start(NEXT_INSTANCE, env))
    assert after == {"waited": True, "done": [], "version": None, "queue": [], "left": None}


# --- the Windows-only code of the two modules, against real processes ---------------------


def test_pid_alive_probes_a_live_and_an_exited_process():
    from talvex.utils import relauncher

    child = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.readline()"], stdin=subprocess.PIPE)
    try:
        assert relauncher._pid_alive(child.pid) is True
        assert relauncher._pid_alive(os.getpid()) is True
    finally:
        child.communicate(b"\n", timeout=60)
    assert child.returncode == 0
    # `child` still holds its process handle, so the id names an exited process, not a
    # free slot.
    assert relauncher._pid_alive(child.pid) is False


def test_pid_alive_of_a_process_that_exited_with_status_259():
    # 259 is STILL_ACTIVE: an exit code probe would take this process for a live one.
    from talvex.utils import relauncher

    child = subprocess.Popen([sys.executable, "-c", "raise SystemExit(259)"])
    assert child.wait(timeout=60) == 259
    assert relauncher._pid_alive(child.pid) is False


def test_installer_children_get_the_hidden_window_settings(ww):
    kwargs = ww._subprocess_kwargs()
    assert list(kwargs) == ["creationflags", "startupinfo"]
    assert kwargs["creationflags"] == subprocess.CREATE_NO_WINDOW == 0x08000000
    info = kwargs["startupinfo"]
    assert info.dwFlags & subprocess.STARTF_USESHOWWINDOW and info.wShowWindow == 0
    assert ww._subprocess_kwargs()["startupinfo"] is not info  # a new one for every call
    # A real child started by _run reads them back from its own start-up information.
    result = ww._run([sys.executable, "-c", STARTUP_INFO])
    assert (result.ok, result.stdout) == (True, "show-window flag 1, shown 0"), result.stderr
    plain = subprocess.run([sys.executable, "-c", STARTUP_INFO], capture_output=True, text=True, timeout=120)
    assert plain.stdout.startswith("show-window flag 0")


STARTUP_INFO = textwrap.dedent("""
    import ctypes
    from ctypes import wintypes
    class STARTUPINFOW(ctypes.Structure):
        _fields_ = [("cb", wintypes.DWORD), ("lpReserved", wintypes.LPWSTR), ("lpDesktop", wintypes.LPWSTR),
                    ("lpTitle", wintypes.LPWSTR)] + [(n, wintypes.DWORD) for n in (
                    "dwX", "dwY", "dwXSize", "dwYSize", "dwXCountChars", "dwYCountChars", "dwFillAttribute",
                    "dwFlags")] + [("wShowWindow", wintypes.WORD), ("cbReserved2", wintypes.WORD),
                    ("lpReserved2", ctypes.c_void_p), ("hStdInput", wintypes.HANDLE),
                    ("hStdOutput", wintypes.HANDLE), ("hStdError", wintypes.HANDLE)]
    info = STARTUPINFOW(cb=ctypes.sizeof(STARTUPINFOW))
    ctypes.windll.kernel32.GetStartupInfoW(ctypes.byref(info))
    print(f"show-window flag {info.dwFlags & 1}, shown {info.wShowWindow}")
""")


@needs_demo
def test_locked_upgrade_from_a_wheel_file_is_finished_from_its_copy(road, tmp_path, wheels):
    # The file sits in a download folder with blanks and non-ASCII letters, which is
    # cleaned before the next start; no index has 2.0.
    target, pending, env = road
    downloads = tmp_path / "Téléchargements d'Ana ü"
    downloads.mkdir()
    wheel = downloads / "talvex_ext_demo-2.0-cp313-cp313-win_amd64.whl"
    shutil.copy(wheels / wheel.name, wheel)
    env = {**env, "PIP_FIND_LINKS": str(tmp_path / "no-links")}
    host = start(HOST, env, "run_upgrade", "module", str(wheel))
    try:
        seen = report(host)
        assert (seen["ok"], seen["deferred"], seen["queue"]) == (False, True, [["install", "talvex-ext-demo"]]), seen
        assert "PermissionError: [WinError" in seen["installer"][0]
        shutil.rmtree(downloads)
        nxt = start(NEXT_INSTANCE, {**env, "TALVEX_WAIT_FOR_PID": str(host.pid)})
    finally:
        release(host)
    after = report(nxt)
    assert nxt.wait(timeout=120) == 0
    assert after == {"waited": True, "done": ["install talvex-ext-demo"], "version": "2.0", "queue": [], "left": None}
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(pending.name)] == [pending.name + ".lock"]
