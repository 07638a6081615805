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


def test_normalize_pypi_name_goes_through_module_helper(ww, monkeypatch):
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


def test_visibility_reads_hidden_set_at_call_time(ww, monkeypatch):
    monkeypatch.setattr(ww, "_HIDDEN_EXTENSION_PACKAGES", frozenset({"talvex-ext-viewer"}))
    assert not ww.is_user_visible_extension_package("Talvex_Ext_Viewer")
    assert ww.is_user_visible_extension_package("talvex-ext-sdk")


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


def test_project_page_urls(ww, index_hosts):
    main, test = index_hosts
    assert ww.parse_pypi_project_from_url(f"https://{main}/project/Talvex-Ext-Demo/") == "Talvex-Ext-Demo"
    assert ww.parse_pypi_project_from_url(f"  https://{test.upper()}/project/talvex_ext_x#readme ") == "talvex_ext_x"
    assert ww.parse_pypi_project_from_url(f"see http://{main}/project/a-b?x=1 for details") == "a-b"
    # A look-alike host does not count as the index: the text is then a file link.
    assert ww.parse_pypi_project_from_url(f"https://{main.replace('.', 'x')}/project/demo") == ""


@pytest.mark.parametrize(
    "url, project",
    [
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
def test_download_link_urls(ww, url, project):
    assert ww.parse_pypi_project_from_url(url) == project


# --- catalog rows ------------------------------------------------------------------


class Row:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def test_package_for_available_rows(ww, index_hosts):
    main = index_hosts[0]
    f = ww.pypi_package_for_available
    assert f(None) == ""
    assert f({"package": " talvex-ext-a "}) == "talvex-ext-a"
    assert f({"pypi": "p", "package": "q"}) == "q"  # field order, not dict order
    assert f({"name": "Viewer 3D"}) == "talvex-ext-viewer-3d"
    assert f({"id": "talvex_histogram"}) == "talvex-histogram"
    assert f({"repository": f"https://{main}/project/Talvex-Ext-Repo/"}) == "Talvex-Ext-Repo"
    assert f({"downloadurl": "https://files.example/x/talvex_ext_dl-1.0.whl", "name": "n"}) == "talvex_ext_dl"
    assert f({"homepage": f"https://{main}/project/ignored/", "name": "n"}) == "talvex-ext-n"
    assert f({"name": "  "}) == ""
    assert f(Row(pip_package=" talvex-ext-b\n")) == "talvex-ext-b"
    assert f(Row(homepage=f"https://{main}/project/Home")) == "Home"
    assert f(Row(repository="", homepage="", name="", id="Zed")) == "talvex-ext-zed"
    assert f(Row()) == ""


def test_package_for_available_propagates_non_attribute_errors(ww):
    class Broken:
        @property
        def pypi_package(self):
            raise ValueError("boom")

    with pytest.raises(ValueError):
        ww.pypi_package_for_available(Broken())


# --- installed distributions -------------------------------------------------------


def make_dist(root, name, version=None, top_level=None):
    info = root / f"{name.replace('-', '_')}-{version or '0'}.dist-info"
    info.mkdir(parents=True)
    lines = ["Metadata-Version: 2.1", f"Name: {name}"]
    if version:
        lines.append(f"Version: {version}")
    (info / "METADATA").write_text("\n".join(lines) + "\n")
    if top_level:
        (info / "top_level.txt").write_text(top_level + "\n")
    return info


@pytest.fixture
def site_dirs(tmp_path, monkeypatch):
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    monkeypatch.syspath_prepend(str(second))
    monkeypatch.syspath_prepend(str(first))
    importlib.invalidate_caches()
    return first, second


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


def test_installed_extensions_survive_unreadable_metadata(ww, monkeypatch):
    class Dist:
        def __init__(self, meta, version):
            self._meta, self._version = meta, version

        @property
        def metadata(self):
            if isinstance(self._meta, Exception):
                raise self._meta
            return self._meta

        @property
        def version(self):
            if isinstance(self._version, Exception):
                raise self._version
            return self._version

    dists = [
        Dist(OSError("unreadable"), "1"),
        Dist({"name": "talvex-ext-lower"}, "2"),
        Dist({"Name": "talvex-ext-badver"}, ValueError("bad")),
        Dist({"Name": None}, "3"),
    ]
    monkeypatch.setattr(ww.importlib.metadata, "distributions", lambda: iter(dists))
    assert ww.list_installed_talvex_ext_packages() == {"talvex-ext-lower": "2", "talvex-ext-badver": ""}

    def broken():
        raise RuntimeError("environment unreadable")

    monkeypatch.setattr(ww.importlib.metadata, "distributions", broken)
    assert ww.list_installed_talvex_ext_packages() == {}


# --- installed extension records ---------------------------------------------------


def record(**attrs):
    return types.SimpleNamespace(**attrs)


@pytest.fixture
def loader(monkeypatch):
    """A stand-in for the host's loader module; its answer is set per test."""
    module = types.ModuleType("talvex.core.extensions.loader")
    module.answer = None

    def extension_package_name(instance):
        if isinstance(module.answer, Exception):
            raise module.answer
        return module.answer

    module.extension_package_name = extension_package_name
    monkeypatch.setitem(sys.modules, "talvex.core.extensions.loader", module)
    return module


def plugin_instance(module_name):
    cls = type("Plugin", (), {"__module__": module_name})
    return cls()


def test_package_for_info_prefers_entry_point_dist(ww):
    ep = record(dist=record(name="Talvex_Ext_A"))
    assert ww.pypi_package_for_info(record(entry_point=ep, instance=object())) == "Talvex_Ext_A"
    assert ww.pypi_package_for_info(None) == ""


def test_package_for_info_from_name_or_id(ww, monkeypatch):
    monkeypatch.setitem(sys.modules, "talvex.core.extensions.loader", None)  # host loader absent
    assert ww.pypi_package_for_info(record(entry_point=None, path_name="", name="My Ext")) == "my-ext"
    assert ww.pypi_package_for_info(record(entry_point=record(dist=None), id="Some_Id")) == "some-id"
    assert ww.pypi_package_for_info(record()) == ""


def test_package_for_info_through_loader_and_metadata(ww, site_dirs, loader):
    make_dist(site_dirs[0], "Talvex-Ext-Zed", "1.0", top_level="talvex_ext_zed")
    make_dist(site_dirs[0], "talvex-ext-plain", "1.0")

    loader.answer = "talvex_ext_zed"
    assert ww.pypi_package_for_info(record(instance=object())) == "Talvex-Ext-Zed"
    loader.answer = "talvex-ext-zed"  # hyphenated import name: mapped through "_"
    assert ww.pypi_package_for_info(record(instance=object())) == "Talvex-Ext-Zed"
    loader.answer = "talvex_ext_plain"  # no top_level.txt: found by distribution name
    assert ww.pypi_package_for_info(record(instance=object())) == "talvex-ext-plain"
    loader.answer = "Unknown_Pkg"
    assert ww.pypi_package_for_info(record(instance=object())) == "unknown-pkg"


def test_package_for_info_loader_failures_fall_back(ww, site_dirs, loader, monkeypatch, tmp_path):
    make_dist(site_dirs[0], "Talvex-Ext-Zed", "1.0", top_level="talvex_ext_zed")
    instance = plugin_instance("talvex_ext_zed.plugin")

    loader.answer = RuntimeError("loader failed")
    assert ww.pypi_package_for_info(record(instance=instance)) == "Talvex-Ext-Zed"
    loader.answer = ""  # falsy: the record's path decides
    assert ww.pypi_package_for_info(record(instance=instance, path=tmp_path / "talvex_ext_zed")) == "Talvex-Ext-Zed"
    assert ww.pypi_package_for_info(record(instance=instance, path=None, path_name="talvex_ext_zed")) == "Talvex-Ext-Zed"

    monkeypatch.setitem(sys.modules, "talvex.core.extensions.loader", None)
    assert ww.pypi_package_for_info(record(instance=instance)) == "Talvex-Ext-Zed"


def test_package_for_info_survives_broken_metadata_lookups(ww, loader, monkeypatch):
    md = ww.importlib.metadata

    def fail(*args):
        raise RuntimeError("metadata broken")

    monkeypatch.setattr(md, "packages_distributions", fail)
    monkeypatch.setattr(md, "distribution", fail)
    loader.answer = "Talvex_Ext_Q"
    assert ww.pypi_package_for_info(record(instance=object())) == "talvex-ext-q"
