"""Installer runs and site-packages roots behave like the plain-Python statements
they stand for, down to the errors they raise."""

import site
import sysconfig

import pytest


@pytest.mark.parametrize("extra, message", [
    ({"env": {}}, r"^subprocess\.run\(\) got multiple values for keyword argument 'env'$"),
    (None, r"^subprocess\.run\(\) argument after \*\* must be a mapping, not NoneType$"),
])
def test_run_keyword_errors_read_like_the_interpreters(ww, monkeypatch, extra, message):
    monkeypatch.setattr(ww, "_subprocess_kwargs", lambda: extra)
    with pytest.raises(TypeError, match=message):
        ww._run(["uv"])


def test_prefix_windows_layout_survives_an_unreadable_version(ww, tmp_path, monkeypatch):
    windows = tmp_path / "Lib" / "site-packages"
    windows.mkdir(parents=True)
    monkeypatch.setattr(site, "getsitepackages", lambda: [])
    monkeypatch.setattr(site, "getusersitepackages", lambda: "")
    monkeypatch.setattr(sysconfig, "get_path", lambda name: "")
    monkeypatch.setattr(ww.sys, "prefix", str(tmp_path))
    monkeypatch.setattr(ww.sys, "version_info", None)
    assert ww._site_packages_roots() == [windows]
