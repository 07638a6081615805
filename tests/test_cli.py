"""The ``talvex-ext`` command, run as a real child process."""

from __future__ import annotations

import json
import os
import sys

import pytest

import cli_support as cs

posix_only = pytest.mark.skipif(os.name == "nt", reason="installer stand-ins are shell scripts")


@pytest.fixture
def env(tmp_path):
    return cs.cli_environ(tmp_path)


# --------------------------------------------------------------------------- usage


@pytest.mark.parametrize(
    "args",
    [
        [],
        ["frobnicate"],
        ["install"],
        ["uninstall", "  "],
        ["search", "--limit", "-1"],
        ["search", "--timeout", "0"],
        ["apply-pending", "--retry-seconds", "soon"],
        ["list", "--bogus"],
    ],
    ids=lambda a: " ".join(a) or "no-command",
)
def test_bad_usage_exits_2_with_a_message(args, env):
    proc = cs.run_cli(args, env)
    assert proc.returncode == 2, proc.stderr
    assert "error:" in proc.stderr and proc.stdout == ""


def test_help_documents_commands_and_exit_statuses(env):
    proc = cs.run_cli(["--help"], env)
    assert proc.returncode == 0
    for word in ("list", "search", "install", "upgrade", "uninstall", "pending", "apply-pending", "about"):
        assert word in proc.stdout
    epilog = proc.stdout.split("exit status:")[1]
    for status in ("0", "1", "2", "3"):
        assert f"\n  {status} " in epilog
    # Every subcommand's help carries the same table.
    assert "exit status:" in cs.run_cli(["install", "--help"], env).stdout


# ---------------------------------------------------------------- read commands


def test_list_shows_visible_extensions_only(tmp_path):
    dists = tmp_path / "dists"
    cs.fake_distribution(dists, "Talvex_Ext_Alpha", "1.2")
    cs.fake_distribution(dists, "talvex-ext-sdk", "2.0")
    cs.fake_distribution(dists, "talvex-extension-tools", "3.0")
    env = cs.cli_environ(tmp_path, extra_paths=[dists])

    proc = cs.run_cli(["list", "--json"], env)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [{"package": "talvex-ext-alpha", "name": "Alpha", "version": "1.2"}]

    text = cs.run_cli(["list"], env).stdout.splitlines()
    assert text[0].split() == ["PACKAGE", "NAME", "VERSION"]
    assert text[1].split() == ["talvex-ext-alpha", "Alpha", "1.2"]
    assert "queued" not in "\n".join(text)


def test_list_without_extensions_and_with_queued_changes(tmp_path, env):
    assert cs.run_cli(["list", "--json"], env).stdout.strip() == "[]"
    cs.write_queue(tmp_path / "pending-extension-ops.json", install=["talvex-ext-b"])
    proc = cs.run_cli(["list"], env)
    assert proc.returncode == 0
    assert "No extensions installed." in proc.stdout
    assert "1 change queued" in proc.stdout and "talvex-ext pending" in proc.stdout


def test_pending_lists_uninstalls_before_installs(tmp_path, env):
    queue = tmp_path / "pending-extension-ops.json"
    proc = cs.run_cli(["pending"], env)
    assert (proc.returncode, proc.stdout.strip()) == (0, "No changes are queued.")

    cs.write_queue(queue, install=["Talvex_Ext_B"], uninstall=["talvex-ext-a"])
    data = json.loads(cs.run_cli(["pending", "--json"], env).stdout)
    assert data == [
        {"operation": "uninstall", "package": "talvex-ext-a"},
        {"operation": "install", "package": "talvex-ext-b"},
    ]
    text = cs.run_cli(["pending"], env).stdout
    assert "2 changes queued" in text
    assert text.index("uninstall") < text.index("install  ")
    assert f"Queue file: {queue}" in text

    # Module warnings reach stderr without -v; the result stays clean JSON.
    queue.write_text("{", encoding="utf-8")
    proc = cs.run_cli(["pending", "--json"], env)
    assert (proc.returncode, json.loads(proc.stdout)) == (0, [])
    assert "Ignoring unreadable pending-ops file" in proc.stderr


def test_about_text_and_json(env):
    proc = cs.run_cli(["about", "--json"], env)
    assert proc.returncode == 0, proc.stderr
    data = json.loads(proc.stdout)
    assert data["name"] == "Talvex"
    assert data["python_version"] == "%d.%d.%d" % sys.version_info[:3]
    assert {"version", "summary", "license", "author", "homepage", "documentation"} <= set(data)
    assert data["installer"] in ("uv pip", "pip")

    lines = cs.run_cli(["about"], env).stdout.splitlines()
    assert lines[0] == f"Talvex {data['version']}"
    assert any(line.split() == ["Python:", data["python_version"]] for line in lines)
    assert any(line.strip().startswith("License:") for line in lines)


# ------------------------------------------------------------------------ search

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


def search(tmp_path, index, *args, extra_paths=()):
    env = cs.cli_environ(tmp_path, extra_paths=extra_paths, CLI_TEST_INDEX=index.url)
    return cs.run_cli(["search", *args], env, prelude=cs.REROUTE_INDEX)


def test_search_lists_the_catalog_in_name_order(tmp_path, index):
    dists = tmp_path / "dists"
    cs.fake_distribution(dists, "talvex-ext-viewer", "2.0")
    proc = search(tmp_path, index, "--json", extra_paths=[dists])
    assert proc.returncode == 0, proc.stderr
    rows = json.loads(proc.stdout)
    assert [r["package"] for r in rows] == ["Talvex-Ext-Annotate", "talvex-ext-broken", "talvex-ext-viewer"]
    viewer = rows[2]
    assert viewer == {
        "id": "talvex-ext-viewer", "name": "Viewer", "version": "2.1", "package": "talvex-ext-viewer",
        "description": "DICOM viewer", "installed": "2.0",
    }
    assert rows[1]["version"] == "" and rows[1]["installed"] is None
    assert ("/simple/", "application/vnd.pypi.simple.v1+json") in index.requests

    table = search(tmp_path, index, extra_paths=[dists]).stdout.splitlines()
    assert table[0].split() == ["PACKAGE", "NAME", "VERSION", "INSTALLED", "DESCRIPTION"]
    assert table[3].split() == ["talvex-ext-viewer", "Viewer", "2.1", "2.0", "DICOM", "viewer"]


def test_search_text_filters_without_case_and_limit_caps(tmp_path, index):
    rows = json.loads(search(tmp_path, index, "dicom", "--json").stdout)
    assert [r["package"] for r in rows] == ["talvex-ext-viewer"]
    rows = json.loads(search(tmp_path, index, "ANNOT", "--json").stdout)
    assert [r["package"] for r in rows] == ["Talvex-Ext-Annotate"]
    proc = search(tmp_path, index, "nothing-like-this")
    assert (proc.returncode, proc.stdout.strip()) == (0, "No extensions match 'nothing-like-this'.")
    # The filter sees the whole catalog; the limit applies to what matched.
    rows = json.loads(search(tmp_path, index, "talvex", "--limit", "1", "--json").stdout)
    assert [r["package"] for r in rows] == ["Talvex-Ext-Annotate"]


def test_search_no_metadata_makes_only_the_index_request(tmp_path, index):
    rows = json.loads(search(tmp_path, index, "--no-metadata", "--limit", "2", "--json").stdout)
    assert [(r["package"], r["version"]) for r in rows] == [("Talvex-Ext-Annotate", ""), ("talvex-ext-broken", "")]
    assert index.project_requests() == []


def test_search_index_failure_exits_1_with_a_clear_message(tmp_path, index):
    index.status = 503
    proc = search(tmp_path, index)
    assert proc.returncode == 1
    assert "could not read the extension catalog" in proc.stderr and "503" in proc.stderr
    assert "Traceback" not in proc.stderr and proc.stdout == ""

    index.__exit__()  # nothing listens on the port any more
    proc = search(tmp_path, index)
    assert proc.returncode == 1
    assert "could not read the extension catalog" in proc.stderr and "Traceback" not in proc.stderr


def test_verbosity_controls_module_log_records(tmp_path, index):
    marker = "PyPI metadata for talvex-ext-broken failed"
    assert marker not in search(tmp_path, index).stderr
    assert marker not in search(tmp_path, index, "-v").stderr
    proc = search(tmp_path, index, "-vv")
    assert proc.returncode == 0
    assert marker in proc.stderr and "talvex.core.extensions.wheelwork" in proc.stderr


# ------------------------------------------------------------ failures in-process


def test_interrupt_exits_130_and_unexpected_errors_exit_1(monkeypatch, capsys, ww):
    from talvex_ext_cli import cli

    # Leave the process-wide logging configuration of the test run alone.
    monkeypatch.setattr(cli, "configure_logging", lambda verbosity: None)
    main = cli.main

    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(ww, "pending_operations", interrupted)
    assert main(["pending"]) == 130
    assert "interrupted" in capsys.readouterr().err

    def broken():
        raise LookupError("queue exploded")

    monkeypatch.setattr(ww, "pending_operations", broken)
    assert main(["pending"]) == 1
    assert "LookupError: queue exploded" in capsys.readouterr().err


# ------------------------------------------------- installs in a private environment


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    e2e = pytest.importorskip("e2e_support")
    root = tmp_path_factory.mktemp("cli-venv")
    python, site = e2e.create_environment(root)
    cs.install_command_package(site)
    return python, site


@pytest.fixture
def box(venv, tmp_path):
    """A run of the command inside the private environment, with local wheels only."""
    import e2e_support as e2e

    python, site = venv
    e2e.remove_demo_packages(site)
    links = tmp_path / "wheels"
    e2e.build_wheel(links, e2e.EXT, "1.0")

    class Box:
        queue = tmp_path / "pending-extension-ops.json"

        def __init__(self):
            self.links, self.python, self.site = links, python, site

        def environ(self, path_dirs=()):
            return e2e.child_environ(tmp_path / "work", links, path_dirs=list(path_dirs), pending=self.queue)

        def run(self, *args, path_dirs=()):
            return cs.run_cli(list(args), self.environ(path_dirs), python=python)

    return Box()


@pytest.mark.e2e
@posix_only
def test_install_upgrade_uninstall_round_trip(box):
    import e2e_support as e2e

    proc = box.run("install", e2e.EXT)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == f"Installing {e2e.EXT} with pip:"
    assert lines[1].startswith("  $ ") and "-m pip install" in lines[1] and lines[1].endswith(e2e.EXT)
    assert lines[-1] == f"Installed {e2e.EXT} 1.0."
    assert "\r" not in proc.stdout  # no live indicator without a terminal
    assert json.loads(box.run("list", "--json").stdout) == [
        {"package": e2e.EXT, "name": "Demo", "version": "1.0"}
    ]

    e2e.build_wheel(box.links, e2e.EXT, "1.1")
    proc = box.run("upgrade", e2e.EXT)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.splitlines()[-1] == f"Upgraded {e2e.EXT} 1.1."

    proc = box.run("uninstall", e2e.EXT)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "-m pip uninstall -y" in proc.stdout.splitlines()[1]
    assert proc.stdout.splitlines()[-1] == f"Uninstalled {e2e.EXT}."
    assert json.loads(box.run("list", "--json").stdout) == []


@pytest.mark.e2e
@posix_only
def test_failed_install_shows_installer_output_and_exits_1(box):
    import e2e_support as e2e

    proc = box.run("install", "talvex-ext-missing", e2e.EXT)
    assert proc.returncode == 1
    failed = proc.stdout.split("Installing " + e2e.EXT)[0]
    assert "Failed: the installer exited with status 1." in failed
    assert "talvex-ext-missing" in failed.split("Failed:")[1]  # pip's own message, indented
    # The next package still ran; the summary names both outcomes.
    assert f"Installed {e2e.EXT} 1.0." in proc.stdout
    assert "talvex-ext-missing: failed" in proc.stdout and f"{e2e.EXT}: done" in proc.stdout


@pytest.mark.e2e
@posix_only
def test_locked_install_is_deferred_then_applied(box):
    import e2e_support as e2e

    locked_dir, _ = e2e.lock_stand_in(box.queue.parent)
    proc = box.run("install", e2e.EXT, path_dirs=[locked_dir])
    assert proc.returncode == 3, proc.stdout + proc.stderr
    assert proc.stdout.splitlines()[1].startswith("  $ uv pip install")
    assert f"Deferred: '{e2e.EXT}' is in use by Talvex" in proc.stdout
    assert "apply-pending" in proc.stdout
    assert json.loads(box.run("pending", "--json").stdout) == [{"operation": "install", "package": e2e.EXT}]

    # Talvex has exited: the replay runs the real installer (pip, no uv on PATH).
    proc = box.run("-v", "apply-pending")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.splitlines()[:1] == [f"[1/1] {e2e.EXT}"]
    assert f"Completed: install {e2e.EXT}" in proc.stdout
    assert f"Completed deferred install of {e2e.EXT}" in proc.stderr  # a module log record
    assert json.loads(box.run("pending", "--json").stdout) == []
    assert json.loads(box.run("list", "--json").stdout)[0]["version"] == "1.0"
    assert box.run("apply-pending").stdout.strip() == "No changes are queued."


@pytest.mark.e2e
@posix_only
def test_apply_pending_that_still_fails_keeps_the_change_queued(box):
    import e2e_support as e2e

    cs.write_queue(box.queue, install=[e2e.EXT, "talvex-ext-missing"])
    proc = box.run("apply-pending", "--retry-seconds", "0")
    assert proc.returncode == 1
    assert proc.stdout.splitlines()[0] == f"[1/2] {e2e.EXT}"
    assert "[2/2] talvex-ext-missing" in proc.stdout
    assert f"Completed: install {e2e.EXT}" in proc.stdout
    assert "Still queued: install talvex-ext-missing" in proc.stdout
    assert "could not be applied" in proc.stderr
    assert json.loads(box.run("pending", "--json").stdout) == [
        {"operation": "install", "package": "talvex-ext-missing"}
    ]


@pytest.mark.e2e
@posix_only
def test_terminal_shows_elapsed_time_while_the_installer_runs(box):
    slow = cs.slow_failing_uv(box.queue.parent, 1.6)
    argv = [str(box.python), "-m", "talvex_ext_cli", "install", "talvex-ext-slow"]
    status, output = cs.run_in_terminal(argv, box.environ([slow]))
    assert status == 1, output
    assert "\r  installing ... 1s" in output
    assert "no network in this test" in output
