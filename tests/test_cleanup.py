import logging
import os
import site
import sys
import sysconfig
import tempfile

import pytest


@pytest.mark.parametrize("spec,bare", [
    ("  talvex-ext-demo ; python_version > '3.8'  ", "talvex-ext-demo"),
    ("talvex-ext-demo[gui]==1.0", "talvex-ext-demo"), ("Talvex_Ext_Demo>=1", "Talvex_Ext_Demo"),
    ("a===1", "a"), ("a<2,>=1", "a"), ("a ~= 1.0", "a"), (None, ""), ("   ", ""),
])
def test_package_name_only(ww, spec, bare):
    assert ww._package_name_only(spec) == bare


@pytest.fixture
def root(ww, tmp_path, monkeypatch, caplog):
    caplog.set_level(logging.INFO, logger=ww.__name__)
    site_dir = tmp_path / "site-packages"
    site_dir.mkdir()
    monkeypatch.setattr(ww, "_site_packages_roots", lambda: [site_dir])
    return site_dir


def make(root, name, *files):
    d = root / name
    d.mkdir()
    for f in files:
        (d / f).write_text("x")
    return d


def test_broken_metadata_and_leftover_package_removed(ww, root, caplog):
    dist = make(root, "talvex_ext_demo-1.0.dist-info", "RECORD")
    pkg = make(root, "talvex_ext_demo", "__init__.py")
    other = make(root, "talvex_ext_other")
    (root / "talvex_ext_demo.pth").write_text("")
    assert ww.cleanup_broken_package_install("Talvex.Ext-Demo[gui]>=2") == [str(dist), str(pkg)]
    assert not dist.exists() and not pkg.exists()
    assert other.exists() and (root / "talvex_ext_demo.pth").exists()
    assert [(r.levelname, r.msg, r.args) for r in caplog.records] == [
        ("INFO", "Removed broken package metadata: %s", (dist,)),
        ("INFO", "Removed leftover package files: %s", (pkg,))]


@pytest.mark.parametrize("name,marker", [
    ("talvex_ext_demo-1.0.dist-info", "METADATA"), ("talvex_ext_demo-1.0.dist-info", "PKG-INFO"),
    ("talvex_ext_demo.egg-info", "PKG-INFO"), ("Talvex_Ext_Demo-2.0.DIST-INFO", "METADATA"),
])
def test_healthy_metadata_keeps_package(ww, root, name, marker):
    make(root, name, marker)
    broken = make(root, "talvex_ext_demo-0.9.dist-info")
    make(root, "talvex_ext_demo")
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == [str(broken)]
    assert (root / name).is_dir() and (root / "talvex_ext_demo").is_dir()


def test_orphans_and_lookalikes(ww, root, caplog):
    orphan = make(root, "Talvex-Ext-Demo")
    (root / "talvex_ext_demo-1.0.dist-info").write_text("a file, not a directory")
    egg = make(root, "talvex_ext_demo_extra-1.0-py3.13.egg-info")  # another project
    assert ww.cleanup_broken_package_install("talvex_ext_demo") == [str(orphan)]
    assert [r.msg for r in caplog.records] == ["Removed orphan package directory: %s"]
    assert egg.is_dir() and (root / "talvex_ext_demo-1.0.dist-info").is_file()


def test_failed_removal_is_warned_and_not_reported(ww, root, monkeypatch, caplog):
    dist = make(root, "talvex_ext_demo-1.0.dist-info")
    pkg = make(root, "talvex_ext_demo")
    real = ww.shutil.rmtree

    def rmtree(path, ignore_errors=False):
        if path == pkg:
            raise PermissionError(13, "in use", str(path))
        real(path, ignore_errors=ignore_errors)

    monkeypatch.setattr(ww.shutil, "rmtree", rmtree)
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == [str(dist)]
    warning = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert [w.msg for w in warning] == ["Could not remove %s: %s"]
    assert warning[0].args[0] == pkg and isinstance(warning[0].args[1], PermissionError)


def test_roots_judged_separately_and_blank_spec(ww, tmp_path, monkeypatch):
    a, b = make(make(tmp_path, "a"), "site-packages"), make(make(tmp_path, "b"), "dist-packages")
    make(a, "talvex_ext_demo-1.0.dist-info", "METADATA")
    make(a, "talvex_ext_demo")
    orphan = make(b, "talvex_ext_demo")
    monkeypatch.setattr(ww, "_site_packages_roots", lambda: [tmp_path / "missing", a, b])
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == [str(orphan)]
    monkeypatch.setattr(ww, "_site_packages_roots", None)  # never reached
    assert ww.cleanup_broken_package_install("  ") == []


@pytest.mark.skipif(sys.platform == "win32", reason="directory symbolic links: a privilege on Windows, and "
                    "under Wine they do not read as directories")
def test_site_packages_roots(ww, tmp_path, monkeypatch):
    real = tmp_path / "real"
    real.mkdir()
    (tmp_path / "link").symlink_to(real, target_is_directory=True)
    posix = tmp_path / "lib" / "python{}.{}".format(*ww.sys.version_info[:2]) / "site-packages"
    posix.mkdir(parents=True)
    monkeypatch.setattr(site, "getsitepackages", lambda: [str(real), "", str(tmp_path / "nope")])
    monkeypatch.setattr(site, "getusersitepackages", lambda: str(tmp_path / "link"))
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(real))
    monkeypatch.setattr(ww.sys, "prefix", str(tmp_path))
    assert ww._site_packages_roots() == [real, posix]

    # a source that fails contributes nothing, the others still count
    def fail():
        raise RuntimeError("no user site")

    monkeypatch.setattr(site, "getusersitepackages", fail)
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(tmp_path / "link"))
    assert ww._site_packages_roots() == [tmp_path / "link", posix]


def test_site_packages_roots_keep_the_windows_layout_without_a_version(ww, tmp_path, monkeypatch):
    windows = tmp_path / "Lib" / "site-packages"
    windows.mkdir(parents=True)
    monkeypatch.setattr(site, "getsitepackages", lambda: [])
    monkeypatch.setattr(site, "getusersitepackages", lambda: "")
    monkeypatch.setattr(sysconfig, "get_path", lambda name: "")
    monkeypatch.setattr(ww.sys, "prefix", str(tmp_path))
    monkeypatch.setattr(ww.sys, "version_info", None)
    assert ww._site_packages_roots() == [windows]


def lay_out(root, tree):
    """Files (relative path: text) and empty directories (path ending in "/") under *root*."""
    for rel, text in tree.items():
        path = root / rel
        if rel.endswith("/"):
            path.mkdir(parents=True, exist_ok=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
    return root


META = "Metadata-Version: 2.1\nName: x\nVersion: 1.0\n"
ESSENTIALS = {"PySide6_Essentials-6.8.0.dist-info/METADATA": META, "PySide6/__init__.py": "",
              "PySide6/QtCore.abi3.so": ""}
PRODUCT = {"talvex_native-1.0.dist-info/METADATA": META,
           "talvex_native-1.0.dist-info/RECORD": "talvex/core/extensions/wheelwork.so,sha256=x,9\n",
           "talvex/core/extensions/wheelwork.so": "", "talvex/app.py": ""}


def _takes_non_ascii_names():
    with tempfile.TemporaryDirectory() as d:
        try:
            os.mkdir(os.path.join(d, "paquetà"))
            return True
        except OSError:  # Wine in a C locale
            return False


NON_ASCII = pytest.mark.skipif(not _takes_non_ascii_names(), reason="file names here are ASCII only")


# (tree, package, removed in this order)
@pytest.mark.parametrize("tree, package, removed", [
    pytest.param({**ESSENTIALS, "PySide6_Essentials-6.8.0.dist-info/RECORD":
                  "PySide6/__init__.py,sha256=x,0\r\nPySide6/QtCore.abi3.so,,\r\n../../bin/pyside6-uic,,\r\n"},
                 "PySide6", [], id="renamed-import-package-by-RECORD"),
    pytest.param({"PyYAML-6.0-py3.13.egg-info/PKG-INFO": META, "PyYAML-6.0-py3.13.egg-info/top_level.txt": "_yaml\nyaml\n",
                  "yaml/__init__.py": ""}, "yaml", [], id="renamed-import-package-by-top_level"),
    pytest.param(PRODUCT, "talvex", [], id="namespace-shared-with-the-product"),
    pytest.param({**PRODUCT, "talvex-0.1.dist-info/RECORD": "talvex/app.py,,\n"}, "talvex",
                 ["talvex-0.1.dist-info"], id="claimed-beside-own-broken-metadata"),
    pytest.param({"other-1.0.dist-info/RECORD": '"Talvex-Ext-Demo/a,b.py",,\n', "talvex_ext_demo/x.py": ""},
                 "talvex-ext-demo", [], id="quoted-RECORD-row"),
    pytest.param({"other-1.0.dist-info/RECORD": "talvex_ext_demo\\x.py,,\n", "talvex_ext_demo/x.py": ""},
                 "talvex-ext-demo", [], id="backslash-RECORD-row"),
    pytest.param({"other-1.0.dist-info/METADATA": META, "other-1.0.dist-info/top_level.txt": "other\n",
                  "other-1.0.dist-info/RECORD": "other/__init__.py,,\ntalvex_ext_demo.py,,\ntalvex_ext_demo_x/a.py,,\n",
                  "talvex_ext_demo/__init__.py": ""}, "talvex-ext-demo", ["talvex_ext_demo"], id="true-orphan"),
    # names whose last UTF-8 byte (0xA0, 0x85) is no whitespace; U+00A0 around a name is
    pytest.param({"other-1.0.dist-info/METADATA": META, "other-1.0.dist-info/top_level.txt": "x\npaquetà\r\n",
                  "paquetà/__init__.py": ""}, "paquetà", [], id="top_level-name-ending-in-a-grave", marks=NON_ASCII),
    pytest.param({"other-1.0.dist-info/METADATA": META, "other-1.0.dist-info/top_level.txt": "\u00a0pakieą\u00a0\n",
                  "pakieą/__init__.py": ""}, "pakieą", [], id="top_level-name-ending-in-a-ogonek", marks=NON_ASCII),
    pytest.param({"PyYAML-5.1-py3.13.egg-info/installed-files.txt": "PKG-INFO\n../yaml/__init__.py\n",
                  "yaml/__init__.py": ""}, "yaml", [], id="legacy-egg-installed-files"),
    pytest.param({"other-1.0-py3.13.egg-info/installed-files.txt": "talvex_ext_demo/x\n../talvex_ext_demo.py\n",
                  "talvex_ext_demo/x.py": ""}, "talvex-ext-demo", ["talvex_ext_demo"], id="installed-files-elsewhere"),
    pytest.param({"talvex_ext_demo-1.0-py3.13.egg-info/PKG-INFO": META, "talvex_ext_demo/x.py": ""},
                 "talvex-ext-demo", [], id="egg-with-python-tag"),
    pytest.param({"Talvex_Ext_Demo-1.0-py3.13-linux_x86_64.egg-info/PKG-INFO": META, "talvex_ext_demo/x.py": ""},
                 "talvex-ext-demo", [], id="egg-with-platform"),
    pytest.param({"talvex_ext_demo-1.0-py3.egg-info/": None, "talvex_ext_demo/x.py": ""}, "talvex-ext-demo",
                 ["talvex_ext_demo-1.0-py3.egg-info", "talvex_ext_demo"], id="broken-egg-with-python-tag"),
    pytest.param({"talvex_ext_demo-2.0.dist-info/METADATA": META, "talvex_ext_demo-1.0-py3.13.egg-info/": None,
                  "talvex_ext_demo/x.py": ""}, "talvex-ext-demo", ["talvex_ext_demo-1.0-py3.13.egg-info"],
                 id="broken-beside-healthy"),
])
def test_directories_of_other_distributions_are_kept(ww, root, caplog, tree, package, removed):
    lay_out(root, tree)
    assert ww.cleanup_broken_package_install(package) == [str(root / r) for r in removed]
    for rel in tree:
        gone = any(rel == r or rel.startswith(r + "/") for r in removed)
        assert (root / rel).exists() is not gone, rel
    for r in caplog.records:  # what was kept, and whose it is
        if r.msg == "Kept %s: claimed by %s":
            assert r.args[0].is_dir() and r.args[1].parent == root and r.args[1].name.endswith("-info")


def _no_user_site(monkeypatch):
    monkeypatch.setattr(site, "ENABLE_USER_SITE", False)
    monkeypatch.setattr(site, "getusersitepackages", lambda: "")


def test_windows_prefix_root_is_searched_for_metadata_only(ww, tmp_path, monkeypatch):
    prefix = lay_out(tmp_path / "venv", {
        "Lib/os.py": "", "Lib/site-packages/talvex_ext_demo/__init__.py": "", "Scripts/python.exe": "",
        "DLLs/_ctypes.pyd": "", "include/Python.h": "", "share/man/x": "", "lib-1.0.dist-info/": None})
    windows_list = site.getsitepackages

    def getsitepackages():  # CPython's own Windows branch, for this prefix
        with monkeypatch.context() as m:
            m.setattr(os, "sep", "\\")
            return windows_list([str(prefix)])

    assert getsitepackages() == [str(prefix), str(prefix / "Lib" / "site-packages")]
    monkeypatch.setattr(site, "getsitepackages", getsitepackages)
    _no_user_site(monkeypatch)
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(prefix / "Lib" / "site-packages"))
    for attr in ("prefix", "exec_prefix", "base_prefix", "base_exec_prefix"):
        monkeypatch.setattr(ww.sys, attr, str(prefix))
    assert ww._site_packages_roots() == [prefix, prefix / "Lib" / "site-packages"]

    assert ww.cleanup_broken_package_install("lib") == [str(prefix / "lib-1.0.dist-info")]
    for name in ("Scripts", "dlls", "include", "share"):
        assert ww.cleanup_broken_package_install(name) == []
    assert all((prefix / p).is_file() for p in ("Lib/os.py", "Scripts/python.exe", "DLLs/_ctypes.pyd",
                                                  "include/Python.h", "share/man/x"))
    # The site-packages directory beside them is still cleaned.
    orphan = prefix / "Lib" / "site-packages" / "talvex_ext_demo"
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == [str(orphan)]


@pytest.mark.parametrize("kind, removes", [
    ("purelib", True), ("platlib", True), ("user site", True), ("user site disabled", False), ("other", False)])
def test_which_roots_hold_package_directories(ww, tmp_path, monkeypatch, kind, removes):
    root = lay_out(tmp_path / "packages", {"talvex_ext_demo/x.py": ""})
    monkeypatch.setattr(ww, "_site_packages_roots", lambda: [root])
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(root if name == kind else tmp_path / "elsewhere"))
    monkeypatch.setattr(site, "ENABLE_USER_SITE", kind == "user site")
    monkeypatch.setattr(site, "getusersitepackages", lambda: str(root if kind.startswith("user") else tmp_path))
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == ([str(root / "talvex_ext_demo")] if removes else [])


@pytest.mark.parametrize("listing, make_it", [
    pytest.param("RECORD", getattr(os, "mkfifo", None),  # a reader opening it would wait for a writer
                 marks=pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="Windows has no FIFOs")),
    ("top_level.txt", os.mkdir),  # a directory where a file belongs
])
def test_a_listing_that_cannot_be_read_keeps_the_directory(ww, root, caplog, listing, make_it):
    import threading

    info = make(root, "other-1.0.dist-info", "METADATA")
    make_it(info / listing)
    orphan = make(root, "talvex_ext_demo")
    result = []
    worker = threading.Thread(target=lambda: result.append(ww.cleanup_broken_package_install("talvex-ext-demo")))
    worker.start()
    worker.join(20)
    if worker.is_alive():  # let it go before failing
        os.close(os.open(info / listing, os.O_WRONLY | os.O_NONBLOCK))
        worker.join(20)
    assert result == [[]] and orphan.is_dir()
    warnings = [r for r in caplog.records if r.levelno == logging.WARNING]
    # Windows refuses to open a directory at all (access denied) before its type can be seen.
    reason = warnings[0].args[1] if warnings and os.name == "nt" and isinstance(warnings[0].args[1], PermissionError) \
        else "not a regular file"
    assert [(w.msg, w.args) for w in warnings] == [("Could not read %s: %s", (str(info / listing), reason))]
    assert [r.args for r in caplog.records if r.msg == "Kept %s: claimed by %s"] == [(orphan, info)]
