"""Distribution names: normalisation, visibility, titles, URLs, installed extensions
and the mapping of the host's extension records to distributions."""

import importlib
import sys
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st


# --- normalisation and visibility -------------------------------------------------


@pytest.mark.parametrize(
    "raw, expected",
    [
        ("Talvex_Ext_Demo", "talvex-ext-demo"),
        (" talvex--ext..demo ", "talvex-ext-demo"),
        ("talvex-ext-", "talvex-ext"),
        ("My Tool", "my-tool"),
        ("_-.a._-", "a"),
        ("a\tb", "a\tb"),
        ("-\tx", "\tx"),
        (None, ""),
        (0, ""),
        (12, "12"),
    ],
)
def test_normalize(ww, raw, expected):
    assert ww.normalize_pypi_name(raw) == expected
    assert ww._normalize_dist_name(raw) == expected


# Whitespace other than " " is stripped only at the ends of the raw text, before the
# separators go: "-\tx" normalizes to "\tx" and that again to "x".  Idempotence is
# therefore a property of names whose only whitespace is " ".
@given(st.text().filter(lambda s: all(ch == " " or not ch.isspace() for ch in s)))
def test_normalize_is_idempotent_and_trimmed(name):
    import talvex.core.extensions.wheelwork as ww

    key = ww.normalize_pypi_name(name)
    assert ww.normalize_pypi_name(key) == key
    assert not key.startswith("-") and not key.endswith("-")
    assert "--" not in key and "_" not in key and "." not in key and " " not in key


def test_name_functions_use_module_helpers_at_call_time(ww, monkeypatch):
    monkeypatch.setattr(ww, "_HIDDEN_EXTENSION_PACKAGES", frozenset({"talvex-ext-viewer"}))
    assert not ww.is_user_visible_extension_package("Talvex_Ext_Viewer")
    assert ww.is_user_visible_extension_package("talvex-ext-sdk")
    monkeypatch.setattr(ww, "_normalize_dist_name", lambda name: "replaced")
    assert ww.normalize_pypi_name("x") == "replaced"


@pytest.mark.parametrize(
    "name, prefix, visible",
    [
        ("talvex_ext_viewer", "talvex-ext-", True),
        ("Talvex-Ext-SDK", "talvex-ext-", False),
        ("talvex-extension-sdk", "talvex-ext-", False),
        ("talvex-extension-foo", "talvex-ext-", False),
        ("talvex", "talvex-ext-", False),
        ("", "talvex-ext-", False),
        (None, "talvex-ext-", False),
        ("talvex-extras", "talvex-ext-", True),
        ("talvex-ext", "talvex-ext-", True),
        ("foo", "", True),
        ("talvex-extension-foo", "", False),
        ("talvex-ext-sdk", "", False),
        ("acme.plugin.x", "Acme_Plugin", True),
    ],
)
def test_visibility(ww, name, prefix, visible):
    assert ww.is_user_visible_extension_package(name, prefix=prefix) is visible


# --- titles ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "package, title",
    [
        ("talvex-ext-dicom_viewer", "Dicom Viewer"),
        ("talvex-ext-", "Ext"),
        ("talvex-histogram", "Histogram"),
        ("Talvex_Ext_3d_view", "3d View"),
        ("other-pkg", "Other Pkg"),
        ("", "Extension"),
        (None, "Extension"),
        ("---", "---"),
    ],
)
def test_display_name(ww, package, title):
    assert ww.display_name_from_pypi_package(package) == title


# --- URLs --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "url, project",
    [
        ("https://{main}/project/Talvex-Ext-Demo/", "Talvex-Ext-Demo"),
        ("  https://{TEST}/project/talvex_ext_x#readme ", "talvex_ext_x"),
        ("see http://{main}/project/a-b?x=1 for details", "a-b"),
        # a look-alike host is not the index: the text is then a (bad) file link
        ("https://{lookalike}/project/demo", ""),
        ("https://files.example/t/talvex_ext_demo-1.2.0.tar.gz?x=1", "talvex_ext_demo"),
        ("https://files.example/t/talvex_ext_demo.zip", "talvex-ext-demo"),
        ("https://files.example/t/talvex_ext_demo-1.2.0-py3-none-any.whl", "talvex-ext-demo-1.2.0-py3-none-any"),
        ("https://files.example/t/Talvex_Ext_Demo-2.whl", "Talvex_Ext_Demo"),
        ("talvex-ext-demo-.zip", "talvex-ext-demo-"),
        ("https://files.example/t/demo-1.0.tar.gz#sha256=abc", ""),
        ("https://files.example/t/demo-1.0.exe", ""),
        ("https://files.example/t/demo-1.0.WHL", ""),
        ("   ", ""),
        (None, ""),
    ],
)
def test_project_from_url(ww, index_hosts, url, project):
    main, test = index_hosts
    if url:
        url = url.format(main=main, TEST=test.upper(), lookalike=main.replace(".", "x"))
    assert ww.parse_pypi_project_from_url(url) == project


# --- catalog rows ------------------------------------------------------------------


class Asked(dict):
    """A dict that records the keys `get` was asked for: a fallback is read only when needed."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.asked = []

    def get(self, key, default=None):
        self.asked.append(key)
        return super().get(key, default)


never = property(lambda self: 1 / 0)  # raises when read: a broken field, or a fallback that must stay unread


def test_package_for_available_rows(ww, index_hosts):
    main, f, Row = index_hosts[0], ww.pypi_package_for_available, types.SimpleNamespace
    assert f(None) == ""
    assert f({"package": " talvex-ext-a "}) == "talvex-ext-a"
    assert f({"pypi": "p", "package": "q"}) == "q"  # field order, not dict order
    by_name = Asked(name="Viewer 3D")
    assert f(by_name) == "talvex-ext-viewer-3d" and "id" not in by_name.asked
    assert f({"id": "talvex_histogram"}) == "talvex-histogram"
    assert f({"repository": f"https://{main}/project/Talvex-Ext-Repo/"}) == "Talvex-Ext-Repo"
    by_url = Asked(downloadurl="https://files.example/x/talvex_ext_dl-1.0.whl", name="n")
    assert f(by_url) == "talvex_ext_dl" and "repository" not in by_url.asked
    assert f({"homepage": f"https://{main}/project/ignored/", "name": "n"}) == "talvex-ext-n"
    assert f({"name": "  "}) == ""
    assert f(Row(pip_package=" talvex-ext-b\n")) == "talvex-ext-b"
    assert f(Row(homepage=f"https://{main}/project/Home")) == "Home"
    assert f(Row(repository="", homepage="", name="", id="Zed")) == "talvex-ext-zed"
    assert f(type("Row", (), {"repository": "https://files.example/x/talvex_ext_q-1.0.whl",
                              "homepage": never})()) == "talvex_ext_q"
    assert f(type("Row", (), {"name": "Viewer", "id": never})()) == "talvex-ext-viewer"
    assert f(Row()) == ""
    broken = type("Broken", (), {"pypi_package": never})()
    with pytest.raises(ZeroDivisionError):  # only a missing attribute is skipped
        f(broken)


# --- installed distributions -------------------------------------------------------


def make_dist(root, name, version=None, top_level=None):
    info = root / f"{name.replace('-', '_')}-{version or '0'}.dist-info"
    info.mkdir(parents=True)
    version_line = f"Version: {version}\n" if version else ""
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\n{version_line}")
    if top_level:
        (info / "top_level.txt").write_text(top_level + "\n")
    return info


@pytest.fixture
def site_dirs(tmp_path, monkeypatch):
    dirs = tmp_path / "first", tmp_path / "second"
    for d in reversed(dirs):
        d.mkdir()
        monkeypatch.syspath_prepend(str(d))
    importlib.invalidate_caches()
    return dirs


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # a distribution without Version
def test_installed_extensions(ww, site_dirs):
    first, second = site_dirs
    make_dist(first, "Talvex_Ext_A", "1.0")
    make_dist(first, "talvex-ext-sdk", "2.0")
    (first / "talvex_ext_broken-1.0.dist-info").mkdir()  # no METADATA at all
    make_dist(second, "talvex.ext.a", "3.0")  # same distribution, later on the path
    make_dist(second, "talvex-ext-noversion")
    make_dist(second, "talvex-extension-tools", "1.0")
    make_dist(second, "acme-plugin-x", "0.1")

    found = ww.list_installed_talvex_ext_packages()
    assert found == {"talvex-ext-a": "3.0", "talvex-ext-noversion": ""}
    assert next(iter(found)) == "talvex-ext-a"  # the key keeps its first position
    assert ww.list_installed_talvex_ext_packages(prefix="acme_plugin") == {"acme-plugin-x": "0.1"}


def answer(value):
    """Returns `value`, or raises it when it is an exception."""
    if isinstance(value, Exception):
        raise value
    return value


class Dist:
    def __init__(self, meta, version):
        self._meta, self._version = meta, version

    metadata = property(lambda self: answer(self._meta))
    version = property(lambda self: answer(self._version))


def test_installed_extensions_survive_unreadable_metadata(ww, monkeypatch):
    named = Asked(Name="talvex-ext-badver")
    dists = [
        Dist(OSError("unreadable"), "1"),
        Dist({"name": "talvex-ext-lower"}, "2"),
        Dist(named, ValueError("bad")),
        Dist({"Name": None}, "3"),
    ]
    monkeypatch.setattr(ww.importlib.metadata, "distributions", lambda: iter(dists))
    assert ww.list_installed_talvex_ext_packages() == {"talvex-ext-lower": "2", "talvex-ext-badver": ""}
    assert named.asked == ["Name"]  # the lower-case key only when "Name" is empty
    monkeypatch.setattr(ww.importlib.metadata, "distributions",
                        lambda: answer(RuntimeError("environment unreadable")))
    assert ww.list_installed_talvex_ext_packages() == {}


# --- installed extension records ---------------------------------------------------

record = types.SimpleNamespace
LOADER = "talvex.core.extensions.loader"


@pytest.fixture
def loader(monkeypatch):
    """A stand-in for the host's loader module; its answer is set per test."""
    module = types.ModuleType(LOADER)
    module.answer = None
    module.extension_package_name = lambda instance: answer(module.answer)
    monkeypatch.setitem(sys.modules, LOADER, module)
    return module


def test_package_for_info_without_loader(ww, monkeypatch):
    ep = record(dist=record(name="Talvex_Ext_A"))
    assert ww.pypi_package_for_info(record(entry_point=ep, instance=object())) == "Talvex_Ext_A"
    assert ww.pypi_package_for_info(None) == ""
    monkeypatch.setitem(sys.modules, LOADER, None)  # host loader absent
    named = type("Info", (record,), {"id": never})(entry_point=None, path_name="", name="My Ext")
    assert ww.pypi_package_for_info(named) == "my-ext"
    assert ww.pypi_package_for_info(record(entry_point=record(dist=None), id="Some_Id")) == "some-id"
    assert ww.pypi_package_for_info(record()) == ""


@pytest.mark.parametrize("import_name, package", [
    ("talvex_ext_zed", "Talvex-Ext-Zed"),
    ("talvex-ext-zed", "Talvex-Ext-Zed"),  # hyphenated import name: mapped through "_"
    ("talvex_ext_plain", "talvex-ext-plain"),  # no top_level.txt: found by distribution name
    ("Unknown_Pkg", "unknown-pkg"),
])
def test_package_for_info_through_loader_and_metadata(ww, site_dirs, loader, import_name, package):
    make_dist(site_dirs[0], "Talvex-Ext-Zed", "1.0", top_level="talvex_ext_zed")
    make_dist(site_dirs[0], "talvex-ext-plain", "1.0")
    loader.answer = import_name
    assert ww.pypi_package_for_info(record(instance=object())) == package


def test_package_for_info_loader_failures_fall_back(ww, site_dirs, loader, monkeypatch, tmp_path):
    make_dist(site_dirs[0], "Talvex-Ext-Zed", "1.0", top_level="talvex_ext_zed")
    instance = type("Plugin", (), {"__module__": "talvex_ext_zed.plugin"})()
    info = lambda **attrs: ww.pypi_package_for_info(record(instance=instance, **attrs))  # noqa: E731

    loader.answer = RuntimeError("loader failed")
    assert info() == "Talvex-Ext-Zed"
    loader.answer = ""  # falsy: the record's path decides
    assert info(path=tmp_path / "talvex_ext_zed") == "Talvex-Ext-Zed"
    assert info(path=None, path_name="talvex_ext_zed") == "Talvex-Ext-Zed"
    monkeypatch.setitem(sys.modules, LOADER, None)
    assert info() == "Talvex-Ext-Zed"


def test_package_for_info_survives_broken_metadata_lookups(ww, loader, monkeypatch):
    for name in ("packages_distributions", "distribution"):
        monkeypatch.setattr(ww.importlib.metadata, name,
                            lambda *args: answer(RuntimeError("metadata broken")))
    loader.answer = "Talvex_Ext_Q"
    assert ww.pypi_package_for_info(record(instance=object())) == "talvex-ext-q"
