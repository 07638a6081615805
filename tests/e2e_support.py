"""Helpers for the end-to-end installer tests.

Hand-written wheels, a private virtual environment carrying the built modules,
installer stand-ins, and a runner that performs steps inside that environment
in a child interpreter and reads back a JSON report.
"""

from __future__ import annotations

import base64
import contextlib
import hashlib
import importlib
import json
import os
import shutil
import io
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

EXT, DEP, LOCKED = "talvex-ext-demo", "talvex-demo-dep", "numpy"
MODULES = ("talvex.core.extensions.wheelwork", "talvex.utils.relauncher", "talvex.utils.aboutmeta")
MARKER = "@@E2E@@"


def build_wheel(dest: Path, name: str, version: str, requires=(), body: str = "", payload: bytes = b"") -> Path:
    """A pure-Python wheel holding one package named after the distribution (with
    *payload* as ``payload.bin`` in it, stored uncompressed)."""
    project = name.replace("-", "_")
    info = f"{project}-{version}.dist-info"
    meta = ["Metadata-Version: 2.1", f"Name: {name}", f"Version: {version}"]
    texts = {
        f"{project}/__init__.py": body or f'VERSION = "{version}"\n',
        f"{info}/METADATA": "\n".join(meta + [f"Requires-Dist: {r}" for r in requires]) + "\n",
        f"{info}/WHEEL": "Wheel-Version: 1.0\nGenerator: talvex-e2e\nRoot-Is-Purelib: true\nTag: py3-none-any\n",
    }
    files = {path: text.encode() for path, text in texts.items()}
    if payload:
        files[f"{project}/payload.bin"] = payload
    record = [f"{p},sha256={base64.urlsafe_b64encode(hashlib.sha256(d).digest()).rstrip(b'=').decode()},{len(d)}"
              for p, d in files.items()]
    files[f"{info}/RECORD"] = "\n".join(record + [f"{info}/RECORD,,", ""]).encode()
    dest.mkdir(parents=True, exist_ok=True)
    wheel = dest / f"{project}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as zf:
        for path, data in files.items():
            entry = zipfile.ZipInfo(path, (2024, 1, 1, 0, 0, 0))
            entry.external_attr = 0o100644 << 16
            entry.compress_type = zipfile.ZIP_STORED if path.endswith(".bin") else zipfile.ZIP_DEFLATED
            zf.writestr(entry, data)
    return wheel


def build_failing_sdist(dest: Path, name: str, version: str, error: str) -> Path:
    """An sdist whose in-tree build backend (no build requirements, so nothing is
    fetched) raises RuntimeError(*error*) from every hook that builds."""
    project = name.replace("-", "_")
    texts = {
        "pyproject.toml": ('[build-system]\nrequires = []\nbuild-backend = "failing_backend"\nbackend-path = ["."]\n\n'
                           f'[project]\nname = "{name}"\nversion = "{version}"\n'),
        "failing_backend.py": (f"def _fail(*args, **kwargs):\n    raise RuntimeError({error!r})\n\n\n"
                               "def get_requires_for_build_wheel(config_settings=None):\n    return []\n\n\n"
                               "prepare_metadata_for_build_wheel = build_wheel = _fail\n"),
    }
    dest.mkdir(parents=True, exist_ok=True)
    sdist = dest / f"{project}-{version}.tar.gz"
    with tarfile.open(sdist, "w:gz") as tf:
        for path, text in texts.items():
            data = text.encode()
            entry = tarfile.TarInfo(f"{project}-{version}/{path}")
            entry.size, entry.mtime, entry.mode = len(data), 1704067200, 0o644
            tf.addfile(entry, io.BytesIO(data))
    return sdist


def build_demo_wheels(dest: Path) -> dict[str, Path]:
    return {
        "ext-1.0": build_wheel(dest, EXT, "1.0"),
        # A body of another length than 1.0's, so a stale bytecode cache cannot pass for it.
        "ext-2.0": build_wheel(dest, EXT, "2.0", (DEP, LOCKED), 'VERSION = "2.0"\nNEEDS = 2\n'),
        "dep-1.0": build_wheel(dest, DEP, "1.0"),
    }


def scrubbed_environ() -> dict[str, str]:
    """os.environ without installer, interpreter, proxy and product settings."""
    dropped = ("PIP_", "UV_", "PYTHON", "TALVEX_", "CONDA", "VIRTUAL_ENV", "PYENV_VERSION")
    proxies = ("http_proxy", "https_proxy", "all_proxy", "no_proxy")
    return {k: v for k, v in os.environ.items() if not k.upper().startswith(dropped) and k.lower() not in proxies}


def create_environment(root: Path) -> tuple[Path, Path]:
    """A virtual environment with pip, packaging and the built modules: (python, site-packages)."""
    venv, env = root / "venv", scrubbed_environ()
    base = getattr(sys, "_base_executable", None) or sys.executable
    make = [base, "-m", "venv", str(venv)]
    bundled_pip = subprocess.run(make, capture_output=True, env=env, timeout=300).returncode == 0
    if not bundled_pip:  # an interpreter without ensurepip: the test environment's pip goes in
        subprocess.run(make + ["--clear", "--without-pip"], check=True, capture_output=True, env=env, timeout=300)
    python = venv / "bin" / "python"
    site = Path(subprocess.run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                               check=True, capture_output=True, text=True, env=env, timeout=60).stdout.strip())
    for dotted in MODULES:
        source = Path(importlib.import_module(dotted).__file__)
        target = site.joinpath(*dotted.split(".")[:-1])
        target.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target / source.name)
    for package in ["packaging"] + ([] if bundled_pip else ["pip"]):
        shutil.copytree(Path(importlib.import_module(package).__file__).parent, site / package,
                        ignore=shutil.ignore_patterns("__pycache__"))
    return python, site


def remove_demo_packages(site: Path) -> None:
    for child in site.iterdir():
        if child.name.lower().startswith(("talvex_ext_demo", "talvex_demo_dep")):
            shutil.rmtree(child) if child.is_dir() else child.unlink()


def find_uv() -> str | None:
    try:
        import uv

        return str(uv.find_uv_bin())
    except (ImportError, FileNotFoundError):
        return shutil.which("uv")


def uv_directory(root: Path, uv_binary: str) -> Path:
    """A directory holding nothing but a link named ``uv`` to the real binary."""
    d = root / "uv-bin"
    d.mkdir(parents=True, exist_ok=True)
    if not (d / "uv").exists():
        (d / "uv").symlink_to(uv_binary)
    return d


def fake_uv(root: Path, name: str, body: str) -> Path:
    """A directory with a shell-script ``uv`` running *body*."""
    d = root / name
    d.mkdir(parents=True, exist_ok=True)
    (d / "uv").write_text("#!/bin/sh\n" + body, encoding="utf-8")
    (d / "uv").chmod(0o755)
    return d


def lock_stand_in(root: Path) -> Path:
    """A ``uv`` that fails like a Windows sharing violation, logging each run's arguments
    to ``locked-uv-calls.txt`` in *root*."""
    return fake_uv(root, "locked-uv-bin", (
        f'echo "$*" >> "{root / "locked-uv-calls.txt"}"\n'
        "echo 'Resolved 1 package in 3ms'\n"
        "echo 'error: Failed to install: talvex_ext_demo/__init__.py' >&2\n"
        "echo '  Caused by: The process cannot access the file because it is being used by another"
        " process. (os error 32)' >&2\nexit 1\n"))


def child_environ(work: Path, links: Path, *, path_dirs=(), pending: Path | None = None) -> dict[str, str]:
    """Environment of the child interpreter and so of the installers it starts: both see
    only the find-links directory *links*, offline, with caches and home under *work*;
    *path_dirs* go first on a PATH without any other ``uv``."""
    for d in ("home", "cache", "config", "uv-cache"):
        (work / d).mkdir(parents=True, exist_ok=True)
    path = [e for e in os.environ.get("PATH", os.defpath).split(os.pathsep) if e and not os.path.exists(os.path.join(e, "uv"))]
    env = scrubbed_environ()
    env.update(
        HOME=str(work / "home"), XDG_CACHE_HOME=str(work / "cache"), XDG_CONFIG_HOME=str(work / "config"),
        PATH=os.pathsep.join([*map(str, path_dirs), *path]), PYTHONNOUSERSITE="1", PYTHONDONTWRITEBYTECODE="1",
        PIP_CONFIG_FILE=os.devnull, PIP_NO_INDEX="1", PIP_FIND_LINKS=str(links), PIP_DISABLE_PIP_VERSION_CHECK="1",
        PIP_NO_INPUT="1", PIP_CACHE_DIR=str(work / "cache" / "pip"),
        UV_NO_CONFIG="1", UV_OFFLINE="1", UV_FIND_LINKS=str(links), UV_CACHE_DIR=str(work / "uv-cache"),
        UV_PYTHON_DOWNLOADS="never", UV_NO_PROGRESS="1",
    )
    for var in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):  # leaving the machine meets a closed port
        env[var] = env[var.lower()] = "http://127.0.0.1:9"
    if pending is not None:
        env["TALVEX_PENDING_OPS_FILE"] = str(pending)
    return env


# Runs inside the private environment: performs the steps given as JSON in argv[1]
# and prints one JSON report line after the marker. The index client is replaced by
# one that records the URL and fails.
CHILD_PROGRAM = r'''
import dataclasses, importlib, importlib.metadata, json, logging, shutil, sys, traceback
from talvex.core.extensions import wheelwork as ww

records, index_requests = [], []
handler = logging.Handler()
handler.emit = lambda r: records.append([r.levelname, r.getMessage()])
logging.getLogger(ww.__name__).addHandler(handler)
logging.getLogger(ww.__name__).setLevel(logging.DEBUG)

def no_index(url, *args, **kwargs):
    index_requests.append(str(url))
    raise OSError("package index access is disabled in this test")

ww._http_json = no_index

def installed():
    importlib.invalidate_caches()
    return {n: next((d.version for d in importlib.metadata.distributions(name=n)), None) for n in %(watched)r}

def plain(value):
    if dataclasses.is_dataclass(value):
        return dataclasses.asdict(value)
    return [plain(v) for v in value] if isinstance(value, (list, tuple)) else value

def run_step(step):
    if step["op"] == "import":
        return {"VERSION": importlib.import_module(step["module"]).VERSION}
    if step["op"] == "copy":
        shutil.copy(step["src"], step["dst"])
        return None
    return plain(getattr(ww, step["op"])(*step["args"]))

report = {"steps": [], "prefer_uv": ww.prefer_uv()}
for step in json.loads(sys.argv[1]):
    del records[:], index_requests[:]
    entry = {"op": step["op"]}
    try:
        entry["result"] = run_step(step)
    except Exception as exc:
        entry["error"] = "".join(traceback.format_exception(exc))
    entry.update(installed=installed(), logs=list(records), index_requests=list(index_requests),
                 in_sys_modules=sorted(m for m in sys.modules if m.startswith(("talvex_ext_demo", "talvex_demo_dep"))))
    report["steps"].append(entry)
print(%(marker)r + json.dumps(report))
''' % {"watched": (EXT, DEP, LOCKED), "marker": MARKER}


def run_child(python: Path, steps: list[dict], env: dict[str, str], cwd: Path, timeout=600) -> dict:
    """Run *steps* in a child interpreter of the private environment; its report."""
    proc = subprocess.run([str(python), "-c", CHILD_PROGRAM, json.dumps(steps)],
                          env=env, cwd=str(cwd), capture_output=True, text=True, timeout=timeout)
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith(MARKER)]
    assert proc.returncode == 0 and lines, f"child exited with {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    report = json.loads(lines[-1][len(MARKER):])
    for entry in report["steps"]:
        assert "error" not in entry, f"step {entry['op']} raised in the child:\n{entry['error']}"
    return report



def _write_refused(directory: Path) -> bool:
    probe = directory / ".unwritable-check"
    try:
        probe.touch()
    except OSError:
        return True
    probe.unlink()
    return False


@contextlib.contextmanager
def unwritable(directory: Path, only: str | None = None):
    """*directory* made unwritable for this process, root included, for the block: immutable
    (``chattr +i``) where the file system allows it, else a read-only bind mount onto itself
    (*only* picks one of the two); the test is skipped when neither works here. Yields how
    it was done."""
    d = str(directory)
    ways = [
        ("immutable", [["chattr", "+i", d]], ["chattr", "-i", d]),
        ("read-only bind mount", [["mount", "--bind", d, d], ["mount", "-o", "remount,ro,bind", d]], ["umount", d]),
    ]
    for how, steps, undo in ways:
        if os.name == "nt" or shutil.which(steps[0][0]) is None or only not in (None, how):
            continue
        ran = 0
        for step in steps:
            if subprocess.run(step, capture_output=True).returncode != 0:
                break
            ran += 1
        if ran == len(steps) and _write_refused(directory):
            try:
                yield how
            finally:
                subprocess.run(undo, capture_output=True, check=True)
            return
        if ran:
            subprocess.run(undo, capture_output=True, check=True)
    import pytest

    pytest.skip("no way to make a directory unwritable for this account here")


@contextlib.contextmanager
def slow_index(files: Path, bytes_per_second: float):
    """A simple index on 127.0.0.1 for the wheels in *files* that sends each file at
    *bytes_per_second*; yields its ``/simple`` URL."""
    import re
    import threading
    import time
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def answer(self, body: bytes, kind: str, pace: bool):
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command == "HEAD":
                return
            step = 65536 if pace else len(body) or 1
            try:
                for at in range(0, len(body), step):
                    self.wfile.write(body[at:at + step])
                    if pace:
                        time.sleep(step / bytes_per_second)
            except OSError:  # the installer went away
                pass

        def do_GET(self):
            parts = [p for p in self.path.split("/") if p]
            if len(parts) == 2 and parts[0] == "simple":
                wheels = [f.name for f in files.iterdir()
                          if re.sub(r"[-_.]+", "-", f.name.split("-")[0]).lower() == parts[1]]
                links = "".join(f'<a href="/files/{n}">{n}</a>\n' for n in wheels)
                return self.answer(f"<html><body>{links}</body></html>".encode(), "text/html", False)
            if len(parts) == 2 and parts[0] == "files" and (files / parts[1]).is_file():
                return self.answer((files / parts[1]).read_bytes(), "application/octet-stream", True)
            self.send_error(404)

        do_HEAD = do_GET

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/simple"
    finally:
        server.shutdown()
        server.server_close()


def index_environ(env: dict[str, str], url: str) -> dict[str, str]:
    """*env* of ``child_environ`` with both installers reading the index at *url*."""
    env = {k: v for k, v in env.items() if k not in ("PIP_NO_INDEX", "PIP_FIND_LINKS", "UV_OFFLINE", "UV_FIND_LINKS")}
    env.update(PIP_INDEX_URL=url, UV_INDEX_URL=url, UV_DEFAULT_INDEX=url, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1")
    return env
