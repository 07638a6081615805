import importlib
import inspect
import re
import sys

import pytest

DEFAULT_SUMMARY = "Talvex for visualization and analysis."
HOME = "https://github.com/talvex/talvex"
DOCS = HOME + "/tree/main/docs"
PY = "{0.major}.{0.minor}.{0.micro}".format(sys.version_info)


@pytest.fixture
def am():
    import talvex.utils.aboutmeta as module

    return module


@pytest.fixture
def installed(tmp_path, monkeypatch):
    """Lays down a real ``talvex`` distribution with the given METADATA headers."""

    def install(*headers):
        dist = tmp_path / "site" / "talvex-1.2.3.dist-info"
        dist.mkdir(parents=True)
        text = "\n".join(["Metadata-Version: 2.4", "Name: talvex", "Version: 1.2.3", *headers])
        (dist / "METADATA").write_text(text + "\n\n", encoding="utf-8")
        monkeypatch.syspath_prepend(str(tmp_path / "site"))
        importlib.invalidate_caches()

    return install


@pytest.fixture
def not_installed(am, tmp_path, monkeypatch):
    """No such distribution; returns the path the module reads as pyproject.toml."""
    monkeypatch.setattr(am, "_PACKAGE_NAME", "talvex-absent-from-this-machine")
    path = tmp_path / "checkout" / "pyproject.toml"
    monkeypatch.setattr(am, "_PYPROJECT", path)
    return path


def test_module_surface(am):
    assert am.__doc__ == "Read Talvex package metadata for UI and CLI display."
    assert am._PACKAGE_NAME == "talvex" and am.metadata is importlib.import_module("importlib.metadata")
    assert am._PYPROJECT == am.Path(am.__file__).resolve().parents[2] / "pyproject.toml"
    assert am._VERSION_RE.flags & re.MULTILINE and am._SUMMARY_RE.flags & re.MULTILINE
    assert am.AboutMeta.__module__ == am.__name__ and not am.AboutMeta._field_defaults
    assert am.AboutMeta._fields == ("name", "version", "summary", "license", "author", "maintainer",
                                    "homepage", "documentation", "python_version")
    for name, sig in {
        "get_version": "() -> 'str'", "get_aboutmeta": "() -> 'AboutMeta'", "format_about_html": "() -> 'str'",
        "_read_pyproject_field": "(pattern: 're.Pattern[str]') -> 'str | None'",
        "_parse_project_urls": "(meta_json: 'dict') -> 'dict[str, str]'",
        "_display_name": "(raw: 'str') -> 'str'", "_clean_summary": "(summary: 'str') -> 'str'",
    }.items():
        assert str(inspect.signature(getattr(am, name))) == sig, name


def test_installed_metadata_record(am, installed):
    installed(
        "Summary: Talvex - image analysis & <more>", "License-Expression: MIT", "License: Some long licence text",
        "Author-email: Jane Doe <jane@example.com>", "Maintainer:   Max Power  ",
        "Project-URL: Homepage, https://example.com/home",
        "Project-URL: Documentation,https://example.com/ignored-no-blank",
        "Project-URL: homepage, https://example.com/wrong-case", "Project-URL: Homepage, https://example.com/later",
    )
    assert am.get_version() == "1.2.3"
    assert am.get_aboutmeta() == (
        "Talvex", "1.2.3", "Talvex - image analysis & <more>", "MIT", "Jane Doe", "Max Power",
        "https://example.com/later", DOCS, PY,
    )
    # Prefix dropped in the About text only, values not escaped.
    assert am.format_about_html() == (
        "<h3>Talvex</h3><p>image analysis & <more></p><p><b>Version:</b> 1.2.3"
        f"<br/><b>Python:</b> {PY}<br/><b>Author:</b> Jane Doe"
    )


@pytest.mark.parametrize("headers, expected", [
    (["License: Custom", "Author: Plain Author", "Project-URL: Documentation, https://example.com/docs"],
     ("1.2.3", DEFAULT_SUMMARY, "Custom", "Talvex Team", "", HOME, "https://example.com/docs")),
    (["License-Expression:", "Author-email: <team@example.com>"],
     ("1.2.3", DEFAULT_SUMMARY, "Proprietary", "", "", HOME, DOCS)),
])
def test_installed_fallbacks(am, installed, monkeypatch, headers, expected):
    installed(*headers)
    # The record takes the Version field over what get_version said.
    monkeypatch.setattr(am, "get_version", lambda: "from-get-version")
    assert am.get_aboutmeta()[1:8] == expected


def test_not_installed_without_pyproject(am, not_installed):
    assert am.get_version() == "unknown"
    assert am.get_aboutmeta() == (
        "Talvex", "unknown", DEFAULT_SUMMARY, "Proprietary", "Talvex Team", "", HOME, DOCS, PY,
    )
    assert am.format_about_html() == (
        "<h3>Talvex</h3><p>Talvex for visualization and analysis.</p>"
        f"<p><b>Version:</b> unknown<br/><b>Python:</b> {PY}<br/><b>Author:</b> Talvex Team"
    )


def test_not_installed_reads_first_matching_pyproject_lines(am, not_installed):
    not_installed.parent.mkdir()
    not_installed.write_text(
        "[tool.other]\n  version = \"indented\"\nversion = 'single-quoted'\nversion = \"\"\n"
        'version="0.9.dev1"\n[project]\nversion = "1.0.0"\ndescription = "Talvex - from the checkout"\n',
        encoding="utf-8")
    assert am.get_version() == "0.9.dev1"
    info = am.get_aboutmeta()
    assert (info.version, info.summary) == ("0.9.dev1", "Talvex - from the checkout")
    assert info.author == "Talvex Team" and info.license == "Proprietary"
    assert "<p>from the checkout</p>" in am.format_about_html()


def test_errors_other_than_not_installed_propagate(am, not_installed, monkeypatch):
    not_installed.parent.mkdir()
    not_installed.write_bytes(b'version = "\xff"\n')
    with pytest.raises(UnicodeDecodeError):
        am.format_about_html()

    class Broken:
        PackageNotFoundError = am.metadata.PackageNotFoundError

        @staticmethod
        def version(name):
            raise ValueError("broken metadata")

    monkeypatch.setattr(am, "metadata", Broken)
    with pytest.raises(ValueError, match="broken metadata"):
        am.get_version()


def test_helpers(am):
    assert am._parse_project_urls({}) == {}
    assert am._parse_project_urls(
        {"project_url": ["Source,  https://a ", "Bare,https://b", " Docs , https://c, d", "Empty, "]}
    ) == {"Source": "https://a", "Docs": "https://c, d", "Empty": ""}
    assert [am._display_name(raw) for raw in ("  Ann <a@x>, Bob <b@x> ", "ann@example.com", " \t")] == [
        "Ann", "ann@example.com", "Talvex Team"]
    assert [am._clean_summary(s) for s in ("  Talvex -  spaced ", "Talvex -no blank")] == [" spaced", "Talvex -no blank"]
