"""Regressions: lazy `or` chains when reading host records, and the unpacking
of replay results inside the guarded call."""

import logging

import pytest


class _Row:
    """A catalog row whose fallback attributes must not be read."""

    repository = "https://example.invalid/files/talvex_ext_q-1.0.whl"
    name = "Viewer"

    @property
    def homepage(self):
        raise ValueError("homepage must not be read when repository is set")

    @property
    def id(self):
        raise ValueError("id must not be read when name is set")


class _Info:
    entry_point = None
    instance = None
    path = None
    path_name = ""
    name = "My Ext"

    @property
    def id(self):
        raise ValueError("id must not be read when name is set")


class _LookupDict(dict):
    """A dict row that records which keys were asked for."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.asked = []

    def get(self, key, default=None):
        self.asked.append(key)
        return super().get(key, default)


def test_fallback_fields_are_read_only_when_needed(ww):
    assert ww.pypi_package_for_available(_Row()) == "talvex_ext_q"
    assert ww.pypi_package_for_info(_Info()) == "my-ext"

    row = _LookupDict(downloadurl="https://example.invalid/talvex_ext_z.zip", name="N")
    assert ww.pypi_package_for_available(row) == "talvex-ext-z"
    assert "repository" not in row.asked

    row = _LookupDict(name="Viewer 3D")
    assert ww.pypi_package_for_available(row) == "talvex-ext-viewer-3d"
    assert "id" not in row.asked


def test_installed_list_reads_lower_case_name_only_as_fallback(ww, monkeypatch):
    class Meta:
        def __init__(self, fields):
            self.fields = fields

        def get(self, key):
            if key == "name" and self.fields.get("Name"):
                raise AssertionError("fallback key read although Name is set")
            return self.fields.get(key)

    class Dist:
        def __init__(self, fields, version):
            self.metadata = Meta(fields)
            self.version = version

    dists = [Dist({"Name": "Talvex_Ext_A"}, "1.0"), Dist({"name": "talvex-ext-b"}, "2.0")]
    monkeypatch.setattr(ww.importlib.metadata, "distributions", lambda: iter(dists))
    assert ww.list_installed_talvex_ext_packages() == {"talvex-ext-a": "1.0", "talvex-ext-b": "2.0"}


@pytest.mark.parametrize("outcome", [(True,), (True, "", "extra"), 7])
def test_malformed_replay_result_is_logged_and_stays_queued(ww, pending_file, monkeypatch, caplog, outcome):
    ww.queue_pending_op("install", "talvex-ext-demo")
    monkeypatch.setattr(ww, "_apply_deferred_op", lambda op, pkg, *, retry_seconds=None: outcome)
    with caplog.at_level(logging.DEBUG, logger=ww.logger.name):
        assert ww.process_pending_operations(0) == []
    raised = [r for r in caplog.records if r.msg == "Deferred %s of %s raised"]
    assert len(raised) == 1 and raised[0].exc_info is not None
    assert ww.pending_operations() == [("install", "talvex-ext-demo")]


def test_queue_entries_unpack_like_pairs(ww, monkeypatch):
    monkeypatch.setattr(ww, "pending_operations", lambda: [("install", "a", "b")])
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        ww.process_pending_operations(0)
    monkeypatch.setattr(ww, "pending_operations", lambda: [5])
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        ww.process_pending_operations(0)
