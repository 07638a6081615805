"""Helpers for the ``talvex-ext`` command tests.

The command always runs as a real child process: read-only commands with the
test interpreter, installing ones inside the private environment of
``e2e_support``. Catalog requests are rerouted to a local HTTP server.
"""

from __future__ import annotations

import atexit
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

_PATHS = []
if os.environ.get("TALVEX_SITE"):
    # A developer build: the command comes from the source tree. Only its package is
    # staged; ``src`` itself on the path would add to the ``talvex`` namespace.
    _stage = tempfile.mkdtemp(prefix="talvex-ext-cli-")
    atexit.register(shutil.rmtree, _stage, ignore_errors=True)
    shutil.copytree(Path(__file__).resolve().parents[1] / "src" / "talvex_ext_cli", Path(_stage) / "talvex_ext_cli",
                    ignore=shutil.ignore_patterns("__pycache__"))
    sys.path.insert(0, _stage)
    _PATHS = [os.environ["TALVEX_SITE"], _stage]

import talvex_ext_cli  # noqa: E402


def cli_environ(tmp: Path, *, extra_paths=(), **overrides: str) -> dict[str, str]:
    """Environment for a read-only run: private queue file, no machine installer settings."""
    env = {k: v for k, v in os.environ.items() if not k.upper().startswith(("PIP_", "UV_", "TALVEX_", "PYTHONPATH"))}
    env.update(PYTHONPATH=os.pathsep.join([*map(str, extra_paths), *_PATHS]), PYTHONIOENCODING="utf-8",
               TALVEX_PENDING_OPS_FILE=str(tmp / "pending-extension-ops.json"), **overrides)
    return env


def run_cli(args, env, *, python=None, prelude: str | None = None, timeout=300, raw=False):
    """Run ``talvex-ext ARGS``; with *prelude*, that code runs first, then the command's
    ``__main__`` as ``python -m`` would run it.  *raw* keeps stdout and stderr as bytes."""
    python = str(python or sys.executable)
    argv = [python, "-m", "talvex_ext_cli", *args]
    if prelude is not None:
        argv[1:3] = ["-c", prelude + "\nimport runpy, sys\nsys.argv[0] = 'talvex-ext'\n"
                     "runpy.run_module('talvex_ext_cli', run_name='__main__', alter_sys=True)\n"]
    decode = {} if raw else {"text": True, "encoding": "utf-8"}
    return subprocess.run(argv, env=env, capture_output=True, timeout=timeout, **decode)


def fake_distribution(root: Path, name: str, version: str, **fields: str) -> None:
    """Installed-package metadata (no code) that importlib.metadata finds on sys.path;
    *fields* add headers (``Author_email`` gives ``Author-email``)."""
    stem = "-".join(re.sub(r"[^A-Za-z0-9.]", "_", part) for part in (name, version))
    info = root / f"{stem}.dist-info"
    info.mkdir(parents=True, exist_ok=True)
    extra = "".join(f"{key.replace('_', '-')}: {value}\n" for key, value in fields.items())
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n{extra}", encoding="utf-8")


def write_queue(path: Path, uninstall=(), install=()) -> None:
    path.write_text(json.dumps({"uninstall": list(uninstall), "install": list(install)}), encoding="utf-8")


# Reroutes the module's index requests (fixed https URLs) to the local server named
# by CLI_TEST_INDEX, keeping path and query.
REROUTE_INDEX = """
import os, urllib.parse
import talvex.core.extensions.wheelwork as _ww
_base, _original = urllib.parse.urlsplit(os.environ["CLI_TEST_INDEX"]), _ww._http_json
def _rerouted(url, *, timeout, headers=None):
    parts = urllib.parse.urlsplit(url)
    local = urllib.parse.urlunsplit((_base.scheme, _base.netloc, parts.path, parts.query, ""))
    return _original(local, timeout=timeout, headers=headers)
_ww._http_json = _rerouted
"""


class LocalIndex:
    """A tiny index: the JSON simple index and per-project JSON documents. *projects*
    maps a listed name to its "info" object, or to None for a document answering 404;
    ``status`` forces every answer's status."""

    def __init__(self, projects: dict[str, dict | None]):
        self.projects, self.status, self.requests = projects, 200, []  # requests: (path, Accept)
        index = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):  # noqa: N802
                index.requests.append((self.path, self.headers.get("Accept", "")))
                status, body = index.answer(urllib.parse.urlsplit(self.path).path)
                data = json.dumps(body).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"

    def answer(self, path: str):
        if self.status != 200:
            return self.status, {"message": "index is down for maintenance"}
        if path == "/simple/":
            return 200, {"meta": {"api-version": "1.1"}, "projects": [{"name": n} for n in self.projects]}
        parts = path.strip("/").split("/")
        info = self.projects.get(parts[1]) if len(parts) == 3 and parts[::2] == ["pypi", "json"] else None
        return (200, {"info": info}) if info is not None else (404, {"message": "Not Found"})

    def __enter__(self) -> "LocalIndex":
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc) -> None:
        self.server.shutdown()
        self.server.server_close()


def install_command_package(site: Path) -> None:
    """Copy this command's package into the site-packages of a private environment."""
    shutil.copytree(Path(talvex_ext_cli.__file__).resolve().parent, site / "talvex_ext_cli",
                    ignore=shutil.ignore_patterns("__pycache__"), dirs_exist_ok=True)


def run_in_terminal(argv, env, timeout=120) -> tuple[int, str]:
    """Run *argv* with stdout and stderr on a pseudo-terminal; (status, output)."""
    import pty

    master, slave = pty.openpty()
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
    os.close(slave)
    chunks = [b"start"]
    while chunks[-1]:
        try:
            chunks.append(os.read(master, 4096))
        except OSError:  # EIO once the child closed the terminal
            break
    os.close(master)
    return proc.wait(timeout=timeout), b"".join(chunks[1:]).decode("utf-8", "replace")
