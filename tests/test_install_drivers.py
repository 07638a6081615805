import json
import logging
import os
import site
import sys
import sysconfig
import types

import pytest

import e2e_support as e2e

PKG = "talvex-ext-demo"
LOCKED = "ERROR: [WinError 5] Access is denied: 'C:\\site\\talvex_ext_demo\\_core.pyd'"
INSTALL = [("purge", PKG), ("cleanup", PKG), ("run", ("inst", PKG))]


class Env:
    """Scripted installer runs; cleanup, purge and dependency step recorded."""

    def __init__(self, ww, monkeypatch, site):
        self.ww, self.mp, self.events, self.results, self.cleaned = ww, monkeypatch, [], [], []
        self.site = site  # the only site-packages directory the installed state is judged by
        monkeypatch.setattr(ww, "_site_packages_roots", lambda: [site])
        self.deps = ww.PipResult(ok=True, command=(), returncode=0, stdout="no missing deps")
        ok = ww.PipResult(ok=True, command=("inst", PKG), returncode=0, stdout="done")
        record = self.events.append
        for name, fake in [
            ("_run", lambda argv, *, timeout=600.0: record(("run", tuple(argv))) or
             (self.results.pop(0) if self.results else ok)),
            ("_install_argv", lambda pkg, *, force_target=False: ["inst", pkg] + ["--force"] * force_target),
            ("_uninstall_argv", lambda pkg: ["uninst", pkg]),
            ("purge_imported_package_modules", lambda *n: record(("purge", *n))),
            ("cleanup_broken_package_install", lambda pkg: record(("cleanup", pkg)) or list(self.cleaned)),
            ("_install_missing_deps", lambda pkg: record(("deps", pkg)) or self.deps),
        ]:
            monkeypatch.setattr(ww, name, fake)

    def fail(self, stderr, stdout="", rc=1, command=("inst", PKG)):
        self.results.append(self.ww.PipResult(ok=False, command=command, returncode=rc, stdout=stdout, stderr=stderr))
        return self.results[-1]

    def watch_uninstall(self, error=None):
        real = self.ww.run_uninstall

        def watched(pkg, *, defer_on_lock=True):
            self.events.append(("run_uninstall", pkg, defer_on_lock))
            if error is not None:
                raise error
            return real(pkg, defer_on_lock=defer_on_lock)

        self.mp.setattr(self.ww, "run_uninstall", watched)

    def kinds(self):
        return [e[0] for e in self.events]


@pytest.fixture
def env(ww, monkeypatch, pending_file, caplog, tmp_path):
    caplog.set_level(logging.INFO, logger=ww.__name__)
    (tmp_path / "site-packages").mkdir()
    return Env(ww, monkeypatch, tmp_path / "site-packages")


def queued(pending_file):
    return json.loads(pending_file.read_text()) if pending_file.exists() else None


def logged(caplog, level=logging.INFO):
    return [(r.msg, r.args) for r in caplog.records if r.levelno >= level]


@pytest.mark.parametrize("driver", ["run_install", "run_uninstall", "run_upgrade"])
def test_unusable_names_run_nothing(ww, env, driver):
    for name in ("", "   ", "==1.0", None):
        assert getattr(ww, driver)(name) == ww.PipResult(ok=False, command=(), returncode=2,
                                                         stderr="empty package name")
    for name in ("-r x", "--index-url=http://127.0.0.1/simple", "./some/dir", "a/b", ".hidden",
                 "pkg @ https://127.0.0.1/p.whl", "demo_", "démo"):
        result = getattr(ww, driver)(name)
        assert (result.ok, result.command, result.returncode, result.deferred) == (False, (), 2, False)
        assert result.stderr.startswith("invalid package name")
    assert env.events == []


def test_install_success_and_upgrade(ww, env, pending_file, caplog):
    ww.queue_pending_op("install", PKG)
    ww.queue_pending_op("uninstall", PKG)
    env.cleaned = ["/site/talvex_ext_demo-1.0.dist-info"]
    caplog.clear()
    result = ww.run_install("talvex-ext-demo[gui]==1.0")
    assert result.ok and result.stdout == "done"
    assert env.events == INSTALL + [("deps", PKG)]
    assert queued(pending_file) is None  # the queued uninstall would undo this install
    assert logged(caplog) == [("Cleaned %d broken path(s) before install of %s", (1, PKG))]

    env.events.clear()
    assert ww.run_upgrade("Talvex_Ext_Demo>=2") == ww.run_install("Talvex_Ext_Demo>=2")
    half = len(env.events) // 2
    assert env.events[:half] == env.events[half:] and ("run", ("inst", "Talvex_Ext_Demo")) in env.events


def test_deps_locked_keeps_install_result_and_queue(ww, env, pending_file, caplog):
    ww.queue_pending_op("install", PKG)
    ww.queue_pending_op("uninstall", PKG)
    env.deps = ww.PipResult(ok=False, command=("uv", "pip"), returncode=1, stderr=LOCKED)
    result = ww.run_install(PKG)
    assert result.ok and result.command == ("inst", PKG)
    assert queued(pending_file) == {"uninstall": [], "install": [PKG]}
    [(msg, args)] = logged(caplog, logging.WARNING)
    assert msg.startswith("Extension %s installed but some deps could not be updated") and args == (PKG, env.deps.output)


@pytest.mark.parametrize("dep_command", [("pip", "install", "scipy"), ()])
def test_deps_failure_reported(ww, env, pending_file, dep_command):
    ww.queue_pending_op("install", PKG)
    env.deps = ww.PipResult(ok=False, command=dep_command, returncode=3, stdout="x",
                            stderr="\x1b[31mNo matching distribution for scipy\x1b[0m")
    result = ww.run_install(PKG)
    assert (result.ok, result.returncode, result.stdout, result.deferred) == (False, 3, "done", False)
    assert result.command == (dep_command or ("inst", PKG))
    assert result.stderr == f"Installed '{PKG}' but dependency install failed:\nNo matching distribution for scipy"
    assert queued(pending_file) is None


def test_install_failure_not_a_lock_returned_unchanged(ww, env, pending_file):
    failed = env.fail("No matching distribution found for talvex-ext-demo")
    assert ww.run_install(PKG) is failed
    assert env.events == INSTALL and not pending_file.exists()


def test_install_lock_deferred_or_manual_hint(ww, env, pending_file):
    env.fail(LOCKED, stdout="Uninstalling talvex-ext-demo-1.0")
    result = ww.run_install(PKG + "==2.0")
    assert (result.ok, result.deferred, result.command) == (False, True, ("inst", PKG))
    assert result.stdout == "Uninstalling talvex-ext-demo-1.0" and result.stderr.startswith(f"'{PKG}' is in use by Talvex")
    assert queued(pending_file) == {"uninstall": [], "install": [PKG]} and "deps" not in env.kinds()

    pending_file.unlink()
    env.fail("x" * 6000 + "\n" + LOCKED, stdout="out", rc=5)
    result = ww.run_install(PKG, defer_on_lock=False)
    assert (result.ok, result.deferred, result.returncode, result.stdout) == (False, False, 5, "out")
    assert result.command == ("inst", PKG) and len(result.stderr) == 4000 and "Access is denied" in result.stderr
    assert ("Could not replace files locked by the running Talvex process.\n"
            "In-app install uses '--no-deps'") in result.stderr
    assert result.stderr.endswith("close Talvex and run:\n  " + ww.install_command(PKG))
    assert not pending_file.exists()


@pytest.mark.parametrize("raised", [None, RuntimeError("uninstall exploded")])
def test_metadata_retry(ww, env, caplog, raised):
    env.fail(f"error: Failed to open file `{env.site}/talvex_ext_demo-1.0.dist-info/RECORD`")
    if raised is None:
        env.fail("not installed", command=("uninst", PKG))
    env.watch_uninstall(raised)
    assert ww.run_install(PKG).ok
    uninstall = [("run_uninstall", PKG, False)] + ([("run", ("uninst", PKG)), ("cleanup", PKG)] if raised is None else [])
    assert env.events == INSTALL + [("cleanup", PKG), *uninstall, ("cleanup", PKG),
                                    ("run", ("inst", PKG, "--force")), ("deps", PKG)]
    assert logged(caplog) == [("Install of %s failed with metadata/path error; retrying after cleanup", (PKG,))]


def test_metadata_retry_happens_once_then_lock_handling(ww, env, pending_file):
    env.cleaned = ["/site/talvex_ext_demo-1.0.dist-info"]
    env.fail("bad METADATA file")
    env.results.append(ww.PipResult(ok=True, command=("uninst", PKG), returncode=0))
    env.fail("dist-info: " + LOCKED)
    assert ww.run_install(PKG).deferred
    assert [e for e in env.events if e[0] == "run"][-1] == ("run", ("inst", PKG, "--force"))
    assert env.kinds().count("run") == 3
    assert queued(pending_file) == {"uninstall": [], "install": [PKG]}

    env.fail("metadata")
    env.watch_uninstall(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):  # an interrupt in the retry's uninstall propagates
        ww.run_install(PKG)


PIP_BUILD_FAILED = """\
Processing ./links/talvex_ext_demo-2.0.tar.gz
  Preparing metadata (pyproject.toml) ... error
  error: subprocess-exited-with-error
  × Preparing metadata (pyproject.toml) did not run successfully.
      File "{site}/pip/_vendor/pyproject_hooks/_in_process/_in_process.py", line 149
      RuntimeError: this release does not build
error: metadata-generation-failed"""
UV_BUILD_FAILED = """\
error: Failed to build `talvex-ext-demo==2.0`
  Caused by: The build backend returned an error
  Caused by: Call to `backend.prepare_metadata_for_build_wheel` failed (exit status: 1)"""


# (installed state, installer failure, whether the retry runs)
@pytest.mark.parametrize("state, failure, retried", [
    ("cleaned", "bad METADATA file", True),
    ("unreadable", "error: invalid metadata of talvex-ext-demo", True),
    ("sound", "error: Failed to open file `{site}/talvex_ext_demo-1.0.dist-info/METADATA`", True),
    ("sound", "error: Failed to open file `/elsewhere/talvex_ext_demo-1.0.dist-info/METADATA`", False),
    ("healthy", "error: invalid metadata of talvex-ext-demo", False),
    ("sound", PIP_BUILD_FAILED, False),
    ("cleaned", PIP_BUILD_FAILED.replace("metadata-generation-failed", ""), False),
    ("unreadable", UV_BUILD_FAILED, False),
    ("sound", "  Preparing metadata (pyproject.toml) ... done\nerror: invalid metadata", False),
])
def test_metadata_retry_only_for_a_broken_installed_state(ww, env, caplog, state, failure, retried):
    if state == "cleaned":
        env.cleaned = [str(env.site / "talvex_ext_demo-0.9.dist-info")]
    elif state != "sound":  # the cleanup is scripted here, so a broken directory stays
        info = env.site / "talvex_ext_demo-1.0.dist-info"
        info.mkdir()
        (info / ("METADATA" if state == "healthy" else "RECORD")).write_text("Name: talvex-ext-demo\n")
    failed = env.fail(failure.format(site=env.site))
    result = ww.run_install(PKG)
    assert env.kinds().count("run") == (3 if retried else 1)
    assert result.ok is retried and (retried or result is failed)
    warnings = [m for m, _ in logged(caplog, logging.WARNING)]
    assert warnings == (["Install of %s failed with metadata/path error; retrying after cleanup"] if retried else [])


def test_uninstall_success_and_lock(ww, env, pending_file, caplog):
    ww.queue_pending_op("uninstall", PKG)
    ww.queue_pending_op("install", PKG)
    assert ww.run_uninstall("Talvex_Ext_Demo[gui]").ok
    assert env.events == [("run", ("uninst", "Talvex_Ext_Demo")), ("cleanup", "Talvex_Ext_Demo")]
    assert queued(pending_file) == {"uninstall": [], "install": [PKG]}
    # A deferred uninstall replaces the queued install.
    env.fail(LOCKED)
    result = ww.run_uninstall(PKG)
    assert (result.ok, result.deferred) == (False, True) and "could not be removed now" in result.stderr
    assert queued(pending_file) == {"uninstall": [PKG], "install": []}
    assert env.kinds() == ["run", "cleanup"] * 2
    assert logged(caplog, logging.WARNING) == []  # the drop and the queuing each took the lock at once


@pytest.mark.parametrize("stderr, defer", [(LOCKED, False), ("ERROR: not installed", True)])
def test_uninstall_failure_returned_unchanged(ww, env, pending_file, stderr, defer):
    failed = env.fail(stderr)
    assert ww.run_uninstall(PKG, defer_on_lock=defer) is failed
    assert env.kinds() == ["run", "cleanup"] and not pending_file.exists()


@pytest.mark.parametrize("driver, verb, manual", [("run_install", "updated", "install_command"),
                                                  ("run_uninstall", "removed", "uninstall_command")])
def test_lock_that_cannot_be_queued_is_a_failure(ww, env, tmp_path, monkeypatch, caplog, driver, verb, manual):
    blocker = tmp_path / "blocker"
    blocker.write_text("a file where the queue's directory should be")
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", str(blocker / "pending.json"))
    env.fail(LOCKED, stdout="Uninstalling talvex-ext-demo-1.0", rc=5)
    result = getattr(ww, driver)(PKG)
    assert (result.ok, result.deferred, result.command, result.returncode) == (False, False, ("inst", PKG), 5)
    assert result.stdout == "Uninstalling talvex-ext-demo-1.0"
    assert result.stderr == (
        f"{LOCKED}\n\n'{PKG}' is in use by Talvex, so its files could not be {verb} now, and the change "
        f"could NOT be queued for the next start: the pending-operations file {blocker / 'pending.json'} "
        f"could not be written (the log says why).\nClose Talvex and run:\n  {getattr(ww, manual)(PKG)}")
    assert [msg for msg, _ in logged(caplog, logging.WARNING)] == ["Could not update %s: %s"]


# --- a lock-like failure where this account may not write --------------------------------

# What uv prints on Windows when the account may not change the environment (Talvex
# installed for all users under Program Files): the same text as for a locked file.
DENIED = ("error: Failed to install: talvex_ext_demo-1.0-py3-none-any.whl (talvex-ext-demo==1.0)\n"
          "  Caused by: failed to remove file `C:\\Program Files\\Talvex\\Lib\\site-packages\\talvex_ext_demo"
          "\\_core.pyd`: Access is denied. (os error 5)")


@pytest.fixture
def site_dir(tmp_path, monkeypatch):
    """The interpreter's site-packages directory, as the write probe finds it, moved into
    the test's own directory."""
    site = tmp_path / "site-packages"
    site.mkdir(exist_ok=True)  # the env fixture may have made it already
    real = sysconfig.get_path
    monkeypatch.setattr(sysconfig, "get_path", lambda name, *args, **kwargs: (
        str(site) if name in ("purelib", "platlib") else real(name, *args, **kwargs)))
    return site


def not_writable(verb, where):
    return (f"'{PKG}' could not be {verb}: the Python environment at {where} is not writable by this "
            "user account (for example because Talvex is installed for all users).\nRun Talvex with the "
            "rights to change that environment (for example as an administrator), or install Talvex for "
            "this user only.")


@pytest.mark.parametrize("defer", [True, False])
@pytest.mark.parametrize("driver, verb", [("run_install", "installed"), ("run_uninstall", "removed")])
def test_access_denied_in_an_unwritable_environment_is_a_failure(ww, env, pending_file, site_dir, monkeypatch,
                                                                 driver, verb, defer):
    ww.queue_pending_op("install", PKG)  # a deferred uninstall would replace it
    before = pending_file.read_bytes()
    env.fail(DENIED, stdout="Resolved 1 package in 3ms", rc=2)
    with e2e.unwritable(site_dir):
        result = getattr(ww, driver)(PKG, defer_on_lock=defer)
    assert (result.ok, result.deferred, result.command, result.returncode) == (False, False, ("inst", PKG), 2)
    assert result.stdout == "Resolved 1 package in 3ms"
    assert result.stderr == not_writable(verb, site_dir)
    assert pending_file.read_bytes() == before and list(site_dir.iterdir()) == []  # the probe left nothing
    # A change queued before (by an earlier version) is tried once at a start, not for 15 s.
    env.fail(DENIED, rc=2)
    with e2e.unwritable(site_dir), monkeypatch.context() as patch:
        patch.setattr(ww.time, "sleep", lambda seconds: pytest.fail("retried"))
        op = "install" if driver == "run_install" else "uninstall"
        monkeypatch.setattr(ww, "_dist_is_installed", lambda name: True)
        assert ww._apply_deferred_op(op, PKG, retry_seconds=15) == (False, not_writable(verb, site_dir))

    # The same text where the environment can be written is a lock, as before.
    env.fail(DENIED, rc=2)
    result = getattr(ww, driver)(PKG, defer_on_lock=defer)
    assert result.deferred is defer and "not writable" not in result.stderr
    assert (pending_file.read_bytes() == before) is not (defer and driver == "run_uninstall")


@pytest.mark.parametrize("way", ["immutable", "read-only bind mount"])
def test_write_probe(ww, site_dir, way):
    assert ww._unwritable_environment() is None and list(site_dir.iterdir()) == []
    with e2e.unwritable(site_dir, only=way):
        assert ww._unwritable_environment() == site_dir


def test_write_probe_that_cannot_tell(ww, site_dir, caplog):
    site_dir.rmdir()  # no directory to write to: the installer's own message stands
    caplog.set_level(logging.DEBUG, logger=ww.__name__)
    assert ww._unwritable_environment() is None
    # purelib and platlib are the same directory here: probed once
    assert [(r.msg, r.args, bool(r.exc_info)) for r in caplog.records] == [
        ("Write probe of %s failed", (str(site_dir),), True)]


# --- a lock is recognised before anything else ---------------------------------------------

DICOM = "talvex-ext-dicom-metadata"


# A lock whose text mentions metadata and names the locked file in site-packages: deferred,
# never taken for a broken install (whose retry would uninstall the working version).
@pytest.mark.parametrize("failure, deferred", [
    ("error: Failed to install: talvex_ext_dicom_metadata-2.0-py3-none-any.whl\n  Caused by: failed to remove "
     "file `{site}/talvex_ext_dicom_metadata/_core.pyd`: Der Prozess kann nicht zugreifen. (os error 32)", True),
    ("ERROR: Could not install packages due to an OSError: [WinError 32] Le processus ne peut pas accéder au "
     "fichier: '{site}/talvex_ext_dicom_metadata-1.0.dist-info/RECORD'", True),
    ("error: Failed to fetch metadata of talvex-ext-dicom-metadata (os error 53)", False),
])
def test_lock_never_uninstalls(ww, env, pending_file, failure, deferred):
    env.watch_uninstall()
    failed = env.fail(failure.format(site=env.site), command=("inst", DICOM))
    result = ww.run_install(DICOM)
    assert [e[0] for e in env.events] == ["purge", "cleanup", "run"]  # one run, no uninstall
    assert result.deferred is deferred and (deferred or result is failed)
    assert queued(pending_file) == ({"uninstall": [], "install": [DICOM]} if deferred else None)


# --- the write probe asks where the installer writes -----------------------------------------

PIP = ("python", "-m", "pip", "install", PKG)


@pytest.mark.parametrize("where", ["PIP_TARGET", "--target", "-t", "--user", "PIP_USER", "fallback"])
def test_lock_where_pip_writes_beside_a_read_only_site(ww, env, pending_file, site_dir, tmp_path, monkeypatch, where):
    elsewhere = tmp_path / "elsewhere"  # the target, or the user site
    elsewhere.mkdir()
    argv = {"--target": PIP + (f"--target={elsewhere}",), "-t": PIP + ("-t", str(elsewhere)),
            "--user": PIP + ("--user",)}.get(where, PIP)
    if where.startswith("PIP_"):
        monkeypatch.setenv(where, str(elsewhere) if where == "PIP_TARGET" else "yes")
    monkeypatch.setattr(site, "getusersitepackages", lambda: str(elsewhere))
    monkeypatch.setattr(site, "ENABLE_USER_SITE", where == "fallback")  # pip falls back only then
    env.fail(DENIED, command=argv)
    with e2e.unwritable(site_dir):
        assert ww.run_install(PKG).deferred
        with e2e.unwritable(elsewhere):
            assert ww._unwritable_environment(argv) == elsewhere
    assert queued(pending_file) == {"uninstall": [], "install": [PKG]}


def test_write_probe_of_the_environment_uv_was_pointed_at(ww, site_dir, tmp_path):
    other = tmp_path / "python"  # this interpreter by another name: uv asks it for its own paths
    uv = ("uv", "pip", "install", "--python")
    with e2e.unwritable(site_dir):
        other.symlink_to(sys.executable)
        assert ww._unwritable_environment(uv + (sys.executable, PKG)) == site_dir
        assert ww._unwritable_environment(uv + (str(other), PKG)) is None
        assert ww._unwritable_environment(uv + (str(tmp_path / "missing"), PKG)) is None


# --- an installer that exists but cannot be started ---------------------------------------

@pytest.mark.skipif(os.name == "nt", reason="POSIX program files")
@pytest.mark.parametrize("driver", ["run_install", "run_uninstall"])
@pytest.mark.parametrize("broken, why", [("not a program", "[Errno 8] Exec format error"),
                                         ("interpreter not executable", "[Errno 13] Permission denied")])
def test_installer_that_cannot_be_started(ww, pending_file, tmp_path, monkeypatch, driver, broken, why):
    uv = tmp_path / "bin" / "uv"
    uv.parent.mkdir()
    (tmp_path / "interpreter").write_text("")  # no execute permission
    uv.write_bytes(b"\x00\x01 no program\n" if broken == "not a program" else f"#!{tmp_path}/interpreter\n".encode())
    uv.chmod(0o755)
    # uv alone on PATH: the search for a program goes on past one that cannot start
    monkeypatch.setenv("PATH", str(uv.parent))
    monkeypatch.setattr(ww, "_site_packages_roots", lambda: [])
    result = getattr(ww, driver)(PKG)
    assert (result.ok, result.returncode, result.stderr, result.deferred) == (False, 127, f"{why}: 'uv'", False)
    assert result.command[:3] == ("uv", "pip", driver[4:]) and not pending_file.exists()


# A failed run's record is copied field by field in the record's order, so a host's stand-in
# that lacks fields fails on the first, as the Python call would.
@pytest.mark.parametrize("make", [
    lambda ww: ww._deferred_result("install", PKG, object()),
    lambda ww: ww.run_install(PKG, defer_on_lock=False),
    lambda ww: ww.run_install(PKG),
])
def test_failure_records_read_the_failed_run_in_field_order(ww, env, pending_file, make):
    env.results.append(types.SimpleNamespace(ok=False, stderr=LOCKED, stdout=""))
    with pytest.raises(AttributeError, match="has no attribute 'command'$"):
        make(ww)
