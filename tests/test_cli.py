"""The ``talvex-ext`` command, run as a real child process."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import types

import pytest

import cli_support as cs
import e2e_support as e2e
from e2e_support import EXT

QUEUE = "pending-extension-ops.json"


@pytest.fixture
def env(tmp_path):
    return cs.cli_environ(tmp_path)


def run_json(args, env, **kw):
    proc = cs.run_cli(args, env, **kw)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.mark.parametrize(
    "args",
    [[], ["frobnicate"], ["install"], ["uninstall", "  "], ["search", "--limit", "-1"],
     ["search", "--timeout", "0"], ["apply-pending", "--retry-seconds", "soon"], ["list", "--bogus"]],
    ids=lambda a: " ".join(a) or "no-command",
)
def test_bad_usage_exits_2_with_a_message(args, env):
    proc = cs.run_cli(args, env)
    assert (proc.returncode, proc.stdout) == (2, ""), proc.stderr
    assert "error:" in proc.stderr


def test_help_documents_commands_and_exit_statuses(env):
    proc = cs.run_cli(["--help"], env)
    assert proc.returncode == 0
    for word in ("list", "search", "install", "upgrade", "uninstall", "pending", "apply-pending", "about"):
        assert word in proc.stdout
    epilog = proc.stdout.split("exit status:")[1]
    assert all(f"\n  {status} " in epilog for status in "0123")
    assert "exit status:" in cs.run_cli(["install", "--help"], env).stdout  # on every subcommand


def test_list_shows_visible_extensions_and_queued_changes(tmp_path, env):
    assert run_json(["list", "--json"], env) == []
    cs.write_queue(tmp_path / QUEUE, install=["talvex-ext-b"])
    out = cs.run_cli(["list"], env).stdout
    assert "No extensions installed." in out and "1 change queued" in out and "talvex-ext pending" in out

    dists = tmp_path / "dists"
    for name, version in [("Talvex_Ext_Alpha", "1.2"), ("talvex-ext-sdk", "2.0"), ("talvex-extension-tools", "3.0")]:
        cs.fake_distribution(dists, name, version)
    env = cs.cli_environ(tmp_path / "dists", extra_paths=[dists])
    assert run_json(["list", "--json"], env) == [{"package": "talvex-ext-alpha", "name": "Alpha", "version": "1.2"}]
    text = cs.run_cli(["list"], env).stdout.splitlines()
    assert [line.split() for line in text] == [["PACKAGE", "NAME", "VERSION"], ["talvex-ext-alpha", "Alpha", "1.2"]]


def test_pending_lists_uninstalls_before_installs(tmp_path, env):
    queue = tmp_path / QUEUE
    proc = cs.run_cli(["pending"], env)
    assert (proc.returncode, proc.stdout.strip()) == (0, "No changes are queued.")

    cs.write_queue(queue, install=["Talvex_Ext_B"], uninstall=["talvex-ext-a"])
    assert run_json(["pending", "--json"], env) == [
        {"operation": "uninstall", "package": "talvex-ext-a", "failed_starts": 0},
        {"operation": "install", "package": "talvex-ext-b", "failed_starts": 0}]
    text = cs.run_cli(["pending"], env).stdout
    assert "2 changes queued" in text and f"Queue file: {queue}" in text
    assert text.index("uninstall") < text.index("install  ")

    # Module warnings reach stderr without -v; the result stays clean JSON.
    queue.write_text("{", encoding="utf-8")
    proc = cs.run_cli(["pending", "--json"], env)
    assert (proc.returncode, json.loads(proc.stdout)) == (0, [])
    assert "Ignoring unreadable pending-ops file" in proc.stderr


# The installer stands in with a file-lock failure; the queue's directory is a file.
LOCKED_INSTALLER = """
import talvex.core.extensions.wheelwork as _ww
_ww._run = lambda argv, *, timeout=600.0, on_output=None, cancel=None: _ww.PipResult(
    ok=False, command=tuple(argv), returncode=1, stderr="ERROR: [WinError 5] Access is denied: 'demo.pyd'")
"""


@pytest.mark.parametrize("command", ["install", "uninstall"])
def test_locked_change_that_cannot_be_queued_exits_1(tmp_path, command):
    blocker = tmp_path / "blocker"
    blocker.write_text("not a directory", encoding="utf-8")
    proc = cs.run_cli([command, "talvex-ext-demo"], cs.cli_environ(blocker), prelude=LOCKED_INSTALLER)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert "Failed:" in proc.stdout and "Deferred" not in proc.stdout
    assert "the change could NOT be queued for the next start" in proc.stdout
    assert f"Could not update {blocker / QUEUE}" in proc.stderr


def test_about_text_and_json(env):
    data = run_json(["about", "--json"], env)
    assert data["name"] == "Talvex" and data["python_version"] == "%d.%d.%d" % sys.version_info[:3]
    assert {"version", "summary", "license", "author", "homepage", "documentation"} <= set(data)
    assert data["installer"] in ("uv pip", "pip")
    lines = cs.run_cli(["about"], env).stdout.splitlines()
    assert lines[0] == f"Talvex {data['version']}"
    assert ["Python:", data["python_version"]] in [line.split() for line in lines]
    assert any(line.strip().startswith("License:") for line in lines)


CATALOG = {
    "talvex-ext-viewer": {"name": "talvex-ext-viewer", "version": "2.1", "summary": "DICOM viewer"},
    "Talvex-Ext-Annotate": {"name": "Talvex-Ext-Annotate", "version": "0.3", "summary": "Region notes"},
    "talvex-ext-broken": None,  # its project document answers 404
    "talvex-ext-sdk": {"name": "talvex-ext-sdk", "version": "9", "summary": "SDK"},
    "numpy": {"name": "numpy", "version": "2.0", "summary": "arrays"},
}


@pytest.fixture
def index():
    with cs.LocalIndex(dict(CATALOG)) as server:
        yield server


@pytest.fixture
def search(tmp_path, index):
    dists = tmp_path / "dists"
    cs.fake_distribution(dists, "talvex-ext-viewer", "2.0")
    env = cs.cli_environ(tmp_path, extra_paths=[dists], CLI_TEST_INDEX=index.url)
    return lambda *args: cs.run_cli(["search", *args], env, prelude=cs.REROUTE_INDEX)


def packages(proc):
    return [r["package"] for r in json.loads(proc.stdout)]


def test_search_lists_the_catalog_in_name_order(search, index):
    proc = search("--json")
    rows = json.loads(proc.stdout)
    assert [r["package"] for r in rows] == ["Talvex-Ext-Annotate", "talvex-ext-broken", "talvex-ext-viewer"]
    assert rows[2] == {"id": "talvex-ext-viewer", "name": "Viewer", "version": "2.1",
                       "package": "talvex-ext-viewer", "description": "DICOM viewer", "installed": "2.0"}
    assert rows[1]["version"] == "" and rows[1]["installed"] is None
    assert ("/simple/", "application/vnd.pypi.simple.v1+json") in index.requests
    table = [line.split() for line in search().stdout.splitlines()]
    assert table[0] == ["PACKAGE", "NAME", "VERSION", "INSTALLED", "DESCRIPTION"]
    assert table[3] == ["talvex-ext-viewer", "Viewer", "2.1", "2.0", "DICOM", "viewer"]


def test_search_filters_and_limits(search, index):
    assert packages(search("dicom", "--json")) == ["talvex-ext-viewer"]
    assert packages(search("ANNOT", "--json")) == ["Talvex-Ext-Annotate"]
    proc = search("nothing-like-this")
    assert (proc.returncode, proc.stdout.strip()) == (0, "No extensions match 'nothing-like-this'.")
    # The filter sees the whole catalog; the limit applies to what matched.
    assert packages(search("talvex", "--limit", "1", "--json")) == ["Talvex-Ext-Annotate"]
    index.requests.clear()
    rows = json.loads(search("--no-metadata", "--limit", "2", "--json").stdout)
    assert [(r["package"], r["version"]) for r in rows] == [("Talvex-Ext-Annotate", ""), ("talvex-ext-broken", "")]
    assert [path for path, _ in index.requests] == ["/simple/"]  # no project documents


def test_search_index_failure_exits_1_with_a_clear_message(search, index):
    index.status = 503
    for down in (False, True):
        if down:
            index.__exit__()  # nothing listens on the port any more
        proc = search()
        assert (proc.returncode, proc.stdout) == (1, "")
        assert "could not read the extension catalog" in proc.stderr and "Traceback" not in proc.stderr
        assert down or "503" in proc.stderr


# Reroutes urllib itself instead of the module's JSON client, so the catalog reads
# the simple index with its own scan.
REROUTE_URLOPEN = """
import os, urllib.parse, urllib.request
_base, _open = urllib.parse.urlsplit(os.environ["CLI_TEST_INDEX"]), urllib.request.urlopen
def _rerouted(request, *args, **kwargs):
    parts = urllib.parse.urlsplit(request.full_url)
    request.full_url = urllib.parse.urlunsplit((_base.scheme, _base.netloc, parts.path, parts.query, ""))
    return _open(request, *args, **kwargs)
urllib.request.urlopen = _rerouted
"""


@pytest.fixture
def portal():
    """A captive portal: every request gets a login page."""
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
    import threading

    class Portal(BaseHTTPRequestHandler):
        content_type = "text/html; charset=utf-8"

        def do_GET(self):  # noqa: N802
            body = b"<!DOCTYPE html>\n<html><body>Please log in to the hotel network</body></html>\n"
            self.send_response(200)
            self.send_header("Content-Type", Portal.content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Portal)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    server.handler = Portal
    server.url = f"http://127.0.0.1:{server.server_address[1]}"
    yield server
    server.shutdown()
    server.server_close()


@pytest.mark.parametrize("prelude", [cs.REROUTE_INDEX, REROUTE_URLOPEN], ids=["client", "scan"])
def test_search_names_a_non_json_answer(tmp_path, portal, prelude, index_hosts):
    env = cs.cli_environ(tmp_path, CLI_TEST_INDEX=portal.url)
    proc = cs.run_cli(["search"], env, prelude=prelude)
    assert (proc.returncode, proc.stdout) == (1, "")
    # The URL the module asked for (the client reroute changes it, the urllib one does not).
    asked = portal.url if prelude is cs.REROUTE_INDEX else f"https://{index_hosts[0]}"
    assert proc.stderr == (
        "talvex-ext: error: could not read the extension catalog from the package index: the package index at "
        f"{asked}/simple/ answered with text/html; charset=utf-8, not JSON (a proxy or captive portal?)\n")
    # The type comes from outside: its terminal controls are not passed on.
    portal.handler.content_type = "text/html\x1b]0;owned\x07\x1b[2J"
    proc = cs.run_cli(["search"], env, prelude=prelude)
    assert proc.returncode == 1 and "\x1b" not in proc.stderr and "\x07" not in proc.stderr
    assert "answered with text/html" in proc.stderr and "Traceback" not in proc.stderr


def test_verbosity_controls_module_log_records(search):
    marker = "PyPI metadata for talvex-ext-broken failed"
    assert marker not in search().stderr and marker not in search("-v").stderr
    proc = search("-vv")
    assert proc.returncode == 0 and marker in proc.stderr and "talvex.core.extensions.wheelwork" in proc.stderr


def test_cli_verbosity_adds_up_on_both_sides_of_the_command(monkeypatch, capsys):
    import logging

    from talvex_ext_cli import cli

    talvex = logging.getLogger("talvex")
    monkeypatch.setattr(talvex, "handlers", [])
    monkeypatch.setattr(talvex, "level", talvex.level)
    monkeypatch.setattr(talvex, "propagate", talvex.propagate)
    for argv, level in ((["-v", "about", "-v"], logging.DEBUG), (["about", "-v"], logging.INFO)):
        assert cli.main(argv) == 0
        assert talvex.level == level
    capsys.readouterr()


@pytest.mark.parametrize("raised, status, message",
                         [(KeyboardInterrupt, 130, "interrupted"), (LookupError("queue exploded"), 1,
                                                                    "LookupError: queue exploded")])
def test_interrupt_and_unexpected_errors(monkeypatch, capsys, ww, raised, status, message):
    from talvex_ext_cli import cli

    monkeypatch.setattr(cli, "configure_logging", lambda verbosity: None)  # leave pytest's logging alone
    def pending_operations():
        raise raised

    monkeypatch.setattr(ww, "pending_operations", pending_operations)
    assert cli.main(["pending"]) == status
    assert message in capsys.readouterr().err


# ------------------------------------------------- installs in a private environment


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    python, site = e2e.create_environment(tmp_path_factory.mktemp("cli-venv"))
    cs.install_command_package(site)
    return python, site


@pytest.fixture
def box(venv, tmp_path):
    """Runs of the command inside the private environment, with local wheels only."""
    e2e.remove_demo_packages(venv[1])
    b = types.SimpleNamespace(links=tmp_path / "wheels", queue=tmp_path / QUEUE, python=venv[0], site=venv[1])
    e2e.build_wheel(b.links, EXT, "1.0")
    b.environ = lambda path_dirs=(): e2e.child_environ(tmp_path / "work", b.links, path_dirs=path_dirs, pending=b.queue)
    b.run = lambda *args, path_dirs=(): cs.run_cli(list(args), b.environ(path_dirs), python=b.python)
    b.json = lambda *args: json.loads(b.run(*args, "--json").stdout)
    return b


def ran(proc, status=0):
    assert proc.returncode == status, proc.stdout + proc.stderr
    return proc.stdout


def e2e_posix(test):
    return pytest.mark.e2e(pytest.mark.skipif(os.name == "nt", reason="installer stand-ins are shell scripts")(test))


@e2e_posix
def test_install_upgrade_uninstall_round_trip(box):
    lines = ran(box.run("install", EXT)).splitlines()
    assert lines[0] == f"Installing {EXT} with pip:" and lines[-1] == f"Installed {EXT} 1.0."
    assert lines[1].startswith("  $ ") and "-m pip install" in lines[1] and lines[1].endswith(EXT)
    assert "\r" not in "".join(lines)  # no live indicator without a terminal
    assert box.json("list") == [{"package": EXT, "name": "Demo", "version": "1.0"}]

    e2e.build_wheel(box.links, EXT, "1.1")
    assert ran(box.run("upgrade", EXT)).splitlines()[-1] == f"Upgraded {EXT} 1.1."
    lines = ran(box.run("uninstall", EXT)).splitlines()
    assert "-m pip uninstall -y" in lines[1] and lines[-1] == f"Uninstalled {EXT}."
    assert box.json("list") == []


def installed_by_hand(site, name, version, files):
    """A distribution laid out as an installer leaves it: its files, METADATA and a RECORD
    listing them (no top_level.txt); the paths to remove afterwards."""
    info = site / f"{name.replace('-', '_')}-{version}.dist-info"
    cs.fake_distribution(site, name, version)
    for path, text in files.items():
        (site / path).parent.mkdir(parents=True, exist_ok=True)
        (site / path).write_text(text, encoding="utf-8")
    (info / "RECORD").write_text("".join(f"{p},,\n" for p in [*files, f"{info.name}/METADATA", f"{info.name}/RECORD"]))
    return [info] + sorted({site / p.split("/")[0] for p in files})


@e2e_posix
def test_changes_keep_code_that_other_distributions_own(box, venv):
    python, site = venv
    qt = installed_by_hand(site, "PySide6-Essentials", "6.8.0",
                           {"PySide6/__init__.py": "", "PySide6/QtCore.py": "class QObject:\n    pass\n"})
    # The product's own wheel shares the host's namespace directory talvex/.
    modules = sorted(str(p.relative_to(site)) for p in (site / "talvex").rglob("*") if p.is_file())
    product = installed_by_hand(site, "talvex-native", "1.0", {})[0]
    with (product / "RECORD").open("a") as record:
        record.writelines(f"{m},,\n" for m in modules)
    try:
        # The installer skips a name that is not installed and exits 0; the command says so.
        for name in ("PySide6", "talvex-ext-demoo"):
            out = ran(box.run("uninstall", name), 1)
            assert out.splitlines()[-1] == f"Failed: {name} was not installed, so nothing was uninstalled."
        qt_core = subprocess.run([str(python), "-c", "import PySide6.QtCore as m; print(m.QObject.__name__)"],
                                 capture_output=True, text=True, env=box.environ())
        assert qt_core.stdout.strip() == "QObject", qt_core.stderr

        assert "Failed: the installer exited with status 1." in ran(box.run("upgrade", "talvex"), 1)
        assert sorted(str(p.relative_to(site)) for p in (site / "talvex").rglob("*") if p.is_file()) == modules
        assert box.json("list") == []  # the command still starts: its native modules are there
    finally:
        for path in qt + [product]:
            shutil.rmtree(path, ignore_errors=True)


@e2e_posix
def test_failed_install_shows_installer_output_and_exits_1(box):
    out = ran(box.run("install", "talvex-ext-missing", EXT), 1)
    failed = out.split("Installing " + EXT)[0]
    assert "Failed: the installer exited with status 1." in failed
    assert "talvex-ext-missing" in failed.split("Failed:")[1]  # pip's own message, indented
    # The next package still ran; the summary names both outcomes.
    assert f"Installed {EXT} 1.0." in out and "talvex-ext-missing: failed" in out and f"{EXT}: done" in out


@e2e_posix
def test_locked_install_is_deferred_then_applied(box):
    out = ran(box.run("install", EXT, path_dirs=[e2e.lock_stand_in(box.queue.parent)]), 3)
    assert out.splitlines()[1].startswith("  $ uv pip install")
    assert f"Deferred: '{EXT}' is in use by Talvex" in out and "apply-pending" in out
    assert box.json("pending") == [{"operation": "install", "package": EXT, "failed_starts": 0}]

    # Talvex has exited: the replay runs the real installer (pip, no uv on PATH).
    proc = box.run("-v", "apply-pending")
    assert ran(proc).splitlines()[0] == f"[1/1] {EXT}" and f"Completed: install {EXT}" in proc.stdout
    assert f"Completed deferred install of {EXT}" in proc.stderr  # a module log record
    assert box.json("pending") == [] and box.json("list")[0]["version"] == "1.0"
    assert box.run("apply-pending").stdout.strip() == "No changes are queued."


@e2e_posix
def test_apply_pending_that_still_fails_keeps_the_change_queued(box):
    cs.write_queue(box.queue, install=[EXT, "talvex-ext-missing"])
    proc = box.run("apply-pending", "--retry-seconds", "0")
    out = ran(proc, 1)
    assert out.splitlines()[0] == f"[1/2] {EXT}" and "[2/2] talvex-ext-missing" in out
    assert f"Completed: install {EXT}" in out and "Still queued: install talvex-ext-missing" in out
    assert "could not be applied" in proc.stderr
    # Asked for by hand: the failure is shown, not counted as a failed start.
    assert box.json("pending") == [{"operation": "install", "package": "talvex-ext-missing", "failed_starts": 0}]


@e2e_posix
def test_terminal_shows_elapsed_time_while_the_installer_runs(box):
    slow = e2e.fake_uv(box.queue.parent, "slow-uv-bin", "sleep 1.6\necho 'error: no network in this test' >&2\nexit 2\n")
    argv = [str(box.python), "-m", "talvex_ext_cli", "install", "talvex-ext-slow"]
    status, output = cs.run_in_terminal(argv, box.environ([slow]))
    assert status == 1, output
    assert "\r  installing ... 1s" in output and "no network in this test" in output


# What uv prints on Windows when it may not write the environment, and when a running
# Talvex holds the file: both look like a lock.
DENIED_UV = ("echo 'error: Failed to install: talvex_ext_demo-1.0-py3-none-any.whl' >&2\n"
             "echo '  Caused by: failed to remove file `talvex_ext_demo/__init__.py`: Access is denied."
             " (os error 5)' >&2\nexit 2\n")


@e2e_posix
@pytest.mark.parametrize("command", ["install", "uninstall"])
def test_access_denied_in_an_unwritable_environment_exits_1_and_queues_nothing(box, command):
    denied = e2e.fake_uv(box.queue.parent, "denied-uv-bin", DENIED_UV)
    with e2e.unwritable(box.site):
        proc = box.run(command, EXT, path_dirs=[denied])
    out = ran(proc, 1)
    assert "Failed: the installer exited with status 2." in out and "Deferred" not in out
    assert f"the Python environment at {box.site} is not writable by this user account" in " ".join(out.split())
    assert "install Talvex for this user only." in out and not box.queue.exists()

    # Beside it, the same text where the environment can be written, and a sharing violation:
    # both are locks, queued for the next start.
    for stand_in in (denied, e2e.lock_stand_in(box.queue.parent)):
        out = ran(box.run(command, EXT, path_dirs=[stand_in]), 3)
        assert "Deferred: " in out and "not writable" not in out
        assert box.json("pending") == [{"operation": command, "package": EXT, "failed_starts": 0}]
        box.queue.unlink()


def test_pending_shows_failed_starts(tmp_path, env, ww, monkeypatch):
    queue = tmp_path / QUEUE
    cs.write_queue(queue, uninstall=["talvex-ext-a"], install=["talvex-ext-b", "talvex-ext-c"])
    monkeypatch.setenv("TALVEX_PENDING_OPS_FILE", str(queue))
    ww._count_starts([("install", "talvex-ext-c")], 2)
    assert run_json(["pending", "--json"], env) == [
        {"operation": "uninstall", "package": "talvex-ext-a", "failed_starts": 0},
        {"operation": "install", "package": "talvex-ext-b", "failed_starts": 0},
        {"operation": "install", "package": "talvex-ext-c", "failed_starts": 2}]
    lines = cs.run_cli(["pending"], env).stdout.splitlines()
    assert [line.split() for line in lines[1:5]] == [
        ["OPERATION", "PACKAGE", "FAILED", "STARTS"], ["uninstall", "talvex-ext-a", "0"],
        ["install", "talvex-ext-b", "0"], ["install", "talvex-ext-c", "2"]]
    assert "A change that has failed at 3 starts leaves the queue." in lines
