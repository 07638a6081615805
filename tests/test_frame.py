"""What the wheelwork module binds at import: names, constants, PipResult, signatures."""

import dataclasses
import inspect
import json
import re
import subprocess
import sys

import pytest

MODULE_DOC = (
    "Install / uninstall Talvex extensions via ``uv pip`` or ``pip`` (PyPI).\n\n"
    "All published extensions are expected to be on PyPI (``talvex-ext-*`` wheels).\n"
    "Prefer ``uv`` when it is on ``PATH``; otherwise fall back to\n"
    "``python -m pip``.\n"
)

PUBLIC = [
    "PipResult", "prefer_uv", "installer_label", "install_command", "uninstall_command",
    "upgrade_command", "run_install", "run_uninstall", "run_upgrade", "pypi_package_for_info",
    "pypi_package_for_available", "parse_pypi_project_from_url", "list_pypi_talvex_extensions",
    "display_name_from_pypi_package", "sanitize_cli_text", "purge_imported_package_modules",
    "normalize_pypi_name", "list_installed_talvex_ext_packages",
    "is_user_visible_extension_package", "cleanup_broken_package_install", "pending_packages",
    "pending_operations", "queue_pending_op", "clear_pending_op", "process_pending_operations",
]

# Every module-level function in source order, with its signature as inspect prints it.
SIGNATURES_TEXT = """
sanitize_cli_text(text: 'str', *, limit: 'int' = 4000) -> 'str'
_decode_cli_bytes(data: 'bytes | str | None') -> 'str'
purge_imported_package_modules(*names: 'str') -> 'int'
prefer_uv() -> 'bool'
installer_label() -> 'str'
_uv_python_args() -> 'list[str]'
_quote_arg(value: 'str') -> 'str'
_display_command(argv: 'Sequence[str]') -> 'str'
_uninstall_argv(pkg: 'str') -> 'list[str]'
_pending_ops_path() -> 'Path'
_pending_key(package: 'str') -> 'str'
_read_ops() -> 'dict[str, list[str]]'
_write_ops(ops: 'dict[str, list[str]]') -> 'None'
pending_packages(op: 'str') -> 'list[str]'
queue_pending_op(op: 'str', package: 'str') -> 'bool'
clear_pending_op(op: 'str', package: 'str') -> 'None'
pending_operations() -> 'list[tuple[str, str]]'
_failed_starts() -> 'dict[str, dict[str, int]]'
_count_starts(operations: 'list[tuple[str, str]]', delta: 'int') -> 'list[int]'
_deferred_result(op: 'str', pkg: 'str', result: 'PipResult') -> 'PipResult'
_invalidate_import_caches() -> 'None'
process_pending_operations(retry_seconds: 'float | None' = None, on_progress: "'Callable[[int, int, str], None] | None'" = None, *, startup: 'bool' = True, on_dropped: "'Callable[[str, str, str], None] | None'" = None) -> 'list[str]'
_apply_deferred_op(op: 'str', pkg: 'str', *, retry_seconds: 'float | None' = None) -> 'tuple[bool, str]'
_package_name_only(package: 'str') -> 'str'
_site_packages_roots() -> 'list[Path]'
cleanup_broken_package_install(package: 'str') -> 'list[str]'
install_command(package: 'str', *, upgrade: 'bool' = False) -> 'str'
uninstall_command(package: 'str') -> 'str'
upgrade_command(package: 'str') -> 'str'
_is_locked_runtime_package(name: 'str') -> 'bool'
_dist_is_installed(name: 'str') -> 'bool'
_requirement_name(req_text: 'str') -> 'str'
_marker_allows_install(req_text: 'str') -> 'bool'
_requires_dist_strings(package: 'str') -> 'list[str]'
_missing_third_party_deps(package: 'str') -> 'list[str]'
_install_missing_deps(package: 'str') -> 'PipResult'
_subprocess_kwargs() -> 'dict'
_run(argv: 'Sequence[str]', *, timeout: 'float' = 600.0) -> 'PipResult'
_install_argv(pkg: 'str', *, force_target: 'bool' = False) -> 'list[str]'
_looks_like_file_lock_error(blob: 'str') -> 'bool'
_unwritable_environment() -> 'Path | None'
run_install(package: 'str', *, upgrade: 'bool' = False, defer_on_lock: 'bool' = True) -> 'PipResult'
run_uninstall(package: 'str', *, defer_on_lock: 'bool' = True) -> 'PipResult'
run_upgrade(package: 'str') -> 'PipResult'
parse_pypi_project_from_url(url: 'str') -> 'str'
_normalize_dist_name(name: 'str') -> 'str'
normalize_pypi_name(name: 'str') -> 'str'
is_user_visible_extension_package(name: 'str', *, prefix: 'str' = 'talvex-ext-') -> 'bool'
list_installed_talvex_ext_packages(*, prefix: 'str' = 'talvex-ext-') -> 'dict[str, str]'
pypi_package_for_info(info: 'Any') -> 'str'
pypi_package_for_available(ext: 'Any') -> 'str'
display_name_from_pypi_package(package: 'str') -> 'str'
_http_json(url: 'str', *, timeout: 'float', headers: 'dict[str, str] | None' = None) -> 'Any'
list_pypi_talvex_extensions(*, prefix: 'str' = 'talvex-ext-', timeout: 'float' = 45.0, fetch_metadata: 'bool' = True, max_packages: 'int' = 120) -> 'list[dict[str, Any]]'
"""
SIGNATURES = {line[: line.index("(")]: line[line.index("("):] for line in SIGNATURES_TEXT.strip().splitlines()}

HEAD = [
    "importlib", "json", "logging", "os", "re", "shutil", "subprocess", "sys", "time",
    "Callable", "Sequence", "dataclass", "Path", "Any", "List", "Optional", "Tuple", "logger",
    "_PYPI_PROJECT_RE", "_ANSI_ESCAPE_RE", "_LOCKED_RUNTIME_PACKAGES", "PipResult",
]
CONSTANTS_AFTER = {
    "_uninstall_argv": ["_DEFERRED_OPS", "_OP_VERBS", "_RETRY_SECONDS", "_RETRY_INTERVAL",
                        "_PENDING_LOCK_SECONDS", "_REPLAY_SECONDS", "_MAX_FAILED_STARTS"],
    "normalize_pypi_name": ["_HIDDEN_EXTENSION_PACKAGES"],
}

# Docstrings: exact text, or (first paragraph, a phrase of the rest) for indented ones.
DOCS = {
    "prefer_uv": "True when the ``uv`` CLI is available on PATH.",
    "sanitize_cli_text": "Make pip/uv console output safe for Qt dialogs (no ANSI / mojibake junk).",
    "_decode_cli_bytes": "Decode subprocess output with Windows-friendly fallbacks.",
    "_quote_arg": "Quote one argument for the copy-paste command strings shown in dialogs.",
    "_display_command": "Render an argv as the command string a dialog shows and the user may copy.",
    "_subprocess_kwargs": "Hide console windows on Windows (avoids blank 'python' popups).",
    "_install_argv": ("Argv that installs/reinstalls *only* ``pkg`` (``--no-deps``).", ""),
    "_uninstall_argv": ("Argv that uninstalls *pkg* from the environment Talvex is running in.", ""),
    "_uv_python_args": (
        "``--python <interpreter>`` so ``uv pip`` targets the environment Talvex runs in.",
        "No virtual environment found",
    ),
    **dict.fromkeys([
        "installer_label", "install_command", "uninstall_command", "upgrade_command",
        "_is_locked_runtime_package", "_run", "_looks_like_file_lock_error", "run_upgrade",
    ]),
}


# --- the module -------------------------------------------------------------------------


def test_module_identity_and_public_names(ww):
    assert ww.__name__ == "talvex.core.extensions.wheelwork"
    assert ww.__doc__ == MODULE_DOC
    assert ww.logger.name == ww.__name__
    assert ww.importlib.metadata.version  # reached through the package
    assert type(ww.__all__) is list and ww.__all__ == PUBLIC
    for name in ("locale", "site", "sysconfig", "gc", "urllib", "concurrent", "packaging"):
        assert name not in vars(ww)  # imported only by the functions needing them


def test_module_names_in_statement_order():
    # Other tests delete and restore module attributes, which moves them to the end
    # of the namespace, so the order is read from a fresh import in a child.
    code = (
        f"import json, sys; sys.path[:0] = {sys.path!r}\n"
        "import talvex.core.extensions.wheelwork as m\n"
        "print(json.dumps([n for n in vars(m) if not (n.startswith('__') and n.endswith('__'))]))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    expected = list(HEAD)
    for name in SIGNATURES:
        expected += [name, *CONSTANTS_AFTER.get(name, [])]
    assert json.loads(out.stdout) == expected


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_signature(ww, name):
    fn = getattr(ww, name)
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == ww.__name__


@pytest.mark.parametrize("name", list(DOCS))
def test_docstrings(ww, name):
    doc, want = getattr(ww, name).__doc__, DOCS[name]
    if isinstance(want, tuple):
        assert doc.startswith(want[0] + "\n\n    ") and doc.endswith("\n    ") and want[1] in doc
    else:
        assert doc == want


# --- constants ------------------------------------------------------------------------


def test_constants(ww):
    assert ww._LOCKED_RUNTIME_PACKAGES == frozenset(
        {"talvex", "pyside6", "pyside6-addons", "pyside6-essentials", "shiboken6",
         "shiboken6-generator", "numpy"}
    )
    assert ww._HIDDEN_EXTENSION_PACKAGES == frozenset({"talvex-extension-sdk", "talvex-ext-sdk"})
    for value in (ww._LOCKED_RUNTIME_PACKAGES, ww._HIDDEN_EXTENSION_PACKAGES):
        assert type(value) is frozenset
    assert ww._DEFERRED_OPS == ("uninstall", "install") and type(ww._DEFERRED_OPS) is tuple
    assert type(ww._OP_VERBS) is dict
    assert list(ww._OP_VERBS.items()) == [("uninstall", "removed"), ("install", "updated")]
    assert (ww._RETRY_SECONDS, ww._RETRY_INTERVAL) == (15.0, 1.0)
    assert type(ww._RETRY_SECONDS) is float and type(ww._RETRY_INTERVAL) is float
    assert ww._PENDING_LOCK_SECONDS == 10.0 and type(ww._PENDING_LOCK_SECONDS) is float
    assert (ww._REPLAY_SECONDS, ww._MAX_FAILED_STARTS) == (30.0, 3) and type(ww._REPLAY_SECONDS) is float
    assert ww._ANSI_ESCAPE_RE.flags == re.compile("").flags and ww._ANSI_ESCAPE_RE.groups == 0


def test_project_url_pattern(ww, index_hosts):
    pattern = ww._PYPI_PROJECT_RE
    assert pattern.flags & re.IGNORECASE and pattern.groups == 1
    assert len(index_hosts) == 2
    for host in index_hosts:
        m = pattern.search(f"https://{host.upper()}/project/Talvex-Ext-Demo/1.0/#files")
        assert m.group(1) == "Talvex-Ext-Demo"
        assert pattern.search(f"https://{host}/project/a_b?x=1").group(1) == "a_b"
    assert pattern.search("https://example.invalid/project/demo") is None


# --- PipResult --------------------------------------------------------------------------


def test_pip_result_class(ww):
    cls = ww.PipResult
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (ww.__name__, "PipResult", "PipResult")
    assert cls.__dataclass_params__.frozen
    fields = [(f.name, f.type, f.default) for f in dataclasses.fields(cls)]
    missing = dataclasses.MISSING
    assert fields == [
        ("ok", "bool", missing), ("command", "tuple[str, ...]", missing),
        ("returncode", "int", missing), ("stdout", "str", ""), ("stderr", "str", ""),
        ("deferred", "bool", False),
    ]
    assert str(inspect.signature(cls)) == (
        "(ok: 'bool', command: 'tuple[str, ...]', returncode: 'int', stdout: 'str' = '', "
        "stderr: 'str' = '', deferred: 'bool' = False) -> None"
    )
    assert isinstance(cls.__dict__["output"], property)
    assert inspect.signature(cls.__dict__["output"].fget).return_annotation == "str"


def test_pip_result_instances(ww):
    with pytest.raises(TypeError, match="returncode"):
        ww.PipResult(ok=True, command=())
    assert repr(ww.PipResult(False, ("uv",), 2)) == (
        "PipResult(ok=False, command=('uv',), returncode=2, stdout='', stderr='', deferred=False)"
    )
    r = ww.PipResult(True, ("uv", "pip"), 0, "out", "err")
    for name in ("ok", "command", "returncode", "stdout", "stderr", "deferred", "output"):
        with pytest.raises((dataclasses.FrozenInstanceError, AttributeError)):
            setattr(r, name, None)
    twin = ww.PipResult(ok=True, command=("uv", "pip"), returncode=0, stdout="out", stderr="err")
    assert r == twin and hash(r) == hash(twin)
    assert r != ww.PipResult(True, ("uv", "pip"), 0, "out", "err", True)
    assert dataclasses.replace(r, ok=False).ok is False


@pytest.mark.parametrize(
    "stdout, stderr, expected",
    [
        ("x", "  err \n", "err"),
        ("x", "", "x"),
        ("much more on stdout", " ", ""),  # stderr wins whenever it is non-empty
        ("", "", ""),
        ("", "\x1b[31mfailed\x1b[0m\r\n", "failed"),
        ("", "e" * 5000, "e" * 4000),
    ],
)
def test_pip_result_output(ww, stdout, stderr, expected):
    assert ww.PipResult(False, (), 1, stdout, stderr).output == expected


def test_pip_result_output_uses_the_current_cleaner(ww, monkeypatch):
    seen = []
    monkeypatch.setattr(ww, "sanitize_cli_text", lambda text: seen.append(text) or "<clean>")
    assert ww.PipResult(False, (), 1, "", "  raw  ").output == "<clean>"
    assert seen == ["raw"]
