import importlib
import inspect
import re
import sys

import pytest

DEFAULT_SUMMARY = "Talvex for visualization and analysis."
PY = "{0.major}.{0.minor}.{0.micro}".format(sys.version_info)


@pytest.fixture
def am():
    import talvex.utils.aboutmeta as module

    return module


@pytest.fixture
def installed(tmp_path, monkeypatch):
    """Lays down a real ``talvex`` distribution with the given METADATA headers."""

    def install(*headers, version="1.2.3"):
        dist = tmp_path / "site" / f"talvex-{version}.dist-info"
        dist.mkdir(parents=True)
        lines = ["Metadata-Version: 2.4", "Name: talvex", *headers]
        (dist / "METADATA").write_text("\n".join(lines) + "\n\n", encoding="utf-8")
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
    assert am._PACKAGE_NAME == "talvex"
    assert am._PYPROJECT == am.Path(am.__file__).resolve().parents[2] / "pyproject.toml"
    assert am._VERSION_RE.flags & re.MULTILINE and am._SUMMARY_RE.flags & re.MULTILINE
    assert am.metadata is importlib.import_module("importlib.metadata")
    assert am.AboutMeta.__module__ == am.__name__
    assert am.AboutMeta._fields == (
        "name", "version", "summary", "license", "author", "maintainer",
        "homepage", "documentation", "python_version",
    )
    assert not am.AboutMeta._field_defaults
    sigs = {
        "get_version": "() -> 'str'",
        "get_aboutmeta": "() -> 'AboutMeta'",
        "format_about_html": "() -> 'str'",
        "_read_pyproject_field": "(pattern: 're.Pattern[str]') -> 'str | None'",
        "_parse_project_urls": "(meta_json: 'dict') -> 'dict[str, str]'",
        "_display_name": "(raw: 'str') -> 'str'",
        "_clean_summary": "(summary: 'str') -> 'str'",
    }
    for name, sig in sigs.items():
        assert str(inspect.signature(getattr(am, name))) == sig, name


def test_installed_metadata_record(am, installed):
    installed(
        "Version: 1.2.3",
        "Summary: Talvex - image analysis & <more>",
        "License-Expression: MIT",
        "License: Some long licence text",
        "Author-email: Jane Doe <jane@example.com>",
        "Maintainer:   Max Power  ",
        "Project-URL: Homepage, https://example.com/home",
        "Project-URL: Documentation,https://example.com/ignored-no-blank",
        "Project-URL: homepage, https://example.com/wrong-case",
        "Project-URL: Homepage, https://example.com/later",
    )
    assert am.get_version() == "1.2.3"
    assert am.get_aboutmeta() == (
        "Talvex", "1.2.3", "Talvex - image analysis & <more>", "MIT", "Jane Doe", "Max Power",
        "https://example.com/later", "https://github.com/talvex/talvex/tree/main/docs", PY,
    )
    # Prefix dropped in the About text only, values not escaped.
    assert am.format_about_html() == (
        "<h3>Talvex</h3><p>image analysis & <more></p><p><b>Version:</b> 1.2.3"
        f"<br/><b>Python:</b> {PY}<br/><b>Author:</b> Jane Doe"
    )


@pytest.mark.parametrize(
    "headers, expected",
    [
        (["License: Custom", "Author: Plain Author",
          "Project-URL: Documentation, https://example.com/docs"],
         ("1.2.3", DEFAULT_SUMMARY, "Custom", "Talvex Team", "",
          "https://github.com/talvex/talvex", "https://example.com/docs")),
        (["License-Expression:", "Author-email: <team@example.com>"],
         ("1.2.3", DEFAULT_SUMMARY, "Proprietary", "", "",
          "https://github.com/talvex/talvex", "https://github.com/talvex/talvex/tree/main/docs")),
    ],
)
def test_installed_fallbacks(am, installed, monkeypatch, headers, expected):
    installed("Version: 1.2.3", *headers)
    # The record takes the Version field over what get_version said.
    monkeypatch.setattr(am, "get_version", lambda: "from-get-version")
    assert am.get_aboutmeta()[1:8] == expected


def test_not_installed_without_pyproject(am, not_installed):
    assert am.get_version() == "unknown"
    assert am.get_aboutmeta() == (
        "Talvex", "unknown", DEFAULT_SUMMARY, "Proprietary", "Talvex Team", "",
        "https://github.com/talvex/talvex", "https://github.com/talvex/talvex/tree/main/docs", PY,
    )
    assert am.format_about_html() == (
        "<h3>Talvex</h3><p>Talvex for visualization and analysis.</p>"
        f"<p><b>Version:</b> unknown<br/><b>Python:</b> {PY}<br/><b>Author:</b> Talvex Team"
    )


def test_not_installed_reads_first_matching_pyproject_lines(am, not_installed):
    not_installed.parent.mkdir()
    not_installed.write_text(
        "[tool.other]\n"
        '  version = "indented"\n'
        "version = 'single-quoted'\n"
        'version = ""\n'
        'version="0.9.dev1"\n'
        "[project]\n"
        'version = "1.0.0"\n'
        'description = "Talvex - from the checkout"\n',
        encoding="utf-8",
    )
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
    assert am._display_name("  Ann <a@x>, Bob <b@x> ") == "Ann"
    assert am._display_name("ann@example.com") == "ann@example.com"
    assert am._display_name(" \t") == "Talvex Team"
    assert am._clean_summary("  Talvex -  spaced ") == " spaced"
    assert am._clean_summary("Talvex -no blank") == "Talvex -no blank"
