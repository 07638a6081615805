import json
import logging
import os
import re
import time
import types

import pytest

import e2e_support as e2e

PKG = "talvex-ext-demo"
LOCKED = "ERROR: The process cannot access the file because it is being used by another process"
RETRY = "Deferred %s of %s is still locked (previous instance shutting down?); retrying"


class Installer:
    """Stands in for the drivers and the clock: hands out scripted results, records calls."""

    def __init__(self, ww, monkeypatch):
        self.ww, self.calls, self.results, self.cache_clears = ww, [], [], 0
        self.installed, self.run_seconds, self.now, self.sleeps = True, 0.0, 100.0, []
        for name, fake in [("run_uninstall", self.uninstall), ("run_install", self.install),
                           ("_dist_is_installed", lambda pkg: self.installed),
                           ("_invalidate_import_caches", self.clear_caches)]:
            monkeypatch.setattr(ww, name, fake)
        monkeypatch.setattr(ww.time, "monotonic", lambda: self.now)
        monkeypatch.setattr(ww.time, "sleep", self.sleep)

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds

    def clear_caches(self):
        self.cache_clears += 1

    def _next(self, *call):
        self.calls.append(call)
        self.now += self.run_seconds
        return self.results.pop(0) if self.results else self.ww.PipResult(ok=True, command=("x",), returncode=0)

    def uninstall(self, pkg, *, defer_on_lock=True):
        return self._next("uninstall", pkg, {"defer_on_lock": defer_on_lock})

    def install(self, pkg, *, upgrade=False, defer_on_lock=True):
        return self._next("install", pkg, {"upgrade": upgrade, "defer_on_lock": defer_on_lock})

    def fail(self, stderr="", stdout="", times=1):
        self.results += [self.ww.PipResult(ok=False, command=("x",), returncode=1, stdout=stdout, stderr=stderr)] * times


@pytest.fixture
def installer(ww, monkeypatch, pending_file, caplog):
    caplog.set_level(logging.DEBUG, logger=ww.__name__)
    return Installer(ww, monkeypatch)


def records(caplog):
    return [(r.levelname, r.msg, r.args, bool(r.exc_info)) for r in caplog.records]


def queue(ww, caplog, *ops):
    for op, pkg in ops:
        ww.queue_pending_op(op, pkg)
    caplog.clear()


def queued(pending_file):
    return json.loads(pending_file.read_text())


def test_replays_uninstalls_then_installs(ww, installer, pending_file, caplog):
    progress = []
    assert ww.process_pending_operations(on_progress=lambda *a: progress.append(a)) == []
    assert progress == installer.calls == [] and installer.cache_clears == 0  # nothing queued

    queue(ww, caplog, ("install", PKG), ("uninstall", "talvex-ext-old"))
    done = ww.process_pending_operations(None, lambda *a: progress.append(a))
    assert done == ["uninstall talvex-ext-old", f"install {PKG}"]
    assert progress == [(1, 2, "talvex-ext-old"), (2, 2, PKG)]
    assert installer.calls == [("uninstall", "talvex-ext-old", {"defer_on_lock": False}),
                               ("install", PKG, {"upgrade": True, "defer_on_lock": False})]
    assert not pending_file.exists() and installer.cache_clears == 1
    assert records(caplog) == [("INFO", "Completed deferred %s of %s", ("uninstall", "talvex-ext-old"), False),
                               ("INFO", "Completed deferred %s of %s", ("install", PKG), False)]


def test_uninstall_of_package_already_gone_counts(ww, installer, pending_file):
    ww.queue_pending_op("uninstall", PKG)
    installer.fail("WARNING: Skipping talvex-ext-demo as it is not installed")
    installer.installed = False
    assert ww.process_pending_operations() == [f"uninstall {PKG}"]
    assert not pending_file.exists()


def test_failure_stays_queued(ww, installer, pending_file, caplog):
    queue(ww, caplog, ("uninstall", PKG), ("install", "talvex-ext-other"))
    installer.fail("ERROR: uninstall-no-record-file")
    assert ww.process_pending_operations(retry_seconds=5) == ["install talvex-ext-other"]
    assert len(installer.calls) == 2  # not a lock: no retry although time was left
    assert queued(pending_file) == {"uninstall": [PKG], "install": []}
    assert records(caplog)[0] == ("WARNING", "Deferred %s of %s could not be applied and stays queued: %s",
                                  ("uninstall", PKG, "ERROR: uninstall-no-record-file"), False)


def raise_oserror():
    raise OSError("disk gone")


# An operation that raises, or hands back something other than an (ok, output) pair, is
# logged with its traceback and stays queued; the next one still runs.
@pytest.mark.parametrize("outcome", [raise_oserror, lambda: (True,), lambda: (True, "", "extra"), lambda: 7],
                         ids=["raises", "one-item", "three-items", "not-a-pair"])
def test_raising_or_malformed_operation_and_callback(ww, installer, pending_file, monkeypatch, caplog, outcome):
    queue(ww, caplog, ("uninstall", PKG), ("install", PKG))
    real_apply = ww._apply_deferred_op

    def apply(op, pkg, *, retry_seconds=None):
        if op == "uninstall":
            return outcome()
        return real_apply(op, pkg, retry_seconds=retry_seconds)

    def callback(index, total, pkg):
        raise ValueError("ui closed")

    monkeypatch.setattr(ww, "_apply_deferred_op", apply)
    assert ww.process_pending_operations(on_progress=callback) == [f"install {PKG}"]
    assert queued(pending_file) == {"uninstall": [PKG], "install": []}
    assert records(caplog) == [
        ("DEBUG", "Progress callback failed", (), True),
        ("WARNING", "Deferred %s of %s raised", ("uninstall", PKG), True),
        ("DEBUG", "Progress callback failed", (), True),
        ("INFO", "Completed deferred %s of %s", ("install", PKG), False),
    ]


@pytest.mark.parametrize("entry, error, message", [
    (("install", "a", "b"), ValueError, r"^too many values to unpack \(expected 2\)$"),
    (5, TypeError, r"^cannot unpack non-iterable int object$"),
])
def test_queue_entries_unpack_like_pairs(ww, installer, monkeypatch, entry, error, message):
    monkeypatch.setattr(ww, "pending_operations", lambda: [entry])
    with pytest.raises(error, match=message):
        ww.process_pending_operations(0)
    assert installer.calls == []


@pytest.mark.parametrize("retry_seconds", [None, 0, 2.5])
def test_budget_passed_through(ww, installer, monkeypatch, retry_seconds):
    ww.queue_pending_op("install", PKG)
    seen = []
    monkeypatch.setattr(ww, "_apply_deferred_op", lambda op, pkg, **kw: seen.append(kw) or (False, "e"))
    assert ww.process_pending_operations(retry_seconds) == []
    assert seen == [{"retry_seconds": retry_seconds}] and installer.cache_clears == 0


@pytest.mark.parametrize("op, budget, locks, result, attempts, sleeps", [
    ("install", 0, 1, (False, LOCKED), 1, []),  # a zero budget allows a single attempt
    ("uninstall", 2, 10, (False, LOCKED), 3, [1.0, 1.0]),  # at t+0, t+1, t+2: the deadline is reached
    ("install", None, 2, (True, ""), 3, [0.25, 0.25]),  # module settings: 3 s, every 0.25 s
])
def test_lock_retried_within_the_budget(ww, installer, monkeypatch, caplog, op, budget, locks, result, attempts, sleeps):
    if budget is None:
        monkeypatch.setattr(ww, "_RETRY_SECONDS", 3.0)
        monkeypatch.setattr(ww, "_RETRY_INTERVAL", 0.25)
    installer.fail(LOCKED, stdout="ignored", times=locks)
    assert ww._apply_deferred_op(op, PKG, retry_seconds=budget) == result
    assert len(installer.calls) == attempts and installer.sleeps == sleeps
    kwargs = {"upgrade": True, "defer_on_lock": False} if op == "install" else {"defer_on_lock": False}
    assert [c[2] for c in installer.calls] == [kwargs] * attempts
    assert records(caplog) == [("INFO", RETRY, (op, PKG), False)] * len(sleeps)


def test_slow_attempt_uses_up_the_budget_and_empty_output(ww, installer):
    installer.run_seconds = 20.0
    installer.fail(stdout=LOCKED)
    assert ww._apply_deferred_op("install", PKG) == (False, LOCKED)
    assert len(installer.calls) == 1
    installer.fail("   ")
    assert ww._apply_deferred_op("install", PKG) == (False, "unknown error")


def test_invalidate_import_caches(ww, monkeypatch, caplog):
    calls, cache = [], {"x": None}
    monkeypatch.setattr(ww.importlib, "invalidate_caches", lambda: calls.append("importlib"))
    monkeypatch.setattr(ww, "sys", types.SimpleNamespace(path_importer_cache=cache))
    assert ww._invalidate_import_caches() is None
    assert calls == ["importlib"] and cache == {}

    def fail(*args):
        raise RuntimeError("no")

    # Each step fails on its own, logged and not raised.
    monkeypatch.setattr(ww, "importlib", types.SimpleNamespace(invalidate_caches=fail))
    monkeypatch.setattr(ww, "sys", types.SimpleNamespace(path_importer_cache=types.SimpleNamespace(clear=fail)))
    caplog.set_level(logging.DEBUG, logger=ww.__name__)
    assert ww._invalidate_import_caches() is None
    assert records(caplog) == [("DEBUG", "importlib.invalidate_caches failed", (), True),
                               ("DEBUG", "Clearing the path importer cache failed", (), True)]


# --- the start's budget and the limit of failed starts ------------------------------------

STAYS = "Deferred %s of %s could not be applied and stays queued: %s"
LEAVES = "Deferred %s of %s failed at %s starts and leaves the queue: %s"
STOPPED = "Replay of queued extension changes stopped after %ss; %d of %d stay queued for the next start"


def warned(caplog):
    return [(r.msg, r.args) for r in caplog.records if r.levelno == logging.WARNING]


def test_replay_keeps_to_the_start_budget(ww, installer, pending_file, monkeypatch, caplog):
    pkgs = [f"talvex-ext-p{i}" for i in range(5)]
    queue(ww, caplog, *[("install", p) for p in pkgs])
    installer.run_seconds = 12.0
    budgets = []
    real_apply = ww._apply_deferred_op
    monkeypatch.setattr(ww, "_apply_deferred_op", lambda op, pkg, *, retry_seconds=None: (
        budgets.append(retry_seconds), real_apply(op, pkg, retry_seconds=retry_seconds))[1])
    # Attempts start at t+0, t+12 and t+24; at t+36 the 30 s are spent.
    assert ww.process_pending_operations() == [f"install {p}" for p in pkgs[:3]]
    assert budgets == [None, None, pytest.approx(6.0)]  # the lock retry fits in what is left
    assert warned(caplog) == [(STOPPED, (30.0, 2, 5))]
    assert ww.pending_operations() == [("install", p) for p in pkgs[3:]]
    assert ww._failed_starts() == {"uninstall": {}, "install": {}}  # what was not reached is not counted

    caplog.clear()
    installer.results.clear()
    assert ww.process_pending_operations(startup=False, retry_seconds=0) == [f"install {p}" for p in pkgs[3:]]


def test_change_leaves_after_its_third_failed_start(ww, installer, pending_file, caplog):
    queue(ww, caplog, ("uninstall", "talvex-ext-gone"), ("install", PKG), ("install", "talvex-ext-late"))
    installer.installed = True
    dropped = []
    withdrawn = "ERROR: No matching distribution found for talvex-ext-demo"
    for start in (1, 2, 3):
        caplog.clear()
        # uninstall fails (still installed), the install has been withdrawn, the late one
        # succeeds at the second start
        installer.fail("ERROR: uninstall-no-record-file")
        installer.fail(withdrawn)
        if start == 1:
            installer.fail("ERROR: index unreachable")
        done = ww.process_pending_operations(on_dropped=lambda *a: dropped.append(a))
        assert done == ([] if start == 1 else ["install talvex-ext-late"] if start == 2 else [])
        if start < 3:
            late = {"talvex-ext-late": 1} if start == 1 else {}  # its count left with it
            assert ww._failed_starts() == {"uninstall": {"talvex-ext-gone": start}, "install": {PKG: start, **late}}
            assert [msg for msg, _ in warned(caplog)] == [STAYS] * (3 if start == 1 else 2)
    assert warned(caplog) == [(LEAVES, ("uninstall", "talvex-ext-gone", 3, "ERROR: uninstall-no-record-file")),
                              (LEAVES, ("install", PKG, 3, withdrawn))]
    assert dropped == [("uninstall", "talvex-ext-gone", "ERROR: uninstall-no-record-file"), ("install", PKG, withdrawn)]
    assert not pending_file.exists() and not pending_file.with_name(pending_file.name + ".failed-starts").exists()
    assert len(installer.calls) == 3 + 3 + 2
    assert ww.process_pending_operations() == [] and len(installer.calls) == 8


def test_start_that_never_finished_counts(ww, installer, pending_file, monkeypatch, caplog):
    queue(ww, caplog, ("install", PKG))
    for n in (1, 2, 3):  # three starts that were killed while the installer ran
        assert ww._count_starts([("install", PKG)], 1) == [n]
    dropped = []

    def callback(*args):
        dropped.append(args)
        raise RuntimeError("the dialog is gone")

    assert ww.process_pending_operations(on_dropped=callback) == [] and installer.calls == []
    assert dropped == [("install", PKG, "no result (the last start that tried it did not finish)")]
    assert warned(caplog) == [(LEAVES, ("install", PKG, 3, dropped[0][2]))]
    assert ("Dropped-change callback failed", True) in [(r.msg, bool(r.exc_info)) for r in caplog.records]
    assert not pending_file.exists()


def test_raising_change_counts_and_leaves_with_its_error(ww, installer, pending_file, monkeypatch, caplog):
    queue(ww, caplog, ("install", PKG))

    def explode(op, pkg, *, retry_seconds=None):
        raise OSError("disk gone")

    monkeypatch.setattr(ww, "_apply_deferred_op", explode)
    dropped = []
    for _ in range(3):
        ww.process_pending_operations(on_dropped=lambda *a: dropped.append(a))
    assert dropped == [("install", PKG, "OSError: disk gone")] and ww.pending_operations() == []


def test_replay_by_hand_counts_nothing(ww, installer, pending_file, caplog):
    queue(ww, caplog, ("install", PKG))
    installer.fail("ERROR: No matching distribution", times=5)
    for _ in range(5):
        assert ww.process_pending_operations(0, startup=False) == []
    assert ww.pending_operations() == [("install", PKG)] and ww._failed_starts()["install"] == {}
    assert [msg for msg, _ in warned(caplog)] == [STAYS] * 5


@pytest.mark.skipif(os.name == "nt", reason="the installer stand-in is a shell script")
def test_each_installer_run_keeps_to_the_start_budget(ww, pending_file, tmp_path, monkeypatch, caplog):
    slow = e2e.fake_uv(tmp_path, "slow-uv-bin", "exec sleep 30\n")  # a real run through the drivers
    monkeypatch.setenv("PATH", f"{slow}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setattr(ww, "_site_packages_roots", lambda: [])
    monkeypatch.setattr(ww, "_REPLAY_SECONDS", 1.0)
    queue(ww, caplog, ("install", PKG), ("install", "talvex-ext-late"))
    started = time.monotonic()
    assert ww.process_pending_operations() == []
    assert time.monotonic() - started < 10
    [(msg, (op, pkg, error)), stopped] = warned(caplog)
    assert (msg, op, pkg) == (STAYS, "install", PKG) and re.fullmatch(r"timed out after (0\.\d|1\.0)s", error)
    assert stopped == (STOPPED, (1.0, 1, 2))
    assert ww._failed_starts()["install"] == {PKG: 1} and ww._RUN_DEADLINE.get() is None
