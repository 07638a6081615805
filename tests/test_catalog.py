"""The extension catalog read from the package index's simple index and project documents."""

import concurrent.futures
import inspect
import logging
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from test_index_client import IndexServer, origin, server  # noqa: F401  (shared fixtures)

ACCEPT = "application/vnd.pypi.simple.v1+json"


def simple_doc(*names):
    return {"meta": {"api-version": "1.1"}, "projects": [{"name": n} for n in names]}


def project_doc(name, version="1.0", summary="s", **extra):
    return {"info": {"name": name, "version": version, "summary": summary, **extra}, "urls": []}


@pytest.fixture
def fake_index(ww, monkeypatch):
    """Replaces the JSON client: the simple index answers `doc`, projects answer from
    `projects` (a callable or a dict; missing projects raise), every call is recorded."""

    class Index:
        doc, projects, calls = None, {}, []

    def fake_http_json(url, *, timeout, headers=None):
        Index.calls.append((url, timeout, headers))
        if url.endswith("/simple/"):
            return Index.doc
        name = url.rsplit("/", 2)[-2]
        return Index.projects(name) if callable(Index.projects) else Index.projects[name]

    monkeypatch.setattr(ww, "_http_json", fake_http_json)
    return Index


@pytest.fixture
def pools(monkeypatch):
    """Records the worker count and the submitted callables of every pool."""
    created = []

    class RecordingPool(concurrent.futures.ThreadPoolExecutor):
        def __init__(self, max_workers=None, **kwargs):
            created.append({"workers": max_workers, "submitted": []})
            super().__init__(max_workers=max_workers, **kwargs)

        def submit(self, fn, *args, **kwargs):
            created[-1]["submitted"].append((fn, args))
            return super().submit(fn, *args, **kwargs)

    monkeypatch.setattr(concurrent.futures, "ThreadPoolExecutor", RecordingPool)
    return created


# --- end to end through HTTP -------------------------------------------------------


def test_listing_over_http(ww, server, origin):
    server.route("/simple/", simple_doc("talvex-ext-b", "Talvex-Ext-a", "talvex-ext-sdk",
                                        "talvex-extension-x", "numpy"))
    server.route("/pypi/talvex-ext-b/json", project_doc("talvex-ext-b", "2.0", "Bee", requires_dist=None))
    server.route("/pypi/Talvex-Ext-a/json", project_doc("Talvex_Ext_A", "1.5", None))

    a, b = ww.list_pypi_talvex_extensions()
    assert list(a.items()) == [
        ("id", "Talvex_Ext_A"), ("name", "A"), ("version", "1.5"), ("package", "Talvex_Ext_A"),
        ("description", ""), ("raw", {"name": "Talvex_Ext_A", "version": "1.5", "summary": None}),
    ]
    assert (b["id"], b["version"], b["description"], b["name"]) == ("talvex-ext-b", "2.0", "Bee", "B")
    simple_path, simple_headers = server.requests[0]
    assert simple_path == "/simple/" and simple_headers["Accept"] == ACCEPT
    assert simple_headers["User-Agent"].startswith("Talvex-Desktop/1.0")
    assert server.opened[0] == (f"{origin}/simple/", 45.0)
    assert sorted(server.opened[1:]) == [
        (f"{origin}/pypi/Talvex-Ext-a/json", 15.0), (f"{origin}/pypi/talvex-ext-b/json", 15.0)]


def test_failed_project_keeps_stub_at_its_position(ww, server, caplog):
    server.route("/simple/", simple_doc("talvex-ext-c", "talvex-ext-a", "talvex-ext-b"))
    server.route("/pypi/talvex-ext-a/json", project_doc("talvex-ext-a"))
    server.route("/pypi/talvex-ext-b/json", b"oops", status=500)
    server.route("/pypi/talvex-ext-c/json", {"info": "not an object"})

    with caplog.at_level(logging.DEBUG, logger=ww.logger.name):
        entries = ww.list_pypi_talvex_extensions()
    assert [(e["package"], e["version"]) for e in entries] == [
        ("talvex-ext-a", "1.0"), ("talvex-ext-b", ""), ("talvex-ext-c", "")]
    for stub in entries[1:]:
        assert stub["description"] == "" and stub["raw"] == {"name": stub["id"]}
    failure, = [r for r in caplog.records if r.msg == "PyPI metadata for %s failed: %s"]
    assert failure.args[0] == "talvex-ext-b"
    assert isinstance(failure.args[1], RuntimeError) and failure.exc_info is None


@pytest.mark.parametrize("body, status, message", [
    *[(body, 200, "^Unexpected PyPI simple index response$") for body in
      (b"[]", b'{"meta": {}}', b'{"projects": {"name": "talvex-ext-a"}}', b'"projects"')],
    (b"down", 503, r"^HTTP 503 for https://.*/simple/: down$"),
])
def test_simple_index_failures_reach_the_caller(ww, server, body, status, message):
    server.route("/simple/", body, status=status)
    with pytest.raises(RuntimeError, match=message):
        ww.list_pypi_talvex_extensions()


def test_concurrent_listings(ww, server):
    names = [f"talvex-ext-p{i:02d}" for i in range(12)]
    server.route("/simple/", simple_doc(*reversed(names), "other"))
    for n in names:
        server.route(f"/pypi/{n}/json", project_doc(n.upper(), n[-2:]))
    with concurrent.futures.ThreadPoolExecutor(6) as pool:
        futures = [pool.submit(ww.list_pypi_talvex_extensions, max_packages=0) for _ in range(6)]
        results = [f.result(timeout=60) for f in futures]
    expected = [(n.upper(), n[-2:]) for n in names]
    for entries in results:
        assert [(e["id"], e["version"]) for e in entries] == expected


# --- shape of the listing ----------------------------------------------------------


def test_stub_entries_without_metadata(ww, fake_index, pools):
    fake_index.doc = simple_doc("talvex_ext_y", " talvex-ext-x\n")
    stub = lambda pkg, name: {"id": pkg, "name": name, "version": "", "package": pkg,  # noqa: E731
                              "description": "", "raw": {"name": pkg}}
    assert ww.list_pypi_talvex_extensions(fetch_metadata=False) == [
        stub("talvex-ext-x", "X"), stub("talvex_ext_y", "Y")]
    (_, timeout, headers), = fake_index.calls  # the simple index only
    assert timeout == 45.0 and headers == {"Accept": ACCEPT}


def test_canonical_name_replaces_listed_name(ww, fake_index):
    fake_index.doc = simple_doc("talvex-ext-foo", "talvex-ext-bar")
    info = {"name": "Talvex_Ext_Foo", "version": 3, "summary": "Foo tool"}
    fake_index.projects = {"talvex-ext-foo": {"info": info}, "talvex-ext-bar": {"info": {"name": "  "}}}
    bar, foo = ww.list_pypi_talvex_extensions()
    assert foo == {"id": "Talvex_Ext_Foo", "name": "Foo", "version": "3", "package": "Talvex_Ext_Foo",
                   "description": "Foo tool", "raw": info}
    assert foo["raw"] is info
    assert bar["package"] == "talvex-ext-bar"  # blank name: listed one kept


def test_order_cap_and_duplicates(ww, fake_index):
    fake_index.doc = simple_doc("talvex-ext-b", "talvex-ext-A", "Talvex-Ext-a", "talvex-ext-a",
                                "talvex-ext-c", "talvex-ext-b")
    fake_index.projects = lambda name: project_doc(name)
    ids = lambda **kw: [e["id"] for e in ww.list_pypi_talvex_extensions(**kw)]  # noqa: E731
    everything = ["talvex-ext-A", "Talvex-Ext-a", "talvex-ext-a", "talvex-ext-b", "talvex-ext-b",
                  "talvex-ext-c"]
    assert ids(max_packages=0) == everything  # stable, case-insensitive, duplicates kept
    assert ids(max_packages=-3) == everything
    assert ids(max_packages=2.9) == everything[:2]
    fake_index.calls.clear()
    assert ids(max_packages=1) == ["talvex-ext-A"]
    assert [c[0].rsplit("/", 2)[-2] for c in fake_index.calls[1:]] == ["talvex-ext-A"]


ODD_ROWS = [{"name": "numpy"}, "talvex-ext-str", {"name": None}, {}, 7, {"name": "talvex-ext-sdk"}]


@pytest.mark.parametrize("count, workers", [(0, []), (1, [1]), (3, [3]), (8, [8]), (20, [8])])
def test_worker_count(ww, fake_index, pools, count, workers):
    rows = [{"name": f"talvex-ext-{i:02d}"} for i in range(count)]
    fake_index.doc = {"projects": ODD_ROWS + rows}  # odd and hidden rows are skipped
    assert len(ww.list_pypi_talvex_extensions(fetch_metadata=False)) == count
    assert [p["workers"] for p in pools] == workers  # nothing visible starts no pool


def test_nested_entry_function(ww, fake_index, pools):
    fake_index.doc = simple_doc("talvex-ext-a", "talvex-ext-b")
    ww.list_pypi_talvex_extensions(fetch_metadata=False)
    submitted = pools[0]["submitted"]
    assert [args for _, args in submitted] == [("talvex-ext-a",), ("talvex-ext-b",)]
    fn = submitted[0][0]
    assert fn is submitted[1][0] and not hasattr(ww, "_meta_entry")
    assert (fn.__name__, fn.__qualname__, fn.__doc__) == (
        "_meta_entry", "list_pypi_talvex_extensions.<locals>._meta_entry", None)
    assert str(inspect.signature(fn)) == "(pkg: 'str') -> 'dict[str, Any]'"
    ww.list_pypi_talvex_extensions(fetch_metadata=False)
    assert pools[1]["submitted"][0][0] is not fn  # made afresh by every call


@pytest.mark.parametrize("timeout, per_project", [(45.0, 15.0), (3, 5.0), (120, 20.0), (16.5, 5.5)])
def test_per_project_timeout(ww, fake_index, timeout, per_project):
    fake_index.doc = simple_doc("talvex-ext-a")
    fake_index.projects = lambda name: project_doc(name)
    ww.list_pypi_talvex_extensions(timeout=timeout)
    assert [call[1:] for call in fake_index.calls] == [(timeout, {"Accept": ACCEPT}), (per_project, None)]


def test_entry_failure_outside_fetch_becomes_stub(ww, fake_index, monkeypatch, caplog):
    fake_index.doc = simple_doc("talvex-ext-a", "talvex-ext-b")
    fake_index.projects = lambda name: project_doc(name, "9")
    real_title, main = ww.display_name_from_pypi_package, threading.current_thread()

    def title(package):
        if threading.current_thread() is not main and package == "talvex-ext-b":
            raise ValueError("title failed in worker")
        return real_title(package)

    monkeypatch.setattr(ww, "display_name_from_pypi_package", title)
    with caplog.at_level(logging.DEBUG, logger=ww.logger.name):
        entries = ww.list_pypi_talvex_extensions()
    assert [(e["version"], e["name"]) for e in entries] == [("9", "A"), ("", "B")]
    (record,) = [r for r in caplog.records if r.msg == "PyPI catalog entry failed for %s: %s"]
    assert record.args[0] == "talvex-ext-b" and isinstance(record.args[1], ValueError)


def test_interrupting_exceptions_are_not_swallowed(ww, fake_index):
    fake_index.doc = simple_doc("talvex-ext-a")

    def interrupted(name):
        raise KeyboardInterrupt

    fake_index.projects = interrupted
    with pytest.raises(KeyboardInterrupt):
        ww.list_pypi_talvex_extensions()


# --- the name filter: module functions honoured, fast evaluation identical ---------


def reference_names(ww, projects, prefix):
    """The filter and sort as the module's own functions define them."""
    visible = ww.is_user_visible_extension_package
    names = [str(p.get("name") or "").strip() for p in projects if isinstance(p, dict)]
    return sorted((name for name in names if visible(name, prefix=prefix)), key=str.lower)


def listed(ww, fake_index, projects, prefix="talvex-ext-"):
    fake_index.doc = {"projects": projects}
    return [e["id"] for e in ww.list_pypi_talvex_extensions(prefix=prefix, fetch_metadata=False, max_packages=0)]


class OddDict(dict):
    def get(self, key, default=None):
        return "talvex-ext-odd" if key == "name" else default


name_parts = st.sampled_from(
    ["talvex", "Talvex", "TALVEX", "ext", "EXT", "extension", "sdk", "SDK", "extras", "viewer", "x",
     "-", "_", ".", " ", "--", "_.", "\t", "\x1c", "\u2003", "\u00e9", "\u0130", "\u00df", "\ud800", "7"]
)
names = st.one_of(st.lists(name_parts, max_size=7).map("".join), st.text(max_size=12))
projects = st.lists(
    st.one_of(
        names.map(lambda n: {"name": n}),
        st.sampled_from([{"name": None}, {"name": 0}, {"name": 5}, {}, "talvex-ext-s", None, OddDict()]),
    ),
    max_size=25,
)
prefixes = st.sampled_from(["talvex-ext-", "", "Talvex_Ext", "talvex-ext-v", "talvex", "\u00e9", "  "])


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(projects=projects, prefix=prefixes)
def test_filter_matches_module_functions(ww, fake_index, monkeypatch, projects, prefix):
    expected = reference_names(ww, projects, prefix)
    assert listed(ww, fake_index, projects, prefix) == expected
    original = ww.is_user_visible_extension_package
    with monkeypatch.context() as m:
        # A wrapper with the same answers: the listing must not depend on which is bound.
        m.setattr(ww, "is_user_visible_extension_package", lambda name, *, prefix: original(name, prefix=prefix))
        assert listed(ww, fake_index, projects, prefix) == expected


REPLACED = [  # (module attribute, replacement, names then listed)
    (None, None, ["talvex-ext-a", "Talvex_Ext_B"]),
    ("_normalize_dist_name", lambda name: str(name).lower(), ["talvex-ext-a"]),  # no folding
    ("normalize_pypi_name", lambda name: "talvex-ext-" + str(name), ["talvex-ext-a", "talvex-ext-sdk"]),
    ("is_user_visible_extension_package", lambda name, *, prefix: name.startswith("acme"), ["acme-c"]),
    ("_HIDDEN_EXTENSION_PACKAGES", frozenset({"talvex-ext-a"}), ["talvex-ext-sdk", "Talvex_Ext_B"]),
    ("_HIDDEN_EXTENSION_PACKAGES", ["talvex-ext-b"], ["talvex-ext-a", "talvex-ext-sdk"]),
]


@pytest.mark.parametrize("attr, replacement, expected", REPLACED)
def test_replaced_name_functions_are_honoured(ww, fake_index, monkeypatch, attr, replacement, expected):
    if attr:
        monkeypatch.setattr(ww, attr, replacement)
    names = ["talvex-ext-a", "Talvex_Ext_B", "talvex-ext-sdk", "acme-c", "talvex-extension-d"]
    assert listed(ww, fake_index, [{"name": n} for n in names]) == expected


def test_hidden_set_that_is_no_set(ww, fake_index, monkeypatch):
    monkeypatch.setattr(ww, "_HIDDEN_EXTENSION_PACKAGES", None)
    with pytest.raises(TypeError):
        listed(ww, fake_index, [{"name": "talvex-ext-a"}])
    assert listed(ww, fake_index, [{"name": "_-."}, {"name": "--"}]) == []  # empty keys stop first
