import logging
import site
import sys
import sysconfig

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
    egg = make(root, "talvex_ext_demo-1.0-py3.13.egg-info")  # decodes to another name
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
    a, b = make(tmp_path, "a"), make(tmp_path, "b")
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
