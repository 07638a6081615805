import json
import logging
import types

import pytest

PKG = "talvex-ext-demo"
LOCKED = "ERROR: The process cannot access the file because it is being used by another process"


class Clock:
    def __init__(self):
        self.now = 100.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


@pytest.fixture
def clock(ww, monkeypatch):
    clock = Clock()
    monkeypatch.setattr(ww.time, "monotonic", clock.monotonic)
    monkeypatch.setattr(ww.time, "sleep", clock.sleep)
    return clock


class Installer:
    """Stands in for the drivers: hands out scripted results, records calls."""

    def __init__(self, ww, monkeypatch, clock):
        self.ww = ww
        self.calls = []
        self.results = []
        self.installed = True
        self.run_seconds = 0.0
        self.clock = clock
        monkeypatch.setattr(ww, "run_uninstall", self.uninstall)
        monkeypatch.setattr(ww, "run_install", self.install)
        monkeypatch.setattr(ww, "_dist_is_installed", lambda pkg: self.installed)
        self.cache_clears = []
        monkeypatch.setattr(ww, "_invalidate_import_caches", lambda: self.cache_clears.append(1))

    def _next(self):
        self.clock.now += self.run_seconds
        if self.results:
            return self.results.pop(0)
        return self.ww.PipResult(ok=True, command=("x",), returncode=0)

    def uninstall(self, pkg, *, defer_on_lock=True):
        self.calls.append(("uninstall", pkg, {"defer_on_lock": defer_on_lock}))
        return self._next()

    def install(self, pkg, *, upgrade=False, defer_on_lock=True):
        self.calls.append(("install", pkg, {"upgrade": upgrade, "defer_on_lock": defer_on_lock}))
        return self._next()

    def fail(self, stderr="", stdout="", times=1):
        for _ in range(times):
            self.results.append(self.ww.PipResult(ok=False, command=("x",), returncode=1,
                                                  stdout=stdout, stderr=stderr))


@pytest.fixture
def installer(ww, monkeypatch, clock, pending_file):
    return Installer(ww, monkeypatch, clock)


def records(caplog):
    return [(r.levelname, r.msg, r.args, bool(r.exc_info)) for r in caplog.records]


def test_empty_queue(ww, installer):
    progress = []
    assert ww.process_pending_operations(on_progress=lambda *a: progress.append(a)) == []
    assert progress == installer.calls == installer.cache_clears == []


def test_replays_uninstalls_then_installs(ww, installer, pending_file, caplog):
    ww.queue_pending_op("install", PKG)
    ww.queue_pending_op("uninstall", "talvex-ext-old")
    progress = []
    with caplog.at_level(logging.INFO, logger=ww.__name__):
        done = ww.process_pending_operations(None, lambda *a: progress.append(a))
    assert done == ["uninstall talvex-ext-old", f"install {PKG}"]
    assert progress == [(1, 2, "talvex-ext-old"), (2, 2, PKG)]
    assert installer.calls == [
        ("uninstall", "talvex-ext-old", {"defer_on_lock": False}),
        ("install", PKG, {"upgrade": True, "defer_on_lock": False}),
    ]
    assert not pending_file.exists()
    assert installer.cache_clears == [1]
    assert records(caplog) == [
        ("INFO", "Completed deferred %s of %s", ("uninstall", "talvex-ext-old"), False),
        ("INFO", "Completed deferred %s of %s", ("install", PKG), False),
    ]


def test_uninstall_of_package_already_gone_counts(ww, installer, pending_file):
    ww.queue_pending_op("uninstall", PKG)
    installer.fail("WARNING: Skipping talvex-ext-demo as it is not installed")
    installer.installed = False
    assert ww.process_pending_operations() == [f"uninstall {PKG}"]
    assert not pending_file.exists()


def test_failure_stays_queued(ww, installer, pending_file, caplog):
    ww.queue_pending_op("uninstall", PKG)
    ww.queue_pending_op("install", "talvex-ext-other")
    installer.fail("ERROR: uninstall-no-record-file", times=1)
    with caplog.at_level(logging.INFO, logger=ww.__name__):
        done = ww.process_pending_operations(retry_seconds=5)
    assert done == ["install talvex-ext-other"]
    assert len(installer.calls) == 2  # not a lock: no retry although time was left
    assert json.loads(pending_file.read_text()) == {"uninstall": [PKG], "install": []}
    assert records(caplog)[0] == (
        "WARNING",
        "Deferred %s of %s could not be applied and stays queued: %s",
        ("uninstall", PKG, "ERROR: uninstall-no-record-file"),
        False,
    )


def test_raising_operation_and_callback(ww, installer, pending_file, monkeypatch, caplog):
    ww.queue_pending_op("uninstall", PKG)
    ww.queue_pending_op("install", PKG)
    real_apply = ww._apply_deferred_op

    def apply(op, pkg, *, retry_seconds=None):
        if op == "uninstall":
            raise OSError("disk gone")
        return real_apply(op, pkg, retry_seconds=retry_seconds)

    def callback(index, total, pkg):
        raise ValueError("ui closed")

    monkeypatch.setattr(ww, "_apply_deferred_op", apply)
    with caplog.at_level(logging.DEBUG, logger=ww.__name__):
        assert ww.process_pending_operations(on_progress=callback) == [f"install {PKG}"]
    assert json.loads(pending_file.read_text()) == {"uninstall": [PKG], "install": []}
    assert records(caplog) == [
        ("DEBUG", "Progress callback failed", (), True),
        ("WARNING", "Deferred %s of %s raised", ("uninstall", PKG), True),
        ("DEBUG", "Progress callback failed", (), True),
        ("INFO", "Completed deferred %s of %s", ("install", PKG), False),
    ]


@pytest.mark.parametrize("retry_seconds", [None, 0, 2.5])
def test_budget_passed_through(ww, installer, monkeypatch, retry_seconds):
    ww.queue_pending_op("install", PKG)
    seen = []
    monkeypatch.setattr(ww, "_apply_deferred_op",
                        lambda op, pkg, **kw: seen.append(kw) or (False, "e"))
    assert ww.process_pending_operations(retry_seconds) == []
    assert seen == [{"retry_seconds": retry_seconds}]
    assert installer.cache_clears == []


def test_zero_budget_single_attempt(ww, installer, clock, caplog):
    installer.fail(LOCKED, stdout="ignored")
    with caplog.at_level(logging.INFO, logger=ww.__name__):
        assert ww._apply_deferred_op("install", PKG, retry_seconds=0) == (False, LOCKED)
    assert len(installer.calls) == 1
    assert clock.sleeps == [] and caplog.records == []


def test_lock_retried_until_deadline(ww, installer, clock, caplog):
    installer.fail(LOCKED, times=10)
    with caplog.at_level(logging.INFO, logger=ww.__name__):
        done, error = ww._apply_deferred_op("uninstall", PKG, retry_seconds=2)
    # attempts at t+0, t+1, t+2; the last one finds the deadline reached
    assert (done, error) == (False, LOCKED)
    assert len(installer.calls) == 3
    assert clock.sleeps == [1.0, 1.0]
    retry = "Deferred %s of %s is still locked (previous instance shutting down?); retrying"
    assert records(caplog) == [("INFO", retry, ("uninstall", PKG), False)] * 2


def test_lock_released_during_retries(ww, installer, clock, monkeypatch):
    monkeypatch.setattr(ww, "_RETRY_SECONDS", 3.0)
    monkeypatch.setattr(ww, "_RETRY_INTERVAL", 0.25)
    installer.fail(LOCKED, times=2)
    assert ww._apply_deferred_op("install", PKG) == (True, "")
    assert clock.sleeps == [0.25, 0.25]
    assert [c[2] for c in installer.calls] == [{"upgrade": True, "defer_on_lock": False}] * 3


def test_slow_attempt_uses_up_the_budget(ww, installer, clock):
    installer.run_seconds = 20.0
    installer.fail(stdout=LOCKED, times=3)
    assert ww._apply_deferred_op("install", PKG) == (False, LOCKED)
    assert len(installer.calls) == 1


def test_failure_without_output(ww, installer):
    installer.fail("   ")
    assert ww._apply_deferred_op("install", PKG) == (False, "unknown error")


def test_invalidate_import_caches(ww, monkeypatch, caplog):
    calls = []
    monkeypatch.setattr(ww.importlib, "invalidate_caches", lambda: calls.append("importlib"))
    cache = {"x": None}
    monkeypatch.setattr(ww, "sys", types.SimpleNamespace(path_importer_cache=cache))
    assert ww._invalidate_import_caches() is None
    assert calls == ["importlib"] and cache == {}


def test_invalidate_import_caches_failures_are_independent(ww, monkeypatch, caplog):
    class Broken:
        def clear(self):
            raise RuntimeError("no")

    def fail():
        raise RuntimeError("finder broke")

    monkeypatch.setattr(ww, "importlib", types.SimpleNamespace(invalidate_caches=fail))
    monkeypatch.setattr(ww, "sys", types.SimpleNamespace(path_importer_cache=Broken()))
    with caplog.at_level(logging.DEBUG, logger=ww.__name__):
        assert ww._invalidate_import_caches() is None
    assert records(caplog) == [
        ("DEBUG", "importlib.invalidate_caches failed", (), True),
        ("DEBUG", "Clearing the path importer cache failed", (), True),
    ]
