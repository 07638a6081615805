"""Helpers for the ``talvex-ext`` command tests.

The command always runs as a real child process.  Read-only commands run with
the test interpreter (the built modules from TALVEX_SITE, or the installed
wheel); commands that install run inside a private virtual environment made by
``e2e_support``.  Catalog requests are rerouted to a local HTTP server.
"""

from __future__ import annotations

import atexit
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"


def _stage_source_package() -> str | None:
    """With a developer build (TALVEX_SITE) the command comes from the source tree.

    Only the command's package is staged: putting ``src`` itself on the path
    would make the source directories of ``talvex`` part of the namespace.
    """
    if not os.environ.get("TALVEX_SITE"):
        return None
    stage = tempfile.mkdtemp(prefix="talvex-ext-cli-")
    atexit.register(shutil.rmtree, stage, ignore_errors=True)
    shutil.copytree(
        SRC / "talvex_ext_cli", Path(stage) / "talvex_ext_cli",
        ignore=shutil.ignore_patterns("__pycache__"),
    )
    sys.path.insert(0, stage)
    return stage


_STAGE = _stage_source_package()

import talvex_ext_cli  # noqa: E402


def _cli_paths() -> list[str]:
    """PYTHONPATH entries the child needs to import the modules and the command."""
    paths = []
    site = os.environ.get("TALVEX_SITE")
    if site:
        paths.append(site)
    if _STAGE:
        paths.append(_STAGE)
    return paths


def cli_environ(tmp: Path, *, extra_paths=(), **overrides: str) -> dict[str, str]:
    """Environment for a read-only run: private queue file, no machine installer settings."""
    env = {
        k: v for k, v in os.environ.items()
        if not k.upper().startswith(("PIP_", "UV_", "TALVEX_", "PYTHONPATH"))
    }
    env["PYTHONPATH"] = os.pathsep.join([*map(str, extra_paths), *_cli_paths()])
    env["TALVEX_PENDING_OPS_FILE"] = str(tmp / "pending-extension-ops.json")
    env["PYTHONIOENCODING"] = "utf-8"
    env.update(overrides)
    return env


def run_cli(args, env, *, python=None, prelude: str | None = None, timeout=300):
    """Run ``talvex-ext ARGS``; returns the CompletedProcess with text output.

    With *prelude*, the command runs through ``-c``: the prelude's code first,
    then the command's ``__main__`` exactly as ``python -m`` would run it.
    """
    python = str(python or sys.executable)
    if prelude is None:
        argv = [python, "-m", "talvex_ext_cli", *args]
    else:
        code = (
            prelude
            + "\nimport runpy, sys\nsys.argv = ['talvex-ext', *sys.argv[1:]]\n"
            "runpy.run_module('talvex_ext_cli', run_name='__main__', alter_sys=True)\n"
        )
        argv = [python, "-c", code, *args]
    return subprocess.run(
        argv, env=env, capture_output=True, text=True, encoding="utf-8", timeout=timeout,
    )


def fake_distribution(root: Path, name: str, version: str) -> None:
    """Installed-package metadata (no code) that importlib.metadata finds on sys.path."""
    info = root / f"{name.replace('-', '_')}-{version}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    (info / "METADATA").write_text(
        f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n", encoding="utf-8"
    )


def write_queue(path: Path, uninstall=(), install=()) -> None:
    path.write_text(
        json.dumps({"uninstall": list(uninstall), "install": list(install)}, indent=1),
        encoding="utf-8",
    )


# ------------------------------------------------------------------ local package index

# Reroutes the module's index requests (fixed https URLs) to the local server
# named by CLI_TEST_INDEX, keeping path and query.
REROUTE_INDEX = """
import os, urllib.parse
import talvex.core.extensions.wheelwork as _ww
_base = urllib.parse.urlsplit(os.environ["CLI_TEST_INDEX"])
_original = _ww._http_json
def _rerouted(url, *, timeout, headers=None):
    parts = urllib.parse.urlsplit(url)
    local = urllib.parse.urlunsplit((_base.scheme, _base.netloc, parts.path, parts.query, ""))
    return _original(local, timeout=timeout, headers=headers)
_ww._http_json = _rerouted
"""


class LocalIndex:
    """A tiny package index: the JSON simple index and per-project JSON documents.

    *projects* maps a listed project name to its "info" object, or to None for a
    project whose document answers 404.  ``status`` forces every answer's status.
    """

    def __init__(self, projects: dict[str, dict | None]):
        self.projects = projects
        self.status = 200
        self.requests: list[tuple[str, str]] = []  # (path, Accept header)
        index = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):  # noqa: N802 (http.server naming)
                index.requests.append((self.path, self.headers.get("Accept", "")))
                status, body = index.answer(urllib.parse.urlsplit(self.path).path)
                data = json.dumps(body).encode("utf-8")
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self._thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def answer(self, path: str):
        if self.status != 200:
            return self.status, {"message": "index is down for maintenance"}
        if path == "/simple/":
            return 200, {"meta": {"api-version": "1.1"}, "projects": [{"name": n} for n in self.projects]}
        parts = path.strip("/").split("/")
        if len(parts) == 3 and parts[0] == "pypi" and parts[2] == "json":
            info = self.projects.get(parts[1])
            if info is not None:
                return 200, {"info": info}
        return 404, {"message": "Not Found"}

    def project_requests(self) -> list[str]:
        return [p for p, _ in self.requests if p.startswith("/pypi/")]

    def __enter__(self) -> "LocalIndex":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self.server.shutdown()
        self.server.server_close()


# ------------------------------------------------------------ private environment


def install_command_package(site: Path) -> None:
    """Copy this command's package into the site-packages of a private environment."""
    source = Path(talvex_ext_cli.__file__).resolve().parent
    shutil.copytree(
        source, site / "talvex_ext_cli",
        ignore=shutil.ignore_patterns("__pycache__"), dirs_exist_ok=True,
    )


def slow_failing_uv(root: Path, seconds: float) -> Path:
    """A directory with a ``uv`` that takes *seconds* and then fails (not a lock)."""
    d = root / "slow-uv-bin"
    d.mkdir(parents=True, exist_ok=True)
    script = d / "uv"
    script.write_text(
        f"#!/bin/sh\nsleep {seconds}\necho 'error: no network in this test' >&2\nexit 2\n",
        encoding="utf-8",
    )
    script.chmod(0o755)
    return d


def run_in_terminal(argv, env, timeout=120) -> tuple[int, str]:
    """Run *argv* with stdout and stderr on a pseudo-terminal; (status, output)."""
    import pty

    master, slave = pty.openpty()
    try:
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
    finally:
        os.close(slave)
    chunks = []
    try:
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # EIO once the child closed the terminal
                break
            if not data:
                break
            chunks.append(data)
    finally:
        os.close(master)
    return proc.wait(timeout=timeout), b"".join(chunks).decode("utf-8", "replace")
