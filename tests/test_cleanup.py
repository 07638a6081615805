import logging

import pytest


@pytest.mark.parametrize("spec,bare", [
    ("  talvex-ext-demo ; python_version > '3.8'  ", "talvex-ext-demo"),
    ("talvex-ext-demo[gui]==1.0", "talvex-ext-demo"),
    ("Talvex_Ext_Demo>=1", "Talvex_Ext_Demo"),
    ("a===1", "a"),
    ("a ~= 1.0", "a"),
    ("a<2,>=1", "a"),
    ("a!=1", "a"),
    ("plain", "plain"),
    (None, ""),
    ("", ""),
    ("   ", ""),
])
def test_package_name_only(ww, spec, bare):
    assert ww._package_name_only(spec) == bare


@pytest.fixture
def root(ww, tmp_path, monkeypatch):
    site = tmp_path / "site-packages"
    site.mkdir()
    monkeypatch.setattr(ww, "_site_packages_roots", lambda: [site])
    return site


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
    with caplog.at_level(logging.INFO, logger=ww.__name__):
        removed = ww.cleanup_broken_package_install("Talvex.Ext-Demo[gui]>=2")
    assert removed == [str(dist), str(pkg)]
    assert not dist.exists() and not pkg.exists()
    assert other.exists() and (root / "talvex_ext_demo.pth").exists()
    messages = [(r.levelname, r.msg, r.args) for r in caplog.records]
    assert messages == [("INFO", "Removed broken package metadata: %s", (dist,)),
                        ("INFO", "Removed leftover package files: %s", (pkg,))]


def test_healthy_metadata_keeps_package(ww, root):
    make(root, "talvex_ext_demo-1.0.dist-info", "METADATA")
    make(root, "talvex_ext_demo")
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == []
    assert (root / "talvex_ext_demo").is_dir()


@pytest.mark.parametrize("name", ["talvex_ext_demo-1.0.dist-info", "talvex_ext_demo.egg-info",
                                  "Talvex_Ext_Demo-2.0.DIST-INFO"])
def test_pkg_info_counts_as_healthy(ww, root, name):
    make(root, name, "PKG-INFO")
    make(root, "talvex_ext_demo")
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == []


def test_only_broken_one_of_two_metadata_dirs_removed(ww, root):
    make(root, "talvex_ext_demo-1.0.dist-info", "METADATA")
    broken = make(root, "talvex_ext_demo-0.9.dist-info")
    make(root, "talvex_ext_demo")
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == [str(broken)]
    assert (root / "talvex_ext_demo").is_dir()


def test_orphan_package_directory_removed(ww, root, caplog):
    pkg = make(root, "Talvex-Ext-Demo")
    make(root, "talvex_ext_demo_more-1.0.dist-info")  # another project
    with caplog.at_level(logging.INFO, logger=ww.__name__):
        assert ww.cleanup_broken_package_install("talvex_ext_demo") == [str(pkg)]
    assert [r.msg for r in caplog.records] == ["Removed orphan package directory: %s"]


def test_lookalikes_are_not_touched(ww, root):
    (root / "talvex_ext_demo-1.0.dist-info").write_text("a file, not a directory")
    (root / "talvex_ext_demo").write_text("a file too")
    # the version-bearing egg-info name does not decode to the project
    egg = make(root, "talvex_ext_demo-1.0-py3.13.egg-info")
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == []
    assert egg.is_dir()


def test_blank_spec_touches_nothing(ww, monkeypatch):
    def boom():
        raise AssertionError("searched")

    monkeypatch.setattr(ww, "_site_packages_roots", boom)
    assert ww.cleanup_broken_package_install("  ") == []


def test_failed_removal_is_warned_and_not_reported(ww, root, monkeypatch, caplog):
    dist = make(root, "talvex_ext_demo-1.0.dist-info")
    pkg = make(root, "talvex_ext_demo")
    real = ww.shutil.rmtree

    def rmtree(path, ignore_errors=False):
        if path == pkg:
            raise PermissionError(13, "in use", str(path))
        real(path, ignore_errors=ignore_errors)

    monkeypatch.setattr(ww.shutil, "rmtree", rmtree)
    with caplog.at_level(logging.INFO, logger=ww.__name__):
        assert ww.cleanup_broken_package_install("talvex-ext-demo") == [str(dist)]
    warning = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warning) == 1 and warning[0].msg == "Could not remove %s: %s"
    assert warning[0].args[0] == pkg and isinstance(warning[0].args[1], PermissionError)


def test_other_errors_propagate(ww, root, monkeypatch):
    make(root, "talvex_ext_demo")

    def rmtree(path, ignore_errors=False):
        raise RuntimeError("boom")

    monkeypatch.setattr(ww.shutil, "rmtree", rmtree)
    with pytest.raises(RuntimeError):
        ww.cleanup_broken_package_install("talvex-ext-demo")


def test_each_root_judged_on_its_own(ww, tmp_path, monkeypatch):
    a, b, missing = tmp_path / "a", tmp_path / "b", tmp_path / "missing"
    a.mkdir(), b.mkdir()
    make(a, "talvex_ext_demo-1.0.dist-info", "METADATA")
    make(a, "talvex_ext_demo")
    orphan = make(b, "talvex_ext_demo")
    monkeypatch.setattr(ww, "_site_packages_roots", lambda: [missing, a, b])
    assert ww.cleanup_broken_package_install("talvex-ext-demo") == [str(orphan)]


def test_site_packages_roots_deduplicated(ww, tmp_path, monkeypatch):
    import site
    import sysconfig

    real = tmp_path / "real"
    real.mkdir()
    link = tmp_path / "link"
    link.symlink_to(real)
    prefix = tmp_path / "prefix"
    posix = prefix / "lib" / "python{}.{}".format(*ww.sys.version_info[:2]) / "site-packages"
    posix.mkdir(parents=True)
    monkeypatch.setattr(site, "getsitepackages", lambda: [str(real), "", str(tmp_path / "nope")])
    monkeypatch.setattr(site, "getusersitepackages", lambda: str(link))
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(real))
    monkeypatch.setattr(ww.sys, "prefix", str(prefix))
    roots = ww._site_packages_roots()
    assert roots == [real, posix]
    assert all(isinstance(r, ww.Path) for r in roots)


def test_site_packages_roots_survives_failing_sources(ww, tmp_path, monkeypatch):
    import site
    import sysconfig

    def fail(*args):
        raise RuntimeError("no site")

    good = tmp_path / "purelib"
    good.mkdir()
    monkeypatch.setattr(site, "getsitepackages", lambda: [str(tmp_path)])
    monkeypatch.setattr(site, "getusersitepackages", fail)
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(good))
    monkeypatch.setattr(ww.sys, "prefix", str(tmp_path / "void"))
    # the first source contributes nothing at all when one of its calls fails
    assert ww._site_packages_roots() == [good]
