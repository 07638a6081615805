import logging
import platform
import sys
import types

import pytest


def make_dist(root, folder, name, requires=()):
    (root / folder).mkdir()
    lines = ["Metadata-Version: 2.1", f"Name: {name}", "Version: 1.0", *(f"Requires-Dist: {r}" for r in requires)]
    (root / folder / "METADATA").write_text("\n".join(lines) + "\n")


@pytest.fixture
def site(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    return tmp_path


def fake_importlib(distribution):
    not_found = type("PackageNotFoundError", (ModuleNotFoundError,), {})
    meta = types.SimpleNamespace(PackageNotFoundError=not_found, distribution=lambda n: distribution(n, not_found))
    return types.SimpleNamespace(metadata=meta)


@pytest.mark.parametrize("text, name", [
    ("cupy-cuda13x<14,>=13.0", "cupy-cuda13x"), ("Foo.Bar_baz [x] >= 1", "foo-bar-baz"),
    ("  scipy ; python_version > '3'", "scipy"), ("  ", ""), (None, ""), ("-foo", ""), ("é", ""),
])
def test_requirement_name(ww, text, name):
    assert ww._requirement_name(text) == name


SYSTEM = platform.system()  # "Linux", "Windows": never all lower case


@pytest.mark.parametrize("text, allowed, without_packaging", [
    ("numpy>=1.26", True, True), ('pytest; extra == "dev"', False, False),
    ("sphinx; python_version >= '3' and EXTRA == 'docs'", False, False), ("foo;", True, True),
    ("foo ;  ", True, True), ("foo; not a marker ((", False, False), ("foo; python_version < '3.0'", False, False),
    ("foo; python_version >= '3.0'", True, False),
    # evaluated as written, not lower-cased
    (f"pywin32; platform_system == '{SYSTEM}'", True, False),
    (f"pywin32; platform_system == '{SYSTEM.lower()}'", False, False),
])
def test_marker_allows_install(ww, monkeypatch, text, allowed, without_packaging):
    assert ww._marker_allows_install(text) is allowed
    monkeypatch.setitem(sys.modules, "packaging.markers", None)
    assert ww._marker_allows_install(text) is without_packaging


def test_dist_is_installed_with_real_metadata(ww, site):
    make_dist(site, "foo_bar-1.0.dist-info", "foo_bar")
    make_dist(site, "Baz.Qux-2.0.dist-info", "Baz.Qux")
    assert ww._dist_is_installed("Foo_Bar") is ww._dist_is_installed("foo.bar") is True
    assert ww._dist_is_installed("baz-qux") is True
    assert ww._dist_is_installed("talvex-no-such-dist") is False


@pytest.fixture
def http(ww, monkeypatch):
    state = types.SimpleNamespace(calls=[], answer=None)

    def fake_http_json(url, *, timeout, headers=None):
        state.calls.append((url, timeout))
        if isinstance(state.answer, Exception):
            raise state.answer
        return state.answer

    monkeypatch.setattr(ww, "_http_json", fake_http_json)
    return state


def test_requires_dist_local_then_index(ww, site, http, index_hosts):
    reqs = ["numpy>=1.26", 'pytest; extra == "dev"', "scipy"]
    make_dist(site, "talvex_ext_local-1.0.dist-info", "talvex-ext-local", reqs)
    assert ww._requires_dist_strings("talvex-ext-local[gui]>=1.0") == reqs
    assert http.calls == []

    make_dist(site, "talvex_ext_bare-1.0.dist-info", "talvex-ext-bare")
    http.answer = {"info": {"requires_dist": ["h5py", None, "", 5]}}
    assert ww._requires_dist_strings("Talvex_Ext_Bare==2") == ["h5py", "5"]
    assert http.calls == [(f"https://{index_hosts[0]}/pypi/Talvex_Ext_Bare/json", 20.0)]


@pytest.mark.parametrize("answer", [
    None, [], {"info": None}, {"info": {"requires_dist": None}},
    {"info": {"requires_dist": "scipy"}}, ValueError("bad json"),
])
def test_requires_dist_unusable_index_answer(ww, http, answer):
    http.answer = answer
    assert ww._requires_dist_strings("talvex-ext-not-installed") == []
    assert ww._requires_dist_strings("  ") == []
    assert len(http.calls) == 1


def test_lookups_and_errors_of_installed_metadata(ww, monkeypatch, http, caplog):
    asked = []

    def distribution(name, not_found):
        asked.append(name)
        if name == "foo_bar":
            return object()
        if name == "talvex_ext_x":
            raise RuntimeError("corrupt")
        raise not_found(name)

    monkeypatch.setattr(ww, "importlib", fake_importlib(distribution))
    assert ww._dist_is_installed("Foo.Bar") is True
    assert ww._dist_is_installed("") is ww._dist_is_installed(None) is False
    assert asked == ["foo-bar", "foo_bar"]
    with pytest.raises(RuntimeError):  # only "not found" means not installed
        ww._dist_is_installed("talvex-ext-x")

    # A local error stops the local lookup; the index is asked next.
    asked.clear()
    http.answer = OSError("offline")
    caplog.set_level(logging.DEBUG, logger=ww.__name__)
    assert ww._requires_dist_strings("talvex_ext_x") == []
    assert asked == ["talvex_ext_x"]
    assert [(r.msg, r.args, bool(r.exc_info)) for r in caplog.records] == [
        ("local requires for %s failed", ("talvex_ext_x",), True),
        ("PyPI requires_dist for %s failed", ("talvex_ext_x",), True),
    ]


@pytest.fixture
def declared(ww, monkeypatch):
    state = types.SimpleNamespace(reqs=[], installed=set(), checked=[])
    monkeypatch.setattr(ww, "_requires_dist_strings", lambda package: list(state.reqs))

    def installed(name):
        state.checked.append(name)
        return name in state.installed

    monkeypatch.setattr(ww, "_dist_is_installed", installed)
    return state


def test_missing_deps_skip_runtime_rejected_and_duplicates(ww, declared):
    declared.reqs = ["talvex>=1.0", "PySide6-Addons", "numpy", "scipy", "shiboken6-x",
                     "h5py; python_version < '3.0'", "H5Py>=3", "scipy_", "-x", "zarr"]
    declared.installed = {"zarr"}
    assert ww._missing_third_party_deps("talvex-ext-demo") == ["scipy", "h5py"]
    assert declared.checked == ["scipy", "h5py", "zarr"]


@pytest.fixture
def runs(ww, monkeypatch):
    calls = []

    def fake_run(argv, *, timeout=600.0):
        calls.append((list(argv), timeout))
        return ww.PipResult(ok=False, command=tuple(argv), returncode=1, stderr="boom")

    monkeypatch.setattr(ww, "_run", fake_run)
    return calls


@pytest.mark.parametrize("uv", [True, False])
def test_install_missing_deps_argv(ww, monkeypatch, declared, runs, caplog, uv):
    monkeypatch.setattr(ww, "prefer_uv", lambda: uv)
    monkeypatch.setattr(ww, "_uv_python_args", lambda: ["--python", "/py"])
    caplog.set_level(logging.DEBUG, logger=ww.__name__)
    declared.reqs = ["numpy"]
    ok = ww.PipResult(ok=True, command=(), returncode=0, stdout="no missing deps")
    assert ww._install_missing_deps("talvex-ext-demo") == ok and runs == [] and caplog.records == []

    declared.reqs = ["scipy", "h5py", "numpy"]
    result = ww._install_missing_deps("talvex-ext-demo")
    head = ["uv", "pip", "install", "--python", "/py"] if uv else [sys.executable, "-m", "pip", "install"]
    assert runs == [(head + ["scipy", "h5py"], 600.0)]
    assert (result.ok, result.stderr) == (False, "boom")
    assert [(r.msg, r.args) for r in caplog.records] == [
        ("Installing missing extension deps (unlocked): %s", ("scipy, h5py",))]
