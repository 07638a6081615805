import json
import logging

import pytest

EMPTY = {"uninstall": [], "install": []}


@pytest.fixture
def log(ww, caplog):
    caplog.set_level(logging.DEBUG, logger=ww.__name__)
    return caplog


def test_no_file_no_variable(ww, tmp_path, monkeypatch, log):
    monkeypatch.delenv("TALVEX_PENDING_OPS_FILE", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    assert ww._pending_ops_path() == tmp_path / ".talvex" / "pending-extension-ops.json"
    assert ww._read_ops() == EMPTY
    assert ww.pending_operations() == []
    assert log.records == []


def test_path_override(ww, tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", "  ~/q.json  ")
    assert ww._pending_ops_path() == tmp_path / "q.json"
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", "   ")
    assert ww._pending_ops_path() == tmp_path / ".talvex" / "pending-extension-ops.json"


def test_exact_bytes_through_queue_and_clear(ww, pending_file, log):
    assert ww.queue_pending_op(" Install ", "talvex-ext-demo[gui]>=1.0") is True
    assert pending_file.read_bytes() == (
        b'{\n "uninstall": [],\n "install": [\n  "talvex-ext-demo"\n ]\n}')
    assert [(r.msg, r.args) for r in log.records] == [
        ("Queued %s of %s for the next start", ("install", "talvex-ext-demo"))]

    assert ww.queue_pending_op("uninstall", "Talvex_Ext_Other") is True
    assert ww.queue_pending_op("install", "Caf\u00e9") is True
    expected = {"uninstall": ["talvex-ext-other"], "install": ["talvex-ext-demo", "caf\u00e9"]}
    assert pending_file.read_bytes() == json.dumps(expected, indent=1).encode()
    assert b"\\u00e9" in pending_file.read_bytes()
    assert not pending_file.with_name(pending_file.name + ".tmp").exists()

    ww.clear_pending_op("uninstall", "talvex.ext.other")
    ww.clear_pending_op("install", "caf\u00e9")
    assert pending_file.read_bytes() == (
        b'{\n "uninstall": [],\n "install": [\n  "talvex-ext-demo"\n ]\n}')
    ww.clear_pending_op("install", "Talvex_Ext_Demo")
    assert not pending_file.exists()


def test_repeat_queue_writes_nothing(ww, pending_file, monkeypatch, log):
    assert ww.queue_pending_op("install", "talvex-ext-demo")

    def no_write(ops):
        raise AssertionError("written")

    monkeypatch.setattr(ww, "_write_ops", no_write)
    log.clear()
    assert ww.queue_pending_op("INSTALL", "Talvex_Ext_Demo==2") is True
    ww.clear_pending_op("install", "not-queued")
    ww.clear_pending_op("uninstall", "talvex-ext-demo")
    assert log.records == []


@pytest.mark.parametrize("op,package", [("upgrade", "talvex-ext-demo"), ("install", "  "),
                                        (None, "x"), ("install", None), ("install", "[gui]")])
def test_unqueueable(ww, pending_file, op, package):
    assert ww.queue_pending_op(op, package) is False
    ww.clear_pending_op(op, package)
    assert not pending_file.exists()


def test_both_kinds_and_order(ww, pending_file):
    ww.queue_pending_op("install", "b")
    ww.queue_pending_op("install", "a")
    ww.queue_pending_op("uninstall", "a")
    assert ww.pending_operations() == [("uninstall", "a"), ("install", "b"), ("install", "a")]
    first = ww.pending_packages("install")
    assert first == ["b", "a"]
    first.append("c")
    assert ww.pending_packages("install") == ["b", "a"]
    assert ww.pending_packages("Install") == []
    assert ww.pending_packages(None) == []


@pytest.mark.parametrize("content,warned", [
    (b"[]", False),
    (b'{"install": "talvex-ext-demo", "uninstall": null}', False),
    (b"{", True),
    (b"", True),
    (b'\xef\xbb\xbf{"install": ["talvex-ext-demo"]}', True),
    (b'{"install": ["caf\xe9"]}', True),
    (b"\xff\xfe\x00\x00", True),
])
def test_odd_files_read_as_empty(ww, pending_file, log, content, warned):
    pending_file.write_bytes(content)
    assert ww._read_ops() == EMPTY
    assert ww.pending_operations() == []
    messages = [r.msg for r in log.records if r.levelno == logging.WARNING]
    assert messages == (["Ignoring unreadable pending-ops file"] * 2 if warned else [])


def test_lenient_read_normalises_and_deduplicates(ww, pending_file):
    pending_file.write_text(json.dumps({
        "install": ["Talvex_Ext_Demo", "talvex-ext-demo==1.2", 5, "", None, "B"],
        "upgrade": ["x"],
    }))
    assert ww._read_ops() == {"uninstall": [], "install": ["talvex-ext-demo", "b"]}
    # a write brings the stored file into canonical form
    ww.queue_pending_op("uninstall", "c")
    assert json.loads(pending_file.read_text()) == {
        "uninstall": ["c"], "install": ["talvex-ext-demo", "b"]}


def test_directory_in_place_of_file(ww, pending_file, log):
    pending_file.mkdir()
    assert ww._read_ops() == EMPTY
    assert log.records == []


def test_unwritable_location(ww, tmp_path, monkeypatch, log):
    blocker = tmp_path / "blocker"
    blocker.write_text("not a directory")
    target = blocker / "pending.json"
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", str(target))
    assert ww.queue_pending_op("install", "talvex-ext-demo") is True
    warnings = [r for r in log.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and warnings[0].msg == "Could not update %s: %s"
    assert warnings[0].args[0] == target and isinstance(warnings[0].args[1], OSError)
    assert blocker.read_text() == "not a directory"


@pytest.mark.parametrize("step", ["open", "fsync", "replace"])
def test_interrupted_write_keeps_previous_content(ww, pending_file, monkeypatch, log, step):
    ww.queue_pending_op("install", "talvex-ext-demo")
    before = pending_file.read_bytes()

    def fail(*args, **kwargs):
        raise OSError(5, "power cut")

    real_open = ww.Path.open

    def open_(self, *args, **kwargs):
        if self.name.endswith(".tmp"):
            fail()
        return real_open(self, *args, **kwargs)

    with monkeypatch.context() as patch:
        if step == "open":
            patch.setattr(ww.Path, "open", open_)
        else:
            patch.setattr(ww.os, step, fail)
        assert ww.queue_pending_op("uninstall", "talvex-ext-other") is True
    assert pending_file.read_bytes() == before
    assert ww.pending_operations() == [("install", "talvex-ext-demo")]
    assert [r.msg for r in log.records if r.levelno == logging.WARNING] == [
        "Could not update %s: %s"]


def test_temporary_file_synced_before_replace(ww, pending_file, monkeypatch):
    events = []
    real_fsync, real_replace = ww.os.fsync, ww.os.replace

    def fsync(fd):
        events.append("fsync")
        real_fsync(fd)

    def replace(src, dst):
        events.append(("replace", str(src), str(dst)))
        real_replace(src, dst)

    monkeypatch.setattr(ww.os, "fsync", fsync)
    monkeypatch.setattr(ww.os, "replace", replace)
    ww.queue_pending_op("install", "talvex-ext-demo")
    assert events == ["fsync", ("replace", str(pending_file) + ".tmp", str(pending_file))]


def test_write_ops_directly(ww, pending_file):
    ww._write_ops({"install": ["x"], "extra": ["y"]})
    assert json.loads(pending_file.read_text()) == {"uninstall": [], "install": ["x"]}
    ww._write_ops({"install": None, "uninstall": []})
    assert not pending_file.exists()
    ww._write_ops({})  # nothing to delete: no error
    assert not pending_file.exists()


def test_deferred_result(ww):
    failed = ww.PipResult(ok=False, command=("uv", "pip"), returncode=1,
                          stdout="out", stderr="Access is denied")
    result = ww._deferred_result("install", "talvex-ext-demo", failed)
    assert (result.ok, result.deferred) == (False, True)
    assert (result.command, result.returncode, result.stdout) == (("uv", "pip"), 1, "out")
    assert result.stderr == (
        "'talvex-ext-demo' is in use by Talvex, so its files could not be updated now.\n\n"
        "Windows keeps a loaded extension module open, and Talvex has it loaded. The change "
        "has been queued and will finish automatically the next time Talvex starts.")
    assert "removed now." in ww._deferred_result("uninstall", "p", failed).stderr
    assert "could not be changed now." in ww._deferred_result("upgrade", "p", failed).stderr
    assert ww._deferred_result("install", 7, failed).stderr.startswith("'7' is in use")
