import contextlib
import json
import logging
import os
import threading
import time
from pathlib import Path

import pytest

EMPTY = {"uninstall": [], "install": []}
ONE_INSTALL = b'{\n "uninstall": [],\n "install": [\n  "talvex-ext-demo"\n ]\n}'


@pytest.fixture
def log(ww, caplog):
    caplog.set_level(logging.DEBUG, logger=ww.__name__)
    return caplog


def warnings(log):
    return [r.msg for r in log.records if r.levelno == logging.WARNING]


UNREADABLE = ["Ignoring unreadable pending-ops file"]


def test_location(ww, tmp_path, monkeypatch, log):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("USERPROFILE", str(tmp_path))  # the home directory on Windows
    monkeypatch.delenv("TALVEX_PENDING_OPS_FILE", raising=False)
    default = tmp_path / ".talvex" / "pending-extension-ops.json"
    assert ww._pending_ops_path() == default
    assert ww._read_ops() == EMPTY and ww.pending_operations() == [] and log.records == []
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", "  ~/q.json  ")
    assert ww._pending_ops_path() == tmp_path / "q.json"
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", "   ")
    assert ww._pending_ops_path() == default


def test_exact_bytes_through_queue_and_clear(ww, pending_file, monkeypatch, log):
    assert ww.queue_pending_op(" Install ", "talvex-ext-demo[gui]>=1.0") is True
    assert pending_file.read_bytes() == ONE_INSTALL
    assert [(r.msg, r.args) for r in log.records] == [
        ("Queued %s of %s for the next start", ("install", "talvex-ext-demo"))]

    assert ww.queue_pending_op("uninstall", "Talvex_Ext_Other") is True
    assert ww.queue_pending_op("install", "Caf\u00e9") is True
    expected = {"uninstall": ["talvex-ext-other"], "install": ["talvex-ext-demo", "caf\u00e9"]}
    assert pending_file.read_bytes() == json.dumps(expected, indent=1).encode()
    assert not pending_file.with_name(pending_file.name + ".tmp").exists()

    # nothing changes, so nothing is written or logged
    log.clear()
    with monkeypatch.context() as patch:
        patch.setattr(ww, "_write_ops", None)
        assert ww.queue_pending_op("INSTALL", "Talvex_Ext_Demo==2") is True
        ww.clear_pending_op("install", "not-queued")
    assert log.records == []

    ww.clear_pending_op("uninstall", "talvex.ext.other")
    ww.clear_pending_op("install", "caf\u00e9")
    assert pending_file.read_bytes() == ONE_INSTALL
    ww.clear_pending_op("install", "Talvex_Ext_Demo")
    assert not pending_file.exists()


@pytest.mark.parametrize("op,package", [("upgrade", "talvex-ext-demo"), ("install", "  "),
                                        (None, "x"), ("install", "[gui]")])
def test_unqueueable(ww, pending_file, op, package):
    assert ww.queue_pending_op(op, package) is False
    ww.clear_pending_op(op, package)
    assert not pending_file.exists()


def test_order_and_copies(ww, pending_file):
    for op, pkg in [("install", "b"), ("install", "a"), ("uninstall", "a")]:
        ww.queue_pending_op(op, pkg)
    assert ww.pending_operations() == [("uninstall", "a"), ("install", "b"), ("install", "a")]
    ww.pending_packages("install").append("c")
    assert ww.pending_packages("install") == ["b", "a"]
    assert ww.pending_packages("Install") == ww.pending_packages(None) == []


@pytest.mark.parametrize("content, warned", [
    (b"[]", []), (b'{"install": "talvex-ext-demo", "uninstall": null}', []),
    (b"{", UNREADABLE), (b'\xef\xbb\xbf{"install": ["talvex-ext-demo"]}', UNREADABLE),
    (b'{"install": ["caf\xe9"]}', UNREADABLE), (b"\xff\xfe\x00\x00", UNREADABLE),
])
def test_odd_files_read_as_empty(ww, pending_file, log, content, warned):
    pending_file.write_bytes(content)
    assert ww.pending_operations() == [] and warnings(log) == warned


def test_lenient_read_normalises_and_deduplicates(ww, pending_file):
    pending_file.write_text(json.dumps({
        "install": ["Talvex_Ext_Demo", "talvex-ext-demo==1.2", 5, "", None, "B"],
        "upgrade": ["x"],
    }))
    assert ww._read_ops() == {"uninstall": [], "install": ["talvex-ext-demo", "b"]}


def leftovers(directory, name):
    """Files beside the queue file other than the file itself and its lock file."""
    return sorted(p.name for p in directory.iterdir() if p.name not in (name, name + ".lock"))


@pytest.mark.parametrize("step", ["write_text", "open", "fsync", "replace"])
def test_interrupted_write_keeps_previous_content(ww, pending_file, monkeypatch, log, step):
    ww.queue_pending_op("install", "talvex-ext-demo")
    real_open = ww.Path.open

    def fail(*args, **kwargs):
        raise OSError(5, "power cut")

    def open_(self, *args, **kwargs):
        return fail() if self.name.endswith(".tmp") else real_open(self, *args, **kwargs)

    with monkeypatch.context() as patch:
        if step in ("write_text", "open"):
            patch.setattr(ww.Path, step, open_ if step == "open" else fail)
        else:
            patch.setattr(ww.os, step, fail)
        # Not on disk, so not reported as queued; the temporary file is gone.
        assert ww.queue_pending_op("uninstall", "talvex-ext-other") is False
    assert pending_file.read_bytes() == ONE_INSTALL
    assert warnings(log) == ["Could not update %s: %s"]
    assert [r.msg for r in log.records].count("Queued %s of %s for the next start") == 1
    assert leftovers(pending_file.parent, pending_file.name) == []


def test_private_temporary_file_synced_before_replace(ww, pending_file, monkeypatch):
    events = []
    real_fsync, real_replace = ww.os.fsync, ww.os.replace
    monkeypatch.setattr(ww.os, "fsync", lambda fd: (events.append("fsync"), real_fsync(fd)))
    monkeypatch.setattr(ww.os, "replace",
                        lambda src, dst: (events.append((str(src), str(dst))), real_replace(src, dst)))
    # A leftover of an earlier version, even a directory of that name, is in nobody's way.
    pending_file.with_name(pending_file.name + ".tmp").mkdir()
    ww.queue_pending_op("install", "talvex-ext-demo")
    ww.queue_pending_op("install", "talvex-ext-other")
    [first, (tmp, dst), second, (tmp2, _)] = events
    assert first == second == "fsync" and dst == str(pending_file) and tmp != tmp2
    assert tmp.startswith(str(pending_file) + ".") and tmp.endswith(".tmp") and tmp != str(pending_file) + ".tmp"
    assert leftovers(pending_file.parent, pending_file.name) == [pending_file.name + ".tmp"]


@pytest.mark.skipif(os.name == "nt", reason="POSIX permissions")
def test_permissions_as_a_plain_write_makes_them(ww, pending_file):
    umask = os.umask(0o022)
    os.umask(umask)
    ww.queue_pending_op("install", "talvex-ext-demo")
    assert pending_file.stat().st_mode & 0o777 == 0o666 & ~umask
    pending_file.chmod(0o640)
    ww.queue_pending_op("install", "talvex-ext-other")
    assert pending_file.stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("busy_for", [2, 99])
@pytest.mark.parametrize("step", ["open", "replace"])
def test_file_held_by_another_program(ww, pending_file, monkeypatch, log, step, busy_for):
    # As a virus scanner holding the file on Windows: a moment is waited out; a file
    # that cannot be read is not overwritten with what little the change knows.
    ww.queue_pending_op("install", "talvex-ext-demo")
    real, refused = getattr(ww.Path, step) if step == "open" else ww.os.replace, []

    def busy(*args, **kwargs):
        if Path(args[0 if step == "open" else 1]).name == pending_file.name and len(refused) < busy_for:
            refused.append(step)
            raise PermissionError(13, "in use by another program")
        return real(*args, **kwargs)

    monkeypatch.setattr(ww.Path if step == "open" else ww.os, step, busy)
    monkeypatch.setattr(ww.time, "sleep", lambda seconds: None)
    stored = ww.queue_pending_op("uninstall", "talvex-ext-other")
    monkeypatch.undo()
    assert stored is (busy_for == 2) and len(refused) == min(busy_for, 10)
    assert (pending_file.read_bytes() == ONE_INSTALL) is not stored
    assert warnings(log) == ([] if stored else ["Could not update %s: %s"])
    assert leftovers(pending_file.parent, pending_file.name) == []


@pytest.mark.parametrize("op, verb", [("install", "updated"), ("uninstall", "removed"), ("upgrade", "changed")])
def test_deferred_result(ww, op, verb):
    failed = ww.PipResult(False, ("uv", "pip"), 1, "out", "Access is denied")
    result = ww._deferred_result(op, "talvex-ext-demo", failed)
    assert result == ww.PipResult(False, ("uv", "pip"), 1, "out", (
        f"'talvex-ext-demo' is in use by Talvex, so its files could not be {verb} now.\n\n"
        "Windows keeps a loaded extension module open, and Talvex has it loaded. The change "
        "has been queued and will finish automatically the next time Talvex starts."), True)


# --- hostile states of the queue path ----------------------------------------------------

PKG = "talvex-ext-demo"
NOT_REGULAR = "Ignoring pending-ops file that is not a regular file: %s"
NOT_STORED = "Could not update %s: %s"


def make_socket(path):
    import socket

    sock, cwd = socket.socket(socket.AF_UNIX), os.getcwd()
    os.chdir(path.parent)  # the test's directory may be too long a name for a socket
    try:
        sock.bind(path.name)
    finally:
        os.chdir(cwd)
    return sock


def symlink_with_entry(path):
    target = path.parent / "real" / "queue.json"
    target.parent.mkdir()
    target.write_text('{"uninstall": ["talvex-ext-old"]}')
    path.symlink_to(target)


# state: (set-up of the queue path, warnings of a read, stored, warnings of the queuing)
STATES = {
    "file where the directory should be": (
        lambda p: p.parent.write_text("x"), [], False, [NOT_STORED]),
    "directory at the path": (lambda p: p.mkdir(), [], False, [NOT_STORED]),
    "nested 10,000 levels deep": (
        lambda p: p.write_text("[" * 10000 + "]" * 10000), UNREADABLE, True, UNREADABLE),
    "FIFO": (lambda p: os.mkfifo(p), [NOT_REGULAR], False, [NOT_REGULAR, NOT_STORED, NOT_REGULAR]),
    "socket": (make_socket, [NOT_REGULAR], False, [NOT_REGULAR, NOT_STORED, NOT_REGULAR]),
    "symbolic link": (symlink_with_entry, [], True, []),
    "FIFO as the lock file": (
        lambda p: os.mkfifo(str(p) + ".lock"), [], True, ["Ignoring lock file that is not a regular file: %s"]),
    "directory as the lock file": (lambda p: os.mkdir(str(p) + ".lock"), [], True, []),
}


def kind_of_file(path):
    with contextlib.suppress(OSError):
        return os.lstat(path).st_mode
    return None


def without_hanging(fn, fifo, seconds=20):
    """fn() in a thread; a read stuck on a FIFO is released by opening its other end."""
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(fn()), daemon=True)
    thread.start()
    thread.join(seconds)
    if thread.is_alive():
        with contextlib.suppress(OSError):
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        thread.join(5)
        pytest.fail("the queue blocked on the file at its path")
    assert outcome, "raised (see the thread's traceback)"
    return outcome[0]


@pytest.mark.skipif(os.name == "nt", reason="FIFOs, sockets and symbolic links of POSIX")
@pytest.mark.parametrize("state", list(STATES))
def test_hostile_states(ww, tmp_path, monkeypatch, log, state):
    setup, read_warned, stored, queue_warned = STATES[state]
    path = tmp_path / ("blocker" if "directory should" in state else "") / "q.json"
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", str(path))
    monkeypatch.setattr(ww, "_apply_deferred_op", lambda op, pkg, **kw: (True, ""))
    kept = setup(path)  # noqa: F841 (a socket lives as long as its object)
    before = kind_of_file(path)

    read = without_hanging(ww.pending_operations, path)
    assert warnings(log) == read_warned
    log.clear()
    assert without_hanging(lambda: ww.queue_pending_op("install", PKG), path) is stored
    assert warnings(log) == queue_warned
    queued = without_hanging(ww.pending_operations, path)
    assert ((("install", PKG) in queued) is stored) and ("Queued %s of %s for the next start" in
                                                          [r.msg for r in log.records]) is stored
    done = without_hanging(ww.process_pending_operations, path)
    assert done == [f"{op} {pkg}" for op, pkg in queued]
    assert without_hanging(ww.pending_operations, path) == []

    if state == "symbolic link":
        assert read == [("uninstall", "talvex-ext-old")] and path.is_symlink()
        assert not path.resolve().exists()  # the emptied queue deleted the file, not the link
        # Temporary and lock file beside the target, none left behind.
        assert sorted(os.listdir(tmp_path)) == ["q.json", "real"]
        assert os.listdir(tmp_path / "real") == ["queue.json.lock"]
    elif not stored:
        assert kind_of_file(path) == before  # left exactly as it was


@pytest.mark.skipif(os.name == "nt", reason="holds the lock with flock")
@pytest.mark.parametrize("held_for, bound, warned", [(0.3, 5.0, False), (30.0, 0.3, True)])
def test_lock_wait_is_bounded(ww, pending_file, monkeypatch, log, held_for, bound, warned):
    import fcntl

    monkeypatch.setattr(ww, "_PENDING_LOCK_SECONDS", bound)
    fd = os.open(str(pending_file) + ".lock", os.O_RDWR | os.O_CREAT)
    fcntl.flock(fd, fcntl.LOCK_EX)
    released = []
    release = threading.Timer(held_for, lambda: released.append(os.close(fd)))
    release.start()
    try:
        began = time.monotonic()
        assert ww.queue_pending_op("install", PKG) is True
        waited = time.monotonic() - began
    finally:
        release.cancel()
        release.join()
        if not released:
            os.close(fd)
    assert min(held_for, bound) <= waited < min(held_for, bound) + 2
    assert ww.pending_operations() == [("install", PKG)]
    assert warnings(log) == (["Could not lock %s within %s seconds; changing the pending-ops file anyway"]
                             if warned else [])


# --- failed starts, kept beside the queue file ---------------------------------------------


def starts_file(pending_file):
    return pending_file.with_name(pending_file.name + ".failed-starts")


def test_failed_starts_beside_an_unchanged_queue_file(ww, pending_file, log):
    ww.queue_pending_op("install", PKG)
    assert ww._count_starts([("install", "Talvex_Ext_Demo")], 1) == [1]
    # Nothing is counted for a change that is not queued.
    assert ww._count_starts([("INSTALL ", PKG), ("uninstall", PKG), ("upgrade", PKG), ("install", "")], 1) == [
        2, 0, 0, 0]
    assert pending_file.read_bytes() == ONE_INSTALL  # the queue keeps its layout for every reader
    assert starts_file(pending_file).read_bytes() == json.dumps(
        {"uninstall": {}, "install": {PKG: 2}}, indent=1).encode()
    assert ww._failed_starts() == {"uninstall": {}, "install": {PKG: 2}}
    assert ww._count_starts([("install", PKG)], -1) == [1] and ww._count_starts([("install", PKG)], -5) == [0]
    assert ww._failed_starts() == {"uninstall": {}, "install": {}} and not starts_file(pending_file).exists()
    ww._count_starts([("install", PKG)], 2)

    # Queued anew after it left, a change starts from nothing.
    ww.queue_pending_op("install", "talvex-ext-other")
    ww.clear_pending_op("install", PKG)
    assert ww._failed_starts() == {"uninstall": {}, "install": {}}
    ww.queue_pending_op("install", PKG)
    assert ww._count_starts([("install", PKG)], 1) == [1]
    # The counts go with the last queued change.
    ww.clear_pending_op("install", PKG)
    ww.clear_pending_op("install", "talvex-ext-other")
    assert not pending_file.exists() and not starts_file(pending_file).exists()
    assert warnings(log) == []


@pytest.mark.parametrize("content, warned", [
    (b"{", ["Ignoring unreadable failed-starts file %s"]), (b"\xff", ["Ignoring unreadable failed-starts file %s"]),
    (b"[1]", []), (b'{"install": {"talvex-ext-demo": "2"}, "uninstall": []}', []),
    (b'{"install": {"talvex-ext-demo": true}}', []), (b'{"install": {"talvex-ext-demo": -4}}', []),
])
def test_odd_failed_starts_files_count_nothing(ww, pending_file, log, content, warned):
    ww.queue_pending_op("install", PKG)
    starts_file(pending_file).write_bytes(content)
    assert ww._failed_starts() == {"uninstall": {}, "install": {}} and warnings(log) == warned
    assert ww._count_starts([("install", PKG)], 1) == [1]  # and the next write puts it right


def test_failed_starts_that_cannot_be_written(ww, pending_file, log):
    ww.queue_pending_op("install", PKG)
    starts_file(pending_file).mkdir()
    assert ww._count_starts([("install", PKG)], 1) == [1]
    assert warnings(log) == ["Could not update %s: %s"] and starts_file(pending_file).is_dir()


def test_large_queue_reads_in_queue_order(ww, pending_file):
    names = [f"talvex-ext-p{i}" for i in range(20000)]
    spellings = [n.replace("-", "_").upper() for n in names[::-1]]  # the same packages again
    pending_file.write_text(json.dumps({"install": names + spellings, "uninstall": names[:3]}))
    assert ww._read_ops() == {"uninstall": names[:3], "install": names}
    assert ww.queue_pending_op("install", "talvex-ext-new")
    ww.clear_pending_op("install", names[0])
    assert ww.pending_packages("install") == names[1:] + ["talvex-ext-new"]
