import json
import logging

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


def test_unwritable_location(ww, tmp_path, monkeypatch, log):
    blocker = tmp_path / "blocker"
    blocker.write_text("not a directory")
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", str(blocker / "pending.json"))
    assert ww.queue_pending_op("install", "talvex-ext-demo") is True
    assert warnings(log) == ["Could not update %s: %s"]
    assert isinstance(log.records[0].args[1], OSError)


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
        assert ww.queue_pending_op("uninstall", "talvex-ext-other") is True
    assert pending_file.read_bytes() == ONE_INSTALL
    assert warnings(log) == ["Could not update %s: %s"]


def test_temporary_file_synced_before_replace(ww, pending_file, monkeypatch):
    events = []
    real_fsync, real_replace = ww.os.fsync, ww.os.replace
    monkeypatch.setattr(ww.os, "fsync", lambda fd: (events.append("fsync"), real_fsync(fd)))
    monkeypatch.setattr(ww.os, "replace",
                        lambda src, dst: (events.append((str(src), str(dst))), real_replace(src, dst)))
    ww.queue_pending_op("install", "talvex-ext-demo")
    assert events == ["fsync", (str(pending_file) + ".tmp", str(pending_file))]


@pytest.mark.parametrize("op, verb", [("install", "updated"), ("uninstall", "removed"), ("upgrade", "changed")])
def test_deferred_result(ww, op, verb):
    failed = ww.PipResult(False, ("uv", "pip"), 1, "out", "Access is denied")
    result = ww._deferred_result(op, "talvex-ext-demo", failed)
    assert result == ww.PipResult(False, ("uv", "pip"), 1, "out", (
        f"'talvex-ext-demo' is in use by Talvex, so its files could not be {verb} now.\n\n"
        "Windows keeps a loaded extension module open, and Talvex has it loaded. The change "
        "has been queued and will finish automatically the next time Talvex starts."), True)
