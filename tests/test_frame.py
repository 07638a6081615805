"""What the wheelwork module binds at import: names, constants, PipResult, signatures."""

import ast
import dataclasses
import inspect
import json
import re
import subprocess
import sys
from pathlib import Path

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

# Every module-level function in source order; each signature is the stub's (see
# test_function_signature).
FUNCTIONS = [
    "sanitize_cli_text", "_decode_cli_bytes", "purge_imported_package_modules", "prefer_uv",
    "installer_label", "_uv_python_args", "_quote_arg", "_display_command", "_uninstall_argv",
    "_pending_ops_path", "_pending_key", "_read_ops", "_write_ops", "pending_packages", "queue_pending_op",
    "clear_pending_op", "pending_operations", "_failed_starts", "_count_starts", "_pending_wheel_files", "_deferred_result",
    "_invalidate_import_caches", "process_pending_operations", "_apply_deferred_op", "_package_name_only",
    "_site_packages_roots", "cleanup_broken_package_install", "install_command", "uninstall_command",
    "upgrade_command", "_is_locked_runtime_package", "_dist_is_installed", "_requirement_name",
    "_marker_allows_install", "_requires_dist_strings", "_missing_third_party_deps", "_install_missing_deps",
    "_subprocess_kwargs", "_run", "_install_argv", "_looks_like_file_lock_error", "_unwritable_environment",
    "_wheel_file_request", "_check_wheel_file", "_wheel_install_argv", "_wheel_install_command", "run_install", "run_uninstall", "run_upgrade", "parse_pypi_project_from_url", "_normalize_dist_name",
    "normalize_pypi_name", "is_user_visible_extension_package", "list_installed_talvex_ext_packages",
    "pypi_package_for_info", "pypi_package_for_available", "display_name_from_pypi_package", "_http_json",
    "list_pypi_talvex_extensions", "_redact_url", "_redact_text", "_pip_index_settings",
    "_uv_index_settings", "_installer_index", "_proxy_settings", "_site_network_settings", "_project_json_url", "_installer_environment",
    "_index_catalog",
]

# Annotations the stub cannot tell: these parameters are annotated with string literals, so
# the runtime holds the quoted text.
STRING_ANNOTATIONS = {
    ("process_pending_operations", "on_progress"): "'Callable[[int, int, str], None] | None'",
    ("process_pending_operations", "on_dropped"): "'Callable[[str, str, str], None] | None'",
}

HEAD = [
    "importlib", "json", "logging", "os", "re", "shutil", "subprocess", "sys", "time",
    "Callable", "Sequence", "dataclass", "Path", "Any", "List", "Optional", "Tuple", "logger",
    "_PYPI_PROJECT_RE", "_ANSI_ESCAPE_RE", "_LOCKED_RUNTIME_PACKAGES", "PipResult",
]
CONSTANTS_AFTER = {
    "_uninstall_argv": ["_DEFERRED_OPS", "_OP_VERBS", "_RETRY_SECONDS", "_RETRY_INTERVAL",
                        "_PENDING_LOCK_SECONDS", "_REPLAY_SECONDS", "_MAX_FAILED_STARTS", "_RUN_DEADLINE"],
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


STUB = Path(__file__).resolve().parents[1] / "stubs" / "talvex" / "core" / "extensions" / "wheelwork.pyi"


@pytest.fixture(scope="module")
def stub():
    """The stub's functions and classes by name (the stub the wheel installs beside the module)."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}


def declared_signature(node, texts):
    """The signature the stub declares for *node*, with each annotation as the text a function
    keeps (*texts* names those the stub cannot tell) and each default as written."""
    P, a = inspect.Parameter, node.args
    assert not (a.posonlyargs or a.kwarg), "declared_signature reads no / or ** parameters"

    def param(arg, kind, default):
        text = ast.unparse(arg.annotation)
        if arg.arg in texts:
            assert texts[arg.arg] == repr(text)  # the stub's type, quoted
            text = texts[arg.arg]
        return P(arg.arg, kind, annotation=text,
                 default=P.empty if default is None else ast.literal_eval(default))

    defaults = [None] * (len(a.args) - len(a.defaults)) + a.defaults
    params = [param(arg, P.POSITIONAL_OR_KEYWORD, d) for arg, d in zip(a.args, defaults)]
    if a.vararg:
        params.append(param(a.vararg, P.VAR_POSITIONAL, None))
    params += [param(arg, P.KEYWORD_ONLY, d) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    return inspect.Signature(params, return_annotation=ast.unparse(node.returns))


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
    for name in FUNCTIONS:
        expected += [name, *CONSTANTS_AFTER.get(name, [])]
    assert json.loads(out.stdout) == expected


# stubtest compares the stub's parameters (names, kinds, defaults) with the runtime's but not
# their annotations, nor the name and kind of a *args parameter: all of it, as inspect
# prints it, must be what the stub declares.
@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_signature(ww, stub, name):
    fn = getattr(ww, name)
    texts = {param: text for (owner, param), text in STRING_ANNOTATIONS.items() if owner == name}
    assert str(inspect.signature(fn)) == str(declared_signature(stub[name], texts))
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == ww.__name__


@pytest.mark.parametrize("name", list(DOCS))
def test_docstrings(ww, name):
    doc, want = getattr(ww, name).__doc__, DOCS[name]
    if isinstance(want, tuple):
        # The first line exactly, then prose in the shape a 3.13 function's docstring has:
        # no indentation common to the lines after the first, and no indented last line.
        assert doc.startswith(want[0] + "\n\n") and doc.endswith("\n") and want[1] in doc
        rest = [line for line in doc.splitlines()[1:] if line.strip()]
        assert min(len(line) - len(line.lstrip()) for line in rest) == 0
    else:
        assert doc == want


# --- constants ------------------------------------------------------------------------


def test_constants(ww):
    assert ww._LOCKED_RUNTIME_PACKAGES == frozenset(
        {"talvex", "pyside6", "pyside6-addons", "pyside6-essentials", "shiboken6",
         "shiboken6-generator", "numpy"}
    )
    assert ww._HIDDEN_EXTENSION_PACKAGES == frozenset({"talvex-extension-sdk", "talvex-ext-sdk"})
    assert ww._DEFERRED_OPS == ("uninstall", "install")
    assert list(ww._OP_VERBS.items()) == [("uninstall", "removed"), ("install", "updated")]
    # stubtest checks the container types; an int would pass it where the stub says float
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


# stubtest sees the names and order of the fields, not their types as text, their defaults,
# nor that the class is frozen.
def test_pip_result_class(ww, stub):
    cls, body = ww.PipResult, stub["PipResult"].body
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (ww.__name__, "PipResult", "PipResult")
    assert cls.__dataclass_params__.frozen
    P = inspect.Parameter
    declared = [P(n.target.id, P.POSITIONAL_OR_KEYWORD, annotation=ast.unparse(n.annotation),
                  default=P.empty if n.value is None else ast.literal_eval(n.value))
                for n in body if isinstance(n, ast.AnnAssign)]
    fields = [(f.name, f.type, f.default) for f in dataclasses.fields(cls)]
    assert fields == [(p.name, p.annotation, dataclasses.MISSING if p.default is P.empty else p.default)
                      for p in declared]
    assert str(inspect.signature(cls)) == str(inspect.Signature(declared, return_annotation=None))
    output, = (n for n in body if isinstance(n, ast.FunctionDef))
    assert isinstance(cls.__dict__["output"], property)
    assert inspect.signature(cls.__dict__["output"].fget).return_annotation == ast.unparse(output.returns)


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
