"""Helpers for the end-to-end installer tests.

Everything here works in directories the caller hands in (pytest's temporary
directories): tiny wheels written by hand, a private virtual environment that
carries the built modules, and a runner that executes a scenario inside that
environment in a child interpreter and reads back a JSON report.
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import zipfile
from pathlib import Path

EXT = "talvex-ext-demo"
DEP = "talvex-demo-dep"
LOCKED = "numpy"
WATCHED = (EXT, DEP, LOCKED)

# Built modules that are copied into the private environment.
PRODUCT_MODULES = (
    "talvex.core.extensions.wheelwork",
    "talvex.utils.relauncher",
    "talvex.utils.aboutmeta",
)

SHARING_VIOLATION = (
    "The process cannot access the file because it is being used by another process."
)


# --------------------------------------------------------------------------- wheels


def _record_hash(data: bytes) -> str:
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode("ascii")


def build_wheel(dest: Path, name: str, version: str, requires=(), module_body: str = "") -> Path:
    """Write a pure-Python wheel for *name* *version* into *dest* and return its path.

    The wheel holds one top-level package named after the distribution and a
    complete ``.dist-info`` (METADATA, WHEEL, RECORD with hashes).
    """
    project = name.replace("-", "_")
    dist_info = f"{project}-{version}.dist-info"
    metadata = [
        "Metadata-Version: 2.1",
        f"Name: {name}",
        f"Version: {version}",
        f"Summary: end-to-end test package {name} {version}",
    ]
    metadata += [f"Requires-Dist: {req}" for req in requires]
    body = module_body or f'VERSION = "{version}"\n'
    files = {
        f"{project}/__init__.py": body.encode("utf-8"),
        f"{dist_info}/METADATA": ("\n".join(metadata) + "\n").encode("utf-8"),
        f"{dist_info}/WHEEL": (
            "Wheel-Version: 1.0\nGenerator: talvex-e2e\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
        ).encode("utf-8"),
    }
    record_lines = [f"{path},{_record_hash(data)},{len(data)}" for path, data in files.items()]
    record_lines.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record_lines) + "\n").encode("utf-8")

    dest.mkdir(parents=True, exist_ok=True)
    wheel = dest / f"{project}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w", compression=zipfile.ZIP_DEFLATED) as zf:
        for path, data in files.items():
            info = zipfile.ZipInfo(path, date_time=(2024, 1, 1, 0, 0, 0))
            info.external_attr = (stat.S_IFREG | 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(info, data)
    return wheel


def build_demo_wheels(dest: Path) -> dict[str, Path]:
    """The three wheels of the scenarios, keyed "ext-1.0", "ext-2.0", "dep-1.0"."""
    return {
        "ext-1.0": build_wheel(dest, EXT, "1.0"),
        # Different length from 1.0's body, so a stale bytecode cache can never pass for it.
        "ext-2.0": build_wheel(
            dest, EXT, "2.0", requires=(DEP, LOCKED),
            module_body='VERSION = "2.0"\nNEEDS = ("talvex-demo-dep", "numpy")\n',
        ),
        "dep-1.0": build_wheel(dest, DEP, "1.0"),
    }


# ---------------------------------------------------------------- the private environment


def base_interpreter() -> str:
    return getattr(sys, "_base_executable", None) or sys.executable


def _module_file(dotted: str) -> Path:
    module = __import__(dotted, fromlist=["_"])
    return Path(module.__file__)


def create_environment(root: Path) -> tuple[Path, Path]:
    """Make a virtual environment under *root* holding the built modules.

    Returns (interpreter, site-packages). The environment has pip (the fallback
    installer) and the pure-Python ``packaging`` of the running test environment.
    """
    venv = root / "venv"
    made = subprocess.run(
        [base_interpreter(), "-m", "venv", str(venv)],
        capture_output=True, env=scrubbed_environ(), timeout=300,
    )
    bundled_pip = made.returncode == 0
    if not bundled_pip:
        # Interpreters packaged without ensurepip: make the environment bare and
        # give it the pip of the test environment below.
        subprocess.run(
            [base_interpreter(), "-m", "venv", "--clear", "--without-pip", str(venv)],
            check=True, capture_output=True, env=scrubbed_environ(), timeout=300,
        )
    python = venv / "bin" / "python"
    site = Path(
        subprocess.run(
            [str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
            check=True, capture_output=True, text=True, env=scrubbed_environ(), timeout=60,
        ).stdout.strip()
    )
    for dotted in PRODUCT_MODULES:
        try:
            source = _module_file(dotted)
        except ImportError:
            # Only wheelwork is exercised here; the others come along when built.
            if dotted == PRODUCT_MODULES[0]:
                raise
            continue
        target_dir = site.joinpath(*dotted.split(".")[:-1])
        target_dir.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target_dir / source.name)

    import packaging

    copied = [packaging]
    if not bundled_pip:
        import pip

        copied.append(pip)
    for package in copied:
        shutil.copytree(
            Path(package.__file__).parent, site / package.__name__,
            ignore=shutil.ignore_patterns("__pycache__"),
        )
    return python, site


def remove_demo_packages(site: Path) -> None:
    """Drop every trace of the demo distributions from *site* (between scenarios)."""
    prefixes = (EXT.replace("-", "_"), DEP.replace("-", "_"))
    for child in site.iterdir():
        if child.name.lower().startswith(prefixes):
            if child.is_dir() and not child.is_symlink():
                shutil.rmtree(child)
            else:
                child.unlink()


# ---------------------------------------------------------------------- installers


def find_uv() -> str | None:
    """The ``uv`` executable of the test environment, or None."""
    try:
        import uv  # the PyPI package that ships the binary

        path = uv.find_uv_bin()
        if path and os.path.exists(path):
            return str(path)
    except Exception:
        pass
    for candidate in (Path(sys.prefix) / "bin" / "uv", shutil.which("uv")):
        if candidate and os.path.exists(candidate):
            return str(candidate)
    return None


def path_without_uv(path: str) -> list[str]:
    """Entries of a PATH string that hold no ``uv`` program."""
    kept = []
    for entry in path.split(os.pathsep):
        if not entry:
            continue
        if os.path.exists(os.path.join(entry, "uv")):
            continue
        kept.append(entry)
    return kept


def uv_directory(root: Path, uv_binary: str) -> Path:
    """A directory that holds nothing but a link named ``uv`` to the real binary."""
    d = root / "uv-bin"
    d.mkdir(parents=True, exist_ok=True)
    link = d / "uv"
    if not link.exists():
        link.symlink_to(uv_binary)
    return d


def lock_stand_in(root: Path) -> tuple[Path, Path]:
    """A directory with a ``uv`` that fails like a Windows sharing violation.

    Returns (directory, log file); the stand-in appends its arguments to the log,
    one run per line.
    """
    d = root / "locked-uv-bin"
    d.mkdir(parents=True, exist_ok=True)
    log = root / "locked-uv-calls.txt"
    script = d / "uv"
    script.write_text(
        "#!/bin/sh\n"
        f'echo "$*" >> "{log}"\n'
        "echo 'Resolved 1 package in 3ms'\n"
        "echo 'error: Failed to install: talvex_ext_demo/__init__.py' >&2\n"
        f"echo '  Caused by: {SHARING_VIOLATION} (os error 32)' >&2\n"
        "exit 1\n",
        encoding="utf-8",
    )
    script.chmod(0o755)
    return d, log


# --------------------------------------------------------------------- environments


_DROPPED_PREFIXES = ("PIP_", "UV_", "PYTHON", "TALVEX_", "CONDA", "VIRTUAL_ENV", "PYENV_VERSION")
_PROXY_VARS = ("http_proxy", "https_proxy", "all_proxy", "no_proxy")


def scrubbed_environ() -> dict[str, str]:
    """os.environ without installer, interpreter, proxy and product settings."""
    env = {}
    for key, value in os.environ.items():
        upper = key.upper()
        if upper.startswith(_DROPPED_PREFIXES) or key.lower() in _PROXY_VARS:
            continue
        env[key] = value
    return env


def child_environ(
    work: Path, links: Path, *, path_dirs: list[Path] = (), pending: Path | None = None
) -> dict[str, str]:
    """Environment of the child interpreter (and so of the installers it starts).

    Both installers only see the local find-links directory *links*; every other
    setting of the machine is cleared. *path_dirs* are put first on PATH, in front
    of the machine's PATH with every ``uv`` removed. Caches, configuration and the
    home directory live under *work*.
    """
    env = scrubbed_environ()
    home = work / "home"
    for d in (home, work / "cache", work / "config", work / "uv-cache"):
        d.mkdir(parents=True, exist_ok=True)
    env["HOME"] = str(home)
    env["XDG_CACHE_HOME"] = str(work / "cache")
    env["XDG_CONFIG_HOME"] = str(work / "config")
    env["PATH"] = os.pathsep.join(
        [str(p) for p in path_dirs] + path_without_uv(os.environ.get("PATH", os.defpath))
    )
    env["PYTHONNOUSERSITE"] = "1"
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    if pending is not None:
        env["TALVEX_PENDING_OPS_FILE"] = str(pending)
    # Any attempt to leave the machine runs into a closed local port.
    for var in ("HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"):
        env[var] = env[var.lower()] = "http://127.0.0.1:9"
    # pip: nothing but the local directory.
    env.update(
        PIP_CONFIG_FILE=os.devnull,
        PIP_NO_INDEX="1",
        PIP_FIND_LINKS=str(links),
        PIP_DISABLE_PIP_VERSION_CHECK="1",
        PIP_NO_INPUT="1",
        PIP_CACHE_DIR=str(work / "cache" / "pip"),
    )
    # uv: the same directory, offline, with a private cache and no configuration.
    env.update(
        UV_NO_CONFIG="1",
        UV_OFFLINE="1",
        UV_FIND_LINKS=str(links),
        UV_CACHE_DIR=str(work / "uv-cache"),
        UV_PYTHON_DOWNLOADS="never",
        UV_NO_PROGRESS="1",
    )
    return env


# ---------------------------------------------------------------------- the child


# Runs inside the private environment: performs the steps given as JSON in
# argv[1] and prints one JSON report line prefixed with the marker.
CHILD_PROGRAM = r'''
import importlib, importlib.metadata, json, logging, os, shutil, sys, traceback

from talvex.core.extensions import wheelwork as ww

MARKER = "@@E2E@@"
WATCHED = %(watched)r
records = []


class _Collect(logging.Handler):
    def emit(self, record):
        records.append([record.levelname, record.getMessage()])


_log = logging.getLogger("talvex.core.extensions.wheelwork")
_log.addHandler(_Collect())
_log.setLevel(logging.DEBUG)

index_requests = []


def _no_index(url, *args, **kwargs):
    index_requests.append(str(url))
    raise OSError("package index access is disabled in this test")


ww._http_json = _no_index


def installed():
    importlib.invalidate_caches()
    out = {}
    for name in WATCHED:
        try:
            out[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            out[name] = None
    return out


def plain(value):
    if hasattr(value, "deferred") and hasattr(value, "returncode"):
        return {
            "type": type(value).__name__,
            "ok": value.ok,
            "command": list(value.command),
            "returncode": value.returncode,
            "stdout": value.stdout,
            "stderr": value.stderr,
            "deferred": value.deferred,
            "output": value.output,
        }
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


def run_step(step):
    op = step["op"]
    if op == "import":
        name = step["module"]
        module = importlib.import_module(name)
        return {"file": module.__file__, "VERSION": getattr(module, "VERSION", None)}
    if op == "copy":
        shutil.copy(step["src"], step["dst"])
        return None
    if op == "setenv":
        os.environ[step["name"]] = step["value"]
        return None
    func = getattr(ww, op)
    return plain(func(*step.get("args", []), **step.get("kwargs", {})))


report = {"steps": [], "prefer_uv": ww.prefer_uv()}
for step in json.loads(sys.argv[1]):
    del records[:]
    del index_requests[:]
    entry = {"op": step["op"]}
    try:
        entry["result"] = run_step(step)
    except Exception as exc:
        entry["error"] = "".join(traceback.format_exception(exc))
    entry["installed"] = installed()
    entry["logs"] = list(records)
    entry["index_requests"] = list(index_requests)
    entry["in_sys_modules"] = sorted(
        m for m in sys.modules if m.split(".")[0] in ("talvex_ext_demo", "talvex_demo_dep")
    )
    report["steps"].append(entry)
print(MARKER + json.dumps(report))
''' % {"watched": WATCHED}

MARKER = "@@E2E@@"


class ChildFailed(AssertionError):
    pass


def run_child(python: Path, steps: list[dict], env: dict[str, str], cwd: Path, timeout=600):
    """Run *steps* in a child interpreter of the private environment.

    Returns the list of step reports (op, result or error, installed versions,
    log records, index requests, demo modules in sys.modules).
    """
    proc = subprocess.run(
        [str(python), "-c", CHILD_PROGRAM, json.dumps(steps)],
        env=env, cwd=str(cwd), capture_output=True, text=True, timeout=timeout,
    )
    lines = [ln for ln in proc.stdout.splitlines() if ln.startswith(MARKER)]
    if proc.returncode != 0 or not lines:
        raise ChildFailed(
            f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
    report = json.loads(lines[-1][len(MARKER):])
    for entry in report["steps"]:
        if "error" in entry:
            raise ChildFailed(f"step {entry['op']} raised in the child:\n{entry['error']}")
    return report
